#pragma once
// Framing of the bytes the base sends: tagged frames, keypad lists and keypad data packets are
// cut out of a receive buffer and queued as text messages, in arrival order.

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace kivra {

class TThreadSafeStringList;

class TKivraFraming {
public:
    //! Receives debug texts. When empty, no debug text is built.
    using DebugSink = std::function<void(const std::string&)>;

    //! Default bound of the receive buffer; the oldest bytes beyond it are dropped.
    static constexpr std::size_t kDefaultBufferLimit = 16 * 1024;

    explicit TKivraFraming(std::size_t bufferLimit = kDefaultBufferLimit);

    //! Scan group letters of the model; last == 0 means no packet is ever framed.
    void SetScanGroupLetters(char first, char last);

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
    std::string buffer_;
    std::size_t bufferLimit_;
    char first_ = 0;
    char last_ = 0;
};

} // namespace kivra
