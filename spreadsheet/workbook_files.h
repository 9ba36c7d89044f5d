#pragma once
// Workbook files: reading .xlsx/.xlsm (the engine's own reader, xlsx_reader.h), .ods
// (liborcus) and legacy .xls (freexl, values only), recognised by content; writing Office Open
// XML through a temporary file in the same folder that is renamed over the old one: a workbook
// read from a package is that package again with only its changes written anew
// (xlsx_patch.h), any other one is written whole (xlsx_writer.h). Failures raise
// automation::Error: code::ApplicationDefined, or a code of their own for a file too large
// (FileTooLarge), a workbook beyond the engine's bounds (OutOfMemory), a password-protected
// workbook (PasswordProtected), a folder (IsAFolder), a device or pipe (NotAFile), or a format
// this build does not read (FormatNotOpenable).

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include "spreadsheet/workbook.h"

namespace lumo::spreadsheet {

// The largest file "Open" reads: six times a report of a full sheet. Larger ones fail with
// code::FileTooLarge before anything of them is read.
inline constexpr std::uintmax_t kMaxWorkbookFileBytes = std::uintmax_t(256) << 20;

// What a workbook may hold, so that a small file that claims much is refused before the
// machine runs short: the bytes its parts that are read unpack to (a report of a full sheet
// is about 540 MB of XML), and its cells (such a report has 21 million; a cell takes 16 bytes
// of memory). Beyond them "Open" fails with code::OutOfMemory.
inline constexpr std::uint64_t kMaxUnpackedBytes = std::uint64_t(2) << 30;
inline constexpr std::int64_t kMaxWorkbookCells = std::int64_t(1) << 25;

// A workbook beyond those bounds (raised while it is read).
class WorkbookTooLarge : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

std::shared_ptr<Workbook> loadWorkbook(const std::string& path);
std::shared_ptr<Workbook> loadWorkbookBytes(std::string_view bytes);

void saveWorkbook(const Workbook& book, const std::string& path);

// The name "SaveAs" writes to: one without an extension gets ".xlsx".
std::string savePathFor(std::string_view name);

// A column width as stored in a file (<col width>: characters plus padding, in 1/256) in the
// characters the application shows, for the standard font (7-pixel digits): 5.7109375 is 5.
double charactersFromFileWidth(double fileWidth);

}  // namespace lumo::spreadsheet
