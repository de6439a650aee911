#include "basesim/BaseSimulator.h"

#include "basesim/BaseWire.h"
#include "basesim/PortLink.h"
#include "control/KivraProtocol.h"
#include "core/Exception.h"

#include <algorithm>
#include <bitset>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <optional>
#include <poll.h>
#include <pty.h>
#include <random>
#include <sys/time.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace kivra::basesim {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kMaxKeypad = 250;
constexpr char kFirstGroup = 'A';
constexpr char kLastGroup = 'E';
constexpr int kStarIndex = 10;
constexpr auto kHostAbsentPoll = 20ms; // how often a closed line is checked for a new host

enum class AnswerKind : std::uint8_t { Digit, Star, Soft, LowBattery, Notification };

struct Answer {
    AnswerKind Kind;
    char Wire; // the state byte sent in the packet
    Clock::time_point At;
};

bool IsKeyAnswer(AnswerKind kind)
{
    return kind == AnswerKind::Digit || kind == AnswerKind::Star || kind == AnswerKind::Soft;
}

//! Raw 9600 8N1 on the slave (on a pty master, the terminal settings are the slave's).
void MakeRaw(int fd)
{
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0)
        return;
    ::cfmakeraw(&tio);
    ::cfsetspeed(&tio, B9600);
    ::tcsetattr(fd, TCSANOW, &tio);
}

void SetNonBlocking(int fd)
{
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
}

} // namespace

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

std::vector<SimKeypad> DefaultKeypads(std::uint32_t seed, bool lying)
{
    std::vector<SimKeypad> keypads;
    std::mt19937 gen(seed);
    for (int n = 1; n <= kMaxKeypad; ++n) {
        SimKeypad k;
        k.Number = n;
        k.Battery = static_cast<int>(gen() % 8 == 0 ? gen() % 3 : 3);
        k.Major = 1;
        k.Minor = static_cast<int>(gen() % 4);
        const auto status = protocol::MakeStatusByte(k.Battery, k.Major, k.Minor);
        do {
            for (auto& b : k.Serial)
                b = static_cast<std::uint8_t>(gen());
        } while (!lying && HoldsTerminator(SerialEntry(n, k.Serial.data(), status)));
        if (lying) {
            // Serial numbers and status bytes a framing could take for list ends and markers.
            static constexpr std::array<std::array<std::uint8_t, 3>, 4> kTempting{
                {{0x0D, 0x0A, 0xFF}, {'S', 0x0D, 0x0A}, {0x0A, 0xFF, 'T'}, {'T', 'S', 0xFF}}};
            if (n == 13)
                k.Serial = {0x0A, 0xFF, static_cast<std::uint8_t>(gen())};
            else if (gen() % 3 == 0)
                k.Serial = kTempting[gen() % kTempting.size()];
            if (gen() % 6 == 0) { // status byte "S" or "T": battery 1, firmware 2.3 or 2.4
                k.Battery = 1;
                k.Major = 2;
                k.Minor = 3 + static_cast<int>(gen() % 2);
            }
        }
        keypads.push_back(k);
    }
    return keypads;
}

void BaseSimulator::Impl::InitKeypads()
{
    indexOf.fill(-1);
    keypads = cfg.Keypads.empty() ? DefaultKeypads(cfg.Seed, cfg.Lie.Lists) : cfg.Keypads;
    for (std::size_t i = 0; i < keypads.size(); ++i) {
        const SimKeypad& k = keypads[i];
        const std::string who = "Simulated keypad " + std::to_string(k.Number);
        if (k.Number < 1 || k.Number > kMaxKeypad)
            throw Exception(who + ": keypad numbers run from 1 to 250.");
        if (indexOf[k.Number] >= 0)
            throw Exception(who + " is listed twice.");
        if (k.Battery < 0 || k.Battery > 3 || k.Major < 0 || k.Major > 7 || k.Minor < 0 || k.Minor > 7)
            throw Exception(who + ": battery must be 0-3 and firmware major and minor 0-7.");
        if (!cfg.Lie.Lists &&
            HoldsTerminator(SerialEntry(k.Number, k.Serial.data(),
                                        protocol::MakeStatusByte(k.Battery, k.Major, k.Minor))))
            throw Exception(who + ": its list entry would hold the list terminator; choose another serial.");
        indexOf[k.Number] = static_cast<int>(i);
    }
}

void BaseSimulator::Impl::Wake() const
{
    if (wake[1] >= 0) {
        const char b = 1;
        [[maybe_unused]] auto n = ::write(wake[1], &b, 1);
    }
}

void BaseSimulator::Impl::Trace(const char* dir, std::string_view bytes)
{
    if (trace == nullptr || bytes.empty())
        return;
    timeval tv{};
    ::gettimeofday(&tv, nullptr);
    tm local{};
    ::localtime_r(&tv.tv_sec, &local);
    std::fprintf(trace, "%02d:%02d:%02d.%03ld %s", local.tm_hour, local.tm_min, local.tm_sec,
                 static_cast<long>(tv.tv_usec / 1000), dir);
    for (unsigned char c : bytes)
        std::fprintf(trace, " %02X", c);
    std::fputc('\n', trace);
    std::fflush(trace);
}

//! What the last host left unread would wait in the line for the next one (a closed pty slave
//! keeps its input); a real line loses it. Only a slave side flush reaches it.
void BaseSimulator::Impl::DiscardUnread() const
{
    const int fd = ::open(slaveName.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return;
    ::tcflush(fd, TCIFLUSH);
    ::close(fd);
}

void BaseSimulator::Impl::CloseMaster()
{
    if (master >= 0)
        ::close(master);
    master = -1;
    hostPresent = false;
    streaming = false;
}

bool BaseSimulator::Impl::WriteUnit(std::string bytes)
{
    if (master < 0 || !hostPresent)
        return false;
    if (failure == FailureMode::Noise && cfg.NoiseRate > 0) {
        std::bernoulli_distribution hit(std::min(1.0, cfg.NoiseRate));
        for (char& c : bytes)
            if (hit(noiseRng))
                c = static_cast<char>(noiseRng() & 0xFF);
    }
    // One write per unit: nothing else goes out between its bytes. Split writes cut it into up to
    // three pieces a few ms apart, as a serial driver may deliver it.
    std::vector<std::size_t> cuts{0, bytes.size()};
    if (cfg.Lie.SplitWrites && bytes.size() > 1) {
        for (unsigned n = lieRng() % 3; n > 0; --n)
            cuts.push_back(1 + lieRng() % (bytes.size() - 1));
        std::sort(cuts.begin(), cuts.end());
    }
    std::size_t sentBytes = 0;
    for (std::size_t k = 0; k + 1 < cuts.size(); ++k) {
        if (cuts[k] == cuts[k + 1])
            continue;
        if (k > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1 + lieRng() % 8));
        if (!WritePiece(std::string_view(bytes).substr(cuts[k], cuts[k + 1] - cuts[k])))
            break;
        sentBytes = cuts[k + 1];
    }
    if (sentBytes == 0)
        return false;
    // Pace by the line time of what went out; a small lag may be caught up.
    lineFree = std::max(lineFree, Clock::now() - 20ms) + LineTime(sentBytes);
    return true;
}

bool BaseSimulator::Impl::WritePiece(std::string_view bytes)
{
    ssize_t n = ::write(master, bytes.data(), bytes.size());
    if (n <= 0)
        return false;
    // A full line buffer took only part: finish the piece before anything else goes out, so its
    // bytes stay together; a host that reads nothing for a second loses the rest.
    for (auto giveUp = Clock::now() + 1s;
         static_cast<std::size_t>(n) < bytes.size() && Clock::now() < giveUp;) {
        pollfd p{master, POLLOUT, 0};
        ::poll(&p, 1, 50);
        const ssize_t more = ::write(master, bytes.data() + n, bytes.size() - static_cast<std::size_t>(n));
        if (more > 0)
            n += more;
        else if (more < 0 && errno != EAGAIN && errno != EINTR)
            break;
    }
    Trace("base>", bytes.substr(0, static_cast<std::size_t>(n)));
    written += static_cast<std::uint64_t>(n);
    const double now = std::chrono::duration<double, std::milli>(Clock::now().time_since_epoch()).count();
    while (!unstamped.empty() && unstamped.front().first <= written) {
        sent[unstamped.front().second].FramableMs = now;
        unstamped.pop_front();
    }
    return true;
}

std::string BaseSimulator::Impl::LieAround(std::string& unit, bool packet)
{
    std::string before;
    if (cfg.Lie.Noise <= 0)
        return before;
    static constexpr std::string_view kNoise = "ABCDEST"
                                               "SERIAL #STATUSCHANNELKIVRA";
    static constexpr std::string_view kNoLetter = "STRIL #UHNKV";
    std::binomial_distribution<int> events(static_cast<int>(unit.size()), std::min(1.0, cfg.Lie.Noise));
    for (int n = events(lieRng); n > 0; --n) {
        if (packet && lieRng() % 2 == 0)
            unit[1 + lieRng() % protocol::kKeypadsPerGroup] = kNoLetter[lieRng() % kNoLetter.size()];
        else
            before += kNoise[lieRng() % kNoise.size()];
    }
    return before;
}

std::string BaseSimulator::Impl::BuildFrameLying(std::string_view tag, std::string_view content)
{
    std::string frame = BuildFrame(tag, content);
    if (cfg.Lie.BadLengths <= 0 || !std::bernoulli_distribution(std::min(1.0, cfg.Lie.BadLengths))(lieRng))
        return frame;
    char digits[3];
    switch (lieRng() % 3) {
    case 0: // not hexadecimal
        frame[lieRng() % 2] = "?x-"[lieRng() % 3];
        return frame;
    case 1: // too short for the tag
        std::snprintf(digits, sizeof digits, "%02X", static_cast<unsigned>(lieRng() % (tag.size() + 4)));
        break;
    default: // more bytes than the frame has
        std::snprintf(digits, sizeof digits, "%02X",
                      static_cast<unsigned>(std::min<std::size_t>(0xFF, frame.size() + 1 + lieRng() % 120)));
        break;
    }
    frame.replace(0, 2, digits, 2);
    return frame;
}

void BaseSimulator::Impl::SendAnswer(std::string bytes)
{
    if (failure == FailureMode::Silent)
        return;
    bytes = LieAround(bytes, false) + bytes;
    if (failure == FailureMode::SlowAnswers && cfg.SlowAnswerMs > 0) {
        delayed.emplace_back(Clock::now() + std::chrono::milliseconds(cfg.SlowAnswerMs), std::move(bytes));
        return;
    }
    WriteUnit(std::move(bytes));
}

bool BaseSimulator::Impl::Allowed(const Answer& a) const
{
    switch (a.Kind) {
    case AnswerKind::Digit:
        return !locked[static_cast<std::size_t>(a.Wire - '0')];
    case AnswerKind::Star:
        return (settingsC & 0x02) != 0 && !locked[kStarIndex];
    case AnswerKind::Soft:
        return (settingsD & 0x04) != 0;
    case AnswerKind::LowBattery:
        return (settingsC & 0x04) != 0;
    case AnswerKind::Notification:
        return true;
    }
    return false;
}

void BaseSimulator::Impl::Queue(int keypad, AnswerKind kind, char wire)
{
    if (keypad < 1 || keypad > kMaxKeypad || indexOf[keypad] < 0)
        return; // no such keypad: nobody answers
    auto& q = pending[keypad];
    const Answer a{kind, wire, Clock::now()};
    if (IsKeyAnswer(kind)) {
        auto it = std::find_if(q.begin(), q.end(), [](const Answer& p) { return IsKeyAnswer(p.Kind); });
        if (it != q.end()) {
            // Unread answer: a first-answer-only keypad refuses the new press, others change it.
            if ((settingsC & 0x10) == 0)
                *it = a;
            return;
        }
    } else if (std::any_of(q.begin(), q.end(), [&](const Answer& p) { return p.Kind == kind; })) {
        return; // the same warning is already waiting
    }
    q.push_back(a);
    Wake();
}

bool BaseSimulator::Impl::SendPacket()
{
    const char letter = groups[nextGroup % groups.size()];
    const int base = (letter - kFirstGroup) * protocol::kKeypadsPerGroup;
    std::array<char, 50> states;
    states.fill(protocol::kStateNoAnswer);
    std::vector<int> carried;
    for (int k = 1; k <= protocol::kKeypadsPerGroup; ++k) {
        auto& q = pending[base + k];
        while (!q.empty() && !Allowed(q.front()))
            q.pop_front(); // a locked or disabled key never leaves the keypad
        if (!q.empty()) {
            states[static_cast<std::size_t>(k - 1)] = q.front().Wire;
            carried.push_back(base + k);
        }
    }
    std::string tail(kPacketTail);
    if (cfg.Lie.Filler)
        for (char& c : tail)
            c = static_cast<char>(1 + lieRng() % 255);
    std::string packet = BuildPacket(letter, states, tail);
    const std::string clean = packet;
    const std::string before = LieAround(packet, true);
    const std::uint64_t framedAt = written + before.size() + packet.size() + 2;
    const bool intact = packet == clean && failure != FailureMode::Noise;
    if (!WriteUnit(before + packet))
        return false; // nothing went out: the answers wait for the next packet
    ++nextGroup;
    for (int n : carried) {
        const Answer a = pending[n].front();
        if (cfg.KeepSentAnswers) {
            sent.push_back({n, a.Wire, intact});
            unstamped.emplace_back(framedAt, sent.size() - 1);
        }
        pending[n].pop_front();
        ++answersSent;
        if (timestampMode && IsKeyAnswer(a.Kind)) {
            const auto ms =
                std::chrono::duration_cast<std::chrono::milliseconds>(a.At - questionStart).count();
            answerUnits[n] =
                static_cast<std::uint16_t>(std::clamp<long long>(ms / protocol::kTimestampUnitMs, 0, 0xFFFF));
        }
    }
    return true;
}

void BaseSimulator::Impl::RandomPresses(Clock::time_point now)
{
    if (cfg.RandomPressesPerSecond <= 0) {
        nextRandom = Clock::time_point::max();
        return;
    }
    std::exponential_distribution<double> gap(cfg.RandomPressesPerSecond);
    while (now >= nextRandom) {
        nextRandom += std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(gap(rng)));
        std::vector<int> candidates;
        for (const SimKeypad& k : keypads)
            if (groups.find(static_cast<char>(kFirstGroup + (k.Number - 1) / 50)) != std::string::npos)
                candidates.push_back(k.Number);
        if (candidates.empty())
            continue;
        const int n = candidates[rng() % candidates.size()];
        const unsigned roll = rng() % 20;
        if (roll == 0)
            Queue(n, AnswerKind::Soft, static_cast<char>('<' + rng() % 3));
        else
            Queue(n, AnswerKind::Digit, static_cast<char>('0' + rng() % 10));
    }
}

std::string BaseSimulator::Impl::ListBytes() const
{
    std::string entries;
    for (const SimKeypad& k : keypads) {
        if (groups.find(static_cast<char>(kFirstGroup + (k.Number - 1) / 50)) == std::string::npos)
            continue; // the base hears only the groups it scans
        const auto status = protocol::MakeStatusByte(k.Battery, k.Major, k.Minor);
        if (!timestampMode) {
            entries += SerialEntry(k.Number, k.Serial.data(), status);
            continue;
        }
        if (!answerUnits[k.Number])
            continue;
        std::uint16_t units = *answerUnits[k.Number];
        // Keypad 13 answering at 0x0AFF would spell the terminator: report it one unit later
        // (a lying base does not).
        while (!cfg.Lie.Lists && HoldsTerminator(TimestampEntry(k.Number, units, status)))
            ++units;
        entries += TimestampEntry(k.Number, units, status);
    }
    return BuildList(timestampMode ? protocol::kTimestampListMarker : protocol::kSerialListMarker, entries);
}

void BaseSimulator::Impl::HandleCommand(const std::string& cmd)
{
    commands.push_back(cmd);
    const bool newer = gen == Generation::Newer;
    const bool corrupt = failure == FailureMode::CorruptLength;
    auto frame = [&](std::string_view tag, std::string_view content) {
        SendAnswer(corrupt ? BuildCorruptFrame(tag, content) : BuildFrameLying(tag, content));
    };
    if (cmd.size() == 1) {
        if (cmd[0] == protocol::kXOn) {
            if (!streaming) {
                streaming = true;
                ++connectCount;
                nextGroup = 0; // a new stream starts with the first scanned group
                lineFree = std::max(lineFree, Clock::now());
                nextRandom = Clock::now();
            }
            if (failure != FailureMode::Silent)
                WriteUnit(std::string(protocol::kDetectionMark));
        } else if (cmd[0] == protocol::kXOff) {
            streaming = false;
        }
        return; // anything else is not a command of this base
    }
    const char head = cmd[0], arg = cmd[1];
    switch (head) {
    case 'P':
        if (!newer)
            break;
        if (arg == 'T') {
            timestampMode = true;
            questionStart = Clock::now();
            answerUnits.fill(std::nullopt);
        } else if (arg == 'S') {
            timestampMode = false;
        } else if (arg == 'D') {
            SendAnswer(ListBytes());
        }
        break;
    case 'W':
        if (arg == 'V' && gen != Generation::Legacy)
            frame(protocol::kTagVersion, newer ? "420,Ver 02.10.07" : "410,Ver 01.07.03");
        else if (arg == 'S' && newer)
            frame(protocol::kTagStatus, cfg.Lie.EmptyStatus ? std::string()
                                                            : std::string{'C', static_cast<char>(settingsC),
                                                                          'D', static_cast<char>(settingsD)});
        else if (arg == 'N' && newer)
            frame(protocol::kTagSerial, cfg.BaseSerial);
        break;
    case 'B':
        if (!newer)
            break;
        if (arg == 'R') {
            char digits[4];
            std::snprintf(digits, sizeof digits, "%02d", channel % 100);
            frame(protocol::kTagChannel, digits);
        } else if (std::isxdigit(static_cast<unsigned char>(arg))) {
            const int value = std::stoi(std::string(1, arg), nullptr, 16);
            if (value >= 1)
                channel = value;
        }
        break;
    case 'G':
    case 'S':
        if (arg >= kFirstGroup && arg <= kLastGroup) {
            groups = head == 'S' ? std::string(1, arg) : std::string();
            for (char g = kFirstGroup; head == 'G' && g <= arg; ++g)
                groups += g;
            nextGroup = 0;
        }
        break;
    case 'K':
        if (arg == '0')
            locked.reset();
        else if (arg == 'X')
            for (std::size_t d = 0; d < 10; ++d)
                locked.set(d);
        break;
    case 'L':
        if (arg >= '0' && arg <= ':')
            locked.set(static_cast<std::size_t>(arg - '0'));
        break;
    case 'C':
        if (newer)
            settingsC = static_cast<std::uint8_t>(arg);
        break;
    case 'D':
        if (newer)
            settingsD = static_cast<std::uint8_t>(arg);
        break;
    default: // "XX" keeps the line alive and asks for nothing
        break;
    }
}

void BaseSimulator::Impl::ReadHost()
{
    char buf[512];
    for (;;) {
        const ssize_t n = ::read(master, buf, sizeof buf);
        if (n <= 0)
            return; // EAGAIN, or EIO once the host has closed the line
        const std::string_view bytes(buf, static_cast<std::size_t>(n));
        hostBytes.append(bytes);
        Trace("host>", bytes);
        for (const std::string& cmd : parser.Feed(bytes))
            HandleCommand(cmd);
    }
}

void BaseSimulator::Impl::Run()
{
    std::unique_lock lock(m);
    while (!stopping) {
        const auto now = Clock::now();
        // Delayed answers, random presses, the packet stream.
        for (auto it = delayed.begin(); it != delayed.end();) {
            if (it->first <= now) {
                WriteUnit(std::move(it->second));
                it = delayed.erase(it);
            } else {
                ++it;
            }
        }
        const bool packets = streaming && hostPresent && master >= 0 && failure != FailureMode::Silent &&
                             failure != FailureMode::StallWhilePolling && !groups.empty();
        if (streaming)
            RandomPresses(now);
        bool waitWritable = false;
        if (packets && now >= lineFree && !SendPacket()) {
            if (cfg.BytesPerSecond <= 0)
                waitWritable = true; // the host is not reading: wait until it does
            else
                lineFree = now + LineTime(protocol::kPacketSize); // lost on the line
        }

        // Sleep until the next thing to do, a host byte or a wake-up.
        auto until = now + 500ms;
        if (packets && !waitWritable)
            until = std::min(until, lineFree);
        if (streaming && cfg.RandomPressesPerSecond > 0)
            until = std::min(until, nextRandom);
        for (const auto& d : delayed)
            until = std::min(until, d.first);
        if (master >= 0 && !hostPresent)
            until = std::min(until, now + kHostAbsentPoll);
        int timeout = static_cast<int>(
            std::chrono::ceil<std::chrono::milliseconds>(std::max(until - now, Clock::duration::zero()))
                .count());
        pollfd fds[2] = {{wake[0], POLLIN, 0}, {master, 0, 0}};
        nfds_t nfds = 1;
        if (master >= 0 && hostPresent) {
            fds[1].events = static_cast<short>(POLLIN | (waitWritable ? POLLOUT : 0));
            nfds = 2;
        }
        lock.unlock();
        ::poll(fds, nfds, timeout);
        if (fds[0].revents & POLLIN) {
            char drain[64];
            while (::read(wake[0], drain, sizeof drain) > 0) {
            }
        }
        lock.lock();
        if (stopping || master < 0)
            continue;
        // Without a host on the slave the master reports a hang-up: check it now and then,
        // never in a busy loop. A host that goes away ends the stream, as a dropped line would.
        pollfd probe{master, POLLIN, 0};
        ::poll(&probe, 1, 0);
        const bool present = (probe.revents & POLLHUP) == 0;
        const bool left = hostPresent && !present;
        if (present && !hostPresent)
            MakeRaw(master); // whatever an earlier user left, this protocol needs a raw line
        hostPresent = present;
        if (probe.revents & POLLIN)
            ReadHost(); // also the last words of a host that has just closed
        if (!present)
            streaming = false;
        if (left) {
            parser = CommandParser();
            DiscardUnread();
        }
    }
}

BaseSimulator::BaseSimulator(SimConfig config) : d(std::make_unique<Impl>(std::move(config)))
{
}

BaseSimulator::~BaseSimulator()
{
    Stop();
}

void BaseSimulator::Start()
{
    std::lock_guard lock(d->m);
    if (d->thread.joinable())
        throw Exception("The base simulator is already running.");
    d->InitKeypads();
    d->gen = d->cfg.Gen;
    d->failure = d->cfg.Failure;
    d->settingsC = d->cfg.SettingsC;
    d->settingsD = d->cfg.SettingsD;
    d->channel = d->cfg.Channel;
    d->groups = "ABCDE";
    d->nextGroup = 0;
    d->locked.reset();
    d->streaming = false;
    d->timestampMode = false;
    d->rng.seed(d->cfg.Seed);
    d->noiseRng.seed(d->cfg.Seed ^ 0x9E3779B9u);
    d->lieRng.seed(d->cfg.Seed ^ 0x85EBCA6Bu);
    d->sent.clear();
    d->unstamped.clear();
    d->written = 0;
    for (auto& q : d->pending)
        q.clear();
    d->answerUnits.fill(std::nullopt);
    d->delayed.clear();
    d->parser = CommandParser();

    int master = -1, slave = -1;
    char name[256] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0)
        throw Exception(std::string("Cannot open a pseudo-terminal: ") + std::strerror(errno));
    MakeRaw(slave);
    // The slave is left to the host: with no host the master reports a hang-up, which tells the
    // simulator that nobody listens.
    ::close(slave);
    SetNonBlocking(master);
    if (::pipe(d->wake) != 0) {
        ::close(master);
        throw Exception(std::string("Cannot create a pipe: ") + std::strerror(errno));
    }
    SetNonBlocking(d->wake[0]);
    SetNonBlocking(d->wake[1]);
    d->master = master;
    d->hostPresent = false;
    d->slaveName = name;
    try {
        d->linkPath = d->cfg.ComPort > 0 ? RegisterPortLink(d->cfg.ComPort, d->slaveName) : std::string();
        if (d->cfg.TracePath == "-") {
            d->trace = stderr;
            d->ownTrace = false;
        } else if (!d->cfg.TracePath.empty()) {
            d->trace = std::fopen(d->cfg.TracePath.c_str(), "a");
            if (d->trace == nullptr)
                throw Exception("Cannot open the trace file " + d->cfg.TracePath + ": " +
                                std::strerror(errno));
            d->ownTrace = true;
        }
    } catch (...) {
        UnregisterPortLink(d->linkPath, d->slaveName);
        d->linkPath.clear();
        d->CloseMaster();
        for (int& fd : d->wake) {
            ::close(fd);
            fd = -1;
        }
        throw;
    }
    d->stopping = false;
    d->thread = std::thread([impl = d.get()] { impl->Run(); });
}

void BaseSimulator::Stop()
{
    {
        std::lock_guard lock(d->m);
        if (!d->thread.joinable())
            return;
        d->stopping = true;
        d->Wake();
    }
    d->thread.join();
    std::lock_guard lock(d->m);
    d->CloseMaster();
    for (int& fd : d->wake) {
        ::close(fd);
        fd = -1;
    }
    UnregisterPortLink(d->linkPath, d->slaveName);
    d->linkPath.clear();
    if (d->ownTrace && d->trace != nullptr)
        std::fclose(d->trace);
    d->trace = nullptr;
}

std::string BaseSimulator::SlaveDevice() const
{
    std::lock_guard lock(d->m);
    return d->slaveName;
}

std::string BaseSimulator::LinkPath() const
{
    std::lock_guard lock(d->m);
    return d->linkPath;
}

void BaseSimulator::Press(int keypad, char digit)
{
    if ((digit < '0' || digit > '9') && digit != '*')
        throw Exception(std::string("Not a keypad key: '") + digit + "' (use 0-9 or *).");
    std::lock_guard lock(d->m);
    // The "*" key travels as the byte after "9", as in its lock command "L:".
    d->Queue(keypad, digit == '*' ? AnswerKind::Star : AnswerKind::Digit, digit == '*' ? ':' : digit);
}

void BaseSimulator::SoftKey(int keypad, char key)
{
    if (key != '<' && key != '=' && key != '>')
        throw Exception(std::string("Not a soft key: '") + key + "' (use <, = or >).");
    std::lock_guard lock(d->m);
    d->Queue(keypad, AnswerKind::Soft, key);
}

void BaseSimulator::LowBattery(int keypad)
{
    std::lock_guard lock(d->m);
    d->Queue(keypad, AnswerKind::LowBattery, protocol::kStateLowBattery);
}

void BaseSimulator::Notify(int keypad)
{
    std::lock_guard lock(d->m);
    d->Queue(keypad, AnswerKind::Notification, protocol::kStateNotification);
}

void BaseSimulator::SetFailure(FailureMode mode)
{
    std::lock_guard lock(d->m);
    d->failure = mode;
    if (mode == FailureMode::Unplug)
        d->CloseMaster(); // the line is gone until Stop; the link now points to nothing
    if (mode != FailureMode::SlowAnswers) {
        for (auto& [due, bytes] : d->delayed)
            due = Clock::now();
    }
    d->Wake();
}

FailureMode BaseSimulator::Failure() const
{
    std::lock_guard lock(d->m);
    return d->failure;
}

void BaseSimulator::SetNoiseRate(double rate)
{
    std::lock_guard lock(d->m);
    d->cfg.NoiseRate = rate;
}

void BaseSimulator::SetSlowAnswerMs(int ms)
{
    std::lock_guard lock(d->m);
    d->cfg.SlowAnswerMs = ms;
}

void BaseSimulator::SetGeneration(Generation gen)
{
    std::lock_guard lock(d->m);
    d->gen = gen;
}

std::string BaseSimulator::HostBytes() const
{
    std::lock_guard lock(d->m);
    return d->hostBytes;
}

std::vector<std::string> BaseSimulator::Commands() const
{
    std::lock_guard lock(d->m);
    return d->commands;
}

void BaseSimulator::ClearHostLog()
{
    std::lock_guard lock(d->m);
    d->hostBytes.clear();
    d->commands.clear();
}

bool BaseSimulator::Streaming() const
{
    std::lock_guard lock(d->m);
    return d->streaming;
}

std::uint8_t BaseSimulator::SettingsC() const
{
    std::lock_guard lock(d->m);
    return d->settingsC;
}

std::uint8_t BaseSimulator::SettingsD() const
{
    std::lock_guard lock(d->m);
    return d->settingsD;
}

int BaseSimulator::Channel() const
{
    std::lock_guard lock(d->m);
    return d->channel;
}

std::string BaseSimulator::ActiveGroups() const
{
    std::lock_guard lock(d->m);
    return d->groups;
}

bool BaseSimulator::KeyLocked(char key) const
{
    std::lock_guard lock(d->m);
    if (key == '*')
        return d->locked[kStarIndex];
    if (key < '0' || key > '9')
        return false;
    return d->locked[static_cast<std::size_t>(key - '0')];
}

bool BaseSimulator::TimestampMode() const
{
    std::lock_guard lock(d->m);
    return d->timestampMode;
}

std::uint64_t BaseSimulator::AnswersSent() const
{
    std::lock_guard lock(d->m);
    return d->answersSent;
}

std::uint64_t BaseSimulator::ConnectCount() const
{
    std::lock_guard lock(d->m);
    return d->connectCount;
}

std::vector<SentAnswer> BaseSimulator::SentAnswers() const
{
    std::lock_guard lock(d->m);
    return d->sent;
}

} // namespace kivra::basesim
