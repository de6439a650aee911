// The configuration dialog on its own: key pictures, check boxes, Configure Via, buttons, hints.

#include "app/RadioGroup.h"
#include "app/frmCommands.h"
#include "core/Exception.h"

#include <QCheckBox>
#include <QComboBox>
#include <QHelpEvent>
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
    EXPECT_EQ(dialog.btnApply->text(), QStringLiteral("OK"));
    EXPECT_EQ(dialog.btnDoWork->text(), QStringLiteral("Apply"));
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
    const QRect drawing = dialog.imgKeypad->geometry();
    EXPECT_EQ(drawing, QRect(272, 24, 220, 518));
    for (const auto& p : places) {
        EXPECT_EQ(p.Image->pos(), p.At) << p.Image->objectName().toStdString();
        EXPECT_TRUE(drawing.contains(p.Image->geometry()));
    }
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
    EXPECT_TRUE(Dialog.chkStarKey->isChecked());
    EXPECT_TRUE(StarShownEnabled());
    Dialog.chkStarKey->setChecked(false);
    EXPECT_FALSE(StarShownEnabled());
    EXPECT_FALSE(Dialog.imgKeyA->isHidden());
    ClickBox(Dialog.chkStarKey);
    EXPECT_TRUE(StarShownEnabled());
    Click(Dialog.imgKeyAAct);
    EXPECT_FALSE(Dialog.chkStarKey->isChecked());
}

TEST_F(CommandsDialog, OneSoftKeyClickSwitchesAllThree)
{
    Click(Dialog.imgSKey[1]);
    EXPECT_TRUE(Dialog.chkSoftKeys->isChecked());
    EXPECT_EQ(SoftKeysShownEnabled(), 3);
    Click(Dialog.imgSKeyAct[2]);
    EXPECT_FALSE(Dialog.chkSoftKeys->isChecked());
    EXPECT_EQ(SoftKeysShownEnabled(), 0);
}

TEST_F(CommandsDialog, ConfigureViaKeypadDisablesStarAndSoftKeyPicturesOnly)
{
    Dialog.rgrpConfigure->Button(0)->click(); // "Keypad"
    EXPECT_EQ(Dialog.GetConfigureIndex(), 0);
    Click(Dialog.imgKeyA);
    Click(Dialog.imgSKey[0]);
    EXPECT_FALSE(Dialog.chkStarKey->isChecked());
    EXPECT_FALSE(Dialog.chkSoftKeys->isChecked());
    EXPECT_EQ(SoftKeysShownEnabled(), 0);

    // The check boxes and the digit keys still work, and the pictures follow the check boxes.
    ClickBox(Dialog.chkSoftKeys);
    EXPECT_EQ(SoftKeysShownEnabled(), 3);
    Click(Dialog.imgSKeyAct[0]);
    EXPECT_TRUE(Dialog.chkSoftKeys->isChecked());
    Click(Dialog.imgKey[3]);
    EXPECT_TRUE(Dialog.KeyEnabledShown(3));

    Dialog.SetConfigureIndex(1);
    EXPECT_TRUE(Dialog.imgKeyA->isEnabled());
    EXPECT_TRUE(Dialog.imgSKeyAct[2]->isEnabled());
    Click(Dialog.imgKeyA);
    EXPECT_TRUE(Dialog.chkStarKey->isChecked());
}

TEST_F(CommandsDialog, OkAcceptsCancelAndEscapeReject)
{
    Dialog.hide();
    Dialog.open();
    Click(Dialog.btnApply);
    EXPECT_EQ(Dialog.result(), QDialog::Accepted);
    EXPECT_FALSE(Dialog.isVisible());

    Dialog.open();
    Click(Dialog.btnCancel);
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
    Click(Dialog.btnDoWork);
    EXPECT_EQ(applied, 1);
    EXPECT_TRUE(Dialog.isVisible());
    Click(Dialog.btnDoWork); // an error ends that apply and is shown; the dialog stays
    EXPECT_EQ(applied, 2);
    EXPECT_EQ(handled, "write failed");
    EXPECT_TRUE(Dialog.isVisible());
    kivra::SetExceptionHandler(previous);
}

TEST_F(CommandsDialog, PowerIndexOnlyForTextsThatNameAnItem)
{
    Dialog.cboTransPower->setCurrentIndex(2);
    EXPECT_EQ(Dialog.GetTransPowerIndex(), 2);
    Dialog.cboTransPower->lineEdit()->clear();
    QTest::keyClicks(Dialog.cboTransPower->lineEdit(), QStringLiteral("Medium"));
    EXPECT_EQ(Dialog.GetTransPowerIndex(), -1);
    QTest::keyClick(Dialog.cboTransPower->lineEdit(), Qt::Key_Return); // typing never adds items
    EXPECT_EQ(Dialog.cboTransPower->count(), 4);
    EXPECT_EQ(Dialog.GetTransPowerIndex(), -1);
    Dialog.cboTransPower->setEditText(QStringLiteral("low-medium"));
    EXPECT_EQ(Dialog.GetTransPowerIndex(), 1);
}

TEST_F(CommandsDialog, HintsKeepTheirSeparatorsAndShowAsLines)
{
    EXPECT_EQ(
        Dialog.chkDigitalEcho->toolTip(),
        QStringLiteral("When checked, a key that is pressed will display the value of the key on the keypad "
                       "display.\r\nFor example, with digit echo on, pressing key 2 displays \"2\" on the "
                       "keypad display."));
    EXPECT_EQ(Dialog.chkStarKey->toolTip(),
              QStringLiteral("When checked, the '*' keypad key will be enabled.\n\rBy "
                             "default the '*' key is disabled."));
    EXPECT_TRUE(Dialog.chkLockConfig->toolTip().endsWith(QStringLiteral("\n\r changing keypad settings.")));
    EXPECT_EQ(Dialog.chkInitResponse->toolTip().count(QStringLiteral("\n\r")), 4);
    for (QWidget* w : {static_cast<QWidget*>(Dialog.lblPower), static_cast<QWidget*>(Dialog.rgrpConfigure),
                       static_cast<QWidget*>(Dialog.chkShortCuts)})
        EXPECT_FALSE(w->toolTip().isEmpty()) << w->objectName().toStdString();

    // Shown with plain line breaks by the application-wide hint display.
    QHelpEvent help(QEvent::ToolTip, QPoint(5, 5), Dialog.chkStarKey->mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(Dialog.chkStarKey, &help);
    if (!QToolTip::isVisible())
        GTEST_SKIP() << "this platform shows no tool tips";
    EXPECT_EQ(QToolTip::text(),
              QStringLiteral(
                  "When checked, the '*' keypad key will be enabled.\nBy default the '*' key is disabled."));
    QToolTip::hideText();
}

} // namespace
