#pragma once
// What stands behind a COM port name, and why a port cannot be opened, as kivra-diag reports it.
// The facts come from serial/PortProbe, shared with the window's port list.

#include "diag/DiagOptions.h"
#include "serial/PortNames.h"
#include "serial/PortProbe.h"

#include <ostream>
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

//! The lines below a port in the ports table: its stable path, the USB adapter, and its pin
//! (each line indented, "" when there is nothing to say).
std::string PortIdentityLines(int number, const std::string& device);

//! ports --assign / --unassign: writes the pin and prints what COM N now stands for. A device
//! with a stable path is pinned by that path. Throws std::runtime_error with the reason when the
//! pin cannot be written.
ExitCode ChangePortPin(const DiagOptions& o, std::ostream& out);

} // namespace kivra::diag
