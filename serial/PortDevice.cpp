#include "serial/PortDevice.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <signal.h> // NOLINT(modernize-deprecated-headers): kill() is POSIX, declared only here
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace kivra {
namespace {

constexpr const char* kLockDirectory = "/run/lock";
// Unix98 pseudo-terminal slaves (/dev/pts/N) and the multiplexer their masters come from.
constexpr unsigned kPtySlaveMajorFirst = 136;
constexpr unsigned kPtySlaveMajorLast = 143;
const dev_t kPtmx = makedev(5, 2);

std::string RealPath(const std::string& path)
{
    std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
    return real ? std::string(real.get()) : std::string();
}

std::string BaseName(const std::string& path)
{
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string FirstLine(const std::string& path)
{
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

bool IsPtySlave(dev_t rdev)
{
    return major(rdev) >= kPtySlaveMajorFirst && major(rdev) <= kPtySlaveMajorLast;
}

unsigned PtyIndex(dev_t rdev)
{
    return (major(rdev) - kPtySlaveMajorFirst) * 256 + minor(rdev);
}

struct DirCloser {
    void operator()(DIR* d) const { ::closedir(d); }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

bool ProcessAlive(int pid)
{
    return pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM);
}

std::string ProcessName(int pid)
{
    return FirstLine("/proc/" + std::to_string(pid) + "/comm");
}

TPortHolder HolderOf(int pid)
{
    return {pid, ProcessName(pid)};
}

// The process id in a lock file: ASCII decimal, leading blanks allowed (the 10-column form and
// the form with a program name on the following lines). -1 without a file, 0 for no number.
int LockFilePid(const std::string& path)
{
    std::ifstream in(path);
    if (!in)
        return -1;
    long pid = 0;
    if (!(in >> pid) || pid <= 0 || pid > INT_MAX)
        return 0;
    return static_cast<int>(pid);
}

// The kernel driver behind a tty's device, skipping the serial core's own port devices.
std::string DriverOf(const std::string& deviceLink)
{
    std::string dir = RealPath(deviceLink);
    for (int up = 0; up < 3 && !dir.empty(); ++up) {
        std::string driver = BaseName(RealPath(dir + "/driver"));
        if (!driver.empty() && driver != "port" && driver != "ctrl")
            return driver;
        dir = dir.substr(0, dir.rfind('/'));
    }
    return {};
}

// A file lock (flock, POSIX or open-file-description lock) on the node itself, by any process:
// opening the port would fail while it is there.
bool FindFileLock(const struct stat& node, TPortHolder& holder)
{
    std::ifstream in("/proc/locks");
    std::string line;
    while (std::getline(in, line)) {
        if (line.find("->") != std::string::npos)
            continue; // a waiter, not a holder
        int pid = 0;
        unsigned devMajor = 0, devMinor = 0;
        unsigned long inode = 0;
        if (std::sscanf(line.c_str(), "%*d: %*s %*s %*s %d %x:%x:%lu", &pid, &devMajor, &devMinor, &inode) !=
            4)
            continue;
        if (devMajor == major(node.st_dev) && devMinor == minor(node.st_dev) && inode == node.st_ino) {
            // Another port of this program is not named as "another program" would be.
            holder = pid > 0 && pid != ::getpid() ? HolderOf(pid) : TPortHolder{};
            return true;
        }
    }
    return false;
}

// A process other than this one with the device open; on a pseudo-terminal not the one holding
// its master side.
bool FindOpenDescriptor(dev_t rdev, TPortHolder& holder)
{
    const bool pty = IsPtySlave(rdev);
    const unsigned index = PtyIndex(rdev);
    const pid_t self = ::getpid();
    const DirPtr proc(::opendir("/proc"));
    if (!proc)
        return false;
    while (const dirent* p = ::readdir(proc.get())) {
        char* end = nullptr;
        const long pid = std::strtol(p->d_name, &end, 10);
        if (pid <= 0 || *end != '\0' || pid == self)
            continue;
        const std::string base = "/proc/" + std::string(p->d_name);
        const DirPtr fds(::opendir((base + "/fd").c_str()));
        if (!fds)
            continue; // gone, or not ours to look at
        bool holds = false;
        bool farEnd = false;
        while (const dirent* f = ::readdir(fds.get())) {
            if (f->d_name[0] == '.')
                continue;
            struct stat st {};
            if (::stat((base + "/fd/" + f->d_name).c_str(), &st) != 0 || !S_ISCHR(st.st_mode))
                continue;
            if (st.st_rdev == rdev) {
                holds = true;
            } else if (pty && st.st_rdev == kPtmx) {
                std::ifstream info(base + "/fdinfo/" + f->d_name);
                std::string line;
                unsigned ttyIndex = 0;
                while (std::getline(info, line))
                    if (std::sscanf(line.c_str(), "tty-index: %u", &ttyIndex) == 1 && ttyIndex == index)
                        farEnd = true;
            }
        }
        if (holds && !farEnd) {
            holder = HolderOf(static_cast<int>(pid));
            return true;
        }
    }
    return false;
}

} // namespace

TPortDevice ExaminePortDevice(const std::string& device, const std::string& sysfs)
{
    TPortDevice d;
    d.Path = RealPath(device);
    struct stat st {};
    if (d.Path.empty() || ::stat(d.Path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode))
        return d;
    const std::string entry = RealPath(sysfs + "/dev/char/" + std::to_string(major(st.st_rdev)) + ":" +
                                       std::to_string(minor(st.st_rdev)));
    if (entry.empty()) {
        // Pseudo-terminal slaves have no sysfs entry; nor has anything the system does not list.
        d.Present = true;
        d.Kind = IsPtySlave(st.st_rdev) ? "pseudo-terminal" : "terminal";
        return d;
    }
    if (BaseName(RealPath(entry + "/subsystem")) != "tty")
        return d; // some other character device
    // Serial-core ports tell their UART type; 0 is a placeholder with no UART behind it.
    const std::string type = FirstLine(entry + "/type");
    if (!type.empty() && std::strtol(type.c_str(), nullptr, 0) == 0)
        return d;
    d.Present = true;
    struct stat dev {};
    if (::stat((entry + "/device").c_str(), &dev) == 0) {
        d.Kind = "serial";
        d.Driver = DriverOf(entry + "/device");
    } else {
        d.Kind = "terminal";
    }
    return d;
}

bool FindPortHolder(const std::string& device, TPortHolder& holder)
{
    holder = {};
    struct stat node {};
    if (::stat(device.c_str(), &node) != 0 || !S_ISCHR(node.st_mode))
        return false;
    const int pid = LockFilePid(PortLockPath(device));
    if (pid > 0 && pid != ::getpid() && ProcessAlive(pid)) {
        holder = HolderOf(pid);
        return true;
    }
    return FindFileLock(node, holder) || FindOpenDescriptor(node.st_rdev, holder);
}

std::string HolderText(const TPortHolder& holder)
{
    if (holder.Pid <= 0)
        return "another program";
    const std::string process = "process " + std::to_string(holder.Pid);
    return holder.Name.empty() ? process : holder.Name + ", " + process;
}

std::string PortLockPath(const std::string& device)
{
    std::string path = RealPath(device);
    if (path.empty())
        path = device;
    std::string name = path.rfind("/dev/", 0) == 0 ? path.substr(5) : BaseName(path);
    for (char& c : name)
        if (c == '/')
            c = '_';
    return std::string(kLockDirectory) + "/LCK.." + name;
}

int TakePortLock(const std::string& device, std::string& lockPath, TPortHolder& holder)
{
    lockPath.clear();
    const std::string path = PortLockPath(device);
    const pid_t self = ::getpid();
    // Written whole under a private name, then linked into place: nobody sees a half-written lock.
    std::string temp = std::string(kLockDirectory) + "/.LCK.kivra.XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0)
        return 0; // no usable lock directory: go on without a lock file
    char text[16];
    const int length = std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(self));
    const bool written = ::fchmod(fd, 0644) == 0 && ::write(fd, text, static_cast<size_t>(length)) == length;
    ::close(fd);
    int result = 0;
    for (int attempt = 0; written && attempt < 2; ++attempt) {
        if (::link(temp.c_str(), path.c_str()) == 0) {
            lockPath = path;
            break;
        }
        if (errno != EEXIST)
            break;
        const int pid = LockFilePid(path);
        if (pid == self)
            break; // another port of this program: its own open decides
        if (ProcessAlive(pid)) {
            holder = HolderOf(pid);
            result = EBUSY;
            break;
        }
        if (pid == 0) {
            // No number yet: a program that writes its lock in two steps may be half-way.
            struct stat st {};
            const auto now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
            if (::stat(path.c_str(), &st) == 0 && now - st.st_mtime < 5) {
                result = EBUSY;
                break;
            }
        }
        ::unlink(path.c_str()); // stale: its process is gone
    }
    ::unlink(temp.c_str());
    return result;
}

void ReleasePortLock(const std::string& lockPath)
{
    if (!lockPath.empty() && LockFilePid(lockPath) == ::getpid())
        ::unlink(lockPath.c_str());
}

} // namespace kivra
