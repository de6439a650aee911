#include "app/PortComboBox.h"

#include "core/Exception.h"
#include "serial/PortProbe.h"

#include <QStringList>

namespace kivra {

TPortComboBox::TPortComboBox(QWidget* parent) : QComboBox(parent)
{
}

void TPortComboBox::showPopup()
{
    if (OnDropDown) {
        try {
            OnDropDown();
        } catch (const EAbort&) {
        } catch (const std::exception& e) {
            HandleException(e);
        }
    }
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
