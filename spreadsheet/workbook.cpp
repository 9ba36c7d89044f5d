#include "spreadsheet/workbook.h"

#include <algorithm>

namespace lumo::spreadsheet {

namespace {

const ColumnInfo kDefaultColumn{};

auto columnLess = [](const Cell& c, std::int32_t col) { return c.column < col; };

}  // namespace

Row* Sheet::findRow(std::int32_t row) const {
    auto* rows = const_cast<std::vector<Row>*>(&rows_);
    // Rows are mostly visited in order: try the last hit and its neighbour first.
    if (lastRowHit_ < rows->size()) {
        Row& hit = (*rows)[lastRowHit_];
        if (hit.index == row) return &hit;
        if (hit.index < row && lastRowHit_ + 1 < rows->size() && (*rows)[lastRowHit_ + 1].index == row)
            return &(*rows)[++lastRowHit_];
    }
    auto it = std::lower_bound(rows->begin(), rows->end(), row, [](const Row& r, std::int32_t i) { return r.index < i; });
    if (it == rows->end() || it->index != row) return nullptr;
    lastRowHit_ = static_cast<std::size_t>(it - rows->begin());
    return &*it;
}

const Cell* Sheet::find(std::int32_t row, std::int32_t column) const {
    const Row* r = findRow(row);
    if (!r) return nullptr;
    auto it = std::lower_bound(r->cells.begin(), r->cells.end(), column, columnLess);
    return it != r->cells.end() && it->column == column ? &*it : nullptr;
}

Cell& Sheet::at(std::int32_t row, std::int32_t column) {
    Row* r = findRow(row);
    if (!r) {
        auto it = rows_.end();
        if (!rows_.empty() && rows_.back().index > row)
            it = std::lower_bound(rows_.begin(), rows_.end(), row, [](const Row& x, std::int32_t i) { return x.index < i; });
        // Rows of a sheet tend to be alike: start with room for as many cells as the one before.
        std::size_t hint = it != rows_.begin() ? std::prev(it)->cells.size() : 0;
        it = rows_.insert(it, Row{row, {}});
        it->cells.reserve(hint);
        lastRowHit_ = static_cast<std::size_t>(it - rows_.begin());
        r = &*it;
    }
    auto& cells = r->cells;
    lastColumn_ = std::max(lastColumn_, column);
    if (cells.empty() || cells.back().column < column) {
        cells.emplace_back().column = static_cast<std::uint16_t>(column);
        return cells.back();
    }
    auto it = std::lower_bound(cells.begin(), cells.end(), column, columnLess);
    if (it != cells.end() && it->column == column) return *it;
    it = cells.insert(it, Cell{});
    it->column = static_cast<std::uint16_t>(column);
    return *it;
}

void Sheet::adoptRows(std::vector<Row> rows, std::int32_t lastColumn) {
    if (rows_.empty()) {
        rows_ = std::move(rows);
        lastRowHit_ = 0;
        lastColumn_ = std::max(lastColumn_, lastColumn);
        return;
    }
    for (const Row& row : rows)
        for (const Cell& cell : row.cells) at(row.index, cell.column) = cell;
}

void Sheet::merge(Rect r) {
    // Grow the new range over every merge it touches, until none is left touching it.
    for (bool grew = true; grew;) {
        grew = false;
        for (auto it = merges_.begin(); it != merges_.end();) {
            if (it->intersects(r)) {
                r = Rect{std::min(r.top, it->top), std::min(r.left, it->left), std::max(r.bottom, it->bottom),
                         std::max(r.right, it->right)};
                it = merges_.erase(it);
                grew = true;
            } else {
                ++it;
            }
        }
    }
    merges_.push_back(r);
}

const Rect* Sheet::mergeAt(std::int32_t row, std::int32_t column) const {
    for (const Rect& m : merges_)
        if (m.contains(row, column)) return &m;
    return nullptr;
}

const ColumnInfo& Sheet::column(std::int32_t c) const {
    return c >= 1 && c <= static_cast<std::int32_t>(columns_.size()) ? columns_[static_cast<std::size_t>(c - 1)]
                                                                      : kDefaultColumn;
}

ColumnInfo& Sheet::columnForWrite(std::int32_t c) {
    if (static_cast<std::int32_t>(columns_.size()) < c) columns_.resize(static_cast<std::size_t>(c));
    return columns_[static_cast<std::size_t>(c - 1)];
}

std::uint32_t Sheet::effectiveFormat(std::int32_t row, std::int32_t column) const {
    const Cell* cell = find(row, column);
    if (cell && cell->format != 0) return cell->format;
    return this->column(column).format;
}

Workbook::Workbook() { formats_.emplace_back(); }

Sheet& Workbook::addSheet(std::string name) {
    sheets_.push_back(std::make_unique<Sheet>(*this, std::move(name)));
    return *sheets_.back();
}

std::uint32_t Workbook::intern(std::string_view text) {
    auto it = stringIndex_.find(text);
    if (it != stringIndex_.end()) return it->second;
    auto index = static_cast<std::uint32_t>(strings_.size());
    strings_.emplace_back(text);
    stringIndex_.emplace(strings_.back(), index);
    return index;
}

std::uint32_t Workbook::internFormat(const CellFormat& f) {
    for (std::size_t i = 0; i < formats_.size(); ++i)
        if (formats_[i] == f) return static_cast<std::uint32_t>(i);
    formats_.push_back(f);
    return static_cast<std::uint32_t>(formats_.size() - 1);
}

namespace {

// Column letters or row digits at the front of s; 0 when there are none or they are too big.
std::int32_t takeColumn(std::string_view& s) {
    std::size_t i = 0;
    std::int64_t v = 0;
    while (i < s.size() && i < 4) {
        char c = s[i];
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
        if (c < 'A' || c > 'Z') break;
        v = v * 26 + (c - 'A' + 1);
        ++i;
    }
    if (i == 0 || v > kMaxColumns) return 0;
    s.remove_prefix(i);
    return static_cast<std::int32_t>(v);
}

std::int32_t takeRow(std::string_view& s) {
    std::size_t i = 0;
    std::int64_t v = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9' && i < 8) v = v * 10 + (s[i++] - '0');
    if (i == 0 || v < 1 || v > kMaxRows) return 0;
    s.remove_prefix(i);
    return static_cast<std::int32_t>(v);
}

void skipDollar(std::string_view& s) {
    if (!s.empty() && s.front() == '$') s.remove_prefix(1);
}

// One end of an address: a cell, a column or a row. kind: 'c' cell, 'C' column, 'R' row.
bool takeEnd(std::string_view& s, char& kind, std::int32_t& row, std::int32_t& col) {
    skipDollar(s);
    col = takeColumn(s);
    skipDollar(s);
    row = takeRow(s);
    if (col && row) kind = 'c';
    else if (col) kind = 'C';
    else if (row) kind = 'R';
    else return false;
    return true;
}

}  // namespace

bool parseAddress(std::string_view text, Rect& out) {
    std::string_view s = text;
    char k1, k2;
    std::int32_t r1, c1, r2, c2;
    if (!takeEnd(s, k1, r1, c1)) return false;
    if (s.empty()) {
        if (k1 != 'c') return false;
        out = Rect{r1, c1, r1, c1};
        return true;
    }
    if (s.front() != ':') return false;
    s.remove_prefix(1);
    if (!takeEnd(s, k2, r2, c2) || !s.empty() || k1 != k2) return false;
    if (k1 == 'C') r1 = 1, r2 = kMaxRows;
    if (k1 == 'R') c1 = 1, c2 = kMaxColumns;
    out = Rect{std::min(r1, r2), std::min(c1, c2), std::max(r1, r2), std::max(c1, c2)};
    return true;
}

}  // namespace lumo::spreadsheet
