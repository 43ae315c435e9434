// The run history's lines: what the writer puts out comes back field for
// field, a line written before runs recorded their verdict still reads, a
// line cut short never passes for a record, and the file survives a torn
// last line, unreadable lines and a held file.
#include "log/run_history.h"

#include <gtest/gtest.h>

#include <fstream>

#include "support/held_file.h"
#include "support/temp_dir.h"
#include "support/text_search.h"
#include "support/time_scale.h"

namespace orvane {
namespace {

using test::Contains;

RunRecord Sample(const std::string& time = "2026-12-08 13:45:02", const std::string& mac = "02-00-5E-10-00-01") {
  RunRecord r;
  r.time = time;
  r.frontEnd = "cli";
  r.mac = mac;
  r.ip = "192.168.1.1";
  r.discoveryVersion = "2.1.0.3.7";
  r.logFile = "C:\\DownloadLog\\2026-12-08\\LumtarLog.txt";
  r.logFiles = {r.logFile, "C:\\DownloadLog\\2026-12-09\\LumtarLog.txt"};  // it passed midnight
  r.outcome = "failed";
  r.failedItem = "Firmware";
  r.failedStep = "write";
  r.detail = "no echo after 3 attempts";
  RunRecordItem item;
  item.name = "Router's APP";
  item.original = "2.1.0.3.7";
  item.update = "2.1.9.0.1";
  item.outcome = "succeeded";
  item.result = "Download success(00:42)";
  item.elapsedSeconds = 42;
  item.verification = "mismatch";
  item.verificationDetail = "expected 2.1.9.0.1, reported 2.1.0.3.7";
  r.items = {item, item};
  r.items[1].name = "Firmware";
  r.items[1].outcome = "failed";
  return r;
}

void AppendRaw(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::app);
  out << bytes;
}

TEST(RunHistory, AwkwardTextsComeBackAsTheyWere) {
  RunRecord r = Sample();
  r.discoveryVersion = "say \"hi\" \\ back\\slash";
  r.items[0].result = "ctl \x01\x1f\b\f\n\r\t end";
  r.items[0].verificationDetail = "UTF-8: \xC3\xBC \xE7\x89\x88 \xF0\x9F\x98\x80";
  r.items[1].elapsedSeconds = -7;
  r.detail = "router said \"NVRAM busy\"\r\n\tC:\\nvram \xC3\xBC";
  const std::string line = BuildRunRecordLine(r);
  for (const char c : line) ASSERT_GE(static_cast<unsigned char>(c), 0x20) << "a raw control byte would break the line";
  const std::optional<RunRecord> back = ParseRunRecordLine(line);
  ASSERT_TRUE(back.has_value()) << line;
  EXPECT_EQ(*back, r);
  EXPECT_TRUE(back->OutcomeRecorded());
  // The run's verdict sits between the log file and the items, in this order.
  std::size_t at = 0;
  for (const char* key : {"\"log_file\":", "\"outcome\":\"failed\"", "\"failed_item\":", "\"failed_step\":",
                          "\"detail\":", "\"items\":"}) {
    const std::size_t next = line.find(key, at);
    ASSERT_NE(next, std::string::npos) << key << " missing after byte " << at << ": " << line;
    at = next;
  }

  // Written by another hand: escapes the writer does not use, a pair of
  // surrogates, blanks, and keys this reader does not know.
  const std::optional<RunRecord> other = ParseRunRecordLine(
      R"( { "later": {"a": [1, true, null, {"b": "x"}]}, "time" : "2026-12-08 01:02:03", )"
      R"("items": [ {"name": "A\/B \u00fc \ud83d\ude00", "elapsed_s": 5, "extra": false} ] } )");
  ASSERT_TRUE(other.has_value());
  EXPECT_EQ(other->time, "2026-12-08 01:02:03");
  ASSERT_EQ(other->items.size(), 1u);
  EXPECT_EQ(other->items[0].name, "A/B \xC3\xBC \xF0\x9F\x98\x80");
  EXPECT_EQ(other->items[0].elapsedSeconds, 5);
}

// A station's line names the lane's interface; every other front end's line
// stays without the key.
TEST(RunHistory, AStationsLineNamesItsInterface) {
  RunRecord station = Sample();
  station.frontEnd = "station";
  station.interfaceName = "port3";
  const std::string line = BuildRunRecordLine(station);
  // After the log files, the line's last key.
  EXPECT_TRUE(line.ends_with("\"],\"interface\":\"port3\"}")) << line;
  const std::optional<RunRecord> back = ParseRunRecordLine(line);
  ASSERT_TRUE(back.has_value()) << line;
  EXPECT_EQ(*back, station);

  const std::string cli = BuildRunRecordLine(Sample());
  EXPECT_FALSE(Contains(cli, "interface")) << cli;
  ASSERT_TRUE(ParseRunRecordLine(cli).has_value());
  EXPECT_EQ(ParseRunRecordLine(cli)->interfaceName, "");
}

TEST(RunHistory, ALineWithoutAVerdictReadsWithOneDerivedFromItsItems) {
  // As runs wrote their lines before they recorded a verdict.
  const std::optional<RunRecord> old = ParseRunRecordLine(
      R"({"time":"2026-12-08 13:45:02","front_end":"cli","mac":"02-00-5E-10-00-01","ip":"127.0.0.1",)"
      R"("discovery_version":"2.1.0.3.7","log_file":"/logs/2026-12-08/LumtarLog.txt","items":[)"
      R"({"name":"Router's BOOT","original":"1.0.0.2.5","update":"1.0.4.2.1","outcome":"succeeded",)"
      R"-("result":"Download success(00:00)","elapsed_s":0,"verification":"verified","verification_detail":""}]})-");
  ASSERT_TRUE(old.has_value());
  EXPECT_FALSE(old->OutcomeRecorded());
  EXPECT_EQ(old->logFile, "/logs/2026-12-08/LumtarLog.txt");
  EXPECT_TRUE(old->logFiles.empty()) << "a line from before runs named every day's file";
  EXPECT_TRUE(old->outcome.empty() && old->failedItem.empty() && old->failedStep.empty() && old->detail.empty());
  EXPECT_EQ(old->items.at(0).outcome, "succeeded");
  EXPECT_EQ(RunOutcomeShown(*old), "succeeded");
  // Written again (as `orvane history --json` does), it still has no verdict.
  EXPECT_EQ(ParseRunRecordLine(BuildRunRecordLine(*old)), old);

  RunRecord r = *old;
  RunRecordItem item = r.items[0];
  item.outcome = "failed";
  r.items.push_back(item);
  EXPECT_EQ(RunOutcomeShown(r), "failed");
  item.outcome = "interrupted";  // stopped after an earlier item failed
  r.items.push_back(item);
  EXPECT_EQ(RunOutcomeShown(r), "interrupted");
  r.items = {old->items[0], old->items[0]};
  r.items[1].outcome = "not started";
  EXPECT_EQ(RunOutcomeShown(r), "failed");
  r.items.clear();
  EXPECT_EQ(RunOutcomeShown(r), "failed") << "a line without items shows no success";

  // A recorded verdict is what the line shows, whatever its items say.
  r = *old;
  r.outcome = "failed";
  r.failedStep = "erase router NVRAM";
  EXPECT_EQ(RunOutcomeShown(r), "failed");
}

TEST(RunHistory, NoCutOrDamagedLineIsARecord) {
  const std::string line = BuildRunRecordLine(Sample());
  for (std::size_t n = 0; n < line.size(); ++n) {
    ASSERT_FALSE(ParseRunRecordLine(line.substr(0, n)).has_value()) << "cut after " << n << " bytes";
  }
  const std::string head = R"({"time":"2026-12-08 01:02:03",)";
  for (const std::string& bad : {line + "x", head + R"("x":"\ud800"})", head + "\"x\":\"a\tb\"}",
                                 head + "\"x\":" + std::string(1000, '[') + std::string(1000, ']') + "}",
                                 head + "\"elapsed_s\":12345678901234567890}", head + "\"detail\":7}",
                                 head + "\"outcome\":null}"}) {
    EXPECT_FALSE(ParseRunRecordLine(bad).has_value()) << bad.substr(0, 80);
  }
  std::string why;
  std::string many = R"({"time":"2026-12-08 01:02:03","items":[{})";
  for (std::size_t i = 0; i < kMaxRunRecordItems; ++i) many += ",{}";
  EXPECT_FALSE(ParseRunRecordLine(many + "]}", &why).has_value());
  EXPECT_TRUE(Contains(why, "too many items")) << why;
}

TEST(RunHistory, ATornLastLineIsSkippedAndTheNextRunStaysWhole) {
  test::TempDir logs;
  const std::string path = RunHistoryPath(logs.Str());
  ASSERT_TRUE(AppendRunRecord(logs.Str(), Sample("2026-12-01 10:00:00")).ok());
  AppendRaw(path, "not a record\n");
  ASSERT_TRUE(AppendRunRecord(logs.Str(), Sample("2026-12-02 10:00:00")).ok());
  // The power went while the third line was written.
  const std::string third = BuildRunRecordLine(Sample("2026-12-03 10:00:00"));
  AppendRaw(path, third.substr(0, third.size() / 2));

  RunHistory h = ReadRunHistory(path);
  EXPECT_TRUE(h.found);
  ASSERT_EQ(h.records.size(), 2u);
  EXPECT_EQ(h.records[1].time, "2026-12-02 10:00:00");
  ASSERT_EQ(h.notes.size(), 2u);
  EXPECT_TRUE(Contains(h.notes[0], "line 2: not a run record (")) << h.notes[0];
  EXPECT_TRUE(Contains(h.notes[1], "line 4: the last line is cut off")) << h.notes[1];

  // The next run's line does not join the torn one.
  ASSERT_TRUE(AppendRunRecord(logs.Str(), Sample("2026-12-04 10:00:00")).ok());
  h = ReadRunHistory(path);
  ASSERT_EQ(h.records.size(), 3u);
  EXPECT_EQ(h.records[2], Sample("2026-12-04 10:00:00"));
  ASSERT_EQ(h.notes.size(), 2u);
  EXPECT_TRUE(Contains(h.notes[1], "line 4: not a run record")) << h.notes[1];

  // A line cut just before its line end is whole.
  AppendRaw(path, third);
  EXPECT_EQ(ReadRunHistory(path).records.size(), 4u);
}

// Another program holds the history: a short hold is waited for and the
// line goes in; a hold past the wait is named as the cause. A missing file
// is an empty history, not a failure.
TEST(RunHistory, AHolderIsWaitedForAndAFailureNamesItsCause) {
  test::ScopedTimeScale fast(0.05);
  test::TempDir logs;
  const RunHistory none = ReadRunHistory(RunHistoryPath(logs.Str()));
  EXPECT_FALSE(none.found);
  EXPECT_EQ(none.problem, platform::FileProblem::None);
  EXPECT_TRUE(none.records.empty() && none.notes.empty());

  const std::string nested = (logs.Path() / "new" / "folder").string();
  const std::string path = RunHistoryPath(nested);
  ASSERT_TRUE(AppendRunRecord(nested, Sample()).ok());
  {
    test::HeldFor held(path, kRunHistoryLockWaitMs / 5);
    ASSERT_TRUE(held.Held());
    const platform::FileResult appended = AppendRunRecord(nested, Sample("2026-12-09 00:00:00"));
    EXPECT_TRUE(appended.ok()) << appended.reason;
  }
  {
    test::HeldFile held(path);
    const platform::FileResult appended = AppendRunRecord(nested, Sample("2026-12-10 00:00:00"));
    EXPECT_EQ(appended.problem, platform::FileProblem::Held);
    EXPECT_EQ(appended.reason, "cannot write " + path + ": held by another program");
  }
  const RunHistory h = ReadRunHistory(path);
  ASSERT_EQ(h.records.size(), 2u);
  EXPECT_EQ(h.records[1].time, "2026-12-09 00:00:00");
  EXPECT_TRUE(h.notes.empty());
}

}  // namespace
}  // namespace orvane
