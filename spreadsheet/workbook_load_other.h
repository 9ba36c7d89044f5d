#pragma once
// The workbook formats read through libraries that only the Linux build has (private to
// spreadsheet/workbook_load*.cpp; loadWorkbook and loadWorkbookBytes in workbook_files.h are
// the way in): OpenDocument spreadsheets through liborcus (workbook_load_ods_posix.cpp) and
// legacy .xls through freexl, values only (workbook_load_xls_posix.cpp). The Windows build
// refuses both with code::FormatNotOpenable (workbook_load_other_win.cpp). Files they cannot
// read raise std::runtime_error, which the loader reports like every other file it cannot open.

#include <memory>
#include <string>
#include <string_view>

#include "spreadsheet/workbook.h"

namespace lumo::spreadsheet {

class ZipReader;

std::shared_ptr<Workbook> loadOds(const ZipReader& zip);

std::shared_ptr<Workbook> loadXlsFile(const std::string& path);

// freexl 1.0 reads files only: the bytes go to a new file of this process's own, in a folder
// of its own under the temp folder, and both are removed again whatever happens.
std::shared_ptr<Workbook> loadXlsBytes(std::string_view bytes);

}  // namespace lumo::spreadsheet
