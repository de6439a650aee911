#pragma once
// Random lying streams for the framing, and the check of what it makes of them.
//
// A stream is a sequence of valid units (keypad packets, tagged frames, keypad lists in answer to
// "PD") with bytes inserted between them, some units cut short or damaged by a byte that no unit
// could hold at that place, fed to the framing in random chunk sizes, with the host's "PD" and
// the line's pauses at unit boundaries. The invariants: every unit no noise touched is queued
// exactly once, unchanged, in order within its kind (frames of one tag, lists, packets); a
// damaged unit may be lost, never misread (a packet with one garbled state byte may be queued as
// it is: that byte is reported when parsed); nothing else is queued; the buffer stays bounded.
//
// Left out are the streams that no receiver can tell from other valid streams:
// - inserted bytes that spell a unit: a tag, a list terminator, or a scan group letter with 50
//   bytes behind it of which at most 4 are not keypad states (a packet with a few state bytes
//   garbled: when it stands where a packet may stand, the framing takes it);
// - a list marker inserted after "PD" a multiple of 7 bytes before the list (a longer list whose
//   entries are the inserted bytes), and any marker inserted while two lists are due;
// - two lists sent back to back (entries holding terminators and markers let them be split in
//   more than one way): a packet or a pause comes between them;
// - inserted bytes right behind a damaged unit, or a unit cut short before anything but a packet
//   (the damaged unit could be completed by them);
// - damage while a list is due (its loose bytes could start a list), and damaged lists;
// - unit bytes the framing reads before the unit: a tag inside list entries, frame contents or
//   packet tails, a terminator in frame bytes or inserted bytes.
// The source of random choices is a template parameter: a seeded generator for the property test,
// the fuzzer's data for the fuzz target.

#include "control/KivraFraming.h"
#include "control/KivraProtocol.h"
#include "control/ThreadSafeStringList.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace kivra::test {

class LyingStream {
public:
    enum class Kind : std::uint8_t { Packet, Frame, List };
    struct Unit {
        Kind kind;
        std::size_t begin, size;
        bool intact = true;
        bool mayQueueDamaged = false; // a packet with one garbled state byte
        std::size_t tag = 0;          // frames: index into protocol::kFrameTags
    };
    enum class Event : std::uint8_t { ExpectList, Quiet, EndWindow };
    struct Mark {
        Event event;
        std::size_t at;
    };

    char first = 'A', last = 'E';
    std::string bytes;
    std::vector<Unit> units;
    std::vector<Mark> marks;

    //! The message the framing queues for a unit.
    std::string Message(const Unit& u) const
    {
        const std::string_view b(bytes);
        switch (u.kind) {
        case Kind::Packet:
            return std::string(b.substr(u.begin, protocol::kQueuedPacketSize));
        case Kind::List:
            return std::string(b[u.begin] == protocol::kSerialListMarker ? protocol::kPrefixSerialList
                                                                         : protocol::kPrefixTimestampList) +
                   std::string(b.substr(u.begin, u.size - protocol::kListTerminator.size()));
        case Kind::Frame: {
            const auto& tag = protocol::kFrameTags[u.tag];
            const std::size_t content = protocol::kTagOffset + tag.tag.size() + 1;
            return std::string(tag.prefix) + std::string(b.substr(u.begin + content, u.size - content - 2));
        }
        }
        return {};
    }

    template <typename Source> static LyingStream Make(Source& random);

    //! The units, events and inserted bytes in stream order, for a failure message.
    std::string Describe() const
    {
        std::string out =
            std::string("scan groups ") + (last ? std::string{first, '-', last} : "none") + "\n";
        std::size_t u = 0, m = 0;
        for (std::size_t p = 0; p <= bytes.size();) {
            for (; m < marks.size() && marks[m].at == p; ++m)
                out += marks[m].event == Event::ExpectList ? "  [PD]\n"
                       : marks[m].event == Event::Quiet    ? "  [quiet]\n"
                                                           : "  [end of window]\n";
            if (p == bytes.size())
                break;
            std::size_t to = u < units.size() ? units[u].begin : bytes.size();
            for (std::size_t k = m; k < marks.size(); ++k)
                to = std::min(to, marks[k].at > p ? marks[k].at : to);
            if (u < units.size() && units[u].begin == p) {
                const Unit& x = units[u++];
                static const char* kNames[] = {"packet", "frame", "list"};
                out += std::string("  @") + std::to_string(p) + " " + kNames[static_cast<int>(x.kind)] +
                       (x.intact ? "" : " (damaged)") + ": " + Show(bytes.substr(p, x.size)) + "\n";
                p += x.size;
            } else {
                out += "  @" + std::to_string(p) + " bytes: " + Show(bytes.substr(p, to - p)) + "\n";
                p = to;
            }
        }
        return out;
    }

    static std::string Show(const std::string& m)
    {
        std::string out;
        for (unsigned char c : m) {
            char hex[8];
            std::snprintf(hex, sizeof hex, c >= 0x20 && c < 0x7F && c != '<' ? "%c" : "<%02X>", c);
            out += hex;
        }
        return out;
    }

    //! Feeds the stream as the communication layer does; "" when every invariant holds, else
    //! what broke.
    template <typename Source> std::string Check(Source& random) const;

private:
    enum class Byte : std::uint8_t { Fixed, Free, Noise, Entry };
    std::vector<Byte> roles_;
    std::vector<std::pair<std::size_t, std::size_t>> windows_; // "PD" at, list marker at
    std::set<std::size_t> twoDue_;                             // windows that hold two lists

    template <typename Source> void AddNoise(Source& random, std::size_t count);
    template <typename Source> void AddPacket(Source& random, int damage);
    template <typename Source> void AddFrame(Source& random, int damage);
    template <typename Source> void AddList(Source& random);
    void Put(char c, Byte role)
    {
        bytes.push_back(c);
        roles_.push_back(role);
    }
    void Sanitize();
    bool Breakable(std::size_t from, std::size_t to, bool entriesToo);
};

namespace lying {

inline constexpr std::string_view kStates = "---------0123456789:<=>?";
//! Bytes no unit holds at a state byte or in a length field or tag: no state, letter, marker, hex
//! digit, terminator byte or tag character.
inline constexpr std::string_view kGarbled = "\x01\x07\x1B!$%&()*+,./;@[]^_`gjkmqxyz{|}~\x7F\x80\x9C\xC3\xEE";

template <typename Source> unsigned Below(Source& random, unsigned n)
{
    return n == 0 ? 0 : random.Below(n);
}
template <typename Source> bool Chance(Source& random, unsigned percent)
{
    return Below(random, 100) < percent;
}
template <typename Source> char Pick(Source& random, std::string_view from)
{
    return from[Below(random, static_cast<unsigned>(from.size()))];
}

//! A byte that could be anything, biased to the bytes that tempt a framing.
template <typename Source> char AnyByte(Source& random, char first, char last)
{
    switch (Below(random, 8)) {
    case 0:
        return static_cast<char>(first +
                                 static_cast<char>(Below(random, static_cast<unsigned>(last - first + 1))));
    case 1:
        return Pick(random, "STST\r\n\xFF");
    case 2:
        return Pick(random, "SERIAL #STATUSCHANNELKIVRA");
    case 3:
        return Pick(random, "0123456789ABCDEFabcdef");
    case 4:
        return Pick(random, kStates);
    default:
        return static_cast<char>(Below(random, 256));
    }
}

} // namespace lying

template <typename Source> void LyingStream::AddNoise(Source& random, std::size_t count)
{
    for (std::size_t n = 0; n < count; ++n)
        Put(lying::AnyByte(random, first, last), Byte::Noise);
}

// damage: 0 none, 1 a state byte garbled, 2 cut short (a packet must follow directly).
template <typename Source> void LyingStream::AddPacket(Source& random, int damage)
{
    Unit u{Kind::Packet, bytes.size(), protocol::kPacketSize};
    Put(static_cast<char>(first +
                          static_cast<char>(lying::Below(random, static_cast<unsigned>(last - first + 1)))),
        Byte::Fixed);
    for (int k = 0; k < protocol::kKeypadsPerGroup; ++k)
        Put(lying::Pick(random, lying::kStates), Byte::Fixed);
    for (int k = 0; k < 5; ++k)
        Put(lying::AnyByte(random, first, last), Byte::Free);
    if (damage == 1) {
        bytes[u.begin + 1 + lying::Below(random, 50)] = lying::Pick(random, lying::kGarbled);
        u.intact = false;
        u.mayQueueDamaged = true;
    } else if (damage == 2) {
        const std::size_t keep = 1 + lying::Below(random, 50);
        bytes.resize(u.begin + keep);
        roles_.resize(u.begin + keep);
        Put(lying::Pick(random, lying::kGarbled), Byte::Fixed);
        u.size = keep + 1;
        u.intact = false;
    }
    units.push_back(u);
}

// damage: 0 none, 1 a length digit garbled, 2 a tag byte garbled.
template <typename Source> void LyingStream::AddFrame(Source& random, int damage)
{
    const std::size_t tag = lying::Below(random, static_cast<unsigned>(protocol::kFrameTags.size()));
    const std::string_view text = protocol::kFrameTags[tag].tag;
    const std::size_t content = lying::Below(random, 21);
    const std::size_t length = 1 + text.size() + 1 + content + 2;
    Unit u{Kind::Frame, bytes.size(), length + 2, true, false, tag};
    char digits[3];
    std::snprintf(digits, sizeof digits, lying::Chance(random, 50) ? "%02X" : "%02x",
                  static_cast<unsigned>(length));
    Put(digits[0], Byte::Fixed);
    Put(digits[1], Byte::Fixed);
    Put(lying::AnyByte(random, first, last), Byte::Free);
    for (char c : text)
        Put(c, Byte::Fixed);
    for (std::size_t k = 0; k < content + 3; ++k)
        Put(lying::AnyByte(random, first, last), Byte::Free);
    if (damage == 1)
        bytes[u.begin + lying::Below(random, 2)] = lying::Pick(random, lying::kGarbled);
    else if (damage == 2)
        bytes[u.begin + 3 + lying::Below(random, static_cast<unsigned>(text.size()))] =
            lying::Pick(random, lying::kGarbled);
    u.intact = damage == 0;
    units.push_back(u);
}

template <typename Source> void LyingStream::AddList(Source& random)
{
    Unit u{Kind::List, bytes.size(), 0};
    Put(lying::Chance(random, 50) ? protocol::kSerialListMarker : protocol::kTimestampListMarker,
        Byte::Fixed);
    Put(lying::AnyByte(random, first, last), Byte::Entry);
    Put(lying::AnyByte(random, first, last), Byte::Entry);
    // Keypad numbers are distinct: keypad 13 (the entry that may begin with the terminator) comes
    // at most once, often with a serial number beginning 0A FF.
    std::set<unsigned> keypads;
    const unsigned entries = lying::Below(random, 13);
    const unsigned highest = last == 0 ? 250 : std::min(250u, static_cast<unsigned>(last - first + 1) * 50);
    for (int tries = 0; keypads.size() < entries && tries < 64; ++tries)
        keypads.insert(lying::Chance(random, 15) ? 13u : 1 + lying::Below(random, highest));
    for (unsigned keypad : keypads) {
        Put(static_cast<char>(keypad), Byte::Fixed);
        const bool ambiguous = keypad == 13 && lying::Chance(random, 60);
        for (int k = 1; k < protocol::kListEntrySize; ++k) {
            if (ambiguous && k < 3)
                Put(k == 1 ? '\x0A' : '\xFF', Byte::Fixed);
            else
                Put(lying::AnyByte(random, first, last), Byte::Entry);
        }
    }
    for (char c : protocol::kListTerminator)
        Put(c, Byte::Fixed);
    u.size = bytes.size() - u.begin;
    units.push_back(u);
}

//! Sets a free byte of [from, to) to one that spells nothing; false when none is free.
inline bool LyingStream::Breakable(std::size_t from, std::size_t to, bool entriesToo)
{
    for (std::size_t p = from; p < to && p < bytes.size(); ++p) {
        if (roles_[p] == Byte::Noise || roles_[p] == Byte::Free || (entriesToo && roles_[p] == Byte::Entry)) {
            bytes[p] = 'x';
            return true;
        }
    }
    return false;
}

inline void LyingStream::Sanitize()
{
    const auto letter = [this](std::size_t p) { return bytes[p] >= first && bytes[p] <= last && last != 0; };
    for (bool changed = true; changed;) {
        changed = false;
        // Tags only where frames have them.
        std::set<std::size_t> tags;
        for (const Unit& u : units)
            if (u.kind == Kind::Frame)
                tags.insert(u.begin + protocol::kTagOffset);
        for (const auto& tag : protocol::kFrameTags)
            for (std::size_t at = bytes.find(tag.tag); at != std::string::npos;
                 at = bytes.find(tag.tag, at + 1))
                if (!tags.count(at) && Breakable(at, at + tag.tag.size(), true))
                    changed = true;
        // Terminators only in lists.
        std::vector<bool> inList(bytes.size(), false);
        for (const Unit& u : units)
            if (u.kind == Kind::List)
                std::fill(inList.begin() + static_cast<long>(u.begin),
                          inList.begin() + static_cast<long>(u.begin + u.size), true);
        for (std::size_t at = bytes.find(protocol::kListTerminator); at != std::string::npos;
             at = bytes.find(protocol::kListTerminator, at + 1))
            if (!(inList[at] && inList[at + 2]) && Breakable(at, at + 3, false))
                changed = true;
        // Packets only where packets are: no letter of inserted or free bytes has 50 bytes behind
        // it that the framing could take for a packet with a few garbled state bytes.
        const auto packetLike = [this](std::string_view b, std::size_t p) {
            std::size_t garbled = 0;
            for (std::size_t k = p + 1; k <= p + 50 && k < b.size(); ++k)
                garbled += protocol::IsKeypadState(b[k]) ? 0 : 1;
            return p + 50 < b.size() && last != 0 && b[p] >= first && b[p] <= last && garbled <= 4;
        };
        for (std::size_t p = 0; p < bytes.size(); ++p)
            if (roles_[p] != Byte::Fixed && letter(p) && packetLike(bytes, p) && Breakable(p, p + 1, true))
                changed = true;
        // The same in the bytes left once the intact units are cut out: what lies around a unit
        // comes together when it goes.
        std::vector<bool> intact(bytes.size(), false);
        for (const Unit& u : units)
            if (u.intact)
                std::fill(intact.begin() + static_cast<long>(u.begin),
                          intact.begin() + static_cast<long>(u.begin + u.size), true);
        std::vector<std::size_t> at; // positions of the loose bytes
        std::string loose;
        for (std::size_t p = 0; p < bytes.size(); ++p)
            if (!intact[p]) {
                at.push_back(p);
                loose.push_back(bytes[p]);
            }
        const auto breakLoose = [&](std::size_t from, std::size_t count) {
            for (std::size_t k = from; k < from + count && k < at.size(); ++k)
                if (Breakable(at[k], at[k] + 1, true))
                    return true;
            return false;
        };
        std::vector<std::string_view> spelled{protocol::kListTerminator};
        for (const auto& tag : protocol::kFrameTags)
            spelled.push_back(tag.tag);
        for (std::string_view text : spelled)
            for (std::size_t k = loose.find(text); k != std::string::npos; k = loose.find(text, k + 1))
                if (at[k + text.size() - 1] - at[k] >= text.size() && breakLoose(k, text.size()))
                    changed = true;
        for (std::size_t k = 0; k < loose.size(); ++k)
            if (roles_[at[k]] != Byte::Fixed && packetLike(loose, k) && breakLoose(k, 1))
                changed = true;
        // No inserted marker starts a list that ends where the one asked for ends (frames between
        // them are cut out first).
        for (const auto& [open, marker] : windows_) {
            for (std::size_t p = open; p < marker; ++p) {
                const bool stray = roles_[p] == Byte::Noise && (bytes[p] == 'S' || bytes[p] == 'T');
                if (!stray)
                    continue;
                std::size_t distance = marker - p;
                for (const Unit& u : units)
                    if (u.kind == Kind::Frame && u.intact && u.begin > p && u.begin + u.size <= marker)
                        distance -= u.size;
                if (twoDue_.count(open) || distance % protocol::kListEntrySize == 0) {
                    bytes[p] = 'x';
                    changed = true;
                }
            }
        }
    }
}

template <typename Source> LyingStream LyingStream::Make(Source& random)
{
    LyingStream s;
    switch (lying::Below(random, 10)) {
    case 0:
        s.first = 'P', s.last = 'P';
        break;
    case 1:
        s.first = 'A', s.last = 'M';
        break;
    case 2:
        s.first = 0, s.last = 0; // a model without scan groups: no packets
        break;
    default:
        break;
    }
    const bool packets = s.last != 0;
    const int count = 4 + static_cast<int>(lying::Below(random, 36));
    int due = 0;          // lists asked for and not yet sent
    int untilList = 0;    // units before the first due list
    bool orphan = false;  // a "PD" the base never answers: the window stays open
    std::size_t open = 0; // where the current window opened
    bool damagedBefore = false;
    bool packetNext = false;
    bool listUnsettled = false; // a list was sent and neither a packet nor a pause followed yet
    for (int n = 0; n < count; ++n) {
        if (lying::Chance(random, 15)) {
            s.marks.push_back({Event::Quiet, s.bytes.size()});
            listUnsettled = false;
        }
        if (due == 0 && !orphan && !packetNext && lying::Chance(random, 15)) {
            // A list ends where the line went quiet or a packet followed it: asked for again before
            // that, inserted bytes between the two lists could be taken for keypad 13's entry.
            if (listUnsettled)
                s.marks.push_back({Event::Quiet, s.bytes.size()});
            due = lying::Chance(random, 20) ? 2 : 1;
            orphan = lying::Chance(random, 10);
            if (orphan)
                due = 0;
            untilList = static_cast<int>(lying::Below(random, 4));
            open = s.bytes.size();
            for (int k = 0; k < (orphan ? 1 : due); ++k)
                s.marks.push_back({Event::ExpectList, s.bytes.size()});
            if (due == 2)
                s.twoDue_.insert(open);
        }
        const bool noNoise = damagedBefore || packetNext;
        if (!noNoise && lying::Chance(random, 40))
            s.AddNoise(random, 1 + lying::Below(random, 30));
        damagedBefore = false;
        const bool mayDamage = due == 0 && !orphan;
        if (due > 0 && untilList-- <= 0) {
            s.windows_.emplace_back(open, s.bytes.size());
            s.AddList(random);
            if (--due == 1) {
                // The second list comes with a packet between: back to back, two lists whose
                // entries hold terminators and markers can be read in more than one way.
                if (packets)
                    s.AddPacket(random, 0);
                else
                    s.marks.push_back({Event::Quiet, s.bytes.size()});
                s.windows_.emplace_back(open, s.bytes.size());
                s.AddList(random);
                due = 0;
            }
            listUnsettled = true;
            continue;
        }
        if (packets && (packetNext || lying::Chance(random, 70))) {
            const int damage = mayDamage && !packetNext && lying::Chance(random, 10)
                                   ? 1 + static_cast<int>(lying::Below(random, 2))
                                   : 0;
            listUnsettled = listUnsettled && damage != 0;
            s.AddPacket(random, damage);
            damagedBefore = damage != 0;
            packetNext = damage == 2;
        } else {
            const int damage =
                mayDamage && lying::Chance(random, 10) ? 1 + static_cast<int>(lying::Below(random, 2)) : 0;
            s.AddFrame(random, damage);
            damagedBefore = damage != 0;
            packetNext = false;
        }
    }
    if (packetNext)
        s.AddPacket(random, 0);
    for (; due > 0; --due) {
        if (due == 1 && s.units.back().kind == Kind::List)
            s.marks.push_back({Event::Quiet, s.bytes.size()}); // not back to back
        s.windows_.emplace_back(open, s.bytes.size());
        s.AddList(random);
    }
    // Two bytes that start nothing let the last packet be taken.
    s.Put('x', Byte::Fixed);
    s.Put('x', Byte::Fixed);
    s.marks.push_back({Event::Quiet, s.bytes.size()});
    s.marks.push_back({Event::EndWindow, s.bytes.size()});
    s.Sanitize();
    return s;
}

template <typename Source> std::string LyingStream::Check(Source& random) const
{
    TKivraFraming framing;
    framing.SetScanGroupLetters(first, last);
    TThreadSafeStringList queue;
    std::vector<std::string> got;
    std::string broken;
    const auto drain = [&] {
        while (queue.Count() > 0) {
            got.push_back(queue.Get(0));
            queue.Delete(0);
        }
        if (framing.Buffer().size() > framing.BufferLimit() && broken.empty())
            broken = "buffer beyond its bound";
    };
    std::size_t pos = 0;
    std::size_t mark = 0;
    while (pos < bytes.size() || mark < marks.size()) {
        while (mark < marks.size() && marks[mark].at <= pos) {
            switch (marks[mark].event) {
            case Event::ExpectList:
                framing.ExpectList();
                break;
            case Event::Quiet:
                framing.LineQuiet(queue);
                break;
            case Event::EndWindow:
                framing.EndListWindow(queue);
                break;
            }
            ++mark;
            drain();
        }
        if (pos >= bytes.size())
            continue;
        const std::size_t limit = mark < marks.size() ? marks[mark].at : bytes.size();
        const std::size_t chunk = std::min<std::size_t>(1 + lying::Below(random, 80), limit - pos);
        // What one receive of the layer does: append, then passes while one leaves work behind.
        framing.Append(std::string_view(bytes).substr(pos, chunk));
        for (int n = 0; n < 64 && framing.Pass(queue); ++n) {
        }
        pos += chunk;
        drain();
    }
    if (!broken.empty())
        return broken;

    // Messages of one kind must follow that kind's units in order, skipping only damaged ones.
    const auto kindOf = [](const std::string& m) -> std::string {
        for (const auto& tag : protocol::kFrameTags)
            if (m.rfind(tag.prefix, 0) == 0)
                return std::string(tag.prefix);
        if (m.rfind(protocol::kPrefixSerialList, 0) == 0 || m.rfind(protocol::kPrefixTimestampList, 0) == 0)
            return "list";
        return "packet";
    };
    const auto kindOfUnit = [](const Unit& u) -> std::string {
        if (u.kind == Kind::Frame)
            return std::string(protocol::kFrameTags[u.tag].prefix);
        return u.kind == Kind::List ? "list" : "packet";
    };
    const auto show = [](const std::string& m) { return Show(m); };
    std::vector<std::string> kinds{"packet", "list"};
    for (const auto& tag : protocol::kFrameTags)
        kinds.emplace_back(tag.prefix);
    for (const std::string& kind : kinds) {
        std::string queued = "\nqueued " + kind + ":";
        for (const std::string& m : got)
            if (kindOf(m) == kind)
                queued += "\n  " + show(m);
        std::size_t next = 0;
        std::vector<const Unit*> expected;
        for (const Unit& u : units)
            if (kindOfUnit(u) == kind)
                expected.push_back(&u);
        for (const std::string& m : got) {
            if (kindOf(m) != kind)
                continue;
            std::size_t k = next;
            while (k < expected.size() &&
                   !((expected[k]->intact || expected[k]->mayQueueDamaged) && Message(*expected[k]) == m))
                ++k;
            if (k == expected.size())
                return "queued what was never sent (or twice, or out of order): " + show(m) + queued;
            for (std::size_t skipped = next; skipped < k; ++skipped)
                if (expected[skipped]->intact)
                    return "lost or overtaken: " + show(Message(*expected[skipped])) + queued;
            next = k + 1;
        }
        for (; next < expected.size(); ++next)
            if (expected[next]->intact)
                return "never queued: " + show(Message(*expected[next])) + queued;
    }
    return {};
}

} // namespace kivra::test
