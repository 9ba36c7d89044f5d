// Writing records into the open report: a live-readings row per tick, a memory-statistics row
// per downloaded period. Every cell is its own automation round trip.
#include "common/messages.h"
#include "common/readings.h"
#include "report/report_layout.h"
#include "report/report.h"

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

void Report::AppendLiveRow(std::span<const std::string> readings) {
    WriteRowStamp();
    for (int n = 1; n <= ReadingCount && n <= static_cast<int>(readings.size()); ++n)
        WriteReportCell(s_.LiveSheet, s_.LiveRow, layout::liveValueColumn(n),
                        readings[static_cast<size_t>(n - 1)]);
    ++s_.LiveRow;
}

void Report::AppendMemoryRow(std::int32_t period, std::span<const std::string> statistics) {
    // Downloaded statistics are a change to the report like a live row: closing it must ask
    // before they are thrown away.
    if (s_.ReportOpen) s_.ReportSaved = false;
    WriteReportCell(s_.MemorySheet, s_.MemoryRow, layout::MemoryLabelColumn,
                    period == 0 ? layout::WholePeriodLabel : std::to_string(period));
    // Statistics in the order of their columns: minimum, maximum, average of reading 1, 2, ...
    for (size_t i = 0; i < statistics.size() && i < size_t{StatisticsPerReading * ReadingCount}; ++i)
        WriteReportCell(s_.MemorySheet, s_.MemoryRow,
                        layout::memoryMinColumn(1) + static_cast<std::int32_t>(i), statistics[i]);
    ++s_.MemoryRow;
}

}  // namespace lumo
