#pragma once
// Packages (.xlsx, .ods zips) are unpacked and checked here before liborcus 0.17 reads them,
// for what it does not do itself:
// - it trusts the sizes a zip declares and sets aside that much memory, so a damaged file of
//   a few kilobytes could ask for gigabytes: a part may claim no more than deflate can make
//   of its bytes (1032 : 1);
// - it does not check CRCs, and some broken XML makes it abort: every part is unpacked and
//   checked against its CRC first;
// - it reads relationship targets given as absolute paths (Target="/xl/worksheets/..."), as
//   openpyxl writes them, as if they were not there: targets are made relative;
// - it builds a million-row sheet slowly and from a whole unpacked part: the engine reads the
//   shared strings and the worksheets' cells itself (spreadsheet/worksheet_cells.h), a piece
//   at a time, and orcus gets the worksheets without their cells;
// - it does not hand over the format of whole columns (<col style="...">): those are read
//   here and given back beside the package.
// The zip itself is read (and its sizes checked) by spreadsheet/zip_archive.h.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "spreadsheet/worksheet_cells.h"

namespace lumo::spreadsheet {

// Columns first..last (1-based) of a sheet are formatted whole with cell format `xf` of the
// styles part (its <cellXfs>).
struct ColumnStyle {
    std::int64_t first, last;
    std::uint32_t xf;
    bool operator==(const ColumnStyle&) const = default;
};

struct UnpackedPackage {
    std::unique_ptr<char[]> data;
    std::size_t size = 0;
    std::string_view bytes() const { return {data.get(), size}; }
    // The column formats of each sheet of a workbook of Office Open XML, in the order of its
    // sheets; empty for other packages.
    std::vector<std::vector<ColumnStyle>> columnStyles;
    // The cells of each sheet, likewise.
    std::vector<WorksheetCells> cells;
};

// The same package with every part checked and stored uncompressed, ready for orcus; the
// texts of the cells read here are interned into `book`.
// Raises std::runtime_error for a damaged package.
UnpackedPackage unpackedPackage(std::string_view zipBytes, Workbook& book);

// The formatted columns of a sheet part: the <col> elements of its <cols> with a style
// other than the default.
std::vector<ColumnStyle> columnStylesOf(std::string_view sheetXml);

// A target as seen from the folder of the part that names it: ("xl/", "/xl/styles.xml") gives
// "styles.xml", ("xl/worksheets/", "/xl/theme/theme1.xml") "../theme/theme1.xml".
std::string relativeTarget(std::string_view sourceFolder, std::string_view absoluteTarget);

}  // namespace lumo::spreadsheet
