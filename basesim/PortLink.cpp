#include "basesim/PortLink.h"

#include "core/Exception.h"
#include "serial/PortNames.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace kivra::basesim {

namespace {

std::string ReadLink(const std::string& path)
{
    char buf[4096];
    const ssize_t n = ::readlink(path.c_str(), buf, sizeof buf - 1);
    return n < 0 ? std::string() : std::string(buf, static_cast<std::size_t>(n));
}

} // namespace

std::string PortLinkPath(int n)
{
    return PortDirectory() + "/COM" + std::to_string(n);
}

std::string RegisterPortLink(int n, const std::string& target)
{
    if (n < 1)
        throw Exception("Invalid COM port number " + std::to_string(n) + ".");
    if (!EnsurePortDirectory())
        throw Exception("The port directory " + PortDirectory() +
                        " cannot be used (it must be a directory owned by you and writable only by you).");
    std::string link = PortLinkPath(n);
    struct stat st {};
    if (::lstat(link.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode))
            throw Exception(link + " exists and is not a link; COM" + std::to_string(n) + " not registered.");
        struct stat target_st {};
        if (::stat(link.c_str(), &target_st) == 0)
            throw Exception("COM" + std::to_string(n) + " is already registered by another base (" +
                            ReadLink(link) + ").");
        ::unlink(link.c_str()); // dangling: its simulator is gone
    }
    if (::symlink(target.c_str(), link.c_str()) != 0)
        throw Exception("Cannot register COM" + std::to_string(n) + " at " + link + ": " +
                        std::strerror(errno));
    return link;
}

void UnregisterPortLink(const std::string& link, const std::string& target)
{
    if (!link.empty() && ReadLink(link) == target)
        ::unlink(link.c_str());
}

int FirstFreePort()
{
    for (int n = 1; n <= 16; ++n) {
        const std::string device = ResolvePortDevice(ComPortName(n));
        struct stat st {};
        if (device.empty() || ::stat(device.c_str(), &st) != 0)
            return n;
    }
    return 0;
}

} // namespace kivra::basesim
