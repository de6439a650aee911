#include "tests/serial/PtyHelper.h"

#include "tests/support/TestSupport.h"

#include <QCoreApplication>
#include <cerrno>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace kivra::test {

Pty::Pty()
{
    int slave = -1;
    char name[128] = {};
    if (::openpty(&master_, &slave, name, nullptr, nullptr) != 0) {
        ADD_FAILURE() << "openpty failed: " << errno;
        return;
    }
    path_ = name;
    ::close(slave);
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    ::fcntl(master_, F_SETFD, FD_CLOEXEC);
}

Pty::~Pty()
{
    Unplug();
}

void Pty::Unplug()
{
    if (master_ >= 0)
        ::close(master_);
    master_ = -1;
}

void Pty::Send(const std::string& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
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

std::string Pty::Receive(size_t count, std::chrono::milliseconds timeout)
{
    std::string got;
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (got.size() < count && std::chrono::steady_clock::now() < end) {
        char buf[4096];
        const ssize_t n = ::read(master_, buf, std::min(sizeof buf, count - got.size()));
        if (n > 0) {
            got.append(buf, static_cast<size_t>(n));
            continue;
        }
        QCoreApplication::processEvents();
        pollfd p{master_, POLLIN, 0};
        ::poll(&p, 1, 5);
    }
    return got;
}

TPosixError FakeLineIo::GetModemLines(int, int& lines)
{
    std::lock_guard lock(m_);
    lines = lines_;
    return {};
}

TPosixError FakeLineIo::SetModemLine(int, int, bool)
{
    return TPosixError(ENOTTY);
}

TPosixError FakeLineIo::GetCounters(int, TComCounters& counters)
{
    std::lock_guard lock(m_);
    counters = counters_;
    return {};
}

TPosixError FakeLineIo::WaitModemChange(int)
{
    std::unique_lock lock(m_);
    const int seen = changes_;
    ++waiters_;
    changed_.notify_all();
    changed_.wait(lock, [&] { return changes_ != seen || interrupted_; });
    --waiters_;
    if (interrupted_) {
        interrupted_ = false;
        return TPosixError(EINTR);
    }
    return {};
}

void FakeLineIo::Interrupt(std::thread&)
{
    std::lock_guard lock(m_);
    interrupted_ = true;
    changed_.notify_all();
}

bool FakeLineIo::WaitForWaiter(std::chrono::milliseconds timeout)
{
    std::unique_lock lock(m_);
    return changed_.wait_for(lock, timeout, [&] { return waiters_ > 0; });
}

void FakeLineIo::SetLines(int lines)
{
    std::lock_guard lock(m_);
    lines_ = lines;
}

void FakeLineIo::Update(void (*change)(TComCounters&), bool wake)
{
    std::lock_guard lock(m_);
    change(counters_);
    if (wake) {
        ++changes_;
        changed_.notify_all();
    }
}

TComCounters FakeLineIo::Counters()
{
    std::lock_guard lock(m_);
    return counters_;
}

} // namespace kivra::test
