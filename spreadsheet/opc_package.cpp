#include "spreadsheet/opc_package.h"

#include <orcus/zip_archive.hpp>
#include <orcus/zip_archive_stream.hpp>

#include <array>
#include <cstdint>
#include <vector>

namespace lumo::spreadsheet {

namespace {

std::uint32_t crc32(std::string_view data) {
    static const auto table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    std::uint32_t c = 0xFFFFFFFFu;
    for (unsigned char b : data) c = table[(c ^ b) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

void put16(std::string& out, std::uint32_t v) {
    out += static_cast<char>(v & 0xFF);
    out += static_cast<char>((v >> 8) & 0xFF);
}
void put32(std::string& out, std::uint32_t v) {
    put16(out, v & 0xFFFF);
    put16(out, v >> 16);
}

// A zip of stored (uncompressed) entries; the parts are small enough for 32-bit offsets or
// the original could not have been read as one piece either.
std::string storedZip(const std::vector<std::pair<std::string, std::string>>& entries) {
    std::string out, central;
    for (const auto& [name, data] : entries) {
        std::uint32_t offset = static_cast<std::uint32_t>(out.size());
        std::uint32_t crc = crc32(data);
        auto size = static_cast<std::uint32_t>(data.size());
        put32(out, 0x04034b50);
        put16(out, 20), put16(out, 0x0800), put16(out, 0), put16(out, 0), put16(out, 0x21);  // UTF-8 names, stored
        put32(out, crc), put32(out, size), put32(out, size);
        put16(out, static_cast<std::uint32_t>(name.size())), put16(out, 0);
        out += name;
        out += data;
        put32(central, 0x02014b50);
        put16(central, 20), put16(central, 20), put16(central, 0x0800), put16(central, 0), put16(central, 0), put16(central, 0x21);
        put32(central, crc), put32(central, size), put32(central, size);
        put16(central, static_cast<std::uint32_t>(name.size())), put16(central, 0), put16(central, 0);
        put16(central, 0), put16(central, 0), put32(central, 0), put32(central, offset);
        central += name;
    }
    std::uint32_t centralOffset = static_cast<std::uint32_t>(out.size());
    out += central;
    put32(out, 0x06054b50);
    put16(out, 0), put16(out, 0);
    put16(out, static_cast<std::uint32_t>(entries.size())), put16(out, static_cast<std::uint32_t>(entries.size()));
    put32(out, static_cast<std::uint32_t>(central.size())), put32(out, centralOffset);
    put16(out, 0);
    return out;
}

// "xl/_rels/workbook.xml.rels" describes "xl/workbook.xml", whose folder is "xl/".
std::string sourceFolderOf(std::string_view relsName) {
    size_t rels = relsName.rfind("_rels/");
    return std::string(rels == std::string_view::npos ? std::string_view() : relsName.substr(0, rels));
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

namespace {

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

// The texts of the <t> elements of an <is> element, still escaped as in the file.
std::string inlineText(std::string_view is) {
    std::string text;
    for (size_t pos = 0;;) {
        size_t t = is.find("<t", pos);
        if (t == std::string_view::npos) break;
        char after = t + 2 < is.size() ? is[t + 2] : '\0';
        size_t gt = is.find('>', t);
        if (gt == std::string_view::npos) break;
        if (after != '>' && after != ' ') {  // <tag...> other than <t>
            pos = gt + 1;
            continue;
        }
        if (is[gt - 1] == '/') {  // <t/>
            pos = gt + 1;
            continue;
        }
        size_t end = is.find("</t>", gt);
        if (end == std::string_view::npos) break;
        text.append(is.substr(gt + 1, end - gt - 1));
        pos = end + 4;
    }
    return text;
}

// Turns the inline-string cells of a sheet part into shared-string cells, numbering the texts
// from `first` on and adding them to `texts`.
bool sharedInlineStrings(std::string& data, std::size_t first, std::vector<std::string>& texts) {
    static constexpr std::string_view kAttr = "t=\"inlineStr\"";
    std::string out;
    size_t pos = 0;
    for (size_t at; (at = data.find(kAttr, pos)) != std::string::npos;) {
        size_t tagEnd = data.find('>', at);
        if (tagEnd == std::string::npos || data[tagEnd - 1] == '/') break;
        size_t is = data.find("<is", tagEnd), cellEnd = data.find("</c>", tagEnd);
        if (is == std::string::npos || cellEnd == std::string::npos || is > cellEnd) {
            out.append(data, pos, tagEnd + 1 - pos);
            pos = tagEnd + 1;
            continue;
        }
        size_t isEnd = data.find("</is>", is);
        if (isEnd == std::string::npos || isEnd > cellEnd) break;
        out.append(data, pos, at - pos);
        out += "t=\"s\"";
        out.append(data, at + kAttr.size(), is - (at + kAttr.size()));
        out += "<v>" + std::to_string(first + texts.size()) + "</v>";
        texts.push_back(inlineText(std::string_view(data).substr(is, isEnd - is)));
        pos = isEnd + 5;
    }
    if (pos == 0) return false;
    out.append(data, pos);
    data = std::move(out);
    return true;
}

size_t countItems(std::string_view sst) {
    size_t n = 0;
    for (size_t pos = 0; (pos = sst.find("<si", pos)) != std::string_view::npos; pos += 3)
        if (pos + 3 < sst.size() && (sst[pos + 3] == '>' || sst[pos + 3] == ' ' || sst[pos + 3] == '/')) ++n;
    return n;
}

}  // namespace

std::optional<std::string> readablePackage(std::string_view zipBytes) {
    orcus::zip_archive_stream_blob stream(reinterpret_cast<const std::uint8_t*>(zipBytes.data()), zipBytes.size());
    orcus::zip_archive archive(&stream);
    archive.load();
    std::vector<unsigned char> buf;
    // Cheap look first: relationship parts are small, and a package with a shared strings
    // part (every one this engine writes) is taken to use it.
    bool absolute = false, hasSharedStrings = false;
    for (size_t i = 0; i < archive.get_file_entry_count(); ++i) {
        std::string_view name = archive.get_file_entry_name(i);
        if (name == "xl/sharedStrings.xml") hasSharedStrings = true;
        if (!endsWith(name, ".rels")) continue;
        buf.clear();
        if (archive.read_file_entry(name, buf) &&
            std::string_view(reinterpret_cast<const char*>(buf.data()), buf.size()).find("Target=\"/") != std::string_view::npos)
            absolute = true;
    }
    if (!absolute && hasSharedStrings) return std::nullopt;

    std::vector<std::pair<std::string, std::string>> entries;
    bool changed = false;
    for (size_t i = 0; i < archive.get_file_entry_count(); ++i) {
        std::string name(archive.get_file_entry_name(i));
        buf.clear();
        if (!archive.read_file_entry(name, buf)) continue;
        std::string data(buf.begin(), buf.end());
        if (endsWith(name, ".rels")) changed |= relativizeTargets(name, data);
        entries.emplace_back(std::move(name), std::move(data));
    }

    // Inline strings: into the workbook's shared strings part, made when there is none.
    auto find = [&](std::string_view name) -> std::string* {
        for (auto& [n, d] : entries)
            if (n == name) return &d;
        return nullptr;
    };
    std::string* workbookRels = find("xl/_rels/workbook.xml.rels");
    std::string* sst = find("xl/sharedStrings.xml");
    bool sstKnown = workbookRels && workbookRels->find("relationships/sharedStrings\"") != std::string::npos;
    std::vector<std::string> texts;
    size_t first = sst && sstKnown ? countItems(*sst) : 0;
    for (auto& [name, data] : entries)
        if (endsWith(name, ".xml") && name.rfind("xl/worksheets/", 0) == 0) sharedInlineStrings(data, first, texts);
    if (!texts.empty() && workbookRels) {
        std::string items;
        for (const std::string& t : texts) items += "<si><t xml:space=\"preserve\">" + t + "</t></si>";
        if (sst && sstKnown) {
            size_t end = sst->rfind("</sst>");
            if (end == std::string::npos) return std::nullopt;  // not a shared strings part we understand
            sst->insert(end, items);
        } else {
            entries.emplace_back("xl/sharedStrings.xml",
                                 "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
                                 "<sst xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\">" +
                                     items + "</sst>");
            workbookRels = find("xl/_rels/workbook.xml.rels");
            size_t end = workbookRels->rfind("</Relationships>");
            if (end == std::string::npos) return std::nullopt;
            workbookRels->insert(end, "<Relationship Id=\"rIdLumoSharedStrings\" Type=\"http://schemas.openxmlformats.org/"
                                      "officeDocument/2006/relationships/sharedStrings\" Target=\"sharedStrings.xml\"/>");
            if (std::string* types = find("[Content_Types].xml")) {
                size_t typesEnd = types->rfind("</Types>");
                if (typesEnd != std::string::npos && types->find("/xl/sharedStrings.xml") == std::string::npos)
                    types->insert(typesEnd, "<Override PartName=\"/xl/sharedStrings.xml\" ContentType=\"application/"
                                            "vnd.openxmlformats-officedocument.spreadsheetml.sharedStrings+xml\"/>");
            }
        }
        changed = true;
    }
    if (!changed) return std::nullopt;
    return storedZip(entries);
}

}  // namespace lumo::spreadsheet
