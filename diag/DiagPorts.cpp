#include "diag/DiagPorts.h"

#include "serial/ComPort.h"
#include "serial/PortNames.h"

#include <cerrno>
#include <cstring>

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
    if (device.empty())
        return ClassifyOpenError(number, device, ENOENT);
    TComPort port;
    port.SetDeviceName(ComPortName(number));
    int error = 0;
    try {
        port.Open();
        port.Close();
    } catch (const EComError& e) {
        error = e.ErrorCode() != 0 ? e.ErrorCode() : EIO;
    } catch (const std::exception&) {
        error = EIO;
    }
    return ClassifyOpenError(number, device, error);
}

std::string PortStateText(const PortProbe& probe)
{
    switch (probe.State) {
    case PortState::Free:
        return "free";
    case PortState::Busy:
        return "busy (in use by another program)";
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
