// The one set of hexadecimal digit helpers that the debug dumps, the frame length field, the
// channel command and the keypad list texts share.
#include "control/Conversions.h"

#include <gtest/gtest.h>

#include <cctype>

using namespace kivra;

TEST(HexDigits, WrittenUpperCaseAndReadInEitherCase)
{
    EXPECT_EQ(HexDigit(0), '0');
    EXPECT_EQ(HexDigit(9), '9');
    EXPECT_EQ(HexDigit(10), 'A');
    EXPECT_EQ(HexDigit(15), 'F');
    EXPECT_EQ(HexDigit(0x1C), 'C') << "only the low four bits count";
    EXPECT_EQ(HexByte(0x00), "00");
    EXPECT_EQ(HexByte(0x3A), "3A");
    EXPECT_EQ(HexByte(0xFF), "FF");
    for (unsigned v = 0; v < 16; ++v) {
        const char upper = HexDigit(v);
        EXPECT_EQ(HexDigitValue(upper), static_cast<int>(v));
        EXPECT_EQ(HexDigitValue(static_cast<char>(std::tolower(static_cast<unsigned char>(upper)))),
                  static_cast<int>(v));
    }
    for (char c : {'G', 'g', ' ', '/', ':', '@', '`', '\xFF', '\0'})
        EXPECT_EQ(HexDigitValue(c), -1) << static_cast<int>(c);
}
