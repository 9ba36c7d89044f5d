#pragma once
// The workbook model of the built-in spreadsheet engine: sheets of cells, shared strings, cell
// formats (number format and horizontal alignment), merged ranges and column widths.
// Plain C++; the automation objects (engine.h), the file readers and writer and the viewer
// work on it. Rows and columns are 1-based everywhere.

#include "common/numtext.h"
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace lumo::spreadsheet {

inline constexpr std::int32_t kMaxRows = 1048576;
inline constexpr std::int32_t kMaxColumns = 16384;
// 1.1.1904 in the 1900 date system: what a date of a workbook in the 1904 date system lacks
// (https://learn.microsoft.com/office/troubleshoot/excel/1900-and-1904-date-system).
inline constexpr double kDays1900To1904 = 1462;

enum class HAlign : std::uint8_t { General, Left, Center, Right, Fill, Justify, CenterAcrossSelection, Distributed };

// A rectangle of cells, inclusive.
struct Rect {
    std::int32_t top = 1, left = 1, bottom = 1, right = 1;
    bool contains(std::int32_t r, std::int32_t c) const { return r >= top && r <= bottom && c >= left && c <= right; }
    bool intersects(const Rect& o) const {
        return top <= o.bottom && o.top <= bottom && left <= o.right && o.left <= right;
    }
    std::int64_t area() const { return std::int64_t(bottom - top + 1) * (right - left + 1); }
    bool wholeColumns() const { return top == 1 && bottom == kMaxRows; }
    bool wholeRows() const { return left == 1 && right == kMaxColumns; }
    bool operator==(const Rect&) const = default;
};

// A cell format: the number format code (standard letters, "General" when none) and the
// horizontal alignment. Index 0 of a workbook's formats is the default.
struct CellFormat {
    std::string numberFormat = "General";
    HAlign align = HAlign::General;
    bool operator==(const CellFormat&) const = default;
};

enum class CellKind : std::uint8_t { Empty, Number, Text, Boolean, Error };

// One stored cell. Empty cells are stored only when they carry a format.
struct Cell {
    std::uint16_t column = 0;
    CellKind kind = CellKind::Empty;
    // Written since the workbook was read from its file: a save in place writes this cell
    // anew and copies every other one as the file had it.
    bool edited = false;
    std::uint32_t format = 0;  // index into Workbook::formats()
    union {
        double number;
        std::uint32_t text;  // index into Workbook::strings() (Text and Error)
        bool boolean;
    };
    Cell() : number(0) {}
};
static_assert(sizeof(Cell) == 16);

struct Row {
    std::int32_t index;
    std::vector<Cell> cells;  // sorted by column
};

struct ColumnInfo {
    double width = -1;        // in characters of the standard font; negative: default width
    std::uint32_t format = 0;  // format of the whole column
    bool operator==(const ColumnInfo&) const = default;
};

class Workbook;
class Sheet;

// Told about every change of a workbook (the viewer listens this way).
class WorkbookObserver {
public:
    virtual ~WorkbookObserver() = default;
    // Sheets were added, renamed, activated, merged or formatted.
    virtual void layoutChanged() = 0;
    // Cells of rows first..last of the sheet were written.
    virtual void rowsChanged(const Sheet& sheet, std::int32_t first, std::int32_t last) = 0;
};

class Sheet {
public:
    Sheet(Workbook& book, std::string name) : book_(&book), name_(std::move(name)) {}

    Workbook& book() const { return *book_; }
    const std::string& name() const { return name_; }
    void setName(std::string name) { name_ = std::move(name); }

    // The stored cell, or null.
    const Cell* find(std::int32_t row, std::int32_t column) const;
    // The cell, created empty when missing, for writing: it counts as edited.
    Cell& at(std::int32_t row, std::int32_t column);
    // A stored cell of one of rows(), for writing: it counts as edited.
    Cell& edit(const Row& row, const Cell& cell);
    // The rows that hold edited cells, ascending.
    std::vector<std::int32_t> editedRows() const;
    const std::vector<Row>& rows() const { return rows_; }
    // Takes in rows read from a file: sorted by index, cells by column, none empty.
    void adoptRows(std::vector<Row> rows, std::int32_t lastColumn);
    std::int32_t lastRow() const { return rows_.empty() ? 0 : rows_.back().index; }
    // The rightmost column that has a stored cell; kept as cells are made, so that a viewer
    // following a long sheet never walks its rows.
    std::int32_t lastColumn() const { return lastColumn_; }

    // Merged ranges; a new merge swallows the ones it touches.
    const std::vector<Rect>& merges() const { return merges_; }
    void merge(Rect r);
    // Takes in the merged ranges of a file at once, in time near linear in their number: a
    // range that overlaps one taken before it (in the order of their top rows) is left out, as
    // the application leaves it out when it repairs such a file.
    void adoptMerges(std::vector<Rect> merges);
    // The merged range that holds the cell, or null.
    const Rect* mergeAt(std::int32_t row, std::int32_t column) const;
    // Calls f(range) for each merged range that shares a cell with r.
    template <class F>
    void forEachMergeIn(const Rect& r, F&& f) const;

    const ColumnInfo& column(std::int32_t c) const;
    ColumnInfo& columnForWrite(std::int32_t c);
    const std::vector<ColumnInfo>& columns() const { return columns_; }
    std::int32_t columnsDefined() const { return static_cast<std::int32_t>(columns_.size()); }

    // The format that shows for a cell: its own, else its column's.
    std::uint32_t effectiveFormat(std::int32_t row, std::int32_t column) const;

private:
    Row* findRow(std::int32_t row) const;

    // The merges that reach down to `row` or below among those whose top is at or above it
    // (by the index below); their indices into merges_ go to `out`.
    void mergesCovering(std::int32_t top, std::int32_t bottom, std::vector<std::uint32_t>& out) const;
    void indexMerges() const;

    Workbook* book_;
    std::string name_;
    std::vector<Row> rows_;  // sorted by index
    mutable std::size_t lastRowHit_ = 0;
    std::int32_t lastColumn_ = 0;
    std::vector<std::int32_t> editedRows_;  // in the order of the writes, repeats allowed
    std::vector<Rect> merges_;
    // The merges by their top rows (indices into merges_), and over that order a tree of the
    // lowest bottom row of each span: a cell's merge is found among the few that reach its
    // row. Made again when first needed after a change.
    mutable std::vector<std::uint32_t> mergeOrder_;
    mutable std::vector<std::int32_t> mergeTops_, mergeBottomTree_;
    mutable bool mergeIndexValid_ = false;
    std::vector<ColumnInfo> columns_;  // index c - 1, grown as columns are set
};

template <class F>
void Sheet::forEachMergeIn(const Rect& r, F&& f) const {
    if (merges_.empty()) return;
    std::vector<std::uint32_t> found;
    mergesCovering(r.top, r.bottom, found);
    for (std::uint32_t i : found)
        if (merges_[i].intersects(r)) f(merges_[i]);
}

class Workbook {
public:
    Workbook();
    Workbook(const Workbook&) = delete;
    Workbook& operator=(const Workbook&) = delete;

    Sheet& addSheet(std::string name);
    std::size_t sheetCount() const { return sheets_.size(); }
    Sheet& sheet(std::size_t index) const { return *sheets_[index]; }  // 0-based
    std::size_t activeSheet = 0;                                     // 0-based

    // Texts are kept once each.
    std::uint32_t intern(std::string_view text);
    const std::string& string(std::uint32_t index) const { return strings_[index]; }
    std::size_t stringCount() const { return strings_.size(); }

    std::uint32_t internFormat(const CellFormat& f);
    const CellFormat& format(std::uint32_t index) const { return formats_[index]; }
    std::size_t formatCount() const { return formats_.size(); }

    // The file the workbook was opened from or last saved to; empty for a new one.
    std::string path;
    // Dates are kept as days since 1.1.1904 (the file says so); automation passes them in the
    // 1900 date system all the same.
    bool date1904 = false;
    // The package the workbook was read from (.xlsx, .xlsm): a save writes it again with only
    // what changed written anew. Null for a new workbook and one read from another format.
    std::shared_ptr<const struct SourcePackage> source;
    // A stored date as automation passes it (the 1900 date system), and back. A time of day
    // alone (below 1) is the same in both systems.
    double automationDate(double stored) const { return date1904 && stored >= 1 ? stored + kDays1900To1904 : stored; }
    double storedDate(double automation) const {
        return date1904 && automation >= kDays1900To1904 + 1 ? automation - kDays1900To1904 : automation;
    }

    // Open until "Close" drops it or the application quits; its objects then fail.
    enum class Liveness : std::uint8_t { Open, Closed, ApplicationGone };
    Liveness liveness = Liveness::Open;

    WorkbookObserver* observer = nullptr;
    void notifyRows(const Sheet& sheet, std::int32_t first, std::int32_t last) const {
        if (observer) observer->rowsChanged(sheet, first, last);
    }
    void notifyLayout() const {
        if (observer) observer->layoutChanged();
    }

private:
    std::vector<std::unique_ptr<Sheet>> sheets_;
    std::deque<std::string> strings_;  // a deque keeps the views in stringIndex_ valid
    std::unordered_map<std::string_view, std::uint32_t> stringIndex_;
    std::vector<CellFormat> formats_;
    std::unordered_map<std::string, std::uint32_t> formatIndex_;  // by code and alignment
};

// "C1", "C1:H1", "C:T", "3:5" (letters case-insensitive, optional '$'), checked against the
// sheet's size. Nothing when the text is no address.
bool parseAddress(std::string_view text, Rect& out);
using lumo::columnLetters;  // common/numtext.h

}  // namespace lumo::spreadsheet
