#pragma once
// Framing of the bytes the base sends: tagged frames, keypad lists and keypad data packets are
// cut out of a receive buffer and queued as text messages, in arrival order.
//
// One pass cuts, in this order: at most one complete tagged frame per tag ("SERIAL #", "STATUS",
// "CHANNEL", "KIVRA"), then one keypad list ("S"/"T" ... CR LF 0xFF), then every keypad data
// packet. Bytes may arrive in any split: a frame or list waits until it is whole. An incomplete list holds
// back the packets of that pass. Noise never wedges the buffer: it is bounded, a tag without a length field
// in front of it or with a malformed one is left as loose bytes, a list marker without a terminator within
// the longest possible list is a loose byte, and loose bytes go with the next packet found after them. Every
// pass is linear in the buffer size.

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "control/KivraProtocol.h"

namespace kivra {

class TThreadSafeStringList;

class TKivraFraming {
public:
    //! Receives debug texts. When empty, no debug text is built.
    using DebugSink = std::function<void(const std::string&)>;

    //! Default bound of the receive buffer; the oldest bytes beyond it are dropped.
    static constexpr std::size_t kDefaultBufferLimit = 16 * 1024;
    //! Smallest accepted bound: one packet and the two bytes that must follow it.
    static constexpr std::size_t kMinBufferLimit = protocol::kPacketSize + 2;

    //! A bound below kMinBufferLimit is raised to it.
    explicit TKivraFraming(std::size_t bufferLimit = kDefaultBufferLimit);

    //! Scan group letters of the model; last == 0 means no packet is ever framed.
    void SetScanGroupLetters(char first, char last);
    char GetFirstScanGroupLetter() const { return static_cast<char>(first_); }
    char GetLastScanGroupLetter() const { return static_cast<char>(last_); }

    //! Appends newly received bytes, then trims the buffer to its bound.
    void Append(std::string_view bytes, const DebugSink& debug = {});

    //! Runs one framing pass over the buffer, adding each framed message to queue.
    void Pass(TThreadSafeStringList& queue, const DebugSink& debug = {});

    //! Append followed by Pass: what one receive does.
    void Receive(std::string_view bytes, TThreadSafeStringList& queue, const DebugSink& debug = {});

    void Clear();
    const std::string& Buffer() const { return buffer_; }
    std::size_t BufferLimit() const { return bufferLimit_; }

private:
    void CutTaggedFrame(const protocol::FrameTag& tag, TThreadSafeStringList& queue, const DebugSink& debug);
    //! False when an incomplete list waits for its terminator.
    bool CutList(TThreadSafeStringList& queue, const DebugSink& debug);
    void CutPackets(TThreadSafeStringList& queue, const DebugSink& debug);

    std::string buffer_;
    std::size_t bufferLimit_;
    unsigned char first_ = 0;
    unsigned char last_ = 0;
};

} // namespace kivra
