#include "diag/DiagPorts.h"

#include "serial/PortIdentity.h"
#include "serial/PortPins.h"

#include <cstring>
#include <stdexcept>

namespace kivra::diag {
namespace {

// The window shows the advice on three lines; a report line of the tool holds it on one.
std::string OneLine(std::string text)
{
    for (char& c : text)
        if (c == '\n')
            c = ' ';
    return text;
}

PortProbe Reported(const TPortProbe& probe)
{
    PortProbe p;
    p.Number = probe.Number;
    p.Device = probe.Device;
    p.State = probe.State;
    p.Errno = probe.Error;
    switch (probe.State) {
    case PortState::Busy:
        if (probe.Holder.Pid > 0)
            p.Detail = HolderText(probe.Holder);
        break;
    case PortState::Refused:
        p.Detail = OneLine(PermissionAdvice(probe));
        break;
    case PortState::Failed:
        p.Detail = std::strerror(probe.Error);
        break;
    case PortState::Free:
    case PortState::Missing:
        break;
    }
    return p;
}

} // namespace

PortProbe ClassifyOpenError(int number, const std::string& device, int error)
{
    return Reported(ClassifyPortError(number, device, error));
}

PortProbe ProbePort(int number)
{
    return Reported(kivra::ProbePort(number));
}

std::string PortStateText(const PortProbe& probe)
{
    switch (probe.State) {
    case PortState::Free:
        return "free";
    case PortState::Busy:
        return "busy (in use by " + (probe.Detail.empty() ? std::string("another program") : probe.Detail) +
               ")";
    case PortState::Refused:
        return "refused: " + probe.Detail;
    case PortState::Missing:
        return "missing";
    case PortState::Failed:
        return "unusable: " + probe.Detail;
    }
    return "?";
}

std::string PortIdentityLines(int number, const std::string& device)
{
    constexpr const char* kIndent = "       ";
    std::string lines;
    const TPortIdentity id = ExaminePortIdentity(device);
    if (!id.StablePath().empty() && id.StablePath() != device)
        lines += kIndent + id.StablePath() + "\n";
    if (const std::string usb = id.UsbText(); !usb.empty())
        lines += kIndent + usb + "\n";
    if (const std::string pinned = PinnedDevice(number); !pinned.empty())
        lines += std::string(kIndent) + "pinned to " + pinned + "\n";
    return lines;
}

ExitCode ChangePortPin(const DiagOptions& o, std::ostream& out)
{
    const int number = o.AssignPort != 0 ? o.AssignPort : o.UnassignPort;
    std::string device;
    if (o.AssignPort != 0) {
        const std::string stable = StablePortPath(o.AssignDevice);
        device = stable.empty() ? o.AssignDevice : stable;
    }
    if (const std::string failed = WritePortPin(number, device); !failed.empty())
        throw std::runtime_error(failed);
    const std::string now = ResolvePortDevice(ComPortName(number));
    if (device.empty())
        out << "COM" << number << " unpinned; it stands for " << (now.empty() ? "nothing" : now) << '\n';
    else
        out << "COM" << number << " pinned to " << device << '\n';
    return ExitCode::Ok;
}

} // namespace kivra::diag
