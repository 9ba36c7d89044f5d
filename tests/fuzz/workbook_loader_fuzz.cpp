// libFuzzer harness of the workbook loader: any bytes must either load or fail with the
// automation error; anything else (a crash, a sanitizer report, another exception) is a bug.
// Built and run by scripts/fuzz-workbook.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "automation/automation.h"
#include "spreadsheet/cell_text.h"
#include "spreadsheet/workbook_files.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace lumo::spreadsheet;
    try {
        auto book = loadWorkbookBytes(std::string_view(reinterpret_cast<const char*>(data), size));
        // Read everything back the way the engine and the viewer do.
        for (std::size_t i = 0; i < book->sheetCount(); ++i) {
            const Sheet& sheet = book->sheet(i);
            for (const Row& row : sheet.rows())
                for (const Cell& cell : row.cells) {
                    const CellFormat& f = book->format(sheet.effectiveFormat(row.index, cell.column));
                    (void)valueText(*book, &cell, f);
                    (void)displayText(*book, cell, f);
                }
        }
    } catch (const lumo::automation::Error&) {
    }
    return 0;
}
