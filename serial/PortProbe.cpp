#include "serial/PortProbe.h"

#include "serial/PortNames.h"
#include "serial/PortPins.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

namespace kivra {
namespace {

bool IsRefusal(int error)
{
    return error == EACCES || error == EPERM;
}

void NoteRefusal(TPortProbe& p)
{
    p.AccessRefused = true;
    p.Group = DeviceGroup(p.Device);
}

} // namespace

TPortProbe ProbePort(int number)
{
    return ProbePortDevice(number, ResolvePortDevice(ComPortName(number)));
}

TPortProbe ProbePortDevice(int number, const std::string& device)
{
    TPortProbe p;
    p.Number = number;
    p.Device = device;
    if (p.Device.empty()) {
        p.Error = ENOENT;
        return p;
    }
    const TPortDevice found = ExaminePortDevice(p.Device);
    if (!found.Present) {
        p.Error = ENOENT;
        return p;
    }
    p.Kind = found.Kind;
    p.Driver = found.Driver;
    // The rights as the open would see them (effective ids), without opening.
    if (::faccessat(AT_FDCWD, p.Device.c_str(), R_OK | W_OK, AT_EACCESS) != 0 && IsRefusal(errno)) {
        p.Error = errno;
        NoteRefusal(p);
    }
    if (FindPortHolder(p.Device, p.Holder)) {
        p.State = TPortState::Busy;
        p.Error = EBUSY;
    } else {
        p.State = p.AccessRefused ? TPortState::Refused : TPortState::Free;
    }
    return p;
}

TPortProbe ClassifyPortError(int number, const std::string& device, int error)
{
    TPortProbe p;
    p.Number = number;
    p.Device = device;
    p.Error = error;
    if (error == 0) {
        p.State = TPortState::Free;
    } else if (error == EBUSY || error == EWOULDBLOCK) {
        p.State = TPortState::Busy;
    } else if (IsRefusal(error)) {
        p.State = TPortState::Refused;
        NoteRefusal(p);
    } else if (IsMissingDeviceError(error)) {
        p.State = TPortState::Missing;
    } else {
        p.State = TPortState::Failed;
    }
    return p;
}

std::string PermissionAdvice(const TPortProbe& probe)
{
    if (!probe.AccessRefused)
        return {};
    const std::string port = probe.Device + " (COM" + std::to_string(probe.Number) + ")";
    // Without a group (the device could not be examined) there is no group to name.
    if (probe.Group.empty())
        return "You have no permission to open " + port + ": ask the administrator for access to it.";
    return "You have no permission to open " + port + ". It belongs to the group \"" + probe.Group +
           "\".\nJoin that group with:  sudo usermod -aG " + probe.Group +
           " $USER\nthen log out and in again.";
}

std::string ShownPortDevice(int number)
{
    const std::string path = ResolvePortDevice(ComPortName(number));
    std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
    return real ? std::string(real.get()) : path;
}

std::string PortPresenceSignature()
{
    std::string s = ReadPortPins().Problem;
    for (int n = 1; n <= 16; ++n) {
        const std::string device = ResolvePortDevice(ComPortName(n));
        const TPortDevice found = device.empty() ? TPortDevice{} : ExaminePortDevice(device);
        s += '\n' + device + '>' + found.Path + (found.Present ? "+" : "-");
    }
    return s;
}

std::string DeviceDescription(const TPortProbe& probe)
{
    const std::string& kind = probe.Driver.empty() ? probe.Kind : probe.Driver;
    if (kind.empty() || kind == "terminal")
        return probe.Device;
    return probe.Device + " (" + kind + ")";
}

} // namespace kivra
