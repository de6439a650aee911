// The information window, the configuration dialog and About driven through the main window,
// against the simulated base: what the user sees and what reaches the wire.

#include "app/AppWindows.h"
#include "app/Application.h"
#include "app/RadioGroup.h"
#include "basesim/BaseSimulator.h"
#include "core/Exception.h"
#include "tests/support/Simulator.h"
#include "tests/support/TestSupport.h"
#include "ui_frmCommands.h"
#include "ui_frmKivraUtil.h"

#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

using namespace kivra;
using namespace std::chrono_literals;
using basesim::BaseSimulator;
using basesim::SimConfig;
using basesim::SimKeypad;

namespace {

constexpr int kPort = 4;

void Click(QWidget* w)
{
    QTest::mouseClick(w, Qt::LeftButton, {}, QPoint(w->width() / 2, w->height() / 2));
}

void ClickBox(QCheckBox* box)
{
    QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(7, box->height() / 2));
}

class DialogsWithBase : public ::testing::Test {
protected:
    void SetUp() override
    {
        QLocale::setDefault(QLocale::c());
        SetMessageBoxFunction([this](const QString& text) { Messages << text; });
        PreviousHandler = SetExceptionHandler([this](const std::exception& e) { Messages << e.what(); });
        Main.show();
        Main.activateWindow();
    }
    void TearDown() override
    {
        if (Main.KivraOCX->GetConnected())
            Main.btnConnectClick();
        SetExceptionHandler(PreviousHandler);
        SetMessageBoxFunction({});
        QLocale::setDefault(QLocale::system());
    }

    void StartBase(SimConfig config = {}) { Base = test::StartSimulator(std::move(config), kPort); }
    void ConnectAndPoll()
    {
        Main.ui->lboComPort->clear();
        Main.LoadPorts();
        Main.ui->lboComPort->setCurrentText(QString::number(kPort));
        Click(Main.ui->btnConnect);
        ASSERT_TRUE(Main.KivraOCX->GetConnected()) << Messages.join(" | ").toStdString();
        Click(Main.ui->btnPolling);
        ASSERT_TRUE(test::WaitUntil([&] { return Base->Streaming(); }));
    }
    //! Commands of the keypad settings and key locks since the last ClearHostLog.
    std::vector<std::string> SettingsAndLocks() const
    {
        std::vector<std::string> picked;
        for (const std::string& c : Base->Commands())
            if (c.size() == 2 && (c[0] == 'C' || c[0] == 'D' || c[0] == 'L' || c[0] == 'K'))
                picked.push_back(c);
        return picked;
    }
    //! Presses "Settings..." and runs `inDialog` while the modal dialog is open; it must close it.
    void WithSettingsDialog(const std::function<void()>& inDialog)
    {
        bool ran = false;
        QTimer::singleShot(0, &Commands, [&] {
            ran = Commands.isVisible();
            inDialog();
        });
        QTimer::singleShot(20000, &Commands, [&] { Commands.reject(); }); // never hang the suite
        Click(Main.ui->btnCndCommands);
        EXPECT_TRUE(ran);
        EXPECT_FALSE(Commands.isVisible());
    }
    QStringList Column(int column) const
    {
        QStringList texts;
        for (int r = 0; r < Info.RowCount(); ++r)
            texts << Info.CellText(r, column);
        return texts;
    }

    std::unique_ptr<BaseSimulator> Base;
    TAppWindows Windows;
    TfrmKivraUtil& Main = Windows.Main;
    TfrmKeypadInfo& Info = Windows.Info;
    TfrmCommands& Commands = Windows.Commands;
    TfrmAbout& About = Windows.About;
    QStringList Messages;
    ExceptionHandler PreviousHandler;
};

SimConfig ThreeKeypads()
{
    SimConfig config;
    config.Keypads = {SimKeypad{3, {0x0A, 0xBC, 0x01}, 2, 1, 4}, SimKeypad{12, {0x00, 0x12, 0x34}, 3, 2, 1},
                      SimKeypad{40, {0x7F, 0x00, 0x9E}, 0, 1, 0}};
    return config;
}

TEST_F(DialogsWithBase, InfoListsSerialNumbersSortsAndClears)
{
    StartBase(ThreeKeypads());
    ConnectAndPoll();
    Click(Main.ui->btnKeyPadInfo);
    ASSERT_TRUE(test::WaitUntil([&] { return Info.RowCount() == 3; })) << Info.RowCount();
    EXPECT_TRUE(Info.isVisible());
    EXPECT_EQ(Info.lstKeypadInfo->headerItem()->text(1), QStringLiteral("Serial Number"));
    EXPECT_EQ(Main.InfoRowCount, 3);
    EXPECT_EQ(Column(0), (QStringList{"3", "12", "40"}));
    EXPECT_EQ(Column(1), (QStringList{"0ABC01", "001234", "7F009E"}));
    EXPECT_EQ(Column(2), (QStringList{"1.4", "2.1", "1.0"}));
    EXPECT_EQ(Column(3), (QStringList{"2", "3", "0"}));

    QHeaderView* header = Info.lstKeypadInfo->header();
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                      QPoint(header->sectionViewportPosition(3) + 10, header->height() / 2));
    EXPECT_EQ(Column(3), (QStringList{"0", "2", "3"}));

    Click(Main.ui->btnClearInfo);
    EXPECT_EQ(Info.RowCount(), 0);
    EXPECT_EQ(Main.InfoRowCount, 0);

    // Closing hides the window; Info... shows it again with a fresh list.
    Info.close();
    EXPECT_FALSE(Info.isVisible());
    Click(Main.ui->btnKeyPadInfo);
    EXPECT_TRUE(Info.isVisible());
    EXPECT_TRUE(test::WaitUntil([&] { return Info.RowCount() == 3; }));
    EXPECT_TRUE(Messages.isEmpty()) << Messages.join(" | ").toStdString();
}

TEST_F(DialogsWithBase, TimestampModeShowsSecondsOfTheAnswer)
{
    StartBase(ThreeKeypads());
    ConnectAndPoll();
    Base->ClearHostLog();
    // "Time Stamp" begins the question twice (the choice itself, then the clear of the grid);
    // the base counts from the last "PT", which a busy machine may write well after the first.
    Main.ui->rgrpOption->Button(1)->click();
    const auto questionsBegun = [&] {
        const std::vector<std::string> commands = Base->Commands();
        return std::count(commands.begin(), commands.end(), std::string("PT"));
    };
    ASSERT_TRUE(test::WaitUntil([&] { return questionsBegun() == 2; })) << questionsBegun();
    ASSERT_TRUE(Base->TimestampMode());
    test::ProcessEventsFor(1500ms);
    ASSERT_EQ(questionsBegun(), 2);
    Base->Press(12, '4');
    ASSERT_TRUE(test::WaitUntil([&] { return Main.KeypadValueArray[12] == '4'; }));

    Click(Main.ui->btnKeyPadInfo);
    ASSERT_TRUE(test::WaitUntil([&] { return Info.RowCount() == 1; }));
    EXPECT_EQ(Info.lstKeypadInfo->headerItem()->text(1), QStringLiteral("Time Stamp"));
    EXPECT_EQ(Info.CellText(0, 0), QStringLiteral("12"));
    // Answered 1.5 s after the question (the base counts in 50 ms steps; the machine may lag).
    const QString seconds = Info.CellText(0, 1);
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^1\\.[5-9][05]0$")).match(seconds).hasMatch())
        << seconds.toStdString();
    EXPECT_EQ(Info.CellText(0, 3), QStringLiteral("3"));
}

TEST_F(DialogsWithBase, InfoOptionChangeEmptiesListAndGrid)
{
    StartBase(ThreeKeypads());
    ConnectAndPoll();
    Base->Press(3, '8');
    ASSERT_TRUE(test::WaitUntil([&] { return Main.KeypadStateArray[3] == 1; }));
    Click(Main.ui->btnKeyPadInfo);
    ASSERT_TRUE(test::WaitUntil([&] { return Info.RowCount() == 3; }));

    Main.ui->rgrpOption->Button(1)->click();
    EXPECT_EQ(Info.RowCount(), 0);
    EXPECT_EQ(Main.KeypadStateArray[3], 0);
    EXPECT_EQ(Main.ui->StringGrid1->Cell(0, 2), QStringLiteral("  3:  "));
    EXPECT_EQ(Main.InfoRowCount, 0);
}

TEST_F(DialogsWithBase, InfoAndSettingsRefuseWithoutBase)
{
    Info.AddRow("7", {"x", "1.0", "1"});
    Main.btnKeyPadInfoClick(); // the button is disabled while disconnected: its action directly
    EXPECT_EQ(Messages, QStringList{"Base not connected."});
    EXPECT_FALSE(Info.isVisible());
    EXPECT_EQ(Info.RowCount(), 0);
    EXPECT_EQ(Info.lstKeypadInfo->headerItem()->text(0), QStringLiteral("Keypad ID"));

    QTimer::singleShot(3000, &Commands, [&] { Commands.reject(); });
    Main.btnCndCommandsClick();
    EXPECT_EQ(Messages, (QStringList{"Base not connected.", "Base is not connected."}));
    EXPECT_FALSE(Commands.isVisible());
}

TEST_F(DialogsWithBase, DialogShowsReportedSettingsAndCancelOrEscapeSendNothing)
{
    SimConfig config = ThreeKeypads();
    config.SettingsC = 0x9F; // Base, echo off, first answer, post ack, low battery, star key
    config.SettingsD = 0x47; // Low-Medium, soft keys, lock, shortcuts
    StartBase(config);
    ConnectAndPoll();
    Base->ClearHostLog();

    WithSettingsDialog([&] {
        EXPECT_EQ(Commands.GetConfigureIndex(), 1);
        EXPECT_FALSE(Commands.ui->chkDigitalEcho->isChecked());
        for (QCheckBox* on : {Commands.ui->chkStarKey, Commands.ui->chkLowBattery, Commands.ui->chkPostAck,
                              Commands.ui->chkInitResponse, Commands.ui->chkSoftKeys,
                              Commands.ui->chkLockConfig, Commands.ui->chkShortCuts})
            EXPECT_TRUE(on->isChecked()) << on->objectName().toStdString();
        EXPECT_EQ(Commands.ui->cboTransPower->currentText(), QStringLiteral("Low-Medium"));
        for (int d = 0; d < 10; ++d)
            EXPECT_TRUE(Commands.KeyEnabledShown(d)) << d; // nothing locked after connecting
        EXPECT_FALSE(Commands.imgKeyAAct->isHidden());
        const QPoint offset = Commands.frameGeometry().center() - Main.frameGeometry().center();
        EXPECT_LE(offset.manhattanLength(), 8);

        ClickBox(Commands.ui->chkDigitalEcho);
        Click(Commands.imgKeyAct[2]);
        Click(Commands.ui->btnCancel);
    });
    WithSettingsDialog([&] {
        EXPECT_FALSE(Commands.ui->chkDigitalEcho->isChecked()); // reloaded from the control
        EXPECT_TRUE(Commands.KeyEnabledShown(2));
        ClickBox(Commands.ui->chkLowBattery);
        QTest::keyClick(&Commands, Qt::Key_Escape);
    });
    test::ProcessEventsFor(300ms);
    EXPECT_TRUE(SettingsAndLocks().empty());
    EXPECT_EQ(Base->SettingsC(), 0x9F);
    EXPECT_TRUE(Messages.isEmpty()) << Messages.join(" | ").toStdString();
}

TEST_F(DialogsWithBase, OkSendsTheSettingsOncePerWrite)
{
    StartBase(ThreeKeypads()); // keypads configured by hand, echo on, high power
    ConnectAndPoll();
    Base->ClearHostLog();

    WithSettingsDialog([&] {
        EXPECT_EQ(Commands.GetConfigureIndex(), 0);
        EXPECT_TRUE(Commands.ui->chkDigitalEcho->isChecked());
        // "Keypad": the "*" and soft key pictures do not answer.
        Click(Commands.imgKeyA);
        Click(Commands.imgSKey[1]);
        EXPECT_FALSE(Commands.ui->chkStarKey->isChecked());
        EXPECT_FALSE(Commands.ui->chkSoftKeys->isChecked());

        Commands.ui->rgrpConfigure->Button(1)->click(); // "Base"
        Click(Commands.imgKeyA);
        Click(Commands.imgSKey[1]);
        for (QCheckBox* box :
             {Commands.ui->chkDigitalEcho, Commands.ui->chkLowBattery, Commands.ui->chkPostAck,
              Commands.ui->chkInitResponse, Commands.ui->chkLockConfig, Commands.ui->chkShortCuts})
            ClickBox(box);
        Commands.ui->cboTransPower->setCurrentIndex(1);
        Click(Commands.ui->btnApply);
    });
    ASSERT_TRUE(test::WaitUntil([&] { return Base->SettingsC() == 0x9F && Base->SettingsD() == 0x47; }))
        << int(Base->SettingsC()) << " " << int(Base->SettingsD());
    const auto sent = SettingsAndLocks();
    EXPECT_EQ(std::count_if(sent.begin(), sent.end(), [](const std::string& c) { return c[0] == 'C'; }), 10);
    EXPECT_EQ(std::count_if(sent.begin(), sent.end(), [](const std::string& c) { return c[0] == 'D'; }), 10);
    EXPECT_EQ(sent.back(), std::string("D\x47"));
    EXPECT_TRUE(Messages.isEmpty()) << Messages.join(" | ").toStdString();
}

TEST_F(DialogsWithBase, LockingKeySevenStopsItsAnswers)
{
    StartBase(ThreeKeypads());
    ConnectAndPoll();
    Base->ClearHostLog();

    WithSettingsDialog([&] {
        Click(Commands.imgKeyAct[7]);
        Commands.ui->cboTransPower->setEditText(QStringLiteral("Medium")); // no item: power stays
        Click(Commands.ui->btnApply);
    });
    ASSERT_TRUE(test::WaitUntil([&] { return Base->KeyLocked('7'); }));
    std::vector<std::string> locks;
    for (const std::string& c : SettingsAndLocks())
        if (c[0] == 'L' || c[0] == 'K')
            locks.push_back(c);
    EXPECT_EQ(locks, std::vector<std::string>{"L7"});
    const auto sent = SettingsAndLocks();
    EXPECT_EQ(std::count_if(sent.begin(), sent.end(), [](const std::string& c) { return c[0] == 'C'; }), 9);
    EXPECT_EQ(Base->SettingsD() & 0xC0, 0xC0); // still high power

    Base->Press(3, '7');
    Base->Press(12, '5');
    ASSERT_TRUE(test::WaitUntil([&] { return Main.KeypadValueArray[12] == '5'; }));
    test::ProcessEventsFor(600ms);
    EXPECT_EQ(Main.KeypadStateArray[3], 0);

    WithSettingsDialog([&] {
        EXPECT_FALSE(Commands.KeyEnabledShown(7));
        EXPECT_TRUE(Commands.KeyEnabledShown(6));
        Click(Commands.ui->btnCancel);
    });
}

TEST_F(DialogsWithBase, LogoOpensAboutTwiceAtTheSamePlace)
{
    QList<QPoint> places;
    for (int i = 0; i < 2; ++i) {
        QTimer::singleShot(0, &About, [&] {
            if (About.isVisible())
                places << About.pos();
            Click(About.Button1);
        });
        Click(Main.ui->Image2);
        EXPECT_FALSE(About.isVisible());
    }
    EXPECT_EQ(places, (QList<QPoint>{QPoint(462, 343), QPoint(462, 343)}));
}

} // namespace
