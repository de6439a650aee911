// Serial-number and timestamp lists and keypad packets as the message pump hands them over.

#include "control/Kivra.h"
#include "core/Exception.h"
#include "tests/support/EventRecorder.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

namespace kivra {
namespace {

using ::testing::ElementsAre;

using SerialEvent = std::tuple<int, std::string, std::string, int, bool>;
using TimestampEvent = std::tuple<int, int, int, std::string, int, bool>;

std::string Entry(std::uint8_t id, std::uint8_t b1, std::uint8_t b2, std::uint8_t b3, std::uint8_t status)
{
    return std::string{static_cast<char>(id),
                       static_cast<char>(b1),
                       static_cast<char>(b2),
                       static_cast<char>(b3),
                       static_cast<char>(status),
                       ' ',
                       ' '};
}

class ListParserTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        kivra.SetKivraModel(rstKivraModel::mKivraSol);
        kivra.SetOnKeypadSerialNumber(
            [this](int id, std::string serial, std::string version, int battery, bool end) {
                serials.emplace_back(id, serial, version, battery, end);
            });
        kivra.SetOnKeypadTimestamp(
            [this](int id, int question, int ms, std::string version, int battery, bool end) {
                stamps.emplace_back(id, question, ms, version, battery, end);
            });
    }

    TKivra kivra;
    std::vector<SerialEvent> serials;
    std::vector<TimestampEvent> stamps;
};

TEST_F(ListParserTest, SerialNumberEntries)
{
    // Status 0xCA: battery 3, version 1.2. Serial bytes keep their leading zeros, upper case.
    kivra.DispatchBaseMessage("KPS:S  " + Entry(12, 0x0A, 0xBC, 0x01, 0xCA) +
                              Entry(250, 0xFF, 0x00, 0x9E, 0x3F));
    EXPECT_THAT(serials, ElementsAre(SerialEvent{12, "0ABC01", "1.2", 3, false},
                                     SerialEvent{250, "FF009E", "7.7", 0, true}));
}

TEST_F(ListParserTest, EmptyListsStillEndWithAnEvent)
{
    kivra.DispatchBaseMessage("KPS:S  ");
    kivra.DispatchBaseMessage("KPS:S");
    kivra.DispatchBaseMessage("KPTM:T  ");
    EXPECT_THAT(serials, ElementsAre(SerialEvent{0, "-", "-", 0, true}, SerialEvent{0, "-", "-", 0, true}));
    EXPECT_THAT(stamps, ElementsAre(TimestampEvent{0, 0, 0, "-", 0, true}));
}

TEST_F(ListParserTest, APartialLastEntryIsIgnored)
{
    // The last complete entry carries the end flag; a list of only a fragment is an empty list.
    const std::string one = Entry(7, 0x12, 0x34, 0x56, 0x48);
    for (std::size_t partial = 1; partial <= 6; ++partial) {
        SCOPED_TRACE(partial);
        serials.clear();
        stamps.clear();
        kivra.DispatchBaseMessage("KPS:S  " + one + one.substr(0, partial));
        kivra.DispatchBaseMessage("KPTM:T  " + one + one.substr(0, partial));
        EXPECT_THAT(serials, ElementsAre(SerialEvent{7, "123456", "1.0", 1, true}));
        EXPECT_THAT(stamps, ElementsAre(TimestampEvent{7, 0, (0x12 * 256 + 0x34) * 50, "1.0", 1, true}));

        serials.clear();
        kivra.DispatchBaseMessage("KPS:S  " + one.substr(0, partial));
        EXPECT_THAT(serials, ElementsAre(SerialEvent{0, "-", "-", 0, true}));
    }
}

TEST_F(ListParserTest, TimestampsBeforeAnyQuestionAreKeptWithQuestionZero)
{
    kivra.DispatchBaseMessage("KPTM:T  " + Entry(1, 0x01, 0x2C, 0, 0x89) + Entry(2, 0xFF, 0xFF, 0, 0x00) +
                              Entry(3, 0x00, 0x00, 0, 0xC0));
    EXPECT_THAT(stamps, ElementsAre(TimestampEvent{1, 0, 15000, "1.1", 2, false},
                                    TimestampEvent{2, 0, 65535 * 50, "0.0", 0, false},
                                    TimestampEvent{3, 0, 0, "0.0", 3, true}));
}

TEST_F(ListParserTest, BytesThatLookLikeTagsInsideEntriesDoNotMisroute)
{
    // Entry bytes may spell anything; the list prefix decides the parser.
    kivra.DispatchBaseMessage("KPTM:T  " + std::string("\x05KPS\x40  ", 7));
    EXPECT_THAT(stamps, ElementsAre(TimestampEvent{5, 0, ('K' * 256 + 'P') * 50, "0.0", 1, true}));
    EXPECT_TRUE(serials.empty());
}

TEST(ListParser, UnboundHandlersSkipTheLists)
{
    TKivra kivra;
    kivra.SetKivraModel(rstKivraModel::mKivraSol);
    test::EventRecorder rec;
    rec.Attach(kivra);
    kivra.DispatchBaseMessage("KPS:S  " + Entry(1, 1, 2, 3, 4));
    kivra.DispatchBaseMessage("KPTM:T  ");
    EXPECT_TRUE(rec.Errors.empty());
}

TEST(KeypadPacket, DiscardedWhileNotPolling)
{
    TKivra kivra;
    kivra.SetKivraModel(rstKivraModel::mKivraSol);
    test::EventRecorder rec;
    rec.Attach(kivra);
    int events = 0;
    kivra.SetOnKeypadDataReceived([&](int, int) { ++events; });
    std::string packet = "B" + std::string(53, '-');
    packet[3] = '7';
    packet[4] = 'x'; // not even looked at
    kivra.DispatchBaseMessage(packet);
    EXPECT_EQ(events, 0);
    EXPECT_TRUE(rec.Errors.empty());
    EXPECT_THAT(
        rec.Debug,
        ElementsAre("Polling Disabled - Discarding Data Packet (to process data call StartPolling)."));
}

} // namespace
} // namespace kivra
