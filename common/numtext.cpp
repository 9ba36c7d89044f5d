#include "common/numtext.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace lumo {

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

std::string_view trimBlanks(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

}  // namespace

std::optional<double> parseDecimal(std::string_view text) {
    std::string_view s = trimBlanks(text);
    // Validate the shape first, then let strtod do the exact conversion on a '.' copy.
    std::string copy;
    copy.reserve(s.size());
    size_t i = 0;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) copy += s[i++];
    size_t digits = 0;
    while (i < s.size() && isDigit(s[i])) copy += s[i++], ++digits;
    if (i < s.size() && s[i] == ',') {
        copy += '.';
        ++i;
        while (i < s.size() && isDigit(s[i])) copy += s[i++], ++digits;
    }
    if (digits == 0) return std::nullopt;
    if (i < s.size() && (s[i] == 'E' || s[i] == 'e')) {
        copy += 'e';
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) copy += s[i++];
        size_t expDigits = 0;
        while (i < s.size() && isDigit(s[i])) copy += s[i++], ++expDigits;
        if (expDigits == 0) return std::nullopt;
    }
    if (i != s.size()) return std::nullopt;
    double v = std::strtod(copy.c_str(), nullptr);
    if (!std::isfinite(v)) return std::nullopt;
    return v;
}

std::string formatGeneral(double value) {
    if (!std::isfinite(value)) return std::isnan(value) ? "NAN" : (value > 0 ? "INF" : "-INF");
    if (value == 0.0) return "0";

    // 15 significant digits and the decimal exponent, rounded once by the C library.
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.14e", value);
    std::string_view sv(buf);
    bool negative = sv.front() == '-';
    if (negative) sv.remove_prefix(1);
    std::string digits;
    size_t e = sv.find('e');
    for (size_t i = 0; i < e; ++i)
        if (isDigit(sv[i])) digits += sv[i];
    int exponent = std::atoi(std::string(sv.substr(e + 1)).c_str());
    while (digits.size() > 1 && digits.back() == '0') digits.pop_back();

    std::string out = negative ? "-" : "";
    const bool scientific = exponent < -5 || exponent >= 15;
    if (scientific) {
        out += digits[0];
        if (digits.size() > 1) out += ',' + digits.substr(1);
        out += 'E';
        out += std::to_string(exponent);
    } else if (exponent < 0) {
        out += "0,";
        out.append(static_cast<size_t>(-exponent - 1), '0');
        out += digits;
    } else {
        size_t whole = static_cast<size_t>(exponent) + 1;
        if (digits.size() <= whole) {
            out += digits;
            out.append(whole - digits.size(), '0');
        } else {
            out += digits.substr(0, whole) + ',' + digits.substr(whole);
        }
    }
    return out;
}

std::string formatRounded(double value, int decimals) {
    const double scale = std::pow(10.0, decimals);
    const double rounded = std::round(value * scale) / scale;
    // Values too large to round keep their digits.
    return formatGeneral(std::isfinite(rounded) ? rounded : value);
}

std::optional<std::int32_t> parseHex32(std::string_view text) {
    std::string_view s = trimBlanks(text);
    if (s.size() >= 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) s.remove_prefix(2);
    // Leading zeros do not count towards the 8 digits.
    while (s.size() > 8 && s.front() == '0') s.remove_prefix(1);
    if (s.empty() || s.size() > 8) return std::nullopt;
    std::uint32_t v = 0;
    for (char c : s) {
        int d = hexDigit(c);
        if (d < 0) return std::nullopt;
        v = v * 16 + static_cast<std::uint32_t>(d);
    }
    return static_cast<std::int32_t>(v);
}

std::string columnLetters(std::int32_t column) {
    std::string out;
    while (column > 0) {
        out.insert(out.begin(), static_cast<char>('A' + (column - 1) % 26));
        column = (column - 1) / 26;
    }
    return out;
}

std::string hexUpper(std::uint32_t value, int width) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out(static_cast<size_t>(width), '0');
    for (int i = width - 1; i >= 0; --i) {
        out[static_cast<size_t>(i)] = digits[value & 0xF];
        value >>= 4;
    }
    return out;
}

}  // namespace lumo
