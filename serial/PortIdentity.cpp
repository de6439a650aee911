#include "serial/PortIdentity.h"

#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <memory>
#include <sys/stat.h>

namespace kivra {
namespace {

std::string RealPath(const std::string& path)
{
    std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
    return real ? std::string(real.get()) : std::string();
}

std::string FirstLine(const std::string& path)
{
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == ' ' || line.back() == '\r'))
        line.pop_back();
    return line;
}

bool Exists(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

// The first link in dir that leads to real (names sorted, so the answer does not depend on the
// directory's order).
std::string LinkTo(const std::string& dir, const std::string& real)
{
    struct Closer {
        void operator()(DIR* d) const { ::closedir(d); }
    };
    const std::unique_ptr<DIR, Closer> d(::opendir(dir.c_str()));
    if (!d)
        return {};
    std::string found;
    while (const dirent* e = ::readdir(d.get())) {
        const std::string name = e->d_name;
        if (name == "." || name == "..")
            continue;
        std::string path = dir;
        path += '/';
        path += name;
        if (RealPath(path) == real && (found.empty() || path < found))
            found = path;
    }
    return found;
}

} // namespace

std::string TPortIdentity::UsbText() const
{
    std::string text = Manufacturer;
    if (!Product.empty())
        text += (text.empty() ? "" : " ") + Product;
    if (!Serial.empty())
        text += (text.empty() ? "serial " : ", serial ") + Serial;
    if (!UsbId.empty())
        text += (text.empty() ? "[" : " [") + UsbId + "]";
    return text;
}

TPortIdentity ExaminePortIdentity(const std::string& device, const TDeviceRoots& roots)
{
    TPortIdentity id;
    const std::string real = RealPath(device);
    if (real.empty())
        return id;
    id.ById = LinkTo(roots.Dev + "/serial/by-id", real);
    id.ByPath = LinkTo(roots.Dev + "/serial/by-path", real);
    // From the tty's device up to the USB device, which carries idVendor (the interface and the
    // serial converter's port lie below it).
    const std::string name = real.substr(real.rfind('/') + 1);
    std::string dir = RealPath(roots.Sys + "/class/tty/" + name + "/device");
    const std::string sysDevices = RealPath(roots.Sys);
    for (int up = 0; up < 6 && !dir.empty() && dir.size() > sysDevices.size(); ++up) {
        if (Exists(dir + "/idVendor")) {
            id.Manufacturer = FirstLine(dir + "/manufacturer");
            id.Product = FirstLine(dir + "/product");
            id.Serial = FirstLine(dir + "/serial");
            id.UsbId = FirstLine(dir + "/idVendor") + ":" + FirstLine(dir + "/idProduct");
            break;
        }
        dir = dir.substr(0, dir.rfind('/'));
    }
    return id;
}

std::string StablePortPath(const std::string& device, const TDeviceRoots& roots)
{
    for (const std::string& dir : {roots.Dev + "/serial/by-id/", roots.Dev + "/serial/by-path/"})
        if (device.starts_with(dir))
            return device;
    return ExaminePortIdentity(device, roots).StablePath();
}

} // namespace kivra
