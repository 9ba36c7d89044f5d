#pragma once
// The cells of Office Open XML workbooks, read by the engine itself: the shared strings part,
// and each worksheet part piece by piece as it is unpacked. A report of a million rows is half
// a gigabyte of sheet XML; it is never held whole, and its cells go straight into rows of the
// model. What a worksheet holds besides its cells (columns, merges) is handed on with an empty
// <sheetData> for liborcus to read with the rest of the package.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "spreadsheet/workbook.h"

namespace lumo::spreadsheet {

class ZipReader;
struct ZipEntry;

// The texts of a shared strings part, interned into the workbook, by their place in the part
// (rich text as its plain text, phonetic runs left out).
std::vector<std::uint32_t> readSharedStrings(std::string_view xml, Workbook& book);

// A cell given as a typed date (t="d"): it shows as a date even without a date format.
struct DateMark {
    std::int32_t row, column;
    bool withTime;
};

struct WorksheetCells {
    std::vector<Row> rows;  // sorted by index, cells by column; formats are the file's cell formats
    std::int32_t lastColumn = 0;
    std::vector<DateMark> dates;
};

// Unpacks a worksheet part a piece at a time: its cells go into `cells` (texts interned into
// `book`, shared ones looked up in `strings`), and the part is given back with an empty
// <sheetData>. Raises std::runtime_error for a damaged part.
std::string readWorksheet(const ZipReader& zip, const ZipEntry& entry, const std::vector<std::uint32_t>& strings,
                          Workbook& book, WorksheetCells& cells);
// The same for a part already unpacked.
std::string readWorksheetXml(std::string_view xml, const std::vector<std::uint32_t>& strings, Workbook& book,
                             WorksheetCells& cells);

}  // namespace lumo::spreadsheet
