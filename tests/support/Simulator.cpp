#include "tests/support/Simulator.h"

#include <utility>

namespace kivra::test {

std::unique_ptr<basesim::BaseSimulator> StartSimulator(basesim::SimConfig config, int comPort)
{
    config.ComPort = comPort;
    auto sim = std::make_unique<basesim::BaseSimulator>(std::move(config));
    sim->Start();
    return sim;
}

} // namespace kivra::test
