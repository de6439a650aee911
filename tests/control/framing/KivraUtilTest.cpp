// Flag arrays and text conversions.

#include "control/Conversions.h"
#include "core/Exception.h"

#include <gtest/gtest.h>

namespace kivra {
namespace {

TEST(MultiDimensionalArray, ZeroingClearsEveryEntryAndKeepsRowLengths)
{
    TMultiDimensionalArray locks(2, std::vector<std::uint8_t>(11, 1));
    locks.push_back({7, 0, 255});
    ZeroMultiDimensionalArray(locks);
    ASSERT_EQ(locks.size(), 3u);
    EXPECT_EQ(locks[0], std::vector<std::uint8_t>(11, 0));
    EXPECT_EQ(locks[1], std::vector<std::uint8_t>(11, 0));
    EXPECT_EQ(locks[2], std::vector<std::uint8_t>(3, 0));

    TMultiDimensionalArray empty;
    ZeroMultiDimensionalArray(empty);
    EXPECT_TRUE(empty.empty());
}

TEST(TextHelpers, IsNumericOnlyForDecimalDigits)
{
    for (int c = 0; c < 256; ++c)
        EXPECT_EQ(IsNumeric(static_cast<char>(c)), c >= '0' && c <= '9') << c;
}

TEST(TextHelpers, IntToBinWritesMostSignificantBitFirst)
{
    struct Case {
        int value, width;
        const char* bits;
    };
    const Case cases[] = {
        {128, 8, "10000000"}, {0xCA, 8, "11001010"},  {0, 8, "00000000"},
        {255, 8, "11111111"}, {5, 3, "101"},          {5, 1, "1"},
        {1, 0, ""},           {0x1FF, 8, "11111111"}, {-1, 4, "1111"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(IntToBin(c.value, c.width), c.bits) << c.value << "/" << c.width;
}

TEST(TextHelpers, BinToIntCountsOnlyOnes)
{
    struct Case {
        const char* bits;
        int value;
    };
    const Case cases[] = {
        {"11000000", 192}, {"", 0}, {"1", 1}, {"10", 2}, {"00000011", 3}, {"1x1", 5}, {"11111111", 255},
    };
    for (const auto& c : cases)
        EXPECT_EQ(BinToInt(c.bits), c.value) << c.bits;
    for (int v : {0, 1, 0x55, 0xCA, 0xFF})
        EXPECT_EQ(BinToInt(IntToBin(v, 8)), v);
}

TEST(TextHelpers, HexToIntReadsEitherCaseAndRejectsEverythingElse)
{
    EXPECT_EQ(HexToInt("12"), 18);
    EXPECT_EQ(HexToInt("0D"), 13);
    EXPECT_EQ(HexToInt("0d"), 13);
    EXPECT_EQ(HexToInt("FF"), 255);
    EXPECT_EQ(HexToInt("aBcDeF"), 0xABCDEF);
    for (const std::string bad : {"", "G1", "1 ", " 1", "-1", "+1", "0x10", "12z", "123456789"}) {
        SCOPED_TRACE(bad);
        EXPECT_THROW(HexToInt(bad), EConvertError);
    }
    try {
        HexToInt("zz");
        FAIL() << "no exception";
    } catch (const EConvertError& e) {
        EXPECT_STREQ(e.what(), "'zz' is not a valid hexadecimal value");
    }
}

TEST(TextHelpers, StrToIntReadsDecimalAndRejectsEverythingElse)
{
    EXPECT_EQ(StrToInt("0"), 0);
    EXPECT_EQ(StrToInt("650"), 650);
    EXPECT_EQ(StrToInt("-4"), -4);
    EXPECT_EQ(StrToInt("+7"), 7);
    EXPECT_EQ(StrToInt("2147483647"), 2147483647);
    for (const std::string bad : {"", "+", "-", "1a", " 1", "1 ", "2147483648", "0x1", "+-1"}) {
        SCOPED_TRACE(bad);
        EXPECT_THROW(StrToInt(bad), EConvertError);
    }
}

} // namespace
} // namespace kivra
