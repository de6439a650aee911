#pragma once
// The simulator's state behind BaseSimulator, shared by its units: the line and its lies
// (BaseSimLine.cpp), the keypads and their answers (BaseSimKeypads.cpp), and the host's commands
// with the thread that runs the base (BaseSimulator.cpp). Private to basesim/.

#include "basesim/BaseSimulator.h"
#include "basesim/BaseWire.h"

#include <array>
#include <bitset>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace kivra::basesim {

using Clock = std::chrono::steady_clock;

inline constexpr int kMaxKeypad = 250;
inline constexpr char kFirstGroup = 'A';
inline constexpr char kLastGroup = 'E';
inline constexpr int kStarIndex = 10;
inline constexpr auto kHostAbsentPoll =
    std::chrono::milliseconds(20); // how often a closed line is checked for a new host

enum class AnswerKind : std::uint8_t { Digit, Star, Soft, LowBattery, Notification };

struct Answer {
    AnswerKind Kind;
    char Wire; // the state byte sent in the packet
    Clock::time_point At;
};

inline bool IsKeyAnswer(AnswerKind kind)
{
    return kind == AnswerKind::Digit || kind == AnswerKind::Star || kind == AnswerKind::Soft;
}

struct BaseSimulator::Impl {
    explicit Impl(SimConfig c) : cfg(std::move(c)) {}

    SimConfig cfg;
    mutable std::mutex m;

    // Keypads and their pending answers.
    std::vector<SimKeypad> keypads;
    std::array<int, kMaxKeypad + 1> indexOf{};
    std::array<std::deque<Answer>, kMaxKeypad + 1> pending;
    std::array<std::optional<std::uint16_t>, kMaxKeypad + 1> answerUnits;

    // Base state as set by the host.
    Generation gen = Generation::Newer;
    FailureMode failure = FailureMode::None;
    bool streaming = false;
    std::uint8_t settingsC = 0, settingsD = 0;
    int channel = 7;
    std::string groups = "ABCDE";
    std::size_t nextGroup = 0;
    std::bitset<11> locked;
    bool timestampMode = false;
    Clock::time_point questionStart = Clock::now();

    // Observation.
    std::string hostBytes;
    std::vector<std::string> commands;
    std::uint64_t answersSent = 0, connectCount = 0;

    // Line.
    int master = -1;
    int wake[2] = {-1, -1};
    bool hostPresent = false;
    bool stopping = false;
    std::string slaveName, linkPath;
    std::thread thread;
    CommandParser parser;
    std::vector<std::pair<Clock::time_point, std::string>> delayed;
    Clock::time_point lineFree = Clock::now(); // when the bytes written so far have left the line
    Clock::time_point nextRandom = Clock::now();
    std::mt19937 rng{1}, noiseRng{2}, lieRng{3};
    std::FILE* trace = nullptr;
    bool ownTrace = false;
    // Answers sent, and those whose packet still waits for the two bytes behind it.
    std::vector<SentAnswer> sent;
    std::deque<std::pair<std::uint64_t, std::size_t>> unstamped; // byte count that frames it, index
    std::uint64_t written = 0;                                   // bytes written since Start

    void InitKeypads();
    void Wake() const;
    void Run();
    void ReadHost();
    void HandleCommand(const std::string& cmd);
    void SendAnswer(std::string bytes);
    bool WriteUnit(std::string bytes);
    //! Writes bytes in one go (or until a second passes without room); false when nothing went.
    bool WritePiece(std::string_view bytes);
    //! Noise bytes to send before a unit, and noise bytes taking state bytes' places in a packet.
    std::string LieAround(std::string& unit, bool packet);
    std::string BuildFrameLying(std::string_view tag, std::string_view content);
    bool SendPacket();
    void RandomPresses(Clock::time_point now);
    void Queue(int keypad, AnswerKind kind, char wire);
    bool Allowed(const Answer& a) const;
    std::string ListBytes() const;
    void Trace(const char* dir, std::string_view bytes);
    void CloseMaster();
    void DiscardUnread() const;
    Clock::duration LineTime(std::size_t bytes) const
    {
        if (cfg.BytesPerSecond <= 0)
            return Clock::duration::zero();
        return std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(static_cast<double>(bytes) / cfg.BytesPerSecond));
    }
};

} // namespace kivra::basesim
