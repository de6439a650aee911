// What a real line sends and a naive framing gets wrong: terminator bytes inside list entries,
// stray markers, stray scan group letters, two frames of a tag, frame lengths that lie.

#include "tests/control/framing/FramingTestSupport.h"

#include <gtest/gtest.h>

namespace kivra::test {
namespace {

using Messages = std::vector<std::string>;
using namespace std::string_literals;

std::string Entry(unsigned char keypad, std::string_view rest)
{
    return std::string(1, static_cast<char>(keypad)) + std::string(rest);
}

std::string Body(const std::string& list)
{
    return list.substr(0, list.size() - protocol::kListTerminator.size());
}

TEST(ListEntries, TerminatorBytesOffTheEntryBoundaryAreEntryBytes)
{
    // Serial numbers and status bytes may hold 0D 0A FF, "S" and "T"; keypad 83 is "S".
    const std::string list = List('S', Entry(5, "\r\n\xFF\xCA  "s) + Entry(83, "\x01\r\n\xFF  "s) +
                                           Entry(84, "TS\r\xC8\n\xFF"s) + Entry(9, "\x0D\x0A\xFF\x53  "s));
    const std::string packet = Packet('B', '7');
    for (const std::size_t chunk : std::initializer_list<std::size_t>{1, 5, list.size()}) {
        SCOPED_TRACE("chunk " + std::to_string(chunk));
        Harness h;
        h.ExpectList();
        h.ReceiveIn(list + packet + "--", chunk);
        EXPECT_EQ(h.Take(), (Messages{"KPS:" + Body(list), Queued(packet)}));
        EXPECT_FALSE(h.framing.ListExpected());
    }
}

TEST(ListEntries, KeypadThirteenWhoseSerialBeginsWithTheTerminatorIsReadByWhatFollows)
{
    const std::string thirteen = Entry(13, "\x0A\xFF\x01\x8A  "s); // spells 0D 0A FF on a boundary
    const std::string packet = Packet('C', '2');
    struct Case {
        std::string name, bytes;
        bool quiet;
        Messages expected;
    };
    const std::string whole =
        List('T', Entry(2, "\x00\x10\x00\x48  "s) + thirteen + Entry(14, "\x01\x02\x00\x48  "s));
    const std::string head = "T\x01\x02"s + Entry(2, "\x00\x10\x00\x48  "s);
    const Case cases[] = {
        // More entries and a terminator on a later boundary follow: keypad 13.
        {"entry, list goes on", whole + packet + "--", false, {"KPTM:" + Body(whole), Queued(packet)}},
        {"entry, then quiet", whole, true, {"KPTM:" + Body(whole)}},
        // A packet or a quiet line follows: the end of the list.
        {"end, packet follows", head + "\r\n\xFF"s + packet + "--", false, {"KPTM:" + head, Queued(packet)}},
        {"end, then quiet", head + "\r\n\xFF"s + "\x01\x8A"s, true, {"KPTM:" + head}},
    };
    for (const Case& c : cases) {
        for (const std::size_t chunk : std::initializer_list<std::size_t>{1, 4, 9, c.bytes.size()}) {
            SCOPED_TRACE(c.name + ", chunk " + std::to_string(chunk));
            Harness h;
            h.ExpectList();
            h.ReceiveIn(c.bytes, chunk);
            if (c.quiet)
                h.Quiet();
            EXPECT_EQ(h.Take(), c.expected);
        }
    }
}

TEST(ListEntries, AStrayMarkerWhoseListWouldNameAKeypadTwiceOrNoneStartsNone)
{
    // A marker 7 bytes before the list would make a longer list of the same end; its first entry
    // names keypad 2 (which the list names again) or keypad 0 (which does not exist).
    const std::string list = List('T', Entry(1, "\x00\x10\x00\x48  "s) + Entry(2, "\x00\x20\x00\x48  "s));
    for (const std::string& stray : {"Sxy\x02zzz"s, "Txy\x00zzz"s}) {
        Harness h;
        h.ExpectList();
        h.Receive(stray + list);
        h.Quiet();
        EXPECT_EQ(h.Take(), Messages{"KPTM:" + Body(list)});
    }
    // Read to the end, the stray marker's list names keypad 20 twice; cut short at keypad 13's
    // entry it would not. The list that reads to the end without a fault is the real one.
    const std::string real = List('S', Entry(1, "\x11\x22\x33\xC8  "s) + Entry(13, "\x0A\xFF\x01\x8A  "s) +
                                           Entry(20, "\x44\x55\x66\xC8  "s));
    for (const std::size_t chunk : std::initializer_list<std::size_t>{1, 8, 100}) {
        SCOPED_TRACE("chunk " + std::to_string(chunk));
        Harness h;
        h.ExpectList();
        h.ReceiveIn("Txy\x14zzz"s + real, chunk);
        h.Quiet();
        EXPECT_EQ(h.Take(), Messages{"KPS:" + Body(real)});
    }
}

TEST(ListWindow, ListsAreFramedOnlyWhileOneIsDue)
{
    const std::string list = List('S', Entry(1, "\x11\x22\x33\xC8  "s));
    const std::string packet = Packet('A', '1');

    // Not asked for: the list's bytes are loose and go with the next packet.
    Harness none;
    none.Receive(list + packet + "--");
    EXPECT_EQ(none.Take(), Messages{Queued(packet)});

    // Bytes that arrived before the request cannot start the list; a stray marker in front of
    // the list, and one behind it once the list is cut, hold nothing.
    Harness h;
    h.Receive("T\x05");
    h.ExpectList();
    h.Receive("S" + packet + list + packet + "T" + packet + "--");
    EXPECT_EQ(h.Take(), (Messages{"KPS:" + Body(list), Queued(packet), Queued(packet), Queued(packet)}));
    EXPECT_FALSE(h.framing.ListExpected());

    // A list that does not come in time is no longer waited for.
    Harness late;
    late.ExpectList();
    late.Receive(list.substr(0, 5));
    late.framing.EndListWindow(late.queue, late.sink);
    EXPECT_EQ(late.TakeDebug().back(), "No keypad list arrived in time - no list expected any more");
    late.Receive(list.substr(5) + packet + "--");
    EXPECT_EQ(late.Take(), Messages{Queued(packet)});
}

TEST(PacketCandidates, StrayLettersNeverShiftAPacket)
{
    const std::string a = Packet('A', '1'), c = Packet('C', '3');
    std::string garbled = Packet('B', '5');
    garbled[8] = 'x'; // a real packet with a state byte no keypad sends
    struct Case {
        std::string name, bytes;
        Messages expected;
    };
    const Case cases[] = {
        {"letter before", "B" + a + c + "--", {Queued(a), Queued(c)}},
        {"letters before", "DE" + a + "--", {Queued(a)}},
        {"letter between", a + "E" + c + "--", {Queued(a), Queued(c)}},
        {"letter in the tail",
         a.substr(0, 53) + "D" + a.substr(54) + c + "--",
         {Queued(a.substr(0, 53) + "D"), Queued(c)}},
        {"garbled packet between packets", a + garbled + c + "--", {Queued(a), Queued(garbled), Queued(c)}},
    };
    for (const Case& t : cases) {
        for (const std::size_t chunk : std::initializer_list<std::size_t>{1, 57, t.bytes.size()}) {
            SCOPED_TRACE(t.name + ", chunk " + std::to_string(chunk));
            Harness h;
            h.ReceiveIn(t.bytes, chunk);
            EXPECT_EQ(h.Take(), t.expected);
        }
    }
}

TEST(TaggedFrames, SecondFrameOfATagSurvivesThePacketsOfThePass)
{
    Harness h;
    const std::string packet = Packet('D', '4');
    EXPECT_TRUE(h.framing.Receive(Frame("STATUS", "C\x80"
                                                  "D\xC0") +
                                      Frame("STATUS", "C\x00"
                                                      "D\xC4"s) +
                                      packet + "--",
                                  h.queue, h.sink));
    EXPECT_EQ(h.Take(), (Messages{"STATUS:C\x80"
                                  "D\xC0",
                                  Queued(packet)}));
    EXPECT_FALSE(h.framing.Pass(h.queue, h.sink)); // the next pass
    EXPECT_EQ(h.Take(), Messages{"STATUS:C\x00"
                                 "D\xC4"s});
    EXPECT_EQ(h.framing.Buffer(), "--");
}

TEST(TaggedFrames, LengthThatWouldTakeInPacketsIsWrong)
{
    Harness h;
    const std::string packet = Packet('E', '9');
    // Declares 0x60 bytes where 16 follow: the packets behind it are not its content.
    h.Receive("60 STATUS:C\x80"
              "D\xC0\r\n" +
              packet + packet + "--");
    EXPECT_EQ(h.Take(), (Messages{Queued(packet), Queued(packet)}));
    EXPECT_EQ(h.TakeDebug().front(), "Invalid frame length - skipping tag: STATUS length \"60\"");
}

} // namespace
} // namespace kivra::test
