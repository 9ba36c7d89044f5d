// Writing records into the open report: a live-readings row per tick, a memory-statistics row
// per downloaded period. Every cell is its own automation round trip. Every row also goes to
// the journal before its cells are written, so it outlives a crash until the report is saved.
#include <algorithm>

#include "common/messages.h"
#include "common/readings.h"
#include "report/report_journal.h"
#include "report/report_layout.h"
#include "report/report.h"

namespace lumo {

using automation::Handle;
using automation::propertyGet;
using automation::propertyPut;

namespace {

std::string plainTime(const LocalDateTime& t) {
    return std::to_string(t.hour) + ":" + std::to_string(t.minute) + ":" + std::to_string(t.second);
}

}  // namespace

// The sheet is taken by value: the failure path closes the report, which empties the state's
// sheet handles while this call still uses its own reference.
void Report::WriteReportCell(Handle sheet, std::int32_t row, std::int32_t column,
                             const std::string& text) {
    if (!s_.ReportOpen) return;
    try {
        s_.ScratchCell = propertyGet(sheet, "Cells", {row, column});
        propertyPut(s_.ScratchCell, "Value", text);
    } catch (const std::exception&) {
        // The save question comes first, while the workbook can still be saved.
        closeBeforeMessage();
        dialogs_.error(msg::WorkbookOpenError);
    }
}

void Report::WriteRowStamp() {
    if (!s_.ReportOpen) return;
    const LocalDateTime now = clock_.now();
    writeStamp(plainDate(now), plainTime(now));
}

void Report::writeStamp(const std::string& date, const std::string& time) {
    if (!s_.ReportOpen) return;
    const bool unsavedBefore = !s_.ReportSaved;
    s_.ReportSaved = false;
    try {
        Handle cell = propertyGet(s_.LiveSheet, "Cells", {s_.LiveRow, layout::LiveDateColumn});
        propertyPut(cell, "NumberFormat", layout::DateFormat);
        propertyPut(cell, "Value", date);
        cell = propertyGet(s_.LiveSheet, "Cells", {s_.LiveRow, layout::LiveTimeColumn});
        propertyPut(cell, "NumberFormat", layout::TimeFormat);
        propertyPut(cell, "Value", time);
    } catch (const std::exception&) {
        // The row that failed is not worth the save question, the rows before it are: they
        // are asked for while the workbook can still be saved.
        s_.ReportSaved = !unsavedBefore;
        closeBeforeMessage();
        dialogs_.error(msg::CannotAddRecord);
    }
}

void Report::AppendLiveRow(std::span<const std::string> readings) {
    if (!s_.ReportOpen) {
        ++s_.LiveRow;
        return;
    }
    const LocalDateTime now = clock_.now();
    writeLiveRow(plainDate(now), plainTime(now), readings);
}

void Report::writeLiveRow(const std::string& date, const std::string& time,
                          std::span<const std::string> readings) {
    const size_t count = std::min<size_t>(ReadingCount, readings.size());
    std::vector<std::string> cells{date, time};
    cells.insert(cells.end(), readings.begin(), readings.begin() + static_cast<std::ptrdiff_t>(count));
    journalRow('L', std::move(cells));

    writeStamp(date, time);
    for (size_t i = 0; i < count; ++i)
        WriteReportCell(s_.LiveSheet, s_.LiveRow, layout::liveValueColumn(static_cast<int>(i) + 1),
                        readings[i]);
    // Written on, but the operator hears once that the sheet's end is near.
    const bool nearlyFull = s_.ReportOpen && s_.LiveRow > NearlyFullRows && !nearlyFullTold_;
    ++s_.LiveRow;
    if (nearlyFull) {
        nearlyFullTold_ = true;
        dialogs_.message({msg::ReportNearlyFull, msg::CaptionWarning, MessageIcon::Warning,
                          MessageButtons::Ok});
    }
}

void Report::AppendMemoryRow(std::int32_t period, std::span<const std::string> statistics) {
    writeMemoryRow(period == 0 ? layout::WholePeriodLabel : std::to_string(period), statistics);
}

void Report::writeMemoryRow(const std::string& label, std::span<const std::string> statistics) {
    const size_t count = std::min<size_t>(size_t{StatisticsPerReading * ReadingCount}, statistics.size());
    if (s_.ReportOpen) {
        std::vector<std::string> cells{label};
        cells.insert(cells.end(), statistics.begin(), statistics.begin() + static_cast<std::ptrdiff_t>(count));
        journalRow('M', std::move(cells));
        // Downloaded statistics are a change to the report like a live row: closing it must
        // ask before they are thrown away.
        s_.ReportSaved = false;
    }
    WriteReportCell(s_.MemorySheet, s_.MemoryRow, layout::MemoryLabelColumn, label);
    // Statistics in the order of their columns: minimum, maximum, average of reading 1, 2, ...
    for (size_t i = 0; i < count; ++i)
        WriteReportCell(s_.MemorySheet, s_.MemoryRow,
                        layout::memoryMinColumn(1) + static_cast<std::int32_t>(i), statistics[i]);
    ++s_.MemoryRow;
}

// ---- The journal ----

void Report::journalRow(char kind, std::vector<std::string> cells) {
    if (!journal_ || !s_.ReportOpen) return;
    // The first row since the report was opened, created or saved starts its journal.
    if (!journal_->begun()) journal_->begin({path_, s_.ReportCreated, s_.LiveRow, s_.MemoryRow});
    journal_->append({static_cast<JournalRow::Kind>(kind), std::move(cells)});
}

void Report::endJournal() {
    if (journal_) journal_->end();
}

void Report::RecoverReport(const JournalContents& contents) {
    if (s_.ReportOpen) CloseReport();
    const JournalHeader& h = contents.header;
    std::int32_t skipLive = 0, skipMemory = 0;
    if (!h.file.empty()) {
        OpenReport(h.file);
        // Rows that a save put into the file after the journal began are there already.
        if (s_.ReportOpen) {
            skipLive = std::max(0, s_.LiveRow - h.liveRow);
            skipMemory = std::max(0, s_.MemoryRow - h.memoryRow);
        }
    }
    if (!s_.ReportOpen) {
        // No file, or it no longer opens: the rows go into a new report.
        CreateReport();
        if (!s_.ReportOpen) return;
        if (h.created.year != 0) {
            s_.ReportCreated = h.created;
            view_.setReportDate(plainDate(h.created));
        }
    }
    for (const JournalRow& row : contents.rows) {
        if (!s_.ReportOpen) return;  // a failed write closed the report and told the operator
        std::span<const std::string> cells(row.cells);
        if (row.kind == JournalRow::Kind::Live && cells.size() >= 2) {
            if (skipLive > 0 && skipLive--) continue;
            writeLiveRow(cells[0], cells[1], cells.subspan(2));
        } else if (row.kind == JournalRow::Kind::Memory && !cells.empty()) {
            if (skipMemory > 0 && skipMemory--) continue;
            writeMemoryRow(cells[0], cells.subspan(1));
        }
    }
    if (!s_.ReportOpen) return;
    s_.ReportSaved = false;
    if (journal_) journal_->flush();
}

}  // namespace lumo
