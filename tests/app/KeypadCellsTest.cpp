// The keypad grid's logic without widgets or an application window: cell placement and text,
// colours, the counter, and the keypad range text that builds the defined group.

#include "app/KeypadCells.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <initializer_list>
#include <vector>

using namespace kivra;

namespace {

struct GroupCase {
    const char* text;
    std::initializer_list<int> members;
    int count;
};

std::vector<int> MembersOf(const TDefinedGroup& g)
{
    std::vector<int> m;
    for (int k = 1; k <= kGridKeypads; ++k)
        if (g.Members[static_cast<std::size_t>(k)])
            m.push_back(k);
    return m;
}

} // namespace

TEST(GridText, PadIntToStrPadsButNeverShortens)
{
    EXPECT_EQ(PadIntToStr(7, 3), "  7");
    EXPECT_EQ(PadIntToStr(26, 3), " 26");
    EXPECT_EQ(PadIntToStr(250, 3), "250");
    EXPECT_EQ(PadIntToStr(1234, 3), "1234");
    EXPECT_EQ(PadIntToStr(5, 0), "5");
}

TEST(GridText, KeypadsRunDownTheColumnsWithTheirLabels)
{
    const struct {
        int Keypad, Col, Row;
        char Response;
        const char* Text;
    } cases[] = {
        {1, 0, 0, '\0', "  1: "},  {1, 0, 0, '4', "  1: 4"},    {25, 0, 24, ' ', " 25:  "},
        {26, 1, 0, '<', " 26: <"}, {250, 9, 24, 'A', "250: A"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Keypad);
        EXPECT_EQ(KeypadColumn(c.Keypad), c.Col);
        EXPECT_EQ(KeypadRow(c.Keypad), c.Row);
        EXPECT_EQ(CellKeypad(c.Col, c.Row), c.Keypad);
        EXPECT_EQ(KeypadCellText(c.Keypad, c.Response), c.Text);
    }
}

TEST(GridText, CounterCountsAnsweringMembersOnce)
{
    EXPECT_EQ(CounterText(0, 250), "0 keypads of 250");
    EXPECT_EQ(CounterText(1, 10), "1 keypad of 10");
    EXPECT_EQ(CounterText(7, 10), "7 keypads of 10");

    std::array<std::uint8_t, kGridKeypads + 1> states{};
    std::array<bool, kGridKeypads + 1> members{};
    members.fill(true);
    members[0] = false;
    EXPECT_EQ(CountResponding(states, members), 0);
    states[3] = kKeypadActive;
    states[250] = kKeypadLowBattery; // a low battery counts as not inactive
    states[0] = kKeypadActive;       // no keypad 0
    EXPECT_EQ(CountResponding(states, members), 2);
    members[3] = false; // answered outside the defined group
    EXPECT_EQ(CountResponding(states, members), 1);
}

TEST(GridColours, TableOfMembershipAndState)
{
    EXPECT_EQ(KeypadCellColor(0, true), qRgb(255, 255, 255));
    EXPECT_EQ(KeypadCellColor(1, true), qRgb(0, 255, 0));
    EXPECT_EQ(KeypadCellColor(2, true), qRgb(255, 255, 0));
    EXPECT_EQ(KeypadCellColor(0, false), qRgb(206, 206, 206));
    EXPECT_EQ(KeypadCellColor(1, false), qRgb(255, 74, 74));
    EXPECT_EQ(KeypadCellColor(2, false), qRgb(206, 206, 206));
}

TEST(DefinedGroup, RangeTextsMarkAndCount)
{
    const GroupCase cases[] = {
        {"1, 3, 5-10", {1, 3, 5, 6, 7, 8, 9, 10}, 8},
        // Each keypad counts once: overlaps and numbers beyond 250 add nothing.
        {"1,1", {1}, 1},
        {"1-3,2-4", {1, 2, 3, 4}, 4},
        {"10-5,3", {3}, 1},
        {"1-10", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, 10},
        {"249-260", {249, 250}, 2},
        {"0", {}, 0},
        {"0-2", {1, 2}, 2},
        {"300", {}, 0},
        {"99999999999999", {}, 0},
        {" 4 ,x 5", {4, 5}, 2},
        // Empty items mark and count nothing (instead of failing half-way).
        {",1", {1}, 1},
        {"1,,3,", {1, 3}, 2},
        {"5-", {}, 0},
        {"-5", {5}, 1}, // no range start: a single keypad
        {"", {}, 0},
    };
    for (const GroupCase& c : cases) {
        SCOPED_TRACE(c.text);
        const TDefinedGroup g = ParseDefinedGroup(c.text);
        EXPECT_EQ(MembersOf(g), std::vector<int>(c.members));
        EXPECT_EQ(g.Count, c.count);
    }
    EXPECT_EQ(ParseDefinedGroup("1-30,25-40").Count, 40);
}
