#include "spreadsheet/xml_scan.h"

#include <charconv>

namespace lumo::spreadsheet::xml {

std::optional<std::string_view> attribute(std::string_view attrs, std::string_view name) {
    std::optional<std::string_view> found;
    forEachAttribute(attrs, [&](std::string_view n, std::string_view v) {
        if (!found && n == name) found = v;
    });
    return found;
}

void appendUtf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | cp >> 6);
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | cp >> 12);
        out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | cp >> 18);
        out += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

void appendLineEnds(std::string& out, std::string_view raw) {
    for (std::size_t pos = 0; pos < raw.size();) {
        std::size_t cr = raw.find('\r', pos);
        if (cr == std::string_view::npos) {
            out.append(raw.substr(pos));
            return;
        }
        out.append(raw.substr(pos, cr - pos));
        out += '\n';
        pos = cr + 1;
        if (pos < raw.size() && raw[pos] == '\n') ++pos;
    }
}

void appendDecoded(std::string& out, std::string_view raw) {
    for (std::size_t pos = 0; pos < raw.size();) {
        std::size_t amp = raw.find('&', pos);
        if (amp == std::string_view::npos) {
            appendLineEnds(out, raw.substr(pos));
            return;
        }
        appendLineEnds(out, raw.substr(pos, amp - pos));
        std::size_t semi = raw.find(';', amp);
        std::string_view ref = semi == std::string_view::npos ? std::string_view() : raw.substr(amp + 1, semi - amp - 1);
        bool done = true;
        if (ref == "lt") out += '<';
        else if (ref == "gt") out += '>';
        else if (ref == "amp") out += '&';
        else if (ref == "quot") out += '"';
        else if (ref == "apos") out += '\'';
        else if (ref.size() > 1 && ref[0] == '#') {
            bool hex = ref[1] == 'x' || ref[1] == 'X';
            std::string_view digits = ref.substr(hex ? 2 : 1);
            std::uint32_t cp = 0;
            auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), cp, hex ? 16 : 10);
            done = ec == std::errc() && end == digits.data() + digits.size() && !digits.empty() && cp > 0 &&
                   cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF);
            if (done) appendUtf8(out, cp);
        } else {
            done = false;
        }
        if (!done) {
            out += '&';
            pos = amp + 1;
        } else {
            pos = semi + 1;
        }
    }
}

}  // namespace lumo::spreadsheet::xml
