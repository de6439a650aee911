// The window utility: creates its four windows in order and runs until the main window closes.

#include "app/AppWindows.h"
#include "app/Application.h"
#include "app/frmPoll.h"
#include "core/Version.h"

#include <QScreen>

#include <cstdio>
#include <cstring>

namespace {

const char* kUsage = R"(Usage: kivra-util [--db LOCATION] [--version | --help]

The Kivra configuration and diagnostic utility: connects to a base station on a COM port,
identifies it, polls the keypads and shows who answered, collects keypad serial numbers and
timestamps, and sends keypad settings and key locks. Its Poll window asks the room a question,
charts the answers live and keeps them in a session store.

  --db LOCATION   where poll sessions are kept: a SQLite file, sqlite:///path, or
                  postgresql://user@host[:port]/dbname (default: the setting
                  session/database, else sessions.db in the user's data directory)

Qt's standard options (for example -platform offscreen) are accepted.
)";

} // namespace

int main(int argc, char** argv)
{
    // Answered before the application object exists: neither needs a display.
    const char* db = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--db") == 0) {
            if (i + 1 >= argc) {
                std::fputs("kivra-util: --db needs a location\n", stderr);
                return 2;
            }
            db = argv[++i];
            continue;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("kivra-util %s\n", kivra::VersionText().c_str());
            return 0;
        }
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
    }
    kivra::TApplication app(argc, argv);
    app.setApplicationName(QStringLiteral("kivra-util"));
    app.setDesktopFileName(QStringLiteral(KIVRA_APP_ID)); // the installed desktop entry and icon
    // The program ends when the main window closes, whatever other window is open.
    app.setQuitOnLastWindowClosed(false);
    if (db)
        kivra::TfrmPoll::SetStoreLocationOverride(QString::fromLocal8Bit(db));

    kivra::TAppWindows windows;
    kivra::TfrmKivraUtil& frmKivraUtil = windows.Main;
    frmKivraUtil.OnFormClosed = [&app] { app.quit(); };
    // Where it was last time, else at the centre of the desktop.
    if (const QScreen* screen = frmKivraUtil.screen(); screen != nullptr && !frmKivraUtil.RestorePosition())
        frmKivraUtil.move(screen->availableGeometry().center() - frmKivraUtil.rect().center());
    frmKivraUtil.show();
    return app.exec();
}
