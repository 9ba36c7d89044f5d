// Saving: Office Open XML through libxlsxwriter (never its constant-memory mode, which writes
// inline strings that some readers drop), into a temporary file beside the target that is
// renamed over it once complete.
#include <xlsxwriter.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <unordered_map>

#include "common/atomic_file.h"
#include "automation/automation.h"
#include "spreadsheet/save_hook.h"
#include "spreadsheet/workbook_files.h"

namespace lumo::spreadsheet {

namespace fs = std::filesystem;
using automation::Error;
namespace code = automation::code;

namespace {

SaveHook& saveHook() {
    static SaveHook hook;
    return hook;
}

[[noreturn]] void saveFailed(const std::string& why) { throw Error(code::ApplicationDefined, "cannot save: " + why); }

lxw_format_alignments alignmentOf(HAlign a) {
    switch (a) {
        case HAlign::Left: return LXW_ALIGN_LEFT;
        case HAlign::Center: return LXW_ALIGN_CENTER;
        case HAlign::Right: return LXW_ALIGN_RIGHT;
        case HAlign::Fill: return LXW_ALIGN_FILL;
        case HAlign::Justify: return LXW_ALIGN_JUSTIFY;
        case HAlign::CenterAcrossSelection: return LXW_ALIGN_CENTER_ACROSS;
        case HAlign::Distributed: return LXW_ALIGN_DISTRIBUTED;
        case HAlign::General: break;
    }
    return LXW_ALIGN_NONE;
}

// A cell text fits the 32767 characters a cell holds; cut at a character boundary.
std::string_view cellText(const std::string& s) {
    constexpr size_t kMax = 32767;
    if (s.size() <= kMax) return s;
    size_t n = kMax;
    while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
    return std::string_view(s).substr(0, n);
}

class XlsxWriter {
public:
    XlsxWriter(const Workbook& book, const std::string& file) : book_(book) {
        lxw_workbook_options options{};
        options.constant_memory = LXW_FALSE;
        wb_ = workbook_new_opt(file.c_str(), &options);
        if (!wb_) saveFailed("cannot start the workbook file");
    }
    ~XlsxWriter() {
        if (wb_) workbook_close(wb_);  // only after a failure: the file is removed anyway
    }

    void write() {
        for (size_t i = 0; i < book_.sheetCount(); ++i) writeSheet(book_.sheet(i), i == book_.activeSheet);
        lxw_error err = workbook_close(wb_);
        wb_ = nullptr;
        if (err != LXW_NO_ERROR) saveFailed(lxw_strerror(err));
    }

private:
    lxw_format* format(std::uint32_t index) {
        if (index == 0) return nullptr;
        auto it = formats_.find(index);
        if (it != formats_.end()) return it->second;
        const CellFormat& f = book_.format(index);
        lxw_format* fmt = nullptr;
        if (f.numberFormat != "General" || f.align != HAlign::General) {
            fmt = workbook_add_format(wb_);
            if (!fmt) saveFailed("out of memory for a format");
            if (f.numberFormat != "General") format_set_num_format(fmt, f.numberFormat.c_str());
            if (f.align != HAlign::General) format_set_align(fmt, alignmentOf(f.align));
        }
        formats_.emplace(index, fmt);
        return fmt;
    }

    void check(lxw_error err, const char* what) {
        if (err != LXW_NO_ERROR) saveFailed(std::string(what) + ": " + lxw_strerror(err));
    }

    void writeSheet(const Sheet& sheet, bool active) {
        lxw_worksheet* ws = workbook_add_worksheet(wb_, sheet.name().c_str());
        if (!ws) saveFailed("the sheet name is not accepted: " + sheet.name());
        if (active) worksheet_activate(ws);

        // Columns: runs of equal width and format in one call.
        std::int32_t defined = sheet.columnsDefined();
        for (std::int32_t c = 1; c <= defined;) {
            const ColumnInfo& info = sheet.column(c);
            std::int32_t end = c;
            while (end + 1 <= defined && sheet.column(end + 1).width == info.width && sheet.column(end + 1).format == info.format)
                ++end;
            if (info.width >= 0 || info.format != 0) {
                double width = info.width >= 0 ? info.width : LXW_DEF_COL_WIDTH;
                check(worksheet_set_column(ws, static_cast<lxw_col_t>(c - 1), static_cast<lxw_col_t>(end - 1), width,
                                           format(info.format)),
                      "column");
            }
            c = end + 1;
        }

        for (const Rect& m : sheet.merges()) {
            if (m.area() <= 1) continue;
            const Cell* anchor = sheet.find(m.top, m.left);
            std::uint32_t f = anchor && anchor->format ? anchor->format : sheet.column(m.left).format;
            check(worksheet_merge_range(ws, static_cast<lxw_row_t>(m.top - 1), static_cast<lxw_col_t>(m.left - 1),
                                        static_cast<lxw_row_t>(m.bottom - 1), static_cast<lxw_col_t>(m.right - 1), "",
                                        format(f)),
                  "merged range");
        }

        std::string buffer;
        for (const Row& row : sheet.rows()) {
            auto r = static_cast<lxw_row_t>(row.index - 1);
            for (const Cell& cell : row.cells) {
                auto c = static_cast<lxw_col_t>(cell.column - 1);
                lxw_format* fmt = format(cell.format ? cell.format : sheet.column(cell.column).format);
                lxw_error err = LXW_NO_ERROR;
                switch (cell.kind) {
                    case CellKind::Number: err = worksheet_write_number(ws, r, c, cell.number, fmt); break;
                    case CellKind::Boolean: err = worksheet_write_boolean(ws, r, c, cell.boolean ? 1 : 0, fmt); break;
                    case CellKind::Text:
                    case CellKind::Error: {
                        const std::string& s = book_.string(cell.text);
                        std::string_view text = cellText(s);
                        if (text.size() == s.size()) {
                            err = worksheet_write_string(ws, r, c, s.c_str(), fmt);
                        } else {
                            buffer.assign(text);
                            err = worksheet_write_string(ws, r, c, buffer.c_str(), fmt);
                        }
                        break;
                    }
                    case CellKind::Empty:
                        if (fmt) err = worksheet_write_blank(ws, r, c, fmt);
                        break;
                }
                check(err, "cell");
            }
        }
    }

    const Workbook& book_;
    lxw_workbook* wb_ = nullptr;
    std::unordered_map<std::uint32_t, lxw_format*> formats_;
};

}  // namespace

void setSaveHook(SaveHook hook) { saveHook() = std::move(hook); }

void saveWorkbook(const Workbook& book, const std::string& path) {
    try {
        replaceFile(pathFromUtf8(path), [&](const fs::path& tmp) {
            XlsxWriter(book, pathToUtf8(tmp)).write();
            if (saveHook()) saveHook()(pathToUtf8(tmp));
        });
    } catch (const FileReplaceError& e) {
        saveFailed(e.what());
    } catch (const fs::filesystem_error& e) {
        saveFailed(e.what());
    }
}

std::string savePathFor(std::string_view name) {
    size_t slash = name.find_last_of("/\\");
    std::string_view base = slash == std::string_view::npos ? name : name.substr(slash + 1);
    size_t dot = base.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return std::string(name) + ".xlsx";
    return std::string(name);
}

}  // namespace lumo::spreadsheet
