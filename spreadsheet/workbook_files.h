#pragma once
// Workbook files: reading .xlsx/.xlsm (the engine's own reader, xlsx_reader.h), .ods
// (liborcus) and legacy .xls (freexl, values only), recognised by content; writing Office Open
// XML (xlsx_writer.h) through a temporary file in the same folder that is renamed over the old
// one. Failures raise automation::Error with code::ApplicationDefined.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "spreadsheet/workbook.h"

namespace lumo::spreadsheet {

// The largest file "Open" reads: six times a report of a full sheet. Larger ones fail with
// code::FileTooLarge before anything of them is read.
inline constexpr std::uintmax_t kMaxWorkbookFileBytes = std::uintmax_t(256) << 20;

std::shared_ptr<Workbook> loadWorkbook(const std::string& path);
std::shared_ptr<Workbook> loadWorkbookBytes(std::string_view bytes);

void saveWorkbook(const Workbook& book, const std::string& path);

// The name "SaveAs" writes to: one without an extension gets ".xlsx".
std::string savePathFor(std::string_view name);

// A column width as stored in a file (<col width>: characters plus padding, in 1/256) in the
// characters the application shows, for the standard font (7-pixel digits): 5.7109375 is 5.
double charactersFromFileWidth(double fileWidth);

}  // namespace lumo::spreadsheet
