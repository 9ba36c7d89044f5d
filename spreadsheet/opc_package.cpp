#include "spreadsheet/opc_package.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "spreadsheet/worksheet_cells.h"
#include "spreadsheet/xml_scan.h"
#include "spreadsheet/zip_archive.h"

namespace lumo::spreadsheet {

namespace {

// "xl/_rels/workbook.xml.rels" describes "xl/workbook.xml", whose folder is "xl/".
std::string sourceFolderOf(std::string_view relsName) {
    size_t rels = relsName.rfind("_rels/");
    return std::string(rels == std::string_view::npos ? std::string_view() : relsName.substr(0, rels));
}

bool endsWith(std::string_view s, std::string_view tail) {
    return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

// Makes every absolute Target of a relationships part relative to its source folder.
bool relativizeTargets(const std::string& relsName, std::string& data) {
    std::string folder = sourceFolderOf(relsName), fixed;
    size_t pos = 0;
    for (size_t at; (at = data.find("Target=\"/", pos)) != std::string::npos;) {
        size_t start = at + 8, end = data.find('"', start);
        if (end == std::string::npos) break;
        fixed.append(data, pos, start - pos);
        fixed += relativeTarget(folder, std::string_view(data).substr(start, end - start));
        pos = end;
    }
    if (pos == 0) return false;
    fixed.append(data, pos);
    data = std::move(fixed);
    return true;
}

using xml::attribute;
using xml::forEachStartTag;

std::optional<std::int64_t> integerAttribute(std::string_view attrs, std::string_view name) {
    auto text = attribute(attrs, name);
    std::int64_t v = 0;
    if (!text || text->empty()) return std::nullopt;
    auto [end, ec] = std::from_chars(text->data(), text->data() + text->size(), v);
    if (ec != std::errc() || end != text->data() + text->size()) return std::nullopt;
    return v;
}

// A target relative to a folder as a part name: ("xl/", "worksheets/../s.xml") gives "xl/s.xml".
std::string partName(std::string_view folder, std::string_view target) {
    std::vector<std::string_view> parts;
    std::string joined = std::string(folder) + std::string(target);
    std::string_view path = joined;
    for (size_t start = 0; start < path.size();) {
        size_t slash = std::min(path.find('/', start), path.size());
        std::string_view part = path.substr(start, slash - start);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        start = slash + 1;
    }
    std::string out;
    for (std::string_view part : parts) out += (out.empty() ? "" : "/") + std::string(part);
    return out;
}

// The sheet parts of a workbook in the order of its sheets, by its <sheet> elements and
// the targets of their relationships.
std::vector<std::string> sheetParts(std::string_view workbookXml, std::string_view workbookRels) {
    std::map<std::string_view, std::string_view> targets;
    forEachStartTag(workbookRels, [&](std::string_view name, std::string_view attrs) {
        auto id = attribute(attrs, "Id"), target = attribute(attrs, "Target");
        if (name == "Relationship" && id && target) targets.emplace(*id, *target);
        return true;
    });
    std::vector<std::string> parts;
    forEachStartTag(workbookXml, [&](std::string_view name, std::string_view attrs) {
        if (name == "sheet") {
            auto id = attribute(attrs, "id");
            auto target = id ? targets.find(*id) : targets.end();
            parts.push_back(target == targets.end() ? std::string() : partName("xl/", target->second));
        }
        return true;
    });
    return parts;
}

bool deferred(std::string_view name) {
    return endsWith(name, ".rels") || name == "[Content_Types].xml" || name == "xl/sharedStrings.xml" ||
           name == "xl/workbook.xml";
}

}  // namespace

std::string relativeTarget(std::string_view sourceFolder, std::string_view target) {
    while (!target.empty() && target.front() == '/') target.remove_prefix(1);
    auto split = [](std::string_view s) {
        std::vector<std::string_view> parts;
        for (size_t start = 0; start < s.size();) {
            size_t slash = s.find('/', start);
            if (slash == std::string_view::npos) slash = s.size();
            if (slash > start) parts.push_back(s.substr(start, slash - start));
            start = slash + 1;
        }
        return parts;
    };
    auto from = split(sourceFolder), to = split(target);
    size_t common = 0;
    while (common < from.size() && common + 1 < to.size() && from[common] == to[common]) ++common;
    std::string out;
    for (size_t i = common; i < from.size(); ++i) out += "../";
    for (size_t i = common; i < to.size(); ++i) {
        out += to[i];
        if (i + 1 < to.size()) out += '/';
    }
    return out;
}

std::vector<ColumnStyle> columnStylesOf(std::string_view sheetXml) {
    // A sheet has 16384 columns: more elements than that is no sheet to honour.
    constexpr std::size_t kMaxElements = 16384;
    std::vector<ColumnStyle> styles;
    std::size_t elements = 0;
    forEachStartTag(sheetXml, [&](std::string_view name, std::string_view attrs) {
        if (name == "sheetData") return false;  // the columns come before the cells
        if (name != "col") return true;
        auto first = integerAttribute(attrs, "min"), last = integerAttribute(attrs, "max");
        auto xf = integerAttribute(attrs, "style");
        if (first && last && xf && *first >= 1 && *last >= *first && *xf > 0 && *xf <= UINT32_MAX)
            styles.push_back({*first, *last, static_cast<std::uint32_t>(*xf)});
        return ++elements < kMaxElements;
    });
    return styles;
}

UnpackedPackage unpackedPackage(std::string_view bytes, Workbook& book) {
    const ZipReader zip(bytes);
    const std::vector<ZipEntry>& entries = zip.entries();
    // Small parts that may change with the rest come first and go out last.
    std::vector<std::pair<std::string, std::string>> small;
    for (const ZipEntry& e : entries)
        if (deferred(e.name)) small.emplace_back(e.name, zip.unpack(e));
    auto find = [&](std::string_view name) -> std::string* {
        for (auto& [n, d] : small)
            if (n == name) return &d;
        return nullptr;
    };
    for (auto& [name, data] : small)
        if (endsWith(name, ".rels")) relativizeTargets(name, data);

    std::string* workbookRels = find("xl/_rels/workbook.xml.rels");
    std::string* sst = find("xl/sharedStrings.xml");
    const std::string* workbook = find("xl/workbook.xml");
    std::vector<std::string> sheets;
    if (workbook && workbookRels) sheets = sheetParts(*workbook, *workbookRels);
    std::map<std::string, std::vector<std::size_t>, std::less<>> sheetsOfPart;
    for (std::size_t i = 0; i < sheets.size(); ++i) sheetsOfPart[sheets[i]].push_back(i);

    UnpackedPackage package;
    package.columnStyles.resize(sheets.size());
    package.cells.resize(sheets.size());
    // The engine reads the shared strings and the sheets' cells itself; orcus gets the rest.
    std::vector<std::uint32_t> strings;
    if (sst && workbookRels && workbookRels->find("relationships/sharedStrings\"") != std::string::npos) {
        strings = readSharedStrings(*sst, book);
        *sst = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
               "<sst xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" count=\"0\" uniqueCount=\"0\"/>";
    }

    std::size_t expected = 22;
    for (const ZipEntry& e : entries)
        expected += (sheetsOfPart.count(e.name) ? 0 : e.size) + 2 * e.name.size() + 80;
    StoredZip out(expected + 4096);
    for (const ZipEntry& e : entries) {
        if (deferred(e.name)) continue;
        if (auto of = sheetsOfPart.find(e.name); of != sheetsOfPart.end()) {
            const std::vector<std::size_t>& indexes = of->second;
            std::string rest = readWorksheet(zip, e, strings, book, package.cells[indexes[0]]);
            for (std::size_t i : indexes) {
                package.columnStyles[i] = columnStylesOf(rest);
                if (i != indexes[0]) package.cells[i] = package.cells[indexes[0]];
            }
            out.add(e.name, rest);
            continue;
        }
        char* data = out.begin(e.name, e.size);
        zip.unpackInto(e, data);
        out.end(e.crc);
    }
    for (const auto& [name, data] : small) out.add(name, data);
    auto [data, size] = out.finish();
    package.data = std::move(data);
    package.size = size;
    return package;
}

}  // namespace lumo::spreadsheet
