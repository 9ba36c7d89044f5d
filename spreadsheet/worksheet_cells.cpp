#include "spreadsheet/worksheet_cells.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <map>
#include <stdexcept>
#include <utility>

#include "spreadsheet/cell_text.h"
#include "spreadsheet/workbook_files.h"
#include "spreadsheet/xml_scan.h"
#include "spreadsheet/zip_archive.h"

namespace lumo::spreadsheet {

namespace {

using xml::appendDecoded;
using xml::appendUtf8;
using xml::attribute;
using xml::forEachAttribute;
using xml::isSpace;
using xml::parseInteger;
using xml::scanXml;
using xml::trimmed;

[[noreturn]] void damaged(const char* why) { throw std::runtime_error(std::string("damaged sheet: ") + why); }

std::uint32_t hexUnit(std::string_view s, std::size_t at) {
    if (at + 7 > s.size() || s[at] != '_' || s[at + 1] != 'x' || s[at + 6] != '_') return UINT32_MAX;
    std::uint32_t v = 0;
    auto [end, ec] = std::from_chars(s.data() + at + 2, s.data() + at + 6, v, 16);
    return ec == std::errc() && end == s.data() + at + 6 ? v : UINT32_MAX;
}

// Undoes the escapes of spreadsheet texts: _xHHHH_ is the UTF-16 unit HHHH (a pair of them one
// character beyond the first plane), so "_x005F_x0041_" is the text "_x0041_".
std::string_view unescaped(std::string_view text, std::string& buffer) {
    if (text.find("_x") == std::string_view::npos) return text;
    buffer.clear();
    for (std::size_t i = 0; i < text.size();) {
        std::uint32_t unit = hexUnit(text, i);
        if (unit == UINT32_MAX || (unit >= 0xDC00 && unit <= 0xDFFF)) {
            buffer += text[i++];
        } else if (unit >= 0xD800 && unit <= 0xDBFF) {
            std::uint32_t low = hexUnit(text, i + 7);
            if (low < 0xDC00 || low > 0xDFFF) {
                buffer += text[i++];
                continue;
            }
            appendUtf8(buffer, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
            i += 14;
        } else {
            appendUtf8(buffer, unit);
            i += 7;
        }
    }
    return buffer;
}

// Feeds pieces of a part to a handler through scanXml, keeping a cut-off token for the next
// piece. A token longer than a piece is looked at again only once the text waiting has doubled,
// so the time stays in proportion to the part.
template <class H>
class XmlFeed {
public:
    explicit XmlFeed(H& h) : h_(h) {}
    void piece(std::string_view piece) {
        if (pending_.empty() && piece.size() > 0) {
            h_.at(piece.data(), consumed_);
            std::size_t used = scanXml(piece, false, h_);
            consumed_ += used;
            pending_.assign(piece.substr(used));
            waitFor_ = 2 * pending_.size();
            return;
        }
        pending_.append(piece);
        if (pending_.size() < waitFor_) return;
        h_.at(pending_.data(), consumed_);
        std::size_t used = scanXml(pending_, false, h_);
        consumed_ += used;
        pending_.erase(0, used);
        waitFor_ = 2 * pending_.size();
    }
    void finish() {
        h_.at(pending_.data(), consumed_);
        scanXml(pending_, true, h_);
        pending_.clear();
    }

private:
    H& h_;
    std::string pending_;
    std::size_t waitFor_ = 0;
    std::size_t consumed_ = 0;  // bytes of the part before pending_
};

// The column of an A1 reference by its letters; 0 when there are none or too many.
std::int32_t columnOf(std::string_view ref) {
    std::int32_t col = 0;
    std::size_t i = 0;
    for (; i < ref.size() && i < 4; ++i) {
        char c = ref[i];
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
        if (c < 'A' || c > 'Z') break;
        col = col * 26 + (c - 'A' + 1);
    }
    return i > 0 && col <= kMaxColumns ? col : 0;
}

bool parseNumber(std::string_view s, double& out) {
    s = trimmed(s);
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
    return !s.empty() && ec == std::errc() && end == s.data() + s.size() && std::isfinite(out);
}

// "2026-12-06", "2026-12-06T07:05:09.5" (a zone suffix is left unread), or a time alone
// "07:05:09", as a serial number.
bool parseIsoDateTime(std::string_view s, double& out, bool& withTime) {
    s = trimmed(s);
    auto number = [&](std::size_t at, std::size_t len, int& v) {
        return at + len <= s.size() && parseInteger(s.substr(at, len), v) && s[at] >= '0' && s[at] <= '9';
    };
    int y = 0, mo = 0, d = 0, h = 0, mi = 0;
    double sec = 0;
    std::size_t t = 0;
    double day = 0;
    if (s.size() >= 10 && s[4] == '-' && s[7] == '-') {
        if (!number(0, 4, y) || !number(5, 2, mo) || !number(8, 2, d)) return false;
        if (y < 1900 || y > 9999 || mo < 1 || mo > 12 || d < 1 || d > 31) return false;
        day = dateSerial(y, mo, d);
        if (s.size() == 10) {
            out = day, withTime = false;
            return true;
        }
        if (s[10] != 'T') return false;
        t = 11;
    }
    if (s.size() < t + 8 || s[t + 2] != ':' || s[t + 5] != ':') return false;
    if (!number(t, 2, h) || !number(t + 3, 2, mi)) return false;
    std::size_t secEnd = t + 6;
    while (secEnd < s.size() && ((s[secEnd] >= '0' && s[secEnd] <= '9') || s[secEnd] == '.')) ++secEnd;
    if (!parseNumber(s.substr(t + 6, secEnd - t - 6), sec) || h > 24 || mi > 59 || sec >= 61) return false;
    out = day + (h * 3600 + mi * 60 + sec) / 86400.0;
    withTime = true;
    return true;
}

// Puts cells that came out of order where they belong: rows by index, cells by column, the
// later of two with the same place winning.
void putInOrder(std::vector<Cell>& cells) {
    std::stable_sort(cells.begin(), cells.end(), [](const Cell& a, const Cell& b) { return a.column < b.column; });
    std::size_t kept = 0;
    for (std::size_t i = 0; i < cells.size(); ++i) {
        if (kept > 0 && cells[kept - 1].column == cells[i].column) cells[kept - 1] = cells[i];
        else cells[kept++] = cells[i];
    }
    cells.resize(kept);
}

void putInOrder(std::vector<Row>& rows) {
    std::stable_sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) { return a.index < b.index; });
    std::size_t kept = 0;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (kept > 0 && rows[kept - 1].index == rows[i].index) {
            auto& into = rows[kept - 1].cells;
            into.insert(into.end(), rows[i].cells.begin(), rows[i].cells.end());
            putInOrder(into);
        } else if (kept != i) {
            rows[kept++] = std::move(rows[i]);
        } else {
            ++kept;
        }
    }
    rows.resize(kept);
}

class SharedStringsReader {
public:
    SharedStringsReader(Workbook& book, std::vector<std::uint32_t>& out) : book_(book), out_(out) {}

    void start(std::string_view name, std::string_view, bool empty, std::string_view) {
        if (name == "si") {
            if (empty) out_.push_back(book_.intern(""));
            else inItem_ = true, text_.clear();
        } else if (inItem_ && !empty) {
            if (name == "rPh") ++phonetic_;
            else if (name == "t" && phonetic_ == 0) inText_ = true;
        }
    }
    void end(std::string_view name, std::string_view) {
        if (name == "si" && inItem_) {
            out_.push_back(book_.intern(unescaped(text_, buffer_)));
            inItem_ = false, phonetic_ = 0;
        } else if (name == "rPh" && phonetic_ > 0) {
            --phonetic_;
        }
        inText_ = false;
    }
    void text(std::string_view t, bool cdata, std::string_view) {
        if (!inText_) return;
        if (cdata) xml::appendLineEnds(text_, t);
        else appendDecoded(text_, t);
    }
    void other(std::string_view) {}

private:
    Workbook& book_;
    std::vector<std::uint32_t>& out_;
    std::string text_, buffer_;
    bool inItem_ = false, inText_ = false;
    int phonetic_ = 0;
};

// A worksheet part: inside <sheetData> rows and cells become rows of the model; before it the
// columns are taken, and merged ranges wherever they are outside it.
class WorksheetReader {
public:
    WorksheetReader(const WorksheetTables& tables, Workbook& book, WorksheetCells& cells)
        : tables_(tables), book_(book), cells_(cells) {}

    // The place in the part of the text being scanned: offsets of what the handler is given.
    void at(const char* data, std::size_t offset) { data_ = data, offset_ = offset; }

    void start(std::string_view name, std::string_view attrs, bool empty, std::string_view raw) {
        if (where_ != Where::Inside) {
            outsideStart(name, attrs, empty, raw);
            return;
        }
        Kind kind = Kind::Other;
        const Kind top = stack_.empty() ? Kind::SheetData : stack_.back();
        if (top == Kind::SheetData && name == "row") {
            beginRow(attrs);
            kind = Kind::Row;
        } else if (top == Kind::Row && name == "c") {
            beginCell(attrs);
            kind = Kind::Cell;
        } else if (top == Kind::Cell && (name == "v" || name == "is")) {
            kind = name == "v" ? Kind::Value : Kind::Inline;
            hasValue_ = true;
            value_.clear();
        } else if (top == Kind::Cell && name == "f") {
            cells_.layout.formulas = true;
            if (rowInSheet_ && column_ >= 1 && column_ <= kMaxColumns)
                cells_.layout.formulaCells.emplace_back(static_cast<std::int32_t>(lastRow_), column_);
        } else if (inline_ > 0 && name == "rPh") {
            ++phonetic_;
            kind = Kind::Phonetic;
        } else if (inline_ > 0 && name == "t") {
            kind = Kind::InlineText;
        }
        if (empty) {
            if (kind == Kind::Row) endRow();
            else if (kind == Kind::Cell) endCell();
            else if (kind == Kind::Phonetic) --phonetic_;
            return;
        }
        if (kind == Kind::Inline) ++inline_;
        stack_.push_back(kind);
    }

    void end(std::string_view name, std::string_view raw) {
        if (where_ != Where::Inside) {
            outsideEnd(name, raw);
            return;
        }
        if (stack_.empty()) {  // the end of <sheetData>
            where_ = Where::After;
            cells_.layout.sheetDataEnd = offsetOf(raw);
            cells_.layout.sheetDataClose = offsetOf(raw) + raw.size();
            return;
        }
        Kind kind = stack_.back();
        stack_.pop_back();
        if (kind == Kind::Cell) endCell();
        else if (kind == Kind::Row) endRow();
        else if (kind == Kind::Inline) --inline_;
        else if (kind == Kind::Phonetic) --phonetic_;
    }

    void text(std::string_view t, bool cdata, std::string_view) {
        if (where_ != Where::Inside || stack_.empty()) return;
        Kind top = stack_.back();
        if (top != Kind::Value && (top != Kind::InlineText || phonetic_ > 0)) return;
        if (cdata) xml::appendLineEnds(value_, t);
        else if (value_.empty() && t.find_first_of("&\r") == std::string_view::npos) value_.assign(t);
        else appendDecoded(value_, t);
    }

    void other(std::string_view) {}

    void finish() {
        if (where_ == Where::Inside) damaged("no end of its cells");
        if (outOfOrder_) putInOrder(cells_.rows);
        std::erase_if(cells_.rows, [](const Row& r) { return r.cells.empty(); });
    }

private:
    enum class Where : std::uint8_t { Before, Inside, After };

    std::size_t offsetOf(std::string_view raw) const { return offset_ + static_cast<std::size_t>(raw.data() - data_); }

    // Elements outside <sheetData>: the columns before it, merged ranges anywhere, and where
    // the worksheet's own children lie.
    void outsideStart(std::string_view name, std::string_view attrs, bool empty, std::string_view raw) {
        WorksheetLayout& l = cells_.layout;
        if (name == "mergeCell") mergeCell(attrs);
        else if (where_ == Where::Before && name == "col") column(attrs);
        if (depth_ == 1) {
            const std::size_t at = offsetOf(raw), end = at + raw.size();
            if (name == "dimension" && l.dimension == WorksheetLayout::npos) {
                l.dimension = at, l.dimensionEnd = empty ? end : WorksheetLayout::npos;
                if (auto ref = attribute(attrs, "ref")) l.dimensionRef = *ref;
            } else if (name == "cols" && l.cols == WorksheetLayout::npos) {
                l.cols = at, l.colsEnd = empty ? end : WorksheetLayout::npos;
            } else if (name == "mergeCells" && l.mergeCells == WorksheetLayout::npos) {
                l.mergeCells = at, l.mergeCellsEnd = empty ? end : WorksheetLayout::npos;
            } else if (where_ == Where::After && l.afterMergeCells == WorksheetLayout::npos && comesAfterMergeCells(name)) {
                l.afterMergeCells = at;
            }
            if (where_ == Where::Before && name == "sheetData") {
                l.sheetData = at, l.sheetDataOpenEnd = end;
                // The prefix of the worksheet's elements: what precedes "sheetData" in the tag.
                std::string_view qname = raw.substr(1, raw.find("sheetData") - 1);
                l.prefix.assign(qname);
                if (empty) l.sheetDataEnd = at, l.sheetDataClose = end;
                where_ = empty ? Where::After : Where::Inside;
                return;
            }
        }
        if (!empty) ++depth_;
    }

    void outsideEnd(std::string_view name, std::string_view raw) {
        WorksheetLayout& l = cells_.layout;
        --depth_;
        const std::size_t end = offsetOf(raw) + raw.size();
        if (depth_ == 1) {
            if (name == "dimension" && l.dimensionEnd == WorksheetLayout::npos) l.dimensionEnd = end;
            else if (name == "cols" && l.colsEnd == WorksheetLayout::npos) l.colsEnd = end;
            else if (name == "mergeCells" && l.mergeCellsEnd == WorksheetLayout::npos) l.mergeCellsEnd = end;
        } else if (depth_ == 0 && l.afterMergeCells == WorksheetLayout::npos) {
            l.afterMergeCells = offsetOf(raw);  // </worksheet>
        }
    }

    // The children of a worksheet that follow <mergeCells> in its schema's order.
    static bool comesAfterMergeCells(std::string_view name) {
        for (std::string_view later :
             {"phoneticPr", "conditionalFormatting", "dataValidations", "hyperlinks", "printOptions", "pageMargins",
              "pageSetup", "headerFooter", "rowBreaks", "colBreaks", "customProperties", "cellWatches", "ignoredErrors",
              "smartTags", "drawing", "legacyDrawing", "legacyDrawingHF", "drawingHF", "picture", "oleObjects",
              "controls", "webPublishItems", "tableParts", "extLst"})
            if (name == later) return true;
        return false;
    }

    enum class Kind : std::uint8_t { SheetData, Row, Cell, Value, Inline, InlineText, Phonetic, Other };
    enum class Type : std::uint8_t { Number, Shared, Text, Boolean, Error, Date };

    void beginRow(std::string_view attrs) {
        std::int64_t index = lastRow_ + 1;
        forEachAttribute(attrs, [&](std::string_view n, std::string_view v) {
            if (n == "r" && !parseInteger(v, index)) index = 0;
        });
        lastRow_ = index;
        cells_.layout.lastRow = std::max(cells_.layout.lastRow, index);
        lastColumn_ = 0;
        rowInSheet_ = index >= 1 && index <= kMaxRows;
        if (!rowInSheet_) return;
        auto& rows = cells_.rows;
        if (!rows.empty() && rows.back().index >= index) outOfOrder_ = true;
        // Rows of a sheet tend to be alike: room for as many cells as the one before.
        std::size_t hint = rows.empty() ? 0 : rows.back().cells.size();
        rows.push_back(Row{static_cast<std::int32_t>(index), {}});
        rows.back().cells.reserve(hint);
        cellsOutOfOrder_ = false;
    }

    void endRow() {
        if (rowInSheet_ && cellsOutOfOrder_) putInOrder(cells_.rows.back().cells);
        rowInSheet_ = false;
    }

    void beginCell(std::string_view attrs) {
        std::int32_t column = -1;
        type_ = Type::Number;
        format_ = 0;
        hasValue_ = false;
        value_.clear();
        forEachAttribute(attrs, [&](std::string_view n, std::string_view v) {
            if (n == "r") column = columnOf(v);
            else if (n == "s" && !parseInteger(v, format_)) format_ = 0;
            else if (n == "t") {
                if (v == "s") type_ = Type::Shared;
                else if (v == "str" || v == "inlineStr") type_ = Type::Text;
                else if (v == "b") type_ = Type::Boolean;
                else if (v == "e") type_ = Type::Error;
                else if (v == "d") type_ = Type::Date;
            }
        });
        column_ = column < 0 ? lastColumn_ + 1 : column;
        lastColumn_ = column_;
    }

    void endCell() {
        if (!rowInSheet_ || column_ < 1 || column_ > kMaxColumns) return;
        Cell cell;
        cell.column = static_cast<std::uint16_t>(column_);
        cell.format = format_ < tables_.formats.size() ? tables_.formats[format_] : 0;
        if (hasValue_) setValue(cell);
        // An empty cell is kept when the file gave it a format of its own, even the default.
        if (cell.kind == CellKind::Empty && format_ == 0) return;
        if (tables_.cellsLeft && --*tables_.cellsLeft < 0) throw WorkbookTooLarge("more cells than the engine holds");
        auto& cells = cells_.rows.back().cells;
        if (!cells.empty() && cells.back().column >= cell.column) cellsOutOfOrder_ = true;
        cells.push_back(cell);
        cells_.lastColumn = std::max(cells_.lastColumn, column_);
    }

    void setValue(Cell& cell) {
        switch (type_) {
            case Type::Number:
                if (parseNumber(value_, cell.number)) cell.kind = CellKind::Number;
                break;
            case Type::Shared: {
                std::size_t i = 0;
                if (parseInteger(value_, i) && i < tables_.strings.size())
                    cell.kind = CellKind::Text, cell.text = tables_.strings[i];
                break;
            }
            case Type::Text:
                if (!value_.empty()) cell.kind = CellKind::Text, cell.text = book_.intern(unescaped(value_, buffer_));
                break;
            case Type::Boolean: {
                std::string_view v = trimmed(value_);
                if (v == "1" || v == "true") cell.kind = CellKind::Boolean, cell.boolean = true;
                else if (v == "0" || v == "false") cell.kind = CellKind::Boolean, cell.boolean = false;
                break;
            }
            case Type::Error:
                if (!value_.empty()) cell.kind = CellKind::Error, cell.text = book_.intern(unescaped(value_, buffer_));
                break;
            case Type::Date: {
                bool withTime = false;
                if (parseIsoDateTime(value_, cell.number, withTime)) {
                    cell.number = book_.storedDate(cell.number);
                    cell.kind = CellKind::Number;
                    cell.format = datedFormat(cell.format, withTime);
                }
                break;
            }
        }
    }

    // A typed date shows as one also without a date format: its format with a date's code.
    std::uint32_t datedFormat(std::uint32_t format, bool withTime) {
        auto [known, added] = dated_.emplace(std::pair(format, withTime), format);
        if (!added) return known->second;
        CellFormat f = book_.format(format);
        if (isDateTimeFormat(f.numberFormat)) return format;
        f.numberFormat = withTime ? "dd.mm.yyyy hh:mm:ss" : "dd.mm.yyyy";
        return known->second = book_.internFormat(f);
    }

    // <col min max width style>: a width the file gives in characters plus padding; a format
    // by the file's index. A sheet has 16384 columns: elements beyond that many are not taken.
    void column(std::string_view attrs) {
        std::int64_t first = 0, last = 0;
        auto min = attribute(attrs, "min"), max = attribute(attrs, "max");
        if (!min || !max || !parseInteger(*min, first) || !parseInteger(*max, last) || first < 1 || last < first ||
            first > kMaxColumns || cells_.columns.size() >= std::size_t(kMaxColumns))
            return;
        double width = -1, fileWidth = 0;
        if (auto w = attribute(attrs, "width"); w && parseNumber(*w, fileWidth) && fileWidth >= 0)
            width = std::min(charactersFromFileWidth(fileWidth), 255.0);
        std::uint32_t format = 0;
        std::size_t xf = 0;  // 0, the default, is no format of the column's own
        if (auto style = attribute(attrs, "style"); style && parseInteger(*style, xf) && xf > 0 &&
            xf < tables_.formats.size()) {
            format = tables_.formats[xf];
            cells_.layout.columnStyles.push_back({static_cast<std::int32_t>(first),
                                                  static_cast<std::int32_t>(std::min<std::int64_t>(last, kMaxColumns)),
                                                  static_cast<std::uint32_t>(xf)});
        }
        if (width < 0 && format == 0) return;
        cells_.columns.push_back({static_cast<std::int32_t>(first),
                                  static_cast<std::int32_t>(std::min<std::int64_t>(last, kMaxColumns)), width, format});
    }

    // <mergeCell ref="C1:H1">, a sheet's name before the range allowed; a ref that is no range
    // of the sheet is left out.
    void mergeCell(std::string_view attrs) {
        auto ref = attribute(attrs, "ref");
        if (!ref) return;
        std::string_view range = *ref;
        if (std::size_t bang = range.rfind('!'); bang != std::string_view::npos) range.remove_prefix(bang + 1);
        Rect r;
        if (parseAddress(trimmed(range), r) && r.area() > 1) cells_.merges.push_back(r);
    }

    const WorksheetTables& tables_;
    Workbook& book_;
    WorksheetCells& cells_;
    Where where_ = Where::Before;
    int depth_ = 0;  // of the elements outside <sheetData>: 1 inside the worksheet
    const char* data_ = nullptr;
    std::size_t offset_ = 0;
    std::vector<Kind> stack_;
    int inline_ = 0, phonetic_ = 0;
    std::int64_t lastRow_ = 0;
    std::int32_t lastColumn_ = 0, column_ = 0;
    bool rowInSheet_ = false, outOfOrder_ = false, cellsOutOfOrder_ = false, hasValue_ = false;
    Type type_ = Type::Number;
    std::uint32_t format_ = 0;  // the file's cell format index
    std::string value_, buffer_;
    std::map<std::pair<std::uint32_t, bool>, std::uint32_t> dated_;
};

}  // namespace

std::vector<std::uint32_t> readSharedStrings(std::string_view xml, Workbook& book) {
    std::vector<std::uint32_t> strings;
    SharedStringsReader reader(book, strings);
    scanXml(xml, true, reader);
    return strings;
}

void readWorksheet(const ZipReader& zip, const ZipEntry& entry, const WorksheetTables& tables, Workbook& book,
                   WorksheetCells& cells) {
    WorksheetReader reader(tables, book, cells);
    XmlFeed<WorksheetReader> feed(reader);
    zip.unpackPieces(entry, [&](std::string_view piece) { feed.piece(piece); });
    feed.finish();
    reader.finish();
}

void readWorksheetXml(std::string_view xml, const WorksheetTables& tables, Workbook& book, WorksheetCells& cells) {
    WorksheetReader reader(tables, book, cells);
    reader.at(xml.data(), 0);
    scanXml(xml, true, reader);
    reader.finish();
}

void adoptWorksheet(Sheet& sheet, WorksheetCells&& cells) {
    sheet.adoptRows(std::move(cells.rows), cells.lastColumn);
    sheet.adoptMerges(std::move(cells.merges));
    if (cells.columns.empty()) return;
    // Widths and formats are painted from the last <col> back, each column once: overlapping
    // elements cost no more than the columns they cover. next[c] leads past columns done.
    std::vector<std::int32_t> next;
    auto paint = [&](auto&& has, auto&& apply) {
        next.assign(std::size_t(kMaxColumns) + 2, 0);
        auto find = [&](std::int32_t c) {
            std::int32_t root = c;
            while (next[std::size_t(root)]) root = next[std::size_t(root)];
            while (next[std::size_t(c)]) c = std::exchange(next[std::size_t(c)], root);
            return root;
        };
        for (auto run = cells.columns.rbegin(); run != cells.columns.rend(); ++run) {
            if (!has(*run)) continue;
            for (std::int32_t c = find(run->first); c <= run->last; c = find(c + 1)) {
                apply(sheet.columnForWrite(c), *run);
                next[std::size_t(c)] = c + 1;
            }
        }
    };
    paint([](const ColumnRun& r) { return r.width >= 0; }, [](ColumnInfo& info, const ColumnRun& r) { info.width = r.width; });
    paint([](const ColumnRun& r) { return r.format != 0; }, [](ColumnInfo& info, const ColumnRun& r) { info.format = r.format; });
}

}  // namespace lumo::spreadsheet
