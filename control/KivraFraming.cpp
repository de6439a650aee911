#include "control/KivraFraming.h"

#include "control/Conversions.h"
#include "control/ThreadSafeStringList.h"

#include <algorithm>

namespace kivra {
namespace {

constexpr std::size_t npos = std::string::npos;
constexpr auto kPacket = static_cast<std::size_t>(protocol::kPacketSize);
constexpr auto kQueued = static_cast<std::size_t>(protocol::kQueuedPacketSize);
constexpr auto kStates = static_cast<std::size_t>(protocol::kKeypadsPerGroup);
constexpr auto kEntry = static_cast<std::size_t>(protocol::kListEntrySize);
constexpr auto kHeader = static_cast<std::size_t>(protocol::kListHeaderSize);
constexpr auto kMaxList = static_cast<std::size_t>(protocol::kMaxListFrameSize);
constexpr std::size_t kTerminator = protocol::kListTerminator.size();
//! Passes run by LineQuiet at most; each one that asks for another has cut a unit.
constexpr int kMaxPasses = 64;
//! State bytes a packet may have garbled and still be taken for one (see CutPackets).
constexpr std::size_t kMaxGarbled = 4;
//! Lists asked for and not yet come that the window counts.
constexpr int kMaxListsDue = 64;

//! The two-digit hexadecimal length field at pos, or -1 when it is not one.
int FrameLength(const std::string& buffer, std::size_t pos)
{
    const int high = HexDigitValue(buffer[pos]);
    const int low = HexDigitValue(buffer[pos + 1]);
    return high < 0 || low < 0 ? -1 : high * 16 + low;
}

bool IsMarker(char c)
{
    return c == protocol::kSerialListMarker || c == protocol::kTimestampListMarker;
}

//! Sorts ranges and joins those that overlap or touch.
template <typename R> void Merge(std::vector<R>& ranges)
{
    std::sort(ranges.begin(), ranges.end(), [](const R& a, const R& b) { return a.begin < b.begin; });
    std::vector<R> merged;
    for (const R& r : ranges) {
        if (!merged.empty() && r.begin <= merged.back().end)
            merged.back().end = std::max(merged.back().end, r.end);
        else
            merged.push_back(r);
    }
    ranges.swap(merged);
}

} // namespace

TKivraFraming::TKivraFraming(std::size_t bufferLimit)
    : bufferLimit_(std::max(bufferLimit, kMinBufferLimit)), quietAt_(npos), packetEnd_(npos)
{
    SetScanGroupLetters(0, 0);
}

void TKivraFraming::SetScanGroupLetters(char first, char last)
{
    first_ = static_cast<unsigned char>(first);
    last_ = static_cast<unsigned char>(last);
    for (unsigned c = 0; c < kinds_.size(); ++c) {
        const bool letter = last_ != 0 && c >= first_ && c <= last_;
        kinds_[c] = static_cast<std::uint8_t>((protocol::IsKeypadState(static_cast<char>(c)) ? kState : 0) |
                                              (letter ? kLetter : 0));
    }
}

void TKivraFraming::Append(std::string_view bytes, const DebugSink& debug)
{
    // Keep only the newest bytes: a link that never yields a frame must not grow the buffer,
    // and every pass stays bounded by the limit.
    const std::size_t before = buffer_.size();
    buffer_.append(bytes);
    CountStates(before);
    if (buffer_.size() <= bufferLimit_)
        return;
    const std::size_t dropped = buffer_.size() - bufferLimit_;
    Remove({{0, dropped}});
    if (packetEnd_ == 0)
        packetEnd_ = npos; // the packet it followed is gone
    if (debug)
        debug(std::string(protocol::kDebugBufferTrimmed) + std::to_string(dropped));
}

bool TKivraFraming::Pass(TThreadSafeStringList& queue, const DebugSink& debug)
{
    for (const auto& tag : protocol::kFrameTags)
        CutTaggedFrame(tag, queue, debug);
    const ListStep list = CutList(queue, debug);
    // A second frame of a tag waits for the next pass; the packets cut now must not take it along.
    std::vector<Range> keep = WaitingFrames();
    bool more = !keep.empty();
    if (list == ListStep::Waiting)
        return more;
    std::size_t stop = buffer_.size();
    if (list == ListStep::Cut && listsDue_ > 0) {
        // A second list waits for the next pass, and so do the packets behind it: they are what
        // shows where it ends, and the bytes before them must not go as junk.
        IndexForLists();
        ListReading reading;
        const std::size_t next = ChooseList(reading);
        if (next < markers_.size()) {
            stop = markers_[next];
            more = more || (reading.state == ListState::Ended && reading.settled);
        }
    }
    CutPackets(queue, debug, keep, stop);
    return more;
}

bool TKivraFraming::Receive(std::string_view bytes, TThreadSafeStringList& queue, const DebugSink& debug)
{
    Append(bytes, debug);
    return Pass(queue, debug);
}

void TKivraFraming::ExpectList()
{
    if (listsDue_ == 0)
        windowStart_ = buffer_.size();
    // One list per request; a host that asks without end cannot wrap the count.
    listsDue_ = std::min(listsDue_ + 1, kMaxListsDue);
}

void TKivraFraming::LineQuiet(TThreadSafeStringList& queue, const DebugSink& debug)
{
    if (listsDue_ == 0)
        return;
    quietAt_ = buffer_.size();
    for (int n = 0; n < kMaxPasses && Pass(queue, debug); ++n) {
    }
    // A list is sent in one go: a marker from before the pause can no longer start one.
    if (listsDue_ > 0)
        windowStart_ = std::max(windowStart_, quietAt_);
    quietAt_ = npos;
}

void TKivraFraming::EndListWindow(TThreadSafeStringList& queue, const DebugSink& debug)
{
    if (listsDue_ == 0)
        return;
    LineQuiet(queue, debug);
    if (listsDue_ > 0 && debug)
        debug(std::string(protocol::kDebugListTimeOut));
    listsDue_ = 0;
}

void TKivraFraming::Clear()
{
    buffer_.clear();
    runEnd_.clear();
    packetEnd_ = npos;
    listsDue_ = 0;
    windowStart_ = 0;
    quietAt_ = npos;
}

// ---- Tagged frames -------------------------------------------------------------------------------

void TKivraFraming::CutTaggedFrame(const protocol::FrameTag& tag, TThreadSafeStringList& queue,
                                   const DebugSink& debug)
{
    const std::size_t tagSize = tag.tag.size();
    // A tag needs its length field and one byte in front of it; one nearer the start can never
    // get them, so it stays as loose bytes and the search goes on behind it.
    std::size_t from = protocol::kTagOffset;
    for (;;) {
        const std::size_t at = buffer_.find(tag.tag, from);
        if (at == npos)
            return;
        const std::size_t start = at - protocol::kTagOffset;
        const int length = FrameLength(buffer_, start);
        const std::size_t frameSize =
            static_cast<std::size_t>(std::max(length, 0)) + protocol::kLengthFieldSize;
        // A length the tag cannot have, or one that would take in a keypad packet (which the base
        // never sends inside a frame), is not a frame.
        if (length < static_cast<int>(tagSize) + protocol::kFrameOverhead ||
            HoldsPacket(at, std::min(start + frameSize, buffer_.size()))) {
            // Spoil the tag's first letter (lower case starts nothing) so that the rest are loose
            // bytes and this spot is never read again. Removing it instead could join the bytes
            // around it into a new tag with some other length in front.
            ++damagedFrames_;
            if (debug)
                debug(std::string(protocol::kDebugBadFrameLength) + std::string(tag.tag) + " length \"" +
                      buffer_.substr(start, protocol::kLengthFieldSize) + "\"");
            buffer_[at] = static_cast<char>(buffer_[at] | 0x20);
            from = at + 1;
            continue;
        }
        // A frame is cut only once all its bytes are here: the base's answers often arrive in
        // several reads, and cutting early would truncate the content and leave its rest as
        // loose bytes. Until then it waits without holding back a later frame of its tag.
        if (buffer_.size() - start < frameSize) {
            from = at + 1;
            continue;
        }
        const std::size_t contentStart = at + tagSize + 1;
        std::string message(tag.prefix);
        message.append(buffer_, contentStart,
                       static_cast<std::size_t>(length) - tagSize - protocol::kFrameOverhead);
        if (debug)
            debug(std::string(tag.debugText) + message);
        queue.Add(message);
        Remove({{start, start + frameSize}});
        return;
    }
}

std::vector<TKivraFraming::Range> TKivraFraming::WaitingFrames() const
{
    std::vector<Range> frames;
    for (const auto& tag : protocol::kFrameTags) {
        const std::size_t tagSize = tag.tag.size();
        for (std::size_t at = buffer_.find(tag.tag, protocol::kTagOffset); at != npos;
             at = buffer_.find(tag.tag, at + 1)) {
            const std::size_t start = at - protocol::kTagOffset;
            const int length = FrameLength(buffer_, start);
            const std::size_t end =
                start + static_cast<std::size_t>(std::max(length, 0)) + protocol::kLengthFieldSize;
            if (length >= static_cast<int>(tagSize) + protocol::kFrameOverhead && end <= buffer_.size() &&
                !HoldsPacket(at, end))
                frames.push_back({start, end});
        }
    }
    Merge(frames);
    return frames;
}

// ---- Keypad packets: analysis --------------------------------------------------------------------

bool TKivraFraming::IsLetter(std::size_t pos) const
{
    return (kinds_[static_cast<unsigned char>(buffer_[pos])] & kLetter) != 0;
}

bool TKivraFraming::IsState(std::size_t pos) const
{
    return (kinds_[static_cast<unsigned char>(buffer_[pos])] & kState) != 0;
}

bool TKivraFraming::PacketAt(std::size_t pos) const
{
    return pos + kStates < buffer_.size() && IsLetter(pos) && runEnd_[pos + kStates] >= kStates;
}

bool TKivraFraming::HoldsPacket(std::size_t from, std::size_t to) const
{
    for (std::size_t j = from; j < to && j < buffer_.size(); ++j)
        if (PacketAt(j))
            return true;
    return false;
}

void TKivraFraming::CountStates(std::size_t from)
{
    runEnd_.resize(buffer_.size());
    for (std::size_t p = from; p < buffer_.size(); ++p)
        runEnd_[p] = IsState(p) ? (p > 0 ? runEnd_[p - 1] : 0) + 1 : 0;
}

// ---- Keypad lists --------------------------------------------------------------------------------

void TKivraFraming::IndexForLists()
{
    const std::size_t size = buffer_.size();
    markers_.clear();
    packets_.clear();
    for (auto& bucket : terminators_)
        bucket.clear();
    for (std::size_t j = 0; last_ != 0 && j + kStates < size; ++j)
        if (PacketAt(j))
            packets_.push_back(j);
    // Bytes of a frame that waits for the next pass belong to it.
    const std::vector<Range> frames = WaitingFrames();
    const auto inFrame = [&frames](std::size_t p) {
        const auto f = std::upper_bound(frames.begin(), frames.end(), p,
                                        [](std::size_t q, const Range& r) { return q < r.end; });
        return f != frames.end() && f->begin <= p;
    };
    for (std::size_t t = buffer_.find(protocol::kListTerminator, windowStart_); t != npos;
         t = buffer_.find(protocol::kListTerminator, t + 1))
        if (!inFrame(t))
            terminators_[t % kEntry].push_back(t);
    // Markers inside a keypad packet (its last bytes may hold anything) start nothing either.
    std::size_t packet = 0;
    for (std::size_t c = windowStart_; c < size; ++c) {
        if (!IsMarker(buffer_[c]) || inFrame(c))
            continue;
        while (packet < packets_.size() && packets_[packet] + kPacket <= c)
            ++packet;
        if (packet < packets_.size() && packets_[packet] < c)
            continue;
        markers_.push_back(c);
    }
    // A list holds neither a packet nor a frame: from here on, both are the units that follow.
    for (const Range& f : frames)
        packets_.push_back(f.begin);
    std::sort(packets_.begin(), packets_.end());
}

TKivraFraming::ListReading TKivraFraming::ReadList(std::size_t marker, bool keypad13) const
{
    const std::size_t size = buffer_.size();
    const std::size_t longest = marker + kMaxList;
    const auto after = std::upper_bound(packets_.begin(), packets_.end(), marker);
    const std::size_t packet = after == packets_.end() ? npos : *after; // or waiting frame
    const bool quiet = quietAt_ != npos && marker < quietAt_;
    // Where the list must have ended: a list never holds a packet, is never longer than the
    // longest list and is not split by a pause.
    const std::size_t limit = std::min({longest, size, packet, quiet ? quietAt_ : npos});

    ListReading reading;
    const std::size_t first = AlignedTerminator(marker, marker + kHeader, limit);
    if (first == npos) {
        const bool hopeless = packet != npos || quiet || size - marker >= kMaxList;
        reading.state = hopeless ? ListState::Dead : ListState::Open;
        return reading;
    }
    reading.state = ListState::Ended;
    reading.terminator = first;
    reading.first = first;
    const std::size_t second = keypad13 ? AlignedTerminator(marker, first + kEntry, limit) : npos;
    if (second != npos) {
        // The first one began the entry of keypad 13 (a list holds keypad 13 only once). While two
        // lists are due, a marker right behind the first one may instead start the second list,
        // which then ends after the second terminator - unless a marker right behind that one
        // starts it. (Two lists sent back to back whose entries hold terminators and markers can
        // be read more than one way; this is the likelier way.)
        reading.settled = true;
        reading.terminator = second;
        const std::size_t next = first + kTerminator;
        if (listsDue_ > 1 && MarkerAt(next) && !MarkerAt(second + kTerminator)) {
            const ListReading follower = ReadList(next, false);
            reading.settled = follower.state != ListState::Open;
            if (follower.state == ListState::Open ||
                (follower.state == ListState::Ended && follower.terminator > second))
                reading.terminator = first;
        }
        return reading;
    }
    const bool roomForKeypad13 = reading.terminator + kEntry + kTerminator <= longest;
    reading.settled = packet != npos || quiet || !roomForKeypad13;
    return reading;
}

bool TKivraFraming::MarkerAt(std::size_t pos) const
{
    return std::binary_search(markers_.begin(), markers_.end(), pos);
}

std::size_t TKivraFraming::AlignedTerminator(std::size_t marker, std::size_t from, std::size_t limit) const
{
    const auto& bucket = terminators_[(marker + kHeader) % kEntry];
    const auto t = std::lower_bound(bucket.begin(), bucket.end(), from);
    return t == bucket.end() || *t + kTerminator > limit ? npos : *t;
}

bool TKivraFraming::HoldsEachKeypadOnce(std::size_t marker, std::size_t terminator) const
{
    // Keypad numbers run from 1 to the model's capacity. A model with more keypads than a byte can
    // number (or none known) is not checked.
    const std::size_t highest = last_ == 0 ? 0 : (static_cast<std::size_t>(last_ - first_) + 1) * kStates;
    if (highest == 0 || highest > 255)
        return true;
    std::array<bool, 256> seen{};
    for (std::size_t at = marker + kHeader; at < terminator; at += kEntry) {
        const auto keypad = static_cast<unsigned char>(buffer_[at]);
        if (keypad == 0 || keypad > highest || seen[keypad])
            return false;
        seen[keypad] = true;
    }
    return true;
}

void TKivraFraming::CheckEntries(std::size_t marker, ListReading& reading) const
{
    if (reading.state != ListState::Ended || HoldsEachKeypadOnce(marker, reading.terminator))
        return;
    // Read as keypad 13's entry, the first terminator made the list hold a keypad twice (or a
    // number no keypad has): it ended the list after all.
    if (reading.terminator != reading.first && HoldsEachKeypadOnce(marker, reading.first)) {
        reading.terminator = reading.first;
        reading.settled = true;
        reading.shortened = true;
        return;
    }
    reading.state = ListState::Dead;
}

std::size_t TKivraFraming::ChooseList(ListReading& reading, std::size_t* firstLive) const
{
    // While two lists are due, another list that starts right where one ends confirms that end:
    // the two came in a row.
    auto followed = [this](const ListReading& r) { return listsDue_ > 1 && MarkerAt(r.End()); };
    for (std::size_t i = 0; i < markers_.size(); ++i) {
        ListReading r = ReadList(markers_[i]);
        CheckEntries(markers_[i], r);
        if (r.state == ListState::Dead)
            continue;
        if (firstLive != nullptr)
            *firstLive = i;
        std::size_t best = i;
        if (r.state == ListState::Ended) {
            // A marker inside this list whose own list ends later is the real one: this marker was
            // a stray byte and the terminator it found is a byte run inside the real list. Not so
            // when that terminator lies on an entry boundary of the inner list too (the inner
            // list would have to read it as keypad 13) - unless this list ends there only because
            // read to the end it named a keypad twice: then the inner list, which reads to the end
            // without that fault, is the real one.
            for (std::size_t j = i + 1; j < markers_.size() && markers_[j] < r.End() && !followed(r); ++j) {
                ListReading inner = ReadList(markers_[j]);
                CheckEntries(markers_[j], inner);
                const bool sharesBoundary = (r.terminator - markers_[j] - kHeader) % kEntry == 0;
                if (inner.state == ListState::Ended && inner.End() > r.End() &&
                    (!sharesBoundary || r.shortened)) {
                    best = j;
                    r = inner;
                }
            }
        }
        reading = r;
        return best;
    }
    return markers_.size();
}

TKivraFraming::ListStep TKivraFraming::CutList(TThreadSafeStringList& queue, const DebugSink& debug)
{
    if (listsDue_ == 0)
        return ListStep::None;
    IndexForLists();
    ListReading reading;
    std::size_t firstLive = markers_.size();
    const std::size_t index = ChooseList(reading, &firstLive);
    // A marker found dead stays dead, also once the packet that showed it is gone.
    windowStart_ = firstLive < markers_.size() ? markers_[firstLive] : buffer_.size();
    if (index == markers_.size())
        return ListStep::None;

    const std::size_t marker = markers_[index];
    const bool serial = buffer_[marker] == protocol::kSerialListMarker;
    if (serial && debug)
        debug(std::string(protocol::kDebugSerialListSeen));
    if (reading.state != ListState::Ended || !reading.settled) {
        if (debug)
            debug(std::string(serial ? protocol::kDebugSerialListIncomplete
                                     : protocol::kDebugTimestampListIncomplete));
        return ListStep::Waiting;
    }
    std::string message(serial ? protocol::kPrefixSerialList : protocol::kPrefixTimestampList);
    message.append(buffer_, marker, reading.terminator - marker);
    if (debug)
        debug(std::string(serial ? protocol::kDebugSerialListFound : protocol::kDebugTimestampListFound) +
              message);
    queue.Add(message);
    Remove({{marker, reading.End()}});
    --listsDue_;
    // The bytes in front of the list were not it; a further list comes after it.
    windowStart_ = marker;
    return ListStep::Cut;
}

// ---- Keypad packets ------------------------------------------------------------------------------

void TKivraFraming::CutPackets(TThreadSafeStringList& queue, const DebugSink& debug,
                               const std::vector<Range>& keep, std::size_t stop)
{
    if (last_ == 0)
        return;
    const std::size_t size = buffer_.size();
    const std::size_t scanEnd = std::min(stop, size);
    // The first packet start at or after a position that only grows, found in one sweep.
    std::size_t probe = 0, found = npos;
    const auto packetFrom = [&](std::size_t from) {
        if (found != npos && found >= from)
            return found;
        for (probe = std::max(probe, from); probe + kStates < size; ++probe)
            if (PacketAt(probe))
                return found = probe++;
        return found = npos;
    };
    // A letter that could still become a packet once more bytes are here: only the one right
    // before the states that end the buffer can (no letter lies among them).
    const std::size_t trailing = size == 0 ? 0 : runEnd_[size - 1];
    const std::size_t waiting =
        trailing < size && trailing < kStates && IsLetter(size - trailing - 1) ? size - trailing - 1 : npos;

    std::vector<Range> cut;
    std::size_t consumed = 0; // bytes before this went with a packet
    std::size_t k = 0;        // next kept unit
    // A packet is taken only when two more bytes follow it.
    for (std::size_t i = 0; i + kPacket + 2 <= size && i + kPacket <= scanEnd;) {
        while (k < keep.size() && keep[k].end <= i)
            ++k;
        if (k < keep.size() && keep[k].begin <= i) {
            i = keep[k].end;
            continue;
        }
        if (!IsLetter(i) || (k < keep.size() && keep[k].begin < i + kPacket)) {
            ++i;
            continue;
        }
        // An overlapping candidate that is a packet makes this one junk (a stray letter, or a
        // packet whose tail was lost); one that may still become a packet is waited for.
        if (const std::size_t j = packetFrom(i + 1); j != npos && j < i + kPacket) {
            ++i;
            continue;
        }
        if (waiting != npos && waiting > i && waiting < i + kPacket)
            break;
        if (!PacketAt(i)) {
            // A packet whose base or line garbled a few state bytes is still a packet (they are
            // reported when it is parsed), when it stands where packets stand: right behind the
            // last packet, or right before the next one. A scan group letter among the garbled
            // bytes is rather where a packet starts: then it must stand between both.
            std::size_t garbled = 0, letters = 0;
            for (std::size_t p = i + 1; p <= i + kStates && garbled <= kMaxGarbled; ++p) {
                if (!IsState(p)) {
                    ++garbled;
                    letters += IsLetter(p) ? 1 : 0;
                }
            }
            const bool afterPacket = i == consumed ? consumed > 0 || i == packetEnd_ : i == packetEnd_;
            const bool beforePacket = IsLetter(i + kPacket);
            const bool placed = letters == 0 ? afterPacket || beforePacket : afterPacket && beforePacket;
            if (garbled > kMaxGarbled || !placed) {
                ++i;
                continue;
            }
        }
        std::string message = buffer_.substr(i, kQueued);
        if (debug)
            debug(std::string(protocol::kDebugPacket) + message);
        queue.Add(message);
        // Bytes before the packet go with it, except units kept for a later pass.
        for (std::size_t from = consumed, r = 0; from < i;) {
            while (r < keep.size() && keep[r].end <= from)
                ++r;
            const std::size_t to = r < keep.size() && keep[r].begin < i ? keep[r].begin : i;
            if (to > from)
                cut.push_back({from, to});
            from = r < keep.size() && keep[r].begin < i ? keep[r].end : i;
        }
        cut.push_back({i, i + kPacket});
        i += kPacket;
        consumed = i;
        packetEnd_ = i;
    }
    Merge(cut);
    Remove(cut);
}

// ---- Buffer --------------------------------------------------------------------------------------

void TKivraFraming::Remove(const std::vector<Range>& ranges)
{
    if (ranges.empty())
        return;
    const auto shift = [&ranges](std::size_t pos) {
        std::size_t removed = 0;
        for (const Range& r : ranges) {
            if (r.begin >= pos)
                break;
            removed += std::min(r.end, pos) - r.begin;
        }
        return pos - removed;
    };
    std::string kept;
    kept.reserve(buffer_.size());
    std::size_t pos = 0;
    for (const Range& r : ranges) {
        kept.append(buffer_, pos, r.begin - pos);
        pos = r.end;
    }
    kept.append(buffer_, pos);
    windowStart_ = shift(windowStart_);
    if (quietAt_ != npos)
        quietAt_ = shift(quietAt_);
    if (packetEnd_ != npos)
        packetEnd_ = shift(packetEnd_);
    buffer_.swap(kept);
    CountStates(ranges.front().begin);
}

} // namespace kivra
