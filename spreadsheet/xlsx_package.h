#pragma once
// What a save in place needs of the package a workbook was read from: the file's bytes and
// zip entries, where the workbook's parts are, and what each worksheet was when it was read.
// xlsx_reader.h fills it; xlsx_patch.h writes the package again from it, every part that did
// not change copied as it was.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "spreadsheet/workbook.h"
#include "spreadsheet/worksheet_cells.h"
#include "spreadsheet/zip_archive.h"

namespace lumo::spreadsheet {

struct SheetSource {
    static constexpr std::size_t npos = std::size_t(-1);
    std::size_t entry = npos;  // the zip entry of the sheet's part; npos: it has none
    std::size_t position = 0;  // its place among the workbook part's <sheet> elements
    std::string name;
    std::vector<Rect> merges;         // as the sheet took them in
    std::vector<ColumnInfo> columns;  // as the sheet took them in
    WorksheetLayout layout;
};

struct SourcePackage {
    static constexpr std::size_t npos = std::size_t(-1);
    std::shared_ptr<const std::string> bytes;  // the file; the entries point into it
    std::vector<ZipEntry> entries;
    std::size_t workbook = npos, styles = npos;  // entries of those parts
    std::vector<std::uint32_t> formats;  // workbook format of each of the file's cell formats
    std::vector<SheetSource> sheets;     // one for each sheet of the model, in order
    std::size_t activeSheet = 0;         // the model's active sheet as read
};

}  // namespace lumo::spreadsheet
