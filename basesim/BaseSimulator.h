#pragma once
// A simulated base station: plays the base's side of the wire protocol on the master side of a
// pseudo-terminal and registers the slave as a COM port (a link COMn in the port directory).
// Qt-free: one std::thread polls the master.

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kivra::basesim {

//! Newer answers "WV" as "420" and has status, serial number, channel, keypad settings and
//! keypad lists. Older answers "WV" as "410" and has none of the rest; Legacy not even "WV".
//! Scan groups and key locks work on all three.
enum class Generation : std::uint8_t { Newer, Older, Legacy };

enum class FailureMode : std::uint8_t {
    None,
    Silent,            // no base at all: hears the host, sends nothing
    StallWhilePolling, // no keypad data while streaming; "YZZ" and answers still go out
    Unplug,            // the master is closed: the line is gone until Stop (the link then dangles)
    Noise,             // each sent byte is replaced by a random one with probability NoiseRate
    CorruptLength,     // frames carry a non-hex length field
    SlowAnswers        // frames and lists are sent SlowAnswerMs after their request
};

struct SimKeypad {
    int Number = 0;                       // 1..250
    std::array<std::uint8_t, 3> Serial{}; // holds the list terminator only with Lies::Lists
    int Battery = 3;                      // 0-3
    int Major = 1, Minor = 0;             // firmware version
};

//! The ways a real base and a real radio line lie, each on its own or together. Nothing here
//! breaks the protocol: every lie is something the host must cope with.
struct Lies {
    //! List entries hold 0D 0A FF and the bytes "S"/"T" (serial numbers and status bytes);
    //! keypad 13's serial number begins 0A FF, so its entry starts with the terminator's bytes.
    bool Lists = false;
    //! The five bytes behind a packet's states are random non-zero bytes, not blanks and CR LF.
    bool Filler = false;
    //! Share of noise bytes, drawn from scan group letters, list markers and tag letters. They
    //! come between units; inside a packet one that is no scan group letter takes the place of a
    //! state byte (a letter there would make a shifted packet no receiver could tell).
    double Noise = 0;
    //! Share of frames whose length field lies: not hexadecimal, too short, or too long.
    double BadLengths = 0;
    //! The answer to "WS" is a STATUS frame without content.
    bool EmptyStatus = false;
    //! Units go out in two or three writes split at random points, a few ms apart.
    bool SplitWrites = false;

    bool Any() const { return Lists || Filler || Noise > 0 || BadLengths > 0 || EmptyStatus || SplitWrites; }
};

//! A keypad answer the simulator sent in a packet, for measurements.
struct SentAnswer {
    int Keypad = 0;
    char State = 0;         // the state byte: digit, soft key, "?" or ":"
    bool Intact = false;    // no byte of its packet was spoiled on the way
    double FramableMs = -1; // steady clock, ms: when the two bytes behind its packet were written
};

struct SimConfig {
    int ComPort = 1; // registers the link COMn in the port directory; 0 = do not register
    Generation Gen = Generation::Newer;
    std::vector<SimKeypad> Keypads; // empty = keypads 1..250 with deterministic serials (from Seed)
    std::uint32_t Seed = 1;
    double RandomPressesPerSecond = 0; // random answers from existing keypads (seeded generator)
    int BytesPerSecond = 960;          // pacing of the packet stream (9600 baud); 0 = as fast as possible
    std::string BaseSerial = "104523"; // six letters or digits
    int Channel = 7;
    std::uint8_t SettingsC = 0x00, SettingsD = 0xC0;
    FailureMode Failure = FailureMode::None;
    double NoiseRate = 0.01;
    int SlowAnswerMs = 0;
    Lies Lie;
    bool KeepSentAnswers = false; // record every answer sent (SentAnswers)
    std::string TracePath;        // "" none, "-" stderr, else a file
};

class BaseSimulator {
public:
    explicit BaseSimulator(SimConfig config = {});
    ~BaseSimulator(); // Stop()
    BaseSimulator(const BaseSimulator&) = delete;
    BaseSimulator& operator=(const BaseSimulator&) = delete;

    //! Opens the pty, registers the COMn link and starts the thread; throws kivra::Exception.
    void Start();
    //! Stops the thread, closes the master and removes the link. Safe to call twice.
    void Stop();
    std::string SlaveDevice() const; // e.g. /dev/pts/7
    std::string LinkPath() const;    // <port directory>/COMn or ""

    // Scripted keypads (thread-safe): each answer is sent once, in the next packet of its group
    // (waiting while the stream is off or the group is not scanned). What the keypads' settings
    // forbid never leaves the keypad: locked keys; "*" unless enabled in settings byte C (bit 1);
    // soft keys unless enabled in D (bit 2); low-battery warnings unless enabled in C (bit 2).
    // A second key press before the first was sent replaces it, or is refused when C bit 4
    // (first answer only) is set. Keypads that do not exist are ignored.
    void Press(int keypad, char digit); // '0'..'9', or '*' (sent as ':', its code in "L:")
    void SoftKey(int keypad, char key); // '<' '=' '>'
    void LowBattery(int keypad);        // '?'
    void Notify(int keypad);            // ':'
    void SetFailure(FailureMode mode);  // at run time (Unplug closes the master: the line goes away)
    FailureMode Failure() const;
    void SetGeneration(Generation gen);
    void SetNoiseRate(double rate);
    void SetSlowAnswerMs(int ms);

    // Observation (thread-safe)
    std::string HostBytes() const; // every byte the host wrote, in order
    std::vector<std::string>
    Commands() const; // host writes parsed into commands ("\x11", "XX", "C\x80", ...)
    void ClearHostLog();
    bool Streaming() const; // between XON and XOFF (a host that closes the line ends it too)
    std::uint8_t SettingsC() const;
    std::uint8_t SettingsD() const;
    int Channel() const;
    std::string ActiveGroups() const; // letters being streamed, e.g. "ABCDE"
    bool KeyLocked(char key) const;   // '0'..'9', '*'
    bool TimestampMode() const;
    std::uint64_t AnswersSent() const;  // digit/soft/low-battery/notification bytes sent in packets
    std::uint64_t ConnectCount() const; // XONs that started the stream (every XON gets "YZZ")
    //! With SimConfig::KeepSentAnswers: the answers sent so far, in order.
    std::vector<SentAnswer> SentAnswers() const;

    struct Impl;

private:
    std::unique_ptr<Impl> d;
};

//! The keypads 1..250 used when SimConfig::Keypads is empty: serials, batteries and firmware
//! drawn from the seed, no list entry holding the list terminator unless lying is true (then
//! many entries hold its bytes and "S"/"T", and keypad 13's serial number begins 0A FF).
std::vector<SimKeypad> DefaultKeypads(std::uint32_t seed, bool lying = false);

// For tests that want to poke the wire by hand.
//! "<tag>:" frame with its length field (two hex digits counting every byte after it).
std::string BuildFrame(std::string_view tag, std::string_view content);
//! 56-byte packet: group letter, 50 keypad state bytes, 5 trailing bytes (kPacketTail by default).
std::string BuildPacket(char groupLetter, const std::array<char, 50>& states,
                        std::string_view tail = "   \r\n");

} // namespace kivra::basesim
