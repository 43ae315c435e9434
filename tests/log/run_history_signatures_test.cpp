// The run history's signature fields: what the check did about the images'
// signatures, each item's SHA-256 and signing key, written and read back;
// and lines from before them still read.
#include <gtest/gtest.h>

#include "log/run_history.h"

namespace orvane {
namespace {

TEST(RunHistorySignatures, TheNewFieldsRoundTripAndOldLinesReadWithThemEmpty) {
  RunRecord record;
  record.time = "2026-12-09 10:00:00";
  record.frontEnd = "cli";
  record.outcome = "succeeded";
  record.signatures = "unsigned allowed";
  RunRecordItem item;
  item.name = "Router's APP";
  item.outcome = "succeeded";
  item.sha256 = std::string(64, 'a');
  item.signingKey = "0123456789abcdef";
  record.items = {item, item};
  record.items[1].signingKey = "";

  const std::string line = BuildRunRecordLine(record);
  const std::optional<RunRecord> read = ParseRunRecordLine(line);
  ASSERT_TRUE(read) << line;
  EXPECT_EQ(*read, record);

  // A line as written before the signature fields.
  const std::optional<RunRecord> old = ParseRunRecordLine(
      R"-({"time":"2026-12-08 13:45:02","front_end":"dialog","mac":"02-00-5E-10-00-01","ip":"192.168.1.1",)-"
      R"-("discovery_version":"2.1.0.3.7","log_file":"x","outcome":"succeeded","failed_item":"","failed_step":"",)-"
      R"-("detail":"","items":[{"name":"Firmware","original":"1","update":"2","outcome":"succeeded",)-"
      R"-("result":"Download success(00:42)","elapsed_s":42,"verification":"verified","verification_detail":""}]})-");
  ASSERT_TRUE(old);
  EXPECT_EQ(old->signatures, "");
  ASSERT_EQ(old->items.size(), 1u);
  EXPECT_EQ(old->items[0].sha256, "");
  EXPECT_EQ(old->items[0].signingKey, "");
  EXPECT_EQ(old->items[0].elapsedSeconds, 42);
}

}  // namespace
}  // namespace orvane
