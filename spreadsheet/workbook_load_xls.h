#pragma once
// Legacy .xls workbooks through freexl, values only (private to spreadsheet/workbook_load*.cpp;
// loadWorkbook and loadWorkbookBytes in workbook_files.h are the way in). Failures raise
// std::runtime_error, which the loader reports like every other file it cannot open.

#include <memory>
#include <string>
#include <string_view>

#include "spreadsheet/workbook.h"

namespace lumo::spreadsheet {

std::shared_ptr<Workbook> loadXlsFile(const std::string& path);

// freexl 1.0 reads files only: the bytes go to a new file of this process's own, in a folder
// of its own under the temp folder, and both are removed again whatever happens.
std::shared_ptr<Workbook> loadXlsBytes(std::string_view bytes);

}  // namespace lumo::spreadsheet
