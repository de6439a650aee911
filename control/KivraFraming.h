#pragma once
// Framing of the bytes the base sends: tagged frames, keypad lists and keypad data packets are
// cut out of a receive buffer and queued as text messages.
//
// One pass cuts, in this order: at most one complete tagged frame per tag ("SERIAL #", "STATUS",
// "CHANNEL", "KIVRA"), then one keypad list, then every keypad data packet. Bytes may arrive in any
// split: a unit waits until it is whole. What the line adds or spoils never wedges the framing and
// never turns into a unit the base did not send:
// - Frames are cut by their declared length once all their bytes are here. A length that is not
//   two hex digits, that is too short for the tag, or that would take in a keypad packet is wrong:
//   the tag is left as loose bytes.
// - A list is expected only while a list window is open (the host sent "PD"), and only bytes that
//   arrived after that can start one. Outside the window "S" and "T" are loose bytes. A list ends
//   at a terminator on an entry boundary (marker + 3 + 7n); a terminator on a boundary may also be
//   the entry of keypad 13 whose serial number begins 0A FF, so what follows decides: a second
//   terminator on a later boundary means keypad 13, a keypad packet, a quiet line or the end of the
//   window means the end. A marker whose list would take in a keypad packet, that has no
//   terminator within the longest list, or whose entries would name a keypad twice (or one the
//   model does not have, where a byte can number them all), is a loose byte. An incomplete list holds back
//   the packets of the pass.
// - A packet is a scan group letter and 50 keypad state bytes. Among overlapping candidates the one
//   whose state bytes are all keypad states wins; one that is not (a real packet with a few state
//   bytes garbled) is taken only where packets stand: right behind the last packet taken or right
//   before the next one.
// - Loose bytes go with the next packet found after them, except a frame or list still waiting to
//   be cut. The buffer is bounded and every pass is linear in its size (lists: n log n).

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "control/KivraProtocol.h"

namespace kivra {

class TThreadSafeStringList;

class TKivraFraming {
public:
    //! Receives debug texts. When empty, no debug text is built.
    using DebugSink = std::function<void(const std::string&)>;

    //! Default bound of the receive buffer; the oldest bytes beyond it are dropped.
    static constexpr std::size_t kDefaultBufferLimit = std::size_t{16} * 1024;
    //! Smallest accepted bound: one packet and the two bytes that must follow it.
    static constexpr std::size_t kMinBufferLimit = protocol::kPacketSize + 2;

    //! A bound below kMinBufferLimit is raised to it.
    explicit TKivraFraming(std::size_t bufferLimit = kDefaultBufferLimit);

    //! Scan group letters of the model; last == 0 means no packet is ever framed.
    void SetScanGroupLetters(char first, char last);
    char GetFirstScanGroupLetter() const { return static_cast<char>(first_); }
    char GetLastScanGroupLetter() const { return static_cast<char>(last_); }
    //! Frames skipped so far for a length their tag cannot have (Clear keeps the count).
    int GetDamagedFrames() const { return damagedFrames_; }

    //! Appends newly received bytes, then trims the buffer to its bound.
    void Append(std::string_view bytes, const DebugSink& debug = {});

    //! Runs one framing pass over the buffer, adding each framed message to queue. True when a
    //! complete frame or list is left that the next pass will cut.
    bool Pass(TThreadSafeStringList& queue, const DebugSink& debug = {});

    //! Append followed by one Pass: what one receive does.
    bool Receive(std::string_view bytes, TThreadSafeStringList& queue, const DebugSink& debug = {});

    //! The host asked for a keypad list ("PD"): one more list is due. Bytes already received
    //! cannot start it.
    void ExpectList();
    bool ListExpected() const { return listsDue_ > 0; }
    //! Nothing has arrived for a while: a list now ends where it stands and a marker still
    //! without its list is a loose byte. Runs passes until nothing more is cut.
    void LineQuiet(TThreadSafeStringList& queue, const DebugSink& debug = {});
    //! No list came in time: as LineQuiet, then no list is expected any more.
    void EndListWindow(TThreadSafeStringList& queue, const DebugSink& debug = {});

    void Clear();
    const std::string& Buffer() const { return buffer_; }
    std::size_t BufferLimit() const { return bufferLimit_; }

private:
    struct Range {
        std::size_t begin, end;
    };
    enum class ListState : std::uint8_t { Dead, Open, Ended };
    struct ListReading {
        ListState state = ListState::Dead;
        std::size_t terminator = 0; // position of the terminator that ends it
        std::size_t first = 0;      // the first terminator on an entry boundary
        bool settled = false;       // what follows has decided where it ends
        bool shortened = false;     // ends at `first` only because the longer reading named a keypad twice
        std::size_t End() const { return terminator + protocol::kListTerminator.size(); }
    };
    enum class ListStep : std::uint8_t { None, Cut, Waiting };

    void CutTaggedFrame(const protocol::FrameTag& tag, TThreadSafeStringList& queue, const DebugSink& debug);
    ListStep CutList(TThreadSafeStringList& queue, const DebugSink& debug);
    //! Takes packets that end by stop, keeping the units in keep for a later pass.
    void CutPackets(TThreadSafeStringList& queue, const DebugSink& debug, const std::vector<Range>& keep,
                    std::size_t stop);

    // Buffer analysis.
    bool IsLetter(std::size_t pos) const;
    bool IsState(std::size_t pos) const;
    //! A scan group letter at pos followed by 50 keypad states (a packet can be told from it).
    bool PacketAt(std::size_t pos) const;
    //! Brings runEnd_ up to date from position from on.
    void CountStates(std::size_t from);
    //! A keypad packet (by PacketAt) starts somewhere in [from, to).
    bool HoldsPacket(std::size_t from, std::size_t to) const;
    //! Complete, well-formed frames left in the buffer (waiting for a later pass).
    std::vector<Range> WaitingFrames() const;
    void IndexForLists();
    //! Where a list that starts at marker ends; keypad13 false takes its first terminator.
    ListReading ReadList(std::size_t marker, bool keypad13 = true) const;
    //! First terminator at or after from on an entry boundary of the list at marker that ends by
    //! limit, or npos.
    std::size_t AlignedTerminator(std::size_t marker, std::size_t from, std::size_t limit) const;
    //! The entries before terminator name keypads the model has, each once (for models of up to
    //! 255 keypads, whose numbers a byte holds).
    bool HoldsEachKeypadOnce(std::size_t marker, std::size_t terminator) const;
    //! A reading whose entries do not is no list (or ends at its first terminator).
    void CheckEntries(std::size_t marker, ListReading& reading) const;
    //! A marker that may start a list lies at pos.
    bool MarkerAt(std::size_t pos) const;
    //! Index into markers_ of the list the list step looks at, or markers_.size() for none; the
    //! markers before firstLive start no list.
    std::size_t ChooseList(ListReading& reading, std::size_t* firstLive = nullptr) const;

    //! Removes sorted, disjoint ranges from the buffer, keeping the window and quiet marks on the
    //! bytes they stood on.
    void Remove(const std::vector<Range>& ranges);

    std::string buffer_;
    std::size_t bufferLimit_;
    unsigned char first_ = 0;
    unsigned char last_ = 0;
    // What each byte value can be: a keypad state, a scan group letter of the model.
    static constexpr std::uint8_t kState = 1, kLetter = 2;
    std::array<std::uint8_t, 256> kinds_{};
    int listsDue_ = 0;
    std::size_t windowStart_ = 0; // bytes from here on arrived after the list was asked for
    std::size_t quietAt_;         // while LineQuiet runs: the line went quiet after this many bytes
    std::size_t packetEnd_;       // where the last packet taken ended (npos: unknown)
    int damagedFrames_ = 0;

    // Scratch of one list step: markers that may start a list, terminators by position mod 7,
    // starts of keypad packets and of frames waiting for a later pass.
    std::vector<std::size_t> markers_;
    std::array<std::vector<std::size_t>, protocol::kListEntrySize> terminators_;
    std::vector<std::size_t> packets_;
    // runEnd_[p]: the keypad state bytes that end at p (kept with the buffer).
    std::vector<std::uint32_t> runEnd_;
};

} // namespace kivra
