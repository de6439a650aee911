#pragma once
// What the system knows about a serial device without opening it (opening a tty raises DTR and
// RTS, which resets some boards and modems): presence and kind from sysfs, and the programs that
// hold it from the UUCP lock file, /proc/locks and /proc/*/fd. The lock file is also taken here.

#include <string>

namespace kivra {

//! A device node as the system describes it.
struct TPortDevice {
    bool Present = false; // a terminal device that exists; a serial driver's placeholder is not
    std::string Path;     // the device node, links resolved
    std::string Kind;     // "serial", "pseudo-terminal", "terminal", or "" when not present
    std::string Driver;   // kernel driver of a serial device ("ftdi_sio", "cdc_acm"), or ""
};

//! Looks device up under sysfs (root "/sys" unless a test points elsewhere). A serial port
//! without a UART behind it (type 0, "unknown") is not present.
TPortDevice ExaminePortDevice(const std::string& device, const std::string& sysfs = "/sys");

//! Another program holding a device: Pid 0 when it could not be named.
struct TPortHolder {
    int Pid = 0;
    std::string Name;
};

//! True when another program holds device: a live process in its lock file, a file lock on the
//! node, or a process with it open. This process and, on a pseudo-terminal, the process holding
//! the master side (the far end of the line) do not count as holders.
bool FindPortHolder(const std::string& device, TPortHolder& holder);

//! "minicom, process 1234", or "another program" when the holder is not known.
std::string HolderText(const TPortHolder& holder);

//! The UUCP lock file of a device: /run/lock/LCK..<name>, name being the path below /dev with
//! each "/" as "_" (LCK..ttyUSB0, LCK..pts_3).
std::string PortLockPath(const std::string& device);

//! Takes the lock file of device for this process (a stale one of a dead process is removed).
//! 0 with lockPath set; 0 with lockPath empty when the lock directory cannot be used; EBUSY with
//! the holder when another live process has it.
int TakePortLock(const std::string& device, std::string& lockPath, TPortHolder& holder);

//! Removes a lock file taken by TakePortLock when it still names this process.
void ReleasePortLock(const std::string& lockPath);

} // namespace kivra
