// Merges the blocks of several takes of one cassette into one tape: each
// block from the take that read it best, or voted across the takes when
// none reads it whole.
#ifndef TAPEDECODER_MERGE_TAPE_MERGER_H_
#define TAPEDECODER_MERGE_TAPE_MERGER_H_

#include <optional>
#include <vector>

#include "tape/tape_block.h"

namespace tapedecoder {

// One block of the merged tape.
struct MergedBlock {
  // The bytes kept. block.take is the take it came from (for a voted block,
  // the take the others were lined up against); origin is VOTED when voted.
  TapeBlock block;
  bool voted = false;
  bool good = false;  // the checksum verifies
  // Per take: where its copy starts in that recording (seconds), none when
  // the take has no copy.
  std::vector<std::optional<double>> takeStarts;
};

// Merges `takes` (each in recording order, as a decoder yields them):
// aligns them (merge/take_aligner.h); per tape block keeps a verified copy
// -- of the length a verified header before it announced, the content most
// takes agree on, then the one read with the most margin (the lowest
// decile of its bit confidences, then their mean, then the earlier take);
// else the vote (merge/block_voter.h) when it is accepted; else the best
// copy, bad. A block that a minority of the takes covering it hold, none
// of them verified (a false start, noise read as a block), is left out,
// and so is one that exactly half hold unless it verifies or has a full
// pilot. `takeSeconds` (per take, may be empty): each recording's length,
// so that a take that recorded a stretch and found no block there counts
// against a block there. `bridged` (per take, may be empty): the takes read
// again on through dropouts; where a block verifies in no take, a take's
// bridged reading that starts where its copy starts and holds more bytes
// is voted instead of that copy (and competes with the copies when the
// vote fails). Deterministic.
std::vector<MergedBlock> MergeTakes(const std::vector<std::vector<TapeBlock>>& takes,
                                    const std::vector<double>& takeSeconds = {},
                                    const std::vector<std::vector<TapeBlock>>& bridged = {});

}  // namespace tapedecoder

#endif  // TAPEDECODER_MERGE_TAPE_MERGER_H_
