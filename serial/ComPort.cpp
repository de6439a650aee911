#include "serial/ComPort.h"

#include "serial/ComPortPosix.h"
#include "serial/ComThread.h"
#include "serial/PortDevice.h"
#include "serial/PortNames.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QSocketNotifier>

#include <cerrno>

namespace kivra {
namespace {

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

namespace {

// Stores v and pushes the settings group to an open device when the value changed.
template <typename T> void Assign(T& field, T v, TCustomComPort* port, void (TCustomComPort::*apply)())
{
    if (v != field) {
        field = v;
        (port->*apply)();
    }
}

constexpr auto kDeviceState = &TCustomComPort::ApplyDeviceState;

} // namespace

void TFlowControl::SetDTR(TDTRControl v)
{
    Assign(dtr_, v, port_, kDeviceState);
}
void TFlowControl::SetRTS(TRTSControl v)
{
    Assign(rts_, v, port_, kDeviceState);
}
void TFlowControl::SetXOnXOff(TXOnXOffControl v)
{
    Assign(xonxoff_, v, port_, kDeviceState);
}
void TFlowControl::SetXOnLimit(std::uint16_t v)
{
    Assign(xonLimit_, v, port_, kDeviceState);
}
void TFlowControl::SetXOffLimit(std::uint16_t v)
{
    Assign(xoffLimit_, v, port_, kDeviceState);
}

void TCharacters::SetXOn(char v)
{
    Assign(xon_, v, port_, kDeviceState);
}
void TCharacters::SetXOff(char v)
{
    Assign(xoff_, v, port_, kDeviceState);
}
void TCharacters::SetError(char v)
{
    Assign(error_, v, port_, kDeviceState);
}
void TCharacters::SetEof(char v)
{
    Assign(eof_, v, port_, kDeviceState);
}
void TCharacters::SetEvent(char v)
{
    Assign(event_, v, port_, kDeviceState);
}

void TBufferSizes::SetInput(int v)
{
    Assign(input_, v, port_, &TCustomComPort::ApplyBufferSizes);
}
void TBufferSizes::SetOutput(int v)
{
    Assign(output_, v, port_, &TCustomComPort::ApplyBufferSizes);
}

void TTimeouts::SetReadInterval(int v)
{
    Assign(readInterval_, v, port_, &TCustomComPort::ApplyTimeouts);
}
void TTimeouts::SetReadMultiplier(int v)
{
    Assign(readMultiplier_, v, port_, &TCustomComPort::ApplyTimeouts);
}
void TTimeouts::SetReadConstant(int v)
{
    Assign(readConstant_, v, port_, &TCustomComPort::ApplyTimeouts);
}
void TTimeouts::SetWriteMultiplier(int v)
{
    Assign(writeMultiplier_, v, port_, &TCustomComPort::ApplyTimeouts);
}
void TTimeouts::SetWriteConstant(int v)
{
    Assign(writeConstant_, v, port_, &TCustomComPort::ApplyTimeouts);
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
    Assign(baudRate_, v, this, kDeviceState);
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
    Assign(dataBits_, v, this, kDeviceState);
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
    Assign(options_, v, this, kDeviceState);
}

void TCustomComPort::SetParity(TParity v)
{
    Assign(parity_, v, this, kDeviceState);
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
    Assign(stopBits_, v, this, kDeviceState);
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
// Line events

const TCustomComPort::TLineEventRow TCustomComPort::kLineEvents[] = {
    {EV_BREAK, &TCustomComPort::onBreak_},       {EV_CTS, &TCustomComPort::onCTSChange_},
    {EV_DSR, &TCustomComPort::onDSRChange_},     {EV_ERR, nullptr},
    {EV_EVENT1, &TCustomComPort::onEvent1_},     {EV_EVENT2, &TCustomComPort::onEvent2_},
    {EV_PERR, &TCustomComPort::onPrinterError_}, {EV_RING, &TCustomComPort::onRing_},
    {EV_RLSD, &TCustomComPort::onRLSDChange_},   {EV_RX80FULL, &TCustomComPort::onRx80PercFull_},
    {EV_RXCHAR, &TCustomComPort::onRxChar_},     {EV_RXFLAG, &TCustomComPort::onRxFlag_},
    {EV_TXEMPTY, &TCustomComPort::onTxEmpty_},
};

std::uint32_t TCustomComPort::HandlerMask() const
{
    std::uint32_t mask = 0;
    for (const TLineEventRow& row : kLineEvents)
        if (row.handler != nullptr ? bool(this->*row.handler) : bool(onLineError_))
            mask |= row.bit;
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
    if (mask != 0) {
        StartEventThread();
        thread_->Wake(); // a running thread is blocked in its wait with the old mask
    }
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
    const unsigned generation = generation_;
    try {
        for (const TLineEventRow& row : kLineEvents) {
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
