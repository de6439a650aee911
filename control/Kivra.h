#pragma once
// TKivra: the one object through which an application talks to a radio base station and its
// keypads. Non-visual; all traffic goes through the communication layer it owns while connected.

#include "control/Conversions.h"
#include "control/KivraTexts.h"

#include <QObject>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QTimer;

namespace kivra {

class TKivraCommunicationLayer;

enum class rstKivraModel : std::uint8_t { mNone, mKivra, mKivraOv, mKivraEv, mKivraSol, mAutoDetect };
enum class rstKeypadPowerLevel : std::uint8_t { powLow, powLowMid, powMidHigh, powHigh };
enum class rstKeypadConfigurationMode : std::uint8_t { kpcManual, kpcBase };

// Events. An empty slot is skipped.
using TKivra_KeypadData = std::function<void(int KeypadID, int Value)>;
using TKivra_SoftkeyData = std::function<void(int KeypadID, std::string KeyValue)>;
using TKivra_KeypadSerialNumber = std::function<void(int KeypadID, std::string SerialNum, std::string Version,
                                                     int BatteryLevel, bool EndOfSerialNumbers)>;
using TKivra_KeypadTimestamp =
    std::function<void(int KeypadID, int QuestionNumber, int Timestamp, std::string Version, int BatteryLevel,
                       bool EndOfTimestamps)>;
using TKivra_LowBatteryWarning = std::function<void(int KeypadID)>;
using TKivra_KeypadNotification = std::function<void(int KeypadID)>;
using TKivra_DebugMessage = std::function<void(std::string Data)>;
using TKivra_Error = std::function<void(int ErrorCode, std::string Error)>;

//! Why the link failed, as a fact beside the error text: programs decide by this, never by the
//! wording of a text.
enum class TKivraFailure : std::uint8_t {
    None,          // no failure since Connect began
    PortNotOpened, // the serial port did not open; LastSystemError tells why
    NoBase,        // the port opened, but no base answered the detection
    LinkLost,      // a read or write failed, or the base fell silent while polling
};

//! What the control has taken from the base since it was created.
struct TKivraCounters {
    int DamagedFrames = 0;  // frames skipped for a length their tag cannot have
    int StatusAnswers = 0;  // status answers handled (with or without keypad settings)
    int ChannelAnswers = 0; // channel answers handled
    int SerialAnswers = 0;  // base serial number answers handled
    int Unrecognised = 0;   // messages no parser took
};

//! Replaces the fixed pauses of Connect and Disconnect (default: sleep), so that a window can
//! keep repainting while it waits. Called with the length of each pause in milliseconds.
using TPauseFunction = std::function<void(int Milliseconds)>;

//! Period of the message pump while no message waits.
inline constexpr int kMessageIntervalMs = 500;

//! Error codes of OnError and LastErrorCode.
inline constexpr int kErrConnection = -1;   // connection failed or lost; layer missing
inline constexpr int kErrState = -2;        // not allowed in the current state; the port did not open
                                            // or no base answered
inline constexpr int kErrArgument = -4;     // argument out of range or malformed
inline constexpr int kErrUnrecognised = -5; // data from the base not recognised

//! One hardware model's row of the model table.
struct TKivraModelInfo {
    rstKivraModel Model;
    char FirstScanGroup; // 0 for none
    char LastScanGroup;  // 0 for none
    int ScanGroupCount;
    int MaxKeypads;
};
const TKivraModelInfo& KivraModelInfo(rstKivraModel model);

//! Number of entries of the keypad list storage (the largest capacity of the model table).
inline constexpr int kKeypadListSize = 650;

//! One parsed element of a keypad range text such as "1-10,20-30,50".
class TKeypadAddSet {
public:
    //! Checks the first keypad against 1..MaxKeypads, the count (>= 1) and the last keypad;
    //! raises kivra::Exception with the element's message on failure.
    TKeypadAddSet(int MaxKeypads, int KeypadNumber, int KeypadCount);
    int KeypadNumber() const { return KeypadNumber_; }
    int KeypadCount() const { return KeypadCount_; }
    int MaxKeypads() const { return MaxKeypads_; }

private:
    int KeypadNumber_ = 0;
    int KeypadCount_ = 0;
    int MaxKeypads_ = 0;
};

//! Parses a keypad range text against a capacity; raises kivra::Exception on the first error.
std::vector<TKeypadAddSet> ParseKeypadRangeText(const std::string& Keypads, int MaxKeypads);

class TKivra : public QObject {
public:
    explicit TKivra(QObject* owner = nullptr);
    ~TKivra() override;
    TKivra(const TKivra&) = delete;
    TKivra& operator=(const TKivra&) = delete;

    // --- Published properties -------------------------------------------------------------
    rstKivraModel GetKivraModel() const { return KivraModel_; }
    void SetKivraModel(rstKivraModel value);
    const std::string& GetControlVersion() const { return ControlVersion_; }
    int GetCommunicationTimeout() const { return CommunicationTimeout_; }
    void SetCommunicationTimeout(int value);
    bool GetConnected() const;
    int GetMaxKeypads() const { return MaxKeypads_; }
    std::string GetKeypadList();
    int GetKeypadListCount() const;
    int GetSerialPort() const { return SerialPort_; }
    void SetSerialPort(int value);

    bool GetKeypadDigitEcho() const { return KeypadDigitEcho_; }
    void SetKeypadDigitEcho(bool value);
    bool GetKeypadStarKeyEnabled() const { return KeypadStarKeyEnabled_; }
    void SetKeypadStarKeyEnabled(bool value);
    bool GetKeypadLowBatteryNotification() const { return KeypadLowBatteryNotification_; }
    void SetKeypadLowBatteryNotification(bool value);
    bool GetKeypadPostAcknowledgement() const { return KeypadPostAcknowledgement_; }
    void SetKeypadPostAcknowledgement(bool value);
    bool GetKeypadOnlyAcceptInitialResponse() const { return KeypadOnlyAcceptInitialResponse_; }
    void SetKeypadOnlyAcceptInitialResponse(bool value);
    rstKeypadConfigurationMode GetKeypadConfigurationMode() const { return KeypadConfigurationMode_; }
    void SetKeypadConfigurationMode(rstKeypadConfigurationMode value);
    bool GetKeypadAddressChannelShortcutsEnabled() const { return KeypadAddressChannelShortcutsEnabled_; }
    void SetKeypadAddressChannelShortcutsEnabled(bool value);
    bool GetKeypadGlobalConfigurationLock() const { return KeypadGlobalConfigurationLock_; }
    void SetKeypadGlobalConfigurationLock(bool value);
    bool GetKeypadSoftkeysEnabled() const { return KeypadSoftkeysEnabled_; }
    void SetKeypadSoftkeysEnabled(bool value);
    rstKeypadPowerLevel GetKeypadTransmitPowerLevel() const { return KeypadTransmitPowerLevel_; }
    void SetKeypadTransmitPowerLevel(rstKeypadPowerLevel value);

    bool GetErrorEventsEnabled() const { return ErrorEventsEnabled_; }
    void SetErrorEventsEnabled(bool value);
    bool GetErrorExceptionsEnabled() const { return ErrorExceptionsEnabled_; }
    void SetErrorExceptionsEnabled(bool value);
    bool GetDebugEventsEnabled() const { return DebugEventsEnabled_; }
    void SetDebugEventsEnabled(bool value);

    const TKivra_KeypadData& GetOnKeypadDataReceived() const { return OnKeypadDataReceived_; }
    void SetOnKeypadDataReceived(TKivra_KeypadData handler) { OnKeypadDataReceived_ = std::move(handler); }
    const TKivra_SoftkeyData& GetOnSoftkeyDataReceived() const { return OnSoftkeyDataReceived_; }
    void SetOnSoftkeyDataReceived(TKivra_SoftkeyData handler) { OnSoftkeyDataReceived_ = std::move(handler); }
    const TKivra_KeypadTimestamp& GetOnKeypadTimestamp() const { return OnKeypadTimestamp_; }
    void SetOnKeypadTimestamp(TKivra_KeypadTimestamp handler) { OnKeypadTimestamp_ = std::move(handler); }
    const TKivra_KeypadSerialNumber& GetOnKeypadSerialNumber() const { return OnKeypadSerialNumber_; }
    void SetOnKeypadSerialNumber(TKivra_KeypadSerialNumber handler)
    {
        OnKeypadSerialNumber_ = std::move(handler);
    }
    const TKivra_LowBatteryWarning& GetOnLowBatteryWarning() const { return OnLowBatteryWarning_; }
    void SetOnLowBatteryWarning(TKivra_LowBatteryWarning handler)
    {
        OnLowBatteryWarning_ = std::move(handler);
    }
    const TKivra_KeypadNotification& GetOnKeypadNotification() const { return OnKeypadNotification_; }
    void SetOnKeypadNotification(TKivra_KeypadNotification handler)
    {
        OnKeypadNotification_ = std::move(handler);
    }
    const TKivra_DebugMessage& GetOnDebug() const { return OnDebug_; }
    void SetOnDebug(TKivra_DebugMessage handler) { OnDebug_ = std::move(handler); }
    const TKivra_Error& GetOnError() const { return OnError_; }
    void SetOnError(TKivra_Error handler) { OnError_ = std::move(handler); }

    const std::string& GetLastErrorMessage() const { return LastErrorMessage_; }
    int GetLastErrorCode() const { return LastErrorCode_; }

    // --- Facts beside the texts (cleared when Connect begins, counters excepted) --------------
    //! The last failure of the link.
    TKivraFailure GetLastFailure() const { return LastFailure_; }
    //! The system error (errno) behind the last failure; 0 when it had none (a silent base).
    int GetLastSystemError() const { return LastSystemError_; }
    //! True once the link was lost (a failed read or write, a silent base) until the next Connect.
    bool GetLinkLost() const { return LinkLost_; }
    //! True once the base has answered with its serial number on this connection.
    bool GetBaseSerialNumberReported() const { return BaseSerialNumberReported_; }
    TKivraCounters GetCounters() const;

    // --- Public properties ----------------------------------------------------------------
    const std::string& GetBaseVersion() const { return BaseVersion_; }
    const std::string& GetBaseSerialNumber() const { return BaseSerialNumber_; }
    int GetBaseChannel() const { return BaseChannel_; }
    void SetBaseChannel(int Channel); // sends the change; the field follows the base's report
    bool GetPolling() const { return Polling_; }

    //! The pauses of Connect and Disconnect go through this function (default: sleep).
    void SetPauseFunction(TPauseFunction pause);

    // --- Connection lifecycle and message pump --------------------------------------------
    bool Connect();
    void Disconnect(bool ConnectionLost);
    void StartPolling();
    void StopPolling();
    void CheckForBaseMessages();
    //! Base messages framed and not yet handled by the message pump.
    int GetQueuedMessageCount() const;

    // --- Keypad responses -----------------------------------------------------------------
    void BeginQuestion(int QuestionNumber);
    void RequestKeypadSerialNumbers();
    void RequestKeypadTimestamps();

    // --- Keypad list and scanning range ---------------------------------------------------
    void AddKeypad(int KeypadNumber, int Count);
    void AddKeypad(const std::string& Keypads);
    void RemoveKeypad(int KeypadNumber, int Count);
    void RemoveKeypad(const std::string& Keypads);
    void ClearKeypadList();
    bool IsScanGroupActive(int Group);
    void DetermineOptimalScanningRange();
    void CollectKeypadSerialNumbers();

    // --- Keypad settings, key locks and base properties -----------------------------------
    bool IsKeyLocked(const std::string& Key);
    void LockKey(const std::string& Key);
    void UnlockKey(const std::string& Key);
    void ApplyKeyLocks();
    void UpdateKeypadSettings();
    void ParseBaseStatus(const std::string& Message);
    void RequestBaseVersionInfo();
    void RequestBaseStatus();
    void RequestBaseChannel();
    void RequestBaseSerialNumber();

    //! Dispatches one queued base message to its parser (one step of CheckForBaseMessages).
    void DispatchBaseMessage(const std::string& Message);

private:
    // Reporting.
    void ReportError(int code, const std::string& text);
    bool DebugWanted() const { return DebugEventsEnabled_ && static_cast<bool>(OnDebug_); }
    void ReportDebug(const std::string& text);
    void LayerError(int code, const std::string& text);
    void LayerDebug(const std::string& text);

    // Sending through the layer (-1 "not connected" when there is none).
    void SendToBase(const std::string& command, const std::string& description);
    void Pause(int ms);

    // Connection lifecycle helpers.
    void DisposeLayer();         // destroys the layer, deferred to the next event-loop turn
    void DeleteDisposedLayers(); // deletes layers whose deferred destruction has not run yet
    // The steps of Connect after the port is open; false ends Connect (see there).
    bool ReceiveWhileConnecting(int pauseMs);
    bool IdentifyBase();
    bool PrepareKeypads();
    bool ReadBaseInformation();
    bool StartKeepAlive();
    void MessageTimerTick();
    void Ping();
    void ParseVersion(const std::string& message);
    void ParseBaseSerial(const std::string& message);
    void ParseChannel(const std::string& message);

    // Keypad responses.
    bool IsKeypadListed(int n);
    void ParseKeypadPacket(const std::string& message);
    void ParseSerialNumberList(const std::string& message);
    void ParseTimestampList(const std::string& message);

    // Keypad settings: model check, reminder (none when reminderName is null), store, send.
    template <typename T>
    void WriteKeypadSetting(T& field, T value, const char* name, const char* reminderName);

    // Key locks: index 0..9 the digit keys, 10 the "*" key; -1 when the name is invalid.
    int KeyIndex(const std::string& Key);

    // Fields, in the order of the control's data model.
    std::string ControlVersion_ = "6.0.11";
    std::string BaseVersion_ = std::string(texts::kNotConnected);
    std::string BaseSerialNumber_ = std::string(texts::kNotConnected);
    int BaseChannel_ = -1;
    rstKivraModel KivraModel_ = rstKivraModel::mNone; // no model change at creation: no capacity, no groups
    int CommunicationTimeout_ = 3000;
    TMultiDimensionalArray KeypadList_ =
        TMultiDimensionalArray(1, std::vector<std::uint8_t>(kKeypadListSize));
    rstKeypadConfigurationMode KeypadConfigurationMode_ = rstKeypadConfigurationMode::kpcManual;
    bool KeypadDigitEcho_ = true;
    bool KeypadStarKeyEnabled_ = false;
    bool KeypadLowBatteryNotification_ = false;
    bool KeypadPostAcknowledgement_ = false;
    bool KeypadOnlyAcceptInitialResponse_ = false;
    bool KeypadAddressChannelShortcutsEnabled_ = false;
    bool KeypadGlobalConfigurationLock_ = false;
    bool KeypadSoftkeysEnabled_ = false;
    rstKeypadPowerLevel KeypadTransmitPowerLevel_ = rstKeypadPowerLevel::powHigh;
    bool ErrorEventsEnabled_ = false;
    bool DebugEventsEnabled_ = false;
    bool ErrorExceptionsEnabled_ = true;
    // Row 0 applied, row 1 wanted; 1 unlocked, 0 locked.
    TMultiDimensionalArray KeyLocks_ = TMultiDimensionalArray(2, std::vector<std::uint8_t>(11, 1));
    int MaxKeypads_ = 0;
    int ScanGroupCount_ = 0;
    char FirstScanGroup_ = 0;
    char LastScanGroup_ = 0;
    std::string ScanRangeCommand_;
    bool TimestampMode_ = false;
    int SerialPort_ = 1;
    QTimer* MessageTimer_ = nullptr;
    QTimer* ConnectionTimer_ = nullptr;
    TKivra_KeypadData OnKeypadDataReceived_;
    TKivra_LowBatteryWarning OnLowBatteryWarning_;
    TKivra_SoftkeyData OnSoftkeyDataReceived_;
    TKivra_KeypadTimestamp OnKeypadTimestamp_;
    TKivra_KeypadSerialNumber OnKeypadSerialNumber_;
    TKivra_KeypadNotification OnKeypadNotification_;
    TKivra_DebugMessage OnDebug_;
    TKivra_Error OnError_;
    std::string LastErrorMessage_;
    int LastErrorCode_ = 0;
    bool Polling_ = false;
    std::string QuestionNumber_;
    TKivraFailure LastFailure_ = TKivraFailure::None;
    int LastSystemError_ = 0;
    bool LinkLost_ = false;
    bool BaseSerialNumberReported_ = false;
    TKivraCounters Counters_;                   // DamagedFrames: of the layers already released
    TKivraCommunicationLayer* Layer_ = nullptr; // owned; released through DisposeLayer
    TPauseFunction Pause_;
    int LayerCallbackDepth_ = 0; // > 0 while a layer callback runs: the layer is on the stack
};

} // namespace kivra
