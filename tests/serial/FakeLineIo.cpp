#include "tests/serial/FakeLineIo.h"

#include <cerrno>

namespace kivra::test {

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
