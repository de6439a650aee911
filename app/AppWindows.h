#pragma once
// TAppWindows: the utility's four windows, created in the program's order (main window, keypad
// information, keypad configuration, About) and destroyed in reverse, the main window bound to
// the other three. The program holds one; so do the harnesses that drive the whole window.

#include "app/frmAbout.h"
#include "app/frmCommands.h"
#include "app/frmKeypadInfo.h"
#include "app/frmKivraUtil.h"

namespace kivra {

struct TAppWindows {
    TAppWindows() { Main.SetForms(&Info, &Commands, &About); }

    TfrmKivraUtil Main;
    TfrmKeypadInfo Info;
    TfrmCommands Commands;
    TfrmAbout About;
};

} // namespace kivra
