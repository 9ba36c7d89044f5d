#include "app/settings_file.h"

#include "common/atomic_file.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>
#endif

namespace lumo {

namespace {

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) {
        return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : static_cast<char>(c);
    });
    return s;
}

std::string trim(const std::string& s) {
    const char* blanks = " \t\r\n";
    size_t b = s.find_first_not_of(blanks);
    if (b == std::string::npos) return {};
    size_t e = s.find_last_not_of(blanks);
    return s.substr(b, e - b + 1);
}

// One line of the file with the line break that ended it ("" for the last line without one).
struct Line {
    std::string text;
    std::string eol;
};

std::optional<std::string> readWhole(const std::string& path) {
    std::ifstream in(pathFromUtf8(path), std::ios::binary);
    if (!in) return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<Line> splitLines(const std::string& content) {
    std::vector<Line> lines;
    size_t pos = 0;
    while (pos < content.size()) {
        size_t nl = content.find('\n', pos);
        if (nl == std::string::npos) {
            lines.push_back({content.substr(pos), ""});
            break;
        }
        const bool crlf = nl > pos && content[nl - 1] == '\r';
        const size_t end = crlf ? nl - 1 : nl;
        lines.push_back({content.substr(pos, end - pos), crlf ? "\r\n" : "\n"});
        pos = nl + 1;
    }
    return lines;
}

// "[name]" gives name; anything else nothing.
std::optional<std::string> sectionName(const std::string& line) {
    std::string t = trim(line);
    if (t.size() < 2 || t.front() != '[') return std::nullopt;
    size_t close = t.find(']');
    if (close == std::string::npos) return std::nullopt;
    return trim(t.substr(1, close - 1));
}

// "key=value" gives the key; comments and lines without '=' give nothing.
std::optional<std::string> keyName(const std::string& line) {
    std::string t = trim(line);
    if (t.empty() || t.front() == ';' || t.front() == '#') return std::nullopt;
    size_t eq = t.find('=');
    if (eq == std::string::npos) return std::nullopt;
    return trim(t.substr(0, eq));
}

#ifndef _WIN32
// The user's configuration folder: $XDG_CONFIG_HOME when it is an absolute path (a relative one
// is to be ignored), else ~/.config.
std::string userConfigFolder() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && xdg[0] == '/') return xdg;
    std::string home;
    if (const char* h = std::getenv("HOME"); h && *h) {
        home = h;
    } else if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) {
        home = pw->pw_dir;
    }
    return home + "/.config";
}
#endif

}  // namespace

std::string settingsPathFor(const std::string& executablePath) {
    size_t sep = executablePath.find_last_of("/\\");
    size_t nameStart = sep == std::string::npos ? 0 : sep + 1;
    size_t dot = executablePath.find_last_of('.');
    std::string stem = (dot != std::string::npos && dot > nameStart)
                           ? executablePath.substr(0, dot)
                           : executablePath;
    return stem + ".INI";
}

std::string settingsLocationFor(const std::string& executablePath) {
    const std::string beside = settingsPathFor(executablePath);
#ifdef _WIN32
    return beside;
#else
    const size_t sep = beside.find_last_of('/');
    const std::string folder =
        sep == std::string::npos ? "." : (sep == 0 ? "/" : beside.substr(0, sep));
    // The program's own rights decide, so the effective user's.
    if (::access(beside.c_str(), F_OK) == 0 ||
        ::faccessat(AT_FDCWD, folder.c_str(), W_OK, AT_EACCESS) == 0)
        return beside;
    const std::string fileName = sep == std::string::npos ? beside : beside.substr(sep + 1);
    const std::string name = fileName.substr(0, fileName.size() - 4);  // without ".INI"
    return userConfigFolder() + "/" + name + "/" + fileName;
#endif
}

std::string readProfileString(const std::string& path, const std::string& section,
                              const std::string& key, const std::string& fallback) {
    auto content = readWhole(path);
    if (!content) return fallback;
    const std::string wantSection = lower(section), wantKey = lower(key);
    bool inSection = false;
    for (const Line& line : splitLines(*content)) {
        if (auto s = sectionName(line.text)) {
            inSection = lower(*s) == wantSection;
            continue;
        }
        if (!inSection) continue;
        auto k = keyName(line.text);
        if (!k || lower(*k) != wantKey) continue;
        std::string value = trim(line.text.substr(line.text.find('=') + 1));
        if (value.size() >= 2 && ((value.front() == '"' && value.back() == '"') ||
                                  (value.front() == '\'' && value.back() == '\'')))
            value = value.substr(1, value.size() - 2);
        return value;
    }
    return fallback;
}

bool writeProfileString(const std::string& path, const std::string& section,
                        const std::string& key, const std::string& value) {
    std::string content = readWhole(path).value_or("");
    std::vector<Line> lines = splitLines(content);
#ifdef _WIN32
    std::string eol = "\r\n";
#else
    std::string eol = "\n";
#endif
    if (!lines.empty() && !lines.front().eol.empty()) eol = lines.front().eol;  // keep the file's style

    const std::string wantSection = lower(section), wantKey = lower(key);
    const std::string newLine = key + "=" + value;
    std::optional<size_t> sectionAt, keyAt, lastEntryAt;
    bool inSection = false;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (auto s = sectionName(lines[i].text)) {
            if (sectionAt) break;  // only the first section of that name counts
            inSection = lower(*s) == wantSection;
            if (inSection) sectionAt = i, lastEntryAt = i;
            continue;
        }
        if (!inSection) continue;
        if (!trim(lines[i].text).empty()) lastEntryAt = i;
        auto k = keyName(lines[i].text);
        if (k && lower(*k) == wantKey && !keyAt) keyAt = i;
    }

    if (keyAt) {
        lines[*keyAt].text = newLine;
    } else if (sectionAt) {
        size_t at = *lastEntryAt;
        if (lines[at].eol.empty()) lines[at].eol = eol;
        lines.insert(lines.begin() + static_cast<long>(at) + 1, Line{newLine, eol});
    } else {
        if (!lines.empty() && lines.back().eol.empty()) lines.back().eol = eol;
        lines.push_back({"[" + section + "]", eol});
        lines.push_back({newLine, eol});
    }

    std::string out;
    for (const Line& l : lines) out += l.text + l.eol;
    // Nothing to change: the file is left alone (also a file the operator made read-only).
    if (out == content && !content.empty()) return true;

    // A settings folder of its own (in the user's configuration folder) is made on the first
    // write. The file is written beside the old one and renamed over it, so a failed write
    // damages nothing.
    const std::filesystem::path target = pathFromUtf8(path);
    std::error_code ignored;  // a folder that cannot be made fails the write below
    if (target.has_parent_path()) std::filesystem::create_directories(target.parent_path(), ignored);
    try {
        replaceFileWith(target, out);
    } catch (const std::exception&) {
        return false;
    }
    return true;
}

}  // namespace lumo
