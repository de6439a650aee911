#include "app/WindowSettings.h"

#include <QSettings>
#include <QStandardPaths>

namespace kivra {

QString WindowSettingsPath()
{
    // Asked each time: the location follows XDG_CONFIG_HOME as it is now.
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/kivra/kivra-util.conf");
}

TWindowSettings LoadWindowSettings()
{
    const QSettings q(WindowSettingsPath(), QSettings::IniFormat);
    TWindowSettings s;
    const int port = q.value(QStringLiteral("port/number")).toInt();
    s.Port = port >= 1 && port <= 16 ? port : 0;
    s.PortKey = q.value(QStringLiteral("port/identity")).toString();
    s.AutoReconnect = q.value(QStringLiteral("port/reconnectAutomatically")).toBool();
    s.KeypadGroup = q.value(QStringLiteral("keypads/group")).toString();
    const int option = q.value(QStringLiteral("keypads/infoOption")).toInt();
    s.InfoOption = option == 1 ? 1 : 0;
    if (const QVariant pos = q.value(QStringLiteral("window/position"));
        pos.canConvert<QPoint>() && pos.isValid())
        s.Position = pos.toPoint();
    return s;
}

void SaveWindowSettings(const TWindowSettings& s)
{
    QSettings q(WindowSettingsPath(), QSettings::IniFormat);
    q.setValue(QStringLiteral("port/number"), s.Port);
    q.setValue(QStringLiteral("port/identity"), s.PortKey);
    q.setValue(QStringLiteral("port/reconnectAutomatically"), s.AutoReconnect);
    q.setValue(QStringLiteral("keypads/group"), s.KeypadGroup);
    q.setValue(QStringLiteral("keypads/infoOption"), s.InfoOption);
    if (s.Position)
        q.setValue(QStringLiteral("window/position"), *s.Position);
    q.sync();
}

} // namespace kivra
