#pragma once
// Who a serial device is, as a user recognises it: its stable links under /dev/serial/by-id and
// /dev/serial/by-path, and for a USB adapter the maker, product and serial number the adapter
// reports. Read from /dev and sysfs without opening the device; both roots can be moved for tests.

#include <string>

namespace kivra {

//! Where the system's device nodes and device information are found.
struct TDeviceRoots {
    std::string Dev = "/dev";
    std::string Sys = "/sys";
};

struct TPortIdentity {
    std::string ById;         // the link under <dev>/serial/by-id that leads to the device, or ""
    std::string ByPath;       // the link under <dev>/serial/by-path, or ""
    std::string Manufacturer; // USB adapter: as it reports itself; "" otherwise
    std::string Product;
    std::string Serial;
    std::string UsbId; // "0403:6001" (vendor:product), or ""

    //! The by-id link, else the by-path link, else "" (a device without a stable name).
    const std::string& StablePath() const { return ById.empty() ? ByPath : ById; }
    //! "maker product, serial S [vvvv:pppp]" with the parts known; "" for a device that is no USB adapter.
    std::string UsbText() const;
};

//! The identity of device (a path, links resolved). Empty when the device is not there.
TPortIdentity ExaminePortIdentity(const std::string& device, const TDeviceRoots& roots = {});

//! The stable path of device (by-id before by-path) when it has one, else "". A path that already
//! is a stable link is kept as it is.
std::string StablePortPath(const std::string& device, const TDeviceRoots& roots = {});

} // namespace kivra
