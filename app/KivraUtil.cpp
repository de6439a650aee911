// The window utility: creates its four windows in order and runs until the main window closes.

#include "app/Application.h"
#include "app/KeypadInfo.h"
#include "app/unitAbout.h"
#include "app/unitCommands.h"
#include "app/unitKivraUtil.h"

#include <QScreen>

int main(int argc, char** argv)
{
    kivra::TApplication app(argc, argv);
    app.setApplicationName(QStringLiteral("kivra-util"));
    // The program ends when the main window closes, whatever other window is open.
    app.setQuitOnLastWindowClosed(false);

    kivra::TfrmKivraUtil frmKivraUtil;
    kivra::TfrmKeypadInfo frmKeypadInfo;
    kivra::TfrmCommands frmCommands;
    kivra::TfrmAbout frmAbout;
    frmKivraUtil.SetForms(&frmKeypadInfo, &frmCommands, &frmAbout);
    frmKivraUtil.OnFormClosed = [&app] { app.quit(); };
    // First shown at the centre of the desktop.
    if (const QScreen* screen = frmKivraUtil.screen())
        frmKivraUtil.move(screen->availableGeometry().center() - frmKivraUtil.rect().center());
    frmKivraUtil.show();
    return app.exec();
}
