#pragma once
// TfrmCommands: the keypad configuration dialog. It shows the control's ten keypad settings and a
// keypad drawing whose keys are clicked to enable or disable them. The main window loads it from
// the control (InitializeSettingsForm) and writes it back (applyConfigChanges); the dialog itself
// only keeps the key pictures and the check boxes in step.

#include <QDialog>
#include <QLabel>

#include <array>
#include <functional>
#include <memory>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QPushButton;

namespace Ui {
class TfrmCommands;
}

namespace kivra {

class TRadioGroup;

//! A key picture over the keypad drawing. Click = press and release inside it; a disabled image
//! ignores clicks.
class TKeyImage : public QLabel {
public:
    explicit TKeyImage(QWidget* parent = nullptr);
    std::function<void()> OnClick;

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    bool Pressed_ = false;
};

//! Hint texts of the dialog by control name, with their stored line separators.
QString CommandsHint(const char* controlName);

//! The pictures: the keypad drawing (any size; designed at 220 x 518) and one key image in its
//! plain (disabled or locked) or enabled look.
QPixmap PaintKeypadDrawing(QSize size);
QPixmap PaintKeyImage(const QString& label, bool enabled, QSize size, bool softKey = false,
                      bool clearKey = false);

class TfrmCommands : public QDialog {
public:
    explicit TfrmCommands(QWidget* parent = nullptr);
    ~TfrmCommands() override;

    QGroupBox* grpSettings = nullptr;
    //! "Configure Via": items "Keypad" (0) and "Base" (1).
    TRadioGroup* rgrpConfigure = nullptr;
    QCheckBox* chkDigitalEcho = nullptr;
    QCheckBox* chkStarKey = nullptr;
    QCheckBox* chkLowBattery = nullptr;
    QCheckBox* chkPostAck = nullptr;
    QCheckBox* chkShortCuts = nullptr;
    QCheckBox* chkSoftKeys = nullptr;
    QCheckBox* chkInitResponse = nullptr;
    QCheckBox* chkLockConfig = nullptr;
    QLabel* lblPower = nullptr;
    QComboBox* cboTransPower = nullptr; //!< editable; items "Low", "Low-Medium", "Medium-High", "High"
    QPushButton* btnApply = nullptr;    //!< "OK"
    QPushButton* btnCancel = nullptr;   //!< "Cancel", also Escape
    QPushButton* btnDoWork = nullptr;   //!< "Apply"

    QLabel* imgKeypad = nullptr;
    std::array<TKeyImage*, 10> imgKey{};    //!< imgKey0..imgKey9: plain look, key locked
    std::array<TKeyImage*, 10> imgKeyAct{}; //!< imgKey0Act..imgKey9Act: key enabled
    TKeyImage* imgKeyA = nullptr;           //!< "*" key
    TKeyImage* imgKeyAAct = nullptr;
    std::array<TKeyImage*, 3> imgSKey{}; //!< soft keys 1..3 (index 0..2)
    std::array<TKeyImage*, 3> imgSKeyAct{};
    TKeyImage* imgClear = nullptr;

    //! "Apply": runs the main window's applyConfigChanges; the dialog stays open.
    std::function<void()> OnApply;

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

protected:
    //! Centred on the window it was opened from (its parent, or the active window) at each opening.
    void showEvent(QShowEvent* event) override;

private:
    std::unique_ptr<Ui::TfrmCommands> ui;
};

//! Application-wide hint display time (ms), installed by the first TfrmCommands.
inline constexpr int kHintHidePause = 30000;

} // namespace kivra
