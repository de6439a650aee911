#include "control/KivraFraming.h"

#include "control/mThreadSafeStringList.h"

#include <algorithm>

namespace kivra {
namespace {

constexpr std::size_t npos = std::string::npos;

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

//! The two-digit hexadecimal length field at pos, or -1 when it is not one.
int FrameLength(const std::string& buffer, std::size_t pos)
{
    const int high = HexDigit(buffer[pos]);
    const int low = HexDigit(buffer[pos + 1]);
    return high < 0 || low < 0 ? -1 : high * 16 + low;
}

} // namespace

TKivraFraming::TKivraFraming(std::size_t bufferLimit) : bufferLimit_(std::max(bufferLimit, kMinBufferLimit))
{
}

void TKivraFraming::SetScanGroupLetters(char first, char last)
{
    first_ = static_cast<unsigned char>(first);
    last_ = static_cast<unsigned char>(last);
}

void TKivraFraming::Append(std::string_view bytes, const DebugSink& debug)
{
    // Keep only the newest bytes: a link that never yields a frame must not grow the buffer,
    // and every pass stays bounded by the limit.
    std::size_t dropped = 0;
    if (bytes.size() >= bufferLimit_) {
        dropped = buffer_.size() + bytes.size() - bufferLimit_;
        buffer_.assign(bytes.substr(bytes.size() - bufferLimit_));
    } else {
        buffer_.append(bytes);
        if (buffer_.size() > bufferLimit_) {
            dropped = buffer_.size() - bufferLimit_;
            buffer_.erase(0, dropped);
        }
    }
    if (dropped > 0 && debug)
        debug(std::string(protocol::kDebugBufferTrimmed) + std::to_string(dropped));
}

void TKivraFraming::Pass(TThreadSafeStringList& queue, const DebugSink& debug)
{
    for (const auto& tag : protocol::kFrameTags)
        CutTaggedFrame(tag, queue, debug);
    if (CutList(queue, debug))
        CutPackets(queue, debug);
}

void TKivraFraming::Receive(std::string_view bytes, TThreadSafeStringList& queue, const DebugSink& debug)
{
    Append(bytes, debug);
    Pass(queue, debug);
}

void TKivraFraming::Clear()
{
    buffer_.clear();
}

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
        if (length < static_cast<int>(tagSize) + protocol::kFrameOverhead) {
            // Not a frame: drop the tag's first byte so that the rest are loose bytes and this
            // spot is never read again. A match made by the removal lies at most tagSize-1
            // bytes earlier.
            if (debug)
                debug(std::string(protocol::kDebugBadFrameLength) + std::string(tag.tag) + " length \"" +
                      buffer_.substr(start, protocol::kLengthFieldSize) + "\"");
            buffer_.erase(at, 1);
            from = std::max<std::size_t>(protocol::kTagOffset, at >= tagSize ? at - tagSize + 1 : 0);
            continue;
        }
        // A frame is cut only once all its bytes are here: the base's answers often arrive in
        // several reads, and cutting early would truncate the content and leave its rest as
        // loose bytes. Until then it waits without holding back a later frame of its tag.
        const std::size_t frameSize = static_cast<std::size_t>(length) + protocol::kLengthFieldSize;
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
        buffer_.erase(start, frameSize);
        return;
    }
}

bool TKivraFraming::CutList(TThreadSafeStringList& queue, const DebugSink& debug)
{
    static constexpr char kMarkers[] = {protocol::kSerialListMarker, protocol::kTimestampListMarker, 0};
    constexpr auto kMaxFrame = static_cast<std::size_t>(protocol::kMaxListFrameSize);
    constexpr std::size_t kTerminatorSize = protocol::kListTerminator.size();

    // Markers and terminators are both visited in increasing order, so the pass stays linear
    // however many stray markers the buffer holds.
    bool searched = false;
    std::size_t terminator = npos;
    for (std::size_t marker = buffer_.find_first_of(kMarkers); marker != npos;
         marker = buffer_.find_first_of(kMarkers, marker + 1)) {
        if (!searched || (terminator != npos && terminator <= marker)) {
            terminator = buffer_.find(protocol::kListTerminator, marker + 1);
            searched = true;
        }
        const bool serial = buffer_[marker] == protocol::kSerialListMarker;
        if (terminator != npos && terminator + kTerminatorSize - marker <= kMaxFrame) {
            if (serial && debug)
                debug(std::string(protocol::kDebugSerialListSeen));
            std::string message(serial ? protocol::kPrefixSerialList : protocol::kPrefixTimestampList);
            message.append(buffer_, marker, terminator - marker);
            if (debug)
                debug(std::string(serial ? protocol::kDebugSerialListFound
                                         : protocol::kDebugTimestampListFound) +
                      message);
            queue.Add(message);
            buffer_.erase(marker, terminator + kTerminatorSize - marker);
            return true;
        }
        // No terminator within the longest list once that many bytes are here: a loose byte.
        if (buffer_.size() - marker >= kMaxFrame)
            continue;
        if (debug) {
            if (serial)
                debug(std::string(protocol::kDebugSerialListSeen));
            debug(std::string(serial ? protocol::kDebugSerialListIncomplete
                                     : protocol::kDebugTimestampListIncomplete));
        }
        return false;
    }
    return true;
}

void TKivraFraming::CutPackets(TThreadSafeStringList& queue, const DebugSink& debug)
{
    if (last_ == 0)
        return;
    constexpr auto kPacket = static_cast<std::size_t>(protocol::kPacketSize);
    constexpr auto kQueued = static_cast<std::size_t>(protocol::kQueuedPacketSize);
    // A packet is taken only when two more bytes follow it. Bytes before a packet go with it;
    // they are removed once at the end so that many packets cost one move of the buffer.
    std::size_t consumed = 0;
    std::size_t i = 0;
    while (i + kPacket + 2 <= buffer_.size()) {
        const auto c = static_cast<unsigned char>(buffer_[i]);
        if (c < first_ || c > last_) {
            ++i;
            continue;
        }
        std::string message = buffer_.substr(i, kQueued);
        if (debug)
            debug(std::string(protocol::kDebugPacket) + message);
        queue.Add(message);
        i += kPacket;
        consumed = i;
    }
    buffer_.erase(0, consumed);
}

} // namespace kivra
