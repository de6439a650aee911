#pragma once
// Pins: COM numbers a user has tied to a device for good, by its stable path. They live in the
// file "ports" of the user's configuration directory ($XDG_CONFIG_HOME/kivra, else
// ~/.config/kivra), one "COMn=path" a line, and come before the port directory's links and the
// default table. Like the port directory, the file and its directory must belong to the user and
// not be writable by group or others; otherwise the pins are ignored and the reason is told.

#include <map>
#include <string>

namespace kivra {

//! $XDG_CONFIG_HOME/kivra/ports, or $HOME/.config/kivra/ports when that variable is unset or empty.
std::string PinFilePath();

struct TPortPins {
    std::map<int, std::string> Pins; // COM number -> device path
    std::string Problem;             // why the file is ignored (then Pins is empty), or ""
};

//! The pins in the file at path; none without the file. An untrusted file yields no pins and a
//! Problem naming the file and what is wrong with it.
TPortPins ReadPortPins(const std::string& path = PinFilePath());

//! The device COMn is pinned to, or "".
std::string PinnedDevice(int number);

//! Pins number (1-16) to device, or removes its pin when device is empty; a device pinned to
//! another number before is moved. Creates the directory
//! (0700) and the file (0600) as needed and replaces the file whole. Returns "" on success, else
//! why it failed.
std::string WritePortPin(int number, const std::string& device, const std::string& path = PinFilePath());

} // namespace kivra
