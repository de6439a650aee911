#include "tests/layer/PtyPeer.h"

#include "serial/PortNames.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>

namespace kivra::test {

PtyPeer::PtyPeer(int comPort, std::string replyToXOn) : reply_(std::move(replyToXOn))
{
    if (::openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0 || !EnsurePortDirectory())
        throw std::runtime_error("cannot set up a pseudo-terminal peer");
    termios tio{};
    ::tcgetattr(slave_, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(slave_, TCSANOW, &tio);
    // Never block on a host that stopped reading: what does not fit is dropped.
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    link_ = PortDirectory() + "/COM" + std::to_string(comPort);
    ::unlink(link_.c_str());
    if (::symlink(::ttyname(slave_), link_.c_str()) != 0)
        throw std::runtime_error("cannot register " + link_);
    thread_ = std::thread([this] { Run(); });
}

PtyPeer::~PtyPeer()
{
    stop_ = true;
    thread_.join();
    if (master_ >= 0)
        ::close(master_);
    if (slave_ >= 0)
        ::close(slave_);
    ::unlink(link_.c_str());
}

void PtyPeer::Write(std::string_view bytes)
{
    std::lock_guard lock(mutex_);
    pendingWrite_.append(bytes);
}

void PtyPeer::StartStream(std::string chunk, std::chrono::milliseconds period)
{
    std::lock_guard lock(mutex_);
    streamChunk_ = std::move(chunk);
    streamPeriod_ = period;
}

void PtyPeer::StopStream()
{
    std::lock_guard lock(mutex_);
    streamChunk_.clear();
}

void PtyPeer::Unplug()
{
    unplug_ = true;
    while (unplug_)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

std::string PtyPeer::Received() const
{
    std::lock_guard lock(mutex_);
    return received_;
}

// The descriptors are closed here only, so that no close races with this thread's poll.
void PtyPeer::Run()
{
    auto nextChunk = std::chrono::steady_clock::now();
    while (!stop_) {
        if (unplug_) {
            ::close(master_);
            ::close(slave_);
            master_ = slave_ = -1;
            unplug_ = false;
        }
        if (master_ < 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        pollfd p{master_, POLLIN, 0};
        if (::poll(&p, 1, 5) > 0 && (p.revents & POLLIN) != 0) {
            char buf[512];
            const ssize_t n = ::read(master_, buf, sizeof buf);
            if (n > 0) {
                std::lock_guard lock(mutex_);
                received_.append(buf, static_cast<std::size_t>(n));
                if (!replied_ && received_.find('\x11') != std::string::npos) {
                    replied_ = true;
                    pendingWrite_.insert(0, reply_);
                }
            }
        }
        std::string out;
        {
            std::lock_guard lock(mutex_);
            out.swap(pendingWrite_);
            const auto now = std::chrono::steady_clock::now();
            if (!streamChunk_.empty() && now >= nextChunk) {
                out += streamChunk_;
                nextChunk = now + streamPeriod_;
            }
        }
        for (std::size_t done = 0; done < out.size();) {
            const ssize_t n = ::write(master_, out.data() + done, out.size() - done);
            if (n <= 0)
                break;
            done += static_cast<std::size_t>(n);
        }
    }
}

} // namespace kivra::test
