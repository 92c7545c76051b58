// Combines the blocks of the robust ROM-block decoder with the parts the
// pulse segmenter found in the same recording.
#ifndef TAPEDECODER_TAPEFILE_PART_MERGE_H_
#define TAPEDECODER_TAPEFILE_PART_MERGE_H_

#include <functional>
#include <vector>

#include "tape/tape_block.h"

namespace tapedecoder {

// True when `parts` hold a block over `robust` (at least as long, its
// data starting within 5 ms of the robust block's) whose
// zero bits measure more than 20 % off the robust block's: the robust
// decoder read a loader's data at the ROM's bit lengths, and a checksum
// that verifies there does so by chance.
bool ReadAtOtherBitLengths(const TapeBlock& robust, const std::vector<TapePart>& parts);

// True when `parts` hold a block with a pilot that starts within 10 ms of
// `robust`, verifies, holds more bytes and reaches at least as far, and
// does not begin with the robust block's bytes: the segmenter read the
// block whole, and the robust reading, which stopped inside it with other
// bytes, verifies by chance.
bool ReadFurtherThere(const TapeBlock& robust, const std::vector<TapePart>& parts);

// Replaces each block of `robust` that the segmenter's block at the same
// data start (`parts`) reads on from -- the same bytes first, then eight
// more at least, or more that verify as a whole: the bits ran on past
// where the robust decoder stopped (a length a header announced) -- by
// that longer block, the robust bytes kept for the part both read. A ROM
// block stays one where the longer block's pilot and bits are near the
// ROM's.
void RunOnBlocks(std::vector<TapeBlock>& robust, const std::vector<TapePart>& parts);

// Gives each block of `robust` in other timings than the ROM's (a loader's
// block the robust decoder read in the ROM's ratios at its speed) the bit
// lengths and byte starts of the segmenter's block in `parts` with the same
// bytes and data start: those are fitted to every edge of the recording,
// where the decoder's follow from the ROM's ratios, which a loader's bits
// (or a player's rounding to whole samples) need not keep; the images play
// it in step with the recording only at the fitted lengths. A block read
// in the ROM's ratios takes the segmenter's whole timing (and is no longer
// in the ROM's timing) only where the segmenter found its bits in unequal
// halves and its timing other than the ROM's.
void TakeMeasuredBitLengths(std::vector<TapeBlock>& robust, const std::vector<TapePart>& parts);

// How many of each kind of part a tape holds, and the pauses between
// them (gaps over 2 ms, the layout's rule), for the report.
struct PartTally {
  int romBlocks = 0;
  int turboBlocks = 0;  // a pilot and sync in other timings
  int pureData = 0;     // data with no pilot
  int tones = 0;
  int pulseStretches = 0;
  int pauses = 0;
};
PartTally TallyParts(const std::vector<TapePart>& parts, double recordingSeconds);

// TallyParts as a stream: parts in recording order, then the recording's
// length.
class CPartTally {
 public:
  void Add(const TapePart& part);
  PartTally Finish(double recordingSeconds) const;

 private:
  PartTally m_tally;
  double m_end = 0.0;  // the end of the parts so far, seconds
};

// Every block of `robust` (the robust decoder's verified blocks, with
// startSeconds/endSeconds set), plus whatever of `parts` (SegmentEdges'
// output for the same recording) lies outside them, in recording order.
// Where the two overlap in time the robust block wins: a segmenter block or
// tone that overlaps one is dropped, and the pulses of other stretches that
// overlap one are cut out (the stretch splits into the pieces around it).
std::vector<TapePart> MergeRobustBlocks(const std::vector<TapeBlock>& robust,
                                        const std::vector<TapePart>& parts);

// MergeRobustBlocks as a stream, over a window that moves with the
// decoding. Robust blocks (every one, good or bad) and the segmenter's
// parts come in, each kind in its own time order; whatever lies before a
// moment that nothing pending or still to come straddles is merged and
// handed on: the image's parts in recording order, and the blocks for the
// listing and the .tap in tape order -- the image's blocks and the robust
// blocks that do not verify where the segmenter read nothing better, with
// whether the .tap keeps each (inTap: every block that verifies, and the
// ROM-timed readings that do not); robust blocks come without their
// per-bit measurements. The parts are MergeRobustBlocks' on the whole
// recording.
class CPartMerger {
 public:
  using PartOut = std::function<void(TapePart&&)>;
  using BlockOut = std::function<void(const TapeBlock&, bool inTap)>;

  CPartMerger(PartOut parts, BlockOut blocks);
  void Robust(TapeBlock&& block);
  void Found(TapePart&& part);
  // No robust block starting before `robustFrom` (seconds) and no part
  // starting before `foundFrom` is still to come.
  void Settle(double robustFrom, double foundFrom);
  // Merges what is left.
  void Finish();

 private:
  void Emit(std::size_t robustCount, std::size_t foundCount);

  PartOut m_parts;
  BlockOut m_blocks;
  std::vector<TapeBlock> m_robust;  // pending, in order of start
  std::vector<TapePart> m_found;    // pending, in recording order
  // Applies RealignLateBlock to the blocks of either reading that follow
  // a ROM header at its announced length.
  void RealignLateBlocks(std::vector<TapeBlock>& robust, std::vector<TapePart>& found);

  // A ROM header: its end (seconds) and the length of the data block it
  // announces (flag and checksum included; 0: none).
  struct Announced {
    double end = 0.0;
    std::size_t length = 0;
  };
  Announced m_lastHeader;  // the last one merged
};

// Where `block`, the data block a ROM header announced or one behind a
// sync whose second pulse was a one's, was read one bit late (flag 0xFE;
// 0xFF too where the sync's pulses show it, `lateSync`), the block read a bit earlier
// when that verifies as flag 0xFF (origin SYNC_REPAIRED); otherwise
// `block` as it is.
void RealignLateBlock(TapeBlock& block, bool lateSync = false);

}  // namespace tapedecoder

#endif  // TAPEDECODER_TAPEFILE_PART_MERGE_H_
