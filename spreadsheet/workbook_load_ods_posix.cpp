// OpenDocument spreadsheets through liborcus 0.17, with an import factory that fills the
// workbook model directly.
#include <orcus/exception.hpp>
#include <orcus/orcus_ods.hpp>
#include <orcus/spreadsheet/import_interface.hpp>

#include <cmath>
#include <map>
#include <optional>

#include "spreadsheet/cell_text.h"
#include "spreadsheet/workbook_files.h"
#include "spreadsheet/workbook_load_other.h"
#include "spreadsheet/xlsx_reader.h"
#include "spreadsheet/zip_archive.h"

namespace lumo::spreadsheet {

namespace ss = orcus::spreadsheet;

namespace {

HAlign alignOf(ss::hor_alignment_t a) {
    switch (a) {
        case ss::hor_alignment_t::left: return HAlign::Left;
        case ss::hor_alignment_t::center: return HAlign::Center;
        case ss::hor_alignment_t::right: return HAlign::Right;
        case ss::hor_alignment_t::justified: return HAlign::Justify;
        case ss::hor_alignment_t::distributed: return HAlign::Distributed;
        case ss::hor_alignment_t::filled: return HAlign::Fill;
        default: return HAlign::General;
    }
}

bool inSheet(ss::row_t r, ss::col_t c) { return r >= 0 && r < kMaxRows && c >= 0 && c < kMaxColumns; }

class SharedStrings final : public ss::iface::import_shared_strings {
public:
    explicit SharedStrings(Workbook& book) : book_(book) {}
    std::uint32_t poolIndex(std::size_t sst) const { return sst < sst_.size() ? sst_[sst] : kNone; }
    static constexpr std::uint32_t kNone = UINT32_MAX;

    std::size_t append(std::string_view s) override { return push(book_.intern(s)); }
    std::size_t add(std::string_view s) override { return push(book_.intern(s)); }
    void set_segment_font(std::size_t) override {}
    void set_segment_bold(bool) override {}
    void set_segment_italic(bool) override {}
    void set_segment_font_name(std::string_view) override {}
    void set_segment_font_size(double) override {}
    void set_segment_font_color(ss::color_elem_t, ss::color_elem_t, ss::color_elem_t, ss::color_elem_t) override {}
    void append_segment(std::string_view s) override { segments_.append(s); }
    std::size_t commit_segments() override {
        std::size_t i = push(book_.intern(segments_));
        segments_.clear();
        return i;
    }

private:
    std::size_t push(std::uint32_t pool) {
        sst_.push_back(pool);
        return sst_.size() - 1;
    }
    Workbook& book_;
    std::vector<std::uint32_t> sst_;
    std::string segments_;
};

// Keeps what the model holds of styles: number formats and horizontal alignment per cell format.
class Styles final : public ss::iface::import_styles {
public:
    explicit Styles(Workbook& book) : book_(book) {}
    std::uint32_t cellFormat(std::size_t xf) const { return xf < xfs_.size() ? xfs_[xf] : 0; }

    void set_font_count(std::size_t) override {}
    void set_font_bold(bool) override {}
    void set_font_italic(bool) override {}
    void set_font_name(std::string_view) override {}
    void set_font_size(double) override {}
    void set_font_underline(ss::underline_t) override {}
    void set_font_underline_width(ss::underline_width_t) override {}
    void set_font_underline_mode(ss::underline_mode_t) override {}
    void set_font_underline_type(ss::underline_type_t) override {}
    void set_font_underline_color(ss::color_elem_t, ss::color_elem_t, ss::color_elem_t, ss::color_elem_t) override {}
    void set_font_color(ss::color_elem_t, ss::color_elem_t, ss::color_elem_t, ss::color_elem_t) override {}
    void set_strikethrough_style(ss::strikethrough_style_t) override {}
    void set_strikethrough_type(ss::strikethrough_type_t) override {}
    void set_strikethrough_width(ss::strikethrough_width_t) override {}
    void set_strikethrough_text(ss::strikethrough_text_t) override {}
    std::size_t commit_font() override { return fonts_++; }
    void set_fill_count(std::size_t) override {}
    void set_fill_pattern_type(ss::fill_pattern_t) override {}
    void set_fill_fg_color(ss::color_elem_t, ss::color_elem_t, ss::color_elem_t, ss::color_elem_t) override {}
    void set_fill_bg_color(ss::color_elem_t, ss::color_elem_t, ss::color_elem_t, ss::color_elem_t) override {}
    std::size_t commit_fill() override { return fills_++; }
    void set_border_count(std::size_t) override {}
    void set_border_style(ss::border_direction_t, ss::border_style_t) override {}
    void set_border_color(ss::border_direction_t, ss::color_elem_t, ss::color_elem_t, ss::color_elem_t, ss::color_elem_t) override {}
    void set_border_width(ss::border_direction_t, double, orcus::length_unit_t) override {}
    std::size_t commit_border() override { return borders_++; }
    void set_cell_hidden(bool) override {}
    void set_cell_locked(bool) override {}
    void set_cell_print_content(bool) override {}
    void set_cell_formula_hidden(bool) override {}
    std::size_t commit_cell_protection() override { return protections_++; }

    void set_number_format_count(std::size_t) override {}
    void set_number_format_identifier(std::size_t id) override { numFmtId_ = id; }
    void set_number_format_code(std::string_view s) override { numFmtCode_ = s; }
    std::size_t commit_number_format() override {
        // Files that number their formats (xlsx) refer to them by that id; the others by the
        // index given back here, taken from a range of its own.
        std::size_t id = numFmtId_ ? *numFmtId_ : kOwnIds + ownFormats_++;
        numFmts_[id] = standardFormatCode(numFmtCode_);
        numFmtId_.reset();
        numFmtCode_.clear();
        return id;
    }

    void set_cell_xf_count(std::size_t) override {}
    void set_cell_style_xf_count(std::size_t) override {}
    void set_dxf_count(std::size_t) override {}
    void set_xf_font(std::size_t) override {}
    void set_xf_fill(std::size_t) override {}
    void set_xf_border(std::size_t) override {}
    void set_xf_protection(std::size_t) override {}
    void set_xf_number_format(std::size_t id) override { xf_.numberFormat = numberFormat(id); }
    void set_xf_style_xf(std::size_t) override {}
    void set_xf_apply_alignment(bool) override {}
    void set_xf_horizontal_alignment(ss::hor_alignment_t a) override { xf_.align = alignOf(a); }
    void set_xf_vertical_alignment(ss::ver_alignment_t) override {}
    std::size_t commit_cell_xf() override {
        xfs_.push_back(book_.internFormat(xf_));
        xf_ = CellFormat{};
        return xfs_.size() - 1;
    }
    std::size_t commit_cell_style_xf() override { return dropXf(styleXfs_); }
    std::size_t commit_dxf() override { return dropXf(dxfs_); }

    void set_cell_style_count(std::size_t) override {}
    void set_cell_style_name(std::string_view) override {}
    void set_cell_style_xf(std::size_t) override {}
    void set_cell_style_builtin(std::size_t) override {}
    void set_cell_style_parent_name(std::string_view) override {}
    std::size_t commit_cell_style() override { return cellStyles_++; }

private:
    static constexpr std::size_t kOwnIds = 1u << 20;

    std::string numberFormat(std::size_t id) const {
        auto it = numFmts_.find(id);
        return it != numFmts_.end() ? it->second : builtinNumberFormat(id);
    }
    std::size_t dropXf(std::size_t& counter) {
        xf_ = CellFormat{};
        return counter++;
    }

    Workbook& book_;
    std::map<std::size_t, std::string> numFmts_;
    std::optional<std::size_t> numFmtId_;
    std::string numFmtCode_;
    std::size_t ownFormats_ = 0;
    CellFormat xf_;
    std::vector<std::uint32_t> xfs_;
    std::size_t fonts_ = 0, fills_ = 0, borders_ = 0, protections_ = 0, styleXfs_ = 0, dxfs_ = 0, cellStyles_ = 0;
};

class SheetLoader;

// Cached results of formula cells: the value is kept, the formula is not.
class FormulaResults final : public ss::iface::import_formula {
public:
    explicit FormulaResults(SheetLoader& sheet) : sheet_(sheet) {}
    void set_position(ss::row_t row, ss::col_t col) override { row_ = row, col_ = col; }
    void set_formula(ss::formula_grammar_t, std::string_view) override {}
    void set_shared_formula_index(std::size_t) override {}
    void set_result_string(std::string_view value) override { kind_ = CellKind::Text, text_ = value; }
    void set_result_value(double value) override { kind_ = CellKind::Number, number_ = value; }
    void set_result_bool(bool value) override { kind_ = CellKind::Boolean, number_ = value; }
    void set_result_empty() override { kind_ = CellKind::Empty; }
    void commit() override;

private:
    SheetLoader& sheet_;
    ss::row_t row_ = -1;
    ss::col_t col_ = -1;
    CellKind kind_ = CellKind::Empty;
    double number_ = 0;
    std::string text_;
};

class SheetLoader final : public ss::iface::import_sheet, public ss::iface::import_sheet_properties {
public:
    SheetLoader(Sheet& sheet, const SharedStrings& strings, const Styles& styles)
        : sheet_(sheet), strings_(strings), styles_(styles), formula_(*this) {}

    Sheet& sheet() { return sheet_; }

    ss::iface::import_sheet_properties* get_sheet_properties() override { return this; }
    ss::iface::import_formula* get_formula() override { return &formula_; }

    void set_auto(ss::row_t row, ss::col_t col, std::string_view s) override {
        if (Cell* c = cell(row, col)) enterText(sheet_.book(), *c, s, CellFormat{});
    }
    void set_string(ss::row_t row, ss::col_t col, ss::string_id_t sindex) override {
        std::uint32_t pool = strings_.poolIndex(sindex);
        if (pool == SharedStrings::kNone) return;
        if (Cell* c = cell(row, col)) c->kind = CellKind::Text, c->text = pool;
    }
    void set_value(ss::row_t row, ss::col_t col, double value) override {
        if (Cell* c = cell(row, col)) c->kind = CellKind::Number, c->number = value;
    }
    void set_bool(ss::row_t row, ss::col_t col, bool value) override {
        if (Cell* c = cell(row, col)) c->kind = CellKind::Boolean, c->boolean = value;
    }
    void set_date_time(ss::row_t row, ss::col_t col, int year, int month, int day, int hour, int minute,
                       double second) override {
        Cell* c = cell(row, col);
        if (!c || year < 1900 || year > 9999 || month < 1 || month > 12 || day < 1 || day > 31) return;
        c->kind = CellKind::Number;
        c->number = dateSerial(year, month, day) + (hour * 3600 + minute * 60 + second) / 86400.0;
        dateCells_.push_back({row + 1, col + 1, hour || minute || second});
    }
    void set_format(ss::row_t row, ss::col_t col, std::size_t xf) override {
        if (Cell* c = cell(row, col)) c->format = static_cast<std::uint32_t>(xf);
    }
    void set_format(ss::row_t row1, ss::col_t col1, ss::row_t row2, ss::col_t col2, std::size_t xf) override {
        if (!inSheet(row1, col1) || !inSheet(row2, col2) || row2 < row1 || col2 < col1) return;
        auto f = static_cast<std::uint32_t>(xf);
        if (row1 == 0 && row2 == kMaxRows - 1) {
            for (ss::col_t c = col1; c <= col2; ++c) sheet_.columnForWrite(c + 1).format = f;
            return;
        }
        // Large styled blocks (repeated empty cells of some files) are not made cell by cell.
        if (std::int64_t(row2 - row1 + 1) * (col2 - col1 + 1) > 65536) return;
        for (ss::row_t r = row1; r <= row2; ++r)
            for (ss::col_t c = col1; c <= col2; ++c) sheet_.at(r + 1, c + 1).format = f;
    }
    void fill_down_cells(ss::row_t row, ss::col_t col, ss::row_t size) override {
        if (!inSheet(row, col) || size <= 0) return;
        const Cell* src = sheet_.find(row + 1, col + 1);
        if (!src) return;
        Cell copy = *src;
        for (ss::row_t r = row + 1; r <= row + size && r < kMaxRows; ++r) sheet_.at(r + 1, col + 1) = copy;
    }
    ss::range_size_t get_sheet_size() const override { return {kMaxRows, kMaxColumns}; }

    void set_column_width(ss::col_t col, double width, orcus::length_unit_t unit) override {
        if (col < 0 || col >= kMaxColumns || !std::isfinite(width) || width < 0) return;
        double chars;
        if (unit == orcus::length_unit_t::xlsx_column_digit) {
            chars = charactersFromFileWidth(width);
        } else {
            double inches;
            switch (unit) {
                case orcus::length_unit_t::centimeter: inches = width / 2.54; break;
                case orcus::length_unit_t::millimeter: inches = width / 25.4; break;
                case orcus::length_unit_t::inch: inches = width; break;
                case orcus::length_unit_t::point: inches = width / 72; break;
                case orcus::length_unit_t::twip: inches = width / 1440; break;
                case orcus::length_unit_t::pixel: inches = width / 96; break;
                default: return;
            }
            double pixels = std::floor(inches * 96 + 0.5);
            chars = pixels <= 12 ? pixels / 12 : std::floor((pixels - 5) / 7 * 100 + 0.5) / 100;
        }
        sheet_.columnForWrite(col + 1).width = std::min(chars, 255.0);
    }
    void set_column_hidden(ss::col_t, bool) override {}
    void set_row_height(ss::row_t, double, orcus::length_unit_t) override {}
    void set_row_hidden(ss::row_t, bool) override {}
    void set_merge_cell_range(const ss::range_t& r) override {
        if (!inSheet(r.first.row, r.first.column) || !inSheet(r.last.row, r.last.column)) return;
        Rect rect{std::min(r.first.row, r.last.row) + 1, std::min(r.first.column, r.last.column) + 1,
                  std::max(r.first.row, r.last.row) + 1, std::max(r.first.column, r.last.column) + 1};
        if (rect.area() > 1) sheet_.merge(rect);
    }

    Cell* cell(ss::row_t row, ss::col_t col) { return inSheet(row, col) ? &sheet_.at(row + 1, col + 1) : nullptr; }

    // Cell formats arrive as indexes of the file's formats, often before the styles are read;
    // they become the model's formats once everything is in.
    void resolveFormats() {
        Workbook& book = sheet_.book();
        for (const Row& row : sheet_.rows())
            for (const Cell& stored : row.cells) const_cast<Cell&>(stored).format = styles_.cellFormat(stored.format);
        for (std::int32_t c = 1; c <= sheet_.columnsDefined(); ++c) {
            ColumnInfo& info = sheet_.columnForWrite(c);
            info.format = styles_.cellFormat(info.format);
        }
        // Date values show as dates also without a date format.
        for (const DateCell& d : dateCells_) {
            Cell& cell = sheet_.at(d.row, d.column);
            if (cell.kind != CellKind::Number || isDateTimeFormat(book.format(cell.format).numberFormat)) continue;
            CellFormat f = book.format(cell.format);
            f.numberFormat = d.withTime ? "dd.mm.yyyy hh:mm:ss" : "dd.mm.yyyy";
            cell.format = book.internFormat(f);
        }
    }

private:
    struct DateCell {
        std::int32_t row, column;
        bool withTime;
    };
    std::vector<DateCell> dateCells_;
    Sheet& sheet_;
    const SharedStrings& strings_;
    const Styles& styles_;
    FormulaResults formula_;
};

void FormulaResults::commit() {
    if (Cell* c = sheet_.cell(row_, col_)) {
        c->kind = kind_;
        if (kind_ == CellKind::Text) c->text = sheet_.sheet().book().intern(text_);
        else if (kind_ == CellKind::Boolean) c->boolean = number_ != 0;
        else c->number = kind_ == CellKind::Number ? number_ : 0;
    }
    row_ = -1, col_ = -1, kind_ = CellKind::Empty, text_.clear();
}

// A1 addresses and ranges of the file, 0-based for orcus.
class References final : public ss::iface::import_reference_resolver {
public:
    ss::src_address_t resolve_address(std::string_view address) override {
        Rect r;
        if (!parseAddress(stripSheet(address), r) || r.area() != 1) throw orcus::general_error("bad address");
        return {0, r.top - 1, r.left - 1};
    }
    ss::src_range_t resolve_range(std::string_view range) override {
        Rect r;
        if (!parseAddress(stripSheet(range), r)) throw orcus::general_error("bad range");
        return {{0, r.top - 1, r.left - 1}, {0, r.bottom - 1, r.right - 1}};
    }

private:
    static std::string_view stripSheet(std::string_view s) {
        size_t bang = s.rfind('!');
        return bang == std::string_view::npos ? s : s.substr(bang + 1);
    }
};

class GlobalSettings final : public ss::iface::import_global_settings {
public:
    void set_origin_date(int, int, int) override {}
    void set_default_formula_grammar(ss::formula_grammar_t g) override { grammar_ = g; }
    ss::formula_grammar_t get_default_formula_grammar() const override { return grammar_; }
    void set_character_set(orcus::character_set_t) override {}

private:
    ss::formula_grammar_t grammar_ = ss::formula_grammar_t::xlsx;
};

class Factory final : public ss::iface::import_factory {
public:
    explicit Factory(Workbook& book) : book_(book), strings_(book), styles_(book) {}

    ss::iface::import_global_settings* get_global_settings() override { return &settings_; }
    ss::iface::import_shared_strings* get_shared_strings() override { return &strings_; }
    ss::iface::import_styles* get_styles() override { return &styles_; }
    ss::iface::import_reference_resolver* get_reference_resolver(ss::formula_ref_context_t) override { return &refs_; }

    ss::iface::import_sheet* append_sheet(ss::sheet_t, std::string_view name) override {
        sheets_.push_back(std::make_unique<SheetLoader>(book_.addSheet(std::string(name)), strings_, styles_));
        return sheets_.back().get();
    }
    ss::iface::import_sheet* get_sheet(std::string_view name) override {
        for (auto& s : sheets_)
            if (s->sheet().name() == name) return s.get();
        return nullptr;
    }
    ss::iface::import_sheet* get_sheet(ss::sheet_t index) override {
        return index >= 0 && static_cast<size_t>(index) < sheets_.size() ? sheets_[static_cast<size_t>(index)].get() : nullptr;
    }
    void finalize() override {}

    void resolveFormats() {
        for (auto& s : sheets_) s->resolveFormats();
    }

private:
    Workbook& book_;
    SharedStrings strings_;
    Styles styles_;
    References refs_;
    GlobalSettings settings_;
    std::vector<std::unique_ptr<SheetLoader>> sheets_;
};

}  // namespace

// orcus trusts the sizes a zip declares and does not check CRCs, and some broken XML makes it
// abort: it gets the package with every part unpacked, checked and stored uncompressed.
std::shared_ptr<Workbook> loadOds(const ZipReader& zip) {
    std::size_t expected = 22;
    for (const ZipEntry& e : zip.entries()) expected += e.size + 2 * e.name.size() + 80;
    StoredZip checked(expected);
    for (const ZipEntry& e : zip.entries()) {
        zip.unpackInto(e, checked.begin(e.name, e.size));
        checked.end(e.crc);
    }
    auto [data, size] = checked.finish();
    auto book = std::make_shared<Workbook>();
    Factory factory(*book);
    orcus::orcus_ods(&factory).read_stream(std::string_view(data.get(), size));
    factory.resolveFormats();
    return book;
}

}  // namespace lumo::spreadsheet
