#pragma once
// TfrmCommands: the keypad configuration dialog. It shows the control's ten keypad settings and a
// keypad drawing whose keys are clicked to enable or disable them. The main window hands it a
// TKeypadConfiguration before it opens (InitializeSettingsForm) and takes the one it shows back
// (applyConfigChanges); the dialog itself only keeps the key pictures and the check boxes in step.

#include "control/KeypadSettingTable.h"

#include <QDialog>

#include <array>
#include <functional>
#include <memory>
#include <span>

namespace Ui {
class TfrmCommands;
}

namespace kivra {

class TKeyImage;
class TRadioGroup;

//! The settings in the order the dialog lists them, top to bottom; applying writes them in this
//! order, the transmit power last.
inline constexpr std::array<TKeypadSetting, kKeypadSettingCount> kDialogSettings{
    TKeypadSetting::ConfigurationMode,       TKeypadSetting::DigitEcho,
    TKeypadSetting::StarKeyEnabled,          TKeypadSetting::LowBatteryNotification,
    TKeypadSetting::PostAcknowledgement,     TKeypadSetting::AddressChannelShortcutsEnabled,
    TKeypadSetting::SoftkeysEnabled,         TKeypadSetting::OnlyAcceptInitialResponse,
    TKeypadSetting::GlobalConfigurationLock, TKeypadSetting::TransmitPowerLevel,
};

//! What the dialog shows and hands back.
struct TKeypadConfiguration {
    TKeypadSettings Settings;
    //! False when the typed power text names no item: the transmit power is then left alone.
    bool TransmitPowerChosen = true;
    //! Digit keys 0..9: true for a key wanted locked.
    std::array<bool, 10> KeyLocked{};

    //! The settings an apply writes, in the dialog's order: all ten, or nine without a power.
    std::span<const TKeypadSetting> Written() const
    {
        return std::span(kDialogSettings)
            .first(TransmitPowerChosen ? kKeypadSettingCount : kKeypadSettingCount - 1);
    }
};

//! Hint texts of the dialog by control name, with their stored line separators.
QString CommandsHint(const char* controlName);

class TfrmCommands : public QDialog {
public:
    explicit TfrmCommands(QWidget* parent = nullptr);
    ~TfrmCommands() override;

    //! Shows a configuration: "Configure Via", the check boxes (the "*" and soft key pictures
    //! follow), the power, the digit keys, and the "*" and soft key pictures enabled for "Base".
    void SetConfiguration(const TKeypadConfiguration& configuration);
    //! The configuration the dialog shows now.
    TKeypadConfiguration Configuration() const;

    //! "Apply": runs the main window's applyConfigChanges; the dialog stays open.
    std::function<void()> OnApply;

    //! The key pictures over the keypad drawing.
    std::array<TKeyImage*, 10> imgKey{};    //!< imgKey0..imgKey9: plain look, key locked
    std::array<TKeyImage*, 10> imgKeyAct{}; //!< imgKey0Act..imgKey9Act: key enabled
    TKeyImage* imgKeyA = nullptr;           //!< "*" key
    TKeyImage* imgKeyAAct = nullptr;
    std::array<TKeyImage*, 3> imgSKey{}; //!< soft keys 1..3 (index 0..2)
    std::array<TKeyImage*, 3> imgSKeyAct{};
    TKeyImage* imgClear = nullptr;

    //! rgrpConfigure's ItemIndex: 0 "Keypad", 1 "Base". Setting it runs the change handler when
    //! the selection changes.
    int GetConfigureIndex() const;
    void SetConfigureIndex(int index);

    //! Selected power item 0..3, or -1 when the typed text is not one of the items.
    int GetTransPowerIndex() const;

    //! Digit key d (0..9): true when its "Act" image is shown (the key wanted enabled).
    bool KeyEnabledShown(int digit) const;
    //! Digit key d (0..9): true when its plain image is shown (the key wanted locked).
    bool KeyLockedShown(int digit) const;
    //! Shows the plain image when locked, the "Act" twin otherwise.
    void ShowKeyLocked(int digit, bool locked);
    //! Enables or disables the "*" and soft key images (plain and "Act").
    void SetStarAndSoftKeyImagesEnabled(bool enabled);

    // Handlers.
    void imgKeyClick(int digit);
    void imgKeyActClick(int digit);
    void chkStarKeyClick();
    void chkSoftKeysClick();
    void rgrpConfigureClick();

    //! The generated form, for tests that reach the controls.
    std::unique_ptr<Ui::TfrmCommands> ui;

protected:
    //! Centred on the window it was opened from (its parent, or the active window) at each opening.
    void showEvent(QShowEvent* event) override;
};

//! Application-wide hint display time (ms), installed by the first TfrmCommands.
inline constexpr int kHintHidePause = 30000;

} // namespace kivra
