#pragma once
// The XML of package parts, read without a parser library: a tokenizer that steps through a
// part (or the part's pieces as they are unpacked) and hands tags and text to a handler,
// attributes by their local names, and character data with its references resolved.

#include <charconv>
#include <cstdint>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace lumo::spreadsheet::xml {

inline bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

inline std::string_view trimmed(std::string_view s) {
    while (!s.empty() && isSpace(s.front())) s.remove_prefix(1);
    while (!s.empty() && isSpace(s.back())) s.remove_suffix(1);
    return s;
}

inline std::string_view localName(std::string_view name) {
    const void* colon = std::memchr(name.data(), ':', name.size());
    return colon ? name.substr(static_cast<const char*>(colon) - name.data() + 1) : name;
}

// Calls f(name, value) for each attribute (name without its prefix, value as written).
template <class F>
void forEachAttribute(std::string_view attrs, F&& f) {
    std::size_t pos = 0;
    while (pos < attrs.size()) {
        while (pos < attrs.size() && isSpace(attrs[pos])) ++pos;
        std::size_t eq = attrs.find('=', pos);
        if (eq == std::string_view::npos) return;
        std::string_view name = trimmed(attrs.substr(pos, eq - pos));
        std::size_t open = eq + 1;
        while (open < attrs.size() && isSpace(attrs[open])) ++open;
        if (open >= attrs.size() || (attrs[open] != '"' && attrs[open] != '\'')) return;
        std::size_t close = attrs.find(attrs[open], open + 1);
        if (close == std::string_view::npos) return;
        f(localName(name), attrs.substr(open + 1, close - open - 1));
        pos = close + 1;
    }
}

// A whole number written as text (an attribute's value, a cell's), blanks around it allowed.
template <class T>
bool parseInteger(std::string_view s, T& out) {
    s = trimmed(s);
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
    return !s.empty() && ec == std::errc() && end == s.data() + s.size();
}

// The value of the attribute of that local name, as written.
std::optional<std::string_view> attribute(std::string_view attrs, std::string_view name);

// Appends a code point in UTF-8.
void appendUtf8(std::string& out, std::uint32_t codePoint);

// Appends characters with their line ends as an XML reader gives them: CR LF and a lone CR
// are LF (a CR written as a reference, &#13;, stays a CR).
void appendLineEnds(std::string& out, std::string_view raw);

// Appends XML character data with its references resolved and its line ends as above; a
// reference that is none of XML's own is kept as written.
void appendDecoded(std::string& out, std::string_view raw);

// Steps through the XML in `b` token by token, handing each to the handler:
//   start(localName, attributes, selfClosing, raw), end(localName, raw),
//   text(characters, isCdata, raw), other(raw) for comments, declarations, instructions;
// a handler with done() stops the scan once it says so. Gives back how much it used: a token
// cut off at the end waits for more unless `last`, when it is a damaged part
// (std::runtime_error).
template <class H>
std::size_t scanXml(std::string_view b, bool last, H& h) {
    const std::size_t n = b.size();
    const char* d = b.data();
    auto find = [&](std::size_t from, std::string_view what) {
        std::size_t at = b.find(what, from);
        return at == std::string_view::npos ? at : at + what.size();
    };
    std::size_t pos = 0;
    while (pos < n) {
        if (d[pos] != '<') {
            const void* lt = std::memchr(d + pos, '<', n - pos);
            std::size_t at = lt ? static_cast<std::size_t>(static_cast<const char*>(lt) - d) : n;
            if (!lt && !last) return pos;
            std::string_view text = b.substr(pos, at - pos);
            h.text(text, false, text);
            pos = at;
            continue;
        }
        std::size_t end = std::string_view::npos;
        std::string_view rest = b.substr(pos + 1);
        if (rest.empty()) {
        } else if (rest[0] == '/') {
            const void* gt = std::memchr(d + pos, '>', n - pos);
            if (gt) {
                end = static_cast<std::size_t>(static_cast<const char*>(gt) - d) + 1;
                std::string_view name = trimmed(b.substr(pos + 2, end - pos - 3));
                h.end(localName(name), b.substr(pos, end - pos));
            }
        } else if (rest[0] == '?') {
            if ((end = find(pos + 2, "?>")) != std::string_view::npos) h.other(b.substr(pos, end - pos));
        } else if (rest[0] == '!') {
            if (rest.size() < 8 && !last) return pos;
            if (rest.substr(0, 3) == "!--") {
                if ((end = find(pos + 4, "-->")) != std::string_view::npos) h.other(b.substr(pos, end - pos));
            } else if (rest.substr(0, 8) == "![CDATA[") {
                if ((end = find(pos + 9, "]]>")) != std::string_view::npos)
                    h.text(b.substr(pos + 9, end - 3 - pos - 9), true, b.substr(pos, end - pos));
            } else {
                // A document type declaration, with its internal subset in brackets.
                int depth = 0;
                for (std::size_t i = pos + 2; i < n; ++i) {
                    if (d[i] == '[') ++depth;
                    else if (d[i] == ']') --depth;
                    else if (d[i] == '>' && depth <= 0) {
                        end = i + 1;
                        break;
                    }
                }
                if (end != std::string_view::npos) h.other(b.substr(pos, end - pos));
            }
        } else {
            std::size_t i = pos + 1;
            for (char quote = 0; i < n; ++i) {
                char c = d[i];
                if (quote) {
                    if (c == quote) quote = 0;
                } else if (c == '>') {
                    break;
                } else if (c == '"' || c == '\'') {
                    quote = c;
                }
            }
            if (i < n) {
                end = i + 1;
                std::size_t nameEnd = pos + 1;
                while (nameEnd < i && !isSpace(d[nameEnd]) && d[nameEnd] != '/') ++nameEnd;
                bool empty = d[i - 1] == '/' && i - 1 >= nameEnd;
                std::string_view attrs = b.substr(nameEnd, (empty ? i - 1 : i) - nameEnd);
                h.start(localName(b.substr(pos + 1, nameEnd - pos - 1)), attrs, empty, b.substr(pos, end - pos));
            }
        }
        if (end == std::string_view::npos) {
            if (last) throw std::runtime_error("damaged part: unfinished XML");
            return pos;
        }
        pos = end;
        if constexpr (requires { h.done(); }) {
            if (h.done()) return pos;
        }
    }
    return pos;
}

// Calls visit(localName, attributes) for the start tags of a whole part in order, until it
// gives false. A part cut off in a tag is damaged (std::runtime_error).
template <class Visit>
void forEachStartTag(std::string_view xml, Visit&& visit) {
    struct Handler {
        Visit& visit;
        bool stop = false;
        void start(std::string_view name, std::string_view attrs, bool, std::string_view) {
            if (!stop) stop = !visit(name, attrs);
        }
        void end(std::string_view, std::string_view) {}
        void text(std::string_view, bool, std::string_view) {}
        void other(std::string_view) {}
        bool done() const { return stop; }
    } handler{visit};
    scanXml(xml, true, handler);
}

}  // namespace lumo::spreadsheet::xml
