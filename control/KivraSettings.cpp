// TKivra: the ten keypad settings and their C and D bytes, key locks, the base channel and the
// requests for the base's own information.

#include "control/Kivra.h"
#include "control/KivraProtocol.h"
#include "control/KivraTexts.h"

#include "core/Exception.h"

#include <cstdint>
#include <string>

namespace kivra {

namespace {

namespace proto = kivra::protocol;

constexpr std::size_t kStarKey = 10;
constexpr std::size_t kKeyCount = 11;
constexpr std::size_t kAppliedLocks = 0;
constexpr std::size_t kWantedLocks = 1;
constexpr std::uint8_t kLocked = 0;
constexpr std::uint8_t kUnlocked = 1;

std::string Incompatible(const char* name)
{
    return std::string(name) + " is not compatible with this model of Kivra hardware.";
}

std::string Reminder(const char* name)
{
    return std::string("Reminder: ") + name +
           " setting does not affect keypad configuration while KeypadConfigurationMode is set to "
           "\"Manual\". "
           "Change KeypadConfigurationMode to \"Base\" to enable changing of keypad settings.";
}

const char* Bit(bool value)
{
    return value ? "1" : "0";
}

std::string PowerBits(rstKeypadPowerLevel level)
{
    switch (level) {
    case rstKeypadPowerLevel::powHigh:
        return "11";
    case rstKeypadPowerLevel::powMidHigh:
        return "10";
    case rstKeypadPowerLevel::powLowMid:
        return "01";
    case rstKeypadPowerLevel::powLow:
        break;
    }
    return "00";
}

//! The byte after the first occurrence of head (which the message holds); 0 when head is the
//! message's last byte.
std::uint8_t SettingsByte(const std::string& message, char head)
{
    const std::size_t at = message.find(head);
    if (at + 1 >= message.size())
        return 0;
    return static_cast<std::uint8_t>(message[at + 1]);
}

//! "C" or "D" followed by the raw settings byte, and its description.
void BuildSettingsCommand(char head, int value, std::string& command, std::string& description)
{
    const char byte = static_cast<char>(static_cast<std::uint8_t>(value));
    command = std::string{head, byte};
    description =
        std::string("UpdateKeypadSettings(): \"") + head + byte + "\" (" + std::to_string(value) + ")";
}

} // namespace

// --- Keypad settings ----------------------------------------------------------------------------
// Each setter: refused (debug text only) on models without keypad settings; a reminder while the
// keypads are configured by hand; then stored and sent, also when the value did not change.

template <typename T>
void TKivra::WriteKeypadSetting(T& field, T value, const char* name, const char* reminderName)
{
    if (KivraModel_ != rstKivraModel::mKivraSol)
        return ReportDebug(Incompatible(name));
    if (reminderName != nullptr && KeypadConfigurationMode_ == rstKeypadConfigurationMode::kpcManual)
        ReportDebug(Reminder(reminderName));
    field = value;
    UpdateKeypadSettings();
}

void TKivra::SetKeypadDigitEcho(bool value)
{
    WriteKeypadSetting(KeypadDigitEcho_, value, "KeypadDigitEcho", "KeypadDigitEcho");
}

void TKivra::SetKeypadStarKeyEnabled(bool value)
{
    WriteKeypadSetting(KeypadStarKeyEnabled_, value, "KeypadStarKeyEnabled", "KeypadStarKeyEnabled");
}

void TKivra::SetKeypadLowBatteryNotification(bool value)
{
    WriteKeypadSetting(KeypadLowBatteryNotification_, value, "KeypadLowBattery",
                       "KeypadLowBatteryNotification");
}

void TKivra::SetKeypadPostAcknowledgement(bool value)
{
    // The reminder keeps the system's own spelling.
    WriteKeypadSetting(KeypadPostAcknowledgement_, value, "KeypadPostAcknowledgement",
                       "KeypadPostAcknowlegement");
}

void TKivra::SetKeypadOnlyAcceptInitialResponse(bool value)
{
    WriteKeypadSetting(KeypadOnlyAcceptInitialResponse_, value, "KeypadOnlyAcceptInitialResponse",
                       "KeypadOnlyAcceptInitialResponse");
}

void TKivra::SetKeypadConfigurationMode(rstKeypadConfigurationMode value)
{
    WriteKeypadSetting(KeypadConfigurationMode_, value, "KeypadConfigurationMode", nullptr);
}

void TKivra::SetKeypadAddressChannelShortcutsEnabled(bool value)
{
    WriteKeypadSetting(KeypadAddressChannelShortcutsEnabled_, value, "KeypadAddressChannelShortcutsEnabled",
                       "KeypadAddressChannelShortcutsEnabled");
}

void TKivra::SetKeypadGlobalConfigurationLock(bool value)
{
    if (KivraModel_ == rstKivraModel::mKivraSol && value)
        ReportDebug("** KeypadGlobalConfigurationLock prevents Manual and Base keypad configuration changes, "
                    "regardless of KeypadConfigurationMode.");
    WriteKeypadSetting(KeypadGlobalConfigurationLock_, value, "KeypadGlobalConfigurationLock", nullptr);
}

void TKivra::SetKeypadSoftkeysEnabled(bool value)
{
    WriteKeypadSetting(KeypadSoftkeysEnabled_, value, "KeypadSoftkeysEnabled", "KeypadSoftkeysEnabled");
}

void TKivra::SetKeypadTransmitPowerLevel(rstKeypadPowerLevel value)
{
    WriteKeypadSetting(KeypadTransmitPowerLevel_, value, "KeypadTransmitPowerLevel",
                       "KeypadTransmitPowerLevel");
}

void TKivra::UpdateKeypadSettings()
{
    if (!GetConnected()) {
        // Kept until a later write while connected sends them, or the base's status overwrites them.
        ReportDebug("UpdateKeypadSettings - must be connected to update keypad settings.");
        return;
    }

    std::string cBits;
    cBits += Bit(KeypadConfigurationMode_ == rstKeypadConfigurationMode::kpcBase);
    cBits += "00";
    cBits += Bit(KeypadOnlyAcceptInitialResponse_);
    cBits += Bit(KeypadPostAcknowledgement_);
    cBits += Bit(KeypadLowBatteryNotification_);
    cBits += Bit(KeypadStarKeyEnabled_);
    cBits += Bit(!KeypadDigitEcho_); // the bit switches echo off
    std::string command;
    std::string description;
    BuildSettingsCommand(proto::kCmdSettingsCHead, BinToInt(cBits), command, description);
    SendToBase(command, description);

    std::string dBits = PowerBits(KeypadTransmitPowerLevel_);
    dBits += "000";
    dBits += Bit(KeypadSoftkeysEnabled_);
    if (KeypadGlobalConfigurationLock_)
        ReportDebug("** KeypadGlobalConfigurationLock is enabled and will block future keypad configuration "
                    "changes from taking effect until KeypadGlobalConfigurationLock is disabled.");
    dBits += Bit(KeypadGlobalConfigurationLock_);
    dBits += Bit(KeypadAddressChannelShortcutsEnabled_);
    ReportDebug("preconversion:\"" + dBits + "\"");
    BuildSettingsCommand(proto::kCmdSettingsDHead, BinToInt(dBits), command, description);
    SendToBase(command, description);
}

void TKivra::ParseBaseStatus(const std::string& Message)
{
    ++Counters_.StatusAnswers;
    if (DebugWanted())
        ReportDebug("ParsingBaseStatus: " + Message);

    // A status without both settings heads carries no settings: decoding some other byte would
    // change every keypad setting, and the next write would push that to the keypads.
    if (Message.find(proto::kCmdSettingsCHead) == std::string::npos ||
        Message.find(proto::kCmdSettingsDHead) == std::string::npos) {
        ReportDebug("Base status holds no keypad settings - settings left unchanged");
        return;
    }

    // Stored as they are: no model check, no reminder, no command.
    const std::string c = IntToBin(SettingsByte(Message, proto::kCmdSettingsCHead), 8);
    ReportDebug("C Settings=\"" + c + "\"");
    KeypadDigitEcho_ = c[7] == '0';
    KeypadStarKeyEnabled_ = c[6] == '1';
    KeypadLowBatteryNotification_ = c[5] == '1';
    KeypadPostAcknowledgement_ = c[4] == '1';
    KeypadOnlyAcceptInitialResponse_ = c[3] == '1';
    KeypadConfigurationMode_ =
        c[0] == '1' ? rstKeypadConfigurationMode::kpcBase : rstKeypadConfigurationMode::kpcManual;

    const std::string d = IntToBin(SettingsByte(Message, proto::kCmdSettingsDHead), 8);
    ReportDebug("D Settings=\"" + d + "\"");
    KeypadAddressChannelShortcutsEnabled_ = d[7] == '1';
    KeypadGlobalConfigurationLock_ = d[6] == '1';
    KeypadSoftkeysEnabled_ = d[5] == '1';
    if (d[0] == '1')
        KeypadTransmitPowerLevel_ =
            d[1] == '1' ? rstKeypadPowerLevel::powHigh : rstKeypadPowerLevel::powMidHigh;
    else
        KeypadTransmitPowerLevel_ =
            d[1] == '1' ? rstKeypadPowerLevel::powLowMid : rstKeypadPowerLevel::powLow;
}

// --- Key locks ----------------------------------------------------------------------------------

int TKivra::KeyIndex(const std::string& Key)
{
    if (Key == "*")
        return static_cast<int>(kStarKey);
    int value = -1;
    try {
        value = StrToInt(Key);
    } catch (const EConvertError&) {
        value = -1;
    }
    if (value < 0 || value > 9) {
        ReportError(kErrArgument, std::string(texts::kKeyValueInvalid));
        return -1;
    }
    return value;
}

bool TKivra::IsKeyLocked(const std::string& Key)
{
    const int index = KeyIndex(Key);
    if (index < 0)
        return false; // reported; an invalid name reads no entry
    return KeyLocks_[kWantedLocks][static_cast<std::size_t>(index)] == kLocked;
}

void TKivra::LockKey(const std::string& Key)
{
    const int index = KeyIndex(Key);
    if (index < 0)
        return;
    KeyLocks_[kWantedLocks][static_cast<std::size_t>(index)] = kLocked;
    ApplyKeyLocks();
}

void TKivra::UnlockKey(const std::string& Key)
{
    const int index = KeyIndex(Key);
    if (index < 0)
        return;
    KeyLocks_[kWantedLocks][static_cast<std::size_t>(index)] = kUnlocked;
    ApplyKeyLocks();
}

void TKivra::ApplyKeyLocks()
{
    // While disconnected the applied set stays, so the next Connect sends the wanted one.
    if (!GetConnected())
        return;

    const auto& wanted = KeyLocks_[kWantedLocks];
    const auto& applied = KeyLocks_[kAppliedLocks];
    int locked = 0;
    int newlyUnlocked = 0;
    // The "*" key counts as well: the base can only drop a lock by clearing all of them.
    for (std::size_t k = 0; k < kKeyCount; ++k) {
        if (wanted[k] == kLocked)
            ++locked;
        else if (applied[k] == kLocked)
            ++newlyUnlocked;
    }

    if (newlyUnlocked > 0 || locked == 0)
        SendToBase(std::string(proto::kCmdUnlockAll.bytes), std::string(proto::kCmdUnlockAll.description));

    if (locked > 0) {
        const bool starLocked = wanted[kStarKey] == kLocked;
        const int digitsLocked = locked - (starLocked ? 1 : 0);
        if (digitsLocked == 10) {
            SendToBase(std::string(proto::kCmdLockAllDigits.bytes),
                       std::string(proto::kCmdLockAllDigits.description));
        } else {
            for (std::size_t d = 0; d < 10; ++d) {
                if (wanted[d] != kLocked)
                    continue;
                const char digit = static_cast<char>('0' + d);
                SendToBase(std::string{proto::kCmdLockDigitHead, digit},
                           std::string("ApplyKeyLocks() - Lock \"") + digit + "\" Key");
            }
        }
        if (starLocked)
            SendToBase(std::string(proto::kCmdLockStar.bytes), std::string(proto::kCmdLockStar.description));
    }

    KeyLocks_[kAppliedLocks] = KeyLocks_[kWantedLocks];
}

// --- Base channel and base requests -------------------------------------------------------------

void TKivra::SetBaseChannel(int Channel)
{
    if (KivraModel_ != rstKivraModel::mKivraSol)
        return;
    if (!GetConnected()) {
        ReportError(kErrState, std::string(texts::kChannelNotConnected));
        return;
    }
    if (Channel < 1 || Channel > 15) {
        ReportError(kErrArgument, std::string(texts::kChannelOutOfRange));
        return;
    }
    // BaseChannel itself follows the base's next channel message.
    SendToBase(std::string{proto::kCmdSetChannelHead, HexDigit(static_cast<unsigned>(Channel))},
               std::string(proto::kDescSetChannel) + std::to_string(Channel) + ")");
}

void TKivra::RequestBaseVersionInfo()
{
    if (!GetConnected())
        return ReportError(kErrState, std::string(texts::kNotConnectedToReadProperties));
    SendToBase(std::string(proto::kCmdRequestVersion.bytes),
               std::string(proto::kCmdRequestVersion.description));
}

void TKivra::RequestBaseStatus()
{
    if (!GetConnected())
        return ReportError(kErrState, std::string(texts::kNotConnectedToRequestStatus));
    SendToBase(std::string(proto::kCmdRequestStatus.bytes),
               std::string(proto::kCmdRequestStatus.description));
}

void TKivra::RequestBaseChannel()
{
    if (!GetConnected())
        return ReportError(kErrState, std::string(texts::kNotConnectedToReadChannel));
    SendToBase(std::string(proto::kCmdRequestChannel.bytes),
               std::string(proto::kCmdRequestChannel.description));
}

void TKivra::RequestBaseSerialNumber()
{
    if (!GetConnected())
        return ReportError(kErrState, std::string(texts::kNotConnectedToReadProperties));
    SendToBase(std::string(proto::kCmdRequestSerial.bytes),
               std::string(proto::kCmdRequestSerial.description));
}

} // namespace kivra
