#pragma once
// What the main window remembers between runs: the last port (by its number and the identity of
// its device), the keypad group text, the Info Option, the window's position and the
// "Reconnect automatically" choice. Kept in kivra/kivra-util.conf of the user's configuration
// directory ($XDG_CONFIG_HOME, else ~/.config).

#include <QPoint>
#include <QString>

#include <optional>

namespace kivra {

struct TWindowSettings {
    int Port = 0;        // COM number; 0 = none remembered
    QString PortKey;     // PortIdentityKey of that port's device
    QString KeypadGroup; // the text under "Keypads:"
    int InfoOption = 0;  // 0 Serial Number, 1 Time Stamp
    std::optional<QPoint> Position;
    bool AutoReconnect = false;
};

//! The settings file: <config>/kivra/kivra-util.conf.
QString WindowSettingsPath();

//! The remembered settings; defaults for anything missing or out of range.
TWindowSettings LoadWindowSettings();

//! Writes the settings (the directory is created when missing).
void SaveWindowSettings(const TWindowSettings& s);

} // namespace kivra
