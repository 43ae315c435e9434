// The JSON texts of --json and of the run history: every control escaped,
// DEL and the C1 ones too, so that a JSON shown on a terminal cannot steer
// it; text kept as it was otherwise, and read back the same.
#include "log/json_writer.h"

#include <gtest/gtest.h>

#include "log/run_history.h"

namespace orvane {
namespace {

TEST(JsonWriterTest, ControlsAreEscapedAndOtherTextKept) {
  EXPECT_EQ(JsonWriter::Quote("2.1.0.3.7\x1b]0;owned\x07\x1b[2J"), R"("2.1.0.3.7\u001b]0;owned\u0007\u001b[2J")");
  EXPECT_EQ(JsonWriter::Quote("a\tb\r\n\"c\"\\"), R"("a\tb\r\n\"c\"\\")");
  EXPECT_EQ(JsonWriter::Quote("del\x7f csi\xc2\x9b osc\xc2\x9d"), R"("del\u007f csi\u009b osc\u009d")");
  EXPECT_EQ(JsonWriter::Quote("\xc2\xa0\xe2\x82\xac \xef\xbf\xbd"), "\"\xc2\xa0\xe2\x82\xac \xef\xbf\xbd\"");
  // Bytes that are no UTF-8 (a file name's) are kept as read; an overlong
  // CSI is no C1 character.
  EXPECT_EQ(JsonWriter::Quote("bad\xff\xc0\x9b"), "\"bad\xff\xc0\x9b\"");
}

TEST(JsonWriterTest, EscapedControlsReadBackAsTheyWereWritten) {
  RunRecord record;
  record.time = "2026-12-08 10:00:00";
  record.discoveryVersion = "\x1b]0;x\x07\xc2\x9d";
  record.detail = "refused\r\n\x7f";
  const std::string line = BuildRunRecordLine(record);
  for (const char raw : {'\x1b', '\x07', '\x7f', '\r', '\n'}) EXPECT_EQ(line.find(raw), std::string::npos) << int(raw);
  EXPECT_EQ(line.find("\xc2\x9d"), std::string::npos);
  const std::optional<RunRecord> back = ParseRunRecordLine(line);
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(*back, record);
}

}  // namespace
}  // namespace orvane
