#include "report/report_layout.h"

#include "common/messages.h"
#include "common/numtext.h"
#include "report/report.h"

namespace lumo::layout {

namespace {

// The six quantities of a phase, in column order. The live sheet writes the angle in capitals.
const char* const LiveQuantities[6] = {"U", "I", "УГОЛ", "P", "Q", "S"};
const char* const MemoryQuantities[6] = {"U", "I", "Угол", "P", "Q", "S"};
// "ФАЗА А" ends in a Cyrillic А; "ФАЗА B" and "ФАЗА C" end in Latin letters.
const char* const PhaseTitles[3] = {"ФАЗА А", "ФАЗА B", "ФАЗА C"};
const char* const Statistics[3] = {"MIN", "MAX", "AVR"};

std::string range(int fromColumn, int toColumn, int row) {
    return columnLetters(fromColumn) + std::to_string(row) + ":" + columnLetters(toColumn) +
           std::to_string(row);
}

SheetHeader buildLive() {
    SheetHeader h;
    h.columns = {{1, "", 10}, {2, "", 8}, {0, "C:T", 5}};
    HeaderBlock b;
    b.cellsBefore = {{1, 1, "Дата", true}, {1, 2, "Время", true}};
    for (int phase = 0; phase < 3; ++phase) {
        int first = liveValueColumn(phase * 6 + 1);
        b.titles.push_back({range(first, first + 5, 1), PhaseTitles[phase]});
    }
    for (int n = 1; n <= 18; ++n)
        b.cellsAfter.push_back({2, liveValueColumn(n), LiveQuantities[(n - 1) % 6], false});
    h.blocks.push_back(std::move(b));
    return h;
}

SheetHeader buildMemory() {
    SheetHeader h;
    h.columns = {{1, "", 15}, {0, "B:BC", 5}};
    h.blocks.push_back({{{1, 1, "№ периода", true}}, {}, {}});
    for (int phase = 0; phase < 3; ++phase) {
        HeaderBlock b;
        int first = memoryMinColumn(phase * 6 + 1);
        b.titles.push_back({range(first, first + 17, 1), PhaseTitles[phase]});
        for (int q = 0; q < 6; ++q) {
            int n = phase * 6 + q + 1;
            b.titles.push_back({range(memoryMinColumn(n), memoryAvgColumn(n), 2), MemoryQuantities[q]});
        }
        for (int q = 0; q < 6; ++q) {
            int n = phase * 6 + q + 1;
            b.cellsAfter.push_back({3, memoryMinColumn(n), Statistics[0], false});
            b.cellsAfter.push_back({3, memoryMaxColumn(n), Statistics[1], false});
            b.cellsAfter.push_back({3, memoryAvgColumn(n), Statistics[2], false});
        }
        h.blocks.push_back(std::move(b));
    }
    return h;
}

}  // namespace

const SheetHeader& liveHeader() {
    static const SheetHeader h = buildLive();
    return h;
}

const SheetHeader& memoryHeader() {
    static const SheetHeader h = buildMemory();
    return h;
}

}  // namespace lumo::layout

// ---- Creating a new report ----

namespace lumo {

using automation::Handle;
using automation::methodCall;
using automation::propertyGet;
using automation::propertyPut;

void Report::mergedTitle(const Handle& sheet, const layout::MergedTitle& title) {
    s_.ScratchRange = propertyGet(sheet, "Range", {title.range});
    methodCall(s_.ScratchRange, "Select");
    methodCall(s_.ScratchRange, "Merge");
    propertyPut(s_.ScratchRange, "Value", title.text);
    propertyPut(s_.ScratchRange, "HorizontalAlignment", layout::Centre);
}

void Report::writeHeader(const Handle& sheet, const layout::SheetHeader& header) {
    // Each column format is a chain of its own: "Columns", then "Item" or "Range", then the write.
    for (const layout::ColumnFormat& c : header.columns) {
        for (int pass = 0; pass < 2; ++pass) {
            Handle columns = propertyGet(sheet, "Columns");
            Handle column = c.range.empty() ? propertyGet(columns, "Item", {c.item})
                                            : propertyGet(columns, "Range", {c.range});
            if (pass == 0) propertyPut(column, "ColumnWidth", c.width);
            else propertyPut(column, "HorizontalAlignment", layout::Centre);
        }
    }
    auto writeCell = [&](const layout::HeaderCell& cell) {
        if (cell.scratch) {
            s_.ScratchCell = propertyGet(sheet, "Cells", {cell.row, cell.column});
            propertyPut(s_.ScratchCell, "Value", cell.text);
        } else {
            Handle h = propertyGet(sheet, "Cells", {cell.row, cell.column});
            propertyPut(h, "Value", cell.text);
        }
    };
    for (const layout::HeaderBlock& block : header.blocks) {
        for (const auto& cell : block.cellsBefore) writeCell(cell);
        for (const auto& title : block.titles) mergedTitle(sheet, title);
        for (const auto& cell : block.cellsAfter) writeCell(cell);
    }
}

void Report::CreateReport() {
    if (!startApplication()) return;
    automation::CallPatience patient(automation::CallPatience::Patient);

    try {
        propertyPut(s_.ExcelApp, "SheetsInNewWorkbook", 2);
        methodCall(propertyGet(s_.ExcelApp, "WorkBooks"), "add");
        s_.ReportBook = propertyGet(s_.ExcelApp, "WorkBooks", {1});
    } catch (const std::exception&) {
        closeApplicationSilently();  // the application started for this report goes again
        dialogs_.error(msg::WorkbookOpenError);
        return;
    }

    try {
        s_.LiveSheet = propertyGet(s_.ReportBook, "WorkSheets", {1});
        s_.MemorySheet = propertyGet(s_.ReportBook, "WorkSheets", {2});
        propertyPut(s_.LiveSheet, "Name", layout::LiveSheetName);
        propertyPut(s_.MemorySheet, "Name", layout::MemorySheetName);
        methodCall(s_.LiveSheet, "Activate");
        writeHeader(s_.LiveSheet, layout::liveHeader());
        stampFormats(s_.LiveSheet);
        s_.LiveRow = layout::LiveFirstDataRow;
        methodCall(s_.MemorySheet, "Activate");
        writeHeader(s_.MemorySheet, layout::memoryHeader());
        methodCall(s_.LiveSheet, "Activate");
        s_.MemoryRow = layout::MemoryFirstDataRow;
    } catch (const std::exception&) {
        closeApplicationSilently();
        dialogs_.error(msg::WorkbookEditError);
        return;
    }

    s_.ReportCreated = clock_.now();
    view_.setReportDate(plainDate(s_.ReportCreated));
    s_.ReportOpen = true;
    rowsSinceSave_ = 0;
    view_.setShowButton(true, msg::ShowReport);
    view_.setMemoryButtonEnabled(true);
}

}  // namespace lumo
