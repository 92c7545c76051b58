// Bits a dropout took from a block, restored from what the block still
// holds: the exclusive OR checksum is one parity bit per bit column, so a
// run of up to 8 lost bits has one unknown per column and follows from the
// other bits; the dropout's duration (a one lasts twice a zero) tells how
// many bits it can have held and narrows longer runs. A fill is kept only
// where exactly one fits.
#ifndef TAPEDECODER_ROBUST_GAP_MENDER_H_
#define TAPEDECODER_ROBUST_GAP_MENDER_H_

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tapedecoder {
namespace robust {

// The longest run of lost bits looked at: 8 follow from the checksum, and
// each bit beyond doubles the fills tried.
constexpr std::size_t MAX_GAP_BITS = 16;

struct GapFill {
  // How many fills fit: 0 none, 1 one (then `values` holds it), 2 more.
  int fits = 0;
  std::vector<std::uint8_t> values;  // the lost bits, 0 or 1, in order
};

// `known`: the bits read, one per entry, with the gap between entries
// `before` - 1 and `before`. `zeros`: the gap's duration in zero-bit
// periods. `total`: the bits the block holds (a whole number of bytes), or
// 0 when unknown (then the whole bytes and the duration bound it).
GapFill FillGap(const std::vector<std::uint8_t>& known, std::size_t before, double zeros, std::size_t total);

// One dropout read across: the bits read before it, and its duration in
// zero-bit periods.
struct Gap {
  std::size_t before = 0;
  double zeros = 0.0;
  // The first and the last lost bit where the signal around the gap still
  // shows them (a zero's middle edge heard before the silence or after
  // it), else -1.
  int first = -1;
  int last = -1;
};

// Several dropouts in one block at once (in order, `before` not falling):
// the lost bits of all of them share the eight column parities, so each
// column may hold one unknown from any gap; where a column holds more, the
// gaps' durations decide. `values` holds the fills one after another,
// `lengths` each gap's bit count.
struct GapsFill {
  int fits = 0;  // 0 none, 1 one, 2 more (or too many to try)
  std::vector<std::uint8_t> values;
  std::vector<std::size_t> lengths;
};
GapsFill FillGaps(const std::vector<std::uint8_t>& known, const std::vector<Gap>& gaps, std::size_t total);

}  // namespace robust
}  // namespace tapedecoder

#endif  // TAPEDECODER_ROBUST_GAP_MENDER_H_
