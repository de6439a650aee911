// The main window while it connects and when the link goes: painting and progress during
// Connect, input dropped meanwhile, a lost link shown as Disconnected, and the port list.

#include "tests/app/MainWindowFixture.h"

#include "serial/PortNames.h"

#include <QApplication>
#include <QComboBox>
#include <QMessageBox>
#include <QTimer>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

using namespace kivra;
using namespace std::chrono_literals;
using namespace kivra::test;

TEST_F(MainWindow, ConnectKeepsPaintingShowsProgressAndIgnoresInput)
{
    StartSim();
    CreateWindow();
    w->changeGrid(5, '1');
    bool sawBusy = false;
    QString caption;
    QTimer::singleShot(300, w.get(), [&] {
        sawBusy = w->Connecting();
        caption = ui().btnConnect->text();
        sawBusy &=
            QApplication::overrideCursor() && QApplication::overrideCursor()->shape() == Qt::WaitCursor;
        Click(ui().btnClear); // must not run while Connect waits
    });
    ASSERT_TRUE(ConnectToSim());
    EXPECT_TRUE(sawBusy);
    EXPECT_EQ(caption, QStringLiteral("Connecting..."));
    EXPECT_EQ(ui().edtKeypadCount->text(), QStringLiteral("1 keypad of 250"));
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    EXPECT_FALSE(w->Connecting());
}

TEST_F(MainWindow, ConnectWithoutAnyPortSaysSo)
{
    CreateWindow();
    ui().lboComPort->clear();
    Click(ui().btnConnect);
    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(messages[0].contains(QStringLiteral("No COM port"))) << messages[0].toStdString();
    EXPECT_EQ(ui().btnConnect->text(), QStringLiteral("Connect"));
}

TEST_F(MainWindow, ALostLinkShowsDisconnectedAndKeepsWhatWasCollected)
{
    struct Case {
        const char* what;
        basesim::FailureMode failure;
        QString text;
    };
    const Case cases[] = {
        {"unplugged", basesim::FailureMode::Unplug, QStringLiteral("Connection Lost")},
        {"silent", basesim::FailureMode::Silent,
         QStringLiteral("Connection lost.  Verify physical connection and retry Connect.")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        basesim::SimConfig cfg;
        cfg.Keypads = {{.Number = 4, .Serial = {0x12, 0x34, 0x56}, .Battery = 2, .Major = 1, .Minor = 3}};
        StartSim(cfg);
        CreateWindow();
        bool closed = false;
        w->OnFormClosed = [&] { closed = true; };
        ASSERT_TRUE(ConnectToSim());
        Click(ui().btnPolling);
        ASSERT_TRUE(test::WaitUntil([&] { return sim->Streaming(); }, 2s));
        Click(ui().btnKeyPadInfo);
        ASSERT_TRUE(test::WaitUntil([&] { return info.RowCount() == 1; }, 5s));
        sim->Press(4, '7');
        ASSERT_TRUE(test::WaitUntil([&] { return CellText(4) == QStringLiteral("  4: 7"); }, 3s));
        messages.clear();
        // A port that appeared meanwhile: listed once the window probes again.
        const std::string link = PortDirectory() + "/COM10";
        ASSERT_EQ(::symlink(sim->SlaveDevice().c_str(), link.c_str()), 0);

        sim->SetFailure(c.failure);
        ASSERT_TRUE(test::WaitUntil([&] { return !w->ShowsConnected(); }, 10s));
        EXPECT_TRUE(messages.join('\n').contains(c.text)) << messages.join('\n').toStdString();
        EXPECT_FALSE(closed);
        ExpectDisconnectedState();
        EXPECT_EQ(CellText(4), QStringLiteral("  4: 7"));
        EXPECT_EQ(ui().edtKeypadCount->text(), QStringLiteral("1 keypad of 250"));
        EXPECT_EQ(info.RowCount(), 1);
        // Probed again, the port in use still chosen when it is there.
        if (c.failure == basesim::FailureMode::Silent) {
            EXPECT_GE(ui().lboComPort->findText(QStringLiteral("10")), 0);
            EXPECT_EQ(ui().lboComPort->currentText(), QString::number(kPort));
        }
        ::unlink(link.c_str());
        test::ProcessEventsFor(600ms); // the timer leaves the port list enabled
        EXPECT_TRUE(ui().lboComPort->isEnabled());

        // The base talks again: the user connects with the same button, the grid still there.
        if (c.failure == basesim::FailureMode::Silent) {
            sim->SetFailure(basesim::FailureMode::None);
            ASSERT_TRUE(ConnectToSim()) << messages.join('\n').toStdString();
            EXPECT_EQ(ui().btnConnect->text(), QStringLiteral("Disconnect"));
            EXPECT_EQ(CellText(4), QStringLiteral("  4: 7"));
        }
        w.reset();
        sim->Stop();
        info.ClearRows();
    }
}

TEST_F(MainWindow, ALostLinkIsShownInTheMessageBoxAlreadyOpen)
{
    StartSim();
    CreateWindow();
    ASSERT_TRUE(ConnectToSim());
    Click(ui().btnPolling);
    ASSERT_TRUE(test::WaitUntil([&] { return sim->Streaming(); }, 2s));
    SetMessageBoxFunction({}); // real message boxes from here on
    QString shown;
    bool truthfulBehindTheBox = false;
    QTimer user;
    QObject::connect(&user, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr || !box->text().contains(QStringLiteral("Connection Lost")))
            return;
        if (shown.isEmpty()) {
            shown = box->text();
            truthfulBehindTheBox = !w->ShowsConnected() && w->isVisible();
        }
        box->accept();
    });
    user.start(50);
    QTimer::singleShot(0, [] { ShowMessage(QStringLiteral("An earlier message.")); });
    QTimer::singleShot(300, [&] { sim->SetFailure(basesim::FailureMode::Unplug); });
    ASSERT_TRUE(test::WaitUntil([&] { return !shown.isEmpty(); }, 10s));
    EXPECT_TRUE(shown.startsWith(QStringLiteral("An earlier message."))) << shown.toStdString();
    EXPECT_TRUE(truthfulBehindTheBox);
    test::ProcessEventsFor(300ms);
    user.stop();
    ExpectDisconnectedState();
}

TEST_F(MainWindow, ClicksMadeWhileConnectRunsAreDropped)
{
    StartSim();
    CreateWindow();
    // A second click on Connect (which would disconnect again) and one on the still disabled
    // "Start Polling", each while Connect waits for the base.
    for (QPushButton* target : {ui().btnConnect, ui().btnPolling}) {
        SCOPED_TRACE(target->objectName().toStdString());
        bool queued = false;
        QTimer::singleShot(300, w.get(), [&] {
            queued = w->Connecting();
            QueueClick(target);
        });
        ASSERT_TRUE(ConnectToSim());
        EXPECT_TRUE(queued);
        test::ProcessEventsFor(500ms); // anything held back would arrive now
        EXPECT_TRUE(w->KivraOCX->GetConnected());
        EXPECT_EQ(ui().btnConnect->text(), QStringLiteral("Disconnect"));
        EXPECT_FALSE(w->KivraOCX->GetPolling());
        EXPECT_EQ(ui().btnPolling->text(), QStringLiteral("Start Polling"));
        EXPECT_FALSE(sim->Streaming());
        Click(ui().btnConnect);
        ASSERT_FALSE(w->KivraOCX->GetConnected());
    }
    // Input after Connect is taken as usual.
    ASSERT_TRUE(ConnectToSim());
    QueueClick(ui().btnPolling);
    EXPECT_TRUE(test::WaitUntil([&] { return w->KivraOCX->GetPolling(); }, 2s));
}

TEST_F(MainWindow, PortListShowsDevicesThatExistAndNamesThem)
{
    StartSim();
    const std::string dir = PortDirectory();
    const std::string slave = sim->SlaveDevice();
    // COM10 is probed under its "\\.\COM10" name; COM11 points at nothing.
    ASSERT_EQ(::symlink(slave.c_str(), (dir + "/COM10").c_str()), 0);
    ASSERT_EQ(::symlink((dir + "/no-such-device").c_str(), (dir + "/COM11").c_str()), 0);
    // A port another program holds is still listed.
    const int holder = ::open(slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(holder, 0);
    ::ioctl(holder, TIOCEXCL);
    test::OpenWatch opens(slave);
    CreateWindow();
    QStringList items;
    for (int i = 0; i < ui().lboComPort->count(); ++i)
        items << ui().lboComPort->itemText(i);
    EXPECT_TRUE(items.contains(QString::number(kPort))) << items.join(',').toStdString();
    EXPECT_TRUE(items.contains(QStringLiteral("10")));
    EXPECT_FALSE(items.contains(QStringLiteral("11")));
    for (const QString& item : items)
        EXPECT_LE(item.toInt(), 16);
    EXPECT_TRUE(w->PortHint().contains(QStringLiteral("10 = %1/COM10").arg(QString::fromStdString(dir))));
    EXPECT_EQ(ui().lboComPort->currentIndex(), 0);

    // Listing never opens a device: opening a tty raises its modem lines. (Checked while the
    // test holds the slave: letting it go makes the simulator open it to drop stale input.)
    ui().lboComPort->showPopup();
    ui().lboComPort->hidePopup();
    EXPECT_EQ(opens.Opens(), 0);

    // Dropping the list down probes again: a port that went away disappears.
    ::ioctl(holder, TIOCNXCL);
    ::close(holder);
    ::unlink((dir + "/COM10").c_str());
    ui().lboComPort->showPopup();
    ui().lboComPort->hidePopup();
    EXPECT_EQ(ui().lboComPort->findText(QStringLiteral("10")), -1);
    EXPECT_GE(ui().lboComPort->findText(QString::number(kPort)), 0);
    EXPECT_EQ(ui().lboComPort->currentIndex(), 0);
    EXPECT_TRUE(w->PortHint().contains(QStringLiteral("(pseudo-terminal)"))) << w->PortHint().toStdString();
}
