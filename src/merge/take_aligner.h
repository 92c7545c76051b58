// Lines up the blocks of several takes (playbacks) of one cassette: which
// block of each take is the same block of the tape. Takes start at
// different offsets and run at slightly different speeds, miss blocks and
// hold extra ones (false starts, noise read as a short block); none of
// that shifts the rest.
#ifndef TAPEDECODER_MERGE_TAKE_ALIGNER_H_
#define TAPEDECODER_MERGE_TAKE_ALIGNER_H_

#include <vector>

#include "tape/tape_block.h"

namespace tapedecoder {

// One block of the tape as the takes hold it.
struct AlignedBlock {
  // Per take: the index of its copy in that take's blocks, -1 when the take
  // has none.
  std::vector<int> copies;
  // Where the block's data starts, in seconds on the first take's clock
  // (mapped from another take's clock when the first take lacks it).
  double seconds = 0.0;
  // Per take: true when the take holds this block, or blocks both before
  // and after it, or its recording spans the block's time -- so that a
  // missing copy is a real absence.
  std::vector<bool> covered;
};

// Aligns `takes` (each in recording order) into the tape's blocks in tape
// order. Every block of every take appears in exactly one AlignedBlock.
//
// How: the first take's blocks seed the tape; each further take is aligned
// against the tape so far with a sequence alignment (dynamic programming
// over blocks) that scores kind (flag, ROM header fields), length, content
// and, once blocks with identical verified bytes anchor the two clocks, the
// position in time mapped between those anchors. Pairs that score no
// better than leaving both unmatched stay apart. `takeSeconds` (per take,
// may be empty) is how long each recording is, for `covered`.
// Deterministic.
std::vector<AlignedBlock> AlignTakes(const std::vector<std::vector<TapeBlock>>& takes,
                                     const std::vector<double>& takeSeconds = {});

}  // namespace tapedecoder

#endif  // TAPEDECODER_MERGE_TAKE_ALIGNER_H_
