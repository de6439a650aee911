#pragma once
// The serial connection to the base: opens the port, detects the base, frames everything it
// sends into the message queue, sends commands and watches a polling link for silence.

#include "control/Kivra.h"
#include "control/KivraFraming.h"

#include <QObject>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QTimer;

namespace kivra {

class TComPort;
class TThreadSafeStringList;

class TKivraCommunicationLayer : public QObject {
public:
    using TErrorCallback = std::function<void(int Code, const std::string& Text)>;
    using TDebugCallback = std::function<void(const std::string& Text)>;

    TKivraCommunicationLayer();
    ~TKivraCommunicationLayer() override;

    //! Below 1 raises kivra::Exception; sets the device name "COMn" or "\\.\COMn".
    void SetSerialPort(int value);
    int GetSerialPort() const { return SerialPort_; }
    const std::string& GetDeviceName() const { return DeviceName_; }
    void SetCommunicationTimeout(int value) { CommunicationTimeout_ = value; }
    int GetCommunicationTimeout() const { return CommunicationTimeout_; }
    void SetScanGroupLetters(char first, char last);

    void SetErrorEventsEnabled(bool value) { ErrorEventsEnabled_ = value; }
    void SetDebugEventsEnabled(bool value) { DebugEventsEnabled_ = value; }
    void SetErrorExceptionsEnabled(bool value) { ErrorExceptionsEnabled_ = value; }
    void SetOnError(TErrorCallback callback) { OnError_ = std::move(callback); }
    void SetOnDebug(TDebugCallback callback) { OnDebug_ = std::move(callback); }

    //! Opens the port and detects the base; true when the detection mark arrived.
    bool Connect(std::uint8_t ConnectionType);
    void Disconnect();
    void SendToBase(const std::string& Command, const std::string& Description);
    void SetPolling(bool value);
    //! The message queue, or nullptr while disconnected.
    TThreadSafeStringList* MessageQueue() { return MessageQueue_.get(); }
    //! Reads every waiting byte and runs the framing pass.
    void ProcessSerialData();
    //! Watchdog tick.
    void CheckConnectionStatus();
    bool GetConnected() const { return Connected_; }
    //! The failure behind the last error reported, and its system error (0 when none).
    TKivraFailure GetLastFailure() const { return LastFailure_; }
    int GetLastSystemError() const { return LastSystemError_; }
    //! Frames the framing skipped for a length their tag cannot have.
    int GetDamagedFrames() const { return Framing_.GetDamagedFrames(); }
    //! Asked before the layer is destroyed; from then on receive notifications are ignored.
    void Terminate() { Terminated_ = true; }

    TComPort* Port() { return Port_.get(); }
    QTimer* WatchdogTimer() { return Watchdog_; }

private:
    bool DebugWanted() const { return DebugEventsEnabled_ && static_cast<bool>(OnDebug_); }
    void ReportError(int code, const std::string& text);
    //! Notes the failure, then reports its text.
    void ReportFailure(TKivraFailure failure, int systemError, int code, const std::string& text);
    void ReportDebug(const std::string& text);
    //! Writes to the port; false after reporting a lost link (the caller must return at once).
    bool WriteToPort(const std::string& text);
    //! One receive; false after reporting a lost link (the caller must return at once).
    bool Receive();
    void StartWatchdog();
    void ReleaseWatchdog();
    //! Delivers debug texts collected while the framing owned the buffer and the queue.
    void FlushDebug(std::vector<std::string>& texts);
    //! Runs a framing step on the queue, then delivers its debug texts.
    void RunFraming(const std::function<void(TThreadSafeStringList&, const TKivraFraming::DebugSink&)>& step);
    //! "PD" asks for a list: the framing expects one until it is cut or the time-out passes.
    void OpenListWindow();
    void StopListTimers();

    std::unique_ptr<TComPort> Port_;
    bool Connected_ = false;
    TKivraFraming Framing_;
    bool Polling_ = false;
    bool ErrorEventsEnabled_ = false;
    bool DebugEventsEnabled_ = false;
    bool ErrorExceptionsEnabled_ = true;
    int CommunicationTimeout_ = 3000;
    std::chrono::steady_clock::time_point LastHeard_{};
    std::uint8_t ConnectionType_ = 0;
    int SerialPort_ = 0;
    std::string DeviceName_;
    std::unique_ptr<TThreadSafeStringList> MessageQueue_;
    QTimer* Watchdog_ = nullptr;
    // While a list is expected: the line quiet for a moment ends a list where it stands; the
    // communication time-out after "PD" ends the wait for it.
    QTimer* ListQuiet_ = nullptr;
    QTimer* ListDeadline_ = nullptr;
    TErrorCallback OnError_;
    TDebugCallback OnDebug_;
    bool Terminated_ = false;
    // Re-entrancy guards: callbacks run inside these operations may call back into the layer.
    bool Connecting_ = false;
    bool Disconnecting_ = false;
    // Set once a lost link was reported from a read or write: later failed reads stay silent.
    bool LinkLost_ = false;
    TKivraFailure LastFailure_ = TKivraFailure::None;
    int LastSystemError_ = 0;
};

} // namespace kivra
