#pragma once
// The simulated router and module that the CLI tests run `orvane` against,
// set up as the tests' images expect (their unlock code) and with a short
// module restart.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "routersim/module_sim.h"
#include "routersim/router_sim.h"

namespace orvane::test {

inline ::testing::AssertionResult StartTestRouter(std::unique_ptr<routersim::SimModule>& moduleOut,
                                                  std::unique_ptr<routersim::RouterSim>& simOut,
                                                  routersim::ModuleConfig module, routersim::Config config) {
  module.restartMs = 2000;
  module.unlockCode = {1, 2, 3, 4, 5, 6, 7, 8};  // as the test images carry it
  moduleOut = std::make_unique<routersim::SimModule>(module);
  simOut = std::make_unique<routersim::RouterSim>(config, moduleOut.get());
  std::string error;
  if (!simOut->Start(&error)) return ::testing::AssertionFailure() << error;
  return ::testing::AssertionSuccess();
}

}  // namespace orvane::test
