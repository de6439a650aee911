// The main window's port list following devices and pins, the offer to reconnect when a lost
// device comes back, and what the window remembers between runs.

#include "tests/app/MainWindowFixture.h"

#include "app/PortComboBox.h"
#include "app/WindowSettings.h"
#include "serial/PortNames.h"
#include "serial/PortPins.h"

#include <QAction>
#include <QFile>
#include <QLabel>

#include <unistd.h>

using namespace kivra;
using namespace std::chrono_literals;
using namespace kivra::test;

namespace {

QStringList Items(QComboBox* box)
{
    QStringList items;
    for (int i = 0; i < box->count(); ++i)
        items << box->itemText(i);
    return items;
}

} // namespace

TEST_F(MainWindow, PortListFollowsDevicesAndPins)
{
    StartSim();
    CreateWindow();
    const std::string slave = sim->SlaveDevice();
    ui().lboComPort->setCurrentText(QString::number(kPort));
    test::OpenWatch opens(slave);

    // A device that comes and goes is listed and dropped without the list being opened; the
    // choice stays.
    const std::string link = PortDirectory() + "/COM10";
    ASSERT_EQ(::symlink(slave.c_str(), link.c_str()), 0);
    EXPECT_TRUE(test::WaitUntil([&] { return Items(ui().lboComPort).contains(QStringLiteral("10")); }, 3s));
    EXPECT_EQ(ui().lboComPort->currentText(), QString::number(kPort));
    ::unlink(link.c_str());
    EXPECT_TRUE(test::WaitUntil([&] { return !Items(ui().lboComPort).contains(QStringLiteral("10")); }, 3s));
    EXPECT_EQ(ui().lboComPort->currentText(), QString::number(kPort));
    EXPECT_EQ(opens.Opens(), 0);

    // Pinned from the list: the number is listed and chosen, its hint names the pin.
    ASSERT_EQ(ui().lboComPort->AssignPort(7, slave), QString());
    EXPECT_EQ(ui().lboComPort->currentText(), QStringLiteral("7"));
    EXPECT_TRUE(w->PortHint().contains(QStringLiteral("pinned to %1").arg(QString::fromStdString(slave))))
        << w->PortHint().toStdString();
    EXPECT_EQ(ResolvePortDevice("COM7"), slave);
    // A pin file others may change is ignored, and the hint says why.
    const std::string dir = PinFilePath().substr(0, PinFilePath().rfind('/'));
    ::chmod(dir.c_str(), 0777);
    ui().lboComPort->ReloadPorts();
    EXPECT_FALSE(Items(ui().lboComPort).contains(QStringLiteral("7")));
    EXPECT_TRUE(w->PortHint().startsWith(QStringLiteral("COM port pins ignored")))
        << w->PortHint().toStdString();
    EXPECT_FALSE(ui().lboComPort->AssignPort(7, {}).isEmpty());
    ::chmod(dir.c_str(), 0700);
    ASSERT_EQ(ui().lboComPort->AssignPort(7, {}), QString());
    EXPECT_FALSE(Items(ui().lboComPort).contains(QStringLiteral("7")));
}

TEST_F(MainWindow, TheSameDeviceBackAfterAGlitchIsReconnectedKeepingWhatWasCollected)
{
    for (const bool automatic : {false, true}) {
        SCOPED_TRACE(automatic ? "automatically" : "by the offer");
        basesim::SimConfig cfg;
        cfg.Keypads = {{.Number = 4, .Serial = {0x12, 0x34, 0x56}, .Battery = 2, .Major = 1, .Minor = 3}};
        StartSim(cfg);
        CreateWindow();
        ui().lboComPort->AutoReconnectAction()->setChecked(automatic);
        ASSERT_TRUE(ConnectToSim());
        ui().rgrpKeypadAdd->SetItemIndex(1);
        ui().cboKeypads->setEditText(QStringLiteral("1-10"));
        ui().btnAddKeypad->setEnabled(true);
        Click(ui().btnAddKeypad);
        ASSERT_EQ(w->ActiveKeypadCount, 10);
        Click(ui().btnPolling);
        ASSERT_TRUE(test::WaitUntil([&] { return sim->Streaming(); }, 2s));
        Click(ui().btnKeyPadInfo);
        ASSERT_TRUE(test::WaitUntil([&] { return info.RowCount() == 1; }, 5s));
        sim->Press(4, '7');
        ASSERT_TRUE(test::WaitUntil([&] { return CellText(4) == QStringLiteral("  4: 7"); }, 3s));

        // Unplugged: the device and its name go, the window shows Disconnected and offers
        // nothing while the device is away. (The name goes at once: left dangling, it could
        // lead to a pseudo-terminal another test process gets next.)
        ::unlink(sim->LinkPath().c_str());
        sim->SetFailure(basesim::FailureMode::Unplug);
        ASSERT_TRUE(test::WaitUntil([&] { return !w->ShowsConnected(); }, 10s));
        ExpectDisconnectedState();
        test::ProcessEventsFor(1500ms);
        EXPECT_FALSE(w->ReconnectOffered());
        EXPECT_FALSE(w->lblPortBack->isVisible());

        // Plugged in again: a new line behind the same COM name.
        sim->Stop();
        StartSim(cfg);
        if (!automatic) {
            ASSERT_TRUE(test::WaitUntil([&] { return w->ReconnectOffered(); }, 4s));
            EXPECT_TRUE(w->lblPortBack->isVisible());
            EXPECT_TRUE(w->lblPortBack->text().contains(QStringLiteral("COM%1").arg(kPort)))
                << w->lblPortBack->text().toStdString();
            EXPECT_FALSE(w->ShowsConnected());
            Click(w->btnReconnect);
        }
        ASSERT_TRUE(test::WaitUntil([&] { return w->ShowsConnected(); }, 8s))
            << messages.join('\n').toStdString();
        EXPECT_FALSE(w->ReconnectOffered());
        EXPECT_EQ(ui().btnConnect->text(), QStringLiteral("Disconnect"));
        // Polling again, the grid, the information list and the group kept.
        EXPECT_EQ(ui().btnPolling->text(), QStringLiteral("Stop Polling"));
        EXPECT_TRUE(test::WaitUntil([&] { return sim->Streaming(); }, 3s));
        EXPECT_EQ(CellText(4), QStringLiteral("  4: 7"));
        EXPECT_EQ(info.RowCount(), 1);
        EXPECT_EQ(ui().cboKeypads->currentText(), QStringLiteral("1-10"));
        EXPECT_EQ(w->ActiveKeypadCount, 10);
        sim->Press(4, '2');
        EXPECT_TRUE(test::WaitUntil([&] { return CellText(4) == QStringLiteral("  4: 2"); }, 3s));
        w.reset();
        sim->Stop();
        info.ClearRows();
        messages.clear();
    }
}

TEST_F(MainWindow, RemembersPortGroupInfoOptionAndPositionBetweenRuns)
{
    QFile::remove(WindowSettingsPath());
    StartSim();
    const std::string link = PortDirectory() + "/COM10";
    ASSERT_EQ(::symlink(sim->SlaveDevice().c_str(), link.c_str()), 0);
    CreateWindow();
    EXPECT_FALSE(w->RestorePosition()); // nothing remembered yet
    ASSERT_TRUE(ConnectToSim());
    ui().cboKeypads->setEditText(QStringLiteral("5-9"));
    ui().rgrpOption->SetItemIndex(1);
    ui().lboComPort->AutoReconnectAction()->setChecked(true);
    ui().lboComPort->setCurrentText(QStringLiteral("10")); // the list's first entry is COM3
    w->move(37, 45);
    const QPoint where = w->pos();
    w->close();
    w.reset();

    CreateWindow();
    EXPECT_EQ(ui().lboComPort->currentText(), QStringLiteral("10"));
    EXPECT_EQ(ui().cboKeypads->currentText(), QStringLiteral("5-9"));
    EXPECT_TRUE(ui().lboComPort->AutoReconnectAction()->isChecked());
    EXPECT_TRUE(w->RestorePosition());
    EXPECT_EQ(w->pos(), where);
    EXPECT_EQ(ui().rgrpOption->ItemIndex(), 0); // chosen again once connected
    ASSERT_TRUE(ConnectToSim());
    EXPECT_EQ(ui().rgrpOption->ItemIndex(), 1);
    w.reset();

    // The port is found by its device's identity when that is now on another number.
    TWindowSettings s = LoadWindowSettings();
    s.Port = kPort;
    s.PortKey = QStringLiteral("COM10");
    SaveWindowSettings(s);
    CreateWindow();
    EXPECT_EQ(ui().lboComPort->currentText(), QStringLiteral("10"));
    w.reset();
    ::unlink(link.c_str());
    QFile::remove(WindowSettingsPath());
}
