#include "app/frmCommands.h"

#include "app/Application.h"
#include "app/KeyImage.h"
#include "app/KeypadPictures.h"
#include "app/RadioGroup.h"
#include "ui_frmCommands.h"

#include <QApplication>
#include <QCheckBox>
#include <QHelpEvent>
#include <QRadioButton>
#include <QToolTip>

#include <cstring>

namespace kivra {

namespace {

// Shows every hint for kHintHidePause ms unless a widget asks for its own time. Hints keep their
// stored line separators; on screen each separator pair is one line break.
class THintDisplay : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() != QEvent::ToolTip || !watched->isWidgetType())
            return false;
        auto* widget = static_cast<QWidget*>(watched);
        if (widget->toolTip().isEmpty() || widget->toolTipDuration() >= 0)
            return false;
        QString text = widget->toolTip();
        text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
        text.replace(QLatin1String("\n\r"), QLatin1String("\n"));
        text.remove(QLatin1Char('\r'));
        const auto* help = static_cast<QHelpEvent*>(event);
        QToolTip::showText(help->globalPos(), text, widget, QRect(), kHintHidePause);
        return true;
    }
};

void InstallHintDisplay()
{
    static QObject* installed = nullptr;
    if (installed || !qApp)
        return;
    installed = new THintDisplay(qApp);
    qApp->installEventFilter(installed);
}

QString JoinHint(std::initializer_list<const char*> lines, const char* separator)
{
    QString text;
    for (const char* line : lines) {
        if (!text.isEmpty())
            text += QLatin1String(separator);
        text += QLatin1String(line);
    }
    return text;
}

// The check box of each switch, in the dialog's order.
std::array<std::pair<TKeypadSetting, QCheckBox*>, 8> SwitchBoxes(const Ui::TfrmCommands& ui)
{
    return {{{TKeypadSetting::DigitEcho, ui.chkDigitalEcho},
             {TKeypadSetting::StarKeyEnabled, ui.chkStarKey},
             {TKeypadSetting::LowBatteryNotification, ui.chkLowBattery},
             {TKeypadSetting::PostAcknowledgement, ui.chkPostAck},
             {TKeypadSetting::AddressChannelShortcutsEnabled, ui.chkShortCuts},
             {TKeypadSetting::SoftkeysEnabled, ui.chkSoftKeys},
             {TKeypadSetting::OnlyAcceptInitialResponse, ui.chkInitResponse},
             {TKeypadSetting::GlobalConfigurationLock, ui.chkLockConfig}}};
}

} // namespace

QString CommandsHint(const char* controlName)
{
    const char* lf = "\n\r"; // the stored separator of every hint but the first
    const QString name = QLatin1String(controlName);
    if (name == QLatin1String("chkDigitalEcho"))
        return JoinHint(
            {"When checked, a key that is pressed will display the value of the key on the keypad display.",
             "For example, with digit echo on, pressing key 2 displays \"2\" on the keypad display."},
            "\r\n");
    if (name == QLatin1String("chkStarKey"))
        return JoinHint(
            {"When checked, the '*' keypad key will be enabled.", "By default the '*' key is disabled."}, lf);
    if (name == QLatin1String("chkLowBattery"))
        return JoinHint({"When checked, a low battery warning will be given when a keypad",
                         "experiences low battery power."},
                        lf);
    if (name == QLatin1String("chkPostAck"))
        return JoinHint(
            {"When checked, a key that is pressed will display horizontal bars on the keypad display",
             "after the base has acknowledged receipt of the key press.  Acknowledge will display for",
             " three seconds."},
            lf);
    if (name == QLatin1String("chkShortCuts"))
        return JoinHint({"When checked, the keypad shortcuts for changing the",
                         "keypad address and channel are enabled."},
                        lf);
    if (name == QLatin1String("chkSoftKeys"))
        return JoinHint(
            {"When checked, the softkeys at the top of the keypad membrane will be responsive to user "
             "actions.",
             "The default base behavior sets these softkeys to inactive."},
            lf);
    if (name == QLatin1String("chkInitResponse"))
        return JoinHint({"When checked, only the keypress will be sent to the base.  This property is easy "
                         "to misunderstand.",
                         "To clarify, if this property is enabled a keypad user presses 4 can press clear "
                         "and change their "
                         "response",
                         "before the base reads the keypress value.  The user cannot press 4, then press 2 "
                         "before the base",
                         "has read the keypress value.  The 2 will be rejected by the keypad.  Once the 4 "
                         "has been read, the "
                         "user",
                         "can then press 2 and it will be accepted by the keypad."},
                        lf);
    if (name == QLatin1String("chkLockConfig"))
        return JoinHint(
            {"When checked, keypad manual configuration will be locked.  No shortcuts will work on the "
             "keypad.",
             "This setting is intended to prevent keypad users from inadvertently or intentionally",
             " changing keypad settings."},
            lf);
    if (name == QLatin1String("lblPower"))
        return JoinHint(
            {"Normally full power is appropriate and results in the longest range of RF communication.",
             "Occassionally when interference is a problem, experimenting with lower power levels",
             " will yield less RF interference at the expense of keypad range."},
            lf);
    if (name == QLatin1String("rgrpConfigure"))
        return JoinHint(
            {"When set to Keypad, all keypad changes must be made manually using the keypad membrane.",
             "When set to Base, all keypads that are within range and powered up will be automatically",
             "reconfigured based on the following Keypad Settings."},
            lf);
    return {};
}

TfrmCommands::TfrmCommands(QWidget* parent) : QDialog(parent), ui(std::make_unique<Ui::TfrmCommands>())
{
    ui->setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowStaysOnTopHint |
                   Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    setFixedSize(516, 556);
    setFont(UtilityFont());
    // Bold captions keep the window's face.
    for (QWidget* w : std::initializer_list<QWidget*>{ui->rgrpConfigure, ui->lblPower}) {
        QFont f = UtilityFont();
        f.setBold(true);
        w->setFont(f);
    }
    for (int i = 0; i < ui->rgrpConfigure->Count(); ++i)
        ui->rgrpConfigure->Button(i)->setFont(UtilityFont());

    imgKey = {ui->imgKey0, ui->imgKey1, ui->imgKey2, ui->imgKey3, ui->imgKey4,
              ui->imgKey5, ui->imgKey6, ui->imgKey7, ui->imgKey8, ui->imgKey9};
    imgKeyAct = {ui->imgKey0Act, ui->imgKey1Act, ui->imgKey2Act, ui->imgKey3Act, ui->imgKey4Act,
                 ui->imgKey5Act, ui->imgKey6Act, ui->imgKey7Act, ui->imgKey8Act, ui->imgKey9Act};
    imgKeyA = ui->imgKeyA;
    imgKeyAAct = ui->imgKeyAAct;
    imgSKey = {ui->imgSKey1, ui->imgSKey2, ui->imgSKey3};
    imgSKeyAct = {ui->imgSKey1Act, ui->imgSKey2Act, ui->imgSKey3Act};
    imgClear = ui->imgClear;

    // Pictures, and at creation every plain image shown, every "Act" image hidden.
    ui->imgKeypad->setAttribute(Qt::WA_TranslucentBackground);
    ui->imgKeypad->setPixmap(PaintKeypadDrawing(ui->imgKeypad->size()));
    for (int d = 0; d < 10; ++d) {
        const QString label = QString::number(d);
        imgKey[d]->setPixmap(PaintKeyImage(label, false, imgKey[d]->size()));
        imgKeyAct[d]->setPixmap(PaintKeyImage(label, true, imgKeyAct[d]->size()));
        imgKey[d]->OnClick = [this, d] { imgKeyClick(d); };
        imgKeyAct[d]->OnClick = [this, d] { imgKeyActClick(d); };
        imgKeyAct[d]->hide();
    }
    imgKeyA->setPixmap(PaintKeyImage(QStringLiteral("*"), false, imgKeyA->size()));
    imgKeyAAct->setPixmap(PaintKeyImage(QStringLiteral("*"), true, imgKeyAAct->size()));
    imgKeyA->OnClick = [this] { ui->chkStarKey->setChecked(true); };
    imgKeyAAct->OnClick = [this] { ui->chkStarKey->setChecked(false); };
    imgKeyAAct->hide();
    for (int n = 0; n < 3; ++n) {
        const QString label = QStringLiteral("S%1").arg(n + 1);
        imgSKey[n]->setPixmap(PaintKeyImage(label, false, imgSKey[n]->size(), true));
        imgSKeyAct[n]->setPixmap(PaintKeyImage(label, true, imgSKeyAct[n]->size(), true));
        imgSKey[n]->OnClick = [this] { ui->chkSoftKeys->setChecked(true); };
        imgSKeyAct[n]->OnClick = [this] { ui->chkSoftKeys->setChecked(false); };
        imgSKeyAct[n]->hide();
    }
    imgClear->setPixmap(PaintKeyImage(QStringLiteral("CLR"), false, imgClear->size(), false, true));

    ui->cboTransPower->setCurrentIndex(-1);

    // FormCreate: hints on, shown for 30 s application-wide.
    InstallHintDisplay();
    for (QWidget* w : std::initializer_list<QWidget*>{
             ui->chkDigitalEcho, ui->chkStarKey, ui->chkLowBattery, ui->chkPostAck, ui->chkShortCuts,
             ui->chkSoftKeys, ui->chkInitResponse, ui->chkLockConfig, ui->lblPower, ui->rgrpConfigure})
        w->setToolTip(CommandsHint(w->objectName().toLatin1().constData()));

    connect(ui->chkStarKey, &QCheckBox::toggled, this, [this] { chkStarKeyClick(); });
    connect(ui->chkSoftKeys, &QCheckBox::toggled, this, [this] { chkSoftKeysClick(); });
    ui->rgrpConfigure->SetOnClick([this] { rgrpConfigureClick(); });
    connect(ui->btnApply, &QPushButton::clicked, this, &QDialog::accept);
    connect(ui->btnCancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(ui->btnDoWork, &QPushButton::clicked, this, [this] {
        // The apply ends at a failing write; the dialog stays open.
        if (OnApply)
            Guarded(OnApply);
    });
}

TfrmCommands::~TfrmCommands() = default;

void TfrmCommands::showEvent(QShowEvent* event)
{
    QWidget* over = parentWidget() ? parentWidget()->window() : QApplication::activeWindow();
    if (over && over != this && over->isVisible()) {
        QRect frame = frameGeometry();
        frame.moveCenter(over->frameGeometry().center());
        move(frame.topLeft());
    }
    QDialog::showEvent(event);
}

void TfrmCommands::SetConfiguration(const TKeypadConfiguration& configuration)
{
    const TKeypadSettings& s = configuration.Settings;
    SetConfigureIndex(s.ConfigurationMode == rstKeypadConfigurationMode::kpcBase ? 1 : 0);
    // Through the state-change handlers the "*" and soft key pictures follow.
    for (const auto& [setting, box] : SwitchBoxes(*ui))
        box->setChecked(KeypadSettingRow(setting).Read(s) != 0);
    // The items are the power levels in their order.
    ui->cboTransPower->setCurrentIndex(static_cast<int>(s.TransmitPowerLevel));
    for (int d = 0; d <= 9; ++d)
        ShowKeyLocked(d, configuration.KeyLocked[static_cast<std::size_t>(d)]);
    SetStarAndSoftKeyImagesEnabled(s.ConfigurationMode != rstKeypadConfigurationMode::kpcManual);
}

TKeypadConfiguration TfrmCommands::Configuration() const
{
    TKeypadConfiguration c;
    TKeypadSettings& s = c.Settings;
    s.ConfigurationMode = GetConfigureIndex() == 1 ? rstKeypadConfigurationMode::kpcBase
                                                   : rstKeypadConfigurationMode::kpcManual;
    for (const auto& [setting, box] : SwitchBoxes(*ui))
        KeypadSettingRow(setting).Write(s, box->isChecked() ? 1 : 0);
    const int power = GetTransPowerIndex();
    c.TransmitPowerChosen = power >= 0;
    if (c.TransmitPowerChosen)
        s.TransmitPowerLevel = static_cast<rstKeypadPowerLevel>(power);
    for (int d = 0; d <= 9; ++d)
        c.KeyLocked[static_cast<std::size_t>(d)] = !KeyEnabledShown(d);
    return c;
}

int TfrmCommands::GetConfigureIndex() const
{
    return ui->rgrpConfigure->ItemIndex();
}

void TfrmCommands::SetConfigureIndex(int index)
{
    ui->rgrpConfigure->SetItemIndex(index);
}

int TfrmCommands::GetTransPowerIndex() const
{
    // A typed text counts only when it names an item, as a list with typing would match it.
    return ui->cboTransPower->findText(ui->cboTransPower->currentText(), Qt::MatchFixedString);
}

bool TfrmCommands::KeyEnabledShown(int digit) const
{
    return digit >= 0 && digit < 10 && !imgKeyAct[digit]->isHidden();
}

bool TfrmCommands::KeyLockedShown(int digit) const
{
    return digit >= 0 && digit < 10 && !imgKey[digit]->isHidden();
}

void TfrmCommands::ShowKeyLocked(int digit, bool locked)
{
    if (digit < 0 || digit >= 10)
        return;
    imgKey[digit]->setVisible(locked);
    imgKeyAct[digit]->setVisible(!locked);
}

void TfrmCommands::SetStarAndSoftKeyImagesEnabled(bool enabled)
{
    for (int n = 0; n < 3; ++n) {
        imgSKey[n]->setEnabled(enabled);
        imgSKeyAct[n]->setEnabled(enabled);
    }
    imgKeyA->setEnabled(enabled);
    imgKeyAAct->setEnabled(enabled);
}

void TfrmCommands::imgKeyClick(int digit)
{
    ShowKeyLocked(digit, false);
}

void TfrmCommands::imgKeyActClick(int digit)
{
    ShowKeyLocked(digit, true);
}

void TfrmCommands::chkStarKeyClick()
{
    const bool checked = ui->chkStarKey->isChecked();
    imgKeyA->setVisible(!checked);
    imgKeyAAct->setVisible(checked);
}

void TfrmCommands::chkSoftKeysClick()
{
    const bool checked = ui->chkSoftKeys->isChecked();
    for (int n = 0; n < 3; ++n) {
        imgSKey[n]->setVisible(!checked);
        imgSKeyAct[n]->setVisible(checked);
    }
}

void TfrmCommands::rgrpConfigureClick()
{
    SetStarAndSoftKeyImagesEnabled(ui->rgrpConfigure->ItemIndex() == 1);
}

} // namespace kivra
