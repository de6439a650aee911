// The facts the control keeps beside its texts: why the link failed and the system error behind
// it, a lost link, and counts of what the base answered. They hold whatever the texts say and
// whether or not anyone listens to the debug texts.

#include "basesim/BaseSimulator.h"
#include "control/Kivra.h"
#include "serial/PortNames.h"
#include "tests/support/Simulator.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/file.h>
#include <unistd.h>

using namespace std::chrono_literals;
using kivra::rstKivraModel;
using kivra::TKivra;
using kivra::TKivraFailure;
using kivra::basesim::BaseSimulator;
using kivra::basesim::FailureMode;
using kivra::basesim::Generation;
using kivra::basesim::SimConfig;
using kivra::test::WaitUntil;

namespace {

constexpr int kPort = 3;

std::unique_ptr<BaseSimulator> StartBase(SimConfig config = {})
{
    return kivra::test::StartSimulator(config, kPort);
}

// A control on kPort that neither raises nor reports: the facts alone tell what happened.
std::unique_ptr<TKivra> MakeControl()
{
    auto kivra = std::make_unique<TKivra>();
    kivra->SetPauseFunction([](int ms) { kivra::test::ProcessEventsFor(std::chrono::milliseconds(ms)); });
    kivra->SetErrorExceptionsEnabled(false);
    kivra->SetErrorEventsEnabled(false);
    kivra->SetDebugEventsEnabled(false);
    kivra->SetKivraModel(rstKivraModel::mAutoDetect);
    kivra->SetSerialPort(kPort);
    return kivra;
}

} // namespace

TEST(KivraFacts, RefusedOpenKeepsItsSystemErrorWithoutASecondOpen)
{
    auto kivra = MakeControl();
    { // held by a lock on the device: refused before it is opened, EBUSY
        auto sim = StartBase();
        const int fd = ::open(sim->SlaveDevice().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
        kivra::test::OpenWatch opens(sim->SlaveDevice());
        EXPECT_FALSE(kivra->Connect());
        ::close(fd);
        EXPECT_EQ(kivra->GetLastFailure(), TKivraFailure::PortNotOpened);
        EXPECT_EQ(kivra->GetLastSystemError(), EBUSY);
        EXPECT_FALSE(kivra->GetLinkLost());
        EXPECT_EQ(opens.Opens(), 0);
    }
    { // a registered port whose device is gone
        ASSERT_TRUE(kivra::EnsurePortDirectory());
        const std::string link = kivra::PortDirectory() + "/COM3";
        ::unlink(link.c_str());
        ASSERT_EQ(::symlink("/dev/kivra-no-such-tty", link.c_str()), 0);
        EXPECT_FALSE(kivra->Connect());
        ::unlink(link.c_str());
        EXPECT_EQ(kivra->GetLastFailure(), TKivraFailure::PortNotOpened);
        EXPECT_EQ(kivra->GetLastSystemError(), ENOENT);
    }
    { // a port that opens but where nothing answers: no system error behind it
        SimConfig silent;
        silent.Failure = FailureMode::Silent;
        auto sim = StartBase(silent);
        EXPECT_FALSE(kivra->Connect());
        EXPECT_EQ(kivra->GetLastFailure(), TKivraFailure::NoBase);
        EXPECT_EQ(kivra->GetLastSystemError(), 0);
    }
    { // the next Connect starts without the old failure
        auto sim = StartBase();
        ASSERT_TRUE(kivra->Connect());
        EXPECT_EQ(kivra->GetLastFailure(), TKivraFailure::None);
        EXPECT_EQ(kivra->GetLastSystemError(), 0);
        kivra->Disconnect(false);
    }
}

TEST(KivraFacts, LostLinkIsAFlagUntilTheNextConnect)
{
    auto sim = StartBase();
    auto kivra = MakeControl();
    ASSERT_TRUE(kivra->Connect());
    EXPECT_FALSE(kivra->GetLinkLost());
    kivra->StartPolling();
    ASSERT_TRUE(WaitUntil([&] { return sim->Streaming(); }, 2000ms));

    sim->SetFailure(FailureMode::Unplug);
    ASSERT_TRUE(WaitUntil([&] { return kivra->GetLinkLost(); }, 5000ms));
    EXPECT_FALSE(kivra->GetConnected());
    EXPECT_EQ(kivra->GetLastFailure(), TKivraFailure::LinkLost);

    // An ordinary Disconnect afterwards leaves the fact standing; a new Connect clears it.
    kivra->Disconnect(false);
    EXPECT_TRUE(kivra->GetLinkLost());
    sim.reset();
    sim = StartBase();
    ASSERT_TRUE(kivra->Connect());
    EXPECT_FALSE(kivra->GetLinkLost());
    EXPECT_EQ(kivra->GetLastFailure(), TKivraFailure::None);
}

TEST(KivraFacts, CountersFollowTheBaseWithTheDebugTextsOff)
{
    SimConfig config;
    config.BaseSerial = "A1B2C3"; // a serial number holding letters is read as it stands
    auto sim = StartBase(config);
    auto kivra = MakeControl();
    ASSERT_TRUE(kivra->Connect());
    const kivra::TKivraCounters connected = kivra->GetCounters();
    EXPECT_GE(connected.StatusAnswers, 1);
    EXPECT_GE(connected.ChannelAnswers, 1);
    EXPECT_GE(connected.SerialAnswers, 1);
    EXPECT_EQ(connected.DamagedFrames, 0);
    EXPECT_TRUE(kivra->GetBaseSerialNumberReported());
    EXPECT_EQ(kivra->GetBaseSerialNumber(), "A1B2C3");

    kivra->RequestBaseChannel();
    EXPECT_TRUE(
        WaitUntil([&] { return kivra->GetCounters().ChannelAnswers > connected.ChannelAnswers; }, 3000ms));
    kivra->RequestBaseStatus();
    EXPECT_TRUE(
        WaitUntil([&] { return kivra->GetCounters().StatusAnswers > connected.StatusAnswers; }, 3000ms));
    EXPECT_EQ(kivra->GetCounters().SerialAnswers, connected.SerialAnswers);
    kivra->Disconnect(false);
    EXPECT_FALSE(kivra->GetBaseSerialNumberReported());
}

TEST(KivraFacts, DamagedFramesAreCountedAcrossConnections)
{
    SimConfig config;
    config.Failure = FailureMode::CorruptLength;
    auto sim = StartBase(config);
    auto kivra = MakeControl();
    kivra->Connect();
    const int first = kivra->GetCounters().DamagedFrames;
    EXPECT_GT(first, 0);
    EXPECT_FALSE(kivra->GetBaseSerialNumberReported());
    // The count outlives the connection's layer. (The unreadable base was taken for a legacy
    // one, which leaves the model unknown.)
    kivra->Disconnect(false);
    kivra->SetKivraModel(rstKivraModel::mAutoDetect);
    kivra->Connect();
    EXPECT_GT(kivra->GetCounters().DamagedFrames, first);
    kivra->Disconnect(false);
}

TEST(KivraFacts, OlderBaseReportsNoSerialNumber)
{
    SimConfig config;
    config.Gen = Generation::Older;
    auto sim = StartBase(config);
    auto kivra = MakeControl();
    ASSERT_TRUE(kivra->Connect());
    EXPECT_FALSE(kivra->GetBaseSerialNumberReported());
    EXPECT_EQ(kivra->GetCounters().SerialAnswers, 0);
    kivra->Disconnect(false);
}
