#include "spreadsheet/xlsx_patch.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "spreadsheet/cell_text.h"
#include "spreadsheet/xlsx_package.h"
#include "spreadsheet/xlsx_reader.h"
#include "spreadsheet/xlsx_writer.h"
#include "spreadsheet/xlsx_zip.h"
#include "spreadsheet/xml_scan.h"

namespace lumo::spreadsheet {

namespace {

constexpr std::size_t npos = std::size_t(-1);

[[noreturn]] void cannotPatch(const std::string& why) { throw std::runtime_error("cannot write the package again: " + why); }

// A part written through a buffer into its zip entry.
class EntryOut {
public:
    EntryOut(ZipWriter& zip, std::string_view name) : zip_(zip) {
        zip_.begin(name);
        buffer_.reserve(kBuffer);
    }
    void write(std::string_view s) {
        if (buffer_.size() + s.size() > kBuffer) flush();
        if (s.size() >= kBuffer) zip_.write(s);
        else buffer_.append(s);
    }
    void finish() {
        flush();
        zip_.end();
    }

private:
    void flush() {
        if (!buffer_.empty()) zip_.write(buffer_);
        buffer_.clear();
    }
    static constexpr std::size_t kBuffer = 256 * 1024;
    ZipWriter& zip_;
    std::string buffer_;
};

template <class T>
void appendNumber(std::string& out, T v) {
    char digits[32];
    out.append(digits, static_cast<std::size_t>(std::to_chars(digits, digits + sizeof digits, v).ptr - digits));
}

// --- Start tags, rewritten ------------------------------------------------------------------

// A start tag as written: "<x:row r="1" spans="1:3">" has the name "x:row" and its attributes,
// each kept as written.
struct StartTag {
    std::string_view name;
    struct Attribute {
        std::string_view name, written;  // written: name="value" as in the tag
        std::string_view value;
    };
    std::vector<Attribute> attributes;
    bool empty = false;
};

StartTag parseStartTag(std::string_view raw) {
    StartTag tag;
    std::size_t end = raw.size() - 1;  // the '>'
    tag.empty = end > 0 && raw[end - 1] == '/';
    if (tag.empty) --end;
    std::size_t i = 1;
    while (i < end && !xml::isSpace(raw[i]) && raw[i] != '/') ++i;
    tag.name = raw.substr(1, i - 1);
    while (i < end) {
        while (i < end && xml::isSpace(raw[i])) ++i;
        const std::size_t start = i;
        std::size_t eq = raw.find('=', i);
        if (eq == std::string_view::npos || eq >= end) break;
        std::size_t open = eq + 1;
        while (open < end && xml::isSpace(raw[open])) ++open;
        if (open >= end || (raw[open] != '"' && raw[open] != '\'')) break;
        std::size_t close = raw.find(raw[open], open + 1);
        if (close == std::string_view::npos || close >= end) break;
        tag.attributes.push_back(
            {xml::trimmed(raw.substr(start, eq - start)), raw.substr(start, close + 1 - start), raw.substr(open + 1, close - open - 1)});
        i = close + 1;
    }
    return tag;
}

// The tag again with attributes set (values written as given: already escaped) and others
// left out, self-closing or not as it was unless `form` says.
enum class Form { AsItWas, Open, Closed };
using Attributes = std::vector<std::pair<std::string_view, std::string>>;
std::string rewrittenTag(std::string_view raw, const Attributes& set, std::initializer_list<std::string_view> drop = {},
                         Form form = Form::AsItWas) {
    const StartTag tag = parseStartTag(raw);
    std::string out = "<";
    out += tag.name;
    auto put = [&](std::string_view name, const std::string& value) {
        out += ' ';
        out += name;
        out += "=\"";
        out += value;
        out += '"';
    };
    std::vector<bool> done(set.size(), false);
    for (const auto& a : tag.attributes) {
        if (std::find(drop.begin(), drop.end(), a.name) != drop.end()) continue;
        auto it = std::find_if(set.begin(), set.end(), [&](const auto& s) { return s.first == a.name; });
        if (it == set.end()) {
            (out += ' ') += a.written;
        } else if (!done[static_cast<std::size_t>(it - set.begin())]) {  // in its place
            done[static_cast<std::size_t>(it - set.begin())] = true;
            put(it->first, it->second);
        }
    }
    for (std::size_t i = 0; i < set.size(); ++i)
        if (!done[i]) put(set[i].first, set[i].second);
    const bool closed = form == Form::Closed || (form == Form::AsItWas && tag.empty);
    out += closed ? "/>" : ">";
    return out;
}

std::optional<std::string_view> attributeOf(const StartTag& tag, std::string_view name) {
    for (const auto& a : tag.attributes)
        if (xml::localName(a.name) == name) return a.value;
    return std::nullopt;
}

// The tags of a small part with their offsets and depth (the root's children are at depth 1).
struct Token {
    enum class Kind { Start, End, Other } kind;
    std::string_view name, raw;  // local name; the token as written
    std::size_t offset;
    int depth;
    bool empty;
};

std::vector<Token> tokensOf(std::string_view xml) {
    struct Handler {
        std::string_view xml;
        std::vector<Token> tokens;
        int depth = 0;
        std::size_t at(std::string_view raw) const { return static_cast<std::size_t>(raw.data() - xml.data()); }
        void start(std::string_view name, std::string_view, bool empty, std::string_view raw) {
            tokens.push_back({Token::Kind::Start, name, raw, at(raw), depth, empty});
            if (!empty) ++depth;
        }
        void end(std::string_view name, std::string_view raw) {
            --depth;
            tokens.push_back({Token::Kind::End, name, raw, at(raw), depth, false});
        }
        void text(std::string_view, bool, std::string_view) {}
        void other(std::string_view) {}
    } handler{xml, {}};
    xml::scanXml(xml, true, handler);
    return handler.tokens;
}

// A part's XML with spans replaced; the spans neither overlap nor go backwards.
class Rewrite {
public:
    explicit Rewrite(std::string_view xml) : xml_(xml) {}
    void replace(std::size_t from, std::size_t to, std::string text) { edits_.push_back({from, to, std::move(text)}); }
    void insert(std::size_t at, std::string text) { replace(at, at, std::move(text)); }
    std::string result() {
        std::stable_sort(edits_.begin(), edits_.end(), [](const Edit& a, const Edit& b) { return a.from < b.from; });
        std::string out;
        std::size_t pos = 0;
        for (const Edit& e : edits_) {
            out.append(xml_.substr(pos, e.from - pos));
            out += e.text;
            pos = e.to;
        }
        out.append(xml_.substr(pos));
        return out;
    }

private:
    struct Edit {
        std::size_t from, to;
        std::string text;
    };
    std::string_view xml_;
    std::vector<Edit> edits_;
};

// The prefix of an element's name ("x:" of "x:row", or nothing).
std::string prefixOf(std::string_view qname) {
    std::size_t colon = qname.find(':');
    return colon == std::string_view::npos ? std::string() : std::string(qname.substr(0, colon + 1));
}

// --- Cell formats -----------------------------------------------------------------------------

// The file's cell format (an index into <cellXfs>) of each workbook format a written cell has,
// made from the format the cell had in the file (its base) so that what the engine does not
// model (font, fill, border, protection) stays; formats the file lacks are appended.
class StyleMapper {
public:
    StyleMapper(const SourcePackage& source, const Workbook& book) : source_(source), book_(book) {}

    std::uint32_t styleFor(std::uint32_t format, std::uint32_t base) {
        const auto& formats = source_.formats;
        if (base >= formats.size() + order_.size()) base = 0;  // no format of the file
        if (format == 0) return base;
        if (base >= formats.size()) {  // one appended here: made from a format of the file
            if (order_[base - formats.size()].second == format) return base;
            base = order_[base - formats.size()].first;
        }
        if (base < formats.size() && formats[base] == format) return base;
        if (source_.styles == npos || formats.empty()) return base;  // no styles part to add to
        auto [it, added] = derived_.emplace(std::pair(base, format), 0);
        if (added) {
            it->second = static_cast<std::uint32_t>(formats.size() + order_.size());
            order_.push_back({base, format});
        }
        return it->second;
    }
    bool changed() const { return !order_.empty(); }

    // The styles part with the new formats appended.
    std::string patched(std::string_view xml) const {
        const std::vector<Token> tokens = tokensOf(xml);
        Rewrite out(xml);
        std::string prefix;
        std::size_t rootEnd = npos;
        const Token* numFmts = nullptr;
        const Token* numFmtsEnd = nullptr;
        const Token* cellXfs = nullptr;
        const Token* cellXfsEnd = nullptr;
        std::map<std::string, std::uint32_t> codes;  // the file's number formats by code
        std::uint32_t lastId = 163;
        std::vector<std::pair<std::size_t, std::size_t>> xfs;  // spans of <cellXfs>'s children
        for (std::size_t i = 0; i < tokens.size(); ++i) {
            const Token& t = tokens[i];
            if (t.kind == Token::Kind::Start && t.depth == 0) {
                prefix = prefixOf(parseStartTag(t.raw).name);
                rootEnd = t.offset + t.raw.size();
            } else if (t.depth == 1 && t.name == "numFmts") {
                (t.kind == Token::Kind::Start ? numFmts : numFmtsEnd) = &t;
                if (t.kind == Token::Kind::Start && t.empty) numFmtsEnd = &t;
            } else if (t.depth == 1 && t.name == "cellXfs") {
                (t.kind == Token::Kind::Start ? cellXfs : cellXfsEnd) = &t;
                if (t.kind == Token::Kind::Start && t.empty) cellXfsEnd = &t;
            } else if (t.kind == Token::Kind::Start && t.depth == 2 && t.name == "numFmt" && numFmts && !numFmtsEnd) {
                const StartTag tag = parseStartTag(t.raw);
                std::uint32_t id = 0;
                auto idText = attributeOf(tag, "numFmtId");
                auto code = attributeOf(tag, "formatCode");
                if (idText && xml::parseInteger(*idText, id) && code) {
                    std::string decoded;
                    xml::appendDecoded(decoded, *code);
                    codes.emplace(standardFormatCode(decoded), id);
                    lastId = std::max(lastId, id);
                }
            } else if (t.kind == Token::Kind::Start && t.depth == 2 && t.name == "xf" && cellXfs && !cellXfsEnd) {
                std::size_t end = t.offset + t.raw.size();
                if (!t.empty)
                    for (std::size_t j = i + 1; j < tokens.size(); ++j)
                        if (tokens[j].kind == Token::Kind::End && tokens[j].depth == 2) {
                            end = tokens[j].offset + tokens[j].raw.size();
                            break;
                        }
                xfs.emplace_back(t.offset, end);
            }
        }
        if (!cellXfs || rootEnd == npos) cannotPatch("the styles have no cell formats");

        std::string newFormats, added;
        std::size_t addedCount = 0;
        for (const auto& [base, format] : order_) {
            const CellFormat& f = book_.format(format);
            std::uint32_t id = 0;
            if (f.numberFormat != "General") {
                auto [it, isNew] = codes.emplace(f.numberFormat, 0);
                if (isNew) {
                    it->second = ++lastId;
                    newFormats += "<" + prefix + "numFmt numFmtId=\"" + std::to_string(lastId) + "\" formatCode=\"";
                    appendXmlText(newFormats, f.numberFormat);
                    newFormats += "\"/>";
                    ++addedCount;
                }
                id = it->second;
            }
            const auto [from, to] = base < xfs.size() ? xfs[base] : std::pair<std::size_t, std::size_t>(npos, npos);
            added += derivedXf(from == npos ? std::string_view() : xml.substr(from, to - from), prefix, id, f.align);
        }
        if (!newFormats.empty()) {
            if (numFmts && numFmtsEnd && numFmts != numFmtsEnd) {
                std::size_t count = 0;
                for (const Token& t : tokens)
                    count += t.kind == Token::Kind::Start && t.depth == 2 && t.name == "numFmt" && t.offset > numFmts->offset &&
                             t.offset < numFmtsEnd->offset;
                count += addedCount;
                out.replace(numFmts->offset, numFmts->offset + numFmts->raw.size(),
                            rewrittenTag(numFmts->raw, {{"count", std::to_string(count)}}));
                out.insert(numFmtsEnd->offset, newFormats);
            } else {
                if (numFmts) out.replace(numFmts->offset, numFmts->offset + numFmts->raw.size(), "");
                out.insert(rootEnd, "<" + prefix + "numFmts count=\"" + std::to_string(addedCount) + "\">" + newFormats +
                                        "</" + prefix + "numFmts>");
            }
        }
        const std::size_t total = xfs.size() + order_.size();
        if (cellXfs == cellXfsEnd) {
            out.replace(cellXfs->offset, cellXfs->offset + cellXfs->raw.size(),
                        rewrittenTag(cellXfs->raw, {{"count", std::to_string(total)}}, {}, Form::Open) + added + "</" + prefix +
                            "cellXfs>");
        } else {
            out.replace(cellXfs->offset, cellXfs->offset + cellXfs->raw.size(),
                        rewrittenTag(cellXfs->raw, {{"count", std::to_string(total)}}));
            out.insert(cellXfsEnd->offset, added);
        }
        return out.result();
    }

private:
    // An <xf> made from the base one: its number format and horizontal alignment set, every
    // other attribute and child kept.
    static std::string derivedXf(std::string_view base, const std::string& prefix, std::uint32_t numFmtId, HAlign align) {
        const char* name = alignmentName(align);
        const std::string horizontal = name ? name : "general";
        if (base.empty()) base = "<xf numFmtId=\"0\" fontId=\"0\" fillId=\"0\" borderId=\"0\" xfId=\"0\"/>";
        const std::size_t tagEnd = base.find('>');
        std::string_view start = base.substr(0, tagEnd + 1);
        const bool empty = parseStartTag(start).empty;
        std::string out = rewrittenTag(start,
                                       {{"numFmtId", std::to_string(numFmtId)}, {"applyNumberFormat", "1"}, {"applyAlignment", "1"}},
                                       {}, Form::Open);
        std::string_view children = empty ? std::string_view() : base.substr(tagEnd + 1, base.rfind('<') - tagEnd - 1);
        bool aligned = false;
        std::size_t at = 0;
        std::string rest;
        while (at < children.size()) {
            std::size_t lt = children.find('<', at);
            if (lt == std::string_view::npos) break;
            std::size_t gt = children.find('>', lt);
            if (gt == std::string_view::npos) break;
            std::string_view tag = children.substr(lt, gt + 1 - lt);
            if (!aligned && tag.size() > 1 && tag[1] != '/' && xml::localName(parseStartTag(tag).name) == "alignment") {
                rest.append(children.substr(at, lt - at));
                rest += rewrittenTag(tag, {{"horizontal", horizontal}});
                aligned = true;
            } else {
                rest.append(children.substr(at, gt + 1 - at));
            }
            at = gt + 1;
        }
        rest.append(children.substr(std::min(at, children.size())));
        if (!aligned) out += "<" + prefix + "alignment horizontal=\"" + horizontal + "\"/>";
        out += rest;
        out += "</" + std::string(parseStartTag(start).name) + ">";
        return out;
    }

    const SourcePackage& source_;
    const Workbook& book_;
    std::map<std::pair<std::uint32_t, std::uint32_t>, std::uint32_t> derived_;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> order_;  // base, format
};

// --- Cells and rows ---------------------------------------------------------------------------

const Row* rowOf(const Sheet& sheet, std::int32_t index) {
    const auto& rows = sheet.rows();
    auto it = std::lower_bound(rows.begin(), rows.end(), index, [](const Row& r, std::int32_t i) { return r.index < i; });
    return it != rows.end() && it->index == index ? &*it : nullptr;
}

// Writes a written cell: numbers as numbers, texts inline (t="inlineStr": the shared strings
// stay as they were; https://learn.microsoft.com/dotnet/api/documentformat.openxml.spreadsheet.cellvalues),
// booleans and errors; an empty cell only for its format.
void appendCell(std::string& out, const Workbook& book, const Cell& cell, std::int32_t row, std::uint32_t style,
                const std::string& p) {
    if (cell.kind == CellKind::Empty && style == 0) return;
    out += '<';
    out += p;
    out += "c r=\"";
    out += columnLetters(cell.column);
    appendNumber(out, row);
    out += '"';
    if (style) {
        out += " s=\"";
        appendNumber(out, style);
        out += '"';
    }
    auto inlineText = [&](std::string_view text) {
        const bool preserve = !text.empty() && (text.front() == ' ' || text.back() == ' ' ||
                                                text.find_first_of("\t\n") != std::string_view::npos);
        out += " t=\"inlineStr\"><" + p + "is><" + p + (preserve ? "t xml:space=\"preserve\">" : "t>");
        appendXmlText(out, text);
        out += "</" + p + "t></" + p + "is></" + p + "c>";
    };
    switch (cell.kind) {
        case CellKind::Empty: out += "/>"; return;
        case CellKind::Number:
            if (std::isfinite(cell.number)) {
                out += "><" + p + "v>";
                appendNumber(out, cell.number);
                out += "</" + p + "v></" + p + "c>";
            } else {
                out += " t=\"e\"><" + p + "v>#NUM!</" + p + "v></" + p + "c>";
            }
            return;
        case CellKind::Boolean: out += std::string(" t=\"b\"><") + p + "v>" + (cell.boolean ? "1" : "0") + "</" + p + "v></" + p + "c>"; return;
        case CellKind::Error:
            if (isErrorValue(book.string(cell.text))) {
                out += " t=\"e\"><" + p + "v>" + book.string(cell.text) + "</" + p + "v></" + p + "c>";
                return;
            }
            [[fallthrough]];
        case CellKind::Text: inlineText(book.string(cell.text)); return;
    }
}

// How one worksheet is written again: its written rows, and the formats they need.
class SheetRows {
public:
    SheetRows(const Workbook& book, const Sheet& sheet, const SheetSource& source, StyleMapper& styles)
        : book_(book), sheet_(sheet), source_(source), styles_(styles), p_(source.layout.prefix),
          edited_(sheet.editedRows()), emitted_(edited_.size(), false) {}

    const std::vector<std::int32_t>& edited() const { return edited_; }

    // The format a new cell of a column takes, as the application gives it: the column's (its
    // <col style>, the last that covers it; a format the program gave the column since); 0
    // for none.
    std::uint32_t columnStyle(std::int32_t column) const {
        std::uint32_t style = 0;
        for (const auto& run : source_.layout.columnStyles)
            if (column >= run.first && column <= run.last) style = run.style;
        const auto index = static_cast<std::size_t>(column - 1);
        const std::uint32_t was = index < source_.columns.size() ? source_.columns[index].format : 0;
        const std::uint32_t now = sheet_.column(column).format;
        return now == was ? style : styles_.styleFor(now, style);
    }

    // A row the file does not have: its written cells.
    void newRow(std::int32_t index, std::string& out) {
        const Row* row = rowOf(sheet_, index);
        if (!row) return;
        std::string cells;
        for (const Cell& c : row->cells)
            if (c.edited) appendCell(cells, book_, c, index, styles_.styleFor(c.format, columnStyle(c.column)), p_);
        if (cells.empty()) return;
        out += "<" + p_ + "row r=\"";
        appendNumber(out, index);
        out += "\">" + cells + "</" + p_ + "row>";
    }

    // Every written row not written yet below `before` (all of them for npos).
    void newRowsBefore(std::int64_t before, const std::function<void(std::string&)>& flush, std::string& out) {
        for (; next_ < edited_.size() && edited_[next_] < before; ++next_) {
            if (emitted_[next_]) continue;
            emitted_[next_] = true;
            newRow(edited_[next_], out);
            if (out.size() > (1u << 16)) flush(out);
        }
    }

    bool isEdited(std::int64_t row) const { return std::binary_search(edited_.begin(), edited_.end(), row); }
    void markEmitted(std::int64_t row) {
        auto it = std::lower_bound(edited_.begin(), edited_.end(), row);
        if (it != edited_.end() && *it == row) emitted_[static_cast<std::size_t>(it - edited_.begin())] = true;
    }

    // A row the file has, with cells written into it: the file's row with those cells in their
    // places, every other cell as the file had it.
    struct FileCell {
        std::int32_t column;
        std::uint32_t style;
        std::string raw;
        bool addressed;
    };
    void mergedRow(std::int32_t index, std::string_view startTag, const std::vector<FileCell>& cells, std::string_view tail,
                   std::string& out) {
        markEmitted(index);
        const StartTag tag = parseStartTag(startTag);
        std::uint32_t base = 0;
        auto custom = attributeOf(tag, "customFormat");
        if (auto s = attributeOf(tag, "s"); s && custom && (*custom == "1" || *custom == "true")) xml::parseInteger(*s, base);
        out += rewrittenTag(startTag, {{"r", std::to_string(index)}}, {"spans"}, Form::Open);
        const Row* row = rowOf(sheet_, index);
        std::vector<const Cell*> written;
        if (row)
            for (const Cell& c : row->cells)
                if (c.edited) written.push_back(&c);
        std::size_t w = 0;
        for (const FileCell& fc : cells) {
            while (w < written.size() && written[w]->column < fc.column) {
                const Cell& c = *written[w++];
                appendCell(out, book_, c, index, styles_.styleFor(c.format, base ? base : columnStyle(c.column)), p_);
            }
            if (w < written.size() && written[w]->column == fc.column) {
                const Cell& c = *written[w++];
                appendCell(out, book_, c, index, styles_.styleFor(c.format, fc.style), p_);
                continue;
            }
            if (fc.addressed) {
                out += fc.raw;
            } else {  // its place was the one after the cell before: said outright now
                const std::size_t name = fc.raw.find_first_of(" \t\r\n/>");
                out.append(fc.raw, 0, name);
                out += " r=\"" + columnLetters(fc.column) + std::to_string(index) + "\"";
                out.append(fc.raw, name);
            }
        }
        for (; w < written.size(); ++w)
            appendCell(out, book_, *written[w], index,
                       styles_.styleFor(written[w]->format, base ? base : columnStyle(written[w]->column)), p_);
        out += tail;
        out += "</" + std::string(tag.name) + ">";
    }

    // The used range with the written cells in it.
    std::optional<std::string> dimension() const {
        Rect used;
        if (!parseAddress(source_.layout.dimensionRef, used)) return std::nullopt;
        Rect grown = used;
        for (std::int32_t index : edited_) {
            const Row* row = rowOf(sheet_, index);
            if (!row) continue;
            for (const Cell& c : row->cells) {
                if (!c.edited || (c.kind == CellKind::Empty && c.format == 0)) continue;
                grown = Rect{std::min(grown.top, index), std::min<std::int32_t>(grown.left, c.column),
                             std::max(grown.bottom, index), std::max<std::int32_t>(grown.right, c.column)};
            }
        }
        if (grown == used) return std::nullopt;
        std::string ref = columnLetters(grown.left) + std::to_string(grown.top);
        if (grown.area() > 1) ref += ":" + columnLetters(grown.right) + std::to_string(grown.bottom);
        return "<" + p_ + "dimension ref=\"" + ref + "\"/>";
    }

    std::string mergeCells() const {
        std::string out = "<" + p_ + "mergeCells count=\"" + std::to_string(sheet_.merges().size()) + "\">";
        for (const Rect& m : sheet_.merges()) {
            out += "<" + p_ + "mergeCell ref=\"" + columnLetters(m.left) + std::to_string(m.top) + ":" + columnLetters(m.right) +
                   std::to_string(m.bottom) + "\"/>";
        }
        return out + "</" + p_ + "mergeCells>";
    }

    // <cols> again from the model's widths and formats, each run keeping the other attributes
    // (hidden, outline level, ...) of the element of the file that covered it.
    std::string columns(std::string_view original) {
        struct Element {
            std::int32_t first, last;
            std::string_view raw;
            std::uint32_t style;
        };
        std::vector<Element> elements;
        if (!original.empty())
            for (const Token& t : tokensOf(original))
                if (t.kind == Token::Kind::Start && t.name == "col") {
                    const StartTag tag = parseStartTag(t.raw);
                    std::int64_t first = 0, last = 0;
                    std::uint32_t style = 0;
                    auto min = attributeOf(tag, "min"), max = attributeOf(tag, "max");
                    if (!min || !max || !xml::parseInteger(*min, first) || !xml::parseInteger(*max, last) || first < 1 ||
                        last < first)
                        continue;
                    if (auto s = attributeOf(tag, "style")) xml::parseInteger(*s, style);
                    elements.push_back({static_cast<std::int32_t>(first),
                                        static_cast<std::int32_t>(std::min<std::int64_t>(last, kMaxColumns)), t.raw, style});
                }
        std::int32_t last = sheet_.columnsDefined();
        for (const Element& e : elements) last = std::max(last, e.last);
        auto elementOf = [&](std::int32_t c) {
            const Element* found = nullptr;
            for (const Element& e : elements)
                if (c >= e.first && c <= e.last) found = &e;
            return found;
        };
        std::string out;
        for (std::int32_t c = 1; c <= last;) {
            const Element* e = elementOf(c);
            const ColumnInfo& info = sheet_.column(c);
            std::int32_t end = c;
            while (end < last && elementOf(end + 1) == e && sheet_.column(end + 1) == info) ++end;
            if (e || info.width >= 0 || info.format != 0) {
                const std::uint32_t style = styles_.styleFor(info.format, e ? e->style : 0);
                Attributes set{{"min", std::to_string(c)}, {"max", std::to_string(end)}};
                // A format alone keeps the standard width (8.43 characters), which is no width
                // of the column's own.
                std::string width;
                appendNumber(width, fileWidthFromCharacters(info.width >= 0 ? info.width : 8.43));
                set.emplace_back("width", std::move(width));
                if (info.width >= 0) set.emplace_back("customWidth", "1");
                if (style) set.emplace_back("style", std::to_string(style));
                out += rewrittenTag(e ? e->raw : "<" + p_ + "col/>", set, {"min", "max", "width", "customWidth", "style"},
                                    Form::Closed);
            }
            c = end + 1;
        }
        return out.empty() ? std::string() : "<" + p_ + "cols>" + out + "</" + p_ + "cols>";
    }

private:
    const Workbook& book_;
    const Sheet& sheet_;
    const SheetSource& source_;
    StyleMapper& styles_;
    const std::string p_;
    const std::vector<std::int32_t> edited_;
    std::vector<bool> emitted_;
    std::size_t next_ = 0;
};

// The rows of <sheetData> a piece at a time, those with written cells merged with them and
// new rows put in their places; every other row goes through as the file has it.
class RowMerger {
public:
    RowMerger(SheetRows& rows, EntryOut& out) : rows_(rows), out_(out) {}

    void feed(std::string_view piece) {
        pending_.append(piece);
        const std::size_t used = xml::scanXml(pending_, false, *this);
        pending_.erase(0, used);
    }
    void finish() {
        xml::scanXml(pending_, true, *this);
        pending_.clear();
        rows_.newRowsBefore(std::numeric_limits<std::int64_t>::max(), flusher(), text_);
        flush(text_);
    }

    // The scanner's handler.
    void start(std::string_view name, std::string_view attrs, bool empty, std::string_view raw) {
        if (depth_ == 0 && name == "row") {
            std::int64_t index = lastRow_ + 1;
            if (auto r = xml::attribute(attrs, "r"); r && !xml::parseInteger(*r, index)) index = 0;
            lastRow_ = index;
            rows_.newRowsBefore(index, flusher(), text_);
            merging_ = rows_.isEdited(index);
            if (merging_) {
                rowTag_.assign(raw);
                cells_.clear();
                tail_.clear();
                lastColumn_ = 0;
                if (empty) endRow();
            } else {
                put(raw);
            }
        } else if (merging_ && depth_ == 1 && name == "c") {
            FileCell cell{lastColumn_ + 1, 0, std::string(raw), false};
            if (auto r = xml::attribute(attrs, "r")) {
                Rect at;
                if (parseAddress(xml::trimmed(*r), at)) cell.column = at.left, cell.addressed = true;
            }
            if (auto s = xml::attribute(attrs, "s")) xml::parseInteger(*s, cell.style);
            lastColumn_ = cell.column;
            cells_.push_back(std::move(cell));
            inCell_ = !empty;
        } else if (merging_) {
            (inCell_ ? cells_.back().raw : tail_).append(raw);
        } else {
            put(raw);
        }
        if (!empty) ++depth_;
    }
    void end(std::string_view, std::string_view raw) {
        --depth_;
        if (!merging_) {
            put(raw);
        } else if (depth_ == 0) {
            endRow();
        } else {
            (inCell_ ? cells_.back().raw : tail_).append(raw);
            if (depth_ == 1) inCell_ = false;
        }
    }
    void text(std::string_view, bool, std::string_view raw) { other(raw); }
    void other(std::string_view raw) {
        if (!merging_) put(raw);
        else if (depth_ > 0) (inCell_ ? cells_.back().raw : tail_).append(raw);
        else put(raw);
    }

private:
    using FileCell = SheetRows::FileCell;

    std::function<void(std::string&)> flusher() {
        return [this](std::string& s) { flush(s); };
    }
    void flush(std::string& s) {
        out_.write(s);
        s.clear();
    }
    void put(std::string_view raw) {
        if (!text_.empty()) flush(text_);
        out_.write(raw);
    }
    void endRow() {
        rows_.mergedRow(static_cast<std::int32_t>(lastRow_), rowTag_, cells_, tail_, text_);
        merging_ = false;
        inCell_ = false;
        flush(text_);
    }

    SheetRows& rows_;
    EntryOut& out_;
    std::string pending_, text_, rowTag_, tail_;
    std::vector<FileCell> cells_;
    int depth_ = 0;
    std::int64_t lastRow_ = 0;
    std::int32_t lastColumn_ = 0;
    bool merging_ = false, inCell_ = false;
};

// A worksheet's part unpacked and written again with its edits: spans of its XML replaced.
struct Edit {
    std::size_t from, to;
    // The span's new text, given its text in the file (small spans only).
    std::function<void(std::string_view original, EntryOut& out)> replace;
    // Or: the span goes through this a piece at a time (the rows, too many to hold).
    RowMerger* rows = nullptr;
};

void patchPart(const ZipReader& zip, const ZipEntry& entry, std::vector<Edit> edits, EntryOut& out) {
    // In their order in the part; an insertion before a span replaced at the same place.
    std::stable_sort(edits.begin(), edits.end(),
                     [](const Edit& a, const Edit& b) { return a.from != b.from ? a.from < b.from : a.to < b.to; });
    std::size_t pos = 0, k = 0;
    std::string collected;
    auto done = [&](Edit& e) {
        if (e.rows) e.rows->finish();
        else e.replace(collected, out);
        collected.clear();
        ++k;
    };
    zip.unpackPieces(entry, [&](std::string_view piece) {
        std::size_t at = 0;
        while (at < piece.size()) {
            const std::size_t here = pos + at;
            if (k < edits.size() && here >= edits[k].from) {
                Edit& e = edits[k];
                const std::size_t take = std::min(piece.size() - at, e.to - here);
                if (e.rows) e.rows->feed(piece.substr(at, take));
                else collected.append(piece.substr(at, take));
                at += take;
                if (here + take == e.to) done(e);
            } else {
                const std::size_t until = k < edits.size() ? std::min(piece.size(), edits[k].from - pos) : piece.size();
                out.write(piece.substr(at, until - at));
                at = until;
            }
        }
        pos += piece.size();
    });
    while (k < edits.size()) {
        if (edits[k].from > pos || edits[k].to > pos) cannotPatch("a worksheet ended early");
        done(edits[k]);
    }
}

bool sameMerges(std::vector<Rect> a, std::vector<Rect> b) {
    auto order = [](const Rect& x, const Rect& y) {
        return std::tie(x.top, x.left, x.bottom, x.right) < std::tie(y.top, y.left, y.bottom, y.right);
    };
    std::sort(a.begin(), a.end(), order);
    std::sort(b.begin(), b.end(), order);
    return a == b;
}

bool sameColumns(const std::vector<ColumnInfo>& a, const std::vector<ColumnInfo>& b) {
    const std::size_t n = std::max(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i)
        if ((i < a.size() ? a[i] : ColumnInfo{}) != (i < b.size() ? b[i] : ColumnInfo{})) return false;
    return true;
}

void writeSheet(const ZipReader& zip, const Workbook& book, std::size_t index, StyleMapper& styles, ZipWriter& out) {
    const SourcePackage& source = *book.source;
    const SheetSource& from = source.sheets[index];
    const Sheet& sheet = book.sheet(index);
    const WorksheetLayout& l = from.layout;
    const ZipEntry& entry = zip.entries()[from.entry];
    SheetRows rows(book, sheet, from, styles);
    const bool merges = !sameMerges(sheet.merges(), from.merges), columns = !sameColumns(sheet.columns(), from.columns);

    EntryOut part(out, entry.name);
    std::vector<Edit> edits;
    std::optional<RowMerger> merger;
    if (!rows.edited().empty()) {
        if (l.sheetData == npos || l.sheetDataEnd == npos) cannotPatch("a worksheet without its cells");
        if (auto dimension = rows.dimension(); dimension && l.dimensionEnd != npos)
            edits.push_back({l.dimension, l.dimensionEnd, [text = *dimension](std::string_view, EntryOut& o) { o.write(text); }});
        const bool empty = l.sheetDataEnd == l.sheetData;  // <sheetData/>
        if (empty || rows.edited().front() > l.lastRow) {
            // Rows below every row of the file: they go in before its end.
            const std::string p = l.prefix;
            edits.push_back({empty ? l.sheetData : l.sheetDataEnd, empty ? l.sheetDataClose : l.sheetDataEnd,
                             [&rows, empty, p](std::string_view, EntryOut& o) {
                                 std::string text = empty ? "<" + p + "sheetData>" : "";
                                 rows.newRowsBefore(std::numeric_limits<std::int64_t>::max(),
                                                    [&](std::string& s) { o.write(s), s.clear(); }, text);
                                 if (empty) text += "</" + p + "sheetData>";
                                 o.write(text);
                             }});
        } else {
            merger.emplace(rows, part);
            edits.push_back({l.sheetDataOpenEnd, l.sheetDataEnd, {}, &*merger});
        }
    }
    if (merges) {
        auto text = [&rows](std::string_view, EntryOut& o) { o.write(rows.mergeCells()); };
        if (l.mergeCells != npos && l.mergeCellsEnd != npos) edits.push_back({l.mergeCells, l.mergeCellsEnd, text});
        else if (l.afterMergeCells != npos) edits.push_back({l.afterMergeCells, l.afterMergeCells, text});
        else cannotPatch("no place for merged ranges");
    }
    if (columns) {
        auto text = [&rows](std::string_view original, EntryOut& o) { o.write(rows.columns(original)); };
        if (l.cols != npos && l.colsEnd != npos) edits.push_back({l.cols, l.colsEnd, text});
        else if (l.sheetData != npos) edits.push_back({l.sheetData, l.sheetData, text});
        else cannotPatch("no place for columns");
    }
    patchPart(zip, entry, std::move(edits), part);
    part.finish();
}

// The workbook part with renamed sheets, another active sheet, and a full calculation when
// it is next opened ("the application should do a full calculate on load",
// https://learn.microsoft.com/dotnet/api/documentformat.openxml.spreadsheet.calculationproperties.fullcalculationonload).
std::string patchedWorkbook(std::string_view xml, const Workbook& book, bool recalculate) {
    const SourcePackage& source = *book.source;
    const std::vector<Token> tokens = tokensOf(xml);
    Rewrite out(xml);
    std::string prefix;
    std::size_t position = 0, calcAt = npos;
    bool viewDone = false, calcDone = false;
    for (const Token& t : tokens) {
        if (t.kind == Token::Kind::Start && t.depth == 0) prefix = prefixOf(parseStartTag(t.raw).name);
        if (t.kind != Token::Kind::Start && !(t.kind == Token::Kind::End && t.depth == 0)) continue;
        if (t.kind == Token::Kind::End) {  // </workbook>
            if (calcAt == npos) calcAt = t.offset;
            continue;
        }
        if (t.name == "sheet" && t.depth == 2) {
            for (std::size_t i = 0; i < source.sheets.size(); ++i)
                if (source.sheets[i].position == position && book.sheet(i).name() != source.sheets[i].name) {
                    std::string name;
                    appendXmlText(name, book.sheet(i).name());
                    out.replace(t.offset, t.offset + t.raw.size(), rewrittenTag(t.raw, {{"name", name}}));
                }
            ++position;
        } else if (t.name == "workbookView" && !viewDone) {
            viewDone = true;
            if (book.activeSheet != source.activeSheet && book.activeSheet < source.sheets.size())
                out.replace(t.offset, t.offset + t.raw.size(),
                            rewrittenTag(t.raw, {{"activeTab", std::to_string(source.sheets[book.activeSheet].position)}}));
        } else if (t.name == "calcPr" && t.depth == 1 && recalculate) {
            calcDone = true;
            out.replace(t.offset, t.offset + t.raw.size(), rewrittenTag(t.raw, {{"fullCalcOnLoad", "1"}}));
        } else if (t.depth == 1 && calcAt == npos) {
            // The children of a workbook that come after <calcPr>.
            for (std::string_view later : {"oleSize", "customWorkbookViews", "pivotCaches", "smartTagPr", "smartTagTypes",
                                           "webPublishing", "fileRecoveryPr", "webPublishObjects", "extLst"})
                if (t.name == later) calcAt = t.offset;
        }
    }
    if (recalculate && !calcDone) {
        if (calcAt == npos) cannotPatch("no end of the workbook");
        out.insert(calcAt, "<" + prefix + "calcPr fullCalcOnLoad=\"1\"/>");
    }
    return out.result();
}

// A written cell that had a formula: the application's calculation chain (calcChain.xml)
// would name a cell without one, which the application repairs with a question. The chain is
// optional and made again by the application: it is left out, with its relationship and type.
bool formulaWrittenOver(const Workbook& book) {
    const SourcePackage& source = *book.source;
    for (std::size_t i = 0; i < source.sheets.size(); ++i)
        for (const auto& [row, column] : source.sheets[i].layout.formulaCells) {
            const Cell* cell = book.sheet(i).find(row, column);
            if (cell && cell->edited) return true;
        }
    return false;
}

constexpr std::string_view kPlainMain = "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml";
constexpr std::string_view kMacroMain = "application/vnd.ms-excel.sheet.macroEnabled.main+xml";

// The package's relationships and types as a save changes them: parts left out (with their
// relationships from the workbook and their types), and the workbook's main type.
class PackageEdits {
public:
    PackageEdits(const ZipReader& zip, const SourcePackage& source) : zip_(zip), workbook_(zip.entries()[source.workbook].name) {
        const std::size_t slash = workbook_.rfind('/');
        const std::string rels = (slash == std::string::npos ? std::string() : workbook_.substr(0, slash + 1)) + "_rels/" +
                                 workbook_.substr(slash == std::string::npos ? 0 : slash + 1) + ".rels";
        for (std::size_t i = 0; i < zip.entries().size(); ++i) {
            if (zip.entries()[i].name == rels) relationships_ = i;
            if (zip.entries()[i].name == "[Content_Types].xml") types_ = i;
        }
    }

    // Leaves out the part the workbook relates to by this type (its end: "/calcChain").
    void leaveOut(std::string_view relationship) {
        if (relationships_ == npos || types_ == npos) return;
        const std::string xml = zip_.unpack(zip_.entries()[relationships_]);
        for (const Token& t : tokensOf(xml)) {
            if (t.kind != Token::Kind::Start || t.name != "Relationship") continue;
            const StartTag tag = parseStartTag(t.raw);
            auto type = attributeOf(tag, "Type"), target = attributeOf(tag, "Target");
            if (!type || !target || !type->ends_with(relationship)) continue;
            const std::string part = targetPart(workbook_, *target);
            for (std::size_t i = 0; i < zip_.entries().size(); ++i)
                if (zip_.entries()[i].name == part) leftOut_.push_back({i, part, std::string(relationship)});
        }
    }
    // The workbook's main type becomes this one (when it is one of the workbook's own).
    void setMainType(std::string_view type) { mainType_ = type; }

    bool leftOut(std::size_t entry) const {
        return std::any_of(leftOut_.begin(), leftOut_.end(), [&](const Part& p) { return p.entry == entry; });
    }
    // The entry written again here, or nothing when it stays as it was.
    std::optional<std::string> rewritten(std::size_t entry) const {
        if (entry != relationships_ && entry != types_) return std::nullopt;
        const std::string was = zip_.unpack(zip_.entries()[entry]);
        std::string xml = was;
        for (const Part& p : leftOut_) {
            if (entry == relationships_)
                xml = without(xml, "Relationship", "Type", [&](std::string_view v) { return v.ends_with(p.relationship); });
            else
                xml = without(xml, "Override", "PartName", [&](std::string_view v) { return v == "/" + p.name; });
        }
        if (entry == types_ && !mainType_.empty()) xml = withMainType(xml);
        if (xml == was) return std::nullopt;
        return xml;
    }

private:
    struct Part {
        std::size_t entry;
        std::string name, relationship;
    };
    // The part without the elements (with what they hold) whose attribute matches.
    template <class Match>
    static std::string without(std::string_view xml, std::string_view element, std::string_view attribute, Match match) {
        Rewrite out(xml);
        const std::vector<Token> tokens = tokensOf(xml);
        for (std::size_t i = 0; i < tokens.size(); ++i) {
            const Token& t = tokens[i];
            if (t.kind != Token::Kind::Start || t.name != element) continue;
            auto value = attributeOf(parseStartTag(t.raw), attribute);
            if (!value || !match(*value)) continue;
            std::size_t end = t.offset + t.raw.size();
            for (std::size_t j = i + 1; !t.empty && j < tokens.size(); ++j)
                if (tokens[j].kind == Token::Kind::End && tokens[j].depth == t.depth) {
                    end = tokens[j].offset + tokens[j].raw.size();
                    break;
                }
            out.replace(t.offset, end, "");
        }
        return out.result();
    }
    std::string withMainType(std::string_view xml) const {
        Rewrite out(xml);
        for (const Token& t : tokensOf(xml)) {
            if (t.kind != Token::Kind::Start || t.name != "Override") continue;
            const StartTag tag = parseStartTag(t.raw);
            auto part = attributeOf(tag, "PartName"), type = attributeOf(tag, "ContentType");
            if (part && type && *part == "/" + workbook_ && (*type == kPlainMain || *type == kMacroMain))
                out.replace(t.offset, t.offset + t.raw.size(), rewrittenTag(t.raw, {{"ContentType", std::string(mainType_)}}));
        }
        return out.result();
    }

    const ZipReader& zip_;
    const std::string workbook_;
    std::size_t relationships_ = npos, types_ = npos;
    std::vector<Part> leftOut_;
    std::string_view mainType_;
};

void writeSmall(ZipWriter& zip, const std::string& name, std::string_view text) {
    EntryOut part(zip, name);
    part.write(text);
    part.finish();
}

}  // namespace

void writePatchedXlsx(const Workbook& book, const std::filesystem::path& file, MainType type) {
    const SourcePackage& source = *book.source;
    const ZipReader zip(*source.bytes);
    if (zip.entries().size() != source.entries.size() || source.sheets.size() != book.sheetCount())
        cannotPatch("the workbook no longer matches its package");

    // What changed: sheets with written cells, merges or columns; the workbook part.
    std::vector<bool> sheetChanged(zip.entries().size(), false);
    std::vector<std::size_t> sheetOfEntry(zip.entries().size(), npos);
    bool cellsWritten = false, formulas = false, renamed = false;
    for (std::size_t i = 0; i < source.sheets.size(); ++i) {
        const SheetSource& s = source.sheets[i];
        const Sheet& sheet = book.sheet(i);
        formulas = formulas || s.layout.formulas;
        renamed = renamed || sheet.name() != s.name;
        const bool written = !sheet.editedRows().empty();
        cellsWritten = cellsWritten || written;
        const bool changed = written || !sameMerges(sheet.merges(), s.merges) || !sameColumns(sheet.columns(), s.columns);
        if (!changed) continue;
        if (s.entry == npos) cannotPatch("a sheet without a part of its own was written");
        sheetChanged[s.entry] = true;
        sheetOfEntry[s.entry] = i;
    }
    const bool recalculate = cellsWritten && formulas;
    const bool workbookChanged = renamed || recalculate || book.activeSheet != source.activeSheet;

    PackageEdits package(zip, source);
    if (cellsWritten && formulas && formulaWrittenOver(book)) package.leaveOut("/calcChain");
    // The main type follows the name saved to, as the application's SaveAs does: a workbook
    // saved as .xlsx is no macro-enabled one (its VBA project goes), one saved as .xlsm is
    // (https://learn.microsoft.com/office/vba/api/excel.xlfileformat).
    if (type == MainType::Plain) {
        package.setMainType(kPlainMain);
        package.leaveOut("/vbaProject");
    } else if (type == MainType::MacroEnabled) {
        package.setMainType(kMacroMain);
    }

    StyleMapper styles(source, book);
    ZipWriter out(file);
    for (std::size_t i = 0; i < zip.entries().size(); ++i) {
        const ZipEntry& e = zip.entries()[i];
        if (i == source.styles || package.leftOut(i)) continue;  // styles last: the sheets may add formats to it
        if (auto text = package.rewritten(i)) {
            writeSmall(out, e.name, *text);
        } else if (sheetChanged[i]) {
            writeSheet(zip, book, sheetOfEntry[i], styles, out);
        } else if (i == source.workbook && workbookChanged) {
            writeSmall(out, e.name, patchedWorkbook(zip.unpack(e), book, recalculate));
        } else {
            out.copy(e, zip.packed(e));
        }
    }
    if (source.styles != npos) {
        const ZipEntry& e = zip.entries()[source.styles];
        if (styles.changed()) writeSmall(out, e.name, styles.patched(zip.unpack(e)));
        else out.copy(e, zip.packed(e));
    }
    out.finish();
}

}  // namespace lumo::spreadsheet
