#include "basesim/BaseSimulatorImpl.h"

#include "basesim/PortLink.h"
#include "control/KivraProtocol.h"
#include "core/Exception.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/time.h>
#include <termios.h>
#include <unistd.h>

namespace kivra::basesim {

namespace {

using namespace std::chrono_literals;

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
