// The verdict matrix: for the simulator's faults x three selections x with
// and without verification, plus interruptions at three points, one session
// runs against the simulated router, and every front end renders its run
// report: the command line's exit status, JSON and last text line, the run
// history's line as read back from the file, and the dialog's boxes and
// final rows. Each must say what the session's verdict says, and the
// verdict must be the one the case expects. A front end that judged the
// run by itself (from its items, say) is caught by the cases where the
// items all succeeded and the run did not.
#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "app/run_messages.h"
#include "cli/run_rendering.h"
#include "cli/test_router.h"
#include "diag/diag_commands.h"
#include "engine/run_verify.h"
#include "engine/update_session.h"
#include "log/run_history.h"
#include "support/image_fixtures.h"
#include "support/recording_view.h"
#include "support/temp_dir.h"
#include "support/text_search.h"
#include "support/time_scale.h"

namespace orvane {
namespace {

using test::Contains;

// The shell's 500 ms reply wait must stay long enough in real time for a
// loaded machine, or the router versions fall back to discovery's.
constexpr double kScale = 0.1;
// How many cases run at once: each mostly waits on the clock.
constexpr std::size_t kCasesAtOnce = 6;
// A router that takes an image restarts, as the real one does: the
// verification sees it go and come back.
constexpr std::uint32_t kRouterRestartMs = 3000;

enum class Selection { RouterItems, ModuleItems, AllFive };
enum class Interrupt { None, BeforeTheRun, AfterTheFirstItem, DuringVerification };

const char* SelectionName(Selection s) {
  switch (s) {
    case Selection::RouterItems: return "router items";
    case Selection::ModuleItems: return "module items";
    case Selection::AllFive: return "all five";
  }
  return "";
}

struct Fault {
  const char* name;
  routersim::Config router;
  routersim::ModuleConfig module;
};

std::vector<Fault> Faults() {
  std::vector<Fault> faults;
  const auto add = [&](const char* name, auto change) {
    Fault f{name, {}, {}};
    f.router.restartMs = kRouterRestartMs;
    change(f);
    faults.push_back(std::move(f));
  };
  add("no fault", [](Fault&) {});
  add("router keeps its versions", [](Fault& f) { f.router.faults.keepVersions = true; });
  add("router refuses the image", [](Fault& f) { f.router.resultCode = 3; });
  // It answers no control packet long after an image: the NVRAM erase
  // after the application gets no echo.
  add("router silent after an image", [](Fault& f) { f.router.restartMs = 10 * kRouterRestartLimitMs; });
  add("no shell", [](Fault& f) { f.router.faults.refuseTelnet = true; });
  add("module refuses writes", [](Fault& f) { f.module.faults.errorByteTo = DLOAD_WRITE_32BIT; });
  add("module NV backup fails", [](Fault& f) { f.module.faults.nvBackupReason = 1; });
  return faults;
}

bool HasRouterItems(Selection s) { return s != Selection::ModuleItems; }
bool HasModuleItems(Selection s) { return s != Selection::RouterItems; }

// What the case must come to, worked out from the fault, not from the run;
// nothing when the check blocks the update (without the shell, the router
// reports one version for its boot loader and application, and the boot
// loader's image does not match it).
std::optional<Verdict> Expected(const std::string& fault, Selection s, bool verify, Interrupt interrupt) {
  if (fault == "no shell" && HasRouterItems(s)) return std::nullopt;
  const auto failed = [](ImageType item, RunStep step) { return Verdict{RunOutcome::Failed, item, step, {}}; };
  if (interrupt != Interrupt::None) return Verdict{RunOutcome::Interrupted, IMAGE_NONE, RunStep::None, {}};
  if (fault == "router refuses the image" && HasRouterItems(s)) return failed(IMAGE_BOOT, RunStep::RouterResult);
  if (fault == "router silent after an image" && HasRouterItems(s)) return failed(IMAGE_NONE, RunStep::EraseNvram);
  if (fault == "module refuses writes" && HasModuleItems(s)) return failed(IMAGE_FIRMWARE, RunStep::Write);
  if (fault == "module NV backup fails" && HasModuleItems(s)) return failed(IMAGE_FIRMWARE, RunStep::BackupNv);
  if (verify && fault == "router keeps its versions" && HasRouterItems(s)) {
    return Verdict{RunOutcome::VerificationFailed, IMAGE_BOOT, RunStep::None, {}};
  }
  return Verdict{RunOutcome::Succeeded, IMAGE_NONE, RunStep::None, {}};
}

struct Case {
  const Fault* fault;
  Selection selection;
  bool verify;
  Interrupt interrupt;

  std::string Name() const {
    std::string name = std::string(fault->name) + ", " + SelectionName(selection) + (verify ? ", verify" : "");
    switch (interrupt) {
      case Interrupt::None: break;
      case Interrupt::BeforeTheRun: name += ", interrupted before the run"; break;
      case Interrupt::AfterTheFirstItem: name += ", interrupted after the first item"; break;
      case Interrupt::DuringVerification: name += ", interrupted during the verification"; break;
    }
    return name;
  }
};

// A prompter that keeps nothing but lets a test act on the session's notes.
class NotePrompter : public IPrompter {
 public:
  void Warning(const std::string&) override {}
  void Note(const std::string& text) override {
    if (onNote) onNote(text);
  }
  std::function<void(const std::string&)> onNote;
};

// Everything one case's front ends showed.
struct Observed {
  std::string error;  // set when the case could not be run
  bool blocked = false;  // the check's rows did not let the update go ahead
  Verdict verdict;
  UpdateItems items;
  RunReport report;
  int exitStatus = -1;
  std::string json;
  std::string text;
  std::vector<RunRecord> history;
  std::vector<std::string> boxes;
  struct Row {
    bool selected = false;
    std::string status;
    std::optional<StatusKind> kind;
  };
  std::array<Row, kItemCount> rows{};
};

Observed RunCase(const Case& c) {
  Observed o;
  test::TempDir images;
  test::TempDir logs;
  if (HasRouterItems(c.selection)) {
    images.Write("boot.bin", test::RouterImageCarrying(IMAGE_BOOT, "1.0.1.0.0"));
    images.Write("app.bin", test::RouterImageCarrying(IMAGE_APP, "2.1.9.0.1"));
  }
  if (c.selection == Selection::AllFive) {
    images.Write("res.bin", test::RouterImageCarrying(IMAGE_RESOURCE, "2.1.9.0.1"));
  }
  if (HasModuleItems(c.selection)) {
    images.Write("fw.bin", test::MakeImage(IMAGE_FIRMWARE, "11.608.13.02.00", {3000, 2000}));
    images.Write("dash.bin", test::MakeImage(IMAGE_DASHBOARD, "11.002.03.05.00", {1500}));
  }
  std::unique_ptr<routersim::SimModule> module;
  std::unique_ptr<routersim::RouterSim> sim;
  if (!test::StartTestRouter(module, sim, c.fault->module, c.fault->router)) {
    o.error = "the simulator did not start";
    return o;
  }
  const routersim::Ports ports = sim->BoundPorts();
  SessionOptions options;
  options.profile.broadcastAddress = "127.0.0.1";
  options.profile.relayTcpPort = ports.relay;
  options.profile.controlUdpPort = ports.control;
  options.profile.telnetPort = ports.telnet;
  options.logFolder = logs.Str();
  options.imageDirectory = images.Str();
  options.verify = c.verify;

  test::RecordingView view;
  NotePrompter prompter;
  CUpdateSession session(options, view, prompter);
  const CheckReport check = session.Check();
  if (!check.ok) {
    o.error = "the check failed";
    sim->Stop();
    return o;
  }
  if (!check.evaluation.updateEnabled) {
    o.blocked = true;
    sim->Stop();
    return o;
  }
  switch (c.interrupt) {
    case Interrupt::None: break;
    case Interrupt::BeforeTheRun: session.Stop().Request(); break;
    case Interrupt::AfterTheFirstItem:
      view.OnStatus([&](int, const std::string& text) {
        if (text.rfind(LoadText(IDS_DOWNLOAD_SUCCESS), 0) == 0) session.Stop().Request();
      });
      break;
    case Interrupt::DuringVerification:
      prompter.onNote = [&](const std::string&) { session.Stop().Request(); };
      break;
  }
  o.report = session.Update();
  sim->Stop();

  o.verdict = o.report.verdict;
  o.items = session.Items();
  o.exitStatus = cli::ExitStatus(o.verdict);
  std::ostringstream json, text;
  cli::WriteRunJson(json, o.report, o.items, o.report.warnings, check);
  cli::PrintRunReport(text, o.report, o.items);
  o.json = json.str();
  o.text = text.str();
  o.history = ReadRunHistory(RunHistoryPath(logs.Str())).records;
  o.boxes = app::RunMessages(o.report, o.items);
  for (int i = 0; i < kItemCount; ++i) {
    o.rows[i].selected = o.report.items[i].outcome != ItemOutcome::NotSelected;
    o.rows[i].status = view.LastStatus(i);
    o.rows[i].kind = view.LastKind(i);
  }
  return o;
}

std::string LastLine(const std::string& text) {
  std::istringstream in(text);
  std::string line, last;
  while (std::getline(in, line)) {
    if (!line.empty()) last = line;
  }
  return last;
}

std::string ItemName(const UpdateItems& items, ImageType item) {
  return item == IMAGE_NONE ? std::string() : items[item].m_strName;
}

// Every front end says what the verdict says.
void ExpectFrontEndsAgree(const Observed& o) {
  const Verdict& v = o.verdict;
  const bool succeeded = v.outcome == RunOutcome::Succeeded;
  const bool interrupted = v.outcome == RunOutcome::Interrupted;

  EXPECT_EQ(o.exitStatus, succeeded ? 0 : interrupted ? cli::kExitInterrupted : 1) << "exit status";

  std::smatch m;
  ASSERT_TRUE(std::regex_search(o.json, m,
                                std::regex(R"re(^\{"ok":(true|false),"verdict":\{"outcome":"([^"]*)",)re"
                                           R"re("failed_item":"([^"]*)","failed_step":"([^"]*)")re")))
      << o.json;
  EXPECT_EQ(m[1] == "true", succeeded) << "JSON ok: " << o.json;
  EXPECT_EQ(m[2], RunOutcomeName(v.outcome)) << o.json;
  EXPECT_EQ(m[3], ItemName(o.items, v.item)) << o.json;
  EXPECT_EQ(m[4], RunStepName(v.step)) << o.json;
  EXPECT_EQ(Contains(o.json, "\"interrupted\":true"), interrupted) << o.json;

  const std::string last = LastLine(o.text);
  if (succeeded) {
    EXPECT_EQ(last, "Update finished: every selected item succeeded.") << o.text;
  } else {
    // One outcome, said once: no success line anywhere above it either.
    EXPECT_FALSE(Contains(o.text, "Update finished")) << o.text;
    const char* opening = interrupted ? "Update interrupted"
                          : v.outcome == RunOutcome::VerificationFailed ? "Update not verified"
                                                                        : "Update failed";
    EXPECT_EQ(last.rfind(opening, 0), 0u) << "last line: " << last;
    if (v.step != RunStep::None) {
      EXPECT_TRUE(Contains(last, RunStepName(v.step))) << last;
    }
    if (v.item != IMAGE_NONE) {
      EXPECT_TRUE(Contains(last, ItemName(o.items, v.item))) << last;
    }
  }

  ASSERT_EQ(o.history.size(), 1u) << "one history line per run";
  const RunRecord& record = o.history.front();
  EXPECT_EQ(record.outcome, RunOutcomeName(v.outcome)) << "history";
  EXPECT_EQ(record.failedStep, RunStepName(v.step)) << "history";
  EXPECT_EQ(record.failedItem, ItemName(o.items, v.item)) << "history";
  // The images' signatures, from the report as the history has them.
  EXPECT_FALSE(record.signatures.empty());
  EXPECT_TRUE(Contains(o.json, "\"signatures\":{\"verdict\":\"" + record.signatures + "\"")) << o.json;

  // The dialog: a box for what no row shows, the rows for the rest.
  const bool runStepFailed = v.outcome == RunOutcome::Failed && v.item == IMAGE_NONE && v.step != RunStep::None;
  EXPECT_EQ(!o.boxes.empty(), runStepFailed || v.outcome == RunOutcome::VerificationFailed)
      << "dialog boxes: " << o.boxes.size();
  if (v.outcome == RunOutcome::VerificationFailed && !o.boxes.empty()) {
    EXPECT_TRUE(Contains(o.boxes.back(), ItemName(o.items, v.item))) << o.boxes.back();
  }
  if (v.outcome == RunOutcome::Failed && v.item != IMAGE_NONE) {
    EXPECT_EQ(o.rows[v.item].kind, StatusKind::Failed) << "the failed item's row";
    EXPECT_TRUE(Contains(o.rows[v.item].status, LoadText(o.report.items[v.item].resultId))) << o.rows[v.item].status;
  }
  if (succeeded) {
    for (int i = 0; i < kItemCount; ++i) {
      if (!o.rows[i].selected) continue;
      EXPECT_EQ(o.rows[i].kind, StatusKind::Succeeded) << "row " << i;
      EXPECT_EQ(o.rows[i].status.rfind(LoadText(IDS_DOWNLOAD_SUCCESS), 0), 0u) << o.rows[i].status;
    }
  }
}

void RunMatrix(const std::vector<Case>& cases) {
  test::ScopedTimeScale scale(kScale);
  std::vector<Observed> observed(cases.size());
  for (std::size_t first = 0; first < cases.size(); first += kCasesAtOnce) {
    std::vector<std::future<Observed>> running;
    for (std::size_t i = first; i < std::min(cases.size(), first + kCasesAtOnce); ++i) {
      running.push_back(std::async(std::launch::async, RunCase, cases[i]));
    }
    for (std::size_t i = 0; i < running.size(); ++i) observed[first + i] = running[i].get();
  }
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    const Observed& o = observed[i];
    SCOPED_TRACE(c.Name());
    ASSERT_TRUE(o.error.empty()) << o.error;
    const std::optional<Verdict> expected = Expected(c.fault->name, c.selection, c.verify, c.interrupt);
    EXPECT_EQ(o.blocked, !expected.has_value()) << "the check blocks the update";
    if (!expected || o.blocked) continue;
    const Verdict& want = *expected;
    EXPECT_EQ(RunOutcomeName(o.verdict.outcome), std::string(RunOutcomeName(want.outcome)))
        << "detail: " << o.verdict.detail;
    if (want.outcome != RunOutcome::Interrupted) {
      EXPECT_EQ(o.verdict.item, want.item) << "item";
      EXPECT_EQ(RunStepName(o.verdict.step), std::string(RunStepName(want.step))) << o.verdict.detail;
    }
    ExpectFrontEndsAgree(o);
  }
}

TEST(VerdictMatrix, EveryFaultAndSelectionWithAndWithoutVerification) {
  const std::vector<Fault> faults = Faults();
  std::vector<Case> cases;
  for (const Fault& fault : faults) {
    for (const Selection s : {Selection::RouterItems, Selection::ModuleItems, Selection::AllFive}) {
      for (const bool verify : {false, true}) cases.push_back({&fault, s, verify, Interrupt::None});
    }
  }
  RunMatrix(cases);
}

TEST(VerdictMatrix, InterruptionsAtThreePoints) {
  const std::vector<Fault> faults = Faults();
  const Fault& none = faults.front();
  RunMatrix({{&none, Selection::AllFive, true, Interrupt::BeforeTheRun},
             {&none, Selection::AllFive, true, Interrupt::AfterTheFirstItem},
             {&none, Selection::RouterItems, true, Interrupt::DuringVerification}});
}

}  // namespace
}  // namespace orvane
