#pragma once
// A stand-in spreadsheet application for tests: every object answers every member, every
// call is logged (object, kind, member, arguments), and calls can be made to fail at the k-th
// call, from the k-th call on, or at a named member. Reads give new recording objects named
// after the read ("app.WorkBooks(1).WorkSheets(2)"); "Value" reads give texts ("" unless a
// test scripts them), "MergeCells" false, "Count" the rows of a sheet (1,048,576) or no other workbook (0),
// "ReadOnly" false, "FileFormat" 51 (.xlsx), "Name" "r1.xlsx".

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "automation/automation.h"

namespace lumo::test {

// The result code the call fails with, or 0 when it does not fail.
std::int32_t errorCodeOf(const std::function<void()>& call);

struct RecordedCall {
    enum class Kind { Create, Get, Put, Call };
    Kind kind;
    std::string object;  // "app", "app.WorkBooks()", ...; the program identifier for Create
    std::string member;
    std::vector<automation::Handle> args;  // for Put: the one value

    // "create Excel.Application", "get app.WorkBooks(1)", "put app.Visible = true",
    // "call app.WorkBooks().Open(\"r.xlsx\", 0, false, 1)".
    std::string text() const;
};

// How install() hands out the applications it creates: as they are, unless a test program
// routes them through another layer first (on Windows, through the COM backend).
using ObjectRoute = std::function<automation::Handle(automation::Handle)>;
void setInstallRoute(ObjectRoute route);

class RecordingAutomation {
public:
    RecordingAutomation();
    ~RecordingAutomation();

    // Registers this recorder for "Excel.Application" until it is destroyed.
    void install();
    // A new application object, as createObject would give it (logged as a Create call).
    automation::Handle create();

    const std::vector<RecordedCall>& calls() const;
    std::vector<std::string> lines() const;  // text() of every call
    void clearLog();

    // Failures, each with the result code to raise (ApplicationDefined unless given).
    // k is 1-based and counts every logged call (Create too) since the last clearLog().
    void failAtCall(std::size_t k, std::int32_t code = automation::code::ApplicationDefined);
    void failFromCall(std::size_t k, std::int32_t code = automation::code::ServerUnavailable);     // every call from k on
    // The n-th call (1-based; 0 = every one) of the member, matched case-insensitively.
    void failAtMember(std::string member, int occurrence = 1, std::int32_t code = automation::code::ApplicationDefined);
    void failCreate(std::int32_t code = automation::code::InvalidClassString);
    void clearFailures();

    // Answers to reads: return a handle to give it back instead of the default (a new
    // recording object, or "" for "Value").
    using Answer = std::function<std::optional<automation::Handle>(const RecordedCall&)>;
    void answerReads(Answer answer);

    // Recording objects still referenced by some handle.
    int liveObjects() const;

    struct State;

private:
    std::shared_ptr<State> state_;
    std::unique_ptr<automation::ScopedFactory> registration_;
};

}  // namespace lumo::test
