// Writing records into the open report: a live-readings row per tick, a memory-statistics row
// per downloaded period. Every cell is its own automation round trip.
#include "common/messages.h"
#include "link/readings_store.h"
#include "report/report_layout.h"
#include "report/report_lifecycle.h"

namespace lumo {

using automation::Handle;
using automation::propertyGet;
using automation::propertyPut;

// The sheet is taken by value: the failure path closes the report, which empties the state's
// sheet handles while this call still uses its own reference.
void Report::WriteReportCell(Handle sheet, std::int32_t row, std::int32_t column,
                             const std::string& text) {
    if (!s_.ReportOpen) return;
    try {
        s_.ScratchCell = propertyGet(sheet, "Cells", {row, column});
        propertyPut(s_.ScratchCell, "Value", text);
    } catch (const std::exception&) {
        CloseReport();
        dialogs_.error(msg::WorkbookOpenError);
    }
}

void Report::WriteRowStamp() {
    if (!s_.ReportOpen) return;
    const LocalDateTime now = clock_.now();
    s_.ReportSaved = false;
    try {
        Handle cell = propertyGet(s_.LiveSheet, "Cells", {s_.LiveRow, layout::LiveDateColumn});
        propertyPut(cell, "NumberFormat", layout::DateFormat);
        propertyPut(cell, "Value", plainDate(now));
        cell = propertyGet(s_.LiveSheet, "Cells", {s_.LiveRow, layout::LiveTimeColumn});
        propertyPut(cell, "NumberFormat", layout::TimeFormat);
        propertyPut(cell, "Value", std::to_string(now.hour) + ":" + std::to_string(now.minute) +
                                       ":" + std::to_string(now.second));
    } catch (const std::exception&) {
        // Closed without the save question: the row that failed is all that changed.
        s_.ReportSaved = true;
        s_.ReportOpen = false;
        CloseReport();
        dialogs_.error(msg::CannotAddRecord);
    }
}

void Report::AppendLiveRow() {
    WriteRowStamp();
    for (int n = 1; n <= 18; ++n)
        WriteReportCell(s_.LiveSheet, s_.LiveRow, layout::liveValueColumn(n),
                        store_.CurrentValues[static_cast<size_t>(n)].get());
    ++s_.LiveRow;
}

void Report::AppendMemoryRow(std::int32_t period) {
    if (period >= 0 && period < ReadingsStore::Blocks) {
        // Downloaded statistics are a change to the report like a live row: closing it must
        // ask before they are thrown away.
        if (s_.ReportOpen) s_.ReportSaved = false;
        const auto& values = *store_.MemoryValues;
        WriteReportCell(s_.MemorySheet, s_.MemoryRow, layout::MemoryLabelColumn,
                        period == 0 ? layout::WholePeriodLabel : std::to_string(period));
        for (int n = 1; n <= 18; ++n) {
            WriteReportCell(s_.MemorySheet, s_.MemoryRow, layout::memoryMinColumn(n),
                            values[static_cast<size_t>(ReadingsStore::minIndex(period, n))].get());
            WriteReportCell(s_.MemorySheet, s_.MemoryRow, layout::memoryMaxColumn(n),
                            values[static_cast<size_t>(ReadingsStore::maxIndex(period, n))].get());
            WriteReportCell(s_.MemorySheet, s_.MemoryRow, layout::memoryAvgColumn(n),
                            values[static_cast<size_t>(ReadingsStore::avgIndex(period, n))].get());
        }
    }
    ++s_.MemoryRow;
}

}  // namespace lumo
