#pragma once
// Text <-> number in one place, independent of the machine's locale: the decimal separator of
// the meter's readings and of the report is always ','.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace lumo {

// A decimal number as an operator types it: optional blanks around, an optional sign, digits
// with at most one ',' and an optional exponent (E or e, optional sign, digits).
// "0230,500", "-000,000", "1,5E-6" and "3" are numbers; "", "нет", "1.5", "0x10" are not.
std::optional<double> parseDecimal(std::string_view text);

// The general number format: at most 15 significant digits, no leading zeros, no trailing
// zeros after the ',', no ',' for a whole number; fixed notation from 0,00001 up to 15 digits
// before the ',', scientific otherwise ("1,5E-6", "1E20"). Zero, also negative zero, is "0".
std::string formatGeneral(double value);

// The value rounded to `decimals` places after the comma, in the general number format:
// formatRounded(225.347, 1) is "225,3", formatRounded(4.0, 2) is "4".
std::string formatRounded(double value, int decimals);

// A hexadecimal number, with or without a "0x"/"0X" prefix, read into 32 bits as the meter's
// counts are: "0x0000000A" is 10, "FFFFFFFF" is -1. Anything else (empty, non-hex digits, more
// than 8 digits) is no number.
std::optional<std::int32_t> parseHex32(std::string_view text);

// A spreadsheet column's letters: 1 is "A", 27 is "AA", 55 is "BC".
std::string columnLetters(std::int32_t column);

// Fixed-width upper-case hexadecimal: hexUpper(10, 4) is "000A". Higher digits are cut off.
std::string hexUpper(std::uint32_t value, int width);

}  // namespace lumo
