// The tape image and the listing, byte for byte, and how they are
// committed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "tape/tape_format.h"
#include "tape/tape_output.h"
#include "test_support.h"

using namespace tapedecoder;

namespace {

using testing_support::Bytes;
using testing_support::ReadFile;
using testing_support::ScratchDir;
using testing_support::WriteFile;

// The listing's pieces as Windows-1251 bytes, written out independently of
// the conversion in the code under test.
const std::string kStart =
    "\r\n-----\xCD\xE0\xF7\xE0\xEB\xEE \xF4\xE0\xE9\xEB\xE0 "
    "(\xF1\xE8\xED\xF5\xF0\xEE\xF1\xE8\xE3\xED\xE0\xEB)-----\r\n";
const std::string kEndHead =
    "\r\n\xCA\xEE\xED\xE5\xF6 \xF4\xE0\xE9\xEB\xE0. \xD1\xF7\xE8\xF2\xE0\xED\xEE:";
const std::string kEndTail = " \xE1\xE0\xE9\xF2(\xE0).\r\n";
const std::string kGood = "\r\n\xCE\xF8\xE8\xE1\xEE\xEA \xED\xE5\xF2.\r\n";
const std::string kBad = "\r\n\xCE\xF8\xE8\xE1\xEA\xE0 \xF7\xF2\xE5\xED\xE8\xFF!\r\n";

std::string AsText(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

class TapeOutputTest : public ::testing::Test {
 protected:
  std::string Title() const { return (m_dir / "game").string(); }
  // Hands the blocks to both writers and commits them.
  bool WriteBlocks(const std::vector<Bytes>& blocks, std::uint8_t usedBits = 8) {
    COutputSet set;
    const int tap = set.Add(Title() + ".tap");
    const int txt = set.Add(Title() + ".txt");
    if (txt < 0) return false;
    CTapImageWriter image(set, tap);
    CListingWriter listing(set, txt);
    for (const Bytes& bytes : blocks) {
      TapeBlock block;
      block.bytes = bytes;
      block.usedBits = usedBits;
      image.Take(block);
      listing.Take(block);
    }
    return set.Commit();
  }
  Bytes Tap() const { return ReadFile(m_dir / "game.tap"); }
  std::string Txt() const { return AsText(ReadFile(m_dir / "game.txt")); }
  // The names in the folder, to see that no temporary is left.
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(m_dir.Path()))
      names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  ScratchDir m_dir;
};

TEST_F(TapeOutputTest, ThirtyOneByteBlockIsListedByteForByte) {
  Bytes block;
  std::uint8_t checksum = 0;
  for (int i = 0; i < 30; ++i) {
    block.push_back(static_cast<std::uint8_t>(i * 9));
    checksum ^= block.back();
  }
  block.push_back(checksum);
  ASSERT_TRUE(WriteBlocks({block}));

  std::string line1, line2;
  for (int i = 0; i < 30; ++i) {
    char entry[4];
    std::snprintf(entry, sizeof entry, "%02x ", i * 9 & 0xFF);
    line1 += entry;
  }
  char last[4];
  std::snprintf(last, sizeof last, "%02x ", checksum);
  line2 = last;
  EXPECT_EQ(Txt(), kStart + line1 + "\r\n" + line2 + kEndHead + "31" + kEndTail + kGood);
  EXPECT_EQ(line1.size(), 90u);
  EXPECT_EQ(Tap(), Bytes({31, 0}) + block);
}

TEST_F(TapeOutputTest, LineBreaksComeBeforeTheThirtyFirstEntry) {
  // 30 bytes fill one line with no break; 0x0a is listed in lowercase.
  const Bytes thirty(30, 0x0A);
  const Bytes sixty = Bytes(59, 0x0A) + Bytes{0x0B};
  ASSERT_TRUE(WriteBlocks({thirty, sixty}));
  std::string line;
  for (int i = 0; i < 30; ++i) line += "0a ";
  const std::string lastLine = line.substr(3) + "0b ";
  // The fold of 29 times 0x0a is 0x0a: good; of 59 times, 0x0a, not 0x0b.
  EXPECT_EQ(Txt(), kStart + line + kEndHead + "30" + kEndTail + kGood +
                       kStart + line + "\r\n" + lastLine + kEndHead + "60" + kEndTail + kBad);
}

TEST_F(TapeOutputTest, ChecksumVerdicts) {
  struct Row {
    Bytes block;
    bool good;
    std::uint8_t usedBits = 8;
  } rows[] = {
      {{0x00}, true},                // one byte: the fold of nothing is 0
      {{0x05}, false},
      {{0x12, 0x34, 0x26}, true},    // 0x12 ^ 0x34
      {{0x12, 0x34, 0x27}, false},
      {{0xFF, 0xFF}, true},
      {{0x00, 0xFF, 0x01, 0xFE}, true},
      {{0x12, 0x34, 0x26}, true, 7},   // the last bit lost to silence
      {{0x12, 0x34, 0x26}, false, 6},  // stopped short: the checksum holds by chance
  };
  for (const Row& row : rows) {
    ASSERT_TRUE(WriteBlocks({row.block}, row.usedBits));
    const std::string txt = Txt();
    const std::string verdict = row.good ? kGood : kBad;
    ASSERT_GE(txt.size(), verdict.size());
    EXPECT_EQ(txt.substr(txt.size() - verdict.size()), verdict)
        << "block of " << row.block.size() << " ending in " << int(row.block.back());
  }
}

TEST_F(TapeOutputTest, RecordsCarryTheLengthLowByteFirst) {
  struct Row {
    std::size_t size;
    Bytes header;
  } rows[] = {{1, {0x01, 0x00}},
              {19, {0x13, 0x00}},
              {300, {0x2C, 0x01}},
              {65535, {0xFF, 0xFF}}};
  for (const Row& row : rows) {
    Bytes block(row.size, 0x5A);
    ASSERT_TRUE(WriteBlocks({block}));
    EXPECT_EQ(Tap(), row.header + block) << row.size;
  }
}

// A block too long for one record's 16-bit length used to lose its length's
// high bits and make every later record unreadable.
TEST_F(TapeOutputTest, BlockOfSeventyThousandBytesIsSplitIntoTwoRecords) {
  Bytes big(70000);
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i * 31 + i / 256);
  const Bytes after = {0x00, 0x01, 0x01};
  ASSERT_TRUE(WriteBlocks({big, after}));

  const Bytes tap = Tap();
  ASSERT_EQ(tap.size(), 2 + 65535 + 2 + 4465 + 2 + 3u);
  EXPECT_EQ(Bytes(tap.begin(), tap.begin() + 2), Bytes({0xFF, 0xFF}));
  const std::size_t second = 2 + 65535;
  EXPECT_EQ(Bytes(tap.begin() + second, tap.begin() + second + 2), Bytes({0x71, 0x11}));  // 4465
  Bytes joined(tap.begin() + 2, tap.begin() + second);
  joined.insert(joined.end(), tap.begin() + second + 2, tap.begin() + second + 2 + 4465);
  EXPECT_TRUE(joined == big);
  // The next block's record follows intact.
  EXPECT_EQ(Bytes(tap.end() - 5, tap.end()), Bytes({0x03, 0x00}) + after);
  // One end line with the whole count.
  EXPECT_NE(Txt().find(kEndHead + "70000" + kEndTail), std::string::npos);
  EXPECT_EQ(Txt().find(kEndHead + "65535"), std::string::npos);
}

TEST_F(TapeOutputTest, BlockWithoutACompletedByteLeavesOnlyItsStart) {
  ASSERT_TRUE(WriteBlocks({Bytes{}}));
  EXPECT_EQ(Txt(), kStart);
  EXPECT_TRUE(Tap().empty());
}

TEST_F(TapeOutputTest, NothingWrittenGivesTwoEmptyFilesReplacingOldOnes) {
  WriteFile(m_dir / "game.tap", {1, 2, 3});
  WriteFile(m_dir / "game.txt", {4, 5, 6});
  ASSERT_TRUE(WriteBlocks({}));
  EXPECT_TRUE(Tap().empty());
  EXPECT_TRUE(Txt().empty());
  EXPECT_EQ(Names(), (std::vector<std::string>{"game.tap", "game.txt"}));
}

}  // namespace

namespace {

// The listing of one block alone, as text.
std::string ListingOf(const TapeBlock& block) {
  ScratchDir dir;
  COutputSet set;
  const int txt = set.Add((dir / "game.txt").string());
  EXPECT_GE(txt, 0);
  CListingWriter listing(set, txt);
  listing.Take(block);
  EXPECT_TRUE(set.Commit());
  return AsText(ReadFile(dir / "game.txt"));
}

TEST(ListingTimingLine, TurboBlocksGiveTheirTimingsAndPilotlessDataSaysItHasNoPilot) {
  struct Row {
    BlockTiming timing;
    const char* line;  // UTF-8
  } rows[] = {
      {{1800.4, 500, 600, 400, 800, 3000},
       "Нестандартная скорость, такты: пилот-тон 1800 x 3000, синхросигнал 500/600, ноль 400, единица 800\r\n"},
      {{0, 0, 0, 500, 1100, 0},
       "Нестандартная скорость, такты: без пилот-тона и синхросигнала, ноль 500, единица 1100\r\n"},
  };
  for (const Row& row : rows) {
    TapeBlock block;
    block.bytes = {0xFF, 0x01, 0xFE};
    block.romTiming = false;
    block.timing = row.timing;
    const std::string text = ListingOf(block);
    EXPECT_EQ(text.substr(kStart.size(), ToWindows1251(row.line).size()), ToWindows1251(row.line)) << row.line;
  }
}

// A mended block's verdict: the bits restored, the dropouts when more than
// one, and the byte the first one starts in; a guessed fill (or slips
// undone by a guess) says it is not proven.
TEST(ListingMendedLine, SaysHowManyDropoutsWhenSeveral) {
  struct Row {
    int gaps;
    const char* line;  // UTF-8
    bool guessed = false;
  } rows[] = {
      {1, "Исправлено по контрольной сумме: 5 бит(а) с байта 1.\r\n"},
      {2, "Исправлено по контрольной сумме: 5 бит(а) в 2 провалах, начиная с байта 1.\r\n"},
      {2, "Не проверено, восстановлено наиболее вероятно: 5 бит(а) в 2 провалах, начиная с байта 1.\r\n", true},
      {0, "Не проверено, восстановлено наиболее вероятно: 5 сдвиг(а) бит с байта 1.\r\n", true},
  };
  for (const Row& row : rows) {
    TapeBlock block;
    block.bytes = {0xFF, 0x01, 0xFE};
    block.origin = BlockOrigin::MENDED;
    block.mendedBits = 5;
    block.mendedAt = 9;
    block.mendedGaps = row.gaps;
    block.mendGuessed = row.guessed;
    const std::string text = ListingOf(block);
    EXPECT_NE(text.find(ToWindows1251(row.line)), std::string::npos) << row.line;
    EXPECT_EQ(text.find(ToWindows1251(LISTING_VERDICT_GOOD)), std::string::npos) << row.line;
  }
}

}  // namespace
