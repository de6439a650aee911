#include "serial/ComPort.h"

#include "serial/MainThreadCall.h"
#include "serial/PortDevice.h"
#include "serial/PortNames.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QSocketNotifier>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <limits>
#include <mutex>
#include <thread>

#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

namespace kivra {
namespace {

constexpr std::uint32_t kMaxDword = 0xFFFFFFFFu;

std::int64_t NowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Total timeout of a transfer of `length` bytes, or -1 for none.
std::int64_t TotalTimeout(int multiplier, int constant, int length)
{
    const std::int64_t total = static_cast<std::int64_t>(static_cast<std::uint32_t>(multiplier)) * length +
                               static_cast<std::uint32_t>(constant);
    return total == 0 ? -1 : total;
}

int NiceOf(TThreadPriority p)
{
    static constexpr int kNice[] = {19, 10, 5, 0, -5, -10, -20};
    return kNice[static_cast<int>(p)];
}

int NiceOf(TPriorityClass p)
{
    static constexpr int kNice[] = {0, 19, 0, -10, -20};
    return kNice[static_cast<int>(p)];
}

// "COM3 (/dev/ttyUSB0) is in use by minicom, process 1234".
std::string BusyText(const std::string& deviceName, const std::string& path, const TPortHolder& holder)
{
    const std::string device = ExaminePortDevice(path).Path;
    const std::string shown = device.empty() ? path : device;
    const int number = ComPortNumber(deviceName);
    const std::string port = number > 0 ? "COM" + std::to_string(number) + " (" + shown + ")" : shown;
    return port + " is in use by " + HolderText(holder);
}

constexpr int kBaudRates[] = {0,     50,    75,    110,   150,   300,    600,    1200,  1800,
                              2000,  2400,  3600,  4800,  7200,  9600,   10400,  14400, 15625,
                              19200, 28800, 38400, 56000, 57600, 115200, 128000, 256000};

} // namespace

//! The event thread: waits for line events and delivers them, by default on the main thread.
class TComThread {
public:
    TComThread(TCustomComPort* port, int fd, std::shared_ptr<TComLineIo> io, int inputSize)
        : port_(port), fd_(fd), io_(std::move(io)), inputSize_(inputSize)
    {
    }
    ~TComThread()
    {
        Terminate();
        StopWatcher();
        if (thread_.joinable())
            thread_.join();
        if (epollFd_ >= 0)
            ::close(epollFd_);
        if (wakeFd_ >= 0)
            ::close(wakeFd_);
    }

    //! 0 or an errno.
    int Prepare()
    {
        epollFd_ = ::epoll_create1(EPOLL_CLOEXEC);
        if (epollFd_ < 0)
            return errno;
        wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (wakeFd_ < 0)
            return errno;
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = wakeFd_;
        if (::epoll_ctl(epollFd_, EPOLL_CTL_ADD, wakeFd_, &ev) != 0)
            return errno;
        // Edge-triggered: one wake-up per arrival of new bytes, none for bytes left unread.
        ev.events = EPOLLIN | EPOLLET;
        ev.data.fd = fd_;
        if (::epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd_, &ev) != 0)
            return errno;
        // The baseline is taken before the thread runs: changes from now on are events.
        countersSupported_ = io_->GetCounters(fd_, counters_) == 0;
        return 0;
    }

    bool Start(TThreadPriority priority)
    {
        priority_ = priority;
        try {
            thread_ = std::thread([this] {
                {
                    // The priority is applied under the lock: one set meanwhile is not lost.
                    std::lock_guard lock(priorityMutex_);
                    tid_ = static_cast<pid_t>(::syscall(SYS_gettid));
                    ApplyPriority();
                }
                Execute();
            });
        } catch (const std::system_error&) {
            return false;
        }
        return true;
    }

    //! Takes effect at once, also before the thread has started running.
    void SetPriority(TThreadPriority p)
    {
        std::lock_guard lock(priorityMutex_);
        priority_ = p;
        ApplyPriority();
    }

    void Wake()
    {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto n = ::write(wakeFd_, &one, sizeof one);
    }

    //! Sets the terminate flag, cancels a hand-over in progress and wakes the wait.
    void Terminate()
    {
        terminated_ = true;
        handOver_.Cancel();
        if (wakeFd_ >= 0)
            Wake();
    }

    bool IsCurrent() const { return std::this_thread::get_id() == thread_.get_id(); }

    //! Ends the modem-line watcher; it holds the device while it waits, so this runs before the
    //! device is released.
    void StopWatcher()
    {
        std::lock_guard lock(watcherMutex_);
        if (!watcher_.joinable())
            return;
        watcherStop_ = true;
        while (!watcherDone_) {
            io_->Interrupt(watcher_.native_handle());
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        watcher_.join();
    }
    bool Finished() const { return finished_; }

    //! The thread deletes itself when it leaves; false when it already left (join it instead).
    bool ReleaseSelf()
    {
        std::lock_guard lock(exitMutex_);
        if (finished_)
            return false;
        selfOwned_ = true;
        if (!IsCurrent())
            thread_.detach();
        return true;
    }

    //! True while the main thread runs a call handed over by this thread.
    bool HandOverRunning() const { return handOver_.Running(); }

    //! Runs fn on the main thread and waits for it (TMainThreadCall::Run).
    bool CallOnMain(std::function<void()> fn) { return handOver_.Run(std::move(fn)); }

private:
    void Execute();
    std::uint32_t CounterBits();
    void StartWatcher();

    TCustomComPort* port_;
    int fd_;
    std::shared_ptr<TComLineIo> io_;
    int inputSize_;
    std::thread thread_;
    void ApplyPriority()
    {
        if (tid_ != 0)
            ::setpriority(PRIO_PROCESS, static_cast<id_t>(tid_), NiceOf(priority_)); // failure ignored
    }

    std::mutex priorityMutex_;
    pid_t tid_ = 0;                                        // guarded by priorityMutex_
    TThreadPriority priority_ = TThreadPriority::tpNormal; // guarded by priorityMutex_
    std::atomic<bool> terminated_{false};
    std::atomic<bool> finished_{false};
    bool selfOwned_ = false;
    std::mutex exitMutex_;
    std::mutex watcherMutex_;
    std::thread watcher_;
    std::atomic<bool> watcherStop_{false};
    std::atomic<bool> watcherDone_{false};
    int epollFd_ = -1;
    int wakeFd_ = -1;
    TMainThreadCall handOver_;
    TComCounters counters_;
    bool countersSupported_ = false;
};

std::uint32_t TComThread::CounterBits()
{
    if (!countersSupported_)
        return 0;
    TComCounters c;
    if (io_->GetCounters(fd_, c) != 0)
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

// Modem-line changes do not wake a poll: a second thread waits for them in the driver and
// wakes the event thread. Only for devices that count those changes.
void TComThread::StartWatcher()
{
    std::lock_guard lock(watcherMutex_);
    if (watcher_.joinable() || watcherStop_ || terminated_)
        return;
    watcher_ = std::thread([this] {
        // A change before the first wait is not seen by the driver's wait: let the event thread
        // compare the counters once.
        Wake();
        while (!watcherStop_) {
            const int err = io_->WaitModemChange(fd_);
            if (watcherStop_)
                break;
            if (err == 0)
                Wake();
            else if (err != EINTR)
                break; // the driver cannot tell
        }
        watcherDone_ = true;
    });
}

void TComThread::Execute()
{
    const bool synchronize = port_->GetSynchronizeEvents();
    try {
        while (!terminated_) {
            constexpr std::uint32_t kModemBits = EV_CTS | EV_DSR | EV_RING | EV_RLSD;
            if (countersSupported_ && (port_->waitMask_.load() & kModemBits) != 0)
                StartWatcher();
            epoll_event evs[2];
            const int n = ::epoll_wait(epollFd_, evs, 2, -1);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                const int err = errno;
                TCustomComPort* port = port_;
                port_->threadError_ = err;
                CallOnMain([port, err] { port->RaiseSystemError(err); });
                break;
            }
            std::uint32_t device = 0;
            for (int i = 0; i < n; ++i) {
                if (evs[i].data.fd == wakeFd_) {
                    std::uint64_t v = 0;
                    [[maybe_unused]] const auto r = ::read(wakeFd_, &v, sizeof v);
                } else
                    device |= evs[i].events;
            }
            if (terminated_)
                break;
            if ((device & (EPOLLHUP | EPOLLERR)) != 0) {
                // The device went away (adapter unplugged, other end of a pty closed).
                TCustomComPort* port = port_;
                port_->threadError_ = EIO;
                CallOnMain([port] { port->DeviceGone(EIO); });
                break;
            }
            std::uint32_t bits = CounterBits();
            if ((device & EPOLLIN) != 0) {
                bits |= EV_RXCHAR;
                int queued = 0;
                if (::ioctl(fd_, FIONREAD, &queued) == 0 && inputSize_ > 0 &&
                    static_cast<std::int64_t>(queued) * 10 >= static_cast<std::int64_t>(inputSize_) * 8)
                    bits |= EV_RX80FULL;
            }
            bits &= port_->waitMask_.load();
            if (bits == 0)
                continue;
            port_->eventMask_ = bits;
            TCustomComPort* port = port_;
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

// ---------------------------------------------------------------------------------------------
// Settings objects

void TFlowControl::SetDTR(TDTRControl v)
{
    if (v != dtr_) {
        dtr_ = v;
        port_->ApplyDeviceState();
    }
}

void TFlowControl::SetRTS(TRTSControl v)
{
    if (v != rts_) {
        rts_ = v;
        port_->ApplyDeviceState();
    }
}

void TFlowControl::SetXOnXOff(TXOnXOffControl v)
{
    if (v != xonxoff_) {
        xonxoff_ = v;
        port_->ApplyDeviceState();
    }
}

void TFlowControl::SetXOnLimit(std::uint16_t v)
{
    if (v != xonLimit_) {
        xonLimit_ = v;
        port_->ApplyDeviceState();
    }
}

void TFlowControl::SetXOffLimit(std::uint16_t v)
{
    if (v != xoffLimit_) {
        xoffLimit_ = v;
        port_->ApplyDeviceState();
    }
}

void TCharacters::Set(char& field, char v)
{
    if (v != field) {
        field = v;
        port_->ApplyDeviceState();
    }
}

void TCharacters::SetXOn(char v)
{
    Set(xon_, v);
}
void TCharacters::SetXOff(char v)
{
    Set(xoff_, v);
}
void TCharacters::SetError(char v)
{
    Set(error_, v);
}
void TCharacters::SetEof(char v)
{
    Set(eof_, v);
}
void TCharacters::SetEvent(char v)
{
    Set(event_, v);
}

void TBufferSizes::SetInput(int v)
{
    if (v != input_) {
        input_ = v;
        port_->ApplyBufferSizes();
    }
}

void TBufferSizes::SetOutput(int v)
{
    if (v != output_) {
        output_ = v;
        port_->ApplyBufferSizes();
    }
}

void TTimeouts::Set(int& field, int v)
{
    if (v != field) {
        field = v;
        port_->ApplyTimeouts();
    }
}

void TTimeouts::SetReadInterval(int v)
{
    Set(readInterval_, v);
}
void TTimeouts::SetReadMultiplier(int v)
{
    Set(readMultiplier_, v);
}
void TTimeouts::SetReadConstant(int v)
{
    Set(readConstant_, v);
}
void TTimeouts::SetWriteMultiplier(int v)
{
    Set(writeMultiplier_, v);
}
void TTimeouts::SetWriteConstant(int v)
{
    Set(writeConstant_, v);
}

// ---------------------------------------------------------------------------------------------
// The port: construction, properties, open and close

TCustomComPort::TCustomComPort()
    : flowControl_(std::make_unique<TFlowControl>(this)), characters_(std::make_unique<TCharacters>(this)),
      bufferSizes_(std::make_unique<TBufferSizes>(this)), timeouts_(std::make_unique<TTimeouts>(this)),
      lineIo_(SystemLineIo())
{
}

TCustomComPort::~TCustomComPort()
{
    try {
        Close();
    } catch (const std::exception& e) {
        HandleException(e);
    }
    CloseHandles();
    ReapStoppedThreads(true);
    timeouts_.reset();
    bufferSizes_.reset();
    characters_.reset();
    flowControl_.reset();
}

std::string TCustomComPort::GetAbout() const
{
    return "Kivra serial port component 1.0";
}

bool TCustomComPort::GetActive() const
{
    return fd_ >= 0;
}

void TCustomComPort::SetActive(bool value)
{
    if (value != GetActive()) {
        if (value)
            Open();
        else
            Close();
    }
}

void TCustomComPort::Open()
{
    if (GetActive())
        return;
    if (beforeOpen_)
        beforeOpen_(this);
    OpenHandles();
    if (GetActive() && afterOpen_)
        afterOpen_(this);
}

void TCustomComPort::Close()
{
    if (thread_ && thread_->IsCurrent()) {
        thread_->CallOnMain([this] { Close(); });
        return;
    }
    if (!GetActive())
        return;
    if (beforeClose_)
        beforeClose_(this);
    CloseHandles();
    if (!GetActive() && afterClose_)
        afterClose_(this);
}

void TCustomComPort::OpenHandles()
{
    CloseHandles();
    try {
        if (priorityClass_ != TPriorityClass::pcDefault) {
            errno = 0;
            const int current = ::getpriority(PRIO_PROCESS, 0);
            if (errno == 0) {
                savedPriority_ = current;
                prioritySaved_ = true;
            }
            ::setpriority(PRIO_PROCESS, 0, NiceOf(priorityClass_)); // failure ignored
        }
        const std::string path = ResolvePortDevice(deviceName_);
        if (path.empty())
            RaiseSystemError(ENOENT);
        int fd = -1;
        TPortHolder holder;
        if (const int err = OpenDevice(path, fd, holder, lockPath_); err != 0) {
            if (err == EBUSY)
                RaiseError(err, BusyText(deviceName_, path, holder));
            RaiseSystemError(err);
        }
        fd_ = fd;
        countersSupported_ = lineIo_->GetCounters(fd_, errorBaseline_) == 0;
        PurgeInput();
        PurgeOutput();
        ApplyBufferSizes();
        ApplyDeviceState();
        ApplyTimeouts();
        UpdateEventMask();
    } catch (...) {
        CloseHandles();
        throw;
    }
}

void TCustomComPort::CloseHandles()
{
    StopEventThread();
    StopWriteNotifier();
    delete writeNotifier_;
    writeNotifier_ = nullptr;
    if (fd_ >= 0) {
        // The exclusive flag outlives the descriptor on a pseudo-terminal: drop it for the next open.
        ::ioctl(fd_, TIOCNXCL);
        ::close(fd_);
        fd_ = -1;
        ++generation_;
    }
    ReleasePortLock(lockPath_);
    lockPath_.clear();
    read_ = PendingRead{};
    write_ = PendingWrite{};
    waitMask_ = 0;
    if (prioritySaved_) {
        ::setpriority(PRIO_PROCESS, 0, savedPriority_);
        prioritySaved_ = false;
    }
}

void TCustomComPort::SetBaudRate(TBaudRate v)
{
    if (v != baudRate_) {
        baudRate_ = v;
        ApplyDeviceState();
    }
}

int TCustomComPort::GetCustomBaudRate() const
{
    if (baudRate_ == TBaudRate::brCustom)
        return customBaudRate_;
    return kBaudRates[static_cast<int>(baudRate_)];
}

void TCustomComPort::SetCustomBaudRate(int v)
{
    if (v == customBaudRate_)
        return;
    customBaudRate_ = v;
    baudRate_ = TBaudRate::brCustom;
    ApplyDeviceState();
}

void TCustomComPort::SetDataBits(TDataBits v)
{
    if (v != dataBits_) {
        dataBits_ = v;
        ApplyDeviceState();
    }
}

void TCustomComPort::SetDeviceName(const std::string& v)
{
    if (v != deviceName_) {
        CheckInactive();
        deviceName_ = v;
    }
}

void TCustomComPort::SetOptions(TOptions v)
{
    if (!(v == options_)) {
        options_ = v;
        ApplyDeviceState();
    }
}

void TCustomComPort::SetParity(TParity v)
{
    if (v != parity_) {
        parity_ = v;
        ApplyDeviceState();
    }
}

void TCustomComPort::SetPriorityClass(TPriorityClass v)
{
    if (v != priorityClass_) {
        CheckInactive();
        priorityClass_ = v;
    }
}

void TCustomComPort::SetStopBits(TStopBits v)
{
    if (v != stopBits_) {
        stopBits_ = v;
        ApplyDeviceState();
    }
}

void TCustomComPort::SetSynchronizeEvents(bool v)
{
    if (v != synchronizeEvents_) {
        CheckInactive();
        synchronizeEvents_ = v;
    }
}

void TCustomComPort::SetThreadPriority(TThreadPriority v)
{
    if (v != threadPriority_) {
        threadPriority_ = v;
        if (thread_)
            thread_->SetPriority(v);
    }
}

void TCustomComPort::SetLineIo(std::shared_ptr<TComLineIo> io)
{
    lineIo_ = io ? std::move(io) : SystemLineIo();
}

TLineSettings TCustomComPort::LineSettings() const
{
    TLineSettings s;
    if (baudRate_ != TBaudRate::brDefault)
        s.baudRate = GetCustomBaudRate();
    if (dataBits_ != TDataBits::dbDefault)
        s.dataBits = static_cast<int>(dataBits_) + 3;
    if (parity_ != TParity::paDefault)
        s.parity = static_cast<int>(parity_) - 1;
    if (stopBits_ != TStopBits::sbDefault)
        s.stopBits = static_cast<int>(stopBits_) - 1;
    if (flowControl_->GetXOnXOff() != TXOnXOffControl::xcDefault)
        s.xonxoff = static_cast<int>(flowControl_->GetXOnXOff()) - 1;
    const TRTSControl rts = flowControl_->GetRTS();
    const bool ctsFlow = options_.Contains(TOption::opOutputCTSFlow);
    if (rts != TRTSControl::rcDefault || ctsFlow)
        s.rtsCts = (rts == TRTSControl::rcHandshake || ctsFlow) ? 1 : 0;
    s.checkParity = options_.Contains(TOption::opCheckParity);
    s.xon = characters_->GetXOn();
    s.xoff = characters_->GetXOff();
    return s;
}

void TCustomComPort::ApplyDeviceState()
{
    if (fd_ < 0)
        return;
    const TLineSettings s = LineSettings();
    if (s.baudRate == 0 && baudRate_ == TBaudRate::brCustom)
        RaiseSystemError(EINVAL);
    if (const int err = ApplyLineSettings(fd_, s); err != 0)
        RaiseSystemError(err);

    // The output lines; devices without them (pseudo-terminals) simply have none to set.
    auto line = [this](int bit, bool on) {
        const int err = lineIo_->SetModemLine(fd_, bit, on);
        if (err != 0 && !IsNotSupported(err))
            RaiseSystemError(err);
    };
    const TDTRControl dtr = flowControl_->GetDTR();
    const TRTSControl rts = flowControl_->GetRTS();
    if (dtr != TDTRControl::dcDefault)
        line(TIOCM_DTR, dtr != TDTRControl::dcDisable);
    if (rts == TRTSControl::rcDisable || rts == TRTSControl::rcEnable || rts == TRTSControl::rcToggle)
        line(TIOCM_RTS, rts != TRTSControl::rcDisable);
}

void TCustomComPort::ApplyBufferSizes()
{
    // The kernel sizes its queues itself; the sizes are kept for the 80%-full event.
}

void TCustomComPort::ApplyTimeouts()
{
    // Timeouts are applied per transfer.
}

// ---------------------------------------------------------------------------------------------
// Errors

void TCustomComPort::RaiseError(int code, const std::string& message)
{
    EComError error(code, message);
    TComAction action = TComAction::caRaise;
    if (onError_)
        onError_(this, error, action);
    if (action == TComAction::caAbort)
        throw EAbort();
    throw error;
}

void TCustomComPort::RaiseSystemError(int code)
{
    RaiseError(code, SystemErrorText(code));
}

void TCustomComPort::CheckActive()
{
    if (!GetActive())
        RaiseError(0, "Can't perform this operation on a closed port");
}

void TCustomComPort::CheckInactive()
{
    if (GetActive())
        RaiseError(0, "Can't perform this operation on an open port");
}

void TCustomComPort::DeviceGone(int code)
{
    try {
        RaiseSystemError(code);
    } catch (const std::exception&) {
        // Reported through OnError; the port closes regardless of what the handler chose.
    }
    Close();
}

// ---------------------------------------------------------------------------------------------
// Data path

bool TCustomComPort::FinishRead(bool wait)
{
    PendingRead& r = read_;
    const TTimeouts& t = *timeouts_;
    const auto interval = static_cast<std::uint32_t>(t.GetReadInterval());
    const auto multiplier = static_cast<std::uint32_t>(t.GetReadMultiplier());
    const auto constant = static_cast<std::uint32_t>(t.GetReadConstant());
    // Interval "all bits" with no totals: take what is there and return.
    const bool immediate = interval == kMaxDword && multiplier == 0 && constant == 0;
    // Interval and multiplier "all bits": return as soon as anything arrived.
    const bool anyByte = interval == kMaxDword && multiplier == kMaxDword;
    while (r.done < r.length) {
        const ssize_t n = ::read(fd_, r.buffer + r.done, static_cast<size_t>(r.length - r.done));
        if (n > 0) {
            r.done += static_cast<int>(n);
            r.lastByte = NowMs();
            continue;
        }
        const int err = n == 0 ? EIO : errno; // 0 from a tty: the other end hung up
        if (n < 0 && err == EINTR)
            continue;
        if (err != EAGAIN) {
            r.active = false;
            RaiseSystemError(err);
        }
        if (immediate || (anyByte && r.done > 0))
            break;
        std::int64_t timeout = -1;
        const std::int64_t now = NowMs();
        if (r.deadline >= 0)
            timeout = std::max<std::int64_t>(0, r.deadline - now);
        if (!anyByte && interval != 0 && r.done > 0) {
            const std::int64_t left = std::max<std::int64_t>(0, r.lastByte + interval - now);
            timeout = timeout < 0 ? left : std::min(timeout, left);
        }
        if (timeout == 0)
            break;
        if (!wait)
            return false;
        pollfd p{fd_, POLLIN, 0};
        const int rc =
            ::poll(&p, 1, timeout < 0 ? -1 : static_cast<int>(std::min<std::int64_t>(timeout, INT32_MAX)));
        if (rc < 0 && errno != EINTR) {
            r.active = false;
            RaiseSystemError(errno);
        }
    }
    r.active = false;
    r.shortfall = r.done < r.length;
    return true;
}

bool TCustomComPort::FinishWrite(bool wait)
{
    PendingWrite& w = write_;
    const int length = static_cast<int>(w.data.size());
    while (w.done < length) {
        const ssize_t n = ::write(fd_, w.data.data() + w.done, static_cast<size_t>(length - w.done));
        if (n > 0) {
            w.done += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN) {
            w.active = false;
            w.error = errno;
            return true;
        }
        std::int64_t timeout = -1;
        if (w.deadline >= 0) {
            timeout = std::max<std::int64_t>(0, w.deadline - NowMs());
            if (timeout == 0)
                break;
        }
        if (!wait)
            return false;
        pollfd p{fd_, POLLOUT, 0};
        const int rc =
            ::poll(&p, 1, timeout < 0 ? -1 : static_cast<int>(std::min<std::int64_t>(timeout, INT32_MAX)));
        if (rc < 0 && errno != EINTR) {
            w.active = false;
            w.error = errno;
            return true;
        }
        if (rc > 0 && (p.revents & (POLLERR | POLLHUP)) != 0 && (p.revents & POLLOUT) == 0) {
            w.active = false;
            w.error = EIO;
            return true;
        }
    }
    w.active = false;
    w.shortfall = w.done < length;
    return true;
}

void TCustomComPort::OnWritable()
{
    if (write_.active && fd_ >= 0)
        FinishWrite(false);
    if (!write_.active)
        StopWriteNotifier();
}

void TCustomComPort::StopWriteNotifier()
{
    if (writeNotifier_ != nullptr)
        writeNotifier_->setEnabled(false);
}

int TCustomComPort::Read(void* Buffer, int Length, bool WaitOnCompletion)
{
    CheckActive();
    if (beforeRead_)
        beforeRead_(this, Buffer, Length, WaitOnCompletion);
    WaitForReadCompletion();
    int transferred = 0;
    if (Length > 0) {
        const TTimeouts& t = *timeouts_;
        const std::int64_t total = TotalTimeout(t.GetReadMultiplier() == -1 ? 0 : t.GetReadMultiplier(),
                                                t.GetReadConstant(), Length);
        read_ = PendingRead{};
        read_.active = true;
        read_.buffer = static_cast<char*>(Buffer);
        read_.length = Length;
        read_.deadline = total < 0 ? -1 : NowMs() + total;
        FinishRead(false);
        transferred = read_.done;
        if (WaitOnCompletion) {
            WaitForReadCompletion();
            transferred = Length;
        }
    }
    if (afterRead_)
        afterRead_(this, Buffer, Length, WaitOnCompletion);
    return transferred;
}

int TCustomComPort::Write(const void* Buffer, int Length, bool WaitOnCompletion)
{
    CheckActive();
    if (beforeWrite_)
        beforeWrite_(this, const_cast<void*>(Buffer), Length, WaitOnCompletion);
    WaitForWriteCompletion();
    int transferred = 0;
    if (Length > 0) {
        const TTimeouts& t = *timeouts_;
        const std::int64_t total = TotalTimeout(t.GetWriteMultiplier(), t.GetWriteConstant(), Length);
        write_ = PendingWrite{};
        write_.active = true;
        const char* bytes = static_cast<const char*>(Buffer);
        write_.data.assign(bytes, bytes + Length);
        write_.deadline = total < 0 ? -1 : NowMs() + total;
        FinishWrite(false);
        transferred = write_.done;
        if (write_.error != 0) {
            // A write the device refused at once is reported at once (a device that went away).
            const int err = write_.error;
            write_.error = 0;
            RaiseSystemError(err);
        }
        // Off the main thread nothing would finish the write later: finish it now.
        const bool finishNow =
            WaitOnCompletion ||
            (write_.active && (QCoreApplication::instance() == nullptr || !IsMainThread()));
        if (finishNow) {
            WaitForWriteCompletion();
            transferred = Length;
        } else if (write_.active) {
            if (writeNotifier_ == nullptr) {
                writeNotifier_ = new QSocketNotifier(fd_, QSocketNotifier::Write);
                QObject::connect(writeNotifier_, &QSocketNotifier::activated, [this] { OnWritable(); });
            }
            writeNotifier_->setEnabled(true);
        }
    }
    if (afterWrite_)
        afterWrite_(this, const_cast<void*>(Buffer), Length, WaitOnCompletion);
    return transferred;
}

char TCustomComPort::ReadChar()
{
    char c = 0;
    Read(&c, 1, true);
    return c;
}

std::string TCustomComPort::ReadString()
{
    WaitForReadCompletion();
    const int n = InputCount();
    std::string text(static_cast<size_t>(n), '\0');
    Read(text.data(), n, true);
    return text;
}

void TCustomComPort::WriteString(const std::string& Text)
{
    Write(Text.data(), static_cast<int>(Text.size()), false);
}

int TCustomComPort::InputCount()
{
    int n = 0;
    if (::ioctl(fd_, FIONREAD, &n) != 0)
        RaiseSystemError(errno);
    const TLineErrors errors = FetchLineErrors();
    if (!errors.Empty() && onLineError_)
        onLineError_(this, errors);
    return n;
}

bool TCustomComPort::ReadPending()
{
    if (read_.active && fd_ >= 0)
        FinishRead(false);
    return read_.active;
}

bool TCustomComPort::WritePending()
{
    if (write_.active && fd_ >= 0)
        FinishWrite(false);
    return write_.active;
}

void TCustomComPort::WaitForReadCompletion()
{
    if (read_.active)
        FinishRead(true);
    if (read_.shortfall) {
        read_.shortfall = false;
        RaiseError(0, "Timeout");
    }
    CheckLineErrors();
}

void TCustomComPort::WaitForWriteCompletion()
{
    if (write_.active) {
        FinishWrite(true);
        StopWriteNotifier();
    }
    if (write_.error != 0) {
        const int err = write_.error;
        write_.error = 0;
        RaiseSystemError(err);
    }
    if (write_.shortfall) {
        write_.shortfall = false;
        RaiseError(0, "Timeout");
    }
    CheckLineErrors();
}

TLineErrors TCustomComPort::FetchLineErrors()
{
    TLineErrors errors;
    if (!countersSupported_ || fd_ < 0)
        return errors;
    TComCounters c;
    const int err = lineIo_->GetCounters(fd_, c);
    if (err != 0) {
        if (IsNotSupported(err))
            return errors;
        RaiseSystemError(err);
    }
    const TComCounters& o = errorBaseline_;
    if (c.brk != o.brk)
        errors.Include(TLineError::leBreak);
    if (c.frame != o.frame)
        errors.Include(TLineError::leFrame);
    if (c.overrun != o.overrun)
        errors.Include(TLineError::leOverrun);
    if (c.bufOverrun != o.bufOverrun)
        errors.Include(TLineError::leRxOverflow);
    if (c.parity != o.parity)
        errors.Include(TLineError::leRxParity);
    errorBaseline_ = c;
    return errors;
}

void TCustomComPort::CheckLineErrors()
{
    CheckActive();
    const TLineErrors errors = FetchLineErrors();
    if (!errors.Empty() && onLineError_)
        onLineError_(this, errors);
}

void TCustomComPort::PurgeInput()
{
    if (fd_ < 0)
        return;
    if (read_.active) {
        read_.active = false;
        read_.shortfall = read_.done < read_.length;
    }
    if (::tcflush(fd_, TCIFLUSH) != 0)
        RaiseSystemError(errno);
}

void TCustomComPort::PurgeOutput()
{
    if (fd_ < 0)
        return;
    if (write_.active) {
        write_.active = false;
        write_.shortfall = true;
        StopWriteNotifier();
    }
    if (::tcflush(fd_, TCOFLUSH) != 0)
        RaiseSystemError(errno);
}

TModemStatus TCustomComPort::GetModemStatus()
{
    CheckActive();
    int lines = 0;
    if (const int err = lineIo_->GetModemLines(fd_, lines); err != 0) {
        if (IsNotSupported(err))
            return {};
        RaiseSystemError(err);
    }
    TModemStatus status;
    if (lines & TIOCM_CTS)
        status.Include(TModemStatusValue::msCTS);
    if (lines & TIOCM_DSR)
        status.Include(TModemStatusValue::msDSR);
    if (lines & TIOCM_RNG)
        status.Include(TModemStatusValue::msRing);
    if (lines & TIOCM_CAR)
        status.Include(TModemStatusValue::msRLSD);
    return status;
}

// ---------------------------------------------------------------------------------------------
// Line events

namespace {
struct LineRow {
    std::uint32_t bit;
    TNotifyEvent TCustomComPort::*handler; // null for the line-error row
};
} // namespace

std::uint32_t TCustomComPort::HandlerMask() const
{
    std::uint32_t mask = 0;
    const std::pair<std::uint32_t, bool> rows[] = {
        {EV_BREAK, bool(onBreak_)},           {EV_CTS, bool(onCTSChange_)}, {EV_DSR, bool(onDSRChange_)},
        {EV_ERR, bool(onLineError_)},         {EV_EVENT1, bool(onEvent1_)}, {EV_EVENT2, bool(onEvent2_)},
        {EV_PERR, bool(onPrinterError_)},     {EV_RING, bool(onRing_)},     {EV_RLSD, bool(onRLSDChange_)},
        {EV_RX80FULL, bool(onRx80PercFull_)}, {EV_RXCHAR, bool(onRxChar_)}, {EV_RXFLAG, bool(onRxFlag_)},
        {EV_TXEMPTY, bool(onTxEmpty_)},
    };
    for (const auto& [bit, assigned] : rows)
        if (assigned)
            mask |= bit;
    return mask;
}

void TCustomComPort::SetLineHandler(TNotifyEvent& slot, TNotifyEvent h)
{
    slot = std::move(h);
    UpdateEventMask();
}

void TCustomComPort::SetOnLineError(TLineErrorEvent h)
{
    onLineError_ = std::move(h);
    UpdateEventMask();
}

void TCustomComPort::UpdateEventMask()
{
    if (fd_ < 0)
        return;
    const std::uint32_t mask = HandlerMask();
    if (mask == 0)
        StopEventThread();
    waitMask_ = mask;
    if (mask != 0)
        StartEventThread();
}

void TCustomComPort::StartEventThread()
{
    ReapStoppedThreads(false);
    if (thread_ && thread_->Finished())
        thread_.reset(); // ended after a failed wait: joins it
    if (thread_)
        return;
    auto t = std::make_unique<TComThread>(this, fd_, lineIo_, bufferSizes_->GetInput());
    if (const int err = t->Prepare(); err != 0)
        RaiseSystemError(err);
    if (!t->Start(threadPriority_))
        RaiseError(0, "Can't create thread");
    thread_ = std::move(t);
}

void TCustomComPort::StopEventThread()
{
    if (!thread_)
        return;
    std::unique_ptr<TComThread> t = std::move(thread_);
    t->Terminate();
    if (!t->IsCurrent())
        t->StopWatcher();
    if (t->IsCurrent()) {
        // A handler running on the event thread stopped it: the thread releases itself on leaving.
        if (t->ReleaseSelf())
            t.release();
        return;
    }
    if (t->HandOverRunning()) {
        // Called from a handler the thread handed over: it waits for us, so it cannot be joined
        // here. It leaves as soon as that handler returns and no longer touches the device; it
        // is joined on the next turn of the event loop.
        stoppedThreads_.push_back(std::move(t));
        if (QCoreApplication* app = QCoreApplication::instance()) {
            QMetaObject::invokeMethod(
                app,
                [this, alive = std::weak_ptr<int>(alive_)] {
                    if (alive.lock())
                        ReapStoppedThreads(false);
                },
                Qt::QueuedConnection);
        }
        return;
    }
    t.reset(); // joins: the thread is out of its wait before the device is released
}

void TCustomComPort::ReapStoppedThreads(bool all)
{
    for (auto it = stoppedThreads_.begin(); it != stoppedThreads_.end();) {
        if ((*it)->Finished() || !(*it)->HandOverRunning()) {
            it = stoppedThreads_.erase(it); // joins
        } else if (all) {
            if ((*it)->ReleaseSelf())
                it->release();
            it = stoppedThreads_.erase(it);
        } else
            ++it;
    }
}

void TCustomComPort::DispatchEvents(std::uint32_t mask)
{
    static constexpr LineRow kRows[] = {
        {EV_BREAK, &TCustomComPort::onBreak_},       {EV_CTS, &TCustomComPort::onCTSChange_},
        {EV_DSR, &TCustomComPort::onDSRChange_},     {EV_ERR, nullptr},
        {EV_EVENT1, &TCustomComPort::onEvent1_},     {EV_EVENT2, &TCustomComPort::onEvent2_},
        {EV_PERR, &TCustomComPort::onPrinterError_}, {EV_RING, &TCustomComPort::onRing_},
        {EV_RLSD, &TCustomComPort::onRLSDChange_},   {EV_RX80FULL, &TCustomComPort::onRx80PercFull_},
        {EV_RXCHAR, &TCustomComPort::onRxChar_},     {EV_RXFLAG, &TCustomComPort::onRxFlag_},
        {EV_TXEMPTY, &TCustomComPort::onTxEmpty_},
    };
    const unsigned generation = generation_;
    try {
        for (const LineRow& row : kRows) {
            // A handler that closed the port ends the delivery.
            if (generation != generation_ || fd_ < 0)
                return;
            if ((mask & row.bit) == 0)
                continue;
            if (row.handler == nullptr) {
                if (onLineError_)
                    CheckLineErrors();
                continue;
            }
            const TNotifyEvent& handler = this->*row.handler;
            if (handler)
                handler(this);
        }
    } catch (const Exception& e) {
        HandleException(e);
    }
}

} // namespace kivra
