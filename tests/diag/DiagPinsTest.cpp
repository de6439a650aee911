// kivra-diag ports --assign / --unassign: the command line, the pin file they write, and what the
// ports table then shows for the pinned number.
#include "basesim/BaseSimulator.h"
#include "diag/DiagOptions.h"
#include "serial/PortNames.h"
#include "serial/PortPins.h"
#include "tests/diag/DiagToolRunner.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <sys/stat.h>

using namespace kivra;
using namespace kivra::diag;
using kivra::test::RunDiagInProcess;

namespace {

// The lines of COM n in the ports table: its own and the indented ones below it.
std::string PortBlock(const std::string& out, int n)
{
    const std::string head = "\nCOM" + std::to_string(n) + " ";
    auto at = out.find(head);
    if (at == std::string::npos)
        return {};
    const auto next = out.find("\nCOM", at + head.size());
    return out.substr(at + 1, next == std::string::npos ? std::string::npos : next - at - 1);
}

} // namespace

TEST(DiagPins, CommandLine)
{
    const DiagOptions a = ParseArguments({"ports", "--assign", "COM7", "/dev/ttyUSB0"});
    EXPECT_EQ(a.AssignPort, 7);
    EXPECT_EQ(a.AssignDevice, "/dev/ttyUSB0");
    EXPECT_EQ(ParseArguments({"ports", "--unassign=12"}).UnassignPort, 12);
    const struct {
        std::vector<std::string> args;
        const char* says;
    } refused[] = {
        {{"ports", "--assign", "7"}, "--assign N DEVICE"},
        {{"ports", "--assign", "7", "/dev/a", "/dev/b"}, "--assign N DEVICE"},
        {{"ports", "--assign", "7", "ttyUSB0"}, "not a device path"},
        {{"ports", "--assign", "17", "/dev/ttyUSB0"}, "--assign: \"17\""},
        {{"ports", "--assign", "7", "/dev/a", "--unassign", "3"}, "without --unassign"},
        {{"ports", "--unassign", "x"}, "--unassign"},
        {{"ports", "/dev/ttyUSB0"}, "unexpected argument"},
        {{"identify", "--port", "1", "--assign", "2", "/dev/a"}, "unknown option --assign"},
    };
    for (const auto& r : refused) {
        SCOPED_TRACE(r.args[1]);
        try {
            ParseArguments(r.args);
            ADD_FAILURE() << "accepted";
        } catch (const UsageError& e) {
            EXPECT_NE(std::string(e.what()).find(r.says), std::string::npos) << e.what();
        }
    }
}

TEST(DiagPins, AssignedPortShowsTheDeviceUntilUnassigned)
{
    namespace fs = std::filesystem;
    std::string config = kivra::test::UsePrivatePortDirectory() + "/config-XXXXXX";
    ASSERT_NE(::mkdtemp(config.data()), nullptr);
    const std::string before = std::getenv("XDG_CONFIG_HOME") ? std::getenv("XDG_CONFIG_HOME") : "";
    ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    basesim::SimConfig cfg;
    cfg.ComPort = 0; // known only through the pin
    basesim::BaseSimulator sim(cfg);
    sim.Start();

    const auto assigned = RunDiagInProcess({"ports", "--assign", "7", sim.SlaveDevice()});
    EXPECT_EQ(assigned.Code, 0) << assigned.Err;
    EXPECT_EQ(assigned.Out, "COM7 pinned to " + sim.SlaveDevice() + "\n");
    auto listed = RunDiagInProcess({"ports"});
    std::string block = PortBlock(listed.Out, 7);
    EXPECT_NE(block.find(sim.SlaveDevice()), std::string::npos) << listed.Out;
    EXPECT_NE(block.find("free"), std::string::npos) << block;
    EXPECT_NE(block.find("pinned to " + sim.SlaveDevice()), std::string::npos) << block;
    EXPECT_EQ(PortBlock(listed.Out, 6).find("pinned"), std::string::npos) << listed.Out;

    // A pin file others could change is ignored, and the listing says why.
    const std::string dir = config + "/kivra";
    ::chmod(dir.c_str(), 0777);
    listed = RunDiagInProcess({"ports"});
    EXPECT_NE(listed.Err.find("pins ignored: " + dir + " is writable by others"), std::string::npos)
        << listed.Err;
    EXPECT_EQ(PortBlock(listed.Out, 7).find(sim.SlaveDevice()), std::string::npos) << listed.Out;
    const auto refused = RunDiagInProcess({"ports", "--unassign", "7"});
    EXPECT_EQ(refused.Code, 1);
    EXPECT_NE(refused.Err.find("writable by others"), std::string::npos) << refused.Err;
    ::chmod(dir.c_str(), 0700);

    const auto unassigned = RunDiagInProcess({"ports", "--unassign", "COM7"});
    EXPECT_EQ(unassigned.Code, 0) << unassigned.Err;
    EXPECT_EQ(unassigned.Out, "COM7 unpinned; it stands for /dev/ttyUSB2\n");
    listed = RunDiagInProcess({"ports"});
    EXPECT_EQ(PortBlock(listed.Out, 7).find(sim.SlaveDevice()), std::string::npos) << listed.Out;
    sim.Stop();
    ::setenv("XDG_CONFIG_HOME", before.c_str(), 1);
    fs::remove_all(config);
}
