// The report's operations call by call, against the recording automation object.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <random>
#include <functional>
#include <tuple>

#include "common/messages.h"
#include "report/report_journal.h"
#include "report/report_layout.h"
#include "support/recording_automation.h"
#include "support/report_fixture.h"

using namespace lumo;
using namespace lumo::test;
using lumo::test::RecordedCall;
using lumo::test::RecordingAutomation;
using automation::Handle;

namespace {

const std::string Book = "app.WorkBooks(1)";
const std::string Live = Book + ".WorkSheets(1)";
const std::string Mem = Book + ".WorkSheets(2)";

std::string q(const std::string& s) { return "\"" + s + "\""; }

// The calls that building a new report must make, written out from the workbook's format.
std::vector<std::string> expectedCreateCalls() {
    std::vector<std::string> c = {
        "create Excel.Application",
        "put app.SheetsInNewWorkbook = 2",
        "get app.WorkBooks()",
        "call app.WorkBooks().add()",
        "get app.WorkBooks(1)",
        "get " + Book + ".WorkSheets(1)",
        "get " + Book + ".WorkSheets(2)",
        "put " + Live + ".Name = " + q("Результат текущих измерений"),
        "put " + Mem + ".Name = " + q("Данные из памяти прибора"),
        "call " + Live + ".Activate()",
    };
    auto column = [&](const std::string& sheet, const std::string& pick, int width) {
        for (const char* what : {"ColumnWidth", "HorizontalAlignment"}) {
            c.push_back("get " + sheet + ".Columns()");
            c.push_back("get " + sheet + ".Columns()." + pick);
            c.push_back("put " + sheet + ".Columns()." + pick + "." + what + " = " +
                        (std::string(what) == "ColumnWidth" ? std::to_string(width) : "3"));
        }
    };
    auto cell = [&](const std::string& sheet, int row, int col, const std::string& text) {
        std::string at = sheet + ".Cells(" + std::to_string(row) + ", " + std::to_string(col) + ")";
        c.push_back("get " + at);
        c.push_back("put " + at + ".Value = " + q(text));
    };
    auto merged = [&](const std::string& sheet, const std::string& range, const std::string& text) {
        std::string at = sheet + ".Range(" + q(range) + ")";
        c.push_back("get " + at);
        c.push_back("call " + at + ".Select()");
        c.push_back("call " + at + ".Merge()");
        c.push_back("put " + at + ".Value = " + q(text));
        c.push_back("put " + at + ".HorizontalAlignment = 3");
    };
    column(Live, "Item(1)", 10);
    column(Live, "Item(2)", 8);
    column(Live, "Range(\"C:T\")", 5);
    cell(Live, 1, 1, "Дата");
    cell(Live, 1, 2, "Время");
    merged(Live, "C1:H1", "ФАЗА А");
    merged(Live, "I1:N1", "ФАЗА B");
    merged(Live, "O1:T1", "ФАЗА C");
    const char* live[6] = {"U", "I", "УГОЛ", "P", "Q", "S"};
    for (int col = 3; col <= 20; ++col) cell(Live, 2, col, live[(col - 3) % 6]);
    // The date and time columns' formats, the header cells above them general.
    for (const char* f : {"Item(1)", "Item(2)"}) {
        c.push_back("get " + Live + ".Columns()");
        c.push_back("get " + Live + ".Columns()." + f);
        c.push_back("put " + Live + ".Columns()." + f + ".NumberFormat = " +
                    (std::string(f) == "Item(1)" ? q("dd.mm.yyyy") : q("hh:mm:ss")));
    }
    c.push_back("get " + Live + ".Range(\"A1:B2\")");
    c.push_back("put " + Live + ".Range(\"A1:B2\").NumberFormat = \"General\"");
    c.push_back("call " + Mem + ".Activate()");
    column(Mem, "Item(1)", 15);
    column(Mem, "Range(\"B:BC\")", 5);
    cell(Mem, 1, 1, "№ периода");
    const char* titles[3][8] = {
        {"B1:S1", "B2:D2", "E2:G2", "H2:J2", "K2:M2", "N2:P2", "Q2:S2", "ФАЗА А"},
        {"T1:AK1", "T2:V2", "W2:Y2", "Z2:AB2", "AC2:AE2", "AF2:AH2", "AI2:AK2", "ФАЗА B"},
        {"AL1:BC1", "AL2:AN2", "AO2:AQ2", "AR2:AT2", "AU2:AW2", "AX2:AZ2", "BA2:BC2", "ФАЗА C"}};
    const char* memory[6] = {"U", "I", "Угол", "P", "Q", "S"};
    const char* stats[3] = {"MIN", "MAX", "AVR"};
    for (int phase = 0; phase < 3; ++phase) {
        merged(Mem, titles[phase][0], titles[phase][7]);
        for (int k = 0; k < 6; ++k) merged(Mem, titles[phase][k + 1], memory[k]);
        for (int col = 2 + 18 * phase; col < 20 + 18 * phase; ++col)
            cell(Mem, 3, col, stats[(col - 2) % 3]);
    }
    c.push_back("call " + Live + ".Activate()");
    return c;
}

struct ReportCalls : ::testing::Test {
    ReportFixture f;
    RecordingAutomation rec;
    void SetUp() override { rec.install(); }

    // A created report with nothing logged yet.
    void created() {
        f.report.CreateReport();
        ASSERT_TRUE(f.state.ReportOpen);
        rec.clearLog();
    }
    // The addresses of the ranges read, in order (each row's write reads its range first).
    std::vector<std::string> rangesRead() const {
        std::vector<std::string> ranges;
        for (const RecordedCall& c : rec.calls())
            if (c.kind == RecordedCall::Kind::Get && c.member == "Range") ranges.push_back(c.args[0].string());
        return ranges;
    }
    size_t countFrom(size_t from, const std::string& needle) const {
        auto lines = rec.lines();
        return static_cast<size_t>(std::count_if(lines.begin() + static_cast<long>(from), lines.end(),
                                                 [&](const std::string& l) { return l.find(needle) != std::string::npos; }));
    }
};

}  // namespace

TEST_F(ReportCalls, CreateMakesEveryLayoutCallInOrder) {
    f.report.CreateReport();
    const auto expected = expectedCreateCalls();
    ASSERT_EQ(expected.size(), 320u);  // the start and 319 calls after it
    EXPECT_EQ(rec.lines(), expected);

    int strings = 0, integers = 0, cells = 0, ranges = 0, oneInt = 0, noArgs = 0, methods = 0;
    for (const RecordedCall& c : rec.calls()) {
        if (c.kind == RecordedCall::Kind::Put)
            (c.args[0].kind() == Handle::Kind::String ? strings : integers)++;
        if (c.kind == RecordedCall::Kind::Call) methods++;
        if (c.kind != RecordedCall::Kind::Get) continue;
        if (c.member == "Cells") cells++;
        else if (c.member == "Range") ranges++;
        else if (c.args.size() == 1) oneInt++;
        else if (c.args.empty()) noArgs++;
    }
    EXPECT_EQ(strings, 104);
    EXPECT_EQ(integers, 35);
    EXPECT_EQ(cells, 75);
    EXPECT_EQ(ranges, 29);
    EXPECT_EQ(oneInt, 11);
    EXPECT_EQ(noArgs, 13);
    EXPECT_EQ(methods, 52);

    EXPECT_EQ(f.state.LiveRow, 3);
    EXPECT_EQ(f.state.MemoryRow, 4);
    EXPECT_EQ(f.view.date, "6.12.2026");
    EXPECT_EQ(f.view.name, "нет");
    EXPECT_TRUE(f.view.showEnabled && f.view.memoryEnabled);
    EXPECT_FALSE(f.state.ReportVisible || f.state.ReportHasFile || f.state.ReportSaved);
    EXPECT_TRUE(f.dialogs.messages().empty());
}

TEST_F(ReportCalls, EveryFailedCreateCallGivesItsGuardsMessageAndQuitsTheApplication) {
    for (size_t k = 1; k <= 320; ++k) {
        ReportFixture g;
        RecordingAutomation r;
        r.install();
        if (k == 1) r.failCreate();
        else r.failAtCall(k);
        g.report.CreateReport();
        const char* expected = k == 1 ? msg::CannotStartSpreadsheet
                             : k <= 5 ? msg::WorkbookOpenError
                                      : msg::WorkbookEditError;
        ASSERT_EQ(g.dialogs.texts(), std::vector<std::string>{expected}) << "call " << k;
        EXPECT_EQ(g.dialogs.messages()[0].caption, msg::CaptionError);
        EXPECT_FALSE(g.state.ReportOpen) << k;
        EXPECT_FALSE(g.view.showEnabled || g.view.memoryEnabled) << k;
        EXPECT_EQ(g.view.date, "нет") << k;
        // Nothing of the layout after the failing call; the application it started goes again.
        if (k > 1) {
            EXPECT_EQ(r.lines().back(), "call app.Quit()") << k;
            EXPECT_EQ(r.liveObjects(), 0) << k;
        }
    }
}

// Answers "Value" reads of ranges of a sheet from `filled(sheet, row, column)`: a table for
// several cells, as the application gives it; `rows` answers "Count" of the sheet's rows.
RecordingAutomation::Answer sheetCells(std::function<bool(const std::string&, int, int)> filled, int rows = 1048576) {
    return [=](const RecordedCall& c) -> std::optional<Handle> {
        if (c.member == "Count" && c.object.ends_with("Rows()")) return Handle(std::int32_t{rows});
        const size_t at = c.object.find(".Range(\"");
        if (c.member != "Value" || at == std::string::npos) return std::nullopt;
        const std::string sheet = c.object.substr(0, at);
        const std::string address = c.object.substr(at + 8, c.object.size() - at - 10);
        const size_t colon = address.find(':');
        auto letters = [](const std::string& a) { return a.substr(0, a.find_first_of("0123456789")); };
        auto number = [](const std::string& a) { return std::stoi(a.substr(a.find_first_of("0123456789"))); };
        auto column = [](const std::string& l) {
            int n = 0;
            for (char ch : l) n = n * 26 + (ch - 'A' + 1);
            return n;
        };
        const std::string from = address.substr(0, colon), to = address.substr(colon + 1);
        const int top = number(from), bottom = number(to), left = column(letters(from)), right = column(letters(to));
        automation::Array table(bottom - top + 1, right - left + 1);
        for (int r = top; r <= bottom; ++r)
            for (int col = left; col <= right; ++col)
                if (filled(sheet, r, col)) table.at(r - top + 1, col - left + 1) = Handle("x");
        return Handle(std::move(table));
    };
}

TEST_F(ReportCalls, OpenFindsTheNextFreeRowsAndOpensHidden) {
    // Column A holds 5 live rows below row 2 and 11 memory rows below row 3; row 8 of the live
    // sheet has a cell in column D only, so it is no free row either.
    rec.answerReads(sheetCells([](const std::string& sheet, int row, int column) {
        if (sheet == Live) return (column == 1 && row < 8) || (column == 4 && row == 8);
        return column == 1 && row < 15;
    }));
    f.clock.setFileDate(LocalDateTime{2026, 11, 30, 18, 0, 0});
    f.report.OpenReport("/data/reports/r1.xlsx");
    ASSERT_TRUE(f.dialogs.messages().empty());
    auto lines = rec.lines();
    // Column A is read ten thousand rows a call, and each row it finds empty once from A on,
    // then whether any of its cells is merged.
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "create Excel.Application", "put app.DisplayAlerts = false", "get app.WorkBooks()",
                         "call app.WorkBooks().Open(\"/data/reports/r1.xlsx\", 0, false, 1, \"\x01lumo\", "
                         "\"\x01lumo\", true)",
                         "put app.DisplayAlerts = true", "get app.WorkBooks(1)", "get " + Book + ".WorkSheets(1)",
                         "get " + Book + ".WorkSheets(2)", "get " + Live + ".Rows()",
                         "get " + Live + ".Rows().Count()", "get " + Live + ".Range(\"A3:A10002\")",
                         "get " + Live + ".Range(\"A3:A10002\").Value()", "get " + Live + ".Range(\"A8:T8\")",
                         "get " + Live + ".Range(\"A8:T8\").Value()", "get " + Live + ".Range(\"A9:T9\")",
                         "get " + Live + ".Range(\"A9:T9\").Value()", "get " + Live + ".Range(\"A9:T9\").MergeCells()",
                         "get " + Mem + ".Rows()", "get " + Mem + ".Rows().Count()", "get " + Mem + ".Range(\"A4:A10003\")",
                         "get " + Mem + ".Range(\"A4:A10003\").Value()", "get " + Mem + ".Range(\"A15:BE15\")",
                         "get " + Mem + ".Range(\"A15:BE15\").Value()", "get " + Mem + ".Range(\"A15:BE15\").MergeCells()",
                         "get " + Book + ".ReadOnly()"}));
    EXPECT_EQ(f.state.LiveRow, 9);
    EXPECT_EQ(f.state.MemoryRow, 15);
    EXPECT_TRUE(f.state.ReportOpen && f.state.ReportHasFile && f.state.ReportSaved);
    EXPECT_FALSE(f.state.ReportVisible);
    EXPECT_EQ(f.view.name, "r1.xlsx");
    EXPECT_EQ(f.view.date, "short 30/11/2026");
    EXPECT_TRUE(f.view.showEnabled && f.view.memoryEnabled);

    ReportFixture g;
    g.report.OpenReport("C:\\data\\r1.xls");  // a missing file: no date, no open
    EXPECT_EQ(g.dialogs.texts(), std::vector<std::string>{msg::CannotOpenFile});

    // A sheet without a free row is full, not of a wrong format.
    ReportFixture full;
    RecordingAutomation r;
    r.install();
    r.answerReads(sheetCells([](const std::string&, int, int column) { return column == 1; }, 25000));
    full.clock.setFileDate(LocalDateTime{2026, 11, 30, 18, 0, 0});
    full.report.OpenReport("/data/reports/full.xlsx");
    EXPECT_EQ(full.dialogs.texts(), std::vector<std::string>{msg::ReportFull});
    EXPECT_FALSE(full.state.ReportOpen);
    EXPECT_EQ(r.lines().back(), "call app.Quit()");
}

TEST_F(ReportCalls, EveryFailedOpenCallClosesTheReportWithOneMessage) {
    char path[] = "/tmp/lumo-open-XXXXXX";
    int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    ::close(fd);
    for (size_t k = 1; k <= 12; ++k) {
        ReportFixture g;
        RecordingAutomation r;
        r.install();
        if (k == 1) r.failCreate();
        else r.failAtCall(k);
        g.report.OpenReport(path);
        const char* expected = k == 1 ? msg::CannotStartSpreadsheet
                             : k <= 6 ? msg::CannotOpenFile
                                      : msg::WrongFileFormat;  // the sheets, or their free rows
        ASSERT_EQ(g.dialogs.texts(), std::vector<std::string>{expected}) << k;
        EXPECT_FALSE(g.state.ReportOpen || g.state.ReportHasFile) << k;
        EXPECT_EQ(g.view.date, "нет") << k;
        EXPECT_EQ(g.view.name, "нет") << k;
        if (k > 1) {
            // The application was told to quit, the workbook closed when there was one.
            auto lines = r.lines();
            EXPECT_EQ(lines.back(), "call app.Quit()") << k;
            const bool bookObtained = k > 6;
            EXPECT_EQ(std::count(lines.begin(), lines.end(), "call " + Book + ".Close(false)"), bookObtained ? 1 : 0) << k;
            // The application's own questions are back on whatever failed (once more when the
            // report closes: the application is quit only with its questions on).
            EXPECT_EQ(std::count(lines.begin(), lines.end(), "put app.DisplayAlerts = true"),
                      (k == 2 ? 0 : 1) + 1) << k;
            EXPECT_EQ(r.liveObjects(), 0) << k;
        }
    }
    ::unlink(path);
}

TEST_F(ReportCalls, OpeningSaysAtOnceThatAReadOnlyFileCannotBeSavedInPlace) {
    rec.answerReads([](const RecordedCall& c) -> std::optional<Handle> {
        if (c.member == "ReadOnly") return Handle(true);
        return std::nullopt;
    });
    f.clock.setFileDate(LocalDateTime{2026, 11, 30, 18, 0, 0});
    f.report.OpenReport("/data/reports/r1.xlsx");
    EXPECT_EQ(f.dialogs.texts(), std::vector<std::string>{msg::ReportReadOnly});
    ASSERT_TRUE(f.state.ReportOpen);
    EXPECT_FALSE(f.state.ReportHasFile);
    EXPECT_EQ(f.view.name, "r1.xlsx");
    f.dialogs.saveName("/data/reports/r1-copy.xlsx");
    f.report.Save();  // under another name, through the dialog
    EXPECT_EQ(f.dialogs.fileDialogs().size(), 1u);
    EXPECT_EQ(f.view.name, "r1-copy.xlsx");
}

TEST_F(ReportCalls, SaveQuestionOnlyWhileAReportIsOpen) {
    // Right after start the report counts as unsaved, but there is nothing to save.
    f.report.CloseReport();
    EXPECT_TRUE(f.dialogs.messages().empty());
    created();
    f.report.CloseReport();  // unsaved (as at start): asked; Yes, then the dialog is cancelled
    EXPECT_EQ(f.dialogs.texts(), std::vector<std::string>{msg::SaveQuestion});
    EXPECT_EQ(f.dialogs.messages()[0].caption, msg::CaptionWarning);
    EXPECT_EQ(f.dialogs.messages()[0].buttons, MessageButtons::YesNo);
    EXPECT_EQ(f.dialogs.fileDialogs().size(), 1u);
    EXPECT_FALSE(f.state.ReportOpen);
    // Asked only when the application still answers; closed without its own question, and
    // quit when it holds no other workbook.
    EXPECT_EQ(rec.lines(), (std::vector<std::string>{"get " + Book + ".Name()", "put app.DisplayAlerts = false",
                                                     "call " + Book + ".Close(false)", "put app.DisplayAlerts = true",
                                                     "get app.WorkBooks()", "get app.WorkBooks().Count()",
                                                     "call app.Quit()"}));
    EXPECT_EQ(rec.liveObjects(), 0);
}

TEST_F(ReportCalls, ClosingHandsTheApplicationBackStepByStep) {
    // The operator opened workbooks of his own in the shown application: it stays, his.
    rec.answerReads([](const RecordedCall& c) -> std::optional<Handle> {
        if (c.member == "Count") return Handle(std::int32_t{2});
        return std::nullopt;
    });
    created();
    f.state.ReportSaved = true;
    f.report.CloseReport();
    EXPECT_EQ(rec.lines(), (std::vector<std::string>{"put app.DisplayAlerts = false", "call " + Book + ".Close(false)",
                                                     "put app.DisplayAlerts = true", "get app.WorkBooks()",
                                                     "get app.WorkBooks().Count()", "put app.UserControl = true",
                                                     "put app.Visible = true"}));
    EXPECT_EQ(rec.liveObjects(), 0);

    // A step that fails leaves the others to be made, and every handle goes. Quit only when
    // the workbooks were counted (none) and the questions are on again: else the application
    // is the operator's.
    for (const auto& [member, occurrence, quits] : {std::tuple{"DisplayAlerts", 1, true}, {"Close", 1, true},
                                                     {"Count", 1, false}, {"DisplayAlerts", 2, false}}) {
        ReportFixture g;
        RecordingAutomation r;
        r.install();
        g.report.CreateReport();
        g.state.ReportSaved = true;
        r.clearLog();
        r.failAtMember(member, occurrence);
        g.report.CloseReport();
        auto lines = r.lines();
        EXPECT_EQ(lines.back(), quits ? "call app.Quit()" : "put app.Visible = true") << member << occurrence;
        EXPECT_EQ(std::count(lines.begin(), lines.end(), "call app.Quit()"), quits ? 1 : 0) << member << occurrence;
        EXPECT_EQ(std::count(lines.begin(), lines.end(), "call " + Book + ".Close(false)"), 1) << member;
        EXPECT_EQ(r.liveObjects(), 0) << member;
        EXPECT_FALSE(g.state.ReportOpen);
    }
}

TEST_F(ReportCalls, SavingChoosesTheFormatFromTheNameAndKeepsTheNameSaved) {
    created();
    f.dialogs.saveName("/tmp/out/report.xlsx");
    f.report.Save();  // no file yet: asks for a name
    EXPECT_EQ(rec.lines(), (std::vector<std::string>{"put app.DisplayAlerts = false",
                                                     "call " + Book + ".SaveAs(\"/tmp/out/report.xlsx\", 51)",
                                                     "put app.DisplayAlerts = true"}));
    EXPECT_TRUE(f.state.ReportSaved && f.state.ReportHasFile);
    EXPECT_EQ(f.view.name, "report.xlsx");
    rec.clearLog();
    f.report.Save();  // in place, no dialog
    EXPECT_EQ(rec.lines(), (std::vector<std::string>{"put app.DisplayAlerts = false", "call " + Book + ".Save()",
                                                     "put app.DisplayAlerts = true"}));
    EXPECT_EQ(f.dialogs.fileDialogs().size(), 1u);
    EXPECT_TRUE(f.dialogs.messages().empty());

    // The format follows the extension; a name without one is saved, and kept, as .xlsx.
    const std::pair<const char*, const char*> names[] = {{"C:\\r\\a.XLS", "\"C:\\r\\a.XLS\", 56"},
                                                         {"C:\\r\\a.xlsm", "\"C:\\r\\a.xlsm\", 52"},
                                                         {"C:\\r\\отчет", "\"C:\\r\\отчет.xlsx\", 51"},
                                                         {"C:\\r.d\\a", "\"C:\\r.d\\a.xlsx\", 51"}};
    for (const auto& [typed, call] : names) {
        rec.clearLog();
        f.dialogs.saveName(typed);
        f.state.ReportHasFile = false;
        f.report.Save();
        EXPECT_EQ(rec.lines().at(1), "call " + Book + ".SaveAs(" + call + ")") << typed;
    }
    EXPECT_EQ(f.view.name, "a.xlsx");
}

TEST_F(ReportCalls, AFailedSaveIsToldAndTheDialogOfferedOnce) {
    created();
    f.state.ReportHasFile = true;  // as after an open
    rec.failAtMember("Save");
    f.dialogs.saveName("/tmp/elsewhere.xlsx");
    f.report.Save();
    EXPECT_EQ(f.dialogs.texts(), std::vector<std::string>{msg::CannotSaveReport});
    EXPECT_EQ(f.view.name, "elsewhere.xlsx");
    EXPECT_TRUE(f.state.ReportSaved);

    // Closing with Yes: the save fails, the operator is told, the dialog comes once more and
    // the second failure is told too; then the close goes on.
    ReportFixture g;
    RecordingAutomation r;
    r.install();
    g.report.CreateReport();
    r.failAtMember("SaveAs", 0);
    g.dialogs.saveName("/tmp/a.xlsx");
    g.dialogs.saveName("/tmp/b.xlsx");
    g.report.CloseReport();
    EXPECT_EQ(g.dialogs.texts(), (std::vector<std::string>{msg::SaveQuestion, msg::CannotSaveReport, msg::CannotSaveReport}));
    EXPECT_EQ(g.dialogs.fileDialogs().size(), 2u);
    EXPECT_FALSE(g.state.ReportOpen);

    // A busy application: no second dialog, which would meet it busy again.
    ReportFixture b;
    RecordingAutomation rb;
    rb.install();
    b.report.CreateReport();
    rb.failAtMember("SaveAs", 0, automation::code::RetryLater);
    b.dialogs.saveName("/tmp/a.xlsx");
    b.report.Save();
    EXPECT_EQ(b.dialogs.texts(), std::vector<std::string>{msg::SpreadsheetBusySave});
    EXPECT_EQ(b.dialogs.fileDialogs().size(), 1u);
    EXPECT_TRUE(b.state.ReportOpen);

    // A cancelled dialog and a save with no report open stay silent.
    ReportFixture e;
    e.report.Save();
    EXPECT_TRUE(e.dialogs.messages().empty());
    EXPECT_TRUE(e.dialogs.fileDialogs().empty());
}

TEST_F(ReportCalls, AnApplicationClosedByHandClosesTheReportWithoutAQuestionKeepingItsRows) {
    // Every code of an application that is gone: no question (nothing can be saved), one box,
    // no call after the one that failed.
    for (std::int32_t code : {automation::code::Disconnected, automation::code::ServerUnavailable,
                              automation::code::CallFailed, automation::code::ServerDied,
                              automation::code::ServerDiedDne, automation::code::ObjectRequired}) {
        ReportFixture g;
        RecordingAutomation r;
        r.install();
        g.report.CreateReport();
        r.clearLog();
        r.failFromCall(1, code);
        g.appendLiveRow();
        EXPECT_EQ(g.dialogs.texts(), std::vector<std::string>{msg::SpreadsheetGoneRowsKept}) << std::hex << code;
        EXPECT_FALSE(g.state.ReportOpen);
        EXPECT_EQ(r.calls().size(), 1u);
        EXPECT_EQ(r.liveObjects(), 0);
        EXPECT_EQ(g.state.LiveRow, 4);
    }
    // Closed by hand while polling was stopped: "Закрыть" finds it gone and asks nothing.
    created();
    f.appendLiveRow();
    rec.failFromCall(rec.calls().size() + 1, automation::code::Disconnected);
    f.report.CloseReport();
    EXPECT_EQ(f.dialogs.texts(), std::vector<std::string>{msg::SpreadsheetGoneRowsKept});
    EXPECT_TRUE(f.dialogs.fileDialogs().empty());
    // And a save that meets it gone says the same instead of offering a dialog.
    ReportFixture h;
    RecordingAutomation s;
    s.install();
    h.report.CreateReport();
    h.state.ReportHasFile = true;
    s.failFromCall(s.calls().size() + 1, automation::code::ServerUnavailable);
    h.report.Save();
    EXPECT_EQ(h.dialogs.texts(), std::vector<std::string>{msg::SpreadsheetGoneRowsKept});
    EXPECT_FALSE(h.state.ReportOpen);
}

TEST_F(ReportCalls, ShowAndHideFollowTheButton) {
    created();
    f.report.ShowOrHide();
    EXPECT_EQ(f.view.showCaption, "Спрятать отчет");
    EXPECT_TRUE(f.state.ReportVisible);
    f.report.ShowOrHide();
    EXPECT_EQ(f.view.showCaption, "Просмотреть отчет");
    EXPECT_EQ(rec.lines(), (std::vector<std::string>{"put app.Visible = true", "put app.Visible = false"}));
    f.report.ShowOrHide();
    f.state.ReportSaved = true;
    f.report.CloseReport();  // closing a shown report resets the caption
    EXPECT_EQ(f.view.showCaption, "Просмотреть отчет");
    EXPECT_FALSE(f.state.ReportVisible || f.view.showEnabled);

    // A failing "Visible" write leaves caption and flag as they were, and raises.
    ReportFixture g;
    RecordingAutomation r;
    r.install();
    g.report.CreateReport();
    r.failAtMember("Visible");
    EXPECT_THROW(g.report.ShowOrHide(), automation::Error);
    EXPECT_FALSE(g.state.ReportVisible);
    EXPECT_EQ(g.view.showCaption, "Просмотреть отчет");
}

TEST_F(ReportCalls, RowsGoWholeInOneWriteOfTypedValues) {
    created();
    f.store.CurrentValues[1].set("230,5");
    f.store.CurrentValues[18].set("нет");
    f.appendLiveRow();
    // Numbers as numbers, the stamp as dates, "нет" and empty slots as they are: the same in
    // any locale of the application.
    std::string row = "{#6.12.2026#, #7:05:09#, 230,5";
    for (int n = 2; n <= 17; ++n) row += ", <empty>";
    row += ", \"нет\"}";
    EXPECT_EQ(rec.lines(), (std::vector<std::string>{"get " + Live + ".Range(\"A3:T3\")",
                                                     "put " + Live + ".Range(\"A3:T3\").Value = " + row}));
    EXPECT_EQ(f.state.LiveRow, 4);
    EXPECT_FALSE(f.state.ReportSaved);

    rec.clearLog();
    auto& mv = *f.store.MemoryValues;
    mv[121].set("0230,500");
    mv[122].set("нет");
    f.appendMemoryRow(2);
    ASSERT_EQ(rec.lines().size(), 2u);
    EXPECT_EQ(rec.lines()[0], "get " + Mem + ".Range(\"A4:BC4\")");
    const Handle& values = rec.calls()[1].args[0];
    ASSERT_EQ(values.kind(), Handle::Kind::Array);
    EXPECT_EQ(values.array().columns(), 55);
    EXPECT_EQ(values.array().at(1, 1).number(), 2);
    EXPECT_EQ(values.array().at(1, 2).number(), 230.5);
    EXPECT_EQ(values.array().at(1, 3).string(), "нет");
    EXPECT_TRUE(values.array().at(1, 55).empty());
    f.appendMemoryRow(0);
    EXPECT_EQ(rec.calls()[3].args[0].array().at(1, 1).string(), "Весь период");
    EXPECT_EQ(f.state.MemoryRow, 6);
}

TEST_F(ReportCalls, ABusyApplicationGetsItsRowsLaterAndNeverClosesTheReport) {
    created();
    rec.failAtMember("Value", 0, automation::code::VbaIgnore);  // a cell in edit mode
    f.appendLiveRow();
    f.appendMemoryRow(0);
    f.appendLiveRow();
    EXPECT_EQ(f.dialogs.texts(), std::vector<std::string>{msg::SpreadsheetBusy});  // once
    EXPECT_TRUE(f.state.ReportOpen);
    EXPECT_EQ(f.report.PendingRows(), 3u);
    EXPECT_EQ(f.state.LiveRow, 5);
    EXPECT_EQ(f.state.MemoryRow, 5);
    // A save now would lose the rows: it waits for the application.
    f.state.ReportHasFile = true;
    f.report.Save();
    EXPECT_EQ(f.dialogs.texts(), (std::vector<std::string>{msg::SpreadsheetBusy, msg::SpreadsheetBusySave}));
    EXPECT_FALSE(f.state.ReportSaved);

    // It answers again: the waiting rows go first, in order, each whole, then the new one.
    rec.clearFailures();
    rec.clearLog();
    f.appendLiveRow();
    EXPECT_EQ(rangesRead(), (std::vector<std::string>{"A3:T3", "A4:BC4", "A4:T4", "A5:T5"}));
    EXPECT_EQ(f.report.PendingRows(), 0u);
    // The next busy stretch is told again.
    rec.failAtMember("Value", 0, automation::code::RetryLater);
    f.appendLiveRow();
    EXPECT_EQ(f.dialogs.texts().back(), msg::SpreadsheetBusy);
    EXPECT_EQ(f.dialogs.texts().size(), 3u);
}

TEST_F(ReportCalls, ARefusedRowClosesTheReportAskingOnlyForTheRowsWritten) {
    // A refused stamp on a report just saved: nothing to ask about, one message.
    for (size_t k = 1; k <= 2; ++k) {
        ReportFixture g;
        RecordingAutomation r;
        r.install();
        g.report.CreateReport();
        g.state.ReportSaved = true;
        r.clearLog();
        r.failAtCall(k);
        g.appendLiveRow();
        EXPECT_EQ(g.dialogs.texts(), std::vector<std::string>{msg::CannotAddRecord}) << k;
        EXPECT_FALSE(g.state.ReportOpen);
        EXPECT_TRUE(g.state.ReportSaved);
        EXPECT_EQ(g.state.LiveRow, 4);
    }

    // "Закрыть" while rows wait for a busy application, one of them refused once it answers:
    // the close's save writes the rows behind it and saves them, the operator hears exactly
    // which row the file lacks, and the close goes on once (no second question, nothing called
    // after the application is let go); the journal keeps every row for the next start.
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("lumo-refused-" + std::to_string(std::random_device{}()));
    auto journal = std::make_unique<ReportJournal>(folder);
    f.report.setJournal(journal.get());
    created();
    f.state.ReportHasFile = true;  // as after an open: saves go in place
    rec.failAtMember("Value", 0, automation::code::VbaIgnore);
    f.appendLiveRow();     // live row 3
    f.appendMemoryRow(0);  // memory row 4
    f.appendLiveRow();     // live row 4
    rec.clearFailures();
    rec.failAtMember("Value", 2);  // the memory row
    rec.clearLog();
    f.dialogs.clear();
    EXPECT_TRUE(f.report.CloseReport());
    EXPECT_EQ(rangesRead(), (std::vector<std::string>{"A3:T3", "A4:BC4", "A4:T4"}));
    EXPECT_EQ(f.dialogs.texts(), (std::vector<std::string>{
                                     msg::SaveQuestion,
                                     msg::savedWithoutRows(layout::LiveSheetName, layout::MemorySheetName, {{false, 4}})}));
    EXPECT_EQ(countFrom(0, ".Save()"), 1u);
    EXPECT_EQ(rec.lines().back(), "call app.Quit()");
    EXPECT_FALSE(f.state.ReportOpen);
    EXPECT_EQ(rec.liveObjects(), 0);
    auto kept = ReportJournal::read(journal->path());
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->rows.size(), 3u);

    // With no report open every later row writes nothing and shows nothing.
    f.dialogs.clear();
    rec.clearLog();
    f.appendLiveRow();
    f.appendMemoryRow(0);
    EXPECT_TRUE(rec.lines().empty());
    EXPECT_TRUE(f.dialogs.messages().empty());
    EXPECT_EQ(f.state.MemoryRow, 6);
    f.report.setJournal(nullptr);
    journal.reset();
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
}
