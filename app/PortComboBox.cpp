#include "app/PortComboBox.h"

#include "app/Application.h"
#include "core/Exception.h"
#include "serial/PortIdentity.h"
#include "serial/PortNames.h"
#include "serial/PortPins.h"
#include "serial/PortProbe.h"

#include <QAbstractItemView>
#include <QAction>
#include <QContextMenuEvent>
#include <QInputDialog>
#include <QMenu>
#include <QStringList>
#include <QTimer>

#include <cstdlib>
#include <memory>

namespace kivra {
namespace {

constexpr int kHighestPort = 16;

QString Local(const std::string& s)
{
    return QString::fromLocal8Bit(s.c_str());
}

std::string RealPath(const std::string& path)
{
    std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
    return real ? std::string(real.get()) : std::string();
}

// The identity lines of an item's hint.
QStringList IdentityLines(int n, const std::string& device)
{
    QStringList lines;
    const TPortIdentity id = ExaminePortIdentity(device);
    if (!id.StablePath().empty() && id.StablePath() != device)
        lines << Local(id.StablePath());
    if (const std::string usb = id.UsbText(); !usb.empty())
        lines << Local(usb);
    if (const std::string pinned = PinnedDevice(n); !pinned.empty())
        lines << QStringLiteral("pinned to %1").arg(Local(pinned));
    return lines;
}

} // namespace

std::string PortIdentityKey(int n)
{
    const std::string device = ResolvePortDevice(ComPortName(n));
    if (device.empty())
        return {};
    const std::string stable = StablePortPath(device);
    return stable.empty() ? "COM" + std::to_string(n) : stable;
}

int FindPortByKey(const std::string& key, int preferred)
{
    if (key.empty())
        return 0;
    const auto present = [&](int n) {
        return PortIdentityKey(n) == key && ExaminePortDevice(ResolvePortDevice(ComPortName(n))).Present;
    };
    if (preferred >= 1 && preferred <= kHighestPort && present(preferred))
        return preferred;
    for (int n = 1; n <= kHighestPort; ++n)
        if (present(n))
            return n;
    return 0;
}

TPortComboBox::TPortComboBox(QWidget* parent) : QComboBox(parent)
{
    AutoReconnect_ = new QAction(QStringLiteral("Reconnect automatically"), this);
    AutoReconnect_->setCheckable(true);
    Watch_ = new QTimer(this);
    Watch_->setInterval(1000);
    connect(Watch_, &QTimer::timeout, this, [this] { Guarded([this] { CheckPorts(); }); });
    Watch_->start();
}

void TPortComboBox::showPopup()
{
    if (OnDropDown)
        Guarded(OnDropDown);
    QComboBox::showPopup();
}

void TPortComboBox::LoadPorts()
{
    Signature_ = PortPresenceSignature();
    PinProblem_ = Local(ReadPortPins().Problem);
    PortDevices_.fill(QString());
    for (int n = 1; n <= kHighestPort; ++n) {
        // A device that is not there, or a serial driver's placeholder, is not listed.
        const TPortProbe probe = ProbePort(n);
        if (probe.State == TPortState::Missing)
            continue;
        QStringList lines{DeviceDescription(probe).c_str()};
        lines += IdentityLines(n, probe.Device);
        PortDevices_[static_cast<std::size_t>(n)] = lines.join(QStringLiteral("\n    "));
        addItem(QString::number(n));
        setItemData(count() - 1, QStringLiteral("COM%1 = %2").arg(n).arg(lines.join(QLatin1Char('\n'))),
                    Qt::ToolTipRole);
    }
    if (count() > 0)
        setCurrentIndex(0);
    setToolTip(PortHint());
}

void TPortComboBox::ReloadPorts()
{
    const QString chosen = currentText();
    clear();
    LoadPorts();
    if (const int again = findText(chosen); again >= 0)
        setCurrentIndex(again);
}

bool TPortComboBox::CheckPorts()
{
    // Not under the user's eyes while the list is open.
    if (view() != nullptr && view()->isVisible())
        return false;
    if (PortPresenceSignature() == Signature_)
        return false;
    ReloadPorts();
    if (OnPortsChanged)
        OnPortsChanged();
    return true;
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

bool TPortComboBox::ChoosePort(int n)
{
    const int index = findText(QString::number(n));
    if (index >= 0)
        setCurrentIndex(index);
    return index >= 0;
}

QString TPortComboBox::PortHint() const
{
    QStringList lines;
    if (!PinProblem_.isEmpty())
        lines << PinProblem_;
    for (int n = 1; n <= kHighestPort; ++n)
        if (!PortDevices_[static_cast<std::size_t>(n)].isEmpty())
            lines << QStringLiteral("%1 = %2").arg(n).arg(PortDevices_[static_cast<std::size_t>(n)]);
    if (lines.isEmpty())
        return QStringLiteral("No serial device found");
    return lines.join(QLatin1Char('\n'));
}

QString TPortComboBox::AssignPort(int number, const std::string& device)
{
    std::string pinned = device;
    if (!device.empty())
        if (const std::string stable = StablePortPath(device); !stable.empty())
            pinned = stable;
    const std::string failed = WritePortPin(number, pinned);
    ReloadPorts();
    if (!failed.empty())
        return Local(failed);
    ChoosePort(number);
    return {};
}

void TPortComboBox::contextMenuEvent(QContextMenuEvent* event)
{
    QMenu menu(this);
    bool ok = false;
    const int chosen = currentText().toInt(&ok);
    QAction* assign = menu.addAction(QStringLiteral("Assign COM %1 to this device...").arg(chosen));
    assign->setEnabled(ok && isEnabled());
    QAction* unassign = menu.addAction(QStringLiteral("Unassign COM %1").arg(chosen));
    unassign->setEnabled(ok && isEnabled() && !PinnedDevice(chosen).empty());
    menu.addSeparator();
    menu.addAction(AutoReconnect_);
    QAction* picked = menu.exec(event->globalPos());
    if (picked == assign)
        Guarded([this] { AssignDialog(); });
    else if (picked == unassign)
        Guarded([this, chosen] {
            if (const QString failed = AssignPort(chosen, {}); !failed.isEmpty())
                ShowMessage(failed);
        });
}

void TPortComboBox::AssignDialog()
{
    const int chosen = ChosenPort();
    const std::string device = RealPath(ResolvePortDevice(ComPortName(chosen)));
    if (device.empty())
        return;
    const TPortIdentity id = ExaminePortIdentity(device);
    QString who = Local(id.StablePath().empty() ? device : id.StablePath());
    if (const std::string usb = id.UsbText(); !usb.empty())
        who += QStringLiteral("\n(%1)").arg(Local(usb));
    bool ok = false;
    const int number = QInputDialog::getInt(this, QStringLiteral("Assign COM port"),
                                            QStringLiteral("Keep this device on COM:\n%1").arg(who), chosen,
                                            1, kHighestPort, 1, &ok);
    if (!ok)
        return;
    if (const QString failed = AssignPort(number, device); !failed.isEmpty())
        ShowMessage(failed);
}

} // namespace kivra
