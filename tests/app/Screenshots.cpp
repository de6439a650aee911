// Drives the utility's windows against a running base (or simulator) and saves PNG pictures of
// them: start-up, connected and polling, a defined group, the information window, the
// configuration dialog, About, the Poll window, its presentation view and the history, and after
// a lost link. Used by scripts/screenshot; message boxes go
// to stderr.
//   kivra-util-shots <output dir> <COM port number> [seconds of polling] [simulator command file]
// The command file (the simulator's standard input) makes the base fall silent while polling.

#include "app/AppWindows.h"
#include "app/Application.h"
#include "app/RadioGroup.h"
#include "app/frmPoll.h"
#include "app/frmPresentation.h"
#include "app/frmSessionHistory.h"
#include "core/Exception.h"
#include "ui_frmKivraUtil.h"

#include <QComboBox>
#include <QDeadlineTimer>
#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>
#include <exception>
#include <fstream>

using namespace kivra;

namespace {

void Wait(int ms)
{
    QDeadlineTimer deadline(ms);
    while (!deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(10);
    }
}

bool Save(QWidget& w, const QString& path)
{
    Wait(100);
    const bool ok = w.grab().save(path);
    std::fprintf(stderr, "kivra-util-shots: %s %s\n", ok ? "saved" : "could not save", qPrintable(path));
    return ok;
}

} // namespace

int main(int argc, char** argv)
{
    TApplication app(argc, argv);
    if (argc < 3) {
        std::fprintf(stderr, "usage: kivra-util-shots <output dir> <COM port number> [polling seconds] "
                             "[simulator command file]\n");
        return 2;
    }
    const QString dir = QString::fromLocal8Bit(argv[1]);
    const QString port = QString::fromLocal8Bit(argv[2]);
    const int pollSeconds = argc > 3 ? std::atoi(argv[3]) : 4;
    const std::string simCommands = argc > 4 ? argv[4] : "";
    QDir().mkpath(dir);
    int messages = 0;
    SetMessageBoxFunction([&messages](const QString& text) {
        ++messages;
        std::fprintf(stderr, "kivra-util-shots: message box: %s\n", qPrintable(text));
    });

    TAppWindows windows;
    TfrmKivraUtil& main = windows.Main;
    TfrmKeypadInfo& info = windows.Info;
    TfrmCommands& commands = windows.Commands;
    TfrmAbout& about = windows.About;
    main.show();
    if (QScreen* screen = main.screen())
        main.move(screen->geometry().center() - main.rect().center());
    bool ok = Save(main, dir + "/main-start.png");

    try {
        main.ui->lboComPort->clear();
        main.LoadPorts();
        main.ui->lboComPort->setCurrentText(port);
        if (main.ui->lboComPort->currentText() != port)
            throw Exception("COM" + port.toStdString() + " is not in the port list");
        main.btnConnectClick();
        if (!main.KivraOCX->GetConnected())
            throw Exception("not connected");
        ok &= Save(main, dir + "/main-connected.png");
        main.btnPollingClick();
        Wait(pollSeconds * 1000);
        ok &= Save(main, dir + "/main-polling.png");

        // A defined group of 1-40: the others grey, answers outside it light red.
        main.ui->cboKeypads->setEditText(QStringLiteral("1-40"));
        main.cboKeypadsChange();
        main.btnAddKeypadClick();
        Wait(pollSeconds * 1000);
        ok &= Save(main, dir + "/main-group.png");

        main.ui->rgrpOption->SetItemIndex(0);
        main.btnKeyPadInfoClick();
        Wait(2500);
        ok &= Save(info, dir + "/info.png");
        info.hide();

        main.InitializeSettingsForm();
        commands.show();
        ok &= Save(commands, dir + "/commands.png");
        commands.hide();

        about.show();
        ok &= Save(about, dir + "/about.png");
        about.hide();

        // A poll with a roster, kept in a store of its own: the window, the projector view, the history.
        QTemporaryDir store;
        TfrmPoll::SetStoreLocationOverride(store.filePath(QStringLiteral("sessions.db")));
        {
            std::ofstream roster(store.filePath(QStringLiteral("roster.csv")).toStdString());
            roster << "name,keypad\n";
            const char* names[] = {"Ann Lee", "Bo Chen", "Cy Dow", "Di Eck",
                                   "Ed Fay",  "Flo Gu",  "Gus Ho", "Hal Ito"};
            for (int k = 1; k <= 40; ++k)
                roster << names[(k - 1) % 8] << ' ' << k << ',' << k << '\n';
        }
        main.btnPollClick();
        TfrmPoll* poll = main.PollForm();
        poll->TitleEdit()->setText(QStringLiteral("Chemistry, week 3"));
        if (!poll->ImportRoster(store.filePath(QStringLiteral("roster.csv"))))
            throw Exception("the roster was not imported");
        poll->StartQuestion();
        Wait(pollSeconds * 1000);
        poll->SetCorrectKey('3');
        ok &= Save(*poll, dir + "/poll.png");
        poll->ShowPresentation();
        ok &= Save(*poll->Presentation(), dir + "/poll-presentation.png");
        poll->Presentation()->close();
        poll->StartQuestion();
        Wait(pollSeconds * 500);
        poll->EndSession();
        poll->ShowHistory();
        TfrmSessionHistory* history = poll->History();
        if (!history->Reload() || history->ListedIds().empty() ||
            !history->OpenSession(history->ListedIds()[0]))
            throw Exception("the session is not in the history");
        ok &= Save(*history, dir + "/poll-history.png");
        history->close();
        poll->close();

        main.btnConnectClick(); // disconnect (stops polling)
        ok &= Save(main, dir + "/main-disconnected.png");

        if (!simCommands.empty()) {
            // The base falls silent while polling: the window shows the lost link and keeps the grid.
            main.btnConnectClick();
            if (!main.ShowsConnected())
                throw Exception("not connected again");
            main.btnPollingClick();
            Wait(pollSeconds * 1000);
            std::ofstream(simCommands) << "silent" << std::endl;
            QDeadlineTimer noticed(15000);
            while (main.ShowsConnected() && !noticed.hasExpired())
                Wait(100);
            if (main.ShowsConnected())
                throw Exception("the lost link was not noticed");
            ok &= Save(main, dir + "/main-link-lost.png");
            std::ofstream(simCommands) << "resume" << std::endl;
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kivra-util-shots: %s\n", e.what());
        ok = false;
    }
    main.close();
    std::fprintf(stderr, "kivra-util-shots: %d message boxes\n", messages);
    return ok ? 0 : 1;
}
