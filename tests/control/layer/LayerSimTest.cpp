// The communication layer against the base station simulator.
#include "basesim/BaseSimulator.h"
#include "control/KivraCommunicationLayer.h"
#include "control/ThreadSafeStringList.h"
#include "core/Exception.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace std::chrono_literals;

namespace kivra {
namespace {

class LayerSim : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim.Start();
        layer.SetSerialPort(3);
        layer.SetCommunicationTimeout(1200);
        layer.SetScanGroupLetters('A', 'E');
        layer.SetErrorExceptionsEnabled(false);
        layer.SetOnError([this](int code, const std::string& text) { errors.emplace_back(code, text); });
        ASSERT_TRUE(layer.Connect(1));
    }
    //! Takes the queued messages that start with prefix.
    std::vector<std::string> Take(const std::string& prefix)
    {
        std::vector<std::string> found;
        if (auto* queue = layer.MessageQueue()) {
            auto& list = queue->LockList();
            for (const auto& m : list)
                if (m.starts_with(prefix))
                    found.push_back(m);
            queue->UnlockList();
        }
        return found;
    }

    static basesim::SimConfig Config()
    {
        basesim::SimConfig config;
        config.ComPort = 3;
        return config;
    }

    basesim::BaseSimulator sim{Config()};
    TKivraCommunicationLayer layer;
    std::vector<std::pair<int, std::string>> errors;
};

TEST_F(LayerSim, RequestsReachTheBaseAndItsAnswersTheQueue)
{
    layer.SendToBase("WV", "RequestBaseVersionInfo()");
    layer.SendToBase("WN", "RequestBaseSerialNumber()");
    layer.SendToBase("BR", "RequestBaseChannel()");
    ASSERT_TRUE(test::WaitUntil(
        [&] { return !Take("VER:").empty() && !Take("SERIAL:").empty() && !Take("CHANNEL:").empty(); }, 3s));
    EXPECT_TRUE(Take("VER:")[0].starts_with("VER:420"));
    EXPECT_EQ(Take("SERIAL:")[0].substr(0, 13), "SERIAL:104523");
    EXPECT_EQ(Take("CHANNEL:")[0].substr(0, 10), "CHANNEL:07");
    EXPECT_EQ(sim.Commands(), (std::vector<std::string>{"\x11", "WV", "WN", "BR"}));

    // The base streams since the detection's XON: packets of groups A to E arrive whole.
    ASSERT_TRUE(test::WaitUntil([&] { return !Take("A").empty(); }, 3s));
    for (const auto& packet : Take("A"))
        EXPECT_EQ(packet.size(), 54u);
    EXPECT_TRUE(errors.empty());
}

TEST_F(LayerSim, StalledStreamIsLostOnceAndUnplugIsReportedOnce)
{
    layer.SetPolling(true);
    test::ProcessEventsFor(1500ms);
    EXPECT_TRUE(errors.empty());

    sim.SetFailure(basesim::FailureMode::StallWhilePolling);
    ASSERT_TRUE(test::WaitUntil([&] { return !errors.empty(); }, 4s));
    test::ProcessEventsFor(500ms);
    EXPECT_EQ(errors, (std::vector<std::pair<int, std::string>>{
                          {-1, "Connection lost.  Verify physical connection and retry Connect."}}));
    EXPECT_FALSE(layer.GetConnected());

    // A fresh connection on the same layer, then the line goes away while polling.
    errors.clear();
    sim.SetFailure(basesim::FailureMode::None);
    ASSERT_TRUE(layer.Connect(1));
    layer.SetPolling(true);
    test::ProcessEventsFor(300ms);
    const ExceptionHandler previous = SetExceptionHandler([](const std::exception&) {});
    sim.SetFailure(basesim::FailureMode::Unplug);
    EXPECT_TRUE(test::WaitUntil([&] { return !errors.empty(); }, 4s));
    test::ProcessEventsFor(1000ms);
    SetExceptionHandler(previous);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].first, -1);
}

} // namespace
} // namespace kivra
