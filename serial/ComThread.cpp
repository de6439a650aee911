#include "serial/ComThread.h"

#include <cerrno>
#include <chrono>
#include <system_error>

namespace kivra {
namespace {

int NiceOf(TThreadPriority p)
{
    static constexpr int kNice[] = {19, 10, 5, 0, -5, -10, -20};
    return kNice[static_cast<int>(p)];
}

} // namespace

TComThread::TComThread(TCustomComPort* port, int fd, std::shared_ptr<TComLineIo> io, int inputSize)
    : port_(port), fd_(fd), io_(std::move(io)), inputSize_(inputSize)
{
}

TComThread::~TComThread()
{
    Terminate();
    StopWatcher();
    if (thread_.joinable())
        thread_.join();
}

TPosixError TComThread::Prepare()
{
    if (const TPosixError err = wait_.Prepare(fd_))
        return err;
    // The baseline is taken before the thread runs: changes from now on are events.
    countersSupported_ = !io_->GetCounters(fd_, counters_);
    return {};
}

bool TComThread::Start(TThreadPriority priority)
{
    priority_ = priority;
    try {
        thread_ = std::thread([this] {
            {
                // The priority is applied under the lock: one set meanwhile is not lost.
                std::lock_guard lock(priorityMutex_);
                tid_ = CurrentThreadId();
                ApplyPriority();
            }
            Execute();
        });
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void TComThread::SetPriority(TThreadPriority p)
{
    std::lock_guard lock(priorityMutex_);
    priority_ = p;
    ApplyPriority();
}

void TComThread::ApplyPriority()
{
    if (tid_ != 0)
        SetThreadNice(tid_, NiceOf(priority_)); // failure ignored
}

void TComThread::Terminate()
{
    terminated_ = true;
    handOver_.Cancel();
    wait_.Wake();
}

bool TComThread::IsCurrent() const
{
    return std::this_thread::get_id() == thread_.get_id();
}

void TComThread::StopWatcher()
{
    std::lock_guard lock(watcherMutex_);
    if (!watcher_.joinable())
        return;
    watcherStop_ = true;
    while (!watcherDone_) {
        io_->Interrupt(watcher_);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    watcher_.join();
}

bool TComThread::ReleaseSelf()
{
    std::lock_guard lock(exitMutex_);
    if (finished_)
        return false;
    selfOwned_ = true;
    if (!IsCurrent())
        thread_.detach();
    return true;
}

std::uint32_t TComThread::CounterBits()
{
    if (!countersSupported_)
        return 0;
    TComCounters c;
    if (io_->GetCounters(fd_, c))
        return 0;
    const TComCounters& o = counters_;
    std::uint32_t bits = 0;
    if (c.brk != o.brk)
        bits |= EV_BREAK;
    if (c.cts != o.cts)
        bits |= EV_CTS;
    if (c.dsr != o.dsr)
        bits |= EV_DSR;
    if (c.rng != o.rng)
        bits |= EV_RING;
    if (c.dcd != o.dcd)
        bits |= EV_RLSD;
    if (c.frame != o.frame || c.overrun != o.overrun || c.parity != o.parity || c.bufOverrun != o.bufOverrun)
        bits |= EV_ERR;
    counters_ = c;
    return bits;
}

void TComThread::StartWatcher()
{
    std::lock_guard lock(watcherMutex_);
    if (watcher_.joinable() || watcherStop_ || terminated_)
        return;
    watcher_ = std::thread([this] {
        // A change before the first wait is not seen by the driver's wait: let the event thread
        // compare the counters once.
        wait_.Wake();
        while (!watcherStop_) {
            const TPosixError err = io_->WaitModemChange(fd_);
            if (watcherStop_)
                break;
            if (!err)
                wait_.Wake();
            else if (!err.Interrupted())
                break; // the driver cannot tell
        }
        watcherDone_ = true;
    });
}

void TComThread::Execute()
{
    const bool synchronize = port_->GetSynchronizeEvents();
    TCustomComPort* port = port_;
    try {
        while (!terminated_) {
            constexpr std::uint32_t kModemBits = EV_CTS | EV_DSR | EV_RING | EV_RLSD;
            if (countersSupported_ && (port_->waitMask_.load() & kModemBits) != 0)
                StartWatcher();
            TDeviceEvents device;
            if (const TPosixError err = wait_.Wait(device)) {
                if (err.Interrupted())
                    continue;
                CallOnMain([port, err] { port->RaiseSystemError(err); });
                break;
            }
            if (terminated_)
                break;
            if (device.hangup) {
                // The device went away (adapter unplugged, other end of a pty closed).
                CallOnMain([port] { port->DeviceGone(TPosixError(EIO)); });
                break;
            }
            std::uint32_t bits = CounterBits();
            if (device.input) {
                bits |= EV_RXCHAR;
                int queued = 0;
                if (!QueuedInput(fd_, queued) && inputSize_ > 0 &&
                    static_cast<std::int64_t>(queued) * 10 >= static_cast<std::int64_t>(inputSize_) * 8)
                    bits |= EV_RX80FULL;
            }
            bits &= port_->waitMask_.load();
            if (bits == 0)
                continue;
            port_->eventMask_ = bits;
            if (synchronize)
                CallOnMain([port, bits] { port->DispatchEvents(bits); });
            else
                port->DispatchEvents(bits);
        }
    } catch (...) {
        // An error handed back from the main thread ends the thread, as a failed wait does.
    }
    StopWatcher();
    {
        std::lock_guard lock(exitMutex_);
        finished_ = true;
        if (!selfOwned_)
            return;
        if (thread_.joinable())
            thread_.detach();
    }
    delete this;
}

} // namespace kivra
