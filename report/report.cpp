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

// The password handed to "Open": a workbook protected by one fails at once instead of waiting
// on the application's password prompt, and one without a password ignores it ("If this
// argument is omitted and the workbook requires a password, the user is prompted",
// Workbooks.Open, https://learn.microsoft.com/office/vba/api/excel.workbooks.open).
constexpr const char* NoPassword = "\x01lumo";

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

void Report::CloseReport() {
    // The question only makes sense while there is a report to save, and while the application
    // still answers: one closed by hand can save nothing, its rows stay in the journal.
    if (s_.ReportOpen && !s_.ReportSaved) {
        if (!applicationAnswers()) {
            closeGoneApplication();
            return;
        }
        MessageResult answer = dialogs_.message(
            {msg::SaveQuestion, msg::CaptionWarning, MessageIcon::Warning, MessageButtons::YesNo});
        if (answer == MessageResult::Yes) {
            SaveOutcome o = saveAnyway();
            if (o == SaveOutcome::Failed) recoverFailedSave(lastSaveError_);
            if (!s_.ReportOpen) return;  // the application went while saving: closed already
        } else {
            endJournal();  // the operator threw the rows away
        }
    }
    closeApplicationSilently();
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
    nearlyFullTold_ = false;
    pending_.clear();
    busyTold_ = false;
    // Rows still unsaved stay in the journal's file; the next report's journal keeps it aside
    // and the next start offers it.
    if (journal_) journal_->detach();
}

bool Report::applicationAnswers() {
    if (!s_.ReportBook.isObject()) return true;
    try {
        propertyGet(s_.ReportBook, "Name");
        return true;
    } catch (const std::exception& e) {
        return !automation::gone(codeOf(e));
    }
}

void Report::closeGoneApplication() {
    const bool unsaved = s_.ReportOpen && !s_.ReportSaved;
    forgetReport();  // nothing of the application is called any more
    dialogs_.error(unsaved ? msg::SpreadsheetGoneRowsKept : msg::SpreadsheetGone);
}

void Report::closeApplicationSilently() {
    // The calls that must finish wait out a busy application. Each step is on its own: one
    // that fails leaves the others to be made, and every handle is let go in any case.
    automation::CallPatience patient(automation::CallPatience::Patient);
    auto step = [](const auto& call) {
        try {
            call();
        } catch (const std::exception&) {
        }
    };
    if (s_.ReportBook.isObject()) {
        // Closed without saving and without the application's own question (Workbook.Close,
        // https://learn.microsoft.com/office/vba/api/excel.workbook.close); the application's
        // questions come back for the operator's own workbooks.
        step([&] { propertyPut(s_.ExcelApp, "DisplayAlerts", false); });
        step([&] { methodCall(s_.ReportBook, "Close", {false}); });
        step([&] { propertyPut(s_.ExcelApp, "DisplayAlerts", true); });
    }
    if (s_.ExcelApp.isObject()) {
        // Quit ends the application with every workbook in it (Application.Quit,
        // https://learn.microsoft.com/office/vba/api/excel.application.quit): only when it holds
        // none of the operator's; else it is left to the operator, shown and under his control
        // (Application.UserControl, https://learn.microsoft.com/office/vba/api/excel.application.usercontrol).
        std::int32_t others = -1;
        step([&] { others = static_cast<std::int32_t>(propertyGet(propertyGet(s_.ExcelApp, "WorkBooks"), "Count").number()); });
        if (others > 0) {
            step([&] { propertyPut(s_.ExcelApp, "UserControl", true); });
            step([&] { propertyPut(s_.ExcelApp, "Visible", true); });
        } else {
            step([&] { methodCall(s_.ExcelApp, "Quit"); });
        }
    }
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
        withAlertsOff(s_.ExcelApp, AlertsBack::Required, [&] {
            methodCall(propertyGet(s_.ExcelApp, "WorkBooks"), "Open", {fileName, 0, false, 1, NoPassword});
        });
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
    path_ = fileName;
    legacyFile_ = legacyName(fileName);
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

Handle Report::rangeValues(const Handle& sheet, std::int32_t top, std::int32_t left, std::int32_t bottom,
                           std::int32_t right) {
    const std::string address = columnLetters(left) + std::to_string(top) + ":" + columnLetters(right) +
                                std::to_string(bottom);
    s_.ScratchCell = propertyGet(sheet, "Range", {address});
    return propertyGet(s_.ScratchCell, "Value");
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
            if (!blankRow(rangeValues(sheet, row, 1, row, columns), 1, columns)) continue;
            // Nor a row that crosses a merged range, whose cells but the first take no value:
            // MergeCells is False only when no cell of the range is merged (True or Null
            // otherwise, https://learn.microsoft.com/office/vba/api/excel.range.mergecells).
            const Handle merged = propertyGet(s_.ScratchCell, "MergeCells");
            if (merged.kind() == Handle::Kind::Boolean && !merged.boolean()) return row;
        }
        top = bottom + 1;
    }
    return 0;
}

// ---- Saving ----

bool Report::rowsInBeforeSave() {
    writePending();
    return pending_.empty();
}

Report::SaveOutcome Report::saveInPlace() {
    if (!s_.ReportOpen) return SaveOutcome::NotOpen;
    automation::CallPatience patient(automation::CallPatience::Patient);
    if (!rowsInBeforeSave()) {
        lastSaveError_ = automation::code::RetryLater;
        return SaveOutcome::Failed;
    }
    try {
        // The application asks nothing of its own while saving; its questions come back after.
        withAlertsOff(s_.ExcelApp, AlertsBack::Tried, [&] { methodCall(s_.ReportBook, "Save"); });
        s_.ReportSaved = true;
        rowsSinceSave_ = 0;
        endJournal();
        return SaveOutcome::Saved;
    } catch (const std::exception& e) {
        lastSaveError_ = codeOf(e);
        return SaveOutcome::Failed;
    }
}

Report::SaveOutcome Report::saveUnderName(const std::string& proposed) {
    if (!s_.ReportOpen) return SaveOutcome::NotOpen;
    FileDialogRequest request = saveDialog();
    request.initialName = proposed;
    auto name = dialogs_.saveFileName(request);
    if (!name) return SaveOutcome::Cancelled;
    automation::CallPatience patient(automation::CallPatience::Patient);
    if (!rowsInBeforeSave()) {
        lastSaveError_ = automation::code::RetryLater;
        return SaveOutcome::Failed;
    }
    const SaveTarget target = saveTargetFor(*name);
    try {
        withAlertsOff(s_.ExcelApp, AlertsBack::Tried,
                      [&] { methodCall(s_.ReportBook, "SaveAs", {target.name, target.fileFormat}); });
        view_.setReportName(fileNameOf(target.name));
        s_.ReportHasFile = true;
        s_.ReportSaved = true;
        rowsSinceSave_ = 0;
        path_ = target.name;
        legacyFile_ = false;
        keepsLegacyFiles_ = false;
        endJournal();
        return SaveOutcome::Saved;
    } catch (const std::exception& e) {
        lastSaveError_ = codeOf(e);
        return SaveOutcome::Failed;
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
        else dialogs_.error(automation::busy(lastSaveError_) ? msg::SpreadsheetBusySave : msg::CannotSaveReport);
    }
    return second == SaveOutcome::Saved;
}

bool Report::SaveReport() { return saveInPlace() == SaveOutcome::Saved; }


void Report::Save() {
    SaveOutcome o = saveAnyway();
    if (o == SaveOutcome::Failed) recoverFailedSave(lastSaveError_);
}

// ---- Showing ----

void Report::ShowOrHide() {
    if (!s_.ReportOpen) return;
    // No guard of its own: a failure reaches the handler's edge and the standard exception box.
    const bool show = !s_.ReportVisible;
    propertyPut(s_.ExcelApp, "Visible", show);
    view_.setShowButton(true, show ? msg::HideReport : msg::ShowReport);
    s_.ReportVisible = show;
}

void Report::ViewerHidden() {
    if (!s_.ReportOpen || !s_.ReportVisible) return;
    s_.ReportVisible = false;
    view_.setShowButton(true, msg::ShowReport);
}

}  // namespace lumo
