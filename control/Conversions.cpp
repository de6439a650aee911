#include "control/Conversions.h"

#include "core/Exception.h"

#include <algorithm>
#include <charconv>
#include <string_view>

namespace kivra {

void ZeroMultiDimensionalArray(TMultiDimensionalArray& array)
{
    for (auto& row : array)
        std::fill(row.begin(), row.end(), 0);
}

bool IsNumeric(char c)
{
    return c >= '0' && c <= '9';
}

std::string IntToBin(int Value, int Width)
{
    std::string bits;
    bits.reserve(Width > 0 ? static_cast<std::size_t>(Width) : 0);
    for (int bit = Width - 1; bit >= 0; --bit)
        bits.push_back(bit < 32 && ((static_cast<unsigned>(Value) >> bit) & 1U) ? '1' : '0');
    return bits;
}

int BinToInt(const std::string& Bits)
{
    unsigned value = 0;
    const std::size_t n = Bits.size();
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t power = n - 1 - i;
        if (Bits[i] == '1' && power < 32)
            value |= 1U << power;
    }
    return static_cast<int>(value);
}

char HexDigit(unsigned value)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    return kDigits[value & 0x0F];
}

std::string HexByte(std::uint8_t value)
{
    return {HexDigit(value >> 4), HexDigit(value)};
}

int HexDigitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

int HexToInt(const std::string& Text)
{
    int value = 0;
    const char* begin = Text.data();
    const char* end = begin + Text.size();
    const auto [ptr, ec] = std::from_chars(begin, end, value, 16);
    if (Text.empty() || ec != std::errc() || ptr != end || Text[0] == '-' || Text[0] == '+')
        throw EConvertError("'" + Text + "' is not a valid hexadecimal value");
    return value;
}

int StrToInt(const std::string& Text)
{
    int value = 0;
    const char* begin = Text.data();
    const char* end = begin + Text.size();
    // from_chars takes a "-" but no "+"; one sign at most.
    if (begin != end && *begin == '+')
        ++begin;
    const bool doubleSign = begin != Text.data() && begin != end && *begin == '-';
    const auto [ptr, ec] = std::from_chars(begin, end, value, 10);
    if (Text.empty() || doubleSign || ptr != end || ec != std::errc())
        throw EConvertError("'" + Text + "' is not a valid integer value");
    return value;
}

} // namespace kivra
