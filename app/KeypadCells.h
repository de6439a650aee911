#pragma once
// What a cell of the keypad grid shows, without any widget: where keypad n sits, its text, its
// colour from its state and membership, the counter beside "All", and the defined group a
// keypad range text ("1, 3, 5-10") stands for.

#include <QRgb>

#include <array>
#include <cstdint>
#include <string>

namespace kivra {

inline constexpr int kGridKeypads = 250;
inline constexpr int kGridColumns = 10;
inline constexpr int kGridRows = 25;

//! Keypad n (1..250) runs down the columns: column (n-1) div 25, row (n-1) mod 25.
inline constexpr int KeypadColumn(int n)
{
    return (n - 1) / kGridRows;
}
inline constexpr int KeypadRow(int n)
{
    return (n - 1) % kGridRows;
}
inline constexpr int CellKeypad(int col, int row)
{
    return col * kGridRows + row + 1;
}

//! Decimal text of n with blanks in front until it is at least width characters long.
std::string PadIntToStr(int n, int width);

//! "  7: 4": the keypad number in three places, ": " and its last response character; no
//! character when response is '\0' (nothing received since start).
std::string KeypadCellText(int n, char response);

//! Per-keypad state: inactive, answered, low battery.
inline constexpr std::uint8_t kKeypadInactive = 0;
inline constexpr std::uint8_t kKeypadActive = 1;
inline constexpr std::uint8_t kKeypadLowBattery = 2;

//! Cell colours of the grid.
inline constexpr QRgb kCellInactive = 0xFFFFFFFF;   // white
inline constexpr QRgb kCellActive = 0xFF00FF00;     // lime
inline constexpr QRgb kCellLowBattery = 0xFFFFFF00; // yellow
inline constexpr QRgb kCellUnset = 0xFFCECECE;      // grey: not in the defined group
inline constexpr QRgb kCellOutside = 0xFFFF4A4A;    // light red: answered outside the group

//! Colour of a keypad's cell from its state (0 inactive, 1 active, 2 low battery) and membership.
QRgb KeypadCellColor(std::uint8_t state, bool member);

//! The grid's hint, the colour legend (lines end in "\r\n").
inline constexpr const char* kGridColourHint = "White  - Inactive\r\n"
                                               "Green  - Active\r\n"
                                               "Grey   - Unset\r\n"
                                               "Red    - Active outside of defined group\r\n"
                                               "Yellow - Low battery";

//! The hint of the keypad range box (lines end in "\n\r").
inline constexpr const char* kKeypadRangeHint =
    "Accepts a string of the following format: \"1, 3, 5-10, 20-30, 32\".  Keypad numbers separated\n\r"
    " by commas are treated as individual keypads while keypads separated by a dash\n\r"
    " are interpreted as an inclusive range.";

//! "1 keypad of 250", "7 keypads of 10".
std::string CounterText(int responding, int listed);

//! Keypads 1..250 that are members and not inactive.
int CountResponding(const std::array<std::uint8_t, kGridKeypads + 1>& states,
                    const std::array<bool, kGridKeypads + 1>& members);

//! The defined group of a keypad range text ("1, 3, 5-10"): members[k] for keypads 1..250, and their
//! number (each keypad once, however often it is listed; a reversed range and numbers outside
//! 1..250 mark nothing). Empty items mark nothing.
struct TDefinedGroup {
    std::array<bool, kGridKeypads + 1> Members{};
    int Count = 0;
};
TDefinedGroup ParseDefinedGroup(const std::string& text);

} // namespace kivra
