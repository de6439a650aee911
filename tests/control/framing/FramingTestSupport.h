#pragma once
// Builders of the base's byte sequences and a framing harness that collects what it queues.

#include "control/KivraFraming.h"
#include "control/KivraProtocol.h"
#include "control/ThreadSafeStringList.h"

#include <cstdio>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kivra::test {

//! A tagged frame with the given content; the length field is computed unless given.
inline std::string Frame(std::string_view tag, std::string_view content, int length = -1)
{
    if (length < 0)
        length = static_cast<int>(tag.size() + content.size()) + protocol::kFrameOverhead;
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02X", length);
    return std::string(digits) + " " + std::string(tag) + ":" + std::string(content) + "\r\n";
}

//! A list frame: marker, two header bytes, entries, terminator.
inline std::string List(char marker, std::string_view entries)
{
    return std::string(1, marker) + "\x01\x02" + std::string(entries) +
           std::string(protocol::kListTerminator);
}

//! A 56-byte keypad data packet whose state bytes are all `state`.
inline std::string Packet(char letter, char state = '-', std::string_view trailer = "xyz\x90\xA0")
{
    std::string packet(1, letter);
    packet.append(protocol::kKeypadsPerGroup, state);
    packet.append(trailer);
    packet.resize(protocol::kPacketSize, '#');
    return packet;
}

inline std::string Queued(const std::string& packet)
{
    return packet.substr(0, protocol::kQueuedPacketSize);
}

struct Harness {
    explicit Harness(char first = 'A', char last = 'E',
                     std::size_t limit = TKivraFraming::kDefaultBufferLimit)
        : framing(limit)
    {
        framing.SetScanGroupLetters(first, last);
    }

    //! Receives the bytes in one read.
    void Receive(std::string_view bytes) { framing.Receive(bytes, queue, sink); }

    //! Receives the bytes in reads of at most `chunk` bytes.
    void ReceiveIn(std::string_view bytes, std::size_t chunk)
    {
        for (std::size_t i = 0; i < bytes.size(); i += chunk)
            Receive(bytes.substr(i, chunk));
    }

    //! The host asked for a keypad list ("PD").
    void ExpectList() { framing.ExpectList(); }
    //! The line has been quiet for a while.
    void Quiet() { framing.LineQuiet(queue, sink); }

    //! Takes the queued messages, first in, first out.
    std::vector<std::string> Take()
    {
        std::vector<std::string> out;
        while (queue.Count() > 0) {
            out.push_back(queue.Get(0));
            queue.Delete(0);
        }
        return out;
    }

    std::vector<std::string> TakeDebug() { return std::exchange(debug, {}); }

    TKivraFraming framing;
    TThreadSafeStringList queue;
    std::vector<std::string> debug;
    TKivraFraming::DebugSink sink = [this](const std::string& text) { debug.push_back(text); };
};

} // namespace kivra::test
