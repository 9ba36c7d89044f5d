// The Windows build has no readers of .ods and legacy .xls: they are refused with a code of
// their own, so that the operator can be told which formats open.
#include "automation/automation.h"
#include "spreadsheet/workbook_load_other.h"

namespace lumo::spreadsheet {

namespace {

[[noreturn]] void notOpenable(const char* format) {
    throw automation::Error(automation::code::FormatNotOpenable,
                            std::string("cannot open ") + format + " workbooks here: only .xlsx and .xlsm open");
}

}  // namespace

std::shared_ptr<Workbook> loadOds(const ZipReader&) { notOpenable(".ods"); }
std::shared_ptr<Workbook> loadXlsFile(const std::string&) { notOpenable(".xls"); }
std::shared_ptr<Workbook> loadXlsBytes(std::string_view) { notOpenable(".xls"); }

}  // namespace lumo::spreadsheet
