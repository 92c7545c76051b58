// One block list from several decodings of the same recording at once (its
// channels and their mix): for each stretch of tape, the decoding that
// read it best.
#ifndef TAPEDECODER_ROBUST_BLOCK_CHOOSER_H_
#define TAPEDECODER_ROBUST_BLOCK_CHOOSER_H_

#include <functional>
#include <vector>

#include "tape/tape_block.h"

namespace tapedecoder {

// Blocks of all streams that overlap in time, directly or through each
// other, form one stretch. A stretch is decided once every stream has been
// decoded well past its end (or at Finish): the stream whose blocks there
// verify most (then hold the most verified bytes, then the most confident
// bits, then come first) gives the stretch's blocks, in order. A stream's
// block that arrives after its stretch was decided is dropped.
class CBlockChooser {
 public:
  using Emit = std::function<void(TapeBlock&&)>;

  // REQUIRES: streams >= 1; emit callable.
  CBlockChooser(int streams, Emit emit);

  // A block of stream `stream` (0-based), in that stream's order.
  void Add(int stream, TapeBlock&& block);
  // Every stream has been decoded up to `seconds` of the recording.
  void Advance(double seconds);
  // Every stream has ended: decides what is left.
  void Finish();
  // The start of the earliest block held (seconds), infinity when none.
  double PendingFrom() const;

 private:
  struct Held {
    int stream;
    TapeBlock block;
  };
  void DecideBefore(double seconds);
  void DecideFirstStretch();

  int m_streams;
  Emit m_emit;
  std::vector<Held> m_held;  // in order of start time
  double m_decidedUntil = -1.0;
};

}  // namespace tapedecoder

#endif  // TAPEDECODER_ROBUST_BLOCK_CHOOSER_H_
