#pragma once
// The parts of Office Open XML workbooks that hold cells, read by the engine itself: the shared
// strings part, and each worksheet part piece by piece as it is unpacked. A report of a million
// rows is half a gigabyte of sheet XML; it is never held whole, and its cells go straight into
// rows of the model. Besides the cells a worksheet gives its columns (<cols>) and merged
// ranges (<mergeCells>).

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "spreadsheet/workbook.h"

namespace lumo::spreadsheet {

class ZipReader;
struct ZipEntry;

// The texts of a shared strings part, interned into the workbook, by their place in the part
// (rich text as its plain text, phonetic runs left out).
std::vector<std::uint32_t> readSharedStrings(std::string_view xml, Workbook& book);

// What a worksheet refers to by number: shared strings (workbook texts by their place in the
// shared strings part) and cell formats (workbook formats by the file's cell format index,
// <cellXfs>); a number past either table means none.
struct WorksheetTables {
    std::vector<std::uint32_t> strings;
    std::vector<std::uint32_t> formats;
    // The cells the workbook may still take (null: no limit); one more raises
    // WorkbookTooLarge (workbook_files.h).
    std::int64_t* cellsLeft = nullptr;
};

// Where the parts of a worksheet lie in its XML (byte offsets; npos: the part has none), as a
// save in place needs them to write the part again with only the changes written anew.
struct WorksheetLayout {
    static constexpr std::size_t npos = std::size_t(-1);
    std::string prefix;  // of the worksheet's element names ("x:" or none)
    std::size_t dimension = npos, dimensionEnd = npos;  // <dimension .../>
    std::string dimensionRef;                            // its ref, as written
    std::size_t cols = npos, colsEnd = npos;            // <cols>...</cols>
    std::size_t sheetData = npos;      // <sheetData ...> or <sheetData/>
    std::size_t sheetDataOpenEnd = npos;  // just after its start tag
    std::size_t sheetDataEnd = npos;   // </sheetData>, or <sheetData/>
    std::size_t sheetDataClose = npos; // just after </sheetData> or <sheetData/>
    std::size_t mergeCells = npos, mergeCellsEnd = npos;
    // The first element after <sheetData> that comes after <mergeCells> in a worksheet, or the
    // end of the worksheet: where merged ranges go that the part did not have.
    std::size_t afterMergeCells = npos;
    std::int64_t lastRow = 0;  // the highest row the part writes
    bool formulas = false;     // some cell has a formula
    // The cells that have one (row, column): the application's calculation chain names them.
    std::vector<std::pair<std::int32_t, std::int32_t>> formulaCells;
    // The file's cell format of columns by <col style>: first, last, format index.
    struct ColumnStyle {
        std::int32_t first, last;
        std::uint32_t style;
    };
    std::vector<ColumnStyle> columnStyles;
};

// One <col> element: columns first..last (1-based, last within the sheet), their width in
// characters (negative: none given) and format (a workbook format; 0: none).
struct ColumnRun {
    std::int32_t first, last;
    double width;
    std::uint32_t format;
    bool operator==(const ColumnRun&) const = default;
};

struct WorksheetCells {
    std::vector<Row> rows;  // sorted by index, cells by column
    std::int32_t lastColumn = 0;
    std::vector<ColumnRun> columns;  // in the order of the part: a later one wins
    std::vector<Rect> merges;        // of two cells or more
    WorksheetLayout layout;
};

// Unpacks a worksheet part a piece at a time into `cells` (texts interned into `book`).
// Raises std::runtime_error for a damaged part.
void readWorksheet(const ZipReader& zip, const ZipEntry& entry, const WorksheetTables& tables, Workbook& book,
                   WorksheetCells& cells);
// The same for a part already unpacked.
void readWorksheetXml(std::string_view xml, const WorksheetTables& tables, Workbook& book, WorksheetCells& cells);

// Puts what a worksheet part held into a sheet of the model: its rows, the widths and formats
// of its columns (a later <col> winning where two overlap) and its merged ranges.
void adoptWorksheet(Sheet& sheet, WorksheetCells&& cells);

}  // namespace lumo::spreadsheet
