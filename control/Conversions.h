#pragma once
// Small helpers of the control: flag arrays and text conversions.

#include <cstdint>
#include <string>
#include <vector>

namespace kivra {

//! Rows of one-byte entries; rows may differ in length.
using TMultiDimensionalArray = std::vector<std::vector<std::uint8_t>>;

//! Sets every entry of every row to 0; rows keep their lengths.
void ZeroMultiDimensionalArray(TMultiDimensionalArray& array);

//! True exactly for the characters "0" to "9".
bool IsNumeric(char c);

//! Width characters of "0" and "1", bit Width-1 first.
std::string IntToBin(int Value, int Width);

//! Walks Bits from its first character: a "1" at position i (from 1) adds 2^(length-i);
//! any other character adds nothing. "" gives 0.
int BinToInt(const std::string& Bits);

//! The upper-case hexadecimal digit of the low four bits of value.
char HexDigit(unsigned value);

//! Two upper-case hexadecimal digits of a byte: 0x3A -> "3A".
std::string HexByte(std::uint8_t value);

//! The value of one hexadecimal digit of either case; -1 for any other character.
int HexDigitValue(char c);

//! The value of a text of hexadecimal digits (either case); raises EConvertError otherwise.
int HexToInt(const std::string& Text);

//! Decimal integer conversion that raises EConvertError with a clear text on failure
//! (empty text, other characters, or a value beyond 32 bits).
int StrToInt(const std::string& Text);

} // namespace kivra
