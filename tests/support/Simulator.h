#pragma once
// The simulated base as the suites start it.

#include "basesim/BaseSimulator.h"

#include <memory>

namespace kivra::test {

//! A simulated base registered as COMn (config.ComPort is set to it) and started; throws
//! kivra::Exception when it cannot start.
std::unique_ptr<basesim::BaseSimulator> StartSimulator(basesim::SimConfig config, int comPort);

} // namespace kivra::test
