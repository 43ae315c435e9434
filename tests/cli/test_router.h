#pragma once
// The simulated router and module that the CLI tests run `orvane` against,
// set up as the tests' images expect (their unlock code) and with a short
// module restart.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "catalogue/image_builder.h"
#include "routersim/module_sim.h"
#include "routersim/router_sim.h"
#include "routersim/wire.h"
#include "support/image_fixtures.h"

namespace orvane::test {

// A router image (boot, app or resource) whose data names `version` as the
// router's own images do, so that the simulated router reports it once it
// accepted the image; the file header carries it as the update version.
inline std::vector<std::uint8_t> RouterImageCarrying(ImageType type, const std::string& version) {
  ImagePlan plan;
  plan.type = type;
  plan.version = version;
  plan.blockSize = 64;
  ImageUnitPlan unit;
  unit.data = Payload(300, 11);
  SetRouterKindFlags(unit.data, type);
  routersim::PutRouterPayloadVersion(unit.data, version);
  plan.units.push_back(std::move(unit));
  std::vector<std::uint8_t> bytes;
  std::string error;
  if (!BuildImage(plan, bytes, error)) throw std::runtime_error("test image: " + error);
  return bytes;
}

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
