#pragma once
// Update runs of the real engine against the in-process router simulator
// (with its simulated module) over loopback, on a worker thread as the
// dialog starts them, at a fast time scale.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "catalogue/image_builder.h"
#include "catalogue/image_discovery.h"
#include "engine/update_engine.h"
#include "platform/clock.h"
#include "routersim/module_sim.h"
#include "routersim/router_sim.h"
#include "support/image_fixtures.h"
#include "support/temp_dir.h"
#include "support/recording_view.h"
#include "support/text_search.h"
#include "support/time_scale.h"

namespace orvane::test {

inline constexpr std::array<std::uint8_t, 8> kUnlockCode{0x31, 0x7E, 0x33, 0x7D, 0x35, 0x36, 0x37, 0x38};

struct UnitPlan {
  UnitPlan(std::size_t unitSize, std::optional<std::uint32_t> unitTarget = std::nullopt)
      : size(unitSize), target(unitTarget) {}
  std::size_t size;
  std::optional<std::uint32_t> target;  // unset: right after the previous unit
};

// One image file's bytes: payloads from a seeded generator, each payload
// strewn with the two bytes that framing must stuff.
inline std::vector<std::uint8_t> BuildTestImage(ImageType type, const std::vector<UnitPlan>& units,
                                                std::uint32_t seed = 11) {
  ImagePlan plan;
  plan.type = type;
  plan.version = "11.608.13.02.00";
  plan.unlock = kUnlockCode;
  plan.blockSize = 1024;
  for (const UnitPlan& wanted : units) {
    ImageUnitPlan unit;
    unit.data = Payload(wanted.size, seed++);
    for (std::size_t i = 0; i < unit.data.size(); i += 97) unit.data[i] = (i / 97) % 2 ? 0x7E : 0x7D;
    if (type == IMAGE_BOOT || type == IMAGE_APP || type == IMAGE_RESOURCE) SetRouterKindFlags(unit.data, type);
    unit.target = wanted.target;
    plan.units.push_back(std::move(unit));
  }
  std::vector<std::uint8_t> bytes;
  std::string error;
  if (!BuildImage(plan, bytes, error)) throw std::runtime_error("test image: " + error);
  return bytes;
}

// How many control requests of `type` the router received.
inline std::size_t ControlsOfType(const routersim::Received& seen, std::uint8_t type) {
  return static_cast<std::size_t>(std::count_if(seen.controls.begin(), seen.controls.end(),
                                                [type](const auto& c) { return c.packet[0] == type; }));
}

inline std::size_t ThreadCount() {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) ++n;
  return n;
}

class EngineRunTest : public ::testing::Test {
 protected:
  // Real time per system time: a full five-item run (about 70 s of system
  // time) takes some 1.5 s.
  static constexpr double kScale = 0.02;

  void SetUp() override {
    moduleConfig.unlockCode = kUnlockCode;
    moduleConfig.restartMs = 3000;
  }
  void TearDown() override {
    routerSteps.reset();
    stepDisplay.reset();
    stepLog.reset();
    engine.reset();
    if (sim) sim->Stop();
    sim.reset();
  }

  // Starts the router (and its module) from routerConfig and moduleConfig,
  // and an engine that found it; `adjust` may change the engine's profile
  // after it got the simulator's ports.
  void StartRouter(const std::function<void(NetworkProfile&)>& adjust = {}) {
    StartSimulator();
    NetworkProfile profile;
    profile.broadcastAddress = "127.0.0.1";
    profile.relayTcpPort = sim->BoundPorts().relay;
    profile.controlUdpPort = sim->BoundPorts().control;
    profile.telnetPort = sim->BoundPorts().telnet;
    if (adjust) adjust(profile);
    engine = std::make_unique<CUpdateEngine>(items, view, profile, LogFolder());
    engine->Link().SetRouter(routerConfig.mac, {127, 0, 0, 1});
  }
  // A new router and module on the same ports, for the same engine (as if
  // the router had been power-cycled between two runs).
  void RestartRouter() {
    const routersim::Ports ports = sim->BoundPorts();
    sim->Stop();
    routerConfig.relayPort = ports.relay;
    routerConfig.controlPort = ports.control;
    routerConfig.telnetPort = ports.telnet;
    StartSimulator();
  }
  void StartSimulator() {
    module = std::make_unique<routersim::SimModule>(moduleConfig);
    sim = std::make_unique<routersim::RouterSim>(routerConfig, module.get());
    std::string error;
    ASSERT_TRUE(sim->Start(&error)) << error;
  }

  // Writes, loads and selects the image of `type`; returns the loaded image.
  const CFirmwareImage& AddItem(ImageType type, const std::vector<UnitPlan>& units, std::uint32_t seed = 11) {
    CFirmwareImage& image = images[type];
    image = CFirmwareImage{};
    image.SetPath(dir.Write(std::string(ImageTypeName(type)) + ".bin", BuildTestImage(type, units, seed)));
    EXPECT_TRUE(image.LoadImage()) << image.FailureReason();
    EXPECT_EQ(type, image.Type());
    items[type].m_pImage = &image;
    items[type].m_bSelected = 1;
    return image;
  }

  // Router steps of their own on the engine's link, for a test that asks
  // one step for its typed outcome (the engine's own are reached through a
  // run). Their texts go to a view and a log of their own, apart from the
  // run's; `stepStop` is their operator's stop.
  CRouterSteps& RouterSteps() {
    if (!routerSteps) {
      stepLog = std::make_unique<CDownloadLog>(dir.File("step-logs"));
      stepDisplay = std::make_unique<CRowDisplay>(stepView, *stepLog);
      routerSteps = std::make_unique<CRouterSteps>(engine->Link(), *stepDisplay, *stepLog, items, stepStop);
    }
    return *routerSteps;
  }

  // One run on a worker thread, as the Update button starts it; its report
  // is kept in `report`.
  void RunUpdate() {
    std::thread worker([this] { report = engine->Run(); });
    worker.join();
    ++finished;
  }

  // The data of unit `u` of the item's image, as the file holds it.
  std::vector<std::uint8_t> UnitBytes(ImageType type, std::size_t u = 0) const {
    const CFirmwareImage& image = *items[type].m_pImage;
    const std::uint8_t* p = image.UnitData(u);
    return std::vector<std::uint8_t>(p, p + image.Extents()[u].length);
  }

  // The module holds every unit of the item's image at its target address.
  ::testing::AssertionResult ModuleHolds(ImageType type) const {
    const CFirmwareImage& image = *items[type].m_pImage;
    for (std::size_t u = 0; u < image.Units().size(); ++u) {
      const auto data = UnitBytes(type, u);
      if (!module->Holds(image.Units()[u].TargetAddress(), data.data(), data.size())) {
        return ::testing::AssertionFailure() << "unit " << u + 1 << " not at its target address";
      }
    }
    return ::testing::AssertionSuccess();
  }

  std::string LogFolder() const { return dir.File("logs"); }
  // Everything the runs appended to log files.
  std::string LogFiles() const {
    std::string text;
    if (!std::filesystem::exists(LogFolder())) return text;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(LogFolder())) {
      if (entry.is_regular_file()) {
        std::ifstream in(entry.path(), std::ios::binary);
        text += std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
      }
    }
    return text;
  }

  // A result text as ShowResult writes it: the text and "(MM:SS)".
  static ::testing::AssertionResult IsResult(const std::string& cell, const std::string& text) {
    if (std::regex_match(cell, std::regex(std::regex_replace(text, std::regex(R"([()'])"), R"(\$&)") +
                                          R"(\(\d\d:[0-5]\d\))"))) {
      return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "\"" << cell << "\" is not \"" << text << "(MM:SS)\"";
  }

  // The row ended with `id`'s text (a Succeeded status for success, a Failed
  // one otherwise), and the report says the same; a failure names its step
  // and detail.
  void ExpectResult(int row, std::uint16_t id) const {
    EXPECT_TRUE(IsResult(view.LastStatus(row), LoadText(id))) << "row " << row;
    EXPECT_EQ(std::optional(id == IDS_DOWNLOAD_SUCCESS ? StatusKind::Succeeded : StatusKind::Failed),
              view.LastKind(row))
        << "row " << row;
    const ItemReport& r = report.items[row];
    EXPECT_EQ(id, r.resultId) << "row " << row;
    EXPECT_EQ(RunReport::ResultText(r), view.LastStatus(row)) << "the report renders as the row";
    if (id == IDS_DOWNLOAD_SUCCESS) {
      EXPECT_EQ(ItemOutcome::Succeeded, r.outcome) << "row " << row;
    } else {
      EXPECT_EQ(ItemOutcome::Failed, r.outcome) << "row " << row;
      EXPECT_NE(RunStep::None, r.failedStep) << "row " << row;
      EXPECT_FALSE(r.detail.empty()) << "row " << row;
    }
  }

  // The end step ran: idle, channel closed, reader gone.
  void ExpectEndStep() const {
    EXPECT_EQ(RUN_IDLE, engine->State());
    EXPECT_EQ(CHANNEL_CLOSED, engine->Link().Channel().State());
    EXPECT_FALSE(engine->Link().Channel().ReaderRunning());
  }

  // The report names `step` as the failed one, with `detailPart` in its detail.
  void ExpectFailedStep(ImageType item, RunStep step, const std::string& detailPart) const {
    const ItemReport& r = report.items[item];
    EXPECT_EQ(step, r.failedStep) << RunStepName(r.failedStep);
    EXPECT_TRUE(Contains(r.detail, detailPart)) << "\"" << r.detail << "\" lacks \"" << detailPart << "\"";
  }

  ScopedTimeScale timeScale{kScale};  // first: it outlives the peers below
  routersim::Config routerConfig;
  routersim::ModuleConfig moduleConfig;
  TempDir dir;
  ImageSlots images;  // the items point into it
  UpdateItems items;
  RecordingView view;
  RunReport report;
  int finished = 0;
  std::unique_ptr<routersim::SimModule> module;
  std::unique_ptr<routersim::RouterSim> sim;
  std::unique_ptr<CUpdateEngine> engine;
  CRunStop stepStop;
  RecordingView stepView;
  std::unique_ptr<CDownloadLog> stepLog;
  std::unique_ptr<CRowDisplay> stepDisplay;
  std::unique_ptr<CRouterSteps> routerSteps;
};

}  // namespace orvane::test
