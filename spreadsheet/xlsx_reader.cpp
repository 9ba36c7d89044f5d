#include "spreadsheet/xlsx_reader.h"

#include <charconv>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>

#include "automation/automation.h"
#include "spreadsheet/cell_text.h"
#include "spreadsheet/workbook_files.h"
#include "spreadsheet/xlsx_package.h"
#include "spreadsheet/worksheet_cells.h"
#include "spreadsheet/xml_scan.h"
#include "spreadsheet/zip_archive.h"

namespace lumo::spreadsheet {

namespace {

using xml::attribute;
using xml::forEachStartTag;
using xml::parseInteger;

[[noreturn]] void notAWorkbook() { throw std::runtime_error("not a workbook"); }

// An attribute's value with its references resolved.
std::optional<std::string> decodedAttribute(std::string_view attrs, std::string_view name) {
    auto raw = attribute(attrs, name);
    if (!raw) return std::nullopt;
    std::string value;
    xml::appendDecoded(value, *raw);
    return value;
}

char lowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

// Part names as a zip holds them; part names compare without regard to case, and targets
// may escape characters (%20).
class Parts {
public:
    explicit Parts(const ZipReader& zip) : zip_(zip) {
        for (std::size_t i = 0; i < zip.entries().size(); ++i) byName_.emplace(zip.entries()[i].name, i);
    }

    const ZipEntry* find(const std::string& name) const {
        if (auto it = byName_.find(name); it != byName_.end()) return &zip_.entries()[it->second];
        if (byFoldedName_.empty())
            for (std::size_t i = 0; i < zip_.entries().size(); ++i) byFoldedName_.emplace(folded(zip_.entries()[i].name), i);
        auto it = byFoldedName_.find(folded(unescaped(name)));
        return it != byFoldedName_.end() ? &zip_.entries()[it->second] : nullptr;
    }
    // The whole part, or nothing when the package has no such part.
    std::optional<std::string> unpack(const std::string& name) {
        const ZipEntry* e = find(name);
        if (!e) return std::nullopt;
        spend(*e);
        return zip_.unpack(*e);
    }
    // Counts a part against the bytes a workbook may unpack: a package of a few megabytes
    // can claim gigabytes, and is refused before they are unpacked.
    void spend(const ZipEntry& e) {
        if (e.size > left_) throw WorkbookTooLarge("the parts to read unpack to more than the engine reads");
        left_ -= e.size;
    }
    std::size_t indexOf(const ZipEntry& e) const { return static_cast<std::size_t>(&e - zip_.entries().data()); }

private:
    static std::string unescaped(std::string_view s) {
        std::string out;
        for (std::size_t i = 0; i < s.size(); ++i) {
            unsigned value = 0;
            if (s[i] == '%' && i + 2 < s.size() &&
                std::from_chars(s.data() + i + 1, s.data() + i + 3, value, 16).ptr == s.data() + i + 3) {
                out += static_cast<char>(value);
                i += 2;
            } else {
                out += s[i];
            }
        }
        return out;
    }
    static std::string folded(std::string_view s) {
        std::string out(s);
        for (char& c : out) c = lowerAscii(c);
        return out;
    }

    const ZipReader& zip_;
    std::map<std::string, std::size_t, std::less<>> byName_;
    mutable std::map<std::string, std::size_t, std::less<>> byFoldedName_;  // made when first needed
    std::uint64_t left_ = kMaxUnpackedBytes;
};

struct Relationship {
    std::string type, part;
};

// The relationships of a part (from "<folder>/_rels/<name>.rels"), by their ids; external
// targets are left out.
std::map<std::string, Relationship, std::less<>> relationshipsOf(Parts& parts, std::string_view sourcePart) {
    std::size_t slash = sourcePart.rfind('/');
    std::string folder(slash == std::string_view::npos ? std::string_view() : sourcePart.substr(0, slash + 1));
    std::string name(slash == std::string_view::npos ? sourcePart : sourcePart.substr(slash + 1));
    std::map<std::string, Relationship, std::less<>> out;
    std::optional<std::string> xml = parts.unpack(folder + "_rels/" + name + ".rels");
    if (!xml) return out;
    forEachStartTag(*xml, [&](std::string_view tag, std::string_view attrs) {
        if (tag != "Relationship") return true;
        auto id = decodedAttribute(attrs, "Id"), type = decodedAttribute(attrs, "Type");
        auto target = decodedAttribute(attrs, "Target");
        auto mode = attribute(attrs, "TargetMode");
        if (id && type && target && !(mode && *mode == "External"))
            out.emplace(std::move(*id), Relationship{std::move(*type), targetPart(sourcePart, *target)});
        return true;
    });
    return out;
}

// The part of the first relationship of that kind (the end of its type: "/styles").
const Relationship* relationshipOfType(const std::map<std::string, Relationship, std::less<>>& rels, std::string_view kind) {
    for (const auto& [id, rel] : rels)
        if (std::string_view(rel.type).ends_with(kind)) return &rel;
    return nullptr;
}

HAlign alignmentOf(std::string_view name) {
    if (name == "left") return HAlign::Left;
    if (name == "center") return HAlign::Center;
    if (name == "right") return HAlign::Right;
    if (name == "fill") return HAlign::Fill;
    if (name == "justify") return HAlign::Justify;
    if (name == "centerContinuous") return HAlign::CenterAcrossSelection;
    if (name == "distributed") return HAlign::Distributed;
    return HAlign::General;
}

// <numFmts> and <cellXfs> of a styles part; the formats of <cellStyleXfs> and <dxfs> are not
// those of cells.
class StylesReader {
public:
    std::map<std::size_t, std::string> codes;  // number format codes by id
    struct Xf {
        std::size_t numberFormat = 0;
        HAlign align = HAlign::General;
    };
    std::vector<Xf> xfs;

    void start(std::string_view name, std::string_view attrs, bool empty, std::string_view) {
        if (name == "numFmts" || name == "cellXfs") {
            (name == "numFmts" ? inNumFmts_ : inCellXfs_) = !empty;
        } else if (inNumFmts_ && name == "numFmt") {
            std::size_t id = 0;
            auto idText = attribute(attrs, "numFmtId");
            auto code = decodedAttribute(attrs, "formatCode");
            if (idText && parseInteger(*idText, id) && code) codes[id] = standardFormatCode(*code);
        } else if (inCellXfs_ && name == "xf") {
            xf_ = Xf{};
            if (auto id = attribute(attrs, "numFmtId"); id && !parseInteger(*id, xf_.numberFormat)) xf_.numberFormat = 0;
            if (empty) xfs.push_back(xf_);
            else inXf_ = true;
        } else if (inXf_ && name == "alignment") {
            if (auto h = attribute(attrs, "horizontal")) xf_.align = alignmentOf(xml::trimmed(*h));
        }
    }
    void end(std::string_view name, std::string_view) {
        if (name == "numFmts") inNumFmts_ = false;
        else if (name == "cellXfs") inCellXfs_ = false;
        else if (name == "xf" && inXf_) xfs.push_back(xf_), inXf_ = false;
    }
    void text(std::string_view, bool, std::string_view) {}
    void other(std::string_view) {}

private:
    bool inNumFmts_ = false, inCellXfs_ = false, inXf_ = false;
    Xf xf_;
};

struct SheetEntry {
    std::string name, relationship;
};

char lowerOf(char c) { return lowerAscii(c); }

bool endsWithFolded(std::string_view s, std::string_view tail) {
    if (s.size() < tail.size()) return false;
    for (std::size_t i = 0; i < tail.size(); ++i)
        if (lowerOf(s[s.size() - tail.size() + i]) != tail[i]) return false;
    return true;
}

}  // namespace

const char* builtinNumberFormat(std::size_t id) {
    switch (id) {
        case 0: return "General";
        case 1: return "0";
        case 2: return "0.00";
        case 3: return "#,##0";
        case 4: return "#,##0.00";
        case 9: return "0%";
        case 10: return "0.00%";
        case 11: return "0.00E+00";
        case 12: return "# ?/?";
        case 13: return "# ?""?/?""?";
        case 14: return "dd.mm.yyyy";
        case 15: return "d-mmm-yy";
        case 16: return "d-mmm";
        case 17: return "mmm-yy";
        case 18: return "h:mm AM/PM";
        case 19: return "h:mm:ss AM/PM";
        case 20: return "h:mm";
        case 21: return "h:mm:ss";
        case 22: return "dd.mm.yyyy h:mm";
        case 37: return "#,##0 ;(#,##0)";
        case 38: return "#,##0 ;[Red](#,##0)";
        case 39: return "#,##0.00;(#,##0.00)";
        case 40: return "#,##0.00;[Red](#,##0.00)";
        case 45: return "mm:ss";
        case 46: return "[h]:mm:ss";
        case 47: return "mmss.0";
        case 48: return "##0.0E+0";
        case 49: return "@";
        default: return "General";
    }
}

std::string targetPart(std::string_view sourcePart, std::string_view target) {
    std::string joined;
    if (!target.empty() && target.front() == '/') {
        joined = target;
    } else {
        std::size_t slash = sourcePart.rfind('/');
        if (slash != std::string_view::npos) joined = sourcePart.substr(0, slash + 1);
        joined += target;
    }
    std::vector<std::string_view> steps;
    std::string_view path = joined;
    for (std::size_t start = 0; start < path.size();) {
        std::size_t slash = std::min(path.find('/', start), path.size());
        std::string_view step = path.substr(start, slash - start);
        if (step == "..") {
            if (!steps.empty()) steps.pop_back();
        } else if (!step.empty() && step != ".") {
            steps.push_back(step);
        }
        start = slash + 1;
    }
    std::string out;
    for (std::string_view step : steps) (out += out.empty() ? "" : "/") += step;
    return out;
}

std::vector<std::uint32_t> readCellFormats(std::string_view stylesXml, Workbook& book) {
    StylesReader styles;
    xml::scanXml(stylesXml, true, styles);
    std::map<std::pair<std::size_t, HAlign>, std::uint32_t> known;
    std::vector<std::uint32_t> formats;
    formats.reserve(styles.xfs.size());
    for (const StylesReader::Xf& xf : styles.xfs) {
        auto [it, added] = known.emplace(std::pair(xf.numberFormat, xf.align), 0);
        if (added) {
            auto code = styles.codes.find(xf.numberFormat);
            it->second = book.internFormat(
                CellFormat{code != styles.codes.end() ? code->second : builtinNumberFormat(xf.numberFormat), xf.align});
        }
        formats.push_back(it->second);
    }
    return formats;
}

bool isOpenDocumentSpreadsheet(const ZipReader& zip) {
    constexpr std::string_view kType = "application/vnd.oasis.opendocument.spreadsheet";
    for (const ZipEntry& e : zip.entries())
        if (e.name == "mimetype") return e.size <= 256 && zip.unpack(e).starts_with(kType);
    return false;
}

std::shared_ptr<Workbook> readXlsx(const ZipReader& zip, std::shared_ptr<const std::string> bytes) {
    Parts parts(zip);
    if (!parts.find("[Content_Types].xml")) notAWorkbook();
    // The workbook part: the package's main document, or where it usually is.
    std::string workbookPart = "xl/workbook.xml";
    const auto packageRels = relationshipsOf(parts, "");
    if (const Relationship* main = relationshipOfType(packageRels, "/officeDocument"); main && parts.find(main->part))
        workbookPart = main->part;
    // A binary workbook (.xlsb) has the same package around parts of another kind.
    if (endsWithFolded(workbookPart, ".bin"))
        throw automation::Error(automation::code::FormatNotOpenable, "a binary workbook (.xlsb)");
    const ZipEntry* workbookEntry = parts.find(workbookPart);
    std::optional<std::string> workbookXml = parts.unpack(workbookPart);
    if (!workbookXml || !workbookEntry) notAWorkbook();

    auto book = std::make_shared<Workbook>();
    std::vector<SheetEntry> sheetEntries;
    std::optional<std::size_t> activeTab;
    forEachStartTag(*workbookXml, [&](std::string_view tag, std::string_view attrs) {
        if (tag == "sheet") {
            SheetEntry s{decodedAttribute(attrs, "name").value_or(""), decodedAttribute(attrs, "id").value_or("")};
            // Every sheet has a name; one the file left empty gets the usual one.
            if (s.name.empty()) s.name = "Лист" + std::to_string(sheetEntries.size() + 1);
            sheetEntries.push_back(std::move(s));
        } else if (tag == "workbookView" && !activeTab) {
            std::size_t tab = 0;
            auto text = attribute(attrs, "activeTab");
            activeTab = text && parseInteger(*text, tab) ? tab : 0;
        } else if (tag == "workbookPr") {
            auto v = attribute(attrs, "date1904");
            book->date1904 = v && (xml::trimmed(*v) == "1" || xml::trimmed(*v) == "true");
        }
        return true;
    });
    const auto rels = relationshipsOf(parts, workbookPart);
    auto partOf = [&](const Relationship* rel) { return rel ? parts.find(rel->part) : nullptr; };
    const ZipEntry* styles = partOf(relationshipOfType(rels, "/styles"));
    const ZipEntry* strings = partOf(relationshipOfType(rels, "/sharedStrings"));

    // The worksheets among the sheets: chart sheets, dialog and macro sheets stay in the file
    // and are not the application's Worksheets (Workbook.Worksheets, "does not return macro
    // sheets, charts, or dialog sheets",
    // https://learn.microsoft.com/dotnet/api/microsoft.office.tools.excel.workbookbase.worksheets).
    auto source = std::make_shared<SourcePackage>();
    source->bytes = std::move(bytes);
    source->entries = zip.entries();
    source->workbook = parts.indexOf(*workbookEntry);
    if (styles) source->styles = parts.indexOf(*styles);
    std::vector<const ZipEntry*> sheetParts;
    std::vector<std::string> names;
    std::set<const ZipEntry*> seen;
    for (std::size_t i = 0; i < sheetEntries.size(); ++i) {
        auto rel = rels.find(sheetEntries[i].relationship);
        const Relationship* r = rel != rels.end() ? &rel->second : nullptr;
        if (r && !r->type.ends_with("/worksheet")) continue;
        const ZipEntry* part = partOf(r);
        // One part is one sheet: a part that several sheets name would be read, held and
        // written once for each of them.
        if (part && !seen.insert(part).second) throw std::runtime_error("damaged package: a sheet part named by two sheets");
        SheetSource sheet;
        sheet.position = i;
        if (part) sheet.entry = parts.indexOf(*part);
        sheet.name = sheetEntries[i].name;
        if (activeTab && *activeTab == i) source->activeSheet = source->sheets.size();
        source->sheets.push_back(std::move(sheet));
        sheetParts.push_back(part);
        names.push_back(std::move(sheetEntries[i].name));
    }
    // Everything to be unpacked counts against the budget before any of it is.
    for (const ZipEntry* e : sheetParts)
        if (e) parts.spend(*e);
    for (const ZipEntry* e : {styles, strings})
        if (e) parts.spend(*e);

    std::int64_t cellsLeft = kMaxWorkbookCells;
    WorksheetTables tables;
    tables.cellsLeft = &cellsLeft;
    if (styles) tables.formats = readCellFormats(zip.unpack(*styles), *book);
    if (strings) tables.strings = readSharedStrings(zip.unpack(*strings), *book);
    source->formats = tables.formats;

    for (std::size_t i = 0; i < names.size(); ++i) {
        Sheet& sheet = book->addSheet(std::move(names[i]));
        if (!sheetParts[i]) continue;
        WorksheetCells cells;
        readWorksheet(zip, *sheetParts[i], tables, *book, cells);
        SheetSource& from = source->sheets[i];
        from.layout = std::move(cells.layout);
        adoptWorksheet(sheet, std::move(cells));
        from.merges = sheet.merges();
        from.columns = sheet.columns();
    }
    if (book->sheetCount() > 0 && source->activeSheet < book->sheetCount()) book->activeSheet = source->activeSheet;
    else source->activeSheet = 0;
    book->source = std::move(source);
    return book;
}

}  // namespace lumo::spreadsheet
