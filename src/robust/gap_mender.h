// Bits dropouts took from a block, restored from what the block still
// holds: the exclusive OR checksum is one parity bit per bit column, so the
// lost bits of all a block's dropouts together may hold one unknown per
// column; a dropout's duration (a one lasts twice a zero) tells how many
// bits it held and how many of them were ones, and where its silence lay
// tells which of its bits cannot be zeros. A fill is kept only where
// exactly one fits.
#ifndef TAPEDECODER_ROBUST_GAP_MENDER_H_
#define TAPEDECODER_ROBUST_GAP_MENDER_H_

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace tapedecoder {
namespace robust {

// The most bits one dropout is taken to hold: a longer one is not mended.
constexpr std::size_t MAX_GAP_BITS = 16;

// One dropout read across: the bits read before it, and its duration in
// zero-bit periods, from the end of the last bit known before it to the
// start of the first known after it.
struct Gap {
  std::size_t before = 0;
  double zeros = 0.0;
  // Where the signal was silent, in zero-bit periods from the gap's start:
  // every edge inside the lost bits lies there, for one outside would have
  // been heard. By default the whole gap (nothing is known).
  double quietFrom = 0.0;
  double quietTo = std::numeric_limits<double>::infinity();
  // Where `known` is not 0, the gap's bits are known (the first in bit 0),
  // only not how many of them belong to the block: its fills are the
  // first one to `known` of them, whatever their duration.
  std::uint32_t bits = 0;
  std::size_t known = 0;
};

struct GapsFill {
  int fits = 0;  // 0 none, 1 one, 2 more (or too many to try)
  // The ways to fill the gaps that give the block's length, whatever the
  // checksum: 0, 1 (the length alone fixes the fill), 2 more.
  int lengthWays = 0;
  std::vector<std::uint8_t> values;   // the lost bits, 0 or 1, gap after gap
  std::vector<std::size_t> lengths;   // each gap's bit count
};

// `known`: the bits read, one per entry; `gaps` in order (`before` not
// falling, none beyond the bits). `total`: the bits the block holds (a
// whole number of bytes), or 0 when unknown (then any whole number of
// bytes). `one`: a one bit's length in zero-bit periods.
GapsFill FillGaps(const std::vector<std::uint8_t>& known, const std::vector<Gap>& gaps, std::size_t total,
                  double one = 2.0);

// Where more than one fill fits (FillGaps), the one whose bytes are
// likeliest: a block's bytes are seldom evenly spread (code, text, screens
// and fills repeat a few values), and a wrong count of lost bits turns
// every byte up to the next gap into other values. The bytes' likelihoods
// are learnt from the block itself: from the stretches the gaps leave, then
// again from the whole block as guessed. `ok` false where the gaps lie
// closer than a byte, or the search is too large. The checksum and the
// length then hold, but the fill is a guess: one of bytes with no pattern
// (compressed data, noise) is a coin's toss, which `margin` shows.
struct GapsGuess {
  bool ok = false;
  std::vector<std::uint8_t> values;  // as GapsFill's
  std::vector<std::size_t> lengths;
  // How much likelier (natural log) the fill is than the next likeliest;
  // infinite where no other fits.
  double margin = 0.0;
  // The search let go of the least likely ways after some gap (a long
  // block's many gaps): the next likeliest fill may have been among them,
  // and `margin` is less sure.
  bool pruned = false;
};
GapsGuess GuessGaps(const std::vector<std::uint8_t>& known, const std::vector<Gap>& gaps, std::size_t total,
                    double one = 2.0);

// A guess stands where it is likelier than any other fill by
// MIN_GUESS_MARGIN (7 times), and by more the more gaps it filled: each is
// one more chance for a wrong fill to come out ahead by chance. Measured
// on dropouts through real blocks (three takes of five tapes): wrong
// guesses came out at 0.7 over the log of their gaps at most, right ones
// at 1.1 and over where there were few.
constexpr double MIN_GUESS_MARGIN = 2.0;
bool GuessStands(const GapsGuess& guess, std::size_t gaps);

// One reading of a block read across dropouts: its bits, and the gaps it
// read across (as for FillGaps).
struct GappedBits {
  std::vector<std::uint8_t> bits;
  std::vector<Gap> gaps;
};

// Two readings of one block (a tape often holds a block twice), their
// dropouts in other places: each one's lost bits are read in the other.
struct TwinMerge {
  bool ok = false;
  std::vector<std::uint8_t> bits;  // the whole block, `total` bits
  // Per reading, where each stretch between its gaps starts in `bits`.
  std::vector<std::size_t> placed[2];
  // Bits at the end neither reached (the last byte's at most), restored
  // from the checksum: the block then verifies by construction.
  std::size_t parityBits = 0;
};

// Lays the readings' stretches over each other: each stretch after a gap
// where exactly one count of lost bits both fits the gap's duration (the
// bits as the other reading has them) and matches the other reading over
// TWIN_OVERLAP bits or more; every bit of `total` read by one of them at
// least (but for the last byte's, see parityBits), and wherever both read
// it, alike. `ok` false otherwise.
constexpr std::size_t TWIN_OVERLAP = 32;
TwinMerge MergeTwins(const GappedBits& a, const GappedBits& b, std::size_t total, double one = 2.0);

// A reading of a block whose copy verified, with slips: where a band the
// signal lost for a while made a one read as two zeros, or two zeros as a
// one (the same duration). `own` gets, per bit of `copy`, the reading's
// bit it was read as (-1 in a slip). True where at most `maxSlips` slips
// turn the reading into the copy: each clear of the next by TWIN_OVERLAP
// bits read alike, exactly one way to read each, and the reading's end no
// more than a byte off the copy's (with no slip, a reading that ran on
// into the pause past it).
bool ReadAsCopy(const std::vector<std::uint8_t>& copy, const std::vector<std::uint8_t>& reading, std::size_t maxSlips,
                std::vector<std::ptrdiff_t>& own, std::size_t& slips);

// Where two readings of one block, `a` and `b`, part by a slip (as in
// ReadAsCopy): past the first bit where they differ, one reads the other's
// bits one bit on or back (SLIP_WINDOW bits, SLIP_MISSES wrong at most)
// where read in step they differ more. Compared over their first `n` bits
// (both must hold them). `at` -1 where they do not part so: a bit misread
// in step after it, or one reading lost its way.
constexpr std::size_t SLIP_WINDOW = 64;
constexpr std::size_t SLIP_MISSES = 2;
struct SlipApart {
  std::ptrdiff_t at = -1;  // the first bit where they differ
  int shift = 0;           // +1: `b` holds a bit more before the rest, -1 a bit fewer
};
SlipApart PartBySlip(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b, std::size_t n);

// A reading that verifies may have slipped twice, once each way, where
// its data keeps the checksum blind to the slips (a pattern repeating
// every few bytes keeps its column parities when shifted a bit). True
// where such a pair at two of the bits `weak` (a one read for two zeros
// there, or two zeros for a one, and the reverse at the other) gives other
// bytes that verify as well: the checksum cannot tell which was on tape.
bool SlipPairAlsoVerifies(const std::vector<std::uint8_t>& bytes, const std::vector<std::size_t>& weak);

}  // namespace robust
}  // namespace tapedecoder

#endif  // TAPEDECODER_ROBUST_GAP_MENDER_H_
