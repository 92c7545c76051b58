// Combines the blocks of the robust ROM-block decoder with the parts the
// pulse segmenter found in the same recording.
#ifndef TAPEDECODER_TAPEFILE_PART_MERGE_H_
#define TAPEDECODER_TAPEFILE_PART_MERGE_H_

#include <vector>

#include "tape/tape_block.h"

namespace tapedecoder {

// Every block of `robust` (the robust decoder's verified blocks, with
// startSeconds/endSeconds set), plus whatever of `parts` (SegmentEdges'
// output for the same recording) lies outside them, in recording order.
// Where the two overlap in time the robust block wins: a segmenter block or
// tone that overlaps one is dropped, and the pulses of other stretches that
// overlap one are cut out (the stretch splits into the pieces around it).
// True when `parts` hold a block over `robust` (at least as long, its
// data starting within 5 ms of the robust block's) whose
// zero bits measure more than 20 % off the robust block's: the robust
// decoder read a loader's data at the ROM's bit lengths, and a checksum
// that verifies there does so by chance.
bool ReadAtOtherBitLengths(const TapeBlock& robust, const std::vector<TapePart>& parts);

// Replaces each block of `robust` that the segmenter's block at the same
// data start (`parts`) reads on from -- the same bytes first, then more:
// the bits ran on past where the robust decoder stopped (a length a
// header announced) -- by that longer block, the robust bytes kept for
// the part both read.
void RunOnBlocks(std::vector<TapeBlock>& robust, const std::vector<TapePart>& parts);

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

std::vector<TapePart> MergeRobustBlocks(const std::vector<TapeBlock>& robust,
                                        const std::vector<TapePart>& parts);

}  // namespace tapedecoder

#endif  // TAPEDECODER_TAPEFILE_PART_MERGE_H_
