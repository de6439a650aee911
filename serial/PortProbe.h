#pragma once
// What stands behind a COM port number and whether it can be opened, asked without opening the
// device (opening a tty raises DTR and RTS): presence and kind from sysfs, holders from the lock
// file and /proc, refusal from the access rights. The port list of the window and the ports
// command of kivra-diag both ask here, so they list and advise alike.

#include "serial/PortDevice.h"

#include <cstdint>
#include <string>

namespace kivra {

enum class TPortState : std::uint8_t {
    Free,    // present, nobody holds it, and this user may open it
    Busy,    // another program holds it
    Refused, // this user lacks the rights to open it
    Missing, // nothing behind the name, or a serial driver's placeholder without a UART
    Failed,  // an open failed for another reason (only from ClassifyPortError)
};

struct TPortProbe {
    int Number = 0;
    std::string Device; // the path COMn resolves to; "" when the number means nothing here
    std::string Kind;   // "serial", "pseudo-terminal", "terminal"; "" when missing
    std::string Driver; // kernel driver of a serial device ("ftdi_sio"), or ""
    TPortState State = TPortState::Missing;
    int Error = 0;              // the system error behind State: 0, EBUSY, EACCES/EPERM, ENOENT, ...
    TPortHolder Holder;         // Busy: the process holding it (Pid 0 when it cannot be named)
    bool AccessRefused = false; // the rights refuse this user (also when it is busy as well)
    std::string Group;          // AccessRefused: the group owning the device, "" when unknown
};

//! Probes COMn (n from 1) without opening it.
TPortProbe ProbePort(int number);

//! Probes device as the device of COMn, without opening it.
TPortProbe ProbePortDevice(int number, const std::string& device);

//! The state an open of device that failed with error stands for (0: free).
TPortProbe ClassifyPortError(int number, const std::string& device, int error);

//! How to get access to a refused port: names the device, its group and how to join it. Empty
//! unless the probe found the access refused.
std::string PermissionAdvice(const TPortProbe& probe);

//! The device COMn stands for with its links resolved, as a report names it; the unresolved path
//! when it does not resolve (a link to nothing).
std::string ShownPortDevice(int number);

//! What changes when a device behind COM1-COM16 comes or goes or a name leads elsewhere: per
//! number the device it resolves to, the node that leads to and whether a terminal is there,
//! and why pins are ignored. Cheap enough to ask once a second; opens nothing.
std::string PortPresenceSignature();

//! The device path, followed by its driver or kind in brackets when that says more than
//! "terminal": "/dev/ttyUSB0 (ftdi_sio)", "/dev/pts/3 (pseudo-terminal)".
std::string DeviceDescription(const TPortProbe& probe);

} // namespace kivra
