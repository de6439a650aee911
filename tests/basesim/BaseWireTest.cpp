// The bytes the simulated base builds, checked against the wire layouts.

#include "basesim/BaseWire.h"
#include "basesim/BaseSimulator.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

using namespace kivra::basesim;
using namespace std::string_literals;

namespace {

int LengthField(const std::string& frame)
{
    return std::stoi(frame.substr(0, 2), nullptr, 16);
}

} // namespace

TEST(BaseWire, FrameLengthCountsEveryByteAfterTheField)
{
    struct Case {
        std::string tag, content, expected;
    };
    const Case cases[] = {
        {"SERIAL #", "123456", "12 SERIAL #:123456\r\n"},
        {"CHANNEL", "07", "0D CHANNEL:07\r\n"},
        {"STATUS",
         "C\x00"
         "D\xC0"s,
         "0E STATUS:C\x00"
         "D\xC0\r\n"s},
        {"KIVRA", "420,Ver 02.10.07", "19 KIVRA:420,Ver 02.10.07\r\n"},
    };
    for (const Case& c : cases) {
        const std::string frame = BuildFrame(c.tag, c.content);
        EXPECT_EQ(frame, c.expected) << c.tag;
        EXPECT_EQ(LengthField(frame) + 2, static_cast<int>(frame.size())) << c.tag;
        // The content sits where the host takes it: L-T-4 bytes after tag and one byte.
        EXPECT_EQ(frame.substr(4 + c.tag.size(), LengthField(frame) - c.tag.size() - 4), c.content) << c.tag;
    }
    EXPECT_EQ(BuildFrame("KIVRA", std::string(300, '1')), "") << "no two-digit length fits";
}

TEST(BaseWire, CorruptFrameHasNonHexLength)
{
    const std::string frame = BuildCorruptFrame("CHANNEL", "07");
    EXPECT_EQ(frame.size(), BuildFrame("CHANNEL", "07").size());
    EXPECT_FALSE(std::isxdigit(static_cast<unsigned char>(frame[0])) &&
                 std::isxdigit(static_cast<unsigned char>(frame[1])));
    EXPECT_EQ(frame.substr(2), BuildFrame("CHANNEL", "07").substr(2));
}

TEST(BaseWire, PacketLayoutLeavesNothingTheHostCouldMisframe)
{
    std::array<char, 50> states;
    states.fill('-');
    states[2] = '7';
    const std::string p = BuildPacket('B', states);
    ASSERT_EQ(p.size(), 56u);
    EXPECT_EQ(p[0], 'B');
    EXPECT_EQ(p[3], '7');
    EXPECT_EQ(p.substr(1, 50), std::string(states.data(), 50));
    for (char c : p.substr(51)) {
        EXPECT_FALSE(c >= 'A' && c <= 'P') << "scan group letter in the tail";
        EXPECT_FALSE(c == 'S' || c == 'T') << "list marker in the tail";
    }
}

TEST(BaseWire, ListsAndEntries)
{
    const std::uint8_t serial[3] = {0x0A, 0xBC, 0x01};
    const std::string s = SerialEntry(7, serial, 0xCA);
    EXPECT_EQ(s, "\x07\x0A\xBC\x01\xCA  "s);
    const std::string t = TimestampEntry(9, 300, 0x4B);
    EXPECT_EQ(t, "\x09\x01\x2C\x00\x4B  "s);

    EXPECT_EQ(BuildList('S', ""), "S\r\n\r\n\xFF"s) << "empty list: marker, two bytes, terminator";
    const std::string list = BuildList('T', t + t);
    ASSERT_EQ(list.size(), 3 + 14 + 3u);
    EXPECT_EQ(list.find("\r\n\xFF"s), list.size() - 3) << "only the final terminator";

    EXPECT_TRUE(HoldsTerminator("ab\r\n\xFF"s));
    EXPECT_FALSE(HoldsTerminator("\r\n\xFE\r\n"s));
}

TEST(BaseWire, DefaultKeypadsAreDeterministicAndNeverSpellTheTerminator)
{
    for (std::uint32_t seed : {1u, 2u, 77u, 12345u}) {
        const auto a = DefaultKeypads(seed);
        const auto b = DefaultKeypads(seed);
        ASSERT_EQ(a.size(), 250u);
        std::set<int> numbers;
        std::string all;
        for (std::size_t i = 0; i < a.size(); ++i) {
            EXPECT_EQ(a[i].Serial, b[i].Serial);
            numbers.insert(a[i].Number);
            EXPECT_GE(a[i].Battery, 0);
            EXPECT_LE(a[i].Battery, 3);
            const auto status = static_cast<std::uint8_t>(a[i].Battery << 6 | a[i].Major << 3 | a[i].Minor);
            all += SerialEntry(a[i].Number, a[i].Serial.data(), status);
        }
        EXPECT_EQ(numbers.size(), 250u);
        EXPECT_EQ(*numbers.begin(), 1);
        EXPECT_EQ(*numbers.rbegin(), 250);
        EXPECT_FALSE(HoldsTerminator(BuildList('S', all).substr(0, 3 + all.size()))) << "seed " << seed;
    }
    EXPECT_NE(DefaultKeypads(1)[0].Serial, DefaultKeypads(2)[0].Serial);
}

TEST(BaseWire, CommandParserCutsUnterminatedCommands)
{
    struct Case {
        std::string input;
        std::vector<std::string> commands;
        std::string pending;
    };
    const Case cases[] = {
        {"\x11XXWV\x13", {"\x11", "XX", "WV", "\x13"}, ""},
        {"C\x00"
         "D\xC0"s,
         {"C\x00"s, "D\xC0"s},
         ""},
        {"C\x11"
         "D\x13",
         {"C\x11", "D\x13"},
         ""}, // settings bytes that look like XON/XOFF
        {"L7L:K0KXBCBRGESC", {"L7", "L:", "K0", "KX", "BC", "BR", "GE", "SC"}, ""},
        {"PTPSPD", {"PT", "PS", "PD"}, ""},
        {"W\x11V", {"W", "\x11", "V"}, ""}, // XON is never swallowed as a second byte
        {"zW", {"z"}, "W"},
    };
    for (const Case& c : cases) {
        CommandParser parser;
        EXPECT_EQ(parser.Feed(c.input), c.commands);
        EXPECT_EQ(parser.Pending(), c.pending);
    }
    // A command split over two writes is still one command.
    CommandParser parser;
    EXPECT_TRUE(parser.Feed("C").empty());
    EXPECT_EQ(parser.Feed("\x80WN"s), (std::vector<std::string>{"C\x80"s, "WN"}));
}
