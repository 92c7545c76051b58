// Combines the blocks of the robust ROM-block decoder with the parts the
// pulse segmenter found in the same recording.
#ifndef TAPEDECODER_TAPEFILE_PART_MERGE_H_
#define TAPEDECODER_TAPEFILE_PART_MERGE_H_

#include <functional>
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

// MergeRobustBlocks as a stream, over a window that moves with the
// decoding. Robust blocks (every one, good or bad) and the segmenter's
// parts come in, each kind in its own time order; whatever lies before a
// moment that nothing pending or still to come straddles is merged and
// handed on: the image's parts in recording order, and the blocks for the
// listing and the .tap in tape order -- every robust block, and each
// segmenter block no robust block overlaps (decoded = false), robust
// blocks without their per-bit measurements. The result
// is MergeRobustBlocks' on the whole recording.
class CPartMerger {
 public:
  using PartOut = std::function<void(TapePart&&)>;
  using BlockOut = std::function<void(const TapeBlock&, bool decoded)>;

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
};

}  // namespace tapedecoder

#endif  // TAPEDECODER_TAPEFILE_PART_MERGE_H_
