#include <gtest/gtest.h>

#include "common/numtext.h"

using namespace lumo;

TEST(NumText, ParsesDecimalCommaNumbers) {
    EXPECT_DOUBLE_EQ(*parseDecimal("0230,500"), 230.5);
    EXPECT_DOUBLE_EQ(*parseDecimal("-000,000"), 0.0);
    EXPECT_DOUBLE_EQ(*parseDecimal("1,5E-6"), 1.5e-6);
    EXPECT_DOUBLE_EQ(*parseDecimal(" 3 "), 3.0);
    EXPECT_DOUBLE_EQ(*parseDecimal("+,5"), 0.5);
    for (const char* bad : {"", "нет", "1.5", "0x10", ",", "1,2,3", "1E", "--1", "12 3", "1e400"})
        EXPECT_FALSE(parseDecimal(bad)) << bad;
}

TEST(NumText, FormatsInTheGeneralNumberFormat) {
    EXPECT_EQ(formatGeneral(230.5), "230,5");
    EXPECT_EQ(formatGeneral(0.0), "0");
    EXPECT_EQ(formatGeneral(-0.0), "0");
    EXPECT_EQ(formatGeneral(3), "3");
    EXPECT_EQ(formatGeneral(-12.25), "-12,25");
    EXPECT_EQ(formatGeneral(1.5e-6), "1,5E-6");
    EXPECT_EQ(formatGeneral(0.00001), "0,00001");
    EXPECT_EQ(formatGeneral(0.0000099), "9,9E-6");
    EXPECT_EQ(formatGeneral(1e20), "1E20");
    EXPECT_EQ(formatGeneral(123456789012345.0), "123456789012345");
    EXPECT_EQ(formatGeneral(1234567890123456.0), "1,23456789012346E15");
    EXPECT_EQ(formatGeneral(0.1 + 0.2), "0,3");  // 15 significant digits hide the binary tail
    EXPECT_EQ(formatGeneral(1000), "1000");
}

TEST(NumText, LiveReadingsRoundTrip) {
    EXPECT_EQ(formatGeneral(*parseDecimal("0230,500")), "230,5");
    EXPECT_EQ(formatGeneral(*parseDecimal("0000,000")), "0");
    EXPECT_EQ(formatGeneral(*parseDecimal("-000,000")), "0");
    EXPECT_EQ(formatGeneral(*parseDecimal("0,0000015")), "1,5E-6");
}

TEST(NumText, ReadsHexadecimalIntoThirtyTwoBits) {
    EXPECT_EQ(parseHex32("0x0000000A"), 10);
    EXPECT_EQ(parseHex32("0x0012"), 18);
    EXPECT_EQ(parseHex32("0aF"), 0xAF);
    EXPECT_EQ(parseHex32("0xFFFFFFFF"), -1);
    EXPECT_EQ(parseHex32("00000000000A"), 10);
    for (const char* bad : {"", "0x", "0xнет", "нет", "0x00G1", "123456789"})
        EXPECT_FALSE(parseHex32(bad)) << bad;
    EXPECT_EQ(hexUpper(10, 4), "000A");
    EXPECT_EQ(hexUpper(99 * 256 + 18, 4), "6312");
    EXPECT_EQ(hexUpper(0, 8), "00000000");
    EXPECT_EQ(columnLetters(1), "A");
    EXPECT_EQ(columnLetters(26), "Z");
    EXPECT_EQ(columnLetters(27), "AA");
    EXPECT_EQ(columnLetters(55), "BC");
    EXPECT_EQ(columnLetters(16384), "XFD");
}
