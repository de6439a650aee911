// libFuzzer target for the framing pass. The first three bytes choose the scan group letters,
// the buffer bound (and whether a keypad list is asked for) and how the rest is split into reads;
// the rest is the line traffic.

#include "control/KivraFraming.h"
#include "control/KivraProtocol.h"
#include "control/ThreadSafeStringList.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace {

using namespace kivra;

constexpr std::string_view kPrefixes[] = {
    protocol::kPrefixSerial,  protocol::kPrefixStatus,     protocol::kPrefixChannel,
    protocol::kPrefixVersion, protocol::kPrefixSerialList, protocol::kPrefixTimestampList,
};

void Check(bool condition)
{
    if (!condition)
        __builtin_trap();
}

bool StartsWith(const std::string& text, std::string_view prefix)
{
    return text.size() >= prefix.size() && std::string_view(text).substr(0, prefix.size()) == prefix;
}

void CheckMessage(const std::string& m, unsigned char first, unsigned char last)
{
    const auto letter = m.empty() ? 0 : static_cast<unsigned char>(m[0]);
    if (last != 0 && m.size() == static_cast<std::size_t>(protocol::kQueuedPacketSize) && letter >= first &&
        letter <= last)
        return;
    if (StartsWith(m, protocol::kPrefixSerialList)) {
        Check(m.size() > 4 && m[4] == protocol::kSerialListMarker);
        Check(m.size() - 4 + protocol::kListTerminator.size() <= std::size_t(protocol::kMaxListFrameSize));
        return;
    }
    if (StartsWith(m, protocol::kPrefixTimestampList)) {
        Check(m.size() > 5 && m[5] == protocol::kTimestampListMarker);
        Check(m.size() - 5 + protocol::kListTerminator.size() <= std::size_t(protocol::kMaxListFrameSize));
        return;
    }
    for (std::size_t k = 0; k < 4; ++k) {
        if (StartsWith(m, kPrefixes[k])) {
            // Content is L-T-4 bytes with L below 256.
            Check(m.size() - kPrefixes[k].size() <= 255 - protocol::kFrameTags[k].tag.size() - 4);
            return;
        }
    }
    Check(false);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 3)
        return 0;
    const std::uint8_t letters = data[0];
    const std::uint8_t limitByte = data[1];
    const std::uint8_t split = data[2];
    const std::string_view traffic(reinterpret_cast<const char*>(data + 3), size - 3);

    // Letters "A".."P" as first, up to 7 groups; the top bit means a model without packets.
    const auto first = static_cast<unsigned char>('A' + (letters & 15));
    const auto last = (letters & 0x80) ? 0 : static_cast<unsigned char>(first + ((letters >> 4) & 7));
    // Small bounds exercise the trimming; 0 keeps the default. The top bit asks for a list.
    const std::size_t limit =
        (limitByte & 0x7F) == 0 ? TKivraFraming::kDefaultBufferLimit : std::size_t(limitByte & 0x7F) * 64;
    const bool listAsked = (limitByte & 0x80) != 0;

    TKivraFraming framing(limit);
    framing.SetScanGroupLetters(static_cast<char>(first), static_cast<char>(last));
    TThreadSafeStringList queue;
    if (listAsked)
        framing.ExpectList();
    std::size_t debugTexts = 0;
    TKivraFraming::DebugSink sink;
    if (split & 0x80)
        sink = [&debugTexts](const std::string& text) {
            Check(!text.empty());
            ++debugTexts;
        };

    // Read sizes: a fixed size 1..64, or sizes drawn from the traffic itself.
    const std::size_t fixed = (split & 63) + 1;
    const bool varying = (split & 64) != 0;
    std::size_t pos = 0;
    std::uint32_t state = split;
    while (pos < traffic.size()) {
        std::size_t n = fixed;
        if (varying) {
            state = state * 1664525u + 1013904223u;
            n = (state >> 24) % 97;
        }
        n = std::min(n, traffic.size() - pos);
        framing.Receive(traffic.substr(pos, n), queue, sink);
        if (listAsked && (state >> 20) % 16 == 0)
            framing.LineQuiet(queue, sink); // the line paused
        pos += n;
        Check(framing.Buffer().size() <= framing.BufferLimit());
        while (queue.Count() > 0) {
            CheckMessage(queue.Get(0), first, last);
            queue.Delete(0);
        }
    }
    framing.EndListWindow(queue, sink);
    // Further passes without new bytes only ever shrink the buffer.
    for (int k = 0; k < 3; ++k) {
        const std::size_t before = framing.Buffer().size();
        framing.Pass(queue, sink);
        Check(framing.Buffer().size() <= before);
    }
    while (queue.Count() > 0) {
        CheckMessage(queue.Get(0), first, last);
        queue.Delete(0);
    }
    return 0;
}
