// Who a device is (stable links, USB adapter details) from moved /dev and sysfs roots, and the
// user's COM port pins: their place in the name resolution and the checks on their file.
#include "serial/PortPins.h"
#include "serial/PortIdentity.h"
#include "serial/PortNames.h"
#include "tests/support/PtyPeer.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

using namespace kivra;
namespace fs = std::filesystem;

namespace {

class TempTree : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = fs::temp_directory_path() / "kivra-pins-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        root = pattern;
    }
    void TearDown() override { fs::remove_all(root); }
    void Write(const fs::path& file, const std::string& text)
    {
        fs::create_directories(file.parent_path());
        std::ofstream(file) << text << '\n';
    }
    void Link(const fs::path& target, const fs::path& link)
    {
        fs::create_directories(link.parent_path());
        fs::create_symlink(target, link);
    }
    fs::path root;
};

class Pins : public TempTree {
protected:
    void SetUp() override
    {
        TempTree::SetUp();
        test::UsePrivatePortDirectory();
        const char* old = std::getenv("XDG_CONFIG_HOME");
        saved = old ? std::optional<std::string>(old) : std::nullopt;
        ::setenv("XDG_CONFIG_HOME", root.c_str(), 1);
        file = root / "kivra" / "ports";
    }
    void TearDown() override
    {
        if (saved)
            ::setenv("XDG_CONFIG_HOME", saved->c_str(), 1);
        else
            ::unsetenv("XDG_CONFIG_HOME");
        TempTree::TearDown();
    }
    std::optional<std::string> saved;
    fs::path file;
};

} // namespace

TEST_F(TempTree, IdentityFromStableLinksAndTheUsbDevice)
{
    const TDeviceRoots roots{root / "dev", root / "sys"};
    Write(root / "dev/ttyUSB0", "");
    Write(root / "dev/ttyS0", "");
    Link("../../ttyUSB0", root / "dev/serial/by-id/usb-Maker_Adapter_A1B2-if00-port0");
    Link("../../ttyUSB0", root / "dev/serial/by-path/pci-0000:00:14.0-usb-0:1:1.0-port0");
    // The tty sits below the converter's port, below the interface, below the USB device.
    const fs::path usb = root / "sys/devices/pci0000:00/0000:00:14.0/usb1/1-1";
    Write(usb / "idVendor", "0403");
    Write(usb / "idProduct", "6001");
    Write(usb / "manufacturer", "Maker");
    Write(usb / "product", "USB Serial Adapter");
    Write(usb / "serial", "A1B2");
    fs::create_directories(usb / "1-1:1.0/ttyUSB0/tty/ttyUSB0");
    Link(usb / "1-1:1.0/ttyUSB0", root / "sys/class/tty/ttyUSB0/device");

    const std::string byId = root / "dev/serial/by-id/usb-Maker_Adapter_A1B2-if00-port0";
    const std::string byPath = root / "dev/serial/by-path/pci-0000:00:14.0-usb-0:1:1.0-port0";
    // Asked by the node or by either link, it is the same device.
    for (const std::string& asked : {std::string(root / "dev/ttyUSB0"), byId, byPath}) {
        SCOPED_TRACE(asked);
        const TPortIdentity id = ExaminePortIdentity(asked, roots);
        EXPECT_EQ(id.ById, byId);
        EXPECT_EQ(id.ByPath, byPath);
        EXPECT_EQ(id.StablePath(), byId);
        EXPECT_EQ(id.UsbText(), "Maker USB Serial Adapter, serial A1B2 [0403:6001]");
    }
    EXPECT_EQ(StablePortPath(root / "dev/ttyUSB0", roots), byId);
    EXPECT_EQ(StablePortPath(byPath, roots), byPath); // already stable: kept as the user chose it

    // Without links and USB details, and a device that is not there.
    for (const std::string& bare : {std::string(root / "dev/ttyS0"), std::string(root / "dev/ttyUSB9")}) {
        const TPortIdentity id = ExaminePortIdentity(bare, roots);
        EXPECT_EQ(id.StablePath(), "");
        EXPECT_EQ(id.UsbText(), "");
        EXPECT_EQ(StablePortPath(bare, roots), "");
    }
    TPortIdentity serialOnly;
    serialOnly.Serial = "9";
    EXPECT_EQ(serialOnly.UsbText(), "serial 9");
}

TEST_F(Pins, APinComesBeforeThePortDirectoryAndTheTable)
{
    test::PtyPeer pty;
    ASSERT_TRUE(EnsurePortDirectory());
    const std::string link = PortDirectory() + "/COM3";
    ::unlink(link.c_str());
    ASSERT_EQ(::symlink(pty.Path().c_str(), link.c_str()), 0);
    EXPECT_EQ(ResolvePortDevice("COM3"), link);

    ASSERT_EQ(WritePortPin(3, "/dev/serial/by-id/usb-X-port0"), "");
    ASSERT_EQ(WritePortPin(12, pty.Path()), "");
    EXPECT_EQ(ResolvePortDevice("COM3"), "/dev/serial/by-id/usb-X-port0");
    EXPECT_EQ(ResolvePortDevice("\\\\.\\COM12"), pty.Path());
    EXPECT_EQ(ResolvePortDevice("COM5"), "/dev/ttyUSB0");
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(::stat(file.parent_path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    // A device has one number: pinned elsewhere, it leaves its old one.
    ASSERT_EQ(WritePortPin(9, pty.Path()), "");
    EXPECT_EQ(ReadPortPins().Pins,
              (std::map<int, std::string>{{3, "/dev/serial/by-id/usb-X-port0"}, {9, pty.Path()}}));
    ASSERT_EQ(WritePortPin(12, pty.Path()), "");

    // Unpinned, the port directory's link counts again; the other pin stays.
    ASSERT_EQ(WritePortPin(3, ""), "");
    EXPECT_EQ(ResolvePortDevice("COM3"), link);
    EXPECT_EQ(ReadPortPins().Pins, (std::map<int, std::string>{{12, pty.Path()}}));
    ::unlink(link.c_str());

    // Refused: no port, no device path; the file stays as it was.
    EXPECT_NE(WritePortPin(17, "/dev/ttyS0"), "");
    EXPECT_NE(WritePortPin(0, "/dev/ttyS0"), "");
    EXPECT_NE(WritePortPin(2, "ttyS0"), "");
    EXPECT_NE(WritePortPin(2, "/dev/a\nCOM4=/dev/b"), "");
    EXPECT_EQ(ReadPortPins().Pins.size(), 1u);
}

TEST_F(Pins, LinesThatMeanNoPinAreSkipped)
{
    fs::create_directories(file.parent_path());
    ::chmod(file.parent_path().c_str(), 0700);
    Write(file, "# comment\nCOM0=/dev/a\nCOM17=/dev/b\nCOM2 /dev/c\nCOM4=relative\ncom5=/dev/d\n"
                "COM6=/dev/serial/by-id/x=y\n\\\\.\\COM11=/dev/e");
    ::chmod(file.c_str(), 0600);
    const TPortPins pins = ReadPortPins();
    EXPECT_EQ(pins.Problem, "");
    EXPECT_EQ(pins.Pins, (std::map<int, std::string>{{6, "/dev/serial/by-id/x=y"}, {11, "/dev/e"}}));
}

TEST_F(Pins, AFileOthersCouldChangeIsIgnoredAndSaysWhy)
{
    ASSERT_EQ(WritePortPin(3, "/dev/ttyS3"), "");
    const struct {
        const char* what;
        std::function<void()> spoil, mend;
        const char* problem;
    } cases[] = {
        {"group-writable file", [&] { ::chmod(file.c_str(), 0620); }, [&] { ::chmod(file.c_str(), 0600); },
         "ports is writable by others"},
        {"world-writable directory", [&] { ::chmod(file.parent_path().c_str(), 0777); },
         [&] { ::chmod(file.parent_path().c_str(), 0700); }, "kivra is writable by others"},
        {"a link instead of the file",
         [&] {
             fs::rename(file, root / "real-ports");
             fs::create_symlink(root / "real-ports", file);
         },
         [&] {
             fs::remove(file);
             fs::rename(root / "real-ports", file);
         },
         "ports is not a regular file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        c.spoil();
        const TPortPins pins = ReadPortPins();
        EXPECT_TRUE(pins.Pins.empty());
        EXPECT_NE(pins.Problem.find(c.problem), std::string::npos) << pins.Problem;
        EXPECT_EQ(ResolvePortDevice("COM3"), "/dev/ttyS2");     // the table again
        EXPECT_EQ(WritePortPin(4, "/dev/ttyS0"), pins.Problem); // nothing written over it
        c.mend();
        EXPECT_EQ(ResolvePortDevice("COM3"), "/dev/ttyS3");
        EXPECT_EQ(ReadPortPins().Pins.count(4), 0u);
    }
}
