// kivra-diag decides by the control's facts: a serial number holding letters is shown, and a
// refused open is explained from its system error without opening the device again.

#include "basesim/BaseSimulator.h"
#include "diag/DiagOptions.h"
#include "tests/diag/DiagToolRunner.h"
#include "tests/support/Simulator.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <memory>
#include <sys/file.h>
#include <unistd.h>

using namespace kivra::basesim;
using kivra::diag::ExitCode;
using kivra::test::RunDiagInProcess;

namespace {

constexpr int kPort = 3;
const std::vector<std::string> kIdentify = {"identify", "--port", std::to_string(kPort)};

std::unique_ptr<BaseSimulator> StartBase(SimConfig cfg = {})
{
    return kivra::test::StartSimulator(std::move(cfg), kPort);
}

} // namespace

TEST(DiagFacts, IdentifyShowsASerialNumberWithLetters)
{
    SimConfig cfg;
    cfg.BaseSerial = "A1B2C3";
    auto sim = StartBase(cfg);
    const auto r = RunDiagInProcess(kIdentify);
    EXPECT_EQ(r.Code, 0) << r.Err;
    EXPECT_NE(r.Out.find("Serial number:    A1B2C3\n"), std::string::npos) << r.Out;
}

TEST(DiagFacts, BusyPortIsExplainedWithoutASecondOpen)
{
    auto sim = StartBase();
    const int fd = ::open(sim->SlaveDevice().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
    kivra::test::OpenWatch opens(sim->SlaveDevice());
    const auto r = RunDiagInProcess(kIdentify);
    ::close(fd);
    EXPECT_EQ(r.Code, static_cast<int>(ExitCode::PortUnavailable)) << r.Err;
    EXPECT_NE(r.Err.find("is busy (in use by another program)"), std::string::npos) << r.Err;
    // The port refuses a held device before opening it; the tool asks the control why, not the
    // device.
    EXPECT_EQ(opens.Opens(), 0) << "the device was opened to learn why it was refused";
}
