#include "serial/ComPort.h"

#include "serial/ComPortPosix.h"
#include "serial/ComThread.h"
#include "serial/MainThreadCall.h"
#include "serial/PortDevice.h"
#include "serial/PortNames.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>

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
            prioritySaved_ = GetProcessNice(savedPriority_);
            SetProcessNice(NiceOf(priorityClass_));
        }
        const std::string path = ResolvePortDevice(deviceName_);
        if (path.empty())
            RaiseSystemError(TPosixError(ENOENT));
        int fd = -1;
        TPortHolder holder;
        if (const TPosixError err = OpenDevice(path, fd, holder, lockPath_)) {
            if (err.Busy())
                RaiseError(err.Code(), BusyText(deviceName_, path, holder));
            RaiseSystemError(err);
        }
        fd_ = fd;
        countersSupported_ = !lineIo_->GetCounters(fd_, errorBaseline_);
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
        CloseDevice(fd_);
        fd_ = -1;
        ++generation_;
    }
    ReleasePortLock(lockPath_);
    lockPath_.clear();
    read_ = PendingRead{};
    write_ = PendingWrite{};
    waitMask_ = 0;
    if (prioritySaved_) {
        SetProcessNice(savedPriority_);
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
        RaiseSystemError(TPosixError(EINVAL));
    if (const TPosixError err = ApplyLineSettings(fd_, s))
        RaiseSystemError(err);

    // The output lines; devices without them (pseudo-terminals) simply have none to set.
    auto line = [this](int bit, bool on) {
        if (const TPosixError err = lineIo_->SetModemLine(fd_, bit, on); err && !err.NotSupported())
            RaiseSystemError(err);
    };
    const TDTRControl dtr = flowControl_->GetDTR();
    const TRTSControl rts = flowControl_->GetRTS();
    if (dtr != TDTRControl::dcDefault)
        line(kLineDTR, dtr != TDTRControl::dcDisable);
    if (rts == TRTSControl::rcDisable || rts == TRTSControl::rcEnable || rts == TRTSControl::rcToggle)
        line(kLineRTS, rts != TRTSControl::rcDisable);
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

void TCustomComPort::RaiseSystemError(TPosixError error)
{
    RaiseError(error.Code(), error.Text());
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

void TCustomComPort::DeviceGone(TPosixError error)
{
    try {
        RaiseSystemError(error);
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
        const TIoResult io = ReadDevice(fd_, r.buffer + r.done, r.length - r.done);
        if (io.bytes > 0) {
            r.done += io.bytes;
            r.lastByte = NowMs();
            continue;
        }
        if (io.error.Interrupted())
            continue;
        if (!io.error.WouldBlock()) {
            r.active = false;
            RaiseSystemError(io.error);
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
        if (const TPosixError err = WaitReadable(fd_, timeout)) {
            r.active = false;
            RaiseSystemError(err);
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
        const TIoResult io = WriteDevice(fd_, w.data.data() + w.done, length - w.done);
        if (io.bytes > 0) {
            w.done += io.bytes;
            continue;
        }
        if (io.error.Interrupted())
            continue;
        if (io.error && !io.error.WouldBlock()) {
            w.active = false;
            w.error = io.error;
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
        if (const TPosixError err = WaitWritable(fd_, timeout)) {
            w.active = false;
            w.error = err;
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
        if (const TPosixError err = write_.error) {
            // A write the device refused at once is reported at once (a device that went away).
            write_.error = {};
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
    if (const TPosixError err = QueuedInput(fd_, n))
        RaiseSystemError(err);
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
    if (const TPosixError err = write_.error) {
        write_.error = {};
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
    if (const TPosixError err = lineIo_->GetCounters(fd_, c)) {
        if (err.NotSupported())
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
    if (const TPosixError err = FlushInput(fd_))
        RaiseSystemError(err);
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
    if (const TPosixError err = FlushOutput(fd_))
        RaiseSystemError(err);
}

TModemStatus TCustomComPort::GetModemStatus()
{
    CheckActive();
    int lines = 0;
    if (const TPosixError err = lineIo_->GetModemLines(fd_, lines)) {
        if (err.NotSupported())
            return {};
        RaiseSystemError(err);
    }
    TModemStatus status;
    if (lines & kLineCTS)
        status.Include(TModemStatusValue::msCTS);
    if (lines & kLineDSR)
        status.Include(TModemStatusValue::msDSR);
    if (lines & kLineRing)
        status.Include(TModemStatusValue::msRing);
    if (lines & kLineDCD)
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
    if (const TPosixError err = t->Prepare())
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
            static_cast<void>(t.release()); // deletes itself
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
                static_cast<void>(it->release()); // deletes itself
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
