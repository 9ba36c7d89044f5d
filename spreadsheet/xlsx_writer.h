#pragma once
// Office Open XML (.xlsx) written straight from the workbook model: each sheet's XML goes into
// its zip entry row by row from the sheet's own cells, so a save needs no second copy of the
// workbook. Written: sheet names, texts (as shared strings), numbers, booleans, errors, cell
// formats (number format codes and horizontal alignment; a cell without a format of its own
// gets its column's), column widths and formats, merged ranges and the active sheet.

#include <filesystem>
#include <string>
#include <string_view>

#include "spreadsheet/workbook.h"

namespace lumo::spreadsheet {

// Writes the workbook into `file` (created or emptied). Raises ZipWriteError (xlsx_zip.h)
// when the file cannot be written.
void writeXlsx(const Workbook& book, const std::filesystem::path& file);

// Text made safe for XML character data or attribute values: &, <, >, " as entities; control
// characters and the characters XML cannot hold as _xHHHH_ (and a literal "_x" sequence that
// would read as one with its '_' escaped); bytes that are no UTF-8 as U+FFFD.
void appendXmlText(std::string& out, std::string_view text);

// The name of a horizontal alignment in a file; null for the general one.
const char* alignmentName(HAlign a);

// The error values a cell of a file may hold; any other error text is written as text.
bool isErrorValue(std::string_view s);

// A column width in characters as a file stores it (characters plus padding, rounded to whole
// pixels of 7-pixel digits and to 1/256): 5 is 5.7109375. The inverse of
// charactersFromFileWidth (workbook_files.h).
double fileWidthFromCharacters(double characters);

}  // namespace lumo::spreadsheet
