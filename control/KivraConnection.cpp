// TKivra: connecting and identifying the base, disconnecting, polling, the two timers and the
// message pump that turns queued base messages into events.

#include "control/Kivra.h"
#include "control/KivraTexts.h"

#include "control/KivraCommunicationLayer.h"
#include "control/KivraProtocol.h"
#include "control/ThreadSafeStringList.h"
#include "core/Exception.h"

#include <QTimer>

#include <algorithm>

namespace kivra {

namespace {

std::string Str(std::string_view text)
{
    return std::string(text);
}

// Stops a timer and frees it once control is back in the event loop: the timer may be the one
// whose tick is running right now.
void ReleaseTimer(QTimer*& timer)
{
    timer->stop();
    timer->deleteLater();
    timer = nullptr;
}

// Counts the layer callbacks on the stack for as long as one runs.
class TCallbackScope {
public:
    explicit TCallbackScope(int& depth) : depth_(depth) { ++depth_; }
    ~TCallbackScope() { --depth_; }
    TCallbackScope(const TCallbackScope&) = delete;
    TCallbackScope& operator=(const TCallbackScope&) = delete;

private:
    int& depth_;
};

} // namespace

void TKivra::DisposeLayer()
{
    TKivraCommunicationLayer* layer = Layer_;
    if (layer == nullptr) {
        return;
    }
    Layer_ = nullptr;
    Counters_.DamagedFrames += layer->GetDamagedFrames();
    if (LayerCallbackDepth_ > 0) {
        // The layer's own read or write is still on the stack: destroy it on the next turn of the
        // event loop. It stays a child of the control so that the destructor can finish the job.
        layer->deleteLater();
    } else {
        delete layer;
    }
}

void TKivra::DeleteDisposedLayers()
{
    if (LayerCallbackDepth_ > 0) {
        return;
    }
    const QObjectList kids = children(); // a copy: deleting a child changes the list
    for (QObject* child : kids) {
        auto* layer = dynamic_cast<TKivraCommunicationLayer*>(child);
        if (layer != nullptr && layer != Layer_) {
            layer->SetOnError(nullptr);
            layer->SetOnDebug(nullptr);
            delete layer;
        }
    }
}

bool TKivra::Connect()
{
    if (GetConnected()) {
        ReportDebug("Redundant Method Call: Already connected to base");
        return false;
    }
    if (KivraModel_ == rstKivraModel::mNone) {
        ReportError(kErrState, std::string(texts::kModelNotSpecified));
        return false;
    }
    LastFailure_ = TKivraFailure::None;
    LastSystemError_ = 0;
    LinkLost_ = false;
    BaseSerialNumberReported_ = false;

    ReportDebug("Connect: checking to see if Communication Layer already exists...");
    if (Layer_ != nullptr) {
        ReportDebug("Connect: Terminating existing Communication Layer...");
        Layer_->Terminate();
        ReportDebug("Connect: Old Communication Layer terminated");
        DisposeLayer();
    }
    // A layer disposed from inside its own callback may still hold the port.
    DeleteDisposedLayers();

    ReportDebug("Connect: Creating Communication Layer thread...");
    auto* layer = new TKivraCommunicationLayer();
    layer->setParent(this);
    Layer_ = layer;
    layer->SetErrorExceptionsEnabled(ErrorExceptionsEnabled_);
    layer->SetErrorEventsEnabled(ErrorEventsEnabled_);
    // Errors of a layer that was already disposed (its deferred destruction is pending) concern a
    // link the control has already given up: they are not reported again.
    layer->SetOnError([this, layer](int code, const std::string& text) {
        if (layer != Layer_) {
            return;
        }
        TCallbackScope scope(LayerCallbackDepth_);
        LayerError(code, text);
    });
    layer->SetDebugEventsEnabled(DebugEventsEnabled_);
    layer->SetOnDebug([this](const std::string& text) {
        TCallbackScope scope(LayerCallbackDepth_);
        LayerDebug(text);
    });
    layer->SetSerialPort(SerialPort_);
    layer->SetCommunicationTimeout(CommunicationTimeout_);
    layer->SetScanGroupLetters(FirstScanGroup_, LastScanGroup_);

    layer->Connect(1);
    if (!GetConnected()) {
        ReportError(kErrConnection, texts::ConnectionFailed(SerialPort_));
        return false;
    }

    ReportDebug("Connect: Setting up messaging timer");
    if (MessageTimer_ != nullptr) {
        ReleaseTimer(MessageTimer_); // left behind by a link the watchdog declared lost
    }
    MessageTimer_ = new QTimer(this);
    MessageTimer_->setInterval(kMessageIntervalMs);
    connect(MessageTimer_, &QTimer::timeout, this, [this] { MessageTimerTick(); });
    MessageTimer_->start();

    // The steps after the port is open. Each may lose the link (then already reported and
    // disconnected) or refuse the base; either ends Connect here with false.
    using TConnectStep = bool (TKivra::*)();
    for (const TConnectStep step : {&TKivra::IdentifyBase, &TKivra::PrepareKeypads,
                                    &TKivra::ReadBaseInformation, &TKivra::StartKeepAlive}) {
        if (!(this->*step)() || !GetConnected()) {
            return false;
        }
    }

    ReportDebug("Connect complete");
    return true;
}

bool TKivra::ReceiveWhileConnecting(int pauseMs)
{
    // Reads what the base sent while the event loop was blocked. A link lost on the way has
    // already been reported and disconnected.
    Pause(pauseMs);
    if (!GetConnected()) {
        return false;
    }
    Layer_->ProcessSerialData();
    if (!GetConnected()) {
        return false;
    }
    CheckForBaseMessages();
    return GetConnected();
}

bool TKivra::IdentifyBase()
{
    BaseVersion_ = texts::kLegacyVersion;
    RequestBaseVersionInfo();
    if (!GetConnected()) {
        return false;
    }
    ReportDebug("Detecting base version...");
    for (int i = 0; i < 3; ++i) {
        if (!ReceiveWhileConnecting(200)) {
            return false;
        }
    }
    ReportDebug("BaseVersion: " + BaseVersion_);

    const std::string prefix = BaseVersion_.substr(0, 6);
    const bool newer = prefix == "QTB420";
    const bool older = prefix == "QTB410";
    std::string mismatch;
    switch (KivraModel_) {
    case rstKivraModel::mAutoDetect:
        if (newer) {
            ReportDebug("KivraSol detected");
            KivraModel_ = rstKivraModel::mKivraSol;
        } else if (older) {
            ReportDebug("Kivra detected");
            KivraModel_ = rstKivraModel::mKivra;
        } else {
            ReportDebug("Legacy base detected - model unknown");
            KivraModel_ = rstKivraModel::mNone;
        }
        break;
    case rstKivraModel::mKivraSol:
        if (newer) {
            ReportDebug("KivraSol model confirmed");
        } else {
            mismatch = "Incorrect model specified - the connected base is not KivraSol!";
        }
        break;
    case rstKivraModel::mKivra:
        if (newer) {
            mismatch = "Model specified does not match attached base!";
        } else if (older) {
            ReportDebug("Kivra model 410 confirmed");
        } else {
            ReportDebug("Unable to confirm Kivra model (connected base is not Kivra 410) - continuing with "
                        "connection...");
        }
        break;
    case rstKivraModel::mKivraOv:
    case rstKivraModel::mKivraEv:
        if (newer || older) {
            mismatch = "Model specified does not match attached base!";
        }
        break;
    case rstKivraModel::mNone:
        break;
    }
    if (!mismatch.empty()) {
        ReportDebug(mismatch);
        KivraModel_ = rstKivraModel::mNone;
        Disconnect(true);
        return false;
    }
    return true;
}

bool TKivra::PrepareKeypads()
{
    DetermineOptimalScanningRange();
    if (!GetConnected()) {
        return false;
    }
    ApplyKeyLocks();
    return true;
}

bool TKivra::ReadBaseInformation()
{
    if (KivraModel_ == rstKivraModel::mKivraSol) {
        ReportDebug("Requesting Base Status...");
        RequestBaseStatus();
        BaseSerialNumber_ = texts::kReadingSerialNumber;
        RequestBaseSerialNumber();
        ReportDebug("Requesting Base Channel...");
        RequestBaseChannel();
        if (!GetConnected()) {
            return false;
        }
        for (int i = 0; i < 8; ++i) {
            if (!ReceiveWhileConnecting(250)) {
                return false;
            }
        }
        CollectKeypadSerialNumbers();
    } else {
        BaseSerialNumber_ = texts::kLegacyVersion;
    }
    return true;
}

bool TKivra::StartKeepAlive()
{
    if (ConnectionTimer_ != nullptr) {
        ReleaseTimer(ConnectionTimer_);
    }
    ConnectionTimer_ = new QTimer(this);
    ConnectionTimer_->setInterval(2000);
    connect(ConnectionTimer_, &QTimer::timeout, this, [this] {
        try {
            Ping();
        } catch (const std::exception& e) { // EAbort included: the central handler drops it
            HandleException(e);
        } catch (...) {
            HandleException(Exception(std::string(texts::kUnknownPingError)));
        }
    });

    if (Polling_) {
        StartPolling();
    } else {
        StopPolling();
    }
    return true;
}

void TKivra::Disconnect(bool ConnectionLost)
{
    try {
        BaseVersion_ = texts::kNotConnected;
        BaseSerialNumber_ = texts::kNotConnected;
        BaseSerialNumberReported_ = false;
        BaseChannel_ = -1;
        if (ConnectionLost) {
            Polling_ = false;
        } else {
            StopPolling();
        }
        if (GetConnected()) {
            ReportDebug("Disconnect initiated.");
            if (MessageTimer_ != nullptr) {
                if (MessageTimer_->isActive()) {
                    ReportDebug("Disconnect: Telling the message timer to stop...");
                }
                ReleaseTimer(MessageTimer_);
            }
            if (ConnectionTimer_ != nullptr) {
                if (ConnectionTimer_->isActive()) {
                    ReportDebug("Disconnect: Telling the connection timer to stop...");
                }
                ReleaseTimer(ConnectionTimer_);
            }
            if (Layer_ != nullptr) {
                ReportDebug("Disconnect: Requesting Communication Layer terminate...");
                Layer_->Terminate();
                Pause(200);
                ReportDebug("Disconnect: Communication Layer terminated.");
                DisposeLayer();
            }
            Pause(50);
            ReportDebug("Disconnect: Polling process stopped.");
            ReportDebug("Disconnect: Completed Successfully.");
        } else if (ConnectionTimer_ != nullptr) {
            if (ConnectionTimer_->isActive()) {
                ReportDebug("Disconnect: Telling the connection timer to stop...");
            }
            ReleaseTimer(ConnectionTimer_);
        } else {
            ReportDebug("Redundant method call: Already disconnected");
        }
    } catch (const std::exception& e) {
        // Whatever an event handler raises on the way: Disconnect still returns normally.
        try {
            ReportDebug("DISCONNECT EXCEPTION: " + std::string(e.what()));
        } catch (const std::exception&) {
            // A debug handler that raises must not turn Disconnect into a failure.
        }
    }
}

void TKivra::StartPolling()
{
    if (!GetConnected()) {
        ReportError(kErrState, std::string(texts::kStartPollingNotConnected));
        return;
    }
    SendToBase(Str(protocol::kCmdStartPolling.bytes), Str(protocol::kCmdStartPolling.description));
    // A failed write has already disconnected the control: it is not polling then.
    if (!GetConnected()) {
        return;
    }
    Polling_ = true;
    Layer_->SetPolling(true);
    if (ConnectionTimer_ != nullptr) {
        ConnectionTimer_->stop();
    }
}

void TKivra::StopPolling()
{
    if (GetConnected()) {
        SendToBase(Str(protocol::kCmdStopPolling.bytes), Str(protocol::kCmdStopPolling.description));
        if (GetConnected()) {
            Layer_->SetPolling(false);
            // A running keep-alive keeps its phase: restarting it at every call would let a caller
            // that stops polling more often than every 2 s suppress every ping.
            if (ConnectionTimer_ != nullptr && !ConnectionTimer_->isActive()) {
                ConnectionTimer_->start();
            }
        }
    }
    Polling_ = false;
}

void TKivra::Ping()
{
    SendToBase(Str(protocol::kCmdPing.bytes), Str(protocol::kCmdPing.description));
}

void TKivra::MessageTimerTick()
{
    if (MessageTimer_ != nullptr) {
        MessageTimer_->stop();
    }
    try {
        CheckForBaseMessages();
    } catch (const std::exception& e) { // EAbort included: the central handler drops it
        HandleException(e);
    } catch (...) {
        HandleException(Exception(std::string(texts::kUnknownPumpError)));
    }
    if (MessageTimer_ != nullptr) {
        // A tick that an error ended leaves messages behind: the next tick comes at once, so that a
        // line that keeps raising errors cannot make the queue grow faster than it drains.
        MessageTimer_->start(GetQueuedMessageCount() > 0 ? 0 : kMessageIntervalMs);
    }
}

void TKivra::CheckForBaseMessages()
{
    try {
        if (Layer_ == nullptr) {
            ReportError(kErrConnection, std::string(texts::kLayerMissing));
            return;
        }
        // The queue is fetched again for every message: a handler may disconnect, which releases it.
        while (Layer_ != nullptr && Layer_->GetConnected()) {
            TThreadSafeStringList* queue = Layer_->MessageQueue();
            if (queue == nullptr || queue->Count() < 1) {
                break;
            }
            std::string message;
            try {
                message = queue->Get(0);
                queue->Delete(0);
            } catch (const Exception&) {
                ReportDebug("CheckForBaseMessages() - Error copying and deleting current message");
            }
            if (DebugWanted()) {
                ReportDebug("Processing message: " + message);
            }
            DispatchBaseMessage(message);
        }
    } catch (const EAbort&) {
        throw;
    } catch (const std::exception& e) {
        // Any failure, also one of an application's event handler, ends this tick only.
        ReportDebug("~~ERROR~~ " + std::string(e.what()));
    }
}

int TKivra::GetQueuedMessageCount() const
{
    if (Layer_ == nullptr || Layer_->MessageQueue() == nullptr) {
        return 0;
    }
    return Layer_->MessageQueue()->Count();
}

void TKivra::DispatchBaseMessage(const std::string& Message)
{
    const auto contains = [&Message](std::string_view part) {
        return Message.find(part) != std::string::npos;
    };
    if (Message.compare(0, 3, "VER") == 0) {
        ParseVersion(Message);
    } else if (contains("SERIAL")) {
        ParseBaseSerial(Message);
    } else if (contains("STATUS")) {
        ParseBaseStatus(Message);
    } else if (contains("CHANNEL")) {
        ParseChannel(Message);
    } else if (contains("KPTM")) {
        ParseTimestampList(Message);
    } else if (contains("KPS")) {
        ParseSerialNumberList(Message);
    } else if (LastScanGroup_ != 0 && !Message.empty() && Message[0] >= FirstScanGroup_ &&
               Message[0] <= LastScanGroup_) {
        // Without scan groups (last letter 0) no message is a keypad packet.
        ParseKeypadPacket(Message);
    } else {
        ++Counters_.Unrecognised;
        ReportError(kErrUnrecognised, texts::UnhandledMessage(Message));
    }
}

void TKivra::ParseVersion(const std::string& message)
{
    // Positions below are 1-based; 0 means "not found".
    const auto position = [&message](char c) {
        const std::size_t p = message.find(c);
        return p == std::string::npos ? 0 : static_cast<long>(p) + 1;
    };
    BaseVersion_.clear();
    const long c = position(',');
    const long k = position(':');
    if (c - k > 1) {
        BaseVersion_ =
            "QTB" + message.substr(static_cast<std::size_t>(k), static_cast<std::size_t>(c - k - 1));
    }
    const long d = position('.');
    const long start = std::max(d - 2, 1L);
    std::string version;
    if (static_cast<std::size_t>(start) <= message.size()) {
        version = message.substr(static_cast<std::size_t>(start - 1), 8);
    }
    BaseVersion_ += ": " + version;
}

void TKivra::ParseBaseSerial(const std::string& message)
{
    ++Counters_.SerialAnswers;
    const std::size_t colon = message.find(':');
    if (colon != std::string::npos) {
        BaseSerialNumber_ = message.substr(colon + 1, 6);
        BaseSerialNumberReported_ = true;
    }
}

void TKivra::ParseChannel(const std::string& message)
{
    ++Counters_.ChannelAnswers;
    const std::size_t colon = message.find(':');
    if (colon != std::string::npos) {
        BaseChannel_ = StrToInt(message.substr(colon + 1, 2));
    }
}

} // namespace kivra
