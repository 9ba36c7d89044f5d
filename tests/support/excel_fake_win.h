#pragma once
// A spreadsheet application for the Windows tests, served through real IDispatch objects and
// VARIANTs, that behaves as Excel's documentation says Excel does for the members the report
// uses; each behaviour names the page it follows in excel_fake_win.cpp. No Excel runs here
// (nor under Wine), so the report's path is tried against this: values read by the call's
// locale, SaveAs's rules of names and formats, busy stretches, an application closed by hand,
// prompts that would wait on a hidden window, Workbooks.Count, and a count of every call.

#include <windows.h>
#include <oaidl.h>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace lumo::test {

class ExcelFake {
public:
    // A file that "Open" can read.
    struct File {
        int liveRows = 0;     // rows filled below the live sheet's header (column A from row 3)
        int memoryRows = 0;   // rows filled below the memory sheet's header (from row 4)
        bool passwordProtected = false;
        bool formatDiffersFromName = false;  // the question "open anyway?" comes with it
        bool readOnly = false;
        bool writeReserved = false;          // a password is asked for writing to it
        bool readOnlyRecommended = false;    // saved "read-only recommended": asked about at open
    };

    // One cell as the application keeps it.
    struct Cell {
        VARTYPE type = VT_EMPTY;  // VT_EMPTY, VT_R8 (numbers and dates), VT_BSTR, VT_BOOL
        double number = 0;
        std::string text;
        std::string format = "General";
        bool operator==(const Cell&) const = default;
    };

    explicit ExcelFake(LCID systemLocale = 0x0409);
    ~ExcelFake();
    ExcelFake(const ExcelFake&) = delete;
    ExcelFake& operator=(const ExcelFake&) = delete;

    // A new application object (one reference for the caller), as CoCreateInstance gives it.
    IDispatch* start();

    void addFile(const std::string& path, File file);
    // The next `calls` calls (after `after` more answered ones) are refused with `code`
    // (RPC_E_SERVERCALL_RETRYLATER, or VBA_E_IGNORE while a cell is being edited).
    void busyFor(int calls, HRESULT code, int after = 0);
    // The operator closed the application: every call from now on fails with `code`.
    void closeByHand(HRESULT code);
    // The operator opened a workbook of his own in the shown application.
    void openOperatorWorkbook();
    // Every call of the member (any case) fails as the application refuses a call.
    void failMember(const std::string& member);
    // The operator protects (or unprotects) sheet 1 or 2 of the report's workbook: writes to it
    // are refused.
    void protectSheet(int sheet, bool on = true);
    // The next call of the member runs `action` first, inside the call, as a message that COM's
    // wait dispatches while the call waits (the caller's timer).
    void duringCall(const std::string& member, std::function<void()> action);

    // ---- What happened ----
    int invokes() const;                       // IDispatch::Invoke calls (each a round trip)
    int invokesOf(const std::string& member) const;
    void clearCounts();
    std::vector<LCID> locales() const;         // of every lookup and call
    bool waitedOnAPrompt() const;              // an Open would have waited on a hidden question
    bool quitWithOperatorWorkbooks() const;    // Quit threw away a workbook of the operator's
    bool quit() const;
    bool userControl() const;
    bool displayAlerts() const;
    bool visible() const;
    // A caller let go of an object while a call on it was still running.
    bool objectReleasedInItsCall() const;
    // Rows that saves in the .xls format could not hold.
    int droppedRows() const;
    // The rows of sheet 1 of the report's workbook (65,536 in compatibility mode).
    int sheetRows() const;
    int workbooks() const;
    std::string savedName() const;             // the file of the last Save or SaveAs
    int savedFormat() const;
    std::vector<std::string> badFormatCodes() const;  // NumberFormat codes that are none
    // A cell of sheet 1 or 2 of the report's workbook.
    Cell cell(int sheet, int row, int column) const;
    // A cell of sheet 1 or 2 as the last save wrote the file.
    Cell savedCell(const std::string& path, int sheet, int row, int column) const;

    struct State;

private:
    std::shared_ptr<State> state_;
};

}  // namespace lumo::test
