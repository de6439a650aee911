#pragma once
// What stands behind a COM port name, and why a port cannot be opened, as kivra-diag reports it.
// The facts come from serial/PortProbe, shared with the window's port list.

#include "serial/PortNames.h"
#include "serial/PortProbe.h"

#include <string>

namespace kivra::diag {

using PortState = TPortState;

struct PortProbe {
    int Number = 0;
    std::string Device; // the path COMn resolves to
    PortState State = PortState::Failed;
    int Errno = 0;
    std::string Detail; // Busy: the holder when known; Refused: how to get access; Failed: the system's text
};

//! The state of a port from the system's device information, its lock file and the processes
//! that hold it; the device is not opened.
PortProbe ProbePort(int number);

//! The state for an errno of a failed open of device (the group owning it for a refusal).
PortProbe ClassifyOpenError(int number, const std::string& device, int error);

using kivra::DeviceGroup;

//! "free", "busy (in use by minicom, process 1234)", ... for the ports table.
std::string PortStateText(const PortProbe& probe);

} // namespace kivra::diag
