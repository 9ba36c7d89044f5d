// libFuzzer harness of the workbook loader and of the save in place: any bytes must either
// load or fail with the automation error; a workbook that loads gets a row written into its
// first sheet, is saved (as its package again, or whole) and must load again with that row.
// Anything else (a crash, a sanitizer report, another exception, a saved file that does not
// load) is a bug. Built and run by scripts/fuzz-workbook.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "automation/automation.h"
#include "spreadsheet/cell_text.h"
#include "spreadsheet/workbook_files.h"
#include "spreadsheet/zip_archive.h"

namespace {

// A file of this process's own for the saves, in memory where the system has a folder there.
const std::string& savePath() {
    static const std::string path = [] {
        const char* folder = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        return std::string(folder) + "/lumo-fuzz-save-" + std::to_string(getpid()) + ".xlsx";
    }();
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace lumo::spreadsheet;
    std::shared_ptr<Workbook> book;
    try {
        book = loadWorkbookBytes(std::string_view(reinterpret_cast<const char*>(data), size));
    } catch (const lumo::automation::Error&) {
        return 0;
    }
    // Read everything back the way the engine and the viewer do.
    std::size_t cells = 0;
    for (std::size_t i = 0; i < book->sheetCount(); ++i) {
        const Sheet& sheet = book->sheet(i);
        for (const Row& row : sheet.rows())
            for (const Cell& cell : row.cells) {
                const CellFormat& f = book->format(sheet.effectiveFormat(row.index, cell.column));
                (void)valueText(*book, &cell, f);
                (void)displayText(*book, cell, f);
                ++cells;
            }
    }
    // A workbook as big as the hostile seeds' (a million shared strings, 17 MB of XML) is loaded
    // once: saved and loaded again it would take more than an execution's time under the
    // sanitizers.
    std::uint64_t unpacked = 0;
    try {
        const ZipReader zip(std::string_view(reinterpret_cast<const char*>(data), size));
        for (const ZipEntry& e : zip.entries()) unpacked += e.size;
    } catch (const std::exception&) {
    }
    if (cells > 100000 || unpacked > (std::uint64_t(4) << 20)) return 0;
    // A report row below the sheet's cells, and one into its first row (a row the file may have).
    Sheet& first = book->sheet(0);
    const std::int32_t below = std::min(first.lastRow() + 1, kMaxRows);
    for (std::int32_t column = 1; column <= 20; ++column) {
        Cell& cell = first.at(below, column);
        cell.kind = CellKind::Number, cell.number = column + 0.5;
        if (below > 1) enterText(*book, first.at(1, column), "текст & <знаки>\r\n_x0041_", book->format(0));
    }
    try {
        saveWorkbook(*book, savePath());
    } catch (const lumo::automation::Error&) {
        unlink(savePath().c_str());
        return 0;  // a package the engine cannot write again is refused, not damaged
    }
    std::shared_ptr<Workbook> again;
    try {
        again = loadWorkbook(savePath());
    } catch (const lumo::automation::Error& e) {
        std::fprintf(stderr, "a saved workbook does not load: %s\n", e.what());
        std::abort();
    }
    unlink(savePath().c_str());
    const Cell* cell = again->sheet(0).find(below, 20);
    if (again->sheetCount() != book->sheetCount() || !cell || cell->kind != CellKind::Number || cell->number != 20.5) {
        std::fprintf(stderr, "the row written is not in the saved workbook\n");
        std::abort();
    }
    return 0;
}
