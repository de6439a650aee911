// The simulated line: pacing and writing whole units, the trace, and the lies of a lying base
// (noise around units, garbled frame lengths, units split across writes).
#include "basesim/BaseSimulatorImpl.h"

#include "control/KivraProtocol.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace kivra::basesim {

using namespace std::chrono_literals;

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

} // namespace kivra::basesim
