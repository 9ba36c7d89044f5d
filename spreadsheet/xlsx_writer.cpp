#include "spreadsheet/xlsx_writer.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <map>
#include <vector>

#include "spreadsheet/xlsx_zip.h"

namespace lumo::spreadsheet {

namespace {

constexpr std::string_view kDeclaration = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n";
constexpr std::string_view kMainNs = "http://schemas.openxmlformats.org/spreadsheetml/2006/main";
constexpr std::string_view kRelNs = "http://schemas.openxmlformats.org/officeDocument/2006/relationships";

// The most one cell's XML takes besides its value: <c r="XFD1048576" s="4294967295" t="s"><v>
// ... </v></c>. A number takes at most 24 characters; other values are written apart.
constexpr std::size_t kCellRoom = 128;
constexpr std::size_t kBuffer = 256 * 1024;

// The text a cell can hold: 32767 characters as the application counts them (UTF-16 units).
std::string_view cellText(std::string_view s) {
    constexpr std::size_t kMax = 32767;
    if (s.size() <= kMax) return s;
    std::size_t units = 0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        auto c = static_cast<unsigned char>(s[i]);
        if ((c & 0xC0) == 0x80) continue;  // inside a character
        std::size_t add = c >= 0xF0 ? 2 : 1;
        if (units + add > kMax) return s.substr(0, i);
        units += add;
    }
    return s;
}

bool isHex(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'); }

void appendEscape(std::string& out, std::uint32_t code) {
    static const char digits[] = "0123456789ABCDEF";
    out += "_x";
    for (int shift = 12; shift >= 0; shift -= 4) out += digits[(code >> shift) & 0xF];
    out += '_';
}

// The length of the UTF-8 sequence at s[i] and its code point; 0 when it is no valid UTF-8.
std::size_t utf8At(std::string_view s, std::size_t i, std::uint32_t& code) {
    auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[i + k]); };
    unsigned char c = b(0);
    std::size_t n;
    std::uint32_t min;
    if (c < 0x80) return code = c, 1;
    if ((c & 0xE0) == 0xC0) n = 2, code = c & 0x1F, min = 0x80;
    else if ((c & 0xF0) == 0xE0) n = 3, code = c & 0x0F, min = 0x800;
    else if ((c & 0xF8) == 0xF0) n = 4, code = c & 0x07, min = 0x10000;
    else return 0;
    if (i + n > s.size()) return 0;
    for (std::size_t k = 1; k < n; ++k) {
        if ((b(k) & 0xC0) != 0x80) return 0;
        code = code << 6 | (b(k) & 0x3F);
    }
    if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
    return n;
}

// Cell addresses: column letters and row digits.
char* putColumn(char* p, std::int32_t column) {
    char letters[4];
    int n = 0;
    for (std::int32_t c = column; c > 0; c = (c - 1) / 26) letters[n++] = static_cast<char>('A' + (c - 1) % 26);
    while (n) *p++ = letters[--n];
    return p;
}

char* putLiteral(char* p, std::string_view s) {
    std::memcpy(p, s.data(), s.size());
    return p + s.size();
}

template <class T>
char* putNumber(char* p, T v) {
    return std::to_chars(p, p + 32, v).ptr;
}

}  // namespace

const char* alignmentName(HAlign a) {
    switch (a) {
        case HAlign::Left: return "left";
        case HAlign::Center: return "center";
        case HAlign::Right: return "right";
        case HAlign::Fill: return "fill";
        case HAlign::Justify: return "justify";
        case HAlign::CenterAcrossSelection: return "centerContinuous";
        case HAlign::Distributed: return "distributed";
        case HAlign::General: break;
    }
    return nullptr;
}

bool isErrorValue(std::string_view s) {
    for (std::string_view e : {"#NULL!", "#DIV/0!", "#VALUE!", "#REF!", "#NAME?", "#NUM!", "#N/A", "#GETTING_DATA"})
        if (s == e) return true;
    return false;
}

namespace {

// One part of the package, written through a buffer into its zip entry.
class Part {
public:
    Part(ZipWriter& zip, std::string_view name) : zip_(zip), buffer_(kBuffer) {
        zip_.begin(name);
        raw(kDeclaration);
    }

    // Room for n bytes at the returned cursor; hand the cursor back with commit().
    char* room(std::size_t n) {
        if (buffer_.size() - used_ < n) flush();
        return buffer_.data() + used_;
    }
    void commit(char* end) { used_ = static_cast<std::size_t>(end - buffer_.data()); }

    void raw(std::string_view s) {
        if (s.size() > buffer_.size() / 2) {
            flush();
            zip_.write(s);
            return;
        }
        commit(putLiteral(room(s.size()), s));
    }
    void text(std::string_view s) {
        scratch_.clear();
        appendXmlText(scratch_, s);
        raw(scratch_);
    }
    template <class T>
    void number(T v) {
        commit(putNumber(room(32), v));
    }
    void finish() {
        flush();
        zip_.end();
    }

private:
    void flush() {
        zip_.write(buffer_.data(), used_);
        used_ = 0;
    }

    ZipWriter& zip_;
    std::vector<char> buffer_;
    std::size_t used_ = 0;
    std::string scratch_;
};

void writeSheet(ZipWriter& zip, const Sheet& sheet, bool active, const std::string& name) {
    const Workbook& book = sheet.book();
    Part w(zip, name);
    w.raw("<worksheet xmlns=\"");
    w.raw(kMainNs);
    w.raw("\" xmlns:r=\"");
    w.raw(kRelNs);
    w.raw("\">");

    std::int32_t lastRow = sheet.lastRow(), lastColumn = sheet.lastColumn();
    char* p = putLiteral(w.room(64), "<dimension ref=\"A1");
    if (lastRow > 0 && lastColumn > 0 && (lastRow > 1 || lastColumn > 1)) {
        *p++ = ':';
        p = putNumber(putColumn(p, lastColumn), lastRow);
    }
    w.commit(putLiteral(p, "\"/>"));
    w.raw(active ? "<sheetViews><sheetView tabSelected=\"1\" workbookViewId=\"0\"/></sheetViews>"
                 : "<sheetViews><sheetView workbookViewId=\"0\"/></sheetViews>");
    w.raw("<sheetFormatPr defaultRowHeight=\"15\"/>");

    // Columns: runs of equal width and format in one element.
    const std::int32_t defined = sheet.columnsDefined();
    std::vector<std::uint32_t> columnFormat(static_cast<std::size_t>(defined) + 1, 0);
    bool colsOpen = false;
    for (std::int32_t c = 1; c <= defined;) {
        const ColumnInfo& info = sheet.column(c);
        std::int32_t end = c;
        while (end < defined && sheet.column(end + 1).width == info.width && sheet.column(end + 1).format == info.format)
            ++end;
        for (std::int32_t k = c; k <= end; ++k) columnFormat[static_cast<std::size_t>(k)] = info.format;
        if (info.width >= 0 || info.format != 0) {
            if (!colsOpen) w.raw("<cols>"), colsOpen = true;
            // A format alone keeps the standard width, which is no width of its own.
            constexpr double kStandardWidth = 8.43;
            bool custom = info.width >= 0 && info.width != kStandardWidth;
            double width = fileWidthFromCharacters(info.width >= 0 ? info.width : kStandardWidth);
            p = putLiteral(w.room(160), "<col min=\"");
            p = putLiteral(putNumber(p, c), "\" max=\"");
            p = putLiteral(putNumber(p, end), "\" width=\"");
            p = putLiteral(putNumber(p, width), "\"");
            if (info.format) p = putLiteral(putNumber(putLiteral(p, " style=\""), info.format), "\"");
            if (custom) p = putLiteral(p, " customWidth=\"1\"");
            w.commit(putLiteral(p, "/>"));
        }
        c = end + 1;
    }
    if (colsOpen) w.raw("</cols>");

    // The cells, row by row.
    w.raw("<sheetData>");
    char rowDigits[32];
    for (const Row& row : sheet.rows()) {
        const std::size_t rowLength = static_cast<std::size_t>(putNumber(rowDigits, row.index) - rowDigits);
        const std::string_view rowText(rowDigits, rowLength);
        bool rowOpen = false;
        std::int32_t next = 1;  // the column a cell without an address takes
        for (const Cell& cell : row.cells) {
            std::uint32_t xf = cell.format;
            if (xf == 0 && cell.column < columnFormat.size()) xf = columnFormat[cell.column];
            if (cell.kind == CellKind::Empty && xf == 0) continue;  // nothing to keep
            p = w.room(kCellRoom + 32);
            if (!rowOpen) {
                p = putLiteral(putLiteral(putLiteral(p, "<row r=\""), rowText), "\">");
                rowOpen = true;
            }
            // A cell right after the one before needs no address: a third less to write, to
            // pack and to read.
            if (cell.column == next)
                p = putLiteral(p, "<c");
            else
                p = putLiteral(putLiteral(putColumn(putLiteral(p, "<c r=\""), cell.column), rowText), "\"");
            next = cell.column + 1;
            if (xf) p = putLiteral(putNumber(putLiteral(p, " s=\""), xf), "\"");
            switch (cell.kind) {
                case CellKind::Empty: p = putLiteral(p, "/>"); break;
                case CellKind::Number:
                    if (std::isfinite(cell.number))
                        p = putLiteral(putNumber(putLiteral(p, "><v>"), cell.number), "</v></c>");
                    else
                        p = putLiteral(p, " t=\"e\"><v>#NUM!</v></c>");
                    break;
                case CellKind::Boolean: p = putLiteral(p, cell.boolean ? " t=\"b\"><v>1</v></c>" : " t=\"b\"><v>0</v></c>"); break;
                case CellKind::Error:
                    if (std::string_view error = book.string(cell.text); isErrorValue(error)) {
                        p = putLiteral(putLiteral(putLiteral(p, " t=\"e\"><v>"), error), "</v></c>");
                        break;
                    }
                    [[fallthrough]];
                case CellKind::Text:
                    // Shared strings are the workbook's own texts, in their order.
                    p = putLiteral(putNumber(putLiteral(p, " t=\"s\"><v>"), cell.text), "</v></c>");
                    break;
            }
            w.commit(p);
        }
        if (rowOpen) w.raw("</row>");
    }
    w.raw("</sheetData>");

    std::size_t merges = 0;
    for (const Rect& m : sheet.merges()) merges += m.area() > 1;
    if (merges) {
        p = putLiteral(w.room(64), "<mergeCells count=\"");
        w.commit(putLiteral(putNumber(p, merges), "\">"));
        for (const Rect& m : sheet.merges()) {
            if (m.area() <= 1) continue;
            p = putLiteral(w.room(64), "<mergeCell ref=\"");
            p = putNumber(putColumn(p, m.left), m.top);
            *p++ = ':';
            p = putNumber(putColumn(p, m.right), m.bottom);
            w.commit(putLiteral(p, "\"/>"));
        }
        w.raw("</mergeCells>");
    }
    w.raw("<pageMargins left=\"0.7\" right=\"0.7\" top=\"0.75\" bottom=\"0.75\" header=\"0.3\" footer=\"0.3\"/>");
    w.raw("</worksheet>");
    w.finish();
}

void writeSharedStrings(ZipWriter& zip, const Workbook& book) {
    Part w(zip, "xl/sharedStrings.xml");
    w.raw("<sst xmlns=\"");
    w.raw(kMainNs);
    w.raw("\" uniqueCount=\"");
    w.number(book.stringCount());
    w.raw("\">");
    for (std::size_t i = 0; i < book.stringCount(); ++i) {
        std::string_view s = cellText(book.string(static_cast<std::uint32_t>(i)));
        // Blanks at either end and line breaks are kept only when said so.
        bool preserve = !s.empty() && (s.front() == ' ' || s.back() == ' ' || s.find_first_of("\t\n") != std::string_view::npos);
        w.raw(preserve ? "<si><t xml:space=\"preserve\">" : "<si><t>");
        w.text(s);
        w.raw("</t></si>");
    }
    w.raw("</sst>");
    w.finish();
}

void writeStyles(ZipWriter& zip, const Workbook& book) {
    // Format codes other than "General" get ids from 164 on, where the custom ones begin.
    std::map<std::string, std::uint32_t> codeIds;
    for (std::size_t i = 0; i < book.formatCount(); ++i) {
        const std::string& code = book.format(static_cast<std::uint32_t>(i)).numberFormat;
        if (code != "General") codeIds.emplace(code, 0);
    }
    std::uint32_t next = 164;
    for (auto& [code, id] : codeIds) id = next++;

    std::string s;
    s += "<styleSheet xmlns=\"";
    s += kMainNs;
    s += "\">";
    if (!codeIds.empty()) {
        s += "<numFmts count=\"" + std::to_string(codeIds.size()) + "\">";
        for (const auto& [code, id] : codeIds) {
            s += "<numFmt numFmtId=\"" + std::to_string(id) + "\" formatCode=\"";
            appendXmlText(s, code);
            s += "\"/>";
        }
        s += "</numFmts>";
    }
    s += "<fonts count=\"1\"><font><sz val=\"11\"/><name val=\"Calibri\"/><family val=\"2\"/>"
         "</font></fonts>"
         "<fills count=\"2\"><fill><patternFill patternType=\"none\"/></fill>"
         "<fill><patternFill patternType=\"gray125\"/></fill></fills>"
         "<borders count=\"1\"><border><left/><right/><top/><bottom/><diagonal/></border></borders>"
         "<cellStyleXfs count=\"1\"><xf numFmtId=\"0\" fontId=\"0\" fillId=\"0\" borderId=\"0\"/></cellStyleXfs>";
    // Cell format i of the workbook is cell format i of the file.
    s += "<cellXfs count=\"" + std::to_string(book.formatCount()) + "\">";
    for (std::size_t i = 0; i < book.formatCount(); ++i) {
        const CellFormat& f = book.format(static_cast<std::uint32_t>(i));
        std::uint32_t id = f.numberFormat == "General" ? 0 : codeIds[f.numberFormat];
        s += "<xf numFmtId=\"" + std::to_string(id) + "\" fontId=\"0\" fillId=\"0\" borderId=\"0\" xfId=\"0\"";
        if (id) s += " applyNumberFormat=\"1\"";
        if (const char* align = alignmentName(f.align))
            s += std::string(" applyAlignment=\"1\"><alignment horizontal=\"") + align + "\"/></xf>";
        else
            s += "/>";
    }
    s += "</cellXfs>"
         "<cellStyles count=\"1\"><cellStyle name=\"Normal\" xfId=\"0\" builtinId=\"0\"/></cellStyles>"
         "<dxfs count=\"0\"/><tableStyles count=\"0\" defaultTableStyle=\"TableStyleMedium9\" "
         "defaultPivotStyle=\"PivotStyleLight16\"/></styleSheet>";
    Part w(zip, "xl/styles.xml");
    w.raw(s);
    w.finish();
}

void writeSmallPart(ZipWriter& zip, std::string_view name, const std::string& body) {
    Part w(zip, name);
    w.raw(body);
    w.finish();
}

}  // namespace

void appendXmlText(std::string& out, std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        char c = text[i];
        switch (c) {
            case '&': out += "&amp;"; ++i; continue;
            case '<': out += "&lt;"; ++i; continue;
            case '>': out += "&gt;"; ++i; continue;
            case '"': out += "&quot;"; ++i; continue;
            case '\t':
            case '\n': out += c; ++i; continue;
            case '_':
                // "_x0041_" would read as 'A': its '_' is written as _x005F_.
                if (i + 6 < text.size() && text[i + 1] == 'x' && isHex(text[i + 2]) && isHex(text[i + 3]) &&
                    isHex(text[i + 4]) && isHex(text[i + 5]) && text[i + 6] == '_')
                    appendEscape(out, '_');
                else
                    out += c;
                ++i;
                continue;
            default: break;
        }
        std::uint32_t code;
        std::size_t n = utf8At(text, i, code);
        if (n == 0) {
            out += "\xEF\xBF\xBD";  // U+FFFD for a byte that is no UTF-8
            ++i;
        } else if (code < 0x20 || code == 0xFFFE || code == 0xFFFF) {
            appendEscape(out, code);  // \r too, which XML readers turn into \n
            i += n;
        } else {
            out.append(text.substr(i, n));
            i += n;
        }
    }
}

double fileWidthFromCharacters(double characters) {
    constexpr double kDigit = 7, kPadding = 5;
    if (!(characters > 0)) return 0;
    double pixels = characters < 1 ? std::floor(characters * (kDigit + kPadding) + 0.5)
                                   : std::floor(characters * kDigit + 0.5) + kPadding;
    return std::floor(pixels / kDigit * 256.0) / 256.0;
}

void writeXlsx(const Workbook& book, const std::filesystem::path& file) {
    ZipWriter zip(file);
    const std::size_t sheets = book.sheetCount();

    std::string types =
        "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
        "<Default Extension=\"rels\" ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
        "<Default Extension=\"xml\" ContentType=\"application/xml\"/>"
        "<Override PartName=\"/xl/workbook.xml\" "
        "ContentType=\"application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml\"/>";
    for (std::size_t i = 1; i <= sheets; ++i)
        types += "<Override PartName=\"/xl/worksheets/sheet" + std::to_string(i) +
                 ".xml\" ContentType=\"application/vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml\"/>";
    types +=
        "<Override PartName=\"/xl/styles.xml\" "
        "ContentType=\"application/vnd.openxmlformats-officedocument.spreadsheetml.styles+xml\"/>"
        "<Override PartName=\"/xl/sharedStrings.xml\" "
        "ContentType=\"application/vnd.openxmlformats-officedocument.spreadsheetml.sharedStrings+xml\"/>"
        "</Types>";
    writeSmallPart(zip, "[Content_Types].xml", types);

    writeSmallPart(zip, "_rels/.rels",
                   "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
                   "<Relationship Id=\"rId1\" "
                   "Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument\" "
                   "Target=\"xl/workbook.xml\"/></Relationships>");

    std::string wb = "<workbook xmlns=\"" + std::string(kMainNs) + "\" xmlns:r=\"" + std::string(kRelNs) + "\">";
    std::size_t active = book.activeSheet < sheets ? book.activeSheet : 0;
    wb += active ? "<bookViews><workbookView activeTab=\"" + std::to_string(active) + "\"/></bookViews>"
                 : "<bookViews><workbookView/></bookViews>";
    wb += "<sheets>";
    for (std::size_t i = 1; i <= sheets; ++i) {
        wb += "<sheet name=\"";
        appendXmlText(wb, book.sheet(i - 1).name());
        wb += "\" sheetId=\"" + std::to_string(i) + "\" r:id=\"rId" + std::to_string(i) + "\"/>";
    }
    wb += "</sheets></workbook>";
    writeSmallPart(zip, "xl/workbook.xml", wb);

    std::string rels = "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">";
    const std::string relType = std::string(kRelNs) + "/";
    for (std::size_t i = 1; i <= sheets; ++i)
        rels += "<Relationship Id=\"rId" + std::to_string(i) + "\" Type=\"" + relType + "worksheet\" Target=\"worksheets/sheet" +
                std::to_string(i) + ".xml\"/>";
    rels += "<Relationship Id=\"rId" + std::to_string(sheets + 1) + "\" Type=\"" + relType + "styles\" Target=\"styles.xml\"/>";
    rels += "<Relationship Id=\"rId" + std::to_string(sheets + 2) + "\" Type=\"" + relType +
            "sharedStrings\" Target=\"sharedStrings.xml\"/>";
    rels += "</Relationships>";
    writeSmallPart(zip, "xl/_rels/workbook.xml.rels", rels);

    writeStyles(zip, book);
    writeSharedStrings(zip, book);
    for (std::size_t i = 0; i < sheets; ++i)
        writeSheet(zip, book.sheet(i), i == active, "xl/worksheets/sheet" + std::to_string(i + 1) + ".xml");
    zip.finish();
}

}  // namespace lumo::spreadsheet
