#include "tests/support/PtyPeer.h"

#include "serial/PortNames.h"

#include <QCoreApplication>
#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>

namespace kivra::test {

namespace {

void SetNonBlocking(int fd)
{
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

//! Writes what fits now; returns the number of bytes written.
std::size_t WriteSome(int fd, std::string_view bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0)
            done += static_cast<std::size_t>(n);
        else if (n < 0 && errno == EINTR)
            continue;
        else
            break;
    }
    return done;
}

} // namespace

PtyPeer::PtyPeer()
{
    char name[128] = {};
    if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
        ADD_FAILURE() << "openpty failed: " << errno;
        return;
    }
    path_ = name;
    ::close(slave_);
    slave_ = -1;
    SetNonBlocking(master_);
    ::fcntl(master_, F_SETFD, FD_CLOEXEC);
}

PtyPeer::PtyPeer(int comPort, std::string replyToXOn, XOnReply when)
    : served_(true), reply_(std::move(replyToXOn)), when_(when)
{
    if (::openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0)
        throw std::runtime_error("cannot open a pseudo-terminal");
    termios tio{};
    ::tcgetattr(slave_, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(slave_, TCSANOW, &tio);
    SetNonBlocking(master_);
    path_ = ::ttyname(slave_);
    if (!EnsurePortDirectory()) {
        CloseAll();
        throw std::runtime_error("no port directory");
    }
    link_ = PortDirectory() + "/COM" + std::to_string(comPort);
    ::unlink(link_.c_str());
    if (::symlink(path_.c_str(), link_.c_str()) != 0) {
        CloseAll();
        throw std::runtime_error("cannot register " + link_);
    }
    thread_ = std::thread([this] { Run(); });
}

PtyPeer::~PtyPeer()
{
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
    CloseAll();
    if (!link_.empty())
        ::unlink(link_.c_str());
}

void PtyPeer::CloseAll()
{
    if (master_ >= 0)
        ::close(master_);
    if (slave_ >= 0)
        ::close(slave_);
    master_ = slave_ = -1;
}

void PtyPeer::Send(const std::string& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            ADD_FAILURE() << "write to pty master failed: " << errno;
            return;
        }
        pollfd p{master_, POLLOUT, 0};
        ::poll(&p, 1, 10);
    }
}

std::string PtyPeer::Receive(std::size_t count, std::chrono::milliseconds timeout)
{
    std::string got;
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (got.size() < count && std::chrono::steady_clock::now() < end) {
        char buf[4096];
        const ssize_t n = ::read(master_, buf, std::min(sizeof buf, count - got.size()));
        if (n > 0) {
            got.append(buf, static_cast<std::size_t>(n));
            continue;
        }
        QCoreApplication::processEvents();
        pollfd p{master_, POLLIN, 0};
        ::poll(&p, 1, 5);
    }
    return got;
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

std::string PtyPeer::Received() const
{
    std::lock_guard lock(mutex_);
    return received_;
}

void PtyPeer::ClearReceived()
{
    std::lock_guard lock(mutex_);
    received_.clear();
}

void PtyPeer::Unplug()
{
    if (!served_) {
        CloseAll();
        return;
    }
    unplug_ = true;
    while (unplug_)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// The descriptors are closed here only, so that no close races with this thread's poll.
void PtyPeer::Run()
{
    auto nextChunk = std::chrono::steady_clock::now();
    while (!stop_) {
        if (unplug_) {
            CloseAll();
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
                const std::string_view got(buf, static_cast<std::size_t>(n));
                std::lock_guard lock(mutex_);
                received_.append(got);
                const auto xons = std::count(got.begin(), got.end(), '\x11');
                for (long i = 0; i < xons && !(when_ == XOnReply::First && replied_); ++i) {
                    replied_ = true;
                    pendingWrite_.insert(0, reply_);
                }
            }
        }
        std::string out, chunk;
        {
            std::lock_guard lock(mutex_);
            out.swap(pendingWrite_);
            const auto now = std::chrono::steady_clock::now();
            if (!streamChunk_.empty() && now >= nextChunk) {
                chunk = streamChunk_;
                nextChunk = now + streamPeriod_;
            }
        }
        const std::size_t written = WriteSome(master_, out);
        if (written < out.size()) {
            std::lock_guard lock(mutex_);
            pendingWrite_.insert(0, out, written);
        } else {
            WriteSome(master_, chunk);
        }
    }
}

} // namespace kivra::test
