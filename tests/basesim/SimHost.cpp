#include "tests/basesim/SimHost.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace kivra::test {

using Clock = std::chrono::steady_clock;

SimHost::SimHost(const std::string& path)
{
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0)
        return;
    termios tio{};
    ::tcgetattr(fd_, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(fd_, TCSANOW, &tio);
}

SimHost::~SimHost()
{
    Close();
}

void SimHost::Close()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

void SimHost::Write(std::string_view bytes)
{
    while (!bytes.empty() && fd_ >= 0) {
        const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
        if (n > 0)
            bytes.remove_prefix(static_cast<std::size_t>(n));
        else if (n < 0 && errno != EAGAIN && errno != EINTR)
            return;
    }
}

std::string SimHost::ReadUntil(const std::function<bool(const std::string&)>& done,
                               std::chrono::milliseconds timeout)
{
    std::string got;
    const auto end = Clock::now() + timeout;
    while (fd_ >= 0 && !done(got)) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        if (left <= 0)
            break;
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0)
            continue;
        char buf[4096];
        const ssize_t n = ::read(fd_, buf, sizeof buf);
        if (n > 0)
            got.append(buf, static_cast<std::size_t>(n));
        else if (n < 0 && errno != EAGAIN && errno != EINTR)
            break;
        else if (n == 0)
            break;
    }
    return got;
}

std::string SimHost::ReadFor(std::chrono::milliseconds time)
{
    return ReadUntil([](const std::string&) { return false; }, time);
}

bool SimHost::LineGone(std::chrono::milliseconds timeout)
{
    const auto end = Clock::now() + timeout;
    while (fd_ >= 0 && Clock::now() < end) {
        pollfd p{fd_, POLLIN, 0};
        ::poll(&p, 1, 50);
        char buf[4096];
        const ssize_t n = ::read(fd_, buf, sizeof buf);
        if ((n < 0 && errno == EIO) || (n == 0 && (p.revents & POLLHUP)))
            return true;
    }
    return false;
}

std::vector<std::string> SplitPackets(std::string_view stream)
{
    std::vector<std::string> out;
    for (std::size_t i = 0; i + 56 <= stream.size(); i += 56)
        out.emplace_back(stream.substr(i, 56));
    return out;
}

} // namespace kivra::test
