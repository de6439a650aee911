#pragma once
// COM port names on POSIX. "COMn" and "\\.\COMn" resolve first through the user's pins
// (serial/PortPins.h), then through a link "COMn" in the per-user port directory (where the
// simulator registers itself), then through a default table; a name that starts with "/" is a
// device path used as it stands.

#include <string>
#include <string_view>

namespace kivra {

//! $XDG_RUNTIME_DIR/kivra-ports, or /tmp/kivra-ports-<uid> when that variable is unset or empty.
std::string PortDirectory();

//! True when dir exists, is a directory owned by this user and not writable by group or others.
bool PortDirectoryIsTrusted(const std::string& dir);

//! Creates the port directory (mode 0700) when missing. Returns false when it cannot be used.
bool EnsurePortDirectory();

//! "COM" + n for n below 10, "\\.\COM" + n from 10 on (the device-namespace form).
std::string ComPortName(int n);

//! n for "COMn" or "\\.\COMn" (n from 1), otherwise -1.
int ComPortNumber(std::string_view name);

//! COM1-COM4 = /dev/ttyS0-3, COM5-COM12 = /dev/ttyUSB0-7, COM13-COM16 = /dev/ttyACM0-3; else "".
std::string DefaultPortDevice(int n);

//! The device path a port name stands for: a "/" path as it stands; COMn through its pin, else
//! the link in the trusted port directory, else the default table; "" when the name means nothing here.
std::string ResolvePortDevice(std::string_view name);

//! True for the errno of an open that failed because the device is not there (ENOENT, ENODEV,
//! ENXIO, ENOTDIR), as opposed to busy or refused.
bool IsMissingDeviceError(int error);

//! The name of the group owning device (its gid in decimal when the group has no name), or ""
//! when the device cannot be examined. Used to tell a refused user which group to join.
std::string DeviceGroup(const std::string& device);

} // namespace kivra
