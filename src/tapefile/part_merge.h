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
std::vector<TapePart> MergeRobustBlocks(const std::vector<TapeBlock>& robust,
                                        const std::vector<TapePart>& parts);

}  // namespace tapedecoder

#endif  // TAPEDECODER_TAPEFILE_PART_MERGE_H_
