// The command line's words for each family of failures (the text, and the
// system's or the library's detail after it where the failure has one), and
// what each failure makes of the run's exit.
#include <gtest/gtest.h>

#include <cerrno>

#include "cli/messages.h"
#include "cli/outcome.h"

namespace {

using namespace tapedecoder;

Failure Make(FailureKind kind, const char* path, int osError, const char* library = "",
             std::int64_t value = 0) {
  Failure failure(kind, path, osError);
  failure.libraryMessage = library;
  failure.value = value;
  return failure;
}

TEST(FailureWords, EachFamilyReadsWithItsDetail) {
  const struct {
    Failure failure;
    const char* text;
  } rows[] = {
      {Make(FailureKind::NONE, "", 0), "no error"},
      {Make(FailureKind::NO_MEMORY, "a.wav", ENOMEM, "soxr"), "not enough memory"},
      {Make(FailureKind::CANNOT_OPEN, "a.wav", ENOENT), "the file cannot be opened: No such file or directory"},
      {Make(FailureKind::CANNOT_OPEN, "a.wav", 0), "the file cannot be opened"},
      {Make(FailureKind::WAVE_BAD_BLOCK_ALIGN, "a.wav", 0), "the samples are not 8-bit"},
      {Make(FailureKind::UNKNOWN_FORMAT, "a.txt", 0, "Format not recognised."),
       "not a sound file or CSW file this program reads (Format not recognised.)"},
      {Make(FailureKind::BAD_RATE, "a.wav", 0, "", 4000), "the sample rate 4000 Hz is outside 8000-192000 Hz"},
      {Make(FailureKind::CSW_TRUNCATED_DATA, "a.csw", 0), "the CSW data is cut short"},
      {Make(FailureKind::READ_ERROR, "a.flac", EIO, "lib"), "reading failed: Input/output error"},
      {Make(FailureKind::OUTPUT_CANNOT_CREATE, "out/a.tap", ENOENT),
       "cannot create out/a.tap: No such file or directory"},
      {Make(FailureKind::OUTPUT_PROTECTED, "a.txt", EACCES), "cannot replace a.txt: Permission denied"},
      {Make(FailureKind::OUTPUT_IS_INPUT, "a.tap", 0), "a.tap is the recording itself"},
      {Make(FailureKind::OUTPUT_CANNOT_WRITE, "a.tzx", 0), "cannot write a.tzx"},
      {Make(FailureKind::ENDS_EARLY, "a.flac", 0),
       "the sound data ends before the length its header declares (damaged or cut short)"},
  };
  for (const auto& row : rows) EXPECT_EQ(DescribeFailure(row.failure), row.text);
}

// The classes rest on the order of the kinds: the first and last kind of
// each range, so that a kind added in the wrong place shows.
TEST(FailureWords, EachKindEndsTheRunAsItsClassSays) {
  const struct {
    FailureKind kind;
    int bad;
    bool readStopped;
    FailureClass klass;
    Outcome outcome;
  } rows[] = {
      {FailureKind::NONE, 0, false, FailureClass::NONE, Outcome::ALL_GOOD},
      {FailureKind::NONE, 1, false, FailureClass::NONE, Outcome::DAMAGED},
      {FailureKind::NONE, 0, true, FailureClass::NONE, Outcome::DAMAGED},
      {FailureKind::CANNOT_OPEN, 0, false, FailureClass::INPUT, Outcome::NOT_CONVERTED},
      {FailureKind::ENDS_EARLY, 0, false, FailureClass::INPUT, Outcome::NOT_CONVERTED},
      {FailureKind::OUTPUT_PROTECTED, 0, false, FailureClass::OUTPUT, Outcome::NOT_CONVERTED},
      {FailureKind::OUTPUT_IS_INPUT, 0, false, FailureClass::OUTPUT, Outcome::NOT_CONVERTED},
      {FailureKind::NO_MEMORY, 0, false, FailureClass::MEMORY, Outcome::NOT_CONVERTED},
      {FailureKind::NOTHING_FOUND, 0, false, FailureClass::TAPE, Outcome::NOTHING_FOUND},
      {FailureKind::TAKES_DIFFER, 0, false, FailureClass::TAPE, Outcome::REFUSED},
      {FailureKind::CANCELLED, 0, false, FailureClass::TAPE, Outcome::NOT_CONVERTED},
  };
  for (const auto& row : rows) {
    const Failure failure(row.kind, "a.wav");
    EXPECT_EQ(failure.Class(), row.klass) << static_cast<int>(row.kind);
    EXPECT_EQ(OutcomeOf(failure, row.bad, row.readStopped), row.outcome) << static_cast<int>(row.kind);
  }
}

}  // namespace

namespace {

using namespace tapedecoder;

// A mended block says how many bits, in how many dropouts, from which byte;
// one read as its copy where the reading slipped names no dropout; one
// whose fill was a guess is unsure, never ok.
TEST(BlockWords, AMendedBlockSaysWhereItsBitsWereLost) {
  const struct {
    int gaps;
    const char* words;
    bool guessed = false;
  } rows[] = {
      {1, "ok (mended: 12 bits lost in a dropout at byte 40 restored from the checksum)"},
      {3, "ok (mended: 12 bits lost in 3 dropouts from byte 40 restored from the checksum)"},
      {0, "ok (mended: 12 bits from byte 40 restored from the block's copy on the tape, where the reading slipped)"},
      {3, "unsure (guessed: 12 bits lost in 3 dropouts from byte 40, the likeliest of the fills the checksum allows)",
       true},
      {0, "unsure (guessed: 12 slips from byte 40 undone, the likeliest reading the checksum allows)", true},
  };
  for (const auto& row : rows) {
    BlockSummary block;
    block.number = 2;
    block.length = 300;
    block.flag = 0xFF;
    block.good = !row.guessed;
    block.mendGuessed = row.guessed;
    block.origin = BlockOrigin::MENDED;
    block.mendedBits = 12;
    block.mendedAt = 40 * 8 + 3;
    block.mendedGaps = row.gaps;
    block.mendedFromCopy = row.gaps == 0 && !row.guessed;
    EXPECT_NE(DescribeBlock(block).find(row.words), std::string::npos) << DescribeBlock(block);
  }
}

}  // namespace
