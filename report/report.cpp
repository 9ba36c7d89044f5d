#include "report/report.h"

#include <algorithm>
#include <cctype>

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

std::int32_t codeOf(const std::exception& e) {
    if (auto* a = dynamic_cast<const automation::Error*>(&e)) return a->code();
    return 0;
}

// The application no longer answers at all (it ended, or its connection broke): telling the
// operator that a save failed would only add a second box to the one already coming.
bool applicationGone(std::int32_t code) {
    return code == automation::code::Disconnected || code == automation::code::ServerUnavailable ||
           code == automation::code::ObjectRequired;
}

// A legacy .xls name: the built-in application reads such files for their values only.
bool legacyName(const std::string& path) {
    if (path.size() < 4) return false;
    std::string ext = path.substr(path.size() - 4);
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
    return ext == ".xls";
}

}  // namespace

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
    // The question only makes sense while there is a report to save.
    if (s_.ReportOpen && !s_.ReportSaved) {
        MessageResult answer = dialogs_.message(
            {msg::SaveQuestion, msg::CaptionWarning, MessageIcon::Warning, MessageButtons::YesNo});
        if (answer == MessageResult::Yes) {
            SaveOutcome o = saveAnyway();
            if (o == SaveOutcome::Failed) recoverFailedSave(lastSaveError_);
        } else {
            endJournal();  // the operator threw the rows away
        }
    }
    closeApplicationSilently();
    s_.ReportOpen = false;
    resetControls();
    s_.ReportVisible = false;
    s_.ReportHasFile = false;
    path_.clear();
    legacyFile_ = false;
    nearlyFullTold_ = false;
    // Rows still unsaved stay in the journal's file; the next report's journal keeps it aside.
    if (journal_) journal_->detach();
}

void Report::closeBeforeMessage() {
    messageFollows_ = true;
    CloseReport();
    messageFollows_ = false;
}

void Report::closeApplicationSilently() {
    try {
        if (s_.ExcelApp.isObject()) propertyPut(s_.ExcelApp, "DisplayAlerts", false);
        if (s_.ReportBook.isObject()) methodCall(s_.ReportBook, "Close");
        if (s_.ExcelApp.isObject()) methodCall(s_.ExcelApp, "Quit");
        s_.ScratchRange.release();
        s_.ScratchCell.release();
        s_.LiveSheet.release();
        s_.MemorySheet.release();
        s_.ReportBook.release();
        s_.ExcelApp.release();
    } catch (const std::exception&) {
        // The application's side of closing fails silently; the report is closed here anyway.
    }
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

    try {
        auto modified = clock_.fileModified(fileName);
        if (!modified) throw automation::Error(automation::code::ApplicationDefined, "no file date");
        view_.setReportDate(view_.shortDate(*modified));
        methodCall(propertyGet(s_.ExcelApp, "WorkBooks"), "Open", {fileName, 0, false, 1});
        s_.ReportBook = propertyGet(s_.ExcelApp, "WorkBooks", {1});
        view_.setReportName(fileNameOf(fileName));
    } catch (const std::exception& e) {
        closeBeforeMessage();
        if (codeOf(e) == automation::code::FileTooLarge) {
            std::error_code ec;
            const auto bytes = std::filesystem::file_size(pathFromUtf8(fileName), ec);
            dialogs_.error(msg::fileTooLarge(ec ? 0 : static_cast<long long>(bytes >> 20)));
        } else {
            dialogs_.error(msg::CannotOpenFile);
        }
        return;
    }

    bool full = false;
    try {
        s_.LiveSheet = propertyGet(s_.ReportBook, "WorkSheets", {1});
        s_.MemorySheet = propertyGet(s_.ReportBook, "WorkSheets", {2});
        // A column 1 that cannot be read is no report of ours either: the same answer, and the
        // application is shut down with the report.
        s_.LiveRow = FindNextRow(s_.LiveSheet, layout::LiveFirstDataRow, layout::LiveCheckedColumns);
        s_.MemoryRow = FindNextRow(s_.MemorySheet, layout::MemoryFirstDataRow, layout::MemoryCheckedColumns);
        full = s_.LiveRow == 0 || s_.MemoryRow == 0;
    } catch (const std::exception&) {
        closeBeforeMessage();
        dialogs_.error(msg::WrongFileFormat);
        return;
    }
    if (full) {
        // No row left to write to: a new report is needed, not another look at this one.
        closeBeforeMessage();
        dialogs_.error(msg::ReportFull);
        return;
    }

    s_.ReportOpen = true;
    s_.ReportHasFile = true;
    s_.ReportSaved = true;
    path_ = fileName;
    legacyFile_ = legacyName(fileName);
    view_.setShowButton(true, msg::ShowReport);
    view_.setMemoryButtonEnabled(true);
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
            if (blankRow(rangeValues(sheet, row, 1, row, columns), 1, columns)) return row;
        }
        top = bottom + 1;
    }
    return 0;
}

// ---- Saving ----

Report::SaveOutcome Report::saveInPlace() {
    if (!s_.ReportOpen) return SaveOutcome::NotOpen;
    try {
        propertyPut(s_.ExcelApp, "DisplayAlerts", false);
        methodCall(s_.ReportBook, "Save");
        s_.ReportSaved = true;
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
    try {
        propertyPut(s_.ExcelApp, "DisplayAlerts", false);
        methodCall(s_.ReportBook, "SaveAs", {*name});
        view_.setReportName(fileNameOf(*name));
        s_.ReportHasFile = true;
        s_.ReportSaved = true;
        path_ = *name;
        legacyFile_ = false;
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
    // the old name. The save dialog proposes the same name as .xlsx instead.
    if (legacyFile_) return saveUnderName(path_.substr(0, path_.size() - 4) + ".xlsx");
    return saveInPlace();
}

bool Report::recoverFailedSave(std::int32_t failureCode) {
    if (applicationGone(failureCode)) {
        // No second try can help; the operator hears of it unless the caller's box follows.
        if (!messageFollows_) dialogs_.error(msg::CannotSaveReport);
        return false;
    }
    dialogs_.error(msg::CannotSaveReport);
    SaveOutcome second = saveUnderName();
    if (second == SaveOutcome::Failed && !(applicationGone(lastSaveError_) && messageFollows_))
        dialogs_.error(msg::CannotSaveReport);
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
