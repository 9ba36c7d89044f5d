// Writing records into the open report: a live-readings row per tick, a memory-statistics row
// per downloaded period, each one write of its row's range. Every row also goes to the journal
// before it is written, so it outlives a crash until the report is saved.
#include <algorithm>
#include <cmath>
#include <optional>

#include "common/date_serial.h"
#include "common/operator_dialogs.h"
#include "common/messages.h"
#include "common/numtext.h"
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

// The date and the time of a row's stamp as date values: the day, and the time of day alone.
Handle dateValue(const std::string& text) {
    if (auto serial = parseDateTime(text)) return Handle(automation::Date{*serial});
    return cellValue(text);
}

std::string rowAddress(std::int32_t row, std::int32_t lastColumn) {
    return "A" + std::to_string(row) + ":" + columnLetters(lastColumn) + std::to_string(row);
}

}  // namespace

// The sheet is taken by value: the failure path closes the report, which empties the state's
// sheet handles while this call still uses its own reference.
void Report::WriteReportCell(Handle sheet, std::int32_t row, std::int32_t column,
                             const std::string& text) {
    if (!s_.ReportOpen) return;
    try {
        const Handle cell = propertyGet(sheet, "Cells", {row, column});
        propertyPut(cell, "Value", cellValue(text));
    } catch (const std::exception& e) {
        if (automation::gone(codeOf(e))) return closeGoneApplication();
        // The save question comes first, while the workbook can still be saved.
        CloseReport();
        dialogs_.error(msg::WorkbookOpenError);
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
                          std::span<const std::string> readings, bool fromJournal) {
    const size_t count = std::min<size_t>(ReadingCount, readings.size());
    std::vector<std::string> cells{date, time};
    cells.insert(cells.end(), readings.begin(), readings.begin() + static_cast<std::ptrdiff_t>(count));
    // Once a close is decided, a row waits unjournaled: it goes with the report unless the close stops.
    const bool journaled = !closeDecided_;
    if (!fromJournal && journaled) journalRow('L', cells);

    // One write of the row's range, A to T: the row goes in whole or not at all, and costs one
    // call where a cell at a time cost forty (Range.Value takes a table of values,
    // https://learn.microsoft.com/office/vba/api/excel.range.value).
    std::vector<Handle> values{dateValue(date), dateValue(time)};
    for (size_t i = 0; i < count; ++i) values.push_back(cellValue(readings[i]));
    values.resize(static_cast<size_t>(layout::liveValueColumn(ReadingCount)));
    const bool nearlyFull = s_.ReportOpen && s_.LiveRow > NearlyFullRows && !nearlyFullTold_;
    const std::int32_t row = s_.LiveRow++;
    if (s_.ReportOpen && journaled) s_.ReportSaved = false;
    writeRow({true, row, automation::Array::row(std::move(values)), std::move(cells), journaled});
    // Written on, but the operator hears once that the sheet's end is near.
    if (nearlyFull && s_.ReportOpen) {
        nearlyFullTold_ = true;
        dialogs_.message({msg::ReportNearlyFull, msg::CaptionWarning, MessageIcon::Warning,
                          MessageButtons::Ok});
    }
    offerXlsx(row);
    tellJournal();
}

void Report::AppendMemoryRow(std::int32_t period, std::span<const std::string> statistics) {
    writeMemoryRow(period == 0 ? layout::WholePeriodLabel : std::to_string(period), statistics);
}

void Report::writeMemoryRow(const std::string& label, std::span<const std::string> statistics, bool fromJournal) {
    const size_t count = std::min<size_t>(size_t{StatisticsPerReading * ReadingCount}, statistics.size());
    const std::int32_t row = s_.MemoryRow++;
    if (!s_.ReportOpen) return;
    std::vector<std::string> cells{label};
    cells.insert(cells.end(), statistics.begin(), statistics.begin() + static_cast<std::ptrdiff_t>(count));
    const bool journaled = !closeDecided_;
    if (!fromJournal && journaled) journalRow('M', cells);
    // Downloaded statistics are a change to the report like a live row: closing it must ask
    // before they are thrown away.
    if (journaled) s_.ReportSaved = false;
    // The label, then the statistics in the order of their columns: minimum, maximum, average
    // of reading 1, 2, ...; one write of the row's range, A to BC.
    std::vector<Handle> values;
    for (const std::string& text : cells) values.push_back(cellValue(text));
    values.resize(static_cast<size_t>(layout::memoryAvgColumn(ReadingCount)));
    writeRow({false, row, automation::Array::row(std::move(values)), std::move(cells), journaled});
    offerXlsx(row);
    tellJournal();
}

void Report::writeRow(PendingRow row) {
    if (!s_.ReportOpen) return;
    pending_.push_back(std::move(row));
    // An operation of the report runs (a save, a close; this row came from a tick dispatched
    // while one of its calls waits): the row waits behind it.
    if (operation_ > 0) return;
    // At a tick the window waits for a busy application no longer than part of the tick.
    automation::CallPatience quick(automation::CallPatience::WithinATick);
    writePending();
}

void Report::writeWaitingRows() {
    if (operation_ > 0 || !s_.ReportOpen || pending_.empty()) return;
    automation::CallPatience quick(automation::CallPatience::WithinATick);
    writePending();
}

Report::Written Report::writeOne(const PendingRow& p) {
    // The sheet and the range are handles of this call's own: nothing that runs while the call
    // waits can release what it is made on.
    const Handle sheet = p.live ? s_.LiveSheet : s_.MemorySheet;
    try {
        const std::int32_t last = p.live ? layout::liveValueColumn(ReadingCount) : layout::memoryAvgColumn(ReadingCount);
        const Handle range = propertyGet(sheet, "Range", {rowAddress(p.row, last)});
        propertyPut(range, "Value", Handle(p.values));
        return Written::Yes;
    } catch (const std::exception& e) {
        const std::int32_t code = codeOf(e);
        if (automation::busy(code)) return Written::Busy;
        if (automation::gone(code)) return Written::Gone;
        return Written::Refused;
    }
}

void Report::writePending() {
    // COM's wait for a call dispatches the window's messages: a tick that comes meanwhile writes
    // its row through here again. It only queues: this loop takes it in its turn.
    if (writing_) return;
    Operation operation(*this);
    std::optional<bool> refusedLive;  // the sheet of the first row refused in this pass
    {
        writing_ = true;
        struct Reset {
            bool& flag;
            ~Reset() { flag = false; }
        } reset{writing_};
        // Each row is taken out while its call waits; rows that come meanwhile queue behind it.
        while (!pending_.empty() && s_.ReportOpen) {
            PendingRow p = std::move(pending_.front());
            pending_.pop_front();
            const Written w = writeOne(p);
            if (!s_.ReportOpen) return;  // closed meanwhile: nothing of it is left to write
            if (w == Written::Busy) {
                pending_.push_front(std::move(p));
                // The rows wait, in the journal and here, for the application to answer again;
                // the operator hears once (a close, or the close of refused rows, says so itself).
                if (!busyTold_ && !closing_ && !refusedLive) {
                    busyTold_ = true;
                    dialogs_.notify({msg::SpreadsheetBusy, msg::CaptionWarning, MessageIcon::Warning, MessageButtons::Ok});
                }
                break;
            }
            if (w == Written::Gone) return closeGoneApplication();
            if (w == Written::Refused) {
                // Only this row is left out (it stays in the journal); the rows behind it go on.
                if (!refusedLive) refusedLive = p.live;
                refused_.push_back(std::move(p));
                continue;
            }
            ++rowsSinceSave_;
        }
    }
    if (pending_.empty()) busyTold_ = false;  // the next busy stretch is told again
    // Within a close the close goes on: its save tells which rows the file lacks.
    if (refusedLive && !closing_) refusedRowsClose(*refusedLive);
}

void Report::refusedRowsClose(bool live) {
    // A refused row closes the report as a failed cell does. The save question is asked only
    // for rows the workbook took since its last save (a refused stamp alone closes without
    // it); Yes saves them, and the operator hears which rows the file lacks. The refused rows
    // stay in the journal, for the next start.
    s_.ReportSaved = rowsSinceSave_ == 0;
    if (!CloseReport()) return;  // the application stayed busy: the report stays open, the rows wait
    dialogs_.error(live ? msg::CannotAddRecord : msg::WorkbookOpenError);
}

// ---- The journal ----

void Report::journalRow(char kind, std::vector<std::string> cells) {
    if (!journal_ || !s_.ReportOpen) return;
    if (!journal_->enabled()) {
        // No folder to keep it in: the operator hears once that rows are not protected.
        if (!journalOffTold_) {
            journalOffTold_ = true;
            journalNotice_ = msg::journalOff(journalFolder_);
        }
        return;
    }
    // The first row since the report was opened, created or saved starts its journal.
    if (!journal_->begun()) journal_->begin({path_, s_.ReportCreated, s_.LiveRow, s_.MemoryRow});
    journal_->append({static_cast<JournalRow::Kind>(kind), std::move(cells)});
    // A full disk: told once when the journal stops taking records, and once when it takes
    // them again (the waiting ones first).
    const bool writing = journal_->writing();
    if (!writing && !journalFailTold_) {
        journalFailTold_ = true;
        journalNotice_ = msg::JournalCannotWrite;
    } else if (writing && journalFailTold_) {
        journalFailTold_ = false;
        journalNotice_ = msg::JournalWritingAgain;
    }
}

void Report::tellJournal() {
    if (journalNotice_.empty()) return;
    const std::string text = std::move(journalNotice_);
    journalNotice_.clear();
    dialogs_.notify({text, msg::CaptionWarning, MessageIcon::Warning, MessageButtons::Ok});
}

void Report::endJournal() {
    if (journal_) journal_->end();
}

namespace {

// A cell as the comparison of rows sees it: nothing, a number (dates and times as their
// serials), or a text. The journal keeps texts as written ("230,5", "6.12.2026", "7:5:9"); the
// file gives numbers, dates or texts, as the application keeps them.
struct CellKey {
    enum class Kind { Blank, Number, Text } kind = Kind::Blank;
    double number = 0;
    std::string text;
};

CellKey keyOfText(const std::string& text) {
    CellKey k;
    if (text.empty()) return k;
    if (auto v = parseDecimal(text)) {
        k.kind = CellKey::Kind::Number, k.number = *v;
    } else if (auto d = parseDateTime(text)) {
        k.kind = CellKey::Kind::Number, k.number = *d;
    } else {
        k.kind = CellKey::Kind::Text, k.text = text;
    }
    return k;
}

CellKey keyOf(const Handle& h) {
    switch (h.kind()) {
        case Handle::Kind::Integer:
        case Handle::Kind::Double: return {CellKey::Kind::Number, h.number(), {}};
        case Handle::Kind::Date: return {CellKey::Kind::Number, h.date().serial, {}};
        case Handle::Kind::String: return keyOfText(h.string());
        case Handle::Kind::Boolean: return {CellKey::Kind::Text, 0, h.text()};
        default: return {};
    }
}

bool sameCell(const std::string& journaled, const Handle& stored) {
    const CellKey a = keyOfText(journaled), b = keyOf(stored);
    if (a.kind != b.kind) return false;
    if (a.kind == CellKey::Kind::Text) return a.text == b.text;
    return std::fabs(a.number - b.number) <= 1e-12 * std::max({1.0, std::fabs(a.number), std::fabs(b.number)});
}

}  // namespace

std::size_t Report::rowsAlreadyThere(const Handle& sheet, std::int32_t journalRow, std::int32_t freeRow,
                                     const std::vector<const std::vector<std::string>*>& rows) {
    if (journalRow < 1 || freeRow <= journalRow || rows.empty()) return 0;
    const std::size_t gained = static_cast<std::size_t>(freeRow - journalRow);
    const std::size_t count = std::min(gained, rows.size());
    std::size_t width = 0;
    for (std::size_t i = 0; i < count; ++i) width = std::max(width, rows[i]->size());
    if (width == 0) return 0;
    for (std::size_t done = 0; done < count;) {
        const std::size_t n = std::min<std::size_t>(count - done, ScanBlock);
        const auto top = static_cast<std::int32_t>(journalRow + static_cast<std::int32_t>(done));
        const Handle values = rangeValues(sheet, top, 1, top + static_cast<std::int32_t>(n) - 1,
                                          static_cast<std::int32_t>(width));
        for (std::size_t i = 0; i < n; ++i) {
            const std::vector<std::string>& cells = *rows[done + i];
            for (std::size_t c = 0; c < width; ++c) {
                static const std::string none;
                const Handle& stored = values.kind() == Handle::Kind::Array
                                           ? values.array().at(static_cast<std::int32_t>(i) + 1, static_cast<std::int32_t>(c) + 1)
                                           : values;
                if (!sameCell(c < cells.size() ? cells[c] : none, stored)) return 0;
            }
        }
        done += n;
    }
    return count;
}

void Report::RecoverReport(const JournalOffer& offer) {
    if (s_.ReportOpen && !CloseReport()) return;  // the report before stays open: the journal waits
    const JournalContents& contents = offer.contents;
    const JournalHeader& h = contents.header;
    std::vector<const std::vector<std::string>*> live, memory;
    for (const JournalRow& row : contents.rows)
        (row.kind == JournalRow::Kind::Live ? live : memory).push_back(&row.cells);

    std::size_t skipLive = 0, skipMemory = 0;
    if (contents.headerRead && !h.file.empty()) {
        OpenReport(h.file);
        // A save after the journal began put its first rows into the file; a file replaced by
        // another workbook holds other rows there. Rows are skipped only when they are the same.
        if (s_.ReportOpen) {
            try {
                skipLive = rowsAlreadyThere(s_.LiveSheet, h.liveRow, s_.LiveRow, live);
                skipMemory = rowsAlreadyThere(s_.MemorySheet, h.memoryRow, s_.MemoryRow, memory);
            } catch (const std::exception&) {
                skipLive = skipMemory = 0;
            }
        }
    }
    if (!s_.ReportOpen) {
        // No file, or it no longer opens: the rows go into a new report.
        CreateReport();
        if (!s_.ReportOpen) return;  // the journal stays where it was, for the next start
        if (contents.headerRead && h.created.year != 0) {
            s_.ReportCreated = h.created;
            view_.setReportDate(plainDate(h.created));
        }
    }
    // From here on the journal is the report's own: its rows are in it already, and the rows
    // written after them follow them.
    // When it cannot be taken over, the rows are journaled anew like any others.
    const bool adopted = journal_ && journal_->adopt(offer);
    {
        // The rows queue first and then go in together, like rows that waited for a busy
        // application: one the application refuses leaves the others written before the
        // report closes.
        Operation operation(*this);
        for (const JournalRow& row : contents.rows) {
            std::span<const std::string> cells(row.cells);
            if (row.kind == JournalRow::Kind::Live && cells.size() >= 2) {
                if (skipLive > 0 && skipLive--) continue;
                writeLiveRow(cells[0], cells[1], cells.subspan(2), adopted);
            } else if (row.kind == JournalRow::Kind::Memory && !cells.empty()) {
                if (skipMemory > 0 && skipMemory--) continue;
                writeMemoryRow(cells[0], cells.subspan(1), adopted);
            }
        }
    }
    writeWaitingRows();
    if (!s_.ReportOpen) return;  // a row refused, or the application gone: closed and told
    s_.ReportSaved = false;
    offerXlsx(std::max(s_.LiveRow, s_.MemoryRow) - 1);
}

}  // namespace lumo
