// The report's text: strings that stay valid JSON whatever bytes a file
// name or a tape holds, and the shares of a tape's time.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "convert/robust_run.h"
#include "convert/run_report.h"

using namespace tapedecoder;

namespace {

TEST(RunReportTest, StringsAreEscapedAndValidUtf8) {
  struct Row {
    std::string text;
    std::string json;
  } rows[] = {
      {"game", "\"game\""},
      {"a \"b\" \\c", "\"a \\\"b\\\" \\\\c\""},
      {std::string("tab\tnl\ncr\r\x01\0", 12), "\"tab\\u0009nl\\u000acr\\u000d\\u0001\\u0000\""},
      {"Игра", "\"Игра\""},                       // UTF-8 as it is
      {"\xff\xfe", "\"\\ufffd\\ufffd\""},          // no UTF-8 at all
      {"\xd0", "\"\\ufffd\""},                     // a sequence cut short
      {"\xc0\xaf", "\"\\ufffd\\ufffd\""},          // an overlong '/'
      {"\xed\xa0\x80", "\"\\ufffd\\ufffd\\ufffd\""},  // a surrogate
  };
  for (const Row& row : rows) EXPECT_EQ(JsonString(row.text), row.json) << row.json;
}

TEST(RunReportTest, SharesCoverBlocksTonesAndPauses) {
  TapeBlock block;
  block.startSeconds = 1.0;
  block.endSeconds = 4.0;
  PulseStretch tone;
  tone.startSeconds = 5.0;
  tone.kind = StretchKind::TONE;
  tone.pulses.assign(1000, TSTATES_PER_SECOND / 1000.0);  // one second
  const SignalShares shares = MeasureShares({block, tone}, 10.0);
  EXPECT_TRUE(shares.measured);
  EXPECT_DOUBLE_EQ(shares.blocks, 0.3);
  EXPECT_NEAR(shares.tones, 0.1, 1e-9);
  EXPECT_NEAR(shares.pauses, 0.6, 1e-9);  // 0-1, 4-5, 6-10
  EXPECT_FALSE(MeasureShares({}, 0.0).measured);
}

// A block mended from its checksum says so, with how much and where; a
// plainly read block carries no such key.
TEST(RunReportTest, MendedBlocksSayHowMuchAndWhere) {
  RobustReport report;
  BlockSummary mended;
  mended.origin = BlockOrigin::MENDED;
  mended.mendedBits = 9;
  mended.mendedGaps = 2;
  mended.mendedAt = 8 * 40 + 3;
  BlockSummary guessed = mended;
  guessed.mendGuessed = true;
  BlockSummary plain;
  report.blocks = {mended, guessed, plain};
  const std::string json = RobustReportJson("t", "r.wav", report, {});
  const std::string key = "\"mended\": {\"bits\": 9, \"dropouts\": 2, \"fromByte\": 40}";
  const std::size_t at = json.find(key);
  ASSERT_NE(at, std::string::npos) << json;
  const std::size_t second = json.find("\"mended\": {\"bits\": 9, \"dropouts\": 2, \"fromByte\": 40, \"guessed\": true}");
  ASSERT_NE(second, std::string::npos) << json;
  EXPECT_EQ(json.find("\"mended\": {", second + 1), std::string::npos) << json;
}

}  // namespace
