#include "diag/DiagPorts.h"

#include "serial/PortDevice.h"
#include "serial/PortNames.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace kivra::diag {

PortProbe ClassifyOpenError(int number, const std::string& device, int error)
{
    PortProbe p;
    p.Number = number;
    p.Device = device;
    p.Errno = error;
    switch (error) {
    case 0:
        p.State = PortState::Free;
        break;
    case EBUSY:
    case EWOULDBLOCK:
        p.State = PortState::Busy;
        break;
    case EACCES:
    case EPERM: {
        p.State = PortState::Refused;
        const std::string g = DeviceGroup(device);
        p.Detail = g.empty() ? "ask the administrator for access to " + device
                             : device + " belongs to group " + g + ": join it with \"sudo usermod -aG " + g +
                                   " $USER\" and log in again";
        break;
    }
    default:
        if (IsMissingDeviceError(error)) {
            p.State = PortState::Missing;
        } else {
            p.State = PortState::Failed;
            p.Detail = std::strerror(error);
        }
        break;
    }
    return p;
}

PortProbe ProbePort(int number)
{
    const std::string device = ResolvePortDevice(ComPortName(number));
    if (device.empty() || !ExaminePortDevice(device).Present)
        return ClassifyOpenError(number, device, ENOENT);
    // Nothing is opened: opening a tty raises its modem lines.
    TPortHolder holder;
    if (FindPortHolder(device, holder)) {
        PortProbe p = ClassifyOpenError(number, device, EBUSY);
        p.Detail = HolderText(holder);
        return p;
    }
    if (::faccessat(AT_FDCWD, device.c_str(), R_OK | W_OK, AT_EACCESS) != 0 &&
        (errno == EACCES || errno == EPERM))
        return ClassifyOpenError(number, device, errno);
    return ClassifyOpenError(number, device, 0);
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

} // namespace kivra::diag
