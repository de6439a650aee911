// TKivra: construction, destruction, the model table and the property setters, error and debug
// reporting, and the paths into the communication layer.

#include "control/Kivra.h"
#include "control/KivraTexts.h"

#include "control/KivraCommunicationLayer.h"
#include "core/Exception.h"

#include <QTimer>

#include <array>
#include <chrono>
#include <thread>

namespace kivra {

namespace {

constexpr std::array<TKivraModelInfo, 6> kModelTable{{
    {rstKivraModel::mNone, 0, 0, 0, 0},
    {rstKivraModel::mKivra, 'A', 'E', 5, 250},
    {rstKivraModel::mKivraOv, 'A', 'M', 13, 650},
    {rstKivraModel::mKivraEv, 'P', 'P', 1, 50},
    {rstKivraModel::mKivraSol, 'A', 'E', 5, 250},
    {rstKivraModel::mAutoDetect, 'A', 'E', 5, 250},
}};

} // namespace

const TKivraModelInfo& KivraModelInfo(rstKivraModel model)
{
    const auto index = static_cast<std::size_t>(model);
    return index < kModelTable.size() ? kModelTable[index] : kModelTable[0];
}

// Every field starts with its initialiser in Kivra.h.
TKivra::TKivra(QObject* owner) : QObject(owner)
{
}

TKivra::~TKivra()
{
    // Nothing reported while tearing down may call a handler or raise.
    SetDebugEventsEnabled(false);
    SetErrorEventsEnabled(false);
    SetErrorExceptionsEnabled(false);
    // The application's pause function may refer to objects that are going away too.
    Pause_ = nullptr;
    try {
        if (GetConnected()) {
            Disconnect(false);
        }
    } catch (const std::exception& e) {
        HandleException(e);
    }
    if (Layer_ != nullptr) {
        TKivraCommunicationLayer* layer = Layer_;
        Layer_ = nullptr;
        layer->SetOnError(nullptr);
        layer->SetOnDebug(nullptr);
        layer->Terminate();
        delete layer;
    }
    DeleteDisposedLayers();
}

void TKivra::SetKivraModel(rstKivraModel value)
{
    if (GetConnected()) {
        ReportError(kErrState, std::string(texts::kModelWhileConnected));
        return;
    }
    const TKivraModelInfo& info = KivraModelInfo(value);
    KivraModel_ = value;
    FirstScanGroup_ = info.FirstScanGroup;
    LastScanGroup_ = info.LastScanGroup;
    ScanGroupCount_ = LastScanGroup_ == 0 ? 0 : LastScanGroup_ - FirstScanGroup_ + 1;
    MaxKeypads_ = ScanGroupCount_ * 50;
    ClearKeypadList();
    AddKeypad(1, MaxKeypads_);
}

void TKivra::SetCommunicationTimeout(int value)
{
    if (value == CommunicationTimeout_) {
        return;
    }
    if (GetConnected()) {
        ReportError(kErrState, std::string(texts::kTimeoutWhileConnected));
        return;
    }
    if (value < 2000 || value > 15000) {
        ReportError(kErrArgument, std::string(texts::kTimeoutOutOfRange));
        return;
    }
    CommunicationTimeout_ = value;
}

bool TKivra::GetConnected() const
{
    return Layer_ != nullptr && Layer_->GetConnected();
}

void TKivra::SetSerialPort(int value)
{
    if (GetConnected()) {
        ReportError(kErrState, std::string(texts::kSerialPortWhileConnected));
        return;
    }
    if (value < 1 || value > 16) {
        ReportError(kErrArgument, texts::SerialPortOutOfBounds(value));
        return;
    }
    SerialPort_ = value;
    ReportDebug("Serial port set to: " + std::to_string(value));
}

void TKivra::SetErrorEventsEnabled(bool value)
{
    ErrorEventsEnabled_ = value;
    if (Layer_ != nullptr) {
        Layer_->SetErrorEventsEnabled(value);
    }
}

void TKivra::SetErrorExceptionsEnabled(bool value)
{
    ErrorExceptionsEnabled_ = value;
    if (Layer_ != nullptr) {
        Layer_->SetErrorExceptionsEnabled(value);
    }
}

void TKivra::SetDebugEventsEnabled(bool value)
{
    DebugEventsEnabled_ = value;
    if (Layer_ != nullptr) {
        Layer_->SetDebugEventsEnabled(value);
    }
}

void TKivra::SetPauseFunction(TPauseFunction pause)
{
    Pause_ = std::move(pause);
}

void TKivra::Pause(int ms)
{
    // Inside a layer callback the layer is on the stack: an application pause that runs the event
    // loop could re-enter it, so plain sleep there.
    if (Pause_ && LayerCallbackDepth_ == 0) {
        Pause_(ms);
    } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
}

void TKivra::ReportError(int code, const std::string& text)
{
    LastErrorMessage_ = text;
    LastErrorCode_ = code;
    if (OnError_ && ErrorEventsEnabled_) {
        OnError_(code, text);
    }
    if (ErrorExceptionsEnabled_) {
        throw Exception(text);
    }
}

void TKivra::ReportDebug(const std::string& text)
{
    if (DebugWanted()) {
        OnDebug_(text);
    }
}

TKivraCounters TKivra::GetCounters() const
{
    TKivraCounters counters = Counters_;
    if (Layer_ != nullptr) {
        counters.DamagedFrames += Layer_->GetDamagedFrames();
    }
    return counters;
}

void TKivra::LayerError(int code, const std::string& text)
{
    // The facts first: the handlers of the texts below may ask for them.
    if (Layer_ != nullptr && Layer_->GetLastFailure() != TKivraFailure::None) {
        LastFailure_ = Layer_->GetLastFailure();
        LastSystemError_ = Layer_->GetLastSystemError();
        LinkLost_ = LinkLost_ || LastFailure_ == TKivraFailure::LinkLost;
    }
    ReportDebug("*** Error message passed from Communication Layer *** ");
    if (code == kErrConnection) {
        if (ConnectionTimer_ != nullptr && ConnectionTimer_->isActive()) {
            ConnectionTimer_->stop();
            ConnectionTimer_->deleteLater();
            ConnectionTimer_ = nullptr;
        }
        ReportDebug("Calling Disconnect...");
        Disconnect(true);
    }
    ReportError(code, text);
}

void TKivra::LayerDebug(const std::string& text)
{
    ReportDebug(text);
}

void TKivra::SendToBase(const std::string& command, const std::string& description)
{
    if (Layer_ != nullptr) {
        Layer_->SendToBase(command, description);
        return;
    }
    // No layer at all: the same texts the layer gives while not connected.
    ReportDebug("Attempting to Send: " + description);
    ReportError(kErrConnection, std::string(texts::kNotConnectedToSend));
}

} // namespace kivra
