#include "spreadsheet/workbook.h"

#include <algorithm>
#include <bit>
#include <map>

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
    Cell* cell;
    if (cells.empty() || cells.back().column < column) {
        cell = &cells.emplace_back();
        cell->column = static_cast<std::uint16_t>(column);
    } else {
        auto it = std::lower_bound(cells.begin(), cells.end(), column, columnLess);
        if (it == cells.end() || it->column != column) {
            it = cells.insert(it, Cell{});
            it->column = static_cast<std::uint16_t>(column);
        }
        cell = &*it;
    }
    if (!cell->edited) {
        cell->edited = true;
        if (editedRows_.empty() || editedRows_.back() != row) editedRows_.push_back(row);
    }
    return *cell;
}

Cell& Sheet::edit(const Row& row, const Cell& stored) {
    Cell& cell = const_cast<Cell&>(stored);
    if (!cell.edited) {
        cell.edited = true;
        if (editedRows_.empty() || editedRows_.back() != row.index) editedRows_.push_back(row.index);
    }
    return cell;
}

std::vector<std::int32_t> Sheet::editedRows() const {
    std::vector<std::int32_t> rows = editedRows_;
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    return rows;
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
    mergeIndexValid_ = false;
}

void Sheet::adoptMerges(std::vector<Rect> merges) {
    if (!merges_.empty()) {
        for (const Rect& r : merges) merge(r);
        return;
    }
    // A sweep down the rows: the ranges that reach the current top row lie side by side, so
    // a new one overlaps one of them only if it overlaps its neighbours by column.
    std::stable_sort(merges.begin(), merges.end(), [](const Rect& a, const Rect& b) { return a.top < b.top; });
    std::map<std::int32_t, Rect> across;  // by left column: the kept ranges that reach the row
    std::multimap<std::int32_t, std::int32_t> ends;  // bottom row -> left column of a range in `across`
    for (const Rect& r : merges) {
        while (!ends.empty() && ends.begin()->first < r.top) {
            across.erase(ends.begin()->second);
            ends.erase(ends.begin());
        }
        auto next = across.lower_bound(r.left);
        if (next != across.end() && next->second.left <= r.right) continue;
        if (next != across.begin() && std::prev(next)->second.right >= r.left) continue;
        across.emplace(r.left, r);
        ends.emplace(r.bottom, r.left);
        merges_.push_back(r);
    }
    mergeIndexValid_ = false;
}

void Sheet::indexMerges() const {
    const std::size_t n = merges_.size();
    mergeOrder_.resize(n);
    for (std::size_t i = 0; i < n; ++i) mergeOrder_[i] = static_cast<std::uint32_t>(i);
    std::sort(mergeOrder_.begin(), mergeOrder_.end(),
              [&](std::uint32_t a, std::uint32_t b) { return merges_[a].top < merges_[b].top; });
    mergeTops_.resize(n);
    std::size_t leaves = 1;
    while (leaves < n) leaves *= 2;
    mergeBottomTree_.assign(2 * leaves, 0);
    for (std::size_t k = 0; k < n; ++k) {
        mergeTops_[k] = merges_[mergeOrder_[k]].top;
        mergeBottomTree_[leaves + k] = merges_[mergeOrder_[k]].bottom;
    }
    for (std::size_t i = leaves - 1; i >= 1; --i)
        mergeBottomTree_[i] = std::max(mergeBottomTree_[2 * i], mergeBottomTree_[2 * i + 1]);
    mergeIndexValid_ = true;
}

void Sheet::mergesCovering(std::int32_t top, std::int32_t bottom, std::vector<std::uint32_t>& out) const {
    if (!mergeIndexValid_) indexMerges();
    // Those whose top is at or above `bottom` (a prefix of the order) and whose bottom is at or
    // below `top`: down the tree only where some bottom reaches that far.
    const std::size_t prefix = static_cast<std::size_t>(
        std::upper_bound(mergeTops_.begin(), mergeTops_.end(), bottom) - mergeTops_.begin());
    if (prefix == 0) return;
    const std::size_t leaves = mergeBottomTree_.size() / 2;
    std::vector<std::pair<std::size_t, std::size_t>> stack{{1, 0}};  // node, first leaf under it
    while (!stack.empty()) {
        auto [node, first] = stack.back();
        stack.pop_back();
        if (first >= prefix || mergeBottomTree_[node] < top) continue;
        if (node >= leaves) {
            out.push_back(mergeOrder_[node - leaves]);
            continue;
        }
        const std::size_t half = (leaves >> (std::bit_width(node) - 1)) / 2;
        stack.push_back({2 * node + 1, first + half});
        stack.push_back({2 * node, first});
    }
}

const Rect* Sheet::mergeAt(std::int32_t row, std::int32_t column) const {
    const Rect* found = nullptr;
    if (merges_.empty()) return nullptr;
    std::vector<std::uint32_t> covering;
    mergesCovering(row, row, covering);
    for (std::uint32_t i : covering)
        if (merges_[i].contains(row, column)) found = &merges_[i];
    return found;
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

Workbook::Workbook() { internFormat(CellFormat{}); }

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
    std::string key = f.numberFormat;
    key += '\0';
    key += static_cast<char>(f.align);
    auto [it, added] = formatIndex_.emplace(std::move(key), static_cast<std::uint32_t>(formats_.size()));
    if (added) formats_.push_back(f);
    return it->second;
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
