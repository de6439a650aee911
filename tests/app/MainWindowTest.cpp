// The main window against the simulated base: start-up state, connecting, polling, answers in the
// grid, the defined group, the channel, the settings dialog's round trip and closing.

#include "tests/app/MainWindowFixture.h"

#include "app/frmDebug.h"
#include "ui_frmCommands.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QRadioButton>
#include <QTimer>

#include <set>

using namespace kivra;
using namespace std::chrono_literals;
using namespace kivra::test;

TEST_F(MainWindow, StartUpState)
{
    StartSim();
    CreateWindow();
    EXPECT_EQ(w->windowTitle(), QStringLiteral("Kivra Configuration and Diagnostic Utility"));
    EXPECT_EQ(w->size(), QSize(730, 554));
    EXPECT_EQ(w->minimumSize(), w->maximumSize());

    // The simulator's port is listed with the device it stands for.
    const int index = ui().lboComPort->findText(QString::number(kPort));
    ASSERT_GE(index, 0);
    EXPECT_EQ(ui().lboComPort->currentIndex(), 0);
    EXPECT_FALSE(ui().lboComPort->isEditable());
    EXPECT_TRUE(w->PortHint().contains(QStringLiteral("%1 = ").arg(kPort)));
    EXPECT_TRUE(w->PortHint().contains(QString::fromStdString(sim->LinkPath())));

    EXPECT_EQ(ui().btnConnect->text(), QStringLiteral("Connect"));
    EXPECT_TRUE(ui().btnConnect->isEnabled());
    EXPECT_EQ(ui().btnPolling->text(), QStringLiteral("Start Polling"));
    for (QWidget* off : std::initializer_list<QWidget*>{
             ui().btnPolling, ui().lboChannel, ui().btnCndCommands, ui().rgrpKeypadAdd, ui().cboKeypads,
             ui().btnAddKeypad, ui().rgrpOption, ui().btnKeyPadInfo, ui().btnClearInfo})
        EXPECT_FALSE(off->isEnabled()) << off->objectName().toStdString();
    EXPECT_TRUE(ui().btnClear->isEnabled());
    EXPECT_TRUE(ui().StringGrid1->isEnabled());
    EXPECT_EQ(ui().lblProduct->text(), QStringLiteral("N/A"));
    EXPECT_EQ(ui().lblVersion->text(), QStringLiteral("N/A"));
    EXPECT_EQ(ui().lblBaseSerialNumber->text(), QStringLiteral("N/A"));
    EXPECT_EQ(ui().lboChannel->count(), 15);
    EXPECT_EQ(ui().lboChannel->itemText(0), QStringLiteral("1"));
    EXPECT_EQ(ui().lboChannel->itemText(14), QStringLiteral("15"));
    EXPECT_EQ(ui().lboChannel->currentIndex(), -1);
    EXPECT_EQ(ui().rgrpOption->ItemIndex(), 0);
    EXPECT_EQ(ui().rgrpOption->Items(),
              (QStringList{QStringLiteral("Serial Number"), QStringLiteral("Time Stamp")}));
    EXPECT_EQ(ui().rgrpKeypadAdd->ItemIndex(), 0);
    EXPECT_EQ(ui().edtKeypadCount->text(), QStringLiteral("0 keypads of 250"));
    EXPECT_TRUE(ui().edtKeypadCount->isReadOnly());
    EXPECT_TRUE(ui().StringGrid1->toolTip().startsWith(QStringLiteral("White  - Inactive\nGreen  - Active")));
    EXPECT_TRUE(ui().cboKeypads->toolTip().contains(QStringLiteral("\"1, 3, 5-10, 20-30, 32\"")));
    EXPECT_EQ(ui().btnCndCommands->text(), QStringLiteral("Settings..."));
    EXPECT_EQ(ui().btnClear->text(), QStringLiteral("Clear Grid"));

    // Geometry as designed.
    EXPECT_EQ(ui().GroupBox1->geometry(), QRect(7, 97, 714, 448));
    EXPECT_EQ(ui().StringGrid1->geometry(), QRect(2, 80, 703, 361));
    EXPECT_EQ(ui().ledConnect->geometry(), QRect(214, 19, 22, 16));
    EXPECT_EQ(ui().edtKeypadCount->geometry(), QRect(112, 125, 145, 17));

    // Both LEDs solid red.
    EXPECT_EQ(Centre(ui().ledConnect), kRed);
    EXPECT_EQ(Centre(ui().ledPolling), kRed);
    EXPECT_FALSE(ui().ledPolling->Blinking());
    EXPECT_TRUE(messages.isEmpty());
}

TEST_F(MainWindow, ConnectToANewerBaseFillsTheLabelsAndEnablesTheKeypadControls)
{
    StartSim();
    CreateWindow();
    ASSERT_TRUE(ConnectToSim()) << messages.join('\n').toStdString();
    EXPECT_EQ(ui().btnConnect->text(), QStringLiteral("Disconnect"));
    EXPECT_EQ(Centre(ui().ledConnect), kLime);
    const std::string version = w->KivraOCX->GetBaseVersion();
    const auto colon = version.find(':');
    ASSERT_NE(colon, std::string::npos);
    EXPECT_EQ(ui().lblProduct->text().toStdString(), version.substr(0, colon));
    EXPECT_EQ(ui().lblVersion->text().toStdString(), version.substr(colon + 2));
    EXPECT_EQ(ui().lblBaseSerialNumber->text(), QStringLiteral("104523"));
    EXPECT_EQ(ui().lboChannel->currentText(), QStringLiteral("7"));
    for (QWidget* on : std::initializer_list<QWidget*>{
             ui().rgrpOption, ui().btnKeyPadInfo, ui().btnCndCommands, ui().btnClearInfo, ui().btnPolling,
             ui().cboKeypads, ui().rgrpKeypadAdd, ui().lboChannel})
        EXPECT_TRUE(on->isEnabled()) << on->objectName().toStdString();
    EXPECT_FALSE(ui().btnAddKeypad->isEnabled());
    // The port list locks within half a second.
    EXPECT_TRUE(test::WaitUntil([&] { return !ui().lboComPort->isEnabled(); }, 1500ms));
    EXPECT_TRUE(messages.isEmpty()) << messages.join('\n').toStdString();

    // Disconnect: labels keep their texts, the port list unlocks.
    Click(ui().btnConnect);
    EXPECT_FALSE(w->KivraOCX->GetConnected());
    EXPECT_EQ(ui().btnConnect->text(), QStringLiteral("Connect"));
    EXPECT_EQ(Centre(ui().ledConnect), kRed);
    EXPECT_EQ(ui().lblBaseSerialNumber->text(), QStringLiteral("104523"));
    EXPECT_FALSE(ui().btnPolling->isEnabled());
    EXPECT_FALSE(ui().lboChannel->isEnabled());
    EXPECT_EQ(w->KivraOCX->GetKivraModel(), rstKivraModel::mAutoDetect);
    EXPECT_TRUE(test::WaitUntil([&] { return ui().lboComPort->isEnabled(); }, 1500ms));
}

TEST_F(MainWindow, OlderBaseIsRefusedAndLeftDisconnected)
{
    basesim::SimConfig cfg;
    cfg.Gen = basesim::Generation::Older;
    StartSim(cfg);
    CreateWindow();
    EXPECT_FALSE(ConnectToSim());
    EXPECT_EQ(messages, QStringList{QStringLiteral("This utility supports Kivra Sol Base Model only.")});
    EXPECT_EQ(w->KivraOCX->GetKivraModel(), rstKivraModel::mAutoDetect);
    EXPECT_EQ(ui().btnConnect->text(), QStringLiteral("Connect"));
    EXPECT_FALSE(ui().btnPolling->isEnabled());
    EXPECT_EQ(Centre(ui().ledConnect), kRed);
    EXPECT_EQ(ui().lblProduct->text(), QStringLiteral("N/A"));
}

TEST_F(MainWindow, PollingButtonAndLed)
{
    StartSim();
    CreateWindow();
    ASSERT_TRUE(ConnectToSim());
    Click(ui().btnPolling);
    EXPECT_EQ(ui().btnPolling->text(), QStringLiteral("Stop Polling"));
    EXPECT_TRUE(w->KivraOCX->GetPolling());
    EXPECT_TRUE(test::WaitUntil([&] { return sim->Streaming(); }, 2s));
    // Silver and lime in turn, every 300 ms, starting with silver.
    EXPECT_EQ(Centre(ui().ledPolling), kSilver);
    std::set<QRgb> seen;
    test::WaitUntil(
        [&] {
            seen.insert(Centre(ui().ledPolling).rgb());
            return seen.size() >= 2;
        },
        2s);
    EXPECT_EQ(seen, (std::set<QRgb>{kSilver.rgb(), kLime.rgb()}));

    Click(ui().btnPolling);
    EXPECT_EQ(ui().btnPolling->text(), QStringLiteral("Start Polling"));
    EXPECT_FALSE(ui().ledPolling->Blinking());
    EXPECT_EQ(Centre(ui().ledPolling), kRed);
    EXPECT_TRUE(test::WaitUntil([&] { return !sim->Streaming(); }, 2s));
}

TEST_F(MainWindow, KeyPressShowsInItsCellWithTheCounter)
{
    basesim::SimConfig cfg;
    cfg.SettingsC = 0x04; // low battery notification on
    cfg.SettingsD = 0xC4; // soft keys on
    StartSim(cfg);
    CreateWindow();
    ASSERT_TRUE(ConnectToSim());
    Click(ui().btnPolling);
    ASSERT_TRUE(test::WaitUntil([&] { return sim->Streaming(); }, 2s));
    sim->Press(26, '4');
    // Within a second by design; generous here for loaded machines.
    ASSERT_TRUE(test::WaitUntil([&] { return CellText(26) == QStringLiteral(" 26: 4"); }, 3s));
    EXPECT_EQ(CellColour(26), kLime);
    EXPECT_EQ(ui().edtKeypadCount->text(), QStringLiteral("1 keypad of 250"));
    sim->SoftKey(250, '<');
    sim->Notify(3);
    ASSERT_TRUE(test::WaitUntil(
        [&] { return ui().edtKeypadCount->text() == QStringLiteral("3 keypads of 250"); }, 3s))
        << CellText(250).toStdString() << "|" << CellText(3).toStdString() << "|"
        << messages.join('\n').toStdString();
    EXPECT_EQ(CellText(250), QStringLiteral("250: <"));
    EXPECT_EQ(CellText(3), QStringLiteral("  3: A"));
    EXPECT_EQ(CellColour(250), kLime);

    // A low battery turns the cell yellow at the next whole repaint.
    sim->LowBattery(250);
    sim->Press(1, '9');
    ASSERT_TRUE(test::WaitUntil([&] { return CellText(1) == QStringLiteral("  1: 9"); }, 3s));
    EXPECT_TRUE(test::WaitUntil([&] { return CellColour(250) == QColor(255, 255, 0); }, 2s));
    EXPECT_EQ(ui().edtKeypadCount->text(), QStringLiteral("4 keypads of 250"));

    Click(ui().btnClear);
    EXPECT_EQ(ui().edtKeypadCount->text(), QStringLiteral("0 keypads of 250"));
    EXPECT_EQ(CellText(26), QStringLiteral(" 26:  "));
    EXPECT_EQ(CellColour(26), QColor(Qt::white));
}

TEST_F(MainWindow, KeypadsRangeDefinesTheGroup)
{
    StartSim();
    CreateWindow();
    ASSERT_TRUE(ConnectToSim());
    QTest::keyClicks(ui().cboKeypads->lineEdit(), QStringLiteral("1-10"));
    EXPECT_EQ(ui().rgrpKeypadAdd->ItemIndex(), 1);
    EXPECT_TRUE(ui().btnAddKeypad->isEnabled());
    Click(ui().btnAddKeypad);
    EXPECT_TRUE(messages.isEmpty()) << messages.join('\n').toStdString();
    EXPECT_FALSE(ui().btnAddKeypad->isEnabled());
    EXPECT_EQ(ui().edtKeypadCount->text(), QStringLiteral("0 keypads of 10"));
    EXPECT_EQ(ui().cboKeypads->count(), 1);            // the history
    EXPECT_EQ(w->KivraOCX->GetKeypadListCount(), 250); // the control still scans all
    EXPECT_EQ(CellColour(11), QColor(206, 206, 206));
    EXPECT_EQ(CellColour(250), QColor(206, 206, 206));
    EXPECT_EQ(CellColour(10), QColor(Qt::white));

    Click(ui().btnPolling);
    sim->Press(12, '1');
    ASSERT_TRUE(test::WaitUntil([&] { return CellText(12) == QStringLiteral(" 12: 1"); }, 3s));
    EXPECT_EQ(CellColour(12), QColor(255, 74, 74));
    EXPECT_EQ(ui().edtKeypadCount->text(), QStringLiteral("0 keypads of 10"));
    sim->Press(3, '2');
    ASSERT_TRUE(
        test::WaitUntil([&] { return ui().edtKeypadCount->text() == QStringLiteral("1 keypad of 10"); }, 3s));

    // Clear Grid counts the control's list but keeps the group.
    Click(ui().btnClear);
    EXPECT_EQ(ui().edtKeypadCount->text(), QStringLiteral("0 keypads of 250"));
    EXPECT_EQ(CellColour(11), QColor(206, 206, 206));

    // "All" keeps the group of the last "Keypads:" Set.
    QTest::mouseClick(ui().rgrpKeypadAdd->Button(0), Qt::LeftButton, {}, QPoint(8, 8));
    EXPECT_EQ(ui().rgrpKeypadAdd->ItemIndex(), 0);
    EXPECT_EQ(ui().edtKeypadCount->text(), QStringLiteral("0 keypads of 10"));
    EXPECT_EQ(CellColour(11), QColor(206, 206, 206));
}

TEST_F(MainWindow, RefusedRangeTextIsReportedAndChangesNoGroup)
{
    StartSim();
    CreateWindow();
    ASSERT_TRUE(ConnectToSim());
    Click(ui().btnPolling);
    ASSERT_TRUE(test::WaitUntil([&] { return sim->Streaming(); }, 2s));
    sim->Press(5, '1');
    ASSERT_TRUE(test::WaitUntil([&] { return CellText(5) == QStringLiteral("  5: 1"); }, 3s));
    QTest::keyClicks(ui().cboKeypads->lineEdit(), QStringLiteral("1-300"));
    Click(ui().btnAddKeypad);
    EXPECT_FALSE(messages.isEmpty());
    EXPECT_EQ(w->ActiveKeypadCount, 250);
    EXPECT_EQ(ui().cboKeypads->count(), 0);
    EXPECT_FALSE(ui().btnAddKeypad->isEnabled());
    EXPECT_EQ(CellColour(100), QColor(Qt::white));
    // The text was checked first: the keypad list, the grid and the counter are as they were,
    // and answers keep arriving.
    EXPECT_EQ(w->KivraOCX->GetKeypadListCount(), 250);
    EXPECT_EQ(CellText(5), QStringLiteral("  5: 1"));
    EXPECT_EQ(ui().edtKeypadCount->text(), QStringLiteral("1 keypad of 250"));
    sim->Press(200, '2');
    EXPECT_TRUE(test::WaitUntil([&] { return CellText(200) == QStringLiteral("200: 2"); }, 3s));
}

TEST_F(MainWindow, ChannelChangeReachesTheBaseAndClearsTheGrid)
{
    StartSim();
    CreateWindow();
    ASSERT_TRUE(ConnectToSim());
    w->changeGrid(5, '1');
    ui().lboChannel->setCurrentIndex(2);
    emit ui().lboChannel->activated(2);
    EXPECT_TRUE(test::WaitUntil([&] { return sim->Channel() == 3; }, 3s));
    EXPECT_EQ(ui().edtKeypadCount->text(), QStringLiteral("0 keypads of 250"));
    EXPECT_EQ(CellText(5), QStringLiteral("  5:  "));
    EXPECT_TRUE(messages.isEmpty()) << messages.join('\n').toStdString();
}

TEST_F(MainWindow, DisconnectWhilePollingInTimestampModeKeepsWhatWasCollected)
{
    StartSim();
    CreateWindow();
    ASSERT_TRUE(ConnectToSim());
    Click(ui().btnPolling);
    QTest::mouseClick(ui().rgrpOption->Button(1), Qt::LeftButton, {}, QPoint(8, 8));
    EXPECT_TRUE(test::WaitUntil([&] { return sim->TimestampMode(); }, 3s));
    w->KivraOCXKeypadDataReceived(5, 1);
    w->KivraOCXKeypadTimestamp(5, 0, 1500, "1.3", 2, false);
    Click(ui().btnConnect);
    // The grid and the information list are not cleared.
    EXPECT_EQ(CellText(5), QStringLiteral("  5: 1"));
    EXPECT_EQ(ui().edtKeypadCount->text(), QStringLiteral("1 keypad of 250"));
    EXPECT_EQ(info.RowCount(), 1);
    EXPECT_FALSE(w->KivraOCX->GetConnected());
    EXPECT_EQ(ui().rgrpOption->ItemIndex(), 0);
    EXPECT_EQ(ui().btnPolling->text(), QStringLiteral("Start Polling"));
    EXPECT_EQ(Centre(ui().ledPolling), kRed);
    EXPECT_FALSE(ui().ledPolling->Blinking());
    EXPECT_FALSE(sim->Streaming());
    // The switch back to serial numbers ran while the base was still there.
    EXPECT_FALSE(sim->TimestampMode());

    // A new connect shows the connection LED lime again.
    ASSERT_TRUE(ConnectToSim());
    EXPECT_EQ(Centre(ui().ledConnect), kLime);
}

TEST_F(MainWindow, ClosingWhilePollingStopsPollingAndDisconnects)
{
    StartSim();
    CreateWindow();
    bool closed = false;
    w->OnFormClosed = [&] { closed = true; };
    ASSERT_TRUE(ConnectToSim());
    Click(ui().btnPolling);
    ASSERT_TRUE(test::WaitUntil([&] { return sim->Streaming(); }, 2s));
    sim->ClearHostLog();
    EXPECT_TRUE(w->close());
    EXPECT_TRUE(closed);
    EXPECT_FALSE(w->KivraOCX->GetConnected());
    EXPECT_FALSE(w->KivraOCX->GetPolling());
    EXPECT_TRUE(SimCommandSent("\x13")) << "XOFF"; // polling stopped on the base
    EXPECT_TRUE(test::WaitUntil([&] { return !sim->Streaming(); }, 2s));
}

TEST_F(MainWindow, SettingsDialogRoundTrip)
{
    StartSim();
    CreateWindow();
    ASSERT_TRUE(ConnectToSim());
    // Cancel sends nothing.
    sim->ClearHostLog();
    QTimer::singleShot(200, &commands, [&] { Click(commands.ui->btnCancel); });
    Click(ui().btnCndCommands);
    test::ProcessEventsFor(300ms);
    EXPECT_FALSE(commands.isVisible());
    const std::uint8_t c = sim->SettingsC(), d = sim->SettingsD();
    for (const std::string& command : sim->Commands())
        EXPECT_FALSE(command.size() == 2 && (command[0] == 'C' || command[0] == 'D')) << command;

    // The dialog shows the control's settings; star key on and key 7 locked with OK.
    const bool star = w->KivraOCX->GetKeypadStarKeyEnabled();
    QTimer::singleShot(200, &commands, [&] {
        EXPECT_EQ(commands.ui->chkStarKey->isChecked(), star);
        EXPECT_TRUE(commands.KeyEnabledShown(7));
        commands.ui->chkStarKey->setChecked(!star);
        commands.ShowKeyLocked(7, true);
        Click(commands.ui->btnApply);
    });
    Click(ui().btnCndCommands);
    EXPECT_EQ(w->KivraOCX->GetKeypadStarKeyEnabled(), !star);
    EXPECT_TRUE(w->KivraOCX->IsKeyLocked("7"));
    EXPECT_FALSE(w->KivraOCX->IsKeyLocked("6"));
    EXPECT_TRUE(test::WaitUntil([&] { return sim->KeyLocked('7'); }, 3s));
    EXPECT_FALSE(sim->KeyLocked('6'));
    EXPECT_TRUE(sim->SettingsC() != c || sim->SettingsD() != d);
    EXPECT_TRUE(messages.isEmpty()) << messages.join('\n').toStdString();
}

TEST_F(MainWindow, InfoListsKeypadReportsAndOptionChangesClearTheGrid)
{
    basesim::SimConfig cfg;
    cfg.Keypads = {{.Number = 4, .Serial = {0x12, 0x34, 0x56}, .Battery = 2, .Major = 1, .Minor = 3},
                   {.Number = 9, .Serial = {0xAB, 0xCD, 0xEF}, .Battery = 3, .Major = 1, .Minor = 0}};
    StartSim(cfg);
    CreateWindow();
    ASSERT_TRUE(ConnectToSim());
    Click(ui().btnPolling);
    Click(ui().btnKeyPadInfo);
    EXPECT_TRUE(info.isVisible());
    ASSERT_TRUE(test::WaitUntil([&] { return info.RowCount() == 2; }, 5s)) << info.RowCount();
    EXPECT_EQ(w->InfoRowCount, 2);
    test::ProcessEventsFor(500ms);
    EXPECT_EQ(info.RowCount(), 2);

    Click(ui().btnClearInfo);
    EXPECT_EQ(info.RowCount(), 0);
    EXPECT_EQ(w->InfoRowCount, 0);

    // An Info Option change empties the list and the grid, and switches the base's mode.
    sim->Press(4, '5');
    ASSERT_TRUE(test::WaitUntil([&] { return CellText(4) == QStringLiteral("  4: 5"); }, 3s));
    QTest::mouseClick(ui().rgrpOption->Button(1), Qt::LeftButton, {}, QPoint(8, 8));
    EXPECT_EQ(CellText(4), QStringLiteral("  4:  "));
    EXPECT_EQ(ui().edtKeypadCount->text(), QStringLiteral("0 keypads of 250"));
    EXPECT_TRUE(test::WaitUntil([&] { return sim->TimestampMode(); }, 3s));
    EXPECT_TRUE(messages.isEmpty()) << messages.join('\n').toStdString();
}

TEST_F(MainWindow, LogoOpensAboutEveryTimeAtTheSamePlace)
{
    CreateWindow();
    QList<QPoint> places;
    for (int i = 0; i < 2; ++i) {
        QTimer::singleShot(150, &about, [&] {
            if (about.isVisible())
                places << about.pos();
            about.accept();
        });
        QTest::mouseClick(ui().Image2, Qt::LeftButton);
    }
    ASSERT_EQ(places.size(), 2);
    EXPECT_EQ(places[0], places[1]);
}

TEST_F(MainWindow, DebugOutputCreatesItsWindowFirst)
{
    CreateWindow();
    EXPECT_EQ(w->DebugForm(), nullptr);
    EXPECT_FALSE(w->KivraOCX->GetDebugEventsEnabled());
    w->SetDebugOutput(true);
    ASSERT_NE(w->DebugForm(), nullptr);
    EXPECT_TRUE(w->DebugForm()->isVisible());
    EXPECT_TRUE(w->KivraOCX->GetDebugEventsEnabled());
    w->KivraOCXDebug(std::string("Sent XON \x11", 10));
    const QString text = w->DebugForm()->Memo1->toPlainText();
    EXPECT_TRUE(text.contains(QStringLiteral("Sent XON"))) << text.toStdString();
    EXPECT_FALSE(text.contains(QChar(0x11)));
    w->SetDebugOutput(false);
    EXPECT_FALSE(w->KivraOCX->GetDebugEventsEnabled());
}
