#include "app/KeypadCells.h"

namespace kivra {

std::string PadIntToStr(int n, int width)
{
    std::string text = std::to_string(n);
    if (static_cast<int>(text.size()) < width)
        text.insert(0, static_cast<std::size_t>(width) - text.size(), ' ');
    return text;
}

std::string KeypadCellText(int n, char response)
{
    std::string text = PadIntToStr(n, 3) + ": ";
    if (response != '\0')
        text += response;
    return text;
}

QRgb KeypadCellColor(std::uint8_t state, bool member)
{
    QRgb color = state == kKeypadActive       ? kCellActive
                 : state == kKeypadLowBattery ? kCellLowBattery
                                              : kCellInactive;
    if (!member)
        color = state == kKeypadActive ? kCellOutside : kCellUnset;
    return color;
}

std::string CounterText(int responding, int listed)
{
    return std::to_string(responding) + (responding == 1 ? " keypad of " : " keypads of ") +
           std::to_string(listed);
}

int CountResponding(const std::array<std::uint8_t, kGridKeypads + 1>& states,
                    const std::array<bool, kGridKeypads + 1>& members)
{
    int count = 0;
    for (std::size_t k = 1; k <= kGridKeypads; ++k)
        if (states[k] != kKeypadInactive && members[k])
            ++count;
    return count;
}

TDefinedGroup ParseDefinedGroup(const std::string& text)
{
    TDefinedGroup group;
    std::string current;
    std::string rangeStart;
    // Numbers beyond any keypad are clamped: they mark nothing.
    auto value = [](const std::string& digits) {
        long v = 0;
        for (char c : digits) {
            v = v * 10 + (c - '0');
            if (v > 1000000)
                return 1000000L;
        }
        return v;
    };
    auto mark = [&group](long k) {
        if (k >= 1 && k <= kGridKeypads)
            group.Members[static_cast<std::size_t>(k)] = true;
    };
    for (std::size_t i = 0; i <= text.size(); ++i) {
        const bool end = i == text.size();
        const char c = end ? ',' : text[i];
        if (c >= '0' && c <= '9') {
            current += c;
        } else if (c == ',') {
            // An empty item (",1", "1,,3", "5-") marks and counts nothing.
            if (!rangeStart.empty()) {
                if (!current.empty()) {
                    const long s = value(rangeStart);
                    const long e = value(current);
                    for (long k = s; k <= e && k <= kGridKeypads; ++k)
                        mark(k);
                }
                rangeStart.clear();
            } else if (!current.empty()) {
                mark(value(current));
            }
            current.clear();
        } else if (c == '-') {
            rangeStart = current;
            current.clear();
        }
        // Anything else, blanks included, is skipped.
    }
    // Each keypad of the group counts once: overlaps and numbers beyond the grid add nothing.
    for (int k = 1; k <= kGridKeypads; ++k)
        group.Count += group.Members[static_cast<std::size_t>(k)] ? 1 : 0;
    return group;
}

} // namespace kivra
