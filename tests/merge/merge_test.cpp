// The aligner, the voter and the merger on TapeBlock values: which copies
// line up, which votes are accepted, which blocks are kept.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "merge/block_voter.h"
#include "merge/take_aligner.h"
#include "merge/tape_merger.h"

namespace tapedecoder {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes WithChecksum(Bytes b) {
  std::uint8_t x = 0;
  for (std::uint8_t v : b) x ^= v;
  b.push_back(x);
  return b;
}

Bytes Data(std::size_t length, std::uint32_t seed) {
  Bytes b = {0xFF};
  for (std::size_t i = 0; i < length; ++i) {
    seed = seed * 1664525u + 1013904223u;
    b.push_back(static_cast<std::uint8_t>(seed >> 24));
  }
  return WithChecksum(b);
}

Bytes Header(const std::string& name, std::uint16_t length) {
  Bytes h = {0x00, 0x03};
  for (std::size_t i = 0; i < 10; ++i) h.push_back(static_cast<std::uint8_t>(i < name.size() ? name[i] : ' '));
  h.push_back(static_cast<std::uint8_t>(length & 0xFF));
  h.push_back(static_cast<std::uint8_t>(length >> 8));
  for (int i = 0; i < 4; ++i) h.push_back(0);
  return WithChecksum(h);
}

TapeBlock Block(const Bytes& bytes, double seconds) {
  TapeBlock b;
  b.bytes = bytes;
  b.startSeconds = seconds - 2.0;
  b.dataSeconds = seconds;
  b.endSeconds = seconds + static_cast<double>(bytes.size()) * 0.006;
  b.timing.pilotPulses = 3223;
  b.bitConfidence.assign(bytes.size() * 8, 1.0f);
  return b;
}

// Flips bit `bit` (0 = the first byte's most significant) and marks it a guess.
TapeBlock Damaged(TapeBlock b, std::vector<std::size_t> bits) {
  for (std::size_t bit : bits) {
    b.bytes[bit / 8] = static_cast<std::uint8_t>(b.bytes[bit / 8] ^ (0x80 >> (bit % 8)));
    b.bitConfidence[bit] = 0.05f;
  }
  return b;
}

// Inserts a guessed 1 bit before `bit`; the block keeps its length in bytes
// (the decoder stops at the announced length), losing its last bit.
TapeBlock Slipped(TapeBlock b, std::size_t bit) {
  std::vector<int> bits;
  for (std::size_t i = 0; i < b.bytes.size() * 8; ++i) bits.push_back(b.bytes[i / 8] >> (7 - i % 8) & 1);
  bits.insert(bits.begin() + static_cast<std::ptrdiff_t>(bit), 1);
  b.bitConfidence.insert(b.bitConfidence.begin() + static_cast<std::ptrdiff_t>(bit), 0.05f);
  bits.pop_back();
  b.bitConfidence.pop_back();
  for (std::size_t i = 0; i < bits.size(); ++i) {
    b.bytes[i / 8] = static_cast<std::uint8_t>((b.bytes[i / 8] & ~(0x80 >> (i % 8))) | (bits[i] << (7 - i % 8)));
  }
  return b;
}

TapeBlock Truncated(TapeBlock b, std::size_t bytes) {
  b.endSeconds -= static_cast<double>(b.bytes.size() - bytes) * 0.006;
  b.bytes.resize(bytes);
  b.bitConfidence.resize(bytes * 8);
  return b;
}

const Bytes H = Header("game", 300);
const Bytes D1 = Data(300, 1);
const Bytes D2 = Data(120, 2);
const Bytes D3 = Data(120, 3);
const Bytes NOISE = {0x5A, 0x13, 0x77};

struct AlignCase {
  const char* name;
  std::vector<std::vector<TapeBlock>> takes;
  // Per tape block, per take: the index of the copy, -1 none.
  std::vector<std::vector<int>> expected;
};

class Aligner : public ::testing::TestWithParam<AlignCase> {};

void PrintTo(const AlignCase& c, std::ostream* os) { *os << c.name; }

TEST_P(Aligner, CopiesOfOneBlockLineUpWhateverTheTakesMissOrAdd) {
  const AlignCase& c = GetParam();
  std::vector<AlignedBlock> aligned = AlignTakes(c.takes);
  std::vector<std::vector<int>> got;
  for (const AlignedBlock& a : aligned) got.push_back(a.copies);
  EXPECT_EQ(got, c.expected);
}

// A take on another deck: 7 s later and 2 % slower.
double Late(double t) { return 7.0 + t * 1.02; }

INSTANTIATE_TEST_SUITE_P(
    Takes, Aligner,
    ::testing::Values(
        AlignCase{"SameBlocksOtherClock",
                  {{Block(H, 3), Block(D1, 9), Block(D2, 14)},
                   {Block(H, Late(3)), Block(D1, Late(9)), Block(D2, Late(14))}},
                  {{0, 0}, {1, 1}, {2, 2}}},
        AlignCase{"MissingBlockDoesNotShiftTheRest",
                  {{Block(H, 3), Block(D1, 9), Block(D2, 14), Block(D3, 18)},
                   {Block(H, Late(3)), Block(D2, Late(14)), Block(D3, Late(18))}},
                  {{0, 0}, {1, -1}, {2, 1}, {3, 2}}},
        AlignCase{"FalseBlockStandsAlone",
                  {{Block(H, 3), Block(D1, 9), Block(D2, 14)},
                   {Block(H, Late(3)), Block(NOISE, Late(11.5)), Block(D1, Late(9)), Block(D2, Late(14))}},
                  {{0, 0}, {-1, 1}, {1, 2}, {2, 3}}},
        AlignCase{"BadCopiesJoinTheirGoodOnes",
                  {{Block(H, 3), Truncated(Block(D1, 9), 40), Block(D2, 14)},
                   {Block(H, Late(3)), Block(D1, Late(9)), Damaged(Block(D2, Late(14)), {100, 200})}},
                  {{0, 0}, {1, 1}, {2, 2}}},
        AlignCase{"RepeatedBlockMatchedByTime",
                  {{Block(H, 3), Block(D2, 9), Block(D2, 14), Block(D3, 18)},
                   {Block(H, Late(3)), Block(D2, Late(14)), Block(D3, Late(18))}},
                  {{0, 0}, {1, -1}, {2, 1}, {3, 2}}},
        AlignCase{"ThreeTakesEachMissingOne",
                  {{Block(D1, 9), Block(D2, 14)},
                   {Block(H, Late(3)), Block(D2, Late(14))},
                   {Block(H, 1), Block(D1, 7)}},
                  {{-1, 0, 0}, {0, -1, 1}, {1, 1, -1}}}),
    [](const ::testing::TestParamInfo<AlignCase>& info) { return std::string(info.param.name); });

struct VoteCase {
  const char* name;
  std::vector<TapeBlock> copies;
  std::size_t expected;  // announced length, 0 unknown
  bool accepted;
};

void PrintTo(const VoteCase& c, std::ostream* os) { *os << c.name; }

class Voter : public ::testing::TestWithParam<VoteCase> {};

TEST_P(Voter, VotesOnlyWhatTheTakesBack) {
  const VoteCase& c = GetParam();
  std::vector<const TapeBlock*> copies;
  for (const TapeBlock& b : c.copies) copies.push_back(&b);
  VoteOutcome vote = VoteBlock(copies, c.expected);
  EXPECT_EQ(vote.accepted, c.accepted);
  if (c.accepted) {
    EXPECT_EQ(vote.block.bytes, D1);
    EXPECT_EQ(vote.block.origin, BlockOrigin::VOTED);
  }
}

TapeBlock B() { return Block(D1, 9); }

INSTANTIATE_TEST_SUITE_P(
    Blocks, Voter,
    ::testing::Values(
        VoteCase{"ThreeTakesDamagedAtDifferentBytes",
                 {Damaged(B(), {80, 81, 90}), Damaged(B(), {800, 1203}), Damaged(B(), {2000, 2001, 2002})}, 302, true},
        VoteCase{"TwoTakesWithGuessesApart", {Damaged(B(), {80, 81}), Damaged(B(), {1600, 1700})}, 302, true},
        VoteCase{"SlippedTakeLinedUpAgain",
                 {Slipped(Damaged(B(), {400}), 401), Damaged(B(), {1200}), Damaged(B(), {2200})}, 302, true},
        VoteCase{"CutShortTakeStillVotes",
                 {Truncated(Damaged(B(), {100}), 150), Damaged(B(), {1000}), Damaged(B(), {2000})}, 0, true},
        VoteCase{"SameGuessesInEveryTake",
                 {Damaged(B(), {83, 163}), Damaged(B(), {83, 163}), Damaged(B(), {83, 163})}, 302, false},
        VoteCase{"ChecksumPassesButLengthDoesNot",
                 {Damaged(B(), {80}), Damaged(B(), {1600})}, 200, false},
        VoteCase{"ConfidentDisagreementIsNoVote",
                 {Block(D1, 9), Block(Data(300, 9), 9)}, 302, false}),
    [](const ::testing::TestParamInfo<VoteCase>& info) { return std::string(info.param.name); });

TEST(TapeMerger, KeepsTheClearestVerifiedCopyAndDropsAFalseBlock) {
  TapeBlock weak = Block(D1, 9);
  for (std::size_t i = 0; i < weak.bitConfidence.size(); i += 3) weak.bitConfidence[i] = 0.4f;
  TapeBlock noise = Block(NOISE, 11.5);
  noise.timing.pilotPulses = 200;
  std::vector<std::vector<TapeBlock>> takes = {
      {Block(H, 3), weak, Block(D2, 14)},
      {Block(H, 3.5), noise, Block(D1, 9.5), Damaged(Block(D2, 14.5), {30})},
      {Block(H, 2.5), Damaged(Block(D1, 8.5), {50}), Block(D2, 13.5)},
  };
  std::vector<MergedBlock> merged = MergeTakes(takes);
  ASSERT_EQ(merged.size(), 3u);
  EXPECT_EQ(merged[0].block.bytes, H);
  EXPECT_EQ(merged[1].block.bytes, D1);
  EXPECT_EQ(merged[1].block.take, 1);  // clearer than the first take's
  EXPECT_EQ(merged[2].block.bytes, D2);
  for (const MergedBlock& m : merged) EXPECT_TRUE(m.good && !m.voted);
  EXPECT_EQ(merged[1].takeStarts, (std::vector<std::optional<double>>{7.0, 7.5, 6.5}));
}

}  // namespace
}  // namespace tapedecoder
