#include "control/KeypadSettingTable.h"

#include <algorithm>
#include <cctype>

namespace kivra {
namespace {

constexpr std::array<const char*, 2> kSwitchNames{"off", "on"};
constexpr std::array<const char*, 2> kModeNames{"manual", "base"};
constexpr std::array<const char*, 4> kPowerNames{"low", "lowmid", "midhigh", "high"};

// One row per property: the accessors differ only in the name, as the control's own properties.
#define KIVRA_SWITCH_ROW(Name, option, caption, description)                                                 \
    TKeypadSettingRow                                                                                        \
    {                                                                                                        \
        TKeypadSetting::Name, "Keypad" #Name, option, caption, description, kSwitchNames,                    \
            [](const TKivra& k) { return k.GetKeypad##Name() ? 1 : 0; },                                     \
            [](TKivra& k, int v) { k.SetKeypad##Name(v != 0); },                                             \
            [](const TKeypadSettings& s) { return s.Name ? 1 : 0; },                                         \
            [](TKeypadSettings& s, int v) { s.Name = v != 0; }                                               \
    }
#define KIVRA_CHOICE_ROW(Name, Type, names, option, caption, description)                                    \
    TKeypadSettingRow                                                                                        \
    {                                                                                                        \
        TKeypadSetting::Name, "Keypad" #Name, option, caption, description, names,                           \
            [](const TKivra& k) { return static_cast<int>(k.GetKeypad##Name()); },                           \
            [](TKivra& k, int v) { k.SetKeypad##Name(static_cast<Type>(v)); },                               \
            [](const TKeypadSettings& s) { return static_cast<int>(s.Name); },                               \
            [](TKeypadSettings& s, int v) { s.Name = static_cast<Type>(v); }                                 \
    }

const std::array<TKeypadSettingRow, kKeypadSettingCount> kTable{
    KIVRA_CHOICE_ROW(ConfigurationMode, rstKeypadConfigurationMode, kModeNames, "mode", "Configure Via",
                     "base: keypads take their settings from the base"),
    KIVRA_SWITCH_ROW(DigitEcho, "echo", "Digit Echo", "show the pressed key on the keypad display"),
    KIVRA_SWITCH_ROW(StarKeyEnabled, "star", "Star Key", "the \"*\" key"),
    KIVRA_SWITCH_ROW(LowBatteryNotification, "low-battery", "Low Battery Notification",
                     "low-battery warnings"),
    KIVRA_SWITCH_ROW(PostAcknowledgement, "post-ack", "Post Acknowlegement",
                     "bars on the display once the base acknowledged an answer"),
    KIVRA_SWITCH_ROW(OnlyAcceptInitialResponse, "first-only", "Accept Only Initial Response",
                     "accept only the first answer until the base has read it"),
    KIVRA_SWITCH_ROW(AddressChannelShortcutsEnabled, "shortcuts", "Short Cuts",
                     "the keypad shortcuts for address and channel"),
    KIVRA_SWITCH_ROW(GlobalConfigurationLock, "config-lock", "Lock Key Pads",
                     "lock every keypad configuration change"),
    KIVRA_SWITCH_ROW(SoftkeysEnabled, "softkeys", "Soft Keys", "the soft keys"),
    KIVRA_CHOICE_ROW(TransmitPowerLevel, rstKeypadPowerLevel, kPowerNames, "power", "Transmit Power",
                     "keypad transmit power"),
};

#undef KIVRA_SWITCH_ROW
#undef KIVRA_CHOICE_ROW

bool SameText(std::string_view a, std::string_view b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
    });
}

} // namespace

const std::array<TKeypadSettingRow, kKeypadSettingCount>& KeypadSettingTable()
{
    return kTable;
}

const TKeypadSettingRow& KeypadSettingRow(TKeypadSetting setting)
{
    return kTable[static_cast<std::size_t>(setting)];
}

const TKeypadSettingRow* FindKeypadSetting(std::string_view option)
{
    const auto it = std::find_if(kTable.begin(), kTable.end(),
                                 [option](const TKeypadSettingRow& row) { return option == row.Option; });
    return it == kTable.end() ? nullptr : &*it;
}

std::string SettingValueText(const TKeypadSettingRow& row, int value)
{
    if (value < 0 || static_cast<std::size_t>(value) >= row.ValueNames.size())
        return "?";
    return row.ValueNames[static_cast<std::size_t>(value)];
}

int ParseSettingValue(const TKeypadSettingRow& row, std::string_view text)
{
    for (std::size_t v = 0; v < row.ValueNames.size(); ++v)
        if (SameText(text, row.ValueNames[v]))
            return static_cast<int>(v);
    if (row.ValueNames.data() == kSwitchNames.data()) {
        for (const char* on : {"yes", "true", "1"})
            if (SameText(text, on))
                return 1;
        for (const char* off : {"no", "false", "0"})
            if (SameText(text, off))
                return 0;
    }
    return -1;
}

TKeypadSettings ReadKeypadSettings(const TKivra& kivra)
{
    TKeypadSettings settings;
    for (const TKeypadSettingRow& row : kTable)
        row.Write(settings, row.Get(kivra));
    return settings;
}

void WriteKeypadSettings(TKivra& kivra, const TKeypadSettings& settings,
                         std::span<const TKeypadSetting> which)
{
    for (const TKeypadSetting setting : which) {
        const TKeypadSettingRow& row = KeypadSettingRow(setting);
        row.Set(kivra, row.Read(settings));
    }
}

} // namespace kivra
