#include "serial/PortNames.h"

#include "serial/PortPins.h"

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kivra {

std::string PortDirectory()
{
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] != '\0')
        return std::string(runtime) + "/kivra-ports";
    return "/tmp/kivra-ports-" + std::to_string(::getuid());
}

bool PortDirectoryIsTrusted(const std::string& dir)
{
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return false;
    return st.st_uid == ::getuid() && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

bool EnsurePortDirectory()
{
    const std::string dir = PortDirectory();
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
        return false;
    return PortDirectoryIsTrusted(dir);
}

std::string ComPortName(int n)
{
    return n < 10 ? "COM" + std::to_string(n) : R"(\\.\COM)" + std::to_string(n);
}

int ComPortNumber(std::string_view name)
{
    constexpr std::string_view kNamespace = R"(\\.\)";
    if (name.substr(0, kNamespace.size()) == kNamespace)
        name.remove_prefix(kNamespace.size());
    if (name.substr(0, 3) != "COM" || name.size() == 3)
        return -1;
    name.remove_prefix(3);
    int n = 0;
    const auto [end, ec] = std::from_chars(name.data(), name.data() + name.size(), n);
    if (ec != std::errc() || end != name.data() + name.size() || n < 1 || name[0] == '0')
        return -1;
    return n;
}

std::string DefaultPortDevice(int n)
{
    if (n >= 1 && n <= 4)
        return "/dev/ttyS" + std::to_string(n - 1);
    if (n >= 5 && n <= 12)
        return "/dev/ttyUSB" + std::to_string(n - 5);
    if (n >= 13 && n <= 16)
        return "/dev/ttyACM" + std::to_string(n - 13);
    return {};
}

std::string ResolvePortDevice(std::string_view name)
{
    if (!name.empty() && name.front() == '/')
        return std::string(name);
    const int n = ComPortNumber(name);
    if (n < 1)
        return {};
    if (std::string pinned = PinnedDevice(n); !pinned.empty())
        return pinned;
    const std::string dir = PortDirectory();
    if (PortDirectoryIsTrusted(dir)) {
        std::string link = dir + "/COM" + std::to_string(n);
        struct stat st {};
        if (::lstat(link.c_str(), &st) == 0)
            return link;
    }
    return DefaultPortDevice(n);
}

bool IsMissingDeviceError(int error)
{
    return error == ENOENT || error == ENODEV || error == ENXIO || error == ENOTDIR;
}

std::string DeviceGroup(const std::string& device)
{
    struct stat st {};
    if (device.empty() || ::stat(device.c_str(), &st) != 0)
        return {};
    group gr{};
    group* found = nullptr;
    char buf[4096];
    if (::getgrgid_r(st.st_gid, &gr, buf, sizeof buf, &found) != 0 || found == nullptr)
        return std::to_string(st.st_gid);
    return found->gr_name;
}

} // namespace kivra
