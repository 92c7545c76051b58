// Rebuilds a block that verifies in no take from the copies the takes hold:
// the copies are lined up bit by bit (a dropout that made one take lose or
// gain bits does not shift the rest), then each bit is voted, weighted by
// the decoder's confidence in it.
#ifndef TAPEDECODER_MERGE_BLOCK_VOTER_H_
#define TAPEDECODER_MERGE_BLOCK_VOTER_H_

#include <cstddef>
#include <vector>

#include "tape/tape_block.h"

namespace tapedecoder {

// How a vote ended.
struct VoteOutcome {
  bool accepted = false;   // `block` verifies and the takes back every bit of it
  TapeBlock block;         // the voted block (its times from the reference copy)
  int reference = -1;      // the copy the others were lined up against
  int unsureBits = 0;      // bits the takes do not settle clearly
  int changedBits = 0;     // bits that differ from the reference copy
};

// Votes the copies of one block. `expectedBytes` is the block's length when
// known (a verified header announced it), 0 otherwise. A result is accepted
// only when its checksum verifies, its length is the expected one, and no
// bit column (bit position within the byte) holds more than one bit the
// copies leave in doubt: two doubtful bits in one column could both be
// wrong and still pass the exclusive-OR checksum. When the length is known
// and only the last few bits (of the checksum byte) are missing from every
// copy, they are computed from the other bytes; their columns then go
// unchecked and may hold no doubtful bit at all. Copies without
// bitConfidence count every bit as clean. The block's origin is VOTED; its
// bitConfidence holds each bit's winning margin, bitSeconds the reference
// copy's bit times.
// REQUIRES: every pointer valid; at least one copy with bytes.
VoteOutcome VoteBlock(const std::vector<const TapeBlock*>& copies, std::size_t expectedBytes);

}  // namespace tapedecoder

#endif  // TAPEDECODER_MERGE_BLOCK_VOTER_H_
