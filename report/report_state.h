#pragma once
// The state of the report workbook, owned by the main window for the whole run.

#include <cstdint>

#include "common/clock.h"
#include "report/automation.h"

namespace lumo {

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

}  // namespace lumo
