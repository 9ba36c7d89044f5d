#pragma once
// The report workbook's format, in one place: the two sheets, their header cells and merged
// titles, column widths and alignment, and which column holds which reading.

#include <cstdint>
#include <string>
#include <vector>

namespace lumo::layout {

inline constexpr const char* LiveSheetName = "Результат текущих измерений";
inline constexpr const char* MemorySheetName = "Данные из памяти прибора";
inline constexpr const char* WholePeriodLabel = "Весь период";

inline constexpr std::int32_t LiveFirstDataRow = 3;    // below header rows 1 and 2
inline constexpr std::int32_t MemoryFirstDataRow = 4;  // below header rows 1 to 3
inline constexpr std::int32_t Centre = 3;              // "HorizontalAlignment" centred

// Live-readings row: A the date, B the time, parameter n (1 to 18) in column n + 2.
inline constexpr std::int32_t LiveDateColumn = 1;
inline constexpr std::int32_t LiveTimeColumn = 2;
inline constexpr std::int32_t liveValueColumn(int n) { return n + 2; }
// Number formats as Range.NumberFormat takes them in every language: the codes of the English
// locale (the application shows them in the operator's own).
inline constexpr const char* DateFormat = "dd.mm.yyyy";
inline constexpr const char* TimeFormat = "hh:mm:ss";
inline constexpr const char* GeneralFormat = "General";

// Memory-statistics row: A the period label; parameter n's minimum, maximum and average in
// columns 3n - 1, 3n and 3n + 1.
inline constexpr std::int32_t MemoryLabelColumn = 1;
inline constexpr std::int32_t memoryMinColumn(int n) { return 3 * n - 1; }
inline constexpr std::int32_t memoryMaxColumn(int n) { return 3 * n; }
inline constexpr std::int32_t memoryAvgColumn(int n) { return 3 * n + 1; }

// A row goes only where all of these columns are empty: the live row's A to T; on the memory
// sheet A to BC and two columns beyond, where a table beside the rows would begin.
inline constexpr std::int32_t LiveCheckedColumns = liveValueColumn(18);        // T
inline constexpr std::int32_t MemoryCheckedColumns = memoryAvgColumn(18) + 2;  // BE

// One write of a column format: the column is "Item" n of "Columns", or "Range" of it when
// `range` is set.
struct ColumnFormat {
    std::int32_t item;  // column number, when range is empty
    std::string range;  // "C:T"
    std::int32_t width;
};

// One header cell, written through "Cells".
struct HeaderCell {
    std::int32_t row, column;
    std::string text;
    bool scratch;  // read into ScratchCell rather than a temporary handle
};

// One merged title: "Range", "Select", "Merge", "Value", "HorizontalAlignment".
struct MergedTitle {
    std::string range;
    std::string text;
};

// What is written on a sheet, in the order it is written: column formats (each a width, then
// its alignment), the cells before the titles, the titles, and the cells after them; a phase
// of the memory sheet is (titles, cells) again, so `blocks` keeps the order.
struct HeaderBlock {
    std::vector<HeaderCell> cellsBefore;
    std::vector<MergedTitle> titles;
    std::vector<HeaderCell> cellsAfter;
};

struct SheetHeader {
    std::vector<ColumnFormat> columns;
    std::vector<HeaderBlock> blocks;
};

const SheetHeader& liveHeader();
const SheetHeader& memoryHeader();


}  // namespace lumo::layout
