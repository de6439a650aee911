// The configuration dialog on its own: key pictures, check boxes, Configure Via, buttons, hints.

#include "app/KeyImage.h"
#include "app/RadioGroup.h"
#include "app/frmCommands.h"
#include "core/Exception.h"
#include "ui_frmCommands.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QHelpEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>
#include <QToolTip>
#include <gtest/gtest.h>

#include <stdexcept>

using kivra::TfrmCommands;
using kivra::TKeyImage;
using kivra::TKeypadConfiguration;

namespace {

void Click(QWidget* w)
{
    QTest::mouseClick(w, Qt::LeftButton, {}, QPoint(w->width() / 2, w->height() / 2));
}

// On the box itself: a check box answers clicks on its box and caption only.
void ClickBox(QCheckBox* box)
{
    QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(7, box->height() / 2));
}

class CommandsDialog : public ::testing::Test {
protected:
    void SetUp() override
    {
        Dialog.SetConfigureIndex(1); // "Base": every key picture responds
        Dialog.show();
    }
    bool StarShownEnabled() const { return !Dialog.imgKeyAAct->isHidden() && Dialog.imgKeyA->isHidden(); }
    int SoftKeysShownEnabled() const
    {
        int n = 0;
        for (int i = 0; i < 3; ++i)
            n += !Dialog.imgSKeyAct[i]->isHidden() && Dialog.imgSKey[i]->isHidden();
        return n;
    }

    TfrmCommands Dialog;
};

TEST(CommandsDialogCreation, PlainImagesShownActImagesHidden)
{
    TfrmCommands dialog;
    EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Keypad Configuration"));
    EXPECT_EQ(dialog.size(), QSize(516, 556));
    for (int d = 0; d < 10; ++d) {
        EXPECT_FALSE(dialog.imgKey[d]->isHidden()) << d;
        EXPECT_TRUE(dialog.imgKeyAct[d]->isHidden()) << d;
        EXPECT_FALSE(dialog.imgKeyAct[d]->pixmap().isNull());
        EXPECT_EQ(dialog.imgKey[d]->toolTip(), QStringLiteral("Click to enable or disable key"));
    }
    EXPECT_TRUE(dialog.imgKeyAAct->isHidden());
    EXPECT_FALSE(dialog.imgClear->isHidden());
    EXPECT_EQ(dialog.ui->btnApply->text(), QStringLiteral("OK"));
    EXPECT_EQ(dialog.ui->btnDoWork->text(), QStringLiteral("Apply"));
}

TEST(CommandsDialogCreation, KeyImagesSitAtTheirPlacesOverTheDrawing)
{
    TfrmCommands dialog;
    const struct {
        QWidget* Image;
        QPoint At;
    } places[] = {
        {dialog.imgKey[1], {328, 315}},    {dialog.imgKey[5], {365, 346}},
        {dialog.imgKeyAct[9], {402, 377}}, {dialog.imgKeyA, {328, 408}},
        {dialog.imgKey[0], {365, 408}},    {dialog.imgClear, {402, 408}},
        {dialog.imgSKey[0], {332, 245}},   {dialog.imgSKeyAct[2], {400, 245}},
    };
    const QRect drawing = dialog.ui->imgKeypad->geometry();
    EXPECT_EQ(drawing, QRect(272, 24, 220, 518));
    for (const auto& p : places) {
        EXPECT_EQ(p.Image->pos(), p.At) << p.Image->objectName().toStdString();
        EXPECT_TRUE(drawing.contains(p.Image->geometry()));
    }
}

// What the main window hands the dialog comes back unchanged, each setting through its own
// control: flipping one setting at a time shows on exactly one control.
TEST(CommandsDialogExchange, EachSettingRoundTripsThroughItsOwnControl)
{
    TfrmCommands dialog;
    const TKeypadConfiguration plain;
    dialog.SetConfiguration(plain);
    const TKeypadConfiguration shown = dialog.Configuration();
    EXPECT_EQ(shown.Settings, plain.Settings);
    EXPECT_TRUE(shown.TransmitPowerChosen);
    EXPECT_EQ(shown.KeyLocked, plain.KeyLocked);
    QStringList checkedBefore;
    for (QCheckBox* box : dialog.findChildren<QCheckBox*>())
        if (box->isChecked())
            checkedBefore << box->text();
    EXPECT_EQ(checkedBefore, QStringList{QStringLiteral("Digit Echo")});

    for (const kivra::TKeypadSettingRow& row : kivra::KeypadSettingTable()) {
        SCOPED_TRACE(row.Property);
        for (int value = 0; value < static_cast<int>(row.ValueNames.size()); ++value) {
            TKeypadConfiguration c;
            row.Write(c.Settings, value);
            dialog.SetConfiguration(c);
            EXPECT_EQ(dialog.Configuration().Settings, c.Settings) << value;
        }
        // A switch shows on the check box that carries the row's caption.
        if (row.ValueNames.size() == 2 && row.Setting != kivra::TKeypadSetting::ConfigurationMode) {
            TKeypadConfiguration c;
            row.Write(c.Settings, 1 - row.Read(c.Settings));
            dialog.SetConfiguration(c);
            QStringList changed;
            for (QCheckBox* box : dialog.findChildren<QCheckBox*>())
                if (box->isChecked() != checkedBefore.contains(box->text()))
                    changed << box->text();
            EXPECT_EQ(changed, QStringList{QString::fromLatin1(row.Caption)});
        }
    }
    EXPECT_EQ(
        dialog.ui->lblPower->text(),
        QString::fromLatin1(kivra::KeypadSettingRow(kivra::TKeypadSetting::TransmitPowerLevel).Caption));
    EXPECT_EQ(dialog.ui->rgrpConfigure->title(),
              QString::fromLatin1(kivra::KeypadSettingRow(kivra::TKeypadSetting::ConfigurationMode).Caption));
}

TEST(CommandsDialogExchange, KeyLocksModeAndAPowerThatNamesNoItem)
{
    TfrmCommands dialog;
    TKeypadConfiguration c;
    c.KeyLocked[0] = c.KeyLocked[7] = true;
    c.Settings.ConfigurationMode = kivra::rstKeypadConfigurationMode::kpcBase;
    c.Settings.TransmitPowerLevel = kivra::rstKeypadPowerLevel::powLowMid;
    dialog.SetConfiguration(c);
    for (int d = 0; d < 10; ++d)
        EXPECT_EQ(dialog.KeyLockedShown(d), d == 0 || d == 7) << d;
    EXPECT_EQ(dialog.GetConfigureIndex(), 1);
    EXPECT_TRUE(dialog.imgKeyA->isEnabled());
    EXPECT_EQ(dialog.ui->cboTransPower->currentText(), QStringLiteral("Low-Medium"));
    EXPECT_EQ(dialog.Configuration().KeyLocked, c.KeyLocked);
    EXPECT_EQ(dialog.Configuration().Written().size(), kivra::kKeypadSettingCount);

    c.Settings.ConfigurationMode = kivra::rstKeypadConfigurationMode::kpcManual;
    dialog.SetConfiguration(c);
    EXPECT_FALSE(dialog.imgKeyA->isEnabled());
    EXPECT_FALSE(dialog.imgSKeyAct[1]->isEnabled());

    // A typed text that is no item: the power is not written, everything else is.
    dialog.ui->cboTransPower->setEditText(QStringLiteral("Medium"));
    const TKeypadConfiguration typed = dialog.Configuration();
    EXPECT_FALSE(typed.TransmitPowerChosen);
    ASSERT_EQ(typed.Written().size(), kivra::kKeypadSettingCount - 1);
    for (kivra::TKeypadSetting written : typed.Written())
        EXPECT_NE(written, kivra::TKeypadSetting::TransmitPowerLevel);
}

TEST_F(CommandsDialog, DigitKeyClicksSwapTheirTwins)
{
    Click(Dialog.imgKey[7]);
    EXPECT_TRUE(Dialog.KeyEnabledShown(7));
    EXPECT_FALSE(Dialog.KeyLockedShown(7));
    Click(Dialog.imgKeyAct[7]);
    EXPECT_FALSE(Dialog.KeyEnabledShown(7));
    EXPECT_TRUE(Dialog.KeyLockedShown(7));
    EXPECT_FALSE(Dialog.KeyEnabledShown(6)); // neighbours untouched
}

TEST_F(CommandsDialog, StarKeyImageAndCheckBoxGoTogether)
{
    Click(Dialog.imgKeyA);
    EXPECT_TRUE(Dialog.ui->chkStarKey->isChecked());
    EXPECT_TRUE(StarShownEnabled());
    Dialog.ui->chkStarKey->setChecked(false);
    EXPECT_FALSE(StarShownEnabled());
    EXPECT_FALSE(Dialog.imgKeyA->isHidden());
    ClickBox(Dialog.ui->chkStarKey);
    EXPECT_TRUE(StarShownEnabled());
    Click(Dialog.imgKeyAAct);
    EXPECT_FALSE(Dialog.ui->chkStarKey->isChecked());
}

TEST_F(CommandsDialog, OneSoftKeyClickSwitchesAllThree)
{
    Click(Dialog.imgSKey[1]);
    EXPECT_TRUE(Dialog.ui->chkSoftKeys->isChecked());
    EXPECT_EQ(SoftKeysShownEnabled(), 3);
    Click(Dialog.imgSKeyAct[2]);
    EXPECT_FALSE(Dialog.ui->chkSoftKeys->isChecked());
    EXPECT_EQ(SoftKeysShownEnabled(), 0);
}

TEST_F(CommandsDialog, ConfigureViaKeypadDisablesStarAndSoftKeyPicturesOnly)
{
    Dialog.ui->rgrpConfigure->Button(0)->click(); // "Keypad"
    EXPECT_EQ(Dialog.GetConfigureIndex(), 0);
    Click(Dialog.imgKeyA);
    Click(Dialog.imgSKey[0]);
    EXPECT_FALSE(Dialog.ui->chkStarKey->isChecked());
    EXPECT_FALSE(Dialog.ui->chkSoftKeys->isChecked());
    EXPECT_EQ(SoftKeysShownEnabled(), 0);

    // The check boxes and the digit keys still work, and the pictures follow the check boxes.
    ClickBox(Dialog.ui->chkSoftKeys);
    EXPECT_EQ(SoftKeysShownEnabled(), 3);
    Click(Dialog.imgSKeyAct[0]);
    EXPECT_TRUE(Dialog.ui->chkSoftKeys->isChecked());
    Click(Dialog.imgKey[3]);
    EXPECT_TRUE(Dialog.KeyEnabledShown(3));

    Dialog.SetConfigureIndex(1);
    EXPECT_TRUE(Dialog.imgKeyA->isEnabled());
    EXPECT_TRUE(Dialog.imgSKeyAct[2]->isEnabled());
    Click(Dialog.imgKeyA);
    EXPECT_TRUE(Dialog.ui->chkStarKey->isChecked());
}

TEST_F(CommandsDialog, OkAcceptsCancelAndEscapeReject)
{
    Dialog.hide();
    Dialog.open();
    Click(Dialog.ui->btnApply);
    EXPECT_EQ(Dialog.result(), QDialog::Accepted);
    EXPECT_FALSE(Dialog.isVisible());

    Dialog.open();
    Click(Dialog.ui->btnCancel);
    EXPECT_EQ(Dialog.result(), QDialog::Rejected);

    QTimer::singleShot(0, &Dialog, [this] { QTest::keyClick(&Dialog, Qt::Key_Escape); });
    EXPECT_EQ(Dialog.exec(), QDialog::Rejected);
    EXPECT_FALSE(Dialog.isVisible());
}

TEST_F(CommandsDialog, ApplyRunsTheHandlerAndStaysOpen)
{
    int applied = 0;
    Dialog.OnApply = [&] {
        if (++applied == 2)
            throw kivra::Exception("write failed");
    };
    std::string handled;
    auto previous = kivra::SetExceptionHandler([&](const std::exception& e) { handled = e.what(); });
    Click(Dialog.ui->btnDoWork);
    EXPECT_EQ(applied, 1);
    EXPECT_TRUE(Dialog.isVisible());
    Click(Dialog.ui->btnDoWork); // an error ends that apply and is shown; the dialog stays
    EXPECT_EQ(applied, 2);
    EXPECT_EQ(handled, "write failed");
    EXPECT_TRUE(Dialog.isVisible());
    kivra::SetExceptionHandler(previous);
}

TEST_F(CommandsDialog, PowerIndexOnlyForTextsThatNameAnItem)
{
    Dialog.ui->cboTransPower->setCurrentIndex(2);
    EXPECT_EQ(Dialog.GetTransPowerIndex(), 2);
    Dialog.ui->cboTransPower->lineEdit()->clear();
    QTest::keyClicks(Dialog.ui->cboTransPower->lineEdit(), QStringLiteral("Medium"));
    EXPECT_EQ(Dialog.GetTransPowerIndex(), -1);
    QTest::keyClick(Dialog.ui->cboTransPower->lineEdit(), Qt::Key_Return); // typing never adds items
    EXPECT_EQ(Dialog.ui->cboTransPower->count(), 4);
    EXPECT_EQ(Dialog.GetTransPowerIndex(), -1);
    Dialog.ui->cboTransPower->setEditText(QStringLiteral("low-medium"));
    EXPECT_EQ(Dialog.GetTransPowerIndex(), 1);
}

TEST_F(CommandsDialog, HintsKeepTheirSeparatorsAndShowAsLines)
{
    EXPECT_EQ(
        Dialog.ui->chkDigitalEcho->toolTip(),
        QStringLiteral("When checked, a key that is pressed will display the value of the key on the keypad "
                       "display.\r\nFor example, with digit echo on, pressing key 2 displays \"2\" on the "
                       "keypad display."));
    EXPECT_EQ(Dialog.ui->chkStarKey->toolTip(),
              QStringLiteral("When checked, the '*' keypad key will be enabled.\n\rBy "
                             "default the '*' key is disabled."));
    EXPECT_TRUE(
        Dialog.ui->chkLockConfig->toolTip().endsWith(QStringLiteral("\n\r changing keypad settings.")));
    EXPECT_EQ(Dialog.ui->chkInitResponse->toolTip().count(QStringLiteral("\n\r")), 4);
    for (QWidget* w :
         {static_cast<QWidget*>(Dialog.ui->lblPower), static_cast<QWidget*>(Dialog.ui->rgrpConfigure),
          static_cast<QWidget*>(Dialog.ui->chkShortCuts)})
        EXPECT_FALSE(w->toolTip().isEmpty()) << w->objectName().toStdString();

    // Shown with plain line breaks by the application-wide hint display.
    QHelpEvent help(QEvent::ToolTip, QPoint(5, 5), Dialog.ui->chkStarKey->mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(Dialog.ui->chkStarKey, &help);
    if (!QToolTip::isVisible())
        GTEST_SKIP() << "this platform shows no tool tips";
    EXPECT_EQ(QToolTip::text(),
              QStringLiteral(
                  "When checked, the '*' keypad key will be enabled.\nBy default the '*' key is disabled."));
    QToolTip::hideText();
}

} // namespace
