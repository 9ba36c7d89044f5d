#pragma once
// Office Open XML workbooks (.xlsx, .xlsm) read by the engine itself, straight from the zip:
// the workbook part found through the package's relationships (targets absolute or relative),
// its sheets in order with their names and the active one, the styles (number formats, built-in
// and <numFmts>, and horizontal alignment of the cell formats, <cellXfs>), the shared strings,
// and each worksheet's cells, columns and merged ranges (worksheet_cells.h); chart, dialog and
// macro sheets are not the model's. Only the parts read are unpacked (and checked against
// their CRCs): the others go into a save in place as they are. What is unpacked and the cells
// taken in are bounded (workbook_files.h). Failures raise std::runtime_error (WorkbookTooLarge
// for a workbook beyond those bounds), or automation::Error for a binary workbook (.xlsb).

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "spreadsheet/workbook.h"

namespace lumo::spreadsheet {

class ZipReader;

// The package is an OpenDocument spreadsheet (its "mimetype" entry says so).
bool isOpenDocumentSpreadsheet(const ZipReader& zip);

// The workbook keeps the package (Workbook::source, xlsx_package.h); `bytes` are the zip's.
std::shared_ptr<Workbook> readXlsx(const ZipReader& zip, std::shared_ptr<const std::string> bytes);

// The format code of a built-in number format id (those a file may use without writing their
// codes down); "General" for an id that has none.
const char* builtinNumberFormat(std::size_t id);

// The part a relationship's target names, as seen from the part that holds the relationship:
// ("xl/workbook.xml", "worksheets/sheet1.xml") gives "xl/worksheets/sheet1.xml", an absolute
// target ("/xl/styles.xml") is taken from the package's root, ".." steps up a folder.
std::string targetPart(std::string_view sourcePart, std::string_view target);

// Cell formats of a styles part: for each <xf> of its <cellXfs>, in order, the workbook format
// (number format and horizontal alignment) interned into `book`.
std::vector<std::uint32_t> readCellFormats(std::string_view stylesXml, Workbook& book);

}  // namespace lumo::spreadsheet
