// Noise on the line must never wedge the framing, lose later frames or grow the buffer.

#include "tests/control/framing/FramingTestSupport.h"

#include <gtest/gtest.h>

#include <random>

namespace kivra::test {
namespace {

using Messages = std::vector<std::string>;
using namespace std::string_literals;

constexpr auto kMaxList = static_cast<std::size_t>(protocol::kMaxListFrameSize);

TEST(BufferBound, OldestBytesBeyondTheLimitAreDroppedWithADebugText)
{
    Harness h('A', 'E', 100);
    h.Receive(std::string(90, 'x'));
    EXPECT_TRUE(h.TakeDebug().empty());
    h.Receive("0123456789abcdefghij");
    EXPECT_EQ(h.framing.Buffer(), std::string(80, 'x') + "0123456789abcdefghij");
    EXPECT_EQ(h.TakeDebug(), Messages{"Receive buffer full - oldest bytes dropped: 10"});

    h.Receive(std::string(150, 'y') + "end"); // one read larger than the whole bound
    EXPECT_EQ(h.framing.Buffer(), std::string(97, 'y') + "end");
    EXPECT_EQ(h.TakeDebug(), Messages{"Receive buffer full - oldest bytes dropped: 153"});
}

TEST(BufferBound, LimitHasAFloorOfOnePacketAndItsTwoBytes)
{
    EXPECT_EQ(TKivraFraming(0).BufferLimit(), 58u);
    EXPECT_EQ(TKivraFraming().BufferLimit(), 16u * 1024u);
    Harness h('A', 'E', 0);
    const std::string packet = Packet('D');
    h.Receive(std::string(500, '\xEE') + packet + "..");
    EXPECT_EQ(h.Take(), Messages{Queued(packet)});
}

TEST(BufferBound, EndlessNoiseKeepsTheBufferBoundedAndPacketsStillFlow)
{
    Harness h;
    h.sink = nullptr;
    std::mt19937 random(3);
    std::uniform_int_distribution<int> byte(0, 255);
    for (int read = 0; read < 2000; ++read) {
        std::string noise(64, '\0');
        for (auto& c : noise) {
            c = static_cast<char>(byte(random));
            if (c >= 'A' && c <= 'E')
                c = 'a'; // no accidental packets: only the real one below may be framed
        }
        h.Receive(noise);
        ASSERT_LE(h.framing.Buffer().size(), h.framing.BufferLimit());
    }
    h.Take();
    const std::string packet = Packet('E', '9');
    std::string traffic;
    for (std::size_t n = 0; n <= kMaxList / packet.size() + 1; ++n)
        traffic += packet;
    h.Receive(traffic + "--");
    const Messages got = h.Take();
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got.back(), Queued(packet));
}

TEST(ListMarkers, TerminatorBeforeTheMarkerDoesNotBlockLists)
{
    Harness h;
    h.ExpectList();
    const std::string list = List('S', "\x01\x10\x20\x30\xCA\x00\x00"s);
    h.Receive("\r\n\xFF"s + list);
    h.Quiet();
    EXPECT_EQ(h.Take(), Messages{"KPS:" + list.substr(0, list.size() - 3)});
    EXPECT_EQ(h.framing.Buffer(), "\r\n\xFF");

    const std::string packet = Packet('A');
    h.Receive(packet + "xy");
    EXPECT_EQ(h.Take(), Messages{Queued(packet)});
}

TEST(ListMarkers, StrayMarkerHoldsNoPacket)
{
    // Outside a list window "S" and "T" are loose bytes; inside it, a marker whose list would
    // have to hold a packet is one too. Either way the packets behind it flow at once.
    for (bool window : {false, true}) {
        for (const std::string stray : {"S", "T", "xxSER", "TATUS"}) {
            SCOPED_TRACE(stray + (window ? " in a list window" : ""));
            Harness h;
            if (window)
                h.ExpectList();
            const std::string packet = Packet('B', '3');
            h.Receive(stray + packet + packet + "--");
            EXPECT_EQ(h.Take(), (Messages{Queued(packet), Queued(packet)}));
            EXPECT_EQ(h.framing.Buffer(), "--");
            for (const auto& text : h.TakeDebug())
                EXPECT_EQ(text.find("incomplete"), std::string::npos) << text;
        }
    }
}

TEST(ListMarkers, LaterListIsFoundBehindADeadMarker)
{
    Harness h;
    h.ExpectList();
    const std::string list = List('T', "\x04\x01\x00\x00\x08\x00\x00"s);
    const std::string junk = "S" + std::string(kMaxList, '.');
    h.Receive(junk + list);
    h.Quiet();
    EXPECT_EQ(h.Take(), Messages{"KPTM:" + list.substr(0, list.size() - 3)});
    EXPECT_EQ(h.framing.Buffer(), junk);
}

TEST(ListMarkers, ListOfMaximumLengthIsStillAList)
{
    Harness h('A', 'M'); // the model with 650 keypads
    std::string entries;
    for (int k = 0; k < protocol::kMaxListEntries; ++k)
        entries += "\x01\x02\x03\x04\x05\x06\x07"s;
    const std::string list = "xx" + List('S', entries);
    ASSERT_EQ(list.size(), kMaxList + 2);
    h.ExpectList();
    h.Receive(list);
    const Messages got = h.Take();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].size(), 4 + kMaxList - 3);
    EXPECT_EQ(h.framing.Buffer(), "xx");
}

TEST(PacketScan, JunkBeforeSeveralPacketsDoesNotHideTheNextPacket)
{
    // Resuming the scan behind the cut packet would skip the first bytes of the next one.
    for (std::size_t junk : {1u, 3u, 55u, 60u}) {
        SCOPED_TRACE("junk " + std::to_string(junk));
        Harness h;
        const Messages packets{Queued(Packet('A', '1')), Queued(Packet('B', '2')), Queued(Packet('C', '3'))};
        h.Receive(std::string(junk, 'z') + Packet('A', '1') + Packet('B', '2') + Packet('C', '3') + "!!");
        EXPECT_EQ(h.Take(), packets);
        EXPECT_EQ(h.framing.Buffer(), "!!");
    }
}

TEST(MalformedFrames, BadLengthFieldIsSkippedOnceAndLaterFramesGetThrough)
{
    struct Case {
        std::string name, frame;
    };
    const Case cases[] = {
        {"not hexadecimal", "zz STATUS:abc\r\n"},
        {"half hexadecimal", "1g STATUS:abc\r\n"},
        {"sign", "-1 STATUS:abc\r\n"},
        {"shorter than the tag's frame", "09 STATUS:abc\r\n"},
        {"zero", "00 STATUS:abc\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h;
        EXPECT_NO_THROW(h.Receive(c.frame));
        EXPECT_EQ(h.queue.Count(), 0);
        const Messages debug = h.TakeDebug();
        ASSERT_FALSE(debug.empty());
        EXPECT_EQ(debug.front(),
                  "Invalid frame length - skipping tag: STATUS length \"" + c.frame.substr(0, 2) + "\"");

        EXPECT_NO_THROW(h.Receive(Frame("STATUS", "good")));
        EXPECT_EQ(h.Take(), Messages{"STATUS:good"});
        // The bad frame's bytes are loose and never reported again.
        for (const auto& text : h.TakeDebug())
            EXPECT_EQ(text.find("Invalid frame length"), std::string::npos) << text;
    }
}

TEST(MalformedFrames, RemovingABadTagCannotLeaveAnotherBadTagBehind)
{
    // The bad tag's first letter is spoiled, not removed: removing it would make the "S" in front
    // start a new "STATUS", here with "A1" before it as a length that swallows the good frame.
    Harness h;
    h.Receive("zA1]SSTATUS" + Frame("STATUS", "ok") + std::string(200, '.'));
    EXPECT_EQ(h.Take(), Messages{"STATUS:ok"});
    EXPECT_EQ(h.framing.Buffer(), "zA1]SsTATUS" + std::string(200, '.'));
    h.TakeDebug();
    h.Receive("");
    for (const auto& text : h.TakeDebug())
        EXPECT_EQ(text.find("Invalid frame length"), std::string::npos) << text;
}

TEST(MalformedFrames, IncompleteJunkFrameDoesNotHoldBackALaterFrameOfItsTag)
{
    Harness h;
    h.Receive("FF CHANNEL:"); // declares 257 bytes that never come
    h.Receive(Frame("CHANNEL", "11"));
    EXPECT_EQ(h.Take(), Messages{"CHANNEL:11"});
    EXPECT_EQ(h.framing.Buffer(), "FF CHANNEL:");
}

} // namespace
} // namespace kivra::test
