#include "report/report.h"

#include <algorithm>
#include <cctype>

#include <exception>
#include <filesystem>

#include "common/atomic_file.h"
#include "common/messages.h"
#include "common/numtext.h"
#include "report/report_journal.h"

namespace lumo {

using automation::Handle;
using automation::methodCall;
using automation::propertyGet;
using automation::propertyPut;

namespace {

// A name's extension in lower case, with its dot ("" when the name has none).
std::string extensionOf(const std::string& path) {
    const std::string name = fileNameOf(path);
    const size_t dot = name.find_last_of('.');
    if (dot == std::string::npos || dot == 0) return {};
    std::string ext = name.substr(dot);
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
    return ext;
}

// A legacy .xls name: the built-in application reads such files for their values only.
bool legacyName(const std::string& path) { return extensionOf(path) == ".xls"; }

// The password handed to "Open" for reading and for writing: a workbook protected by one fails
// at once instead of waiting on the application's password prompt, and one without a password
// ignores it ("If this argument is omitted and the workbook requires a password, the user is
// prompted", for Password and WriteResPassword alike); a workbook saved as "read-only
// recommended" opens without that question (IgnoreReadOnlyRecommended) (Workbooks.Open,
// https://learn.microsoft.com/office/vba/api/excel.workbooks.open). DisplayAlerts does not
// answer these prompts.
constexpr const char* NoPassword = "\x01lumo";

// Workbooks.Open's arguments: the name, no link updates, not read-only, format 1, the passwords
// and the read-only recommendation answered.
void openWorkbook(const Handle& app, const std::string& fileName) {
    methodCall(propertyGet(app, "WorkBooks"), "Open", {fileName, 0, false, 1, NoPassword, NoPassword, true});
}

// XlFileFormat (https://learn.microsoft.com/office/vba/api/excel.xlfileformat).
constexpr std::int32_t XlOpenXMLWorkbook = 51, XlOpenXMLWorkbookMacroEnabled = 52, XlExcel8 = 56;

// What a failure to turn the application's questions back on means: nothing for a save that is
// done (the rows are in the file), a failed step for an opening that goes on with the workbook.
enum class AlertsBack { Tried, Required };

// Makes a call with the application's own questions off and turns them back on whatever the
// call did; the call's failure is the one passed on
// (Application.DisplayAlerts, https://learn.microsoft.com/office/vba/api/excel.application.displayalerts).
template <class Call>
void withAlertsOff(const Handle& app, AlertsBack back, const Call& call) {
    propertyPut(app, "DisplayAlerts", false);
    std::exception_ptr failure;
    try {
        call();
    } catch (...) {
        failure = std::current_exception();
    }
    try {
        propertyPut(app, "DisplayAlerts", true);
    } catch (...) {
        if (!failure && back == AlertsBack::Required) failure = std::current_exception();
    }
    if (failure) std::rethrow_exception(failure);
}

}  // namespace

std::int32_t codeOf(const std::exception& e) {
    if (auto* a = dynamic_cast<const automation::Error*>(&e)) return a->code();
    return 0;
}

SaveTarget saveTargetFor(const std::string& name) {
    // SaveAs writes the format it is given whatever the name says, and a name without a known
    // extension would be saved under another name than the one the program keeps (Workbook.
    // SaveAs, https://learn.microsoft.com/office/vba/api/excel.workbook.saveas): the program
    // decides both, so the name it shows and journals is the one on the disk.
    const std::string ext = extensionOf(name);
    if (ext == ".xlsx") return {name, XlOpenXMLWorkbook};
    if (ext == ".xlsm") return {name, XlOpenXMLWorkbookMacroEnabled};
    if (ext == ".xls") return {name, XlExcel8};
    return {name + ".xlsx", XlOpenXMLWorkbook};
}

Handle cellValue(const std::string& text) {
    if (text.empty()) return {};
    if (auto v = parseDecimal(text)) return Handle(*v);
    return Handle(text);
}

std::string fileNameOf(const std::string& path) {
    size_t sep = path.find_last_of("\\/");
    return sep == std::string::npos ? path : path.substr(sep + 1);
}

std::string plainDate(const LocalDateTime& d) {
    return std::to_string(d.day) + "." + std::to_string(d.month) + "." + std::to_string(d.year);
}

Report::Report(ReportState& state, OperatorDialogs& dialogs, const Clock& clock, ReportView& view)
    : s_(state), dialogs_(dialogs), clock_(clock), view_(view) {}

FileDialogRequest Report::openDialog() const {
    return {"*.xls, *.xlsx|*.xls;*.xlsx|*.*|*.*", "xls", ""};
}

FileDialogRequest Report::saveDialog() const {
    return {"*.xlsx|*.xlsx|*.xls|*.xls|*.*|*.*", "", ""};
}

// ---- Closing ----

bool Report::CloseReport() {
    if (!s_.ReportOpen) {
        // A failed open: the workbook, when there is one, and the application started for it go.
        closeApplicationSilently();
        forgetReport();
        return true;
    }
    Operation operation(*this);
    closing_ = true;
    operatorLeft_ = false;
    struct Reset {
        Report& r;
        ~Reset() { r.closing_ = r.closeDecided_ = false; }
    } reset{*this};
    // All the calls of the close wait one patience in all for a busy application; then the
    // operator chooses whether to wait on or to leave the report open, as COM's own busy dialog
    // offers (OleUIBusy, https://learn.microsoft.com/windows/win32/api/oledlg/nf-oledlg-oleuibusya).
    automation::CallPatience patience(automation::CallPatience::BeforeAsking, [this] { return waitForBusyApplication(); });

    bool discard = false;
    // The question only makes sense while the application still answers: one closed by hand
    // can save nothing, its rows stay in the journal.
    if (!s_.ReportSaved) {
        switch (applicationAnswers()) {
            case Answer::Gone: closeGoneApplication(); return true;
            case Answer::Busy: return leaveOpen();
            case Answer::Yes: break;
        }
        MessageResult answer = dialogs_.message(
            {msg::SaveQuestion, msg::CaptionWarning, MessageIcon::Warning, MessageButtons::YesNo});
        automation::CallPatience::startAgain();
        closeDecided_ = true;
        if (answer == MessageResult::Yes) {
            SaveOutcome o = saveAnyway();
            if (!s_.ReportOpen) return true;  // the application went while saving: closed and told already
            if (o == SaveOutcome::Failed && automation::busy(lastSaveError_)) return leaveOpen();  // the save could not run
            if (o == SaveOutcome::Failed) {
                const bool saved = recoverFailedSave(lastSaveError_);
                if (!s_.ReportOpen) return true;
                if (!saved && automation::busy(lastSaveError_)) return leaveOpen();
            }
        } else {
            discard = true;  // the operator throws the rows away, once the workbook is closed
        }
    }
    closeDecided_ = true;
    bool alertsOn = false;
    if (!closeWorkbook(alertsOn)) return leaveOpen();
    if (discard) endJournal();
    {
        // The workbook is closed: handing the application back asks the operator nothing and
        // waits little; what cannot be done leaves the application to him.
        automation::CallPatience quick(automation::CallPatience::WithinATick, {});
        handBack(alertsOn);
    }
    forgetReport();
    return true;
}

bool Report::waitForBusyApplication() {
    const MessageResult r = dialogs_.message(
        {msg::SpreadsheetBusyWait, msg::CaptionWarning, MessageIcon::Warning, MessageButtons::WaitOrLeave});
    if (r == MessageResult::Wait) return true;
    operatorLeft_ = true;
    return false;
}

bool Report::leaveOpen() {
    // Rows refused meanwhile wait again, ahead of the later ones: the next tick tries them
    // first, and one still refused closes the report then.
    for (auto r = refused_.rbegin(); r != refused_.rend(); ++r) pending_.push_front(std::move(*r));
    refused_.clear();
    // The rows that came once the close was decided were not journaled: they are the report's
    // after all, and go in at the next tick.
    for (PendingRow& p : pending_) {
        if (p.journaled) continue;
        journalRow(p.live ? 'L' : 'M', p.cells);
        p.journaled = true;
    }
    if (!pending_.empty() || !refused_.empty()) s_.ReportSaved = false;
    if (!operatorLeft_) dialogs_.error(msg::SpreadsheetBusyClose);
    tellJournal();
    return false;
}

void Report::LeaveToOperator() {
    if (!s_.ReportOpen) return;
    // Shown and under the operator's control, the application keeps the workbook after the
    // program's references go (Application.UserControl,
    // https://learn.microsoft.com/office/vba/api/excel.application.usercontrol).
    automation::CallPatience quick(automation::CallPatience::WithinATick);
    for (const char* member : {"UserControl", "Visible"}) {
        try {
            propertyPut(s_.ExcelApp, member, true);
        } catch (const std::exception&) {
        }
    }
    forgetReport();
}

void Report::releaseHandles() {
    for (Handle* h : {&s_.ScratchRange, &s_.ScratchCell, &s_.LiveSheet, &s_.MemorySheet, &s_.ReportBook, &s_.ExcelApp})
        h->release();
}

void Report::forgetReport() {
    releaseHandles();
    s_.ReportOpen = false;
    resetControls();
    s_.ReportVisible = false;
    s_.ReportHasFile = false;
    path_.clear();
    legacyFile_ = false;
    keepsLegacyFiles_ = false;
    xlsFormat_ = false;
    xlsxOffered_ = false;
    nearlyFullTold_ = false;
    pending_.clear();
    refused_.clear();
    rowsSinceSave_ = 0;
    busyTold_ = false;
    // Rows still unsaved stay in the journal's file; the next report's journal keeps it aside
    // and the next start offers it.
    if (journal_) journal_->detach();
}

Report::Answer Report::applicationAnswers() {
    if (!s_.ReportBook.isObject()) return Answer::Yes;
    try {
        propertyGet(s_.ReportBook, "Name");
        return Answer::Yes;
    } catch (const std::exception& e) {
        const std::int32_t code = codeOf(e);
        return automation::gone(code) ? Answer::Gone : automation::busy(code) ? Answer::Busy : Answer::Yes;
    }
}

void Report::closeGoneApplication() {
    const bool unsaved = s_.ReportOpen && !s_.ReportSaved;
    forgetReport();  // nothing of the application is called any more
    dialogs_.error(unsaved ? msg::SpreadsheetGoneRowsKept : msg::SpreadsheetGone);
}

namespace {

// One step of closing: its failure leaves the other steps to be made. Raises nothing; gives
// false when the step failed, and `busy` tells whether it failed because the application
// stayed busy.
template <class Call>
bool step(const Call& call, bool* busy = nullptr) {
    try {
        call();
        return true;
    } catch (const std::exception& e) {
        if (busy) *busy = automation::busy(codeOf(e));
        return false;
    }
}

}  // namespace

bool Report::closeWorkbook(bool& alertsOn) {
    if (s_.ReportBook.isObject()) {
        // Closed without saving and without the application's own question (Workbook.Close,
        // https://learn.microsoft.com/office/vba/api/excel.workbook.close); the application's
        // questions come back for the operator's own workbooks.
        bool busy = false;
        if (!step([&] { propertyPut(s_.ExcelApp, "DisplayAlerts", false); }, &busy) && busy) return false;
        if (!step([&] { methodCall(s_.ReportBook, "Close", {false}); }, &busy) && busy) {
            step([&] { propertyPut(s_.ExcelApp, "DisplayAlerts", true); });
            return false;
        }
    }
    // On again in any case: an open that failed may have left them off.
    alertsOn = s_.ExcelApp.isObject() && step([&] { propertyPut(s_.ExcelApp, "DisplayAlerts", true); });
    return true;
}

void Report::handBack(bool alertsOn) {
    if (!s_.ExcelApp.isObject()) return;
    // Quit ends the application with every workbook in it, and with its questions off it throws
    // their changes away unasked (Application.Quit,
    // https://learn.microsoft.com/office/vba/api/excel.application.quit): only when its workbooks
    // were counted, none is left, and its questions are on again. Else it is left to the
    // operator, shown and under his control (Application.UserControl,
    // https://learn.microsoft.com/office/vba/api/excel.application.usercontrol).
    std::int32_t workbooks = -1;
    step([&] {
        const Handle count = propertyGet(propertyGet(s_.ExcelApp, "WorkBooks"), "Count");
        workbooks = static_cast<std::int32_t>(count.number());
    });
    if (workbooks == 0 && alertsOn) {
        step([&] { methodCall(s_.ExcelApp, "Quit"); });
    } else {
        step([&] { propertyPut(s_.ExcelApp, "UserControl", true); });
        step([&] { propertyPut(s_.ExcelApp, "Visible", true); });
    }
}

void Report::closeApplicationSilently() {
    // The calls that must finish wait out a busy application; every handle is let go in any case.
    automation::CallPatience patient(automation::CallPatience::Patient);
    bool alertsOn = false;
    closeWorkbook(alertsOn);
    handBack(alertsOn);
    releaseHandles();
}

void Report::resetControls() {
    view_.setReportName(msg::None);
    view_.setReportDate(msg::None);
    view_.setShowButton(false, msg::ShowReport);
    view_.setMemoryButtonEnabled(false);
}

// ---- Opening ----

bool Report::startApplication() {
    try {
        s_.ExcelApp = automation::createObject(automation::kSpreadsheetProgId);
        return true;
    } catch (const std::exception&) {
        dialogs_.error(msg::CannotStartSpreadsheet);
        return false;
    }
}

void Report::OpenReport(const std::string& fileName) {
    if (!startApplication()) return;
    automation::CallPatience patient(automation::CallPatience::Patient);

    try {
        auto modified = clock_.fileModified(fileName);
        if (!modified) throw automation::Error(automation::code::ApplicationDefined, "no file date");
        view_.setReportDate(view_.shortDate(*modified));
        // No question of the application's own may wait on its hidden window: a format that
        // differs from the name is opened, a password-protected file fails at once
        // (Application.DisplayAlerts, https://learn.microsoft.com/office/vba/api/excel.application.displayalerts).
        withAlertsOff(s_.ExcelApp, AlertsBack::Required, [&] { openWorkbook(s_.ExcelApp, fileName); });
        s_.ReportBook = propertyGet(s_.ExcelApp, "WorkBooks", {1});
        view_.setReportName(fileNameOf(fileName));
    } catch (const std::exception& e) {
        CloseReport();
        namespace code = automation::code;
        const std::int32_t failure = codeOf(e);
        if (failure == code::FormatNotOpenable) {
            dialogs_.error(msg::FormatNotOpenable);
        } else if (failure == code::FileTooLarge) {
            std::error_code ec;
            const auto bytes = std::filesystem::file_size(pathFromUtf8(fileName), ec);
            dialogs_.error(msg::fileTooLarge(ec ? 0 : static_cast<long long>(bytes >> 20)));
        } else if (failure == code::OutOfMemory) {
            dialogs_.error(msg::WorkbookTooLarge);
        } else if (failure == code::PasswordProtected) {
            dialogs_.error(msg::PasswordProtected);
        } else if (failure == code::IsAFolder) {
            dialogs_.error(msg::FolderNotFile);
        } else if (failure == code::NotAFile) {
            dialogs_.error(msg::DeviceNotFile);
        } else {
            dialogs_.error(msg::CannotOpenFile);
        }
        return;
    }

    bool full = false, readOnly = false;
    try {
        s_.LiveSheet = propertyGet(s_.ReportBook, "WorkSheets", {1});
        s_.MemorySheet = propertyGet(s_.ReportBook, "WorkSheets", {2});
        // A column 1 that cannot be read is no report of ours either: the same answer, and the
        // application is shut down with the report.
        s_.LiveRow = FindNextRow(s_.LiveSheet, layout::LiveFirstDataRow, layout::LiveCheckedColumns);
        s_.MemoryRow = FindNextRow(s_.MemorySheet, layout::MemoryFirstDataRow, layout::MemoryCheckedColumns);
        full = s_.LiveRow == 0 || s_.MemoryRow == 0;
        if (!full) {
            // A file the application may not write to (read-only, or in use) is said so now,
            // not at the first save (Workbook.ReadOnly,
            // https://learn.microsoft.com/office/vba/api/excel.workbook.readonly).
            readOnly = propertyGet(s_.ReportBook, "ReadOnly").boolean();
            // A legacy .xls stays one when the application writes that format itself.
            if (legacyName(fileName))
                keepsLegacyFiles_ = propertyGet(s_.ReportBook, "FileFormat").number() == XlExcel8;
        }
    } catch (const std::exception&) {
        CloseReport();
        dialogs_.error(msg::WrongFileFormat);
        return;
    }
    if (full) {
        // No row left to write to: a new report is needed, not another look at this one.
        CloseReport();
        dialogs_.error(msg::ReportFull);
        return;
    }

    s_.ReportOpen = true;
    s_.ReportHasFile = !readOnly;  // a read-only file is saved under another name
    s_.ReportSaved = true;
    rowsSinceSave_ = 0;
    path_ = lastFile_ = fileName;
    legacyFile_ = legacyName(fileName);
    xlsFormat_ = legacyFile_ && keepsLegacyFiles_;
    view_.setShowButton(true, msg::ShowReport);
    view_.setMemoryButtonEnabled(true);
    if (readOnly)
        dialogs_.message({msg::ReportReadOnly, msg::CaptionWarning, MessageIcon::Warning, MessageButtons::Ok});
}

void Report::stampFormats(const Handle& sheet) {
    // Dates and times go as date values; the columns show them in the program's form, in
    // whatever language the application runs (Range.NumberFormat takes the codes of the
    // English locale, https://learn.microsoft.com/office/vba/api/excel.range.numberformat).
    // The header cells above keep the general format. A report opened from a file gets no
    // column formats: its columns may hold another's data, and a date value written into a
    // cell without a format is shown as a date in the operator's own form by the application.
    for (std::int32_t column : {layout::LiveDateColumn, layout::LiveTimeColumn})
        propertyPut(propertyGet(propertyGet(sheet, "Columns"), "Item", {column}), "NumberFormat",
                    column == layout::LiveDateColumn ? layout::DateFormat : layout::TimeFormat);
    const std::string header = "A1:" + columnLetters(layout::LiveTimeColumn) + std::to_string(layout::LiveFirstDataRow - 1);
    propertyPut(propertyGet(sheet, "Range", {header}), "NumberFormat", layout::GeneralFormat);
}

std::int32_t Report::sheetRows(const Handle& sheet) {
    const Handle count = propertyGet(propertyGet(sheet, "Rows"), "Count");
    const double rows = count.number();
    return rows >= 1 && rows <= MaxSheetRows ? static_cast<std::int32_t>(rows) : MaxSheetRows;
}

Handle Report::rangeOf(const Handle& sheet, std::int32_t top, std::int32_t left, std::int32_t bottom,
                       std::int32_t right) {
    const std::string address = columnLetters(left) + std::to_string(top) + ":" + columnLetters(right) +
                                std::to_string(bottom);
    return propertyGet(sheet, "Range", {address});
}

Handle Report::rangeValues(const Handle& sheet, std::int32_t top, std::int32_t left, std::int32_t bottom,
                           std::int32_t right) {
    // A handle of this call's own: one that a nested handler assigns anew would release the
    // range this call still reads.
    return propertyGet(rangeOf(sheet, top, left, bottom, right), "Value");
}

namespace {

// Cell (row, column) of what a range's "Value" gave: a table, or one value for one cell.
const Handle& cellOf(const Handle& values, std::int32_t row, std::int32_t column) {
    if (values.kind() != Handle::Kind::Array) return values;
    return values.array().at(row, column);
}

bool blankRow(const Handle& values, std::int32_t row, std::int32_t columns) {
    for (std::int32_t c = 1; c <= columns; ++c)
        if (!cellOf(values, row, c).blank()) return false;
    return true;
}

}  // namespace

std::int32_t Report::FindNextRow(const Handle& sheet, std::int32_t firstDataRow, std::int32_t columns) {
    // Column 1 in blocks: one call for thousands of rows, where a cell at a time costs a round
    // trip each into another process.
    const std::int32_t last = sheetRows(sheet);
    for (std::int32_t top = firstDataRow; top <= last;) {
        const std::int32_t bottom = std::min(last, top + ScanBlock - 1);
        const Handle column = rangeValues(sheet, top, 1, bottom, 1);
        for (std::int32_t row = top; row <= bottom; ++row) {
            if (!cellOf(column, row - top + 1, 1).blank()) continue;
            // Only a row empty from side to side: a foreign sheet may hold data beside column 1.
            const Handle range = rangeOf(sheet, row, 1, row, columns);
            if (!blankRow(propertyGet(range, "Value"), 1, columns)) continue;
            // Nor a row that crosses a merged range, whose cells but the first take no value:
            // MergeCells is False only when no cell of the range is merged (True or Null
            // otherwise, https://learn.microsoft.com/office/vba/api/excel.range.mergecells).
            const Handle merged = propertyGet(range, "MergeCells");
            if (merged.kind() == Handle::Kind::Boolean && !merged.boolean()) return row;
        }
        top = bottom + 1;
    }
    return 0;
}

// ---- Saving ----

bool Report::rowsInBeforeSave() {
    writePending();
    if (!s_.ReportOpen) return false;
    for (const PendingRow& p : pending_)
        if (p.journaled) return false;
    return true;
}

Report::SaveOutcome Report::saveInPlace() {
    if (!s_.ReportOpen) return SaveOutcome::NotOpen;
    // An .xls holds 65,536 rows a sheet; saved in it, the rows beyond would be dropped: the save
    // goes to an .xlsx through the dialog instead.
    if (xlsFormat_ && rowsBeyondLegacy()) return saveUnderName(path_.substr(0, path_.size() - 4) + ".xlsx");
    Operation operation(*this);
    automation::CallPatience patient(automation::CallPatience::Patient);
    if (!rowsInBeforeSave()) {
        if (!s_.ReportOpen) return SaveOutcome::NotOpen;  // the application went: closed and told already
        lastSaveError_ = automation::code::RetryLater;
        return SaveOutcome::Failed;
    }
    try {
        // The application asks nothing of its own while saving; its questions come back after.
        withAlertsOff(s_.ExcelApp, AlertsBack::Tried, [&] { methodCall(s_.ReportBook, "Save"); });
    } catch (const std::exception& e) {
        lastSaveError_ = codeOf(e);
        return SaveOutcome::Failed;
    }
    afterSave();
    return SaveOutcome::Saved;
}

Report::SaveOutcome Report::saveUnderName(const std::string& proposed) {
    if (!s_.ReportOpen) return SaveOutcome::NotOpen;
    Operation operation(*this);
    FileDialogRequest request = saveDialog();
    request.initialName = proposed;
    auto name = dialogs_.saveFileName(request);
    automation::CallPatience::startAgain();
    if (!name) return SaveOutcome::Cancelled;
    if (!s_.ReportOpen) return SaveOutcome::NotOpen;
    SaveTarget target = saveTargetFor(*name);
    if (target.fileFormat == XlExcel8 && rowsBeyondLegacy()) {
        // The .xls format would drop the rows past its 65,536th: the dialog comes again with
        // the name as .xlsx.
        dialogs_.message({msg::XlsTooManyRows, msg::CaptionWarning, MessageIcon::Warning, MessageButtons::Ok});
        return saveUnderName(target.name.substr(0, target.name.size() - 4) + ".xlsx");
    }
    automation::CallPatience patient(automation::CallPatience::Patient);
    if (!rowsInBeforeSave()) {
        if (!s_.ReportOpen) return SaveOutcome::NotOpen;
        lastSaveError_ = automation::code::RetryLater;
        return SaveOutcome::Failed;
    }
    const bool fromXls = xlsFormat_ || legacyFile_;
    try {
        withAlertsOff(s_.ExcelApp, AlertsBack::Tried,
                      [&] { methodCall(s_.ReportBook, "SaveAs", {target.name, target.fileFormat}); });
    } catch (const std::exception& e) {
        lastSaveError_ = codeOf(e);
        return SaveOutcome::Failed;
    }
    view_.setReportName(fileNameOf(target.name));
    s_.ReportHasFile = true;
    path_ = lastFile_ = target.name;
    legacyFile_ = false;
    keepsLegacyFiles_ = false;
    xlsFormat_ = target.fileFormat == XlExcel8;
    if (!xlsFormat_) xlsxOffered_ = false;
    afterSave();
    if (fromXls && !xlsFormat_) reopenIfLegacyGrid(target.name);
    return SaveOutcome::Saved;
}

void Report::afterSave() {
    // The file holds every row written before the save but the refused ones; rows that came
    // while it saved wait behind it (those that came once a close was decided are not the
    // report's rows unless the close stops).
    rowsSinceSave_ = 0;
    bool journaledWaiting = false;
    for (const PendingRow& p : pending_) journaledWaiting |= p.journaled;
    if (refused_.empty() && !journaledWaiting) {
        s_.ReportSaved = true;
        endJournal();
        return;
    }
    s_.ReportSaved = false;
    if (refused_.empty()) {
        restartJournal();
        return;
    }
    // The journal keeps every row since the last save that held them all, for the next start;
    // the operator hears exactly which rows the file lacks.
    std::vector<std::pair<bool, long>> rows;
    for (const PendingRow& p : refused_) rows.push_back({p.live, p.row});
    dialogs_.message({msg::savedWithoutRows(layout::LiveSheetName, layout::MemorySheetName, rows), msg::CaptionWarning,
                      MessageIcon::Warning, MessageButtons::Ok});
}

void Report::restartJournal() {
    if (!journal_) return;
    journal_->end();
    std::int32_t live = s_.LiveRow, memory = s_.MemoryRow;
    bool any = false;
    for (const PendingRow& p : pending_) {
        if (!p.journaled) continue;
        any = true;
        (p.live ? live : memory) = std::min(p.live ? live : memory, p.row);
    }
    if (!any || !journal_->enabled()) return;
    // The journal's rows follow one another from its first rows on, as they were written.
    journal_->begin({path_, s_.ReportCreated, live, memory});
    for (const PendingRow& p : pending_)
        if (p.journaled) journal_->append({p.live ? JournalRow::Kind::Live : JournalRow::Kind::Memory, p.cells});
}

bool Report::rowsBeyondLegacy() const { return s_.LiveRow - 1 > LegacyRows || s_.MemoryRow - 1 > LegacyRows; }

void Report::offerXlsx(std::int32_t row) {
    // Asked once per report, outside any other operation (never from a row written while a call
    // waits), before the .xls format's last row: 65,536 rows a sheet, against 1,048,576 in
    // .xlsx (Microsoft's page of Excel's limits,
    // https://support.microsoft.com/office/1672b34d-7043-467e-8e27-269d656771c3).
    if (!xlsFormat_ || xlsxOffered_ || row <= LegacyNearlyFullRows || operation_ > 0 || !s_.ReportOpen) return;
    xlsxOffered_ = true;
    const MessageResult answer = dialogs_.message(
        {msg::XlsNearlyFull, msg::CaptionWarning, MessageIcon::Warning, MessageButtons::YesNo});
    if (answer != MessageResult::Yes) return;
    const SaveOutcome o = saveUnderName(path_.substr(0, path_.size() - 4) + ".xlsx");
    if (o == SaveOutcome::Failed) recoverFailedSave(lastSaveError_);
}

void Report::reopenIfLegacyGrid(const std::string& name) {
    // A workbook opened from an .xls keeps the format's 65,536 rows (compatibility mode) after
    // it is saved as .xlsx, until it is opened again (Workbook.Excel8CompatibilityMode,
    // https://learn.microsoft.com/office/vba/api/excel.workbook.excel8compatibilitymode; "Use
    // Excel with earlier versions of Excel",
    // https://support.microsoft.com/office/use-excel-with-earlier-versions-of-excel-2fd9ffcb-6fce-485b-85af-fecfd651a5ac).
    if (!s_.ReportOpen) return;
    try {
        if (sheetRows(s_.LiveSheet) >= MaxSheetRows) return;
        withAlertsOff(s_.ExcelApp, AlertsBack::Tried, [&] { methodCall(s_.ReportBook, "Close", {false}); });
        s_.ReportBook.release();
        s_.LiveSheet.release();
        s_.MemorySheet.release();
        withAlertsOff(s_.ExcelApp, AlertsBack::Required, [&] { openWorkbook(s_.ExcelApp, name); });
        s_.ReportBook = propertyGet(s_.ExcelApp, "WorkBooks", {fileNameOf(name)});
        s_.LiveSheet = propertyGet(s_.ReportBook, "WorkSheets", {1});
        s_.MemorySheet = propertyGet(s_.ReportBook, "WorkSheets", {2});
    } catch (const std::exception& e) {
        if (automation::gone(codeOf(e))) return closeGoneApplication();
        // The file holds the report as saved; the rows after it stay in the journal.
        const bool unsaved = !s_.ReportSaved;
        closeApplicationSilently();
        forgetReport();
        dialogs_.error(unsaved ? msg::ReopenFailedRowsKept : msg::ReopenFailed);
    }
}

Report::SaveOutcome Report::saveAnyway() {
    if (!s_.ReportHasFile) return saveUnderName();
    // A legacy .xls kept only its values; saved in place it would become an .xlsx package under
    // the old name. The save dialog proposes the same name as .xlsx instead, unless the
    // application keeps the .xls whole itself.
    if (legacyFile_ && !keepsLegacyFiles_) return saveUnderName(path_.substr(0, path_.size() - 4) + ".xlsx");
    return saveInPlace();
}

bool Report::recoverFailedSave(std::int32_t failureCode) {
    if (automation::gone(failureCode)) {
        // Closed by hand: nothing can be saved; the rows stay in the journal.
        closeGoneApplication();
        return false;
    }
    if (automation::busy(failureCode)) {
        // Another try now meets the same busy application: the operator saves again later.
        dialogs_.error(msg::SpreadsheetBusySave);
        return false;
    }
    dialogs_.error(msg::CannotSaveReport);
    SaveOutcome second = saveUnderName();
    if (second == SaveOutcome::Failed && s_.ReportOpen) {
        if (automation::gone(lastSaveError_)) closeGoneApplication();
        else if (!automation::busy(lastSaveError_)) dialogs_.error(msg::CannotSaveReport);
        else if (!closing_) dialogs_.error(msg::SpreadsheetBusySave);  // a close that stays open says so itself
    }
    return second == SaveOutcome::Saved;
}

bool Report::SaveReport() { return saveInPlace() == SaveOutcome::Saved; }

void Report::Save() {
    SaveOutcome o = saveAnyway();
    if (o == SaveOutcome::Failed) recoverFailedSave(lastSaveError_);
    writeWaitingRows();
}

// ---- Showing ----

void Report::ShowOrHide() {
    if (!s_.ReportOpen) return;
    // No guard of its own: a failure reaches the handler's edge and the standard exception box.
    const bool show = !s_.ReportVisible;
    {
        Operation operation(*this);
        propertyPut(s_.ExcelApp, "Visible", show);
    }
    view_.setShowButton(true, show ? msg::HideReport : msg::ShowReport);
    s_.ReportVisible = show;
    writeWaitingRows();
}

void Report::ViewerHidden() {
    if (!s_.ReportOpen || !s_.ReportVisible) return;
    s_.ReportVisible = false;
    view_.setShowButton(true, msg::ShowReport);
}

}  // namespace lumo
