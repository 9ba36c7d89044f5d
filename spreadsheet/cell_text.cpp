#include "spreadsheet/cell_text.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "common/numtext.h"

namespace lumo::spreadsheet {

namespace {

// Walks a format code, calling f for every character that is a code letter (outside quotes,
// escapes, brackets and the _x / *x pairs). Brackets [h], [m], [s] count as their letter.
template <class F>
void forEachCodeLetter(std::string_view code, F f) {
    for (size_t i = 0; i < code.size(); ++i) {
        char c = code[i];
        if (c == '"') {
            size_t end = code.find('"', i + 1);
            i = end == std::string_view::npos ? code.size() : end;
        } else if (c == '\\' || c == '_' || c == '*') {
            ++i;
        } else if (c == '[') {
            size_t end = code.find(']', i + 1);
            if (end == std::string_view::npos) return;
            std::string_view inner = code.substr(i + 1, end - i - 1);
            if (!inner.empty() && inner.find_first_not_of(inner[0]) == std::string_view::npos) {
                char l = inner[0] | 0x20;
                if (l == 'h' || l == 'm' || l == 's') f(l, i);
            }
            i = end;
        } else {
            f(static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c), i);
        }
    }
}

// The decimals of a plain number format ("0", "0.00", "#,##0.0"), or -1 for anything else.
int fixedDecimals(std::string_view code) {
    if (code.empty() || code.find_first_not_of("0#,.") != std::string_view::npos) return -1;
    size_t dot = code.find('.');
    if (dot == std::string_view::npos) return 0;
    return static_cast<int>(code.size() - dot - 1);
}

std::string two(int v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%02d", v % 100);
    return buf;
}

// Renders a date serial with a date/time format code.
std::string renderDateTime(double serial, std::string_view code) {
    DateTimeParts p = dateTimeParts(serial);
    // The first section is enough: dates are not negative.
    size_t semi = code.find(';');
    if (semi != std::string_view::npos) code = code.substr(0, semi);
    std::string out;
    char lastUnit = 0;  // the last d/m/y/h/s unit written, for telling minutes from months
    for (size_t i = 0; i < code.size();) {
        char c = code[i];
        char l = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
        if (c == '"') {
            size_t end = code.find('"', i + 1);
            if (end == std::string_view::npos) end = code.size();
            out.append(code.substr(i + 1, end - i - 1));
            i = end + 1;
            continue;
        }
        if (c == '\\' && i + 1 < code.size()) {
            out += code[i + 1];
            i += 2;
            continue;
        }
        if (c == '[') {
            size_t end = code.find(']', i);
            i = end == std::string_view::npos ? code.size() : end + 1;
            continue;
        }
        if (l == 'd' || l == 'm' || l == 'y' || l == 'h' || l == 's') {
            size_t n = 1;
            while (i + n < code.size() && (code[i + n] | 0x20) == l) ++n;
            if (l == 'd') out += n >= 2 ? two(p.day) : std::to_string(p.day);
            if (l == 'y') out += n >= 3 ? std::to_string(p.year) : two(p.year);
            if (l == 'h') out += n >= 2 ? two(p.hour) : std::to_string(p.hour);
            if (l == 's') out += n >= 2 ? two(p.second) : std::to_string(p.second);
            if (l == 'm') {
                // Minutes right after hours or right before seconds; months otherwise.
                size_t next = code.find_first_of("dDyYhHsS", i + n);
                bool minutes = lastUnit == 'h' || (next != std::string_view::npos && (code[next] | 0x20) == 's');
                int v = minutes ? p.minute : p.month;
                out += n >= 2 ? two(v) : std::to_string(v);
            }
            lastUnit = l;
            i += n;
            continue;
        }
        out += c;
        ++i;
    }
    return out;
}

std::string fixedText(double v, int decimals) {
    char buf[400];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    std::string s = buf;
    for (char& c : s)
        if (c == '.') c = ',';
    if (s == "-0" || (s.rfind("-0,", 0) == 0 && s.find_first_not_of("-0,") == std::string::npos)) s.erase(0, 1);
    return s;
}

// Letters of format codes written with Russian regional settings, in UTF-8.
struct RussianLetter {
    const char* utf8;
    char standard;
};
const RussianLetter kRussianLetters[] = {
    {"Д", 'd'}, {"д", 'd'}, {"М", 'm'}, {"м", 'm'}, {"Г", 'y'}, {"г", 'y'},
    {"Ч", 'h'}, {"ч", 'h'}, {"С", 's'}, {"с", 's'},
};

}  // namespace

std::string standardFormatCode(std::string_view code) {
    if (code == "Основной" || code.empty()) return "General";
    std::string out;
    out.reserve(code.size());
    for (size_t i = 0; i < code.size();) {
        char c = code[i];
        if (c == '"') {
            size_t end = code.find('"', i + 1);
            end = end == std::string_view::npos ? code.size() : end + 1;
            out.append(code.substr(i, end - i));
            i = end;
            continue;
        }
        if ((c == '\\' || c == '_' || c == '*') && i + 1 < code.size()) {
            // Keep the escaped character whole, also when it takes several bytes.
            size_t len = 1;
            while (i + 1 + len < code.size() && (static_cast<unsigned char>(code[i + 1 + len]) & 0xC0) == 0x80) ++len;
            out.append(code.substr(i, 1 + len));
            i += 1 + len;
            continue;
        }
        bool replaced = false;
        for (const RussianLetter& r : kRussianLetters) {
            std::string_view u(r.utf8);
            if (code.substr(i, u.size()) == u) {
                out += r.standard;
                i += u.size();
                replaced = true;
                break;
            }
        }
        if (!replaced) out += code[i++];
    }
    return out;
}

bool isDateTimeFormat(std::string_view code) {
    bool found = false;
    forEachCodeLetter(code, [&](char l, size_t) {
        if (l == 'd' || l == 'm' || l == 'y' || l == 'h' || l == 's') found = true;
    });
    return found;
}

void enterText(Workbook& book, Cell& cell, std::string_view text, const CellFormat& effective) {
    if (text.empty()) {
        cell.kind = CellKind::Empty;
        cell.number = 0;
        return;
    }
    if (text.front() == '\'' || effective.numberFormat == "@") {
        if (text.front() == '\'') text.remove_prefix(1);
        cell.kind = CellKind::Text;
        cell.text = book.intern(text);
        return;
    }
    if (auto v = parseDecimal(text)) {
        cell.kind = CellKind::Number;
        cell.number = *v;
        return;
    }
    if (isDateTimeFormat(effective.numberFormat)) {
        if (auto v = parseDateTime(text)) {
            cell.kind = CellKind::Number;
            cell.number = book.storedDate(*v);
            return;
        }
    }
    cell.kind = CellKind::Text;
    cell.text = book.intern(text);
}

std::string valueText(const Workbook& book, const Cell* cell, const CellFormat& effective) {
    if (!cell) return {};
    switch (cell->kind) {
        case CellKind::Empty: return {};
        case CellKind::Text:
        case CellKind::Error: return book.string(cell->text);
        case CellKind::Boolean: return cell->boolean ? "ИСТИНА" : "ЛОЖЬ";
        case CellKind::Number: break;
    }
    double v = cell->number;
    if (!isDateTimeFormat(effective.numberFormat) || v < 0 || v >= 2958466) return formatGeneral(v);
    v = book.automationDate(v);
    // A date value turned into text the Russian way: date dd.mm.yyyy, time h:mm:ss.
    DateTimeParts p = dateTimeParts(v);
    bool hasTime = p.hour || p.minute || p.second;
    bool hasDate = std::floor(v + 0.5 / 86400.0) >= 1;
    std::string out;
    if (hasDate || !hasTime) out = two(p.day) + "." + two(p.month) + "." + std::to_string(p.year);
    if (hasTime) {
        if (!out.empty()) out += ' ';
        out += std::to_string(p.hour) + ":" + two(p.minute) + ":" + two(p.second);
    }
    return out;
}

std::string displayText(const Workbook& book, const Cell& cell, const CellFormat& effective) {
    if (cell.kind != CellKind::Number) return valueText(book, &cell, effective);
    const std::string& code = effective.numberFormat;
    if (isDateTimeFormat(code) && cell.number >= 0 && cell.number < 2958466)
        return renderDateTime(book.automationDate(cell.number), code);
    int decimals = fixedDecimals(code);
    if (decimals >= 0 && std::fabs(cell.number) < 1e15) return fixedText(cell.number, decimals);
    return formatGeneral(cell.number);
}

namespace {

// printf's number with a decimal comma and without the trailing zeros of its fraction.
std::string trimmedDecimal(const char* printed) {
    std::string s = printed;
    for (char& c : s)
        if (c == '.') c = ',';
    if (s.find(',') != std::string::npos) {
        while (s.back() == '0') s.pop_back();
        if (s.back() == ',') s.pop_back();
    }
    return s;
}

int significantDigits(std::string_view s) {
    int n = 0;
    bool leading = true;
    for (char c : s) {
        if (c == 'E') break;
        if (c < '0' || c > '9') continue;
        if (c != '0') leading = false;
        if (!leading) ++n;
    }
    return n;
}

// The general format of v rounded until it fits; "###" when no form of it fits.
std::string generalToFit(double v, const std::function<bool(std::string_view)>& fits) {
    std::string full = formatGeneral(v);
    if (!std::isfinite(v) || fits(full)) return full;
    char buf[400];
    // Fixed notation with fewer decimals, while some digit of the value is left.
    std::string fixed;
    if (full.find('E') == std::string::npos) {
        size_t comma = full.find(',');
        int decimals = comma == std::string::npos ? 0 : static_cast<int>(full.size() - comma - 1);
        for (int d = decimals - 1; d >= 0; --d) {
            std::snprintf(buf, sizeof buf, "%.*f", d, v);
            std::string t = trimmedDecimal(buf);
            if (significantDigits(t) == 0) break;
            if (fits(t)) {
                fixed = t;
                break;
            }
        }
    }
    // The scientific form with fewer digits.
    std::string scientific;
    for (int digits = 15; digits >= 1; --digits) {
        std::snprintf(buf, sizeof buf, "%.*e", digits - 1, v);
        std::string_view printed(buf);
        size_t e = printed.find('e');
        std::string t = trimmedDecimal(std::string(printed.substr(0, e)).c_str()) + "E" +
                        std::to_string(std::atoi(buf + e + 1));
        if (fits(t)) {
            scientific = t;
            break;
        }
    }
    if (!fixed.empty() && significantDigits(fixed) >= significantDigits(scientific)) return fixed;
    if (!scientific.empty()) return scientific;
    return "###";
}

}  // namespace

std::string displayTextToFit(const Workbook& book, const Cell& cell, const CellFormat& effective,
                             const std::function<bool(std::string_view)>& fits) {
    if (cell.kind != CellKind::Number) return displayText(book, cell, effective);
    if (effective.numberFormat == "General") return generalToFit(cell.number, fits);
    std::string text = displayText(book, cell, effective);
    return fits(text) ? text : "###";
}

}  // namespace lumo::spreadsheet
