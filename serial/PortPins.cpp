#include "serial/PortPins.h"

#include "serial/PortNames.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace kivra {
namespace {

constexpr int kHighestPort = 16;

std::string Directory(const std::string& path)
{
    const auto slash = path.rfind('/');
    return slash == std::string::npos || slash == 0 ? std::string("/") : path.substr(0, slash);
}

// "" when path (a directory or a regular file, not a link) belongs to this user and only this
// user may write it; else what is wrong, worded for the message.
std::string Untrusted(const std::string& path, bool directory)
{
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        return path + ": " + std::strerror(errno);
    if (directory ? !S_ISDIR(st.st_mode) : !S_ISREG(st.st_mode))
        return path + " is not a " + (directory ? "directory" : "regular file");
    if (st.st_uid != ::getuid())
        return path + " does not belong to you";
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return path + " is writable by others";
    return {};
}

bool MakeDirectories(const std::string& dir)
{
    if (dir.empty() || dir == "/")
        return true;
    struct stat st {};
    if (::stat(dir.c_str(), &st) == 0)
        return S_ISDIR(st.st_mode);
    return MakeDirectories(Directory(dir)) && (::mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST);
}

} // namespace

std::string PinFilePath()
{
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config != nullptr && config[0] == '/')
        return std::string(config) + "/kivra/ports";
    const char* home = std::getenv("HOME");
    return std::string(home != nullptr ? home : "") + "/.config/kivra/ports";
}

TPortPins ReadPortPins(const std::string& path)
{
    TPortPins result;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 && errno == ENOENT)
        return result;
    std::string problem = Untrusted(Directory(path), true);
    if (problem.empty())
        problem = Untrusted(path, false);
    if (!problem.empty()) {
        result.Problem = "COM port pins ignored: " + problem + ".";
        return result;
    }
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        const auto eq = line.find('=');
        if (line.empty() || line[0] == '#' || eq == std::string::npos)
            continue;
        const int n = ComPortNumber(line.substr(0, eq));
        const std::string device = line.substr(eq + 1);
        if (n >= 1 && n <= kHighestPort && device.starts_with("/"))
            result.Pins[n] = device;
    }
    return result;
}

std::string PinnedDevice(int number)
{
    const TPortPins pins = ReadPortPins();
    const auto it = pins.Pins.find(number);
    return it == pins.Pins.end() ? std::string() : it->second;
}

std::string WritePortPin(int number, const std::string& device, const std::string& path)
{
    if (number < 1 || number > kHighestPort)
        return "COM" + std::to_string(number) + " is not a port from COM1 to COM16";
    if (!device.empty() && (device.front() != '/' || device.find('\n') != std::string::npos))
        return "\"" + device + "\" is not a device path";
    const std::string dir = Directory(path);
    if (!MakeDirectories(dir))
        return "cannot create " + dir + ": " + std::strerror(errno);
    TPortPins pins = ReadPortPins(path);
    if (!pins.Problem.empty())
        return pins.Problem;
    // A device has one number: pinning it to another moves its pin.
    std::erase_if(pins.Pins, [&](const auto& pin) { return pin.first == number || pin.second == device; });
    if (!device.empty())
        pins.Pins[number] = device;

    std::ostringstream text;
    text << "# COM port pins of kivra-util and kivra-diag: COMn=device\n";
    for (const auto& [n, d] : pins.Pins)
        text << "COM" << n << '=' << d << '\n';
    const std::string content = text.str();
    // Written whole under a private name, then renamed over the file.
    std::string temp = path + ".XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0)
        return "cannot write " + path + ": " + std::strerror(errno);
    const bool written =
        ::fchmod(fd, 0600) == 0 &&
        ::write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size()) &&
        ::fsync(fd) == 0;
    const int error = errno;
    ::close(fd);
    if (!written || ::rename(temp.c_str(), path.c_str()) != 0) {
        const std::string why = std::strerror(written ? errno : error);
        ::unlink(temp.c_str());
        return "cannot write " + path + ": " + why;
    }
    return {};
}

} // namespace kivra
