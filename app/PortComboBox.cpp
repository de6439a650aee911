#include "app/PortComboBox.h"

#include "app/Application.h"
#include "core/Exception.h"
#include "serial/PortProbe.h"

#include <QStringList>

namespace kivra {

TPortComboBox::TPortComboBox(QWidget* parent) : QComboBox(parent)
{
}

void TPortComboBox::showPopup()
{
    if (OnDropDown)
        Guarded(OnDropDown);
    QComboBox::showPopup();
}

void TPortComboBox::LoadPorts()
{
    PortDevices_.fill(QString());
    for (int n = 1; n <= 16; ++n) {
        // A device that is not there, or a serial driver's placeholder, is not listed.
        const TPortProbe probe = ProbePort(n);
        if (probe.State == TPortState::Missing)
            continue;
        const QString path = QString::fromLocal8Bit(DeviceDescription(probe).c_str());
        PortDevices_[static_cast<std::size_t>(n)] = path;
        addItem(QString::number(n));
        setItemData(count() - 1, QStringLiteral("COM%1 = %2").arg(n).arg(path), Qt::ToolTipRole);
    }
    if (count() > 0)
        setCurrentIndex(0);
    setToolTip(PortHint());
}

int TPortComboBox::ChosenPort() const
{
    const QString text = currentText();
    bool ok = false;
    const int port = text.toInt(&ok);
    if (!ok) {
        if (text.isEmpty())
            throw EConvertError("No COM port to connect to: no serial device was found.");
        throw EConvertError("'" + text.toStdString() + "' is not a valid COM port number.");
    }
    return port;
}

QString TPortComboBox::PortHint() const
{
    QStringList lines;
    for (int n = 1; n <= 16; ++n)
        if (!PortDevices_[static_cast<std::size_t>(n)].isEmpty())
            lines << QStringLiteral("%1 = %2").arg(n).arg(PortDevices_[static_cast<std::size_t>(n)]);
    if (lines.isEmpty())
        return QStringLiteral("No serial device found");
    return lines.join(QLatin1Char('\n'));
}

} // namespace kivra
