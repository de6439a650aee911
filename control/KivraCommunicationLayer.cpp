#include "control/KivraCommunicationLayer.h"
#include "control/KivraTexts.h"

#include "control/KivraProtocol.h"
#include "control/ThreadSafeStringList.h"
#include "core/Exception.h"
#include "serial/ComPort.h"
#include "serial/PortNames.h"

#include <QTimer>

#include <algorithm>
#include <string_view>
#include <utility>

namespace kivra {
namespace {

constexpr std::uint8_t kSerialConnection = 1;
constexpr auto kManualReadGap = std::chrono::milliseconds(1000);
//! A base sends a list in one go: a pause this long means it has ended. Far above the gaps a
//! serial driver leaves inside a transfer, far below what a user notices.
constexpr int kListQuietMs = 100;

//! " 58 58" for "XX": a blank and two upper-case hex digits per byte.
std::string HexDump(std::string_view bytes)
{
    std::string out;
    out.reserve(bytes.size() * 3);
    for (char c : bytes) {
        out += ' ';
        out += HexByte(static_cast<std::uint8_t>(c));
    }
    return out;
}

//! Puts the port's read time-out back however Connect ends. The port object lives as long as
//! the layer, and the layer is never destroyed inside its own operation.
class ReadConstantRestorer {
public:
    ReadConstantRestorer(TComPort& port, int value) : port_(port), value_(value) {}
    ~ReadConstantRestorer()
    {
        try {
            port_.Timeouts().SetReadConstant(value_);
        } catch (const std::exception&) {
            // A port that cannot take its old time-out back is closed or gone; nothing to keep.
        }
    }
    ReadConstantRestorer(const ReadConstantRestorer&) = delete;
    ReadConstantRestorer& operator=(const ReadConstantRestorer&) = delete;

private:
    TComPort& port_;
    int value_;
};

//! Sets a flag for the lifetime of a scope.
class FlagScope {
public:
    explicit FlagScope(bool& flag) : flag_(flag) { flag_ = true; }
    ~FlagScope() { flag_ = false; }
    FlagScope(const FlagScope&) = delete;
    FlagScope& operator=(const FlagScope&) = delete;

private:
    bool& flag_;
};

//! Runs an operation from Qt's event dispatch: nothing may unwind into the event loop.
template <typename F> void Guarded(F&& operation)
{
    try {
        operation();
    } catch (const std::exception& e) {
        HandleException(e);
    } catch (...) {
        HandleException(Exception(std::string(texts::kUnexpectedLayerError)));
    }
}

//! The errno a failed port operation carries; 0 for a failure of the port's own.
int SystemErrorOf(const std::exception& e)
{
    const auto* com = dynamic_cast<const EComError*>(&e);
    return com != nullptr ? com->ErrorCode() : 0;
}

} // namespace

TKivraCommunicationLayer::TKivraCommunicationLayer() = default;

TKivraCommunicationLayer::~TKivraCommunicationLayer()
{
    Terminated_ = true;
    if (Connected_) {
        try {
            Disconnect();
        } catch (const std::exception&) {
            // Closing a port that is already gone may fail; the destructor releases it anyway.
        }
    }
    // The port goes first, so that no notification can reach a half-destroyed layer.
    Port_.reset();
    delete std::exchange(Watchdog_, nullptr);
    delete std::exchange(ListQuiet_, nullptr);
    delete std::exchange(ListDeadline_, nullptr);
}

void TKivraCommunicationLayer::SetSerialPort(int value)
{
    if (value < 1)
        throw Exception(std::string(texts::kBadLayerPort));
    SerialPort_ = value;
    DeviceName_ = ComPortName(value);
}

void TKivraCommunicationLayer::SetScanGroupLetters(char first, char last)
{
    Framing_.SetScanGroupLetters(first, last);
}

void TKivraCommunicationLayer::ReportError(int code, const std::string& text)
{
    if (OnError_) {
        // A copy: the callback may replace the layer's callbacks while it runs.
        const TErrorCallback callback = OnError_;
        callback(code, text);
    }
    if (ErrorExceptionsEnabled_)
        throw Exception(text);
}

void TKivraCommunicationLayer::ReportFailure(TKivraFailure failure, int systemError, int code,
                                             const std::string& text)
{
    LastFailure_ = failure;
    LastSystemError_ = systemError;
    ReportError(code, text);
}

void TKivraCommunicationLayer::ReportDebug(const std::string& text)
{
    if (!DebugWanted())
        return;
    const TDebugCallback callback = OnDebug_;
    callback(text);
}

void TKivraCommunicationLayer::FlushDebug(std::vector<std::string>& texts)
{
    for (const std::string& text : texts)
        ReportDebug(text);
    texts.clear();
}

bool TKivraCommunicationLayer::Connect(std::uint8_t ConnectionType)
{
    if (Connected_ || Connecting_)
        return false;
    const FlagScope connecting(Connecting_);

    MessageQueue_ = std::make_unique<TThreadSafeStringList>();
    ConnectionType_ = ConnectionType;
    if (ConnectionType_ != kSerialConnection)
        return false;

    Port_ = std::make_unique<TComPort>();
    TComPort& port = *Port_;
    port.SetBaudRate(TBaudRate::br9600);
    port.SetDeviceName(DeviceName_);
    port.SetDataBits(TDataBits::db8);
    port.SetParity(TParity::paNone);
    port.SetStopBits(TStopBits::sb1);
    port.FlowControl().SetDTR(TDTRControl::dcDisable);
    port.FlowControl().SetRTS(TRTSControl::rcDisable);
    port.FlowControl().SetXOnXOff(TXOnXOffControl::xcDisable);
    // Bound only so that the port watches for line errors and clears them.
    port.SetOnLineError([](TCustomComPort*, TLineErrors) {});
    const ReadConstantRestorer restoreReadConstant(port, port.Timeouts().GetReadConstant());
    port.Timeouts().SetReadConstant(protocol::kDetectionReadTimeoutMs);
    Framing_.Clear();
    LinkLost_ = false;
    LastFailure_ = TKivraFailure::None;
    LastSystemError_ = 0;
    port.SetOnRxChar([this](TCustomComPort*) {
        if (!Terminated_)
            Guarded([this] { ProcessSerialData(); });
    });

    ReportDebug("Connect: Attempting serial connection...");
    std::string openError;
    int openErrno = 0;
    bool openFailed = false;
    try {
        port.SetActive(true);
    } catch (const std::exception& e) {
        openFailed = true;
        openError = e.what();
        openErrno = SystemErrorOf(e);
    }
    if (openFailed)
        ReportFailure(TKivraFailure::PortNotOpened, openErrno, kErrState, openError);

    if (!port.GetActive()) {
        LastFailure_ = TKivraFailure::PortNotOpened;
        Connected_ = false;
        ReportDebug("Serial connection error. Windows unable to connect to COM port " +
                    std::to_string(SerialPort_));
        return false;
    }

    ReportDebug("Connect: Serial connection established.");
    if (!WriteToPort(std::string(1, protocol::kXOn)))
        return false;
    ReportDebug("Connect: Open communication stream for reading base information");
    ReportDebug("Connect: Initializing detection of Kivra device.");

    // The bytes read here are consumed: they never reach the receive buffer.
    std::string detection;
    bool detected = false;
    while (!detected && detection.size() < static_cast<std::size_t>(protocol::kDetectionMaxBytes)) {
        char c = 0;
        try {
            c = port.ReadChar();
        } catch (const std::exception&) {
            break; // time-out or a failed read: no base here
        }
        detection += c;
        detected = detection.ends_with(protocol::kDetectionMark);
    }

    if (!detected) {
        Disconnect();
        ReportFailure(TKivraFailure::NoBase, 0, kErrState, std::string(texts::kNoDevice));
        ReportDebug("Error detecting Kivra device. Connect failed.");
        return false;
    }

    ReportDebug("Kivra device successfully detected");
    Connected_ = true;
    StartWatchdog();
    LastHeard_ = std::chrono::steady_clock::now();
    return true;
}

void TKivraCommunicationLayer::StartWatchdog()
{
    ReleaseWatchdog();
    Watchdog_ = new QTimer(this);
    Watchdog_->setInterval(std::max(1, CommunicationTimeout_ / 4));
    QObject::connect(Watchdog_, &QTimer::timeout, this, [this] {
        // A layer the control is about to destroy no longer reports anything.
        if (!Terminated_)
            Guarded([this] { CheckConnectionStatus(); });
    });
    Watchdog_->start();
}

void TKivraCommunicationLayer::ReleaseWatchdog()
{
    QTimer* timer = std::exchange(Watchdog_, nullptr);
    if (timer == nullptr)
        return;
    timer->stop();
    timer->disconnect();
    // Deferred: the release may happen inside the timer's own tick.
    timer->deleteLater();
}

void TKivraCommunicationLayer::Disconnect()
{
    if (Disconnecting_)
        return;
    const FlagScope disconnecting(Disconnecting_);

    if (Watchdog_ != nullptr) {
        ReportDebug("releasing connection verification timer...");
        ReleaseWatchdog();
    }
    Framing_.Clear();
    StopListTimers();
    MessageQueue_.reset();
    if (ConnectionType_ == kSerialConnection) {
        ReportDebug("Disconnecting serial connection...");
        if (Port_) {
            try {
                Port_->SetActive(false);
            } catch (...) {
                Connected_ = false;
                throw;
            }
        }
    }
    Connected_ = false;
}

void TKivraCommunicationLayer::ProcessSerialData()
{
    Receive();
}

bool TKivraCommunicationLayer::Receive()
{
    if (!Port_) {
        ReportDebug("NO SERIAL ASSIGNED - aborting ProcessSerialData");
        return true;
    }
    ReportDebug("Inside ProcessSerialData");

    std::string bytes;
    bool readFailed = false;
    int readErrno = 0;
    try {
        bytes = Port_->ReadString();
    } catch (const std::exception& e) {
        readFailed = true;
        readErrno = SystemErrorOf(e);
    }
    if (readFailed) {
        ReleaseWatchdog();
        if (LinkLost_)
            return false; // already reported for this connection
        LinkLost_ = true;
        ReportFailure(TKivraFailure::LinkLost, readErrno, kErrConnection, std::string(texts::kLinkLost));
        return false;
    }
    // Only bytes that actually arrived prove the base is alive.
    if (!bytes.empty())
        LastHeard_ = std::chrono::steady_clock::now();

    // Debug texts of the framing are delivered after it finished with the buffer and the queue,
    // since a debug callback may disconnect the layer.
    std::vector<std::string> debugTexts;
    TKivraFraming::DebugSink sink;
    if (DebugWanted())
        sink = [&debugTexts](const std::string& text) { debugTexts.push_back(text); };

    Framing_.Append(bytes, sink);
    FlushDebug(debugTexts);
    if (DebugWanted())
        ReportDebug("Buffer (after read): " + HexDump(Framing_.Buffer()));
    if (!MessageQueue_)
        return true;
    if (!bytes.empty() && Framing_.ListExpected() && ListQuiet_ != nullptr)
        ListQuiet_->start();
    // A pass leaves a second frame of a tag (or a second list) for the next pass: run it now
    // rather than at the next receive, which may never come while the base is idle.
    RunFraming([this](TThreadSafeStringList& queue, const TKivraFraming::DebugSink& debug) {
        for (int n = 0; n < 64 && Framing_.Pass(queue, debug); ++n) {
        }
    });
    return true;
}

void TKivraCommunicationLayer::RunFraming(
    const std::function<void(TThreadSafeStringList&, const TKivraFraming::DebugSink&)>& step)
{
    if (!MessageQueue_)
        return;
    std::vector<std::string> debugTexts;
    TKivraFraming::DebugSink sink;
    if (DebugWanted())
        sink = [&debugTexts](const std::string& text) { debugTexts.push_back(text); };
    try {
        step(*MessageQueue_, sink);
    } catch (...) {
        FlushDebug(debugTexts);
        throw;
    }
    if (!Framing_.ListExpected())
        StopListTimers();
    FlushDebug(debugTexts);
}

void TKivraCommunicationLayer::OpenListWindow()
{
    if (ListQuiet_ == nullptr) {
        ListQuiet_ = new QTimer(this);
        ListQuiet_->setSingleShot(true);
        ListQuiet_->setInterval(kListQuietMs);
        QObject::connect(ListQuiet_, &QTimer::timeout, this, [this] {
            if (!Terminated_)
                Guarded([this] {
                    RunFraming([this](TThreadSafeStringList& queue, const TKivraFraming::DebugSink& debug) {
                        Framing_.LineQuiet(queue, debug);
                    });
                });
        });
        ListDeadline_ = new QTimer(this);
        ListDeadline_->setSingleShot(true);
        QObject::connect(ListDeadline_, &QTimer::timeout, this, [this] {
            if (!Terminated_)
                Guarded([this] {
                    RunFraming([this](TThreadSafeStringList& queue, const TKivraFraming::DebugSink& debug) {
                        Framing_.EndListWindow(queue, debug);
                    });
                });
        });
    }
    Framing_.ExpectList();
    ListDeadline_->start(std::max(1, CommunicationTimeout_));
    ListQuiet_->start();
}

void TKivraCommunicationLayer::StopListTimers()
{
    if (ListQuiet_ != nullptr)
        ListQuiet_->stop();
    if (ListDeadline_ != nullptr)
        ListDeadline_->stop();
}

void TKivraCommunicationLayer::SendToBase(const std::string& Command, const std::string& Description)
{
    if (DebugWanted())
        ReportDebug("Attempting to Send: " + Description);
    if (!Connected_) {
        ReportError(kErrConnection, std::string(texts::kNotConnectedToSend));
        return;
    }
    if (DebugWanted())
        ReportDebug("SendToBase: Sending to base: \"" + Command + "\"");
    // The answer to "PD" is the only list the base sends: expect it before it can arrive.
    if (Command == protocol::kCmdRequestSerials.bytes)
        OpenListWindow();
    if (Port_ && WriteToPort(Command) && DebugWanted())
        ReportDebug("Data Sent to base: \"" + Command + "\" Hex=(" + HexDump(Command) + ")");
}

bool TKivraCommunicationLayer::WriteToPort(const std::string& text)
{
    bool writeFailed = false;
    int writeErrno = 0;
    try {
        Port_->WriteString(text);
    } catch (const std::exception& e) {
        writeFailed = true;
        writeErrno = SystemErrorOf(e);
    }
    if (!writeFailed)
        return true;
    ReleaseWatchdog();
    LinkLost_ = true;
    ReportFailure(TKivraFailure::LinkLost, writeErrno, kErrConnection, std::string(texts::kLinkLost));
    return false;
}

void TKivraCommunicationLayer::SetPolling(bool value)
{
    if (value)
        LastHeard_ = std::chrono::steady_clock::now();
    Polling_ = value;
}

void TKivraCommunicationLayer::CheckConnectionStatus()
{
    using std::chrono::steady_clock;
    auto silence = steady_clock::now() - LastHeard_;
    ReportDebug("CheckConnectionStatus");
    if (!Polling_ || Watchdog_ == nullptr)
        return;

    if (silence > kManualReadGap) {
        ReportDebug("haven't heard from base in a while, try checking manually...");
        // Notifications may have been held up: look at the port before calling the base lost.
        if (!Receive())
            return;
        if (Watchdog_ == nullptr || !Polling_)
            return; // a callback disconnected or stopped polling meanwhile
        silence = steady_clock::now() - LastHeard_;
    }

    if (silence > std::chrono::milliseconds(CommunicationTimeout_)) {
        Disconnect();
        ReportFailure(TKivraFailure::LinkLost, 0, kErrConnection, std::string(texts::kSilentLink));
    }
}

} // namespace kivra
