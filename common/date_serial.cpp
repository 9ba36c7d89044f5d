#include "common/date_serial.h"

#include <cmath>
#include <cstdint>

namespace lumo {

namespace {

// days_from_civil: days since 1970-01-01 of a proleptic Gregorian date.
std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void civilFromDays(std::int64_t z, int& year, int& month, int& day) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    year = static_cast<int>(static_cast<std::int64_t>(yoe) + era * 400 + (month <= 2));
}

const std::int64_t kSerialBase = daysFromCivil(1899, 12, 30);

int daysInMonth(int y, int m) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return m == 2 && leap ? 29 : days[m - 1];
}

// Reads 1 to maxDigits digits.
bool takeNumber(std::string_view& s, int maxDigits, int& v, int* digits = nullptr) {
    int n = 0;
    v = 0;
    while (n < static_cast<int>(s.size()) && n < maxDigits && s[static_cast<size_t>(n)] >= '0' && s[static_cast<size_t>(n)] <= '9')
        v = v * 10 + (s[static_cast<size_t>(n++)] - '0');
    if (n == 0) return false;
    s.remove_prefix(static_cast<size_t>(n));
    if (digits) *digits = n;
    return true;
}

bool takeChar(std::string_view& s, char c) {
    if (s.empty() || s.front() != c) return false;
    s.remove_prefix(1);
    return true;
}

std::optional<double> takeDate(std::string_view& s) {
    int d, m, y, yDigits;
    if (!takeNumber(s, 2, d) || !takeChar(s, '.') || !takeNumber(s, 2, m) || !takeChar(s, '.') ||
        !takeNumber(s, 4, y, &yDigits))
        return std::nullopt;
    if (yDigits == 2) y += y < 30 ? 2000 : 1900;
    else if (yDigits != 4) return std::nullopt;
    if (y < 1900 || y > 9999 || m < 1 || m > 12 || d < 1 || d > daysInMonth(y, m)) return std::nullopt;
    return dateSerial(y, m, d);
}

std::optional<double> takeTime(std::string_view& s) {
    int h, m, sec = 0;
    if (!takeNumber(s, 2, h) || !takeChar(s, ':') || !takeNumber(s, 2, m)) return std::nullopt;
    if (takeChar(s, ':') && !takeNumber(s, 2, sec)) return std::nullopt;
    if (h > 23 || m > 59 || sec > 59) return std::nullopt;
    return (h * 3600 + m * 60 + sec) / 86400.0;
}

}  // namespace

double dateSerial(int year, int month, int day) {
    auto serial = static_cast<double>(daysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) - kSerialBase);
    return serial < 61 ? serial - 1 : serial;  // the 1900 system counts a 29.02.1900
}

DateTimeParts dateTimeParts(double serial) {
    DateTimeParts p;
    if (!std::isfinite(serial) || serial < 0 || serial >= 2958466) return p;
    // Round to the second once, so 23:59:59.9 turns into the next day.
    auto seconds = static_cast<std::int64_t>(std::llround(serial * 86400.0));
    std::int64_t days = seconds / 86400;
    std::int64_t rest = seconds % 86400;
    p.hour = static_cast<int>(rest / 3600);
    p.minute = static_cast<int>(rest / 60 % 60);
    p.second = static_cast<int>(rest % 60);
    if (days == 0) {
        p.year = 1900, p.month = 1, p.day = 0;  // the day before 1.1.1900, as the 1900 system shows it
    } else if (days == 60) {
        p.year = 1900, p.month = 2, p.day = 29;
    } else {
        civilFromDays(kSerialBase + (days < 60 ? days + 1 : days), p.year, p.month, p.day);
    }
    return p;
}

std::optional<double> parseDateTime(std::string_view text) {
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    std::string_view s = text;
    if (auto date = takeDate(s)) {
        if (s.empty()) return date;
        if (!takeChar(s, ' ')) return std::nullopt;
        while (takeChar(s, ' ')) {
        }
        auto time = takeTime(s);
        if (!time || !s.empty()) return std::nullopt;
        return *date + *time;
    }
    s = text;
    auto time = takeTime(s);
    if (!time || !s.empty()) return std::nullopt;
    return time;
}

double dateTimeSerial(const LocalDateTime& t) {
    return dateSerial(t.year, t.month, t.day) + (t.hour * 3600 + t.minute * 60 + t.second) / 86400.0;
}

}  // namespace lumo
