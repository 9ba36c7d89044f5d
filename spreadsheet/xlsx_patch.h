#pragma once
// A workbook read from a package (.xlsx, .xlsm) saved as that package again: every part the
// program did not change is copied as it was, its compressed bytes neither unpacked nor
// packed again (charts, pictures, comments, macros, themes, tables, ...), and a part that
// changed keeps every element and attribute the engine does not model, in its order:
//   - a worksheet: the rows the program wrote are spliced into <sheetData> (new rows in their
//     place, written cells merged into rows the file had, whose other cells stay as they were:
//     formulas, styles, row heights); <dimension> grows over them; <cols> and <mergeCells> are
//     written again only when the program changed widths, column formats or merges;
//   - the workbook part: only when a sheet was renamed, another sheet made active, or written
//     cells may be read by formulas: then calcPr's fullCalcOnLoad has the application calculate
//     every formula when it next opens the file;
//   - styles: cell formats the written cells need and the file lacks are appended to its
//     <cellXfs> (each made from the format the cell had, so fonts, fills and borders stay),
//     number formats to its <numFmts>;
//   - texts of written cells go in as inline strings: the shared strings stay as they were.
// [Content_Types].xml and every relationship are copied: the package keeps its parts' types
// (a macro-enabled workbook stays one), unless it is saved under a name of the other kind.

#include <filesystem>

#include "spreadsheet/workbook.h"

namespace lumo::spreadsheet {

// The workbook's main type in the package written: the source's, or as the name saved to
// says (.xlsx: no macros, the VBA project left out; .xlsm: macro-enabled).
enum class MainType { AsSource, Plain, MacroEnabled };

// Writes the workbook (which has a source package) into `file` (created or emptied). Raises
// ZipWriteError (xlsx_zip.h) when the file cannot be written, std::runtime_error when a part
// to be written again is damaged.
void writePatchedXlsx(const Workbook& book, const std::filesystem::path& file, MainType type = MainType::AsSource);

}  // namespace lumo::spreadsheet
