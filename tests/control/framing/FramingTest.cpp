// The framing pass on well-formed traffic: every frame kind, the order of a pass, split arrival.

#include "tests/control/framing/FramingTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <random>

namespace kivra::test {
namespace {

using Messages = std::vector<std::string>;
using namespace std::string_literals;

// ---- Tagged frames --------------------------------------------------------------------------

TEST(TaggedFrames, SerialFrameOfTwentyBytesIsQueuedWhole)
{
    Harness h;
    const std::string frame = "12 SERIAL #:123456\r\n";
    ASSERT_EQ(frame.size(), 20u);
    h.Receive(frame);
    EXPECT_EQ(h.Take(), Messages{"SERIAL:123456"});
    EXPECT_EQ(h.framing.Buffer(), "");
    EXPECT_EQ(h.TakeDebug(), Messages{"Base Serial found: SERIAL:123456"});
}

TEST(TaggedFrames, EveryTagGivesItsPrefixAndDebugText)
{
    struct Case {
        std::string bytes, message, debug;
    };
    const Case cases[] = {
        {"0D CHANNEL:07\r\n", "CHANNEL:07", "Base Channel found: CHANNEL:07"},
        {"0d CHANNEL:12\r\n", "CHANNEL:12", "Base Channel found: CHANNEL:12"}, // lower-case length
        {Frame("STATUS", "\x81\x00\xFF"s), "STATUS:\x81\x00\xFF"s, "Base Status found: STATUS:\x81\x00\xFF"s},
        {Frame("KIVRA", "420,FW 01.23b"), "VER:420,FW 01.23b", "Version info found: VER:420,FW 01.23b"},
        {Frame("STATUS", ""), "STATUS:", "Base Status found: STATUS:"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes);
        Harness h;
        h.Receive(c.bytes);
        EXPECT_EQ(h.Take(), Messages{c.message});
        EXPECT_EQ(h.TakeDebug(), Messages{c.debug});
        EXPECT_EQ(h.framing.Buffer(), "");
    }
}

TEST(TaggedFrames, BytesAroundAFrameStayInOrder)
{
    Harness h('A', 'E');
    h.Receive("ab" + Frame("CHANNEL", "05") + "cd");
    EXPECT_EQ(h.Take(), Messages{"CHANNEL:05"});
    EXPECT_EQ(h.framing.Buffer(), "abcd");
}

TEST(TaggedFrames, OnePassCutsOneFramePerTagInTagOrder)
{
    Harness h;
    h.Receive(Frame("KIVRA", "420,v1.2") + Frame("STATUS", "1") + Frame("STATUS", "2") +
              Frame("SERIAL #", "654321"));
    EXPECT_EQ(h.Take(), (Messages{"SERIAL:654321", "STATUS:1", "VER:420,v1.2"}));
    h.Receive("");
    EXPECT_EQ(h.Take(), Messages{"STATUS:2"});
    EXPECT_EQ(h.framing.Buffer(), "");
}

TEST(TaggedFrames, IncompleteFrameWaitsForItsBytes)
{
    Harness h;
    h.Receive("12 SERIAL #:123");
    EXPECT_EQ(h.queue.Count(), 0);
    h.Receive("456\r");
    EXPECT_EQ(h.queue.Count(), 0);
    h.Receive("\n");
    EXPECT_EQ(h.Take(), Messages{"SERIAL:123456"});
    EXPECT_EQ(h.framing.Buffer(), "");
}

TEST(TaggedFrames, TagWithoutRoomForALengthFieldIsLeftAndDoesNotBlockTheNextFrame)
{
    for (const std::string head : {"", "1", "12"}) {
        SCOPED_TRACE("tag at position " + std::to_string(head.size() + 1));
        Harness h;
        const std::string stray = head + "STATUS";
        h.Receive(stray);
        EXPECT_EQ(h.queue.Count(), 0);
        h.Receive(Frame("STATUS", "ok"));
        EXPECT_EQ(h.Take(), Messages{"STATUS:ok"});
        EXPECT_EQ(h.framing.Buffer(), stray);
    }
}

// ---- Keypad lists ---------------------------------------------------------------------------

TEST(KeypadLists, SerialAndTimestampListsAreQueuedWithoutTerminator)
{
    const std::string entries = "\x05\xAB\xCD\xEF\xCA\x00\x00\x07\x12\x34\x00\x4A\x00\x00"s;
    struct Case {
        char marker;
        std::string prefix;
        Messages debug;
    };
    const Case cases[] = {
        {'S', "KPS:", {"KeypadSerial's found - is there enough data?", "Keypad Serial # found: "}},
        {'T', "KPTM:", {"Keypad Timestamp(s) found: "}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.prefix);
        Harness h;
        h.ExpectList();
        const std::string list = List(c.marker, entries);
        h.Receive("ab" + list + "cd");
        // "cd" may still be the start of keypad 13's entry: the list ends when the line is quiet.
        EXPECT_EQ(h.queue.Count(), 0);
        h.TakeDebug();
        h.Quiet();
        const std::string message = c.prefix + list.substr(0, list.size() - 3);
        EXPECT_EQ(h.Take(), Messages{message});
        Messages debug = c.debug;
        debug.back() += message;
        EXPECT_EQ(h.TakeDebug(), debug);
        EXPECT_EQ(h.framing.Buffer(), "abcd");
    }
}

TEST(KeypadLists, EmptyListIsMarkerAndHeader)
{
    Harness h;
    h.ExpectList();
    h.Receive(List('S', ""));
    h.Quiet();
    EXPECT_EQ(h.Take(), Messages{"KPS:S\x01\x02"});
    EXPECT_EQ(h.framing.Buffer(), "");
}

TEST(KeypadLists, EarlierMarkerWins)
{
    Harness h;
    h.ExpectList();
    h.ExpectList();
    const std::string timestamps = List('T', "\x01\x00\x10\x00\x08\x00\x00"s);
    const std::string serials = List('S', "\x02\x11\x22\x33\x08\x00\x00"s);
    const std::string packet = Packet('A', '4');
    h.Receive(timestamps + serials + packet + "zz");
    // One list per pass: the second one, and the packet behind it, wait for the next pass.
    EXPECT_EQ(h.Take(), Messages{"KPTM:" + timestamps.substr(0, timestamps.size() - 3)});
    h.Receive("");
    EXPECT_EQ(h.Take(), (Messages{"KPS:" + serials.substr(0, serials.size() - 3), Queued(packet)}));
    EXPECT_EQ(h.framing.Buffer(), "zz");
}

TEST(KeypadLists, IncompleteListHoldsBackPacketsUntilTerminatorArrives)
{
    Harness h;
    h.ExpectList();
    const std::string list = List('T', "\x09\x00\x20\x00\x08\x00\x00"s);
    const std::string head = list.substr(0, list.size() - 3);
    const std::string packet = Packet('C', '5');
    h.Receive(packet + packet + head);
    EXPECT_EQ(h.queue.Count(), 0);
    EXPECT_EQ(h.TakeDebug(), Messages{"incomplete timestamp data - waiting for remaining timestamps..."});
    h.Receive("\r\n\xFF"s + packet + "zz");
    EXPECT_EQ(h.Take(), (Messages{"KPTM:" + head, Queued(packet), Queued(packet), Queued(packet)}));

    Harness s;
    s.ExpectList();
    s.Receive("S\x01\x02");
    EXPECT_EQ(s.TakeDebug(), (Messages{"KeypadSerial's found - is there enough data?",
                                       "incomplete serial data - waiting for remaining serial numbers..."}));
}

TEST(KeypadLists, ListCompletedLaterIsQueuedThenWaitingPacketsFollow)
{
    Harness h;
    h.ExpectList();
    const std::string list = List('T', "\x09\x00\x20\x00\x08\x00\x00"s);
    const std::string packet = Packet('C', '5');
    h.Receive(list.substr(0, list.size() - 2));
    EXPECT_EQ(h.queue.Count(), 0);
    h.Receive(list.substr(list.size() - 2) + packet + "zz");
    EXPECT_EQ(h.Take(), (Messages{"KPTM:" + list.substr(0, list.size() - 3), Queued(packet)}));
    EXPECT_EQ(h.framing.Buffer(), "zz");
}

// ---- Keypad data packets --------------------------------------------------------------------

TEST(Packets, PacketIsTakenOnlyWhenTwoMoreBytesFollow)
{
    Harness h('A', 'E');
    const std::string packet = Packet('C', '7');
    h.Receive(packet);
    EXPECT_EQ(h.queue.Count(), 0);
    h.Receive("A");
    EXPECT_EQ(h.queue.Count(), 0);
    h.Receive("B");
    EXPECT_EQ(h.Take(), Messages{Queued(packet)});
    EXPECT_EQ(h.TakeDebug(), Messages{"Packet: " + Queued(packet)});
    EXPECT_EQ(h.framing.Buffer(), "AB");
}

TEST(Packets, LettersOutsideTheModelRangeAreNotPackets)
{
    struct Case {
        char first, last, letter;
        bool taken;
    };
    const Case cases[] = {
        {'A', 'E', 'A', true}, {'A', 'E', 'E', true},  {'A', 'E', 'F', false}, {'A', 'M', 'M', true},
        {'P', 'P', 'P', true}, {'P', 'P', 'A', false}, {0, 0, 'A', false},     {0, 0, '\0', false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("range ") + c.first + ".." + c.last + " letter " + c.letter);
        Harness h(c.first, c.last);
        const std::string packet = Packet(c.letter);
        h.Receive(packet + "--");
        EXPECT_EQ(h.Take(), c.taken ? Messages{Queued(packet)} : Messages{});
    }
}

TEST(Packets, LeadingJunkGoesWithThePacket)
{
    Harness h;
    const std::string packet = Packet('B', '1');
    h.Receive("\x01\xF0z" + packet + "--");
    EXPECT_EQ(h.Take(), Messages{Queued(packet)});
    EXPECT_EQ(h.framing.Buffer(), "--");
}

TEST(Packets, AllBytesValuesArePreserved)
{
    // State bytes are keypad states; the bytes behind them may be anything.
    Harness h;
    const std::string states = "-0123456789:<=>?";
    std::string packet = Packet('A');
    for (int k = 1; k <= protocol::kKeypadsPerGroup; ++k)
        packet[static_cast<std::size_t>(k)] = states[static_cast<std::size_t>(k * 7) % states.size()];
    packet.replace(51, 5, "\0\xFF\x80\x01\xFE"s);
    h.Receive(packet + "\0\0"s);
    const Messages got = h.Take();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], Queued(packet));
    EXPECT_EQ(got[0].size(), 54u);
}

// ---- Split arrival --------------------------------------------------------------------------

// One frame of each tag and one list: a pass queues tags, then the list, then packets, so only
// the packets keep their arrival order in one read.
std::string MixedTraffic()
{
    std::string s;
    s += Frame("KIVRA", "420,FW 02.10\x80");
    s += Frame("SERIAL #", "A1B2C3");
    for (char g = 'A'; g <= 'E'; ++g)
        s += Packet(g, static_cast<char>('0' + (g - 'A')));
    s += List('S', "\x01\x10\x20\x30\xCA\x00\x00\x02\x40\x50\x60\x4B\x00\x00"s);
    s += Packet('A', '<');
    s += Frame("CHANNEL", "09");
    s += Packet('B', '?');
    s += Frame("STATUS", "\x00\x01\xFE"s);
    s += Packet('C', ':') + Packet('D', '-') + "\r\n";
    return s;
}

Messages Sorted(Messages m)
{
    std::sort(m.begin(), m.end());
    return m;
}

Messages PacketsOf(const Messages& m)
{
    Messages packets;
    std::copy_if(m.begin(), m.end(), std::back_inserter(packets),
                 [](const std::string& s) { return s.size() == 54 && s[0] >= 'A' && s[0] <= 'E'; });
    return packets;
}

TEST(SplitArrival, AnySplitGivesTheSameMessagesAsOneRead)
{
    const std::string traffic = MixedTraffic();
    Harness whole;
    whole.ExpectList();
    whole.Receive(traffic);
    const Messages expected = whole.Take();
    ASSERT_EQ(expected.size(), 14u);
    ASSERT_EQ(PacketsOf(expected).size(), 9u);
    EXPECT_EQ(whole.framing.Buffer(), "\r\n");

    auto check = [&](Harness& split) {
        const Messages got = split.Take();
        EXPECT_EQ(Sorted(got), Sorted(expected));
        EXPECT_EQ(PacketsOf(got), PacketsOf(expected));
        EXPECT_EQ(split.framing.Buffer(), whole.framing.Buffer());
    };
    for (std::size_t chunk : {1u, 2u, 3u, 7u, 55u, 56u, 57u, 64u}) {
        SCOPED_TRACE("chunk " + std::to_string(chunk));
        Harness split;
        split.ExpectList();
        split.ReceiveIn(traffic, chunk);
        check(split);
    }
    std::mt19937 random(7);
    Harness split;
    split.ExpectList();
    for (std::size_t i = 0; i < traffic.size();) {
        const std::size_t n = std::uniform_int_distribution<std::size_t>(0, 80)(random);
        split.Receive(std::string_view(traffic).substr(i, n));
        i += n;
    }
    check(split);
}

TEST(SplitArrival, DebugTextsAreBuiltOnlyForASink)
{
    Harness h;
    h.sink = nullptr;
    h.ExpectList();
    h.Receive(MixedTraffic());
    EXPECT_GT(h.queue.Count(), 0);
    EXPECT_TRUE(h.debug.empty());
}

TEST(SplitArrival, ClearEmptiesTheBuffer)
{
    Harness h;
    h.Receive("12 SERIAL #:12");
    h.framing.Clear();
    h.Receive("3456\r\n");
    EXPECT_EQ(h.queue.Count(), 0);
    EXPECT_EQ(h.framing.Buffer(), "3456\r\n");
}

} // namespace
} // namespace kivra::test
