#pragma once
// The report workbook: its state, and its operations (create, open, save, close, show and hide,
// and the writing of records). The operations work on the report state, the operator dialogs,
// the clock and the window's report controls, all taken by reference; every spreadsheet step is
// an automation call. The layout lives in report_layout.h; the operations are implemented in
// report.cpp (lifecycle), report_layout.cpp (creation) and report_records.cpp (rows).

#include <cstdint>
#include <deque>
#include <span>
#include <string>
#include <vector>

#include "common/clock.h"
#include "common/operator_dialogs.h"
#include "automation/automation.h"
#include "report/report_layout.h"

namespace lumo {

class ReportJournal;
struct JournalOffer;

// The state of the report workbook, owned by the main window for the whole run.
struct ReportState {
    LocalDateTime ReportCreated;  // when the report was created
    bool ReportSaved = false;     // the report has no unsaved changes
    bool ReportHasFile = false;   // the report was opened from or saved to a file
    bool ReportVisible = false;   // the spreadsheet application's window is shown
    bool ReportOpen = false;      // a report workbook is open
    std::int32_t LiveRow = 0;     // next row of the live-readings sheet
    std::int32_t MemoryRow = 0;   // next row of the memory-data sheet

    // The spreadsheet application, the report workbook, its two sheets, and two scratch
    // handles for one cell and one range at a time.
    automation::Handle ExcelApp, ReportBook, LiveSheet, MemorySheet, ScratchCell, ScratchRange;
};


// The window's controls that follow the report's state.
class ReportView {
public:
    virtual ~ReportView() = default;
    virtual void setReportName(const std::string& text) = 0;  // LabRepName
    virtual void setReportDate(const std::string& text) = 0;  // LabReportDate
    virtual void setShowButton(bool enabled, const std::string& caption) = 0;  // ButShow
    virtual void setMemoryButtonEnabled(bool enabled) = 0;   // butReadMemory
    // A date in the system's short date form.
    virtual std::string shortDate(const LocalDateTime& date) = 0;
};

class Report {
public:
    Report(ReportState& state, OperatorDialogs& dialogs, const Clock& clock, ReportView& view);

    // ---- Lifecycle ----
    void CreateReport();
    void OpenReport(const std::string& fileName);
    // Closes the report (asking first whether to save unsaved rows). False when it stays open:
    // the application stayed busy and the operator chose to leave the report open, or its save
    // could not run; the report and its journal are then as they were.
    bool CloseReport();
    // The program ends while the report could not be closed: the application is left to the
    // operator (shown, under his control) with the workbook, the report is forgotten here and
    // its unsaved rows stay in the journal for the next start.
    void LeaveToOperator();
    // Save in place / under a name from the save dialog. True when the workbook was saved.
    bool SaveReport();
    // The save of "Сохранить": in place when the report has a file, else under a name; a
    // failure is told to the operator.
    void Save();
    void ShowOrHide();
    // The operator closed the spreadsheet application's window himself: the button follows.
    void ViewerHidden();
    // The first row from firstDataRow on whose cells in columns 1 to `columns` are all empty
    // and none merged, found by reading column 1 a block at a time and checking the whole row
    // of each empty cell; 0 when the sheet has no such row (it is full).
    std::int32_t FindNextRow(const automation::Handle& sheet, std::int32_t firstDataRow, std::int32_t columns);

    // ---- Records ----
    // One cell: its value from the text as a row would take it (cellValue).
    void WriteReportCell(automation::Handle sheet, std::int32_t row, std::int32_t column,
                         const std::string& text);
    // A live row: the date and time, then the readings' texts (ReadingCount of them), in one
    // write of the row's range. A busy application gets the row at a later tick.
    void AppendLiveRow(std::span<const std::string> readings);
    // A memory row: the period's label, then the minimum, maximum and average text of each
    // reading in turn (3 * ReadingCount texts), in one write of the row's range.
    void AppendMemoryRow(std::int32_t period, std::span<const std::string> statistics);
    // Rows that a busy application did not take yet.
    std::size_t PendingRows() const { return pending_.size(); }

    // The file of the last report opened or saved in this run, kept after it is closed; empty
    // before the first.
    const std::string& lastFile() const { return lastFile_; }

    // The dialogs' filters: the open dialog shows the operator's .xls and .xlsx reports.
    FileDialogRequest openDialog() const;
    FileDialogRequest saveDialog() const;

    // ---- The journal of unsaved rows ----
    // Every row written from now on is journaled too (null: none). `folder` names the journal's
    // folder in the message when the journal cannot be kept.
    void setJournal(ReportJournal* journal, std::string folder = {}) {
        journal_ = journal;
        journalFolder_ = std::move(folder);
    }
    // Reopens the journaled report (its file, or a new report when it had none, its file no
    // longer opens or its header was damaged), makes the journal the report's own and writes
    // its rows into the workbook, but for the first ones when the file verifiably holds them
    // already (a save that the journal's end did not follow). The report is left unsaved.
    void RecoverReport(const JournalOffer& offer);

    // A live sheet past this many rows is nearly full: the operator is told once per report.
    static constexpr std::int32_t NearlyFullRows = 1000000;
    // The rows of a sheet, and how many of column 1 the free-row search reads at a time.
    static constexpr std::int32_t MaxSheetRows = 1048576;
    static constexpr std::int32_t ScanBlock = 10000;
    // The rows of a sheet in the legacy .xls format, and the row past which a report kept in it
    // is offered to be saved as .xlsx instead.
    static constexpr std::int32_t LegacyRows = 65536;
    static constexpr std::int32_t LegacyNearlyFullRows = 60000;

private:
    // Starts the spreadsheet application into ExcelApp; tells the operator when it cannot.
    bool startApplication();
    enum class SaveOutcome { Saved, Cancelled, Failed, NotOpen };
    std::int32_t lastSaveError_ = 0;
    SaveOutcome saveInPlace();
    SaveOutcome saveUnderName(const std::string& proposed = "");
    // The save of "Сохранить" and of the close question.
    SaveOutcome saveAnyway();
    // The rows waiting for a busy application go in first; false when they cannot.
    bool rowsInBeforeSave();
    // After a failed save: tell the operator (unless the application stopped answering) and
    // offer the save dialog once more. Returns true when the second try saved.
    bool recoverFailedSave(std::int32_t failureCode);
    // What a successful save leaves: the report saved and its journal ended when the file holds
    // every journaled row; else the operator hears which rows the file lacks, and the journal
    // keeps them.
    void afterSave();
    // The journal anew with only the journaled rows still waiting (after a save that holds
    // every row before them).
    void restartJournal();
    // Closes the workbook without saving and without the application's own question, turning
    // the questions back on; false when the application stayed busy (nothing was closed).
    // `alertsOn` tells whether the questions are known to be on again.
    bool closeWorkbook(bool& alertsOn);
    // Hands the application back: quits it only when its workbooks were counted, none is left
    // and its questions are on again; else leaves it to the operator, shown and his.
    void handBack(bool alertsOn);
    // Closes the workbook and hands the application back, each step on its own, every handle
    // released (a failed open or create).
    void closeApplicationSilently();
    // A close that could not finish: the report stays open, its rows journaled (refused ones
    // wait again, first); told unless the operator chose it himself. Returns false.
    bool leaveOpen();
    // Asked when the application has turned a close's calls away for a while: true to wait on.
    bool waitForBusyApplication();
    // The application is gone (closed by hand): nothing can be saved or asked; the report is
    // closed on the program's side and its rows stay in the journal for the next start.
    void closeGoneApplication();
    // The report closed on the program's side: handles released, state and controls reset, the
    // journal kept for the next start.
    void forgetReport();
    void releaseHandles();
    // Asks the workbook for its name: whether the application answers, is gone or stays busy.
    enum class Answer { Yes, Gone, Busy };
    Answer applicationAnswers();
    // The rows that came while an operation ran go in now.
    void writeWaitingRows();
    // Saved as .xls from now on: the operator is offered .xlsx before the format's last row.
    void offerXlsx(std::int32_t row);
    // A workbook that keeps the .xls format's rows after being saved as .xlsx is opened again.
    void reopenIfLegacyGrid(const std::string& name);
    bool rowsBeyondLegacy() const;
    void writeLiveRow(const std::string& date, const std::string& time,
                      std::span<const std::string> readings, bool fromJournal = false);
    void writeMemoryRow(const std::string& label, std::span<const std::string> statistics,
                        bool fromJournal = false);
    // A row the application did not take yet (it was busy), or refused: its sheet, row, values,
    // and its cells as the journal keeps them.
    struct PendingRow {
        bool live;
        std::int32_t row;
        automation::Array values;
        std::vector<std::string> cells;
        bool journaled;  // false: it came after a close was decided, and goes with the report
    };
    // Queues the row and writes every queued row it can, in order: one "Range(...).Value" each;
    // while an operation of the report runs the row only waits.
    void writeRow(PendingRow row);
    // Writes the waiting rows in order. A row the application refuses is left out alone: the
    // rows behind it still go in, then the report closes (refusedRowsClose). Never nested: a
    // row written while it waits only queues behind the others.
    void writePending();
    enum class Written { Yes, Busy, Gone, Refused };
    Written writeOne(const PendingRow& p);
    // After rows were refused: the report closes through CloseReport, asking the save question
    // only for rows written since the last save, then the row's message (by the sheet of the
    // first refused row). The refused rows stay in the journal for the next start.
    void refusedRowsClose(bool live);
    void journalRow(char kind, std::vector<std::string> cells);
    void endJournal();
    // A message about the journal, shown once the row it came with is written.
    void tellJournal();
    // The column formats of the live sheet's date and time, for a new report.
    void stampFormats(const automation::Handle& sheet);
    // The rows of the sheet: 1,048,576, or fewer for a workbook in an older format.
    std::int32_t sheetRows(const automation::Handle& sheet);
    // The range of the cells from (top, left) to (bottom, right), as a handle of the caller's own.
    automation::Handle rangeOf(const automation::Handle& sheet, std::int32_t top, std::int32_t left,
                               std::int32_t bottom, std::int32_t right);
    // The values of the cells from (top, left) to (bottom, right) through one read.
    automation::Handle rangeValues(const automation::Handle& sheet, std::int32_t top, std::int32_t left,
                                   std::int32_t bottom, std::int32_t right);
    // How many of the journal's first rows of a kind the sheet holds already, cell for cell,
    // from the journal's first free row on; 0 unless every one of them matches.
    std::size_t rowsAlreadyThere(const automation::Handle& sheet, std::int32_t journalRow,
                                 std::int32_t freeRow, const std::vector<const std::vector<std::string>*>& rows);
    void resetControls();
    void writeHeader(const automation::Handle& sheet, const layout::SheetHeader& header);
    void mergedTitle(const automation::Handle& sheet, const layout::MergedTitle& title);

    // An operation of the report (a save, a close, a recovery, the writing of rows) runs: rows
    // that come meanwhile (a tick dispatched while a call waits) only queue.
    struct Operation {
        explicit Operation(Report& r) : r_(r) { ++r_.operation_; }
        ~Operation() { --r_.operation_; }
        Operation(const Operation&) = delete;
        Operation& operator=(const Operation&) = delete;
        Report& r_;
    };
    int operation_ = 0;
    bool writing_ = false;         // writePending() runs
    bool closing_ = false;         // CloseReport() runs
    bool closeDecided_ = false;    // the close goes on whatever comes: rows that come wait unjournaled
    bool operatorLeft_ = false;    // the operator chose to leave the report open while the application was busy
    std::deque<PendingRow> pending_;
    std::vector<PendingRow> refused_;  // refused rows, until the report closes
    std::int64_t rowsSinceSave_ = 0;   // rows in the workbook since it was last saved, opened or created
    bool busyTold_ = false;        // the operator heard that rows wait for the application
    bool keepsLegacyFiles_ = false;   // the application saves a legacy .xls as .xls itself
    bool xlsFormat_ = false;          // the report is saved in the .xls format
    bool xlsxOffered_ = false;        // the operator was offered .xlsx for this report

    std::string path_;              // the report's file, while it has one
    std::string lastFile_;          // the last such file
    bool legacyFile_ = false;       // opened from a legacy .xls, which keeps only values
    bool nearlyFullTold_ = false;   // the operator heard that this report is nearly full
    ReportJournal* journal_ = nullptr;
    std::string journalFolder_;
    bool journalOffTold_ = false;  // the operator heard that no journal is kept
    bool journalFailTold_ = false; // the operator heard that the journal cannot be written
    std::string journalNotice_;    // what tellJournal() shows, when anything

    ReportState& s_;
    OperatorDialogs& dialogs_;
    const Clock& clock_;
    ReportView& view_;
};

// The part of a path after its last separator ('\' or '/').
std::string fileNameOf(const std::string& path);

// d.m.yyyy without leading zeros: 6 December 2026 is "6.12.2026".
std::string plainDate(const LocalDateTime& d);

// The result code of a failed automation call; 0 for any other failure.
std::int32_t codeOf(const std::exception& e);

// A cell's value from the text of a row, the same in every locale: a decimal-comma number as
// a number, "" as nothing, anything else ("нет") as text.
automation::Handle cellValue(const std::string& text);

// The name a workbook is saved under and the file format to save it in (XlFileFormat): .xlsx
// 51, .xlsm 52, .xls 56; a name without one of these gets ".xlsx" and 51.
struct SaveTarget {
    std::string name;
    std::int32_t fileFormat;
};
SaveTarget saveTargetFor(const std::string& name);

}  // namespace lumo
