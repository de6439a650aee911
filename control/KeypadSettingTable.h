#pragma once
// The ten keypad settings of TKivra as one table: for each its property, its command-line option
// name, its caption in the configuration dialog, a short description, the names of its values,
// and how to read and write it on the control and in a settings struct. The configuration dialog,
// the main window and kivra-diag walk this table instead of naming the ten properties each.
//
// A value is a small integer: 0 or 1 for a switch, the ordinal for the configuration mode and
// the transmit power.

#include "control/Kivra.h"

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace kivra {

//! The settings in the order of the control's properties.
enum class TKeypadSetting : std::uint8_t {
    ConfigurationMode,
    DigitEcho,
    StarKeyEnabled,
    LowBatteryNotification,
    PostAcknowledgement,
    OnlyAcceptInitialResponse,
    AddressChannelShortcutsEnabled,
    GlobalConfigurationLock,
    SoftkeysEnabled,
    TransmitPowerLevel,
};
inline constexpr std::size_t kKeypadSettingCount = 10;

//! The ten values, as the control holds them at creation.
struct TKeypadSettings {
    rstKeypadConfigurationMode ConfigurationMode = rstKeypadConfigurationMode::kpcManual;
    bool DigitEcho = true;
    bool StarKeyEnabled = false;
    bool LowBatteryNotification = false;
    bool PostAcknowledgement = false;
    bool OnlyAcceptInitialResponse = false;
    bool AddressChannelShortcutsEnabled = false;
    bool GlobalConfigurationLock = false;
    bool SoftkeysEnabled = false;
    rstKeypadPowerLevel TransmitPowerLevel = rstKeypadPowerLevel::powHigh;

    bool operator==(const TKeypadSettings&) const = default;
};

struct TKeypadSettingRow {
    TKeypadSetting Setting;
    const char* Property;                    //!< "KeypadDigitEcho"
    const char* Option;                      //!< "echo": the command-line option (--echo)
    const char* Caption;                     //!< "Digit Echo": the configuration dialog's caption
    const char* Description;                 //!< "show the pressed key on the keypad display"
    std::span<const char* const> ValueNames; //!< by value: "off"/"on", "manual"/"base", "low".."high"
    int (*Get)(const TKivra&);
    //! Writes the property: model check, reminder, store and send, as the control's setter does.
    void (*Set)(TKivra&, int);
    int (*Read)(const TKeypadSettings&);
    void (*Write)(TKeypadSettings&, int);
};

//! All ten rows, in the order of TKeypadSetting.
const std::array<TKeypadSettingRow, kKeypadSettingCount>& KeypadSettingTable();
const TKeypadSettingRow& KeypadSettingRow(TKeypadSetting setting);
//! The row of a command-line option name ("star", "power"), or nullptr.
const TKeypadSettingRow* FindKeypadSetting(std::string_view option);

//! The name of a value ("on", "base", "lowmid"); "?" for a value the setting does not have.
std::string SettingValueText(const TKeypadSettingRow& row, int value);
//! The value a name stands for, case-insensitive; a switch also takes yes/no, true/false and
//! 1/0. -1 when the text names no value of the setting.
int ParseSettingValue(const TKeypadSettingRow& row, std::string_view text);

//! The ten settings as the control holds them now.
TKeypadSettings ReadKeypadSettings(const TKivra& kivra);
//! Writes the named settings to the control in the given order. Every write sends the complete
//! settings to the base (when connected); a write the control refuses ends the sequence there.
void WriteKeypadSettings(TKivra& kivra, const TKeypadSettings& settings,
                         std::span<const TKeypadSetting> which);

} // namespace kivra
