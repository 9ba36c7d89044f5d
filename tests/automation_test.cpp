// The automation layer (handles, primitives, registry) and the recording object the report
// tests drive it with.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>

#include "automation/automation.h"
#include "support/recording_automation.h"

using namespace lumo;
using namespace lumo::automation;
using lumo::test::errorCodeOf;
using lumo::test::RecordingAutomation;
using ::testing::ElementsAre;

namespace {

// Counts its living instances.
struct Counted final : Object {
    static inline int alive = 0;
    Counted() { ++alive; }
    ~Counted() override { --alive; }
    Handle get(std::string_view, std::span<const Handle>) override { return Handle(7); }
    void put(std::string_view, const Handle&) override {}
    void call(std::string_view, std::span<const Handle>) override {}
};

Handle counted() { return Handle(std::shared_ptr<Object>(std::make_shared<Counted>())); }

TEST(AutomationHandle, AssigningOrReleasingLetsGoOfTheObject) {
    Handle a = counted();
    Handle b = a;  // shared
    EXPECT_EQ(Counted::alive, 1);
    a = counted();
    EXPECT_EQ(Counted::alive, 2);
    b = Handle(5);  // the first object has no handle left
    EXPECT_EQ(Counted::alive, 1);
    a.release();
    EXPECT_EQ(Counted::alive, 0);
    a.release();  // releasing an empty handle does nothing
    EXPECT_TRUE(a.empty());
    EXPECT_EQ(Handle(std::shared_ptr<Object>()).kind(), Handle::Kind::Empty);
}

TEST(AutomationHandle, ValuesRoundTripAndConvertToText) {
    EXPECT_EQ(Handle(42).integer(), 42);
    EXPECT_EQ(Handle(true).boolean(), true);
    EXPECT_EQ(Handle(2.5).number(), 2.5);
    EXPECT_EQ(Handle(3).number(), 3.0);
    EXPECT_EQ(Handle("Дата").string(), "Дата");
    EXPECT_EQ(Handle().text(), "");
    EXPECT_EQ(Handle(-7).text(), "-7");
    EXPECT_EQ(Handle(230.5).text(), "230,5");
    EXPECT_EQ(Handle(false).text(), "False");
    EXPECT_EQ(Handle("x").describe(), "\"x\"");
    EXPECT_EQ(errorCodeOf([] { Handle("3").integer(); }), code::TypeMismatch);
    EXPECT_EQ(errorCodeOf([] { Handle(1).boolean(); }), code::TypeMismatch);
    EXPECT_EQ(errorCodeOf([] { Handle(1).string(); }), code::TypeMismatch);
    EXPECT_EQ(errorCodeOf([] { counted().text(); }), code::TypeMismatch);
    EXPECT_EQ(errorCodeOf([] { Handle(1).object(); }), code::ObjectRequired);
}

TEST(AutomationPrimitives, RefuseCallsWithoutAnObjectOrWithTooManyArguments) {
    for (const Handle& h : {Handle(), Handle(1), Handle("app")}) {
        EXPECT_EQ(errorCodeOf([&] { propertyGet(h, "Cells", {1, 1}); }), code::ObjectRequired);
        EXPECT_EQ(errorCodeOf([&] { propertyPut(h, "Value", "x"); }), code::ObjectRequired);
        EXPECT_EQ(errorCodeOf([&] { methodCall(h, "Quit"); }), code::ObjectRequired);
    }
    Handle obj = counted();
    EXPECT_EQ(propertyGet(obj, "Anything", {1, 2}).integer(), 7);
    EXPECT_EQ(errorCodeOf([&] { propertyGet(obj, "Cells", {1, 2, 3}); }), code::BadParamCount);
    EXPECT_EQ(errorCodeOf([&] { methodCall(obj, "Open", {1, 2, 3, 4}); }), 0);
    EXPECT_EQ(errorCodeOf([&] { methodCall(obj, "Open", {1, 2, 3, 4, 5, 6, 7, 8, 9}); }), code::BadParamCount);
}

TEST(AutomationPrimitives, TheCalledObjectLivesUntilItsCallReturnsWhateverItsHandleBecomes) {
    // A handler run while the call waits assigns the very handle the call was made through.
    struct Reassigning final : Object {
        Handle* through = nullptr;
        bool* gone = nullptr;
        bool* aliveInCall = nullptr;
        ~Reassigning() override { *gone = true; }
        Handle get(std::string_view, std::span<const Handle>) override { return {}; }
        void put(std::string_view, const Handle&) override {
            *through = Handle(1);
            *aliveInCall = !*gone;  // the call still runs on this object
        }
        void call(std::string_view, std::span<const Handle>) override {}
    };
    bool gone = false, aliveInCall = false;
    auto object = std::make_shared<Reassigning>();
    object->gone = &gone;
    object->aliveInCall = &aliveInCall;
    Reassigning* raw = object.get();
    Handle scratch{std::shared_ptr<Object>(std::move(object))};
    raw->through = &scratch;
    propertyPut(scratch, "Value", Handle("x"));
    EXPECT_TRUE(aliveInCall);
    EXPECT_TRUE(gone);  // released once the call returned
    EXPECT_EQ(scratch.integer(), 1);
}

TEST(CallPatience, AGuardWithAQuestionGivesItsCallsOnePatienceAndAsksWhenItHasPassed) {
    using namespace std::chrono;
    const auto start = steady_clock::now();
    EXPECT_EQ(CallPatience::deadlineFor(start), start + CallPatience::Patient);
    EXPECT_FALSE(CallPatience::waitLonger());  // no question to ask
    int asked = 0;
    bool answer = true;
    {
        CallPatience close(milliseconds(0), [&] {  // a patience that has passed already
            ++asked;
            return answer;
        });
        {
            // A call's own longer patience inside it keeps the shared one.
            CallPatience perCall(CallPatience::Patient);
            EXPECT_LE(CallPatience::deadlineFor(steady_clock::now() + hours(1)), steady_clock::now());
            {
                CallPatience quick(CallPatience::WithinATick);  // nor does a shorter one ask early
            }
        }
        EXPECT_TRUE(CallPatience::waitLonger());  // asked: wait on
        EXPECT_EQ(asked, 1);
        answer = false;
        EXPECT_FALSE(CallPatience::waitLonger());
        EXPECT_EQ(asked, 2);
        // Answered no: not asked again, and every later call gives up at its first rejection.
        EXPECT_FALSE(CallPatience::waitLonger());
        EXPECT_EQ(asked, 2);
        const auto t = steady_clock::now();
        EXPECT_EQ(CallPatience::deadlineFor(t), t);
    }
    {
        // Before its patience has passed nothing is asked; the operator's own time in a dialog
        // does not count.
        CallPatience close(hours(1), [&] { return ++asked, true; });
        EXPECT_FALSE(CallPatience::waitLonger());
        CallPatience::startAgain();
        EXPECT_GT(CallPatience::deadlineFor(steady_clock::now()), steady_clock::now() + minutes(59));
        EXPECT_EQ(asked, 2);
    }
    EXPECT_FALSE(CallPatience::waitLonger());  // the guards are gone
}

TEST(AutomationRegistry, CreatesByProgramIdentifierAndPutsBackWhatWasThere) {
    EXPECT_EQ(errorCodeOf([] { createObject("Nothing.Registered"); }), code::InvalidClassString);
    {
        ScopedFactory outer("Lumo.Test", [] { return Handle(1); });
        EXPECT_EQ(createObject("lumo.TEST").integer(), 1);  // case does not matter
        {
            ScopedFactory inner("Lumo.Test", [] { return Handle(2); });
            EXPECT_EQ(createObject("Lumo.Test").integer(), 2);
        }
        EXPECT_EQ(createObject("Lumo.Test").integer(), 1);
        ScopedFactory failing("Lumo.Failing", []() -> Handle { throw Error(code::ServerUnavailable, "down"); });
        EXPECT_EQ(errorCodeOf([] { createObject("Lumo.Failing"); }), code::ServerUnavailable);
    }
    EXPECT_EQ(errorCodeOf([] { createObject("Lumo.Test"); }), code::InvalidClassString);
}

TEST(RecordingAutomation, LogsEveryCallWithItsObjectAndArguments) {
    RecordingAutomation rec;
    rec.install();
    Handle app = createObject("Excel.Application");
    propertyPut(app, "SheetsInNewWorkbook", 2);
    methodCall(propertyGet(app, "WorkBooks"), "Open", {"C:\\r.xls", 0, false, 1});
    Handle sheet = propertyGet(propertyGet(app, "WorkBooks", {1}), "WorkSheets", {2});
    EXPECT_EQ(propertyGet(propertyGet(sheet, "Cells", {4, 1}), "Value").text(), "");
    EXPECT_THAT(rec.lines(), ElementsAre("create Excel.Application", "put app.SheetsInNewWorkbook = 2",
                                         "get app.WorkBooks()",
                                         "call app.WorkBooks().Open(\"C:\\r.xls\", 0, false, 1)",
                                         "get app.WorkBooks(1)", "get app.WorkBooks(1).WorkSheets(2)",
                                         "get app.WorkBooks(1).WorkSheets(2).Cells(4, 1)",
                                         "get app.WorkBooks(1).WorkSheets(2).Cells(4, 1).Value()"));
    EXPECT_EQ(rec.calls()[3].args[0].string(), "C:\\r.xls");
    EXPECT_EQ(rec.liveObjects(), 2);  // app and sheet
    sheet.release();
    app.release();
    EXPECT_EQ(rec.liveObjects(), 0);
}

TEST(RecordingAutomation, FailsWhereItIsTold) {
    RecordingAutomation rec;
    rec.install();
    rec.failCreate();
    EXPECT_EQ(errorCodeOf([] { createObject("Excel.Application"); }), code::InvalidClassString);
    rec.clearFailures();
    Handle app = createObject("Excel.Application");
    rec.clearLog();

    rec.failAtCall(2, code::BadIndex);  // counted from the last clearLog
    EXPECT_EQ(errorCodeOf([&] { propertyPut(app, "Visible", true); }), 0);
    EXPECT_EQ(errorCodeOf([&] { propertyPut(app, "Visible", false); }), code::BadIndex);
    EXPECT_EQ(errorCodeOf([&] { propertyPut(app, "Visible", true); }), 0);

    rec.clearFailures();
    rec.failAtMember("value", 2);  // the second "Value" of any kind
    Handle cell = propertyGet(app, "Cells", {1, 1});
    EXPECT_EQ(errorCodeOf([&] { propertyPut(cell, "Value", "a"); }), 0);
    EXPECT_EQ(errorCodeOf([&] { propertyPut(cell, "VALUE", "b"); }), code::ApplicationDefined);
    EXPECT_EQ(errorCodeOf([&] { propertyPut(cell, "Value", "c"); }), 0);

    rec.clearFailures();
    rec.failFromCall(rec.calls().size() + 2);
    EXPECT_EQ(errorCodeOf([&] { methodCall(app, "Quit"); }), 0);
    EXPECT_EQ(errorCodeOf([&] { methodCall(app, "Quit"); }), code::ServerUnavailable);
    EXPECT_EQ(errorCodeOf([&] { propertyGet(app, "WorkBooks"); }), code::ServerUnavailable);
    EXPECT_EQ(rec.calls().back().text(), "get app.WorkBooks()");  // failed calls are logged too
}

TEST(RecordingAutomation, AnswersReadsAsScripted) {
    RecordingAutomation rec;
    Handle app = rec.create();
    // Column 1 holds texts down to row 7.
    rec.answerReads([](const lumo::test::RecordedCall& c) -> std::optional<Handle> {
        if (c.member == "Value" && c.object.find(".Cells(") != std::string::npos) {
            int row = std::stoi(c.object.substr(c.object.rfind('(') + 1));
            return Handle(row < 8 ? std::string("x") : std::string());
        }
        return std::nullopt;
    });
    int row = 3;
    while (!propertyGet(propertyGet(app, "Cells", {row, 1}), "Value").text().empty()) ++row;
    EXPECT_EQ(row, 8);
}

}  // namespace
