#pragma once
// Dates and times as serial numbers of the 1900 date system (days since 30.12.1899, with its
// 29.02.1900): how spreadsheets keep them and how automation passes them (VT_DATE), and the
// d.m.yyyy / h:m:s texts the program writes and reads.

#include <optional>
#include <string_view>

#include "common/clock.h"

namespace lumo {

// Days since 30.12.1899 as the 1900 date system counts them (with its 29.02.1900).
double dateSerial(int year, int month, int day);
// A local date and time as one serial: the date's days and the time's fraction of a day.
double dateTimeSerial(const LocalDateTime& t);

struct DateTimeParts {
    int year = 1899, month = 12, day = 31;
    int hour = 0, minute = 0, second = 0;
};
DateTimeParts dateTimeParts(double serial);

// "6.12.2026", "7:5:9", "7:05", "6.12.2026 7:05:09" as a serial number; nothing otherwise.
// Years have 4 digits (or 2: 00-29 are 2000-2029); dates from 1.1.1900 to 31.12.9999.
std::optional<double> parseDateTime(std::string_view text);

}  // namespace lumo
