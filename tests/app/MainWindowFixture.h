#pragma once
// The main window against the simulated base: a window with its other forms, the simulator on a
// COM port, message boxes recorded, and what the tests read from the window.

#include "app/Application.h"
#include "app/LumALed.h"
#include "app/RadioGroup.h"
#include "app/WindowSettings.h"
#include "app/frmAbout.h"
#include "app/frmCommands.h"
#include "app/frmKeypadInfo.h"
#include "app/frmKivraUtil.h"
#include "basesim/BaseSimulator.h"
#include "tests/support/Simulator.h"
#include "tests/support/TestSupport.h"
#include "ui_frmKivraUtil.h"

#include <QColor>
#include <QFile>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>
#include <qpa/qwindowsysteminterface.h>

#include <memory>

namespace kivra::test {

using namespace std::chrono_literals;

constexpr int kPort = 3;

const QColor kLime(0, 255, 0);
const QColor kRed(255, 0, 0);
const QColor kSilver(192, 192, 192);

class MainWindow : public ::testing::Test {
protected:
    void SetUp() override
    {
        // Every test starts without what an earlier window of the run remembered (the private
        // directory also moves the configuration away from the user's).
        UsePrivatePortDirectory();
        QFile::remove(WindowSettingsPath());
        SetMessageBoxFunction([this](const QString& t) { messages << t; });
        InstallMessageBoxExceptionHandler();
    }
    void TearDown() override
    {
        w.reset();
        if (sim)
            sim->Stop();
        SetMessageBoxFunction({});
    }
    void StartSim(basesim::SimConfig cfg = {}) { sim = test::StartSimulator(std::move(cfg), kPort); }
    void CreateWindow()
    {
        w = std::make_unique<TfrmKivraUtil>();
        w->SetForms(&info, &commands, &about);
        w->show();
    }
    Ui::TfrmKivraUtil& ui() { return *w->ui; }
    void Click(QWidget* b) { QTest::mouseClick(b, Qt::LeftButton); }
    bool ConnectToSim()
    {
        ui().lboComPort->setCurrentText(QString::number(kPort));
        Click(ui().btnConnect);
        return w->KivraOCX->GetConnected();
    }
    static QColor Centre(QWidget* led)
    {
        return led->grab().toImage().pixelColor(led->width() / 2, led->height() / 2);
    }
    QColor CellColour(int n)
    {
        TKeypadGrid* g = ui().StringGrid1;
        const QRect r = g->CellRect((n - 1) / kGridRows, (n - 1) % kGridRows);
        return g->grab().toImage().pixelColor(r.left() + 60, r.top() + 7);
    }
    QString CellText(int n) { return ui().StringGrid1->Cell((n - 1) / kGridRows, (n - 1) % kGridRows); }
    bool SimCommandSent(const std::string& command)
    {
        for (const std::string& c : sim->Commands())
            if (c == command)
                return true;
        return false;
    }

    // A click as the window system hands it over: queued until the event loop next takes input.
    void QueueClick(QWidget* target)
    {
        QWindow* window = w->windowHandle();
        const QPointF local = target->mapTo(w.get(), target->rect().center());
        const QPointF global = target->mapToGlobal(target->rect().center());
        using Async = QWindowSystemInterface::AsynchronousDelivery;
        QWindowSystemInterface::handleMouseEvent<Async>(window, local, global, Qt::LeftButton, Qt::LeftButton,
                                                        QEvent::MouseButtonPress);
        QWindowSystemInterface::handleMouseEvent<Async>(window, local, global, Qt::NoButton, Qt::LeftButton,
                                                        QEvent::MouseButtonRelease);
    }
    void ExpectDisconnectedState()
    {
        EXPECT_FALSE(w->ShowsConnected());
        EXPECT_TRUE(w->isVisible());
        EXPECT_EQ(ui().btnConnect->text(), QStringLiteral("Connect"));
        EXPECT_EQ(ui().btnPolling->text(), QStringLiteral("Start Polling"));
        EXPECT_EQ(Centre(ui().ledConnect), kRed);
        EXPECT_EQ(Centre(ui().ledPolling), kRed);
        EXPECT_FALSE(ui().ledPolling->Blinking());
        for (QWidget* off : std::initializer_list<QWidget*>{
                 ui().btnPolling, ui().lboChannel, ui().btnCndCommands, ui().rgrpKeypadAdd, ui().cboKeypads,
                 ui().rgrpOption, ui().btnKeyPadInfo, ui().btnClearInfo})
            EXPECT_FALSE(off->isEnabled()) << off->objectName().toStdString();
        EXPECT_TRUE(ui().lboComPort->isEnabled());
        EXPECT_TRUE(ui().btnConnect->isEnabled());
    }

    QStringList messages;
    std::unique_ptr<basesim::BaseSimulator> sim;
    TfrmKeypadInfo info;
    TfrmCommands commands;
    TfrmAbout about;
    std::unique_ptr<TfrmKivraUtil> w;
};

} // namespace kivra::test
