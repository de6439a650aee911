#include "tests/kivra/FakeBase.h"

#include "serial/PortNames.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>

namespace kivra::test {

TFakeBase::TFakeBase(int comPort)
{
    if (::openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0)
        throw std::runtime_error("openpty failed");
    termios tio{};
    ::tcgetattr(slave_, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(slave_, TCSANOW, &tio);
    if (!EnsurePortDirectory())
        throw std::runtime_error("no port directory");
    link_ = PortDirectory() + "/COM" + std::to_string(comPort);
    ::unlink(link_.c_str());
    if (::symlink(::ttyname(slave_), link_.c_str()) != 0)
        throw std::runtime_error("symlink failed");
    thread_ = std::thread([this] { Run(); });
}

TFakeBase::~TFakeBase()
{
    stop_ = true;
    thread_.join();
    ::unlink(link_.c_str());
    if (master_ >= 0)
        ::close(master_);
    ::close(slave_);
}

void TFakeBase::Run()
{
    char buffer[256];
    while (!stop_) {
        int fd = -1;
        {
            std::lock_guard<std::mutex> guard(lock_);
            fd = master_;
        }
        if (fd < 0) {
            ::usleep(10000);
            continue;
        }
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0 || (p.revents & POLLIN) == 0)
            continue;
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0)
            continue;
        int xons = 0;
        {
            std::lock_guard<std::mutex> guard(lock_);
            host_.append(buffer, static_cast<std::size_t>(n));
        }
        for (ssize_t i = 0; i < n; ++i)
            xons += buffer[i] == '\x11' ? 1 : 0;
        for (int i = 0; i < xons; ++i)
            Write("YZZ");
    }
}

void TFakeBase::Write(std::string_view bytes)
{
    std::lock_guard<std::mutex> guard(lock_);
    std::size_t done = 0;
    while (master_ >= 0 && done < bytes.size()) {
        const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno != EINTR && errno != EAGAIN)
            break;
        if (n > 0)
            done += static_cast<std::size_t>(n);
    }
}

std::string TFakeBase::HostBytes()
{
    std::lock_guard<std::mutex> guard(lock_);
    return host_;
}

void TFakeBase::ClearHostBytes()
{
    std::lock_guard<std::mutex> guard(lock_);
    host_.clear();
}

void TFakeBase::Unplug()
{
    std::lock_guard<std::mutex> guard(lock_);
    ::close(master_);
    master_ = -1;
    ::close(slave_);
    slave_ = ::open("/dev/null", O_RDONLY);
}

std::string Frame(std::string_view tag, std::string_view content)
{
    // L counts every byte after the two length digits: blank, tag, colon, content, CR LF.
    const std::size_t length = 1 + tag.size() + 1 + content.size() + 2;
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02X", static_cast<unsigned>(length));
    return std::string(digits) + " " + std::string(tag) + ":" + std::string(content) + "\r\n";
}

} // namespace kivra::test
