#include "robust/gap_mender.h"

#include <algorithm>
#include <cmath>

#include "tape/tape_block.h"

namespace tapedecoder {
namespace robust {

namespace {

// How far a fill's duration may lie from the gap's, in zero-bit periods:
// the two edge estimates that bound the gap, and a few per cent of speed
// change (wow) across it.
double DurationTolerance(double zeros) { return 0.3 + 0.03 * zeros; }

// How far a fill's inner edge may lie outside the silence measured, in
// zero-bit periods: the estimates of the edge and of the silence's ends
// (a sample or so each, a tenth of a period at 44.1 kHz).
constexpr double QUIET_TOLERANCE = 0.15;

// The search gives up (too many fills fit to tell) beyond this many fills
// of one gap, this many steps (a reachable state times a fill of the next
// gap), or this many bytes of states.
constexpr std::size_t MAX_GAP_FILLS = 4096;
constexpr double MAX_STEPS = 2e7;
constexpr std::size_t MAX_STATE_BYTES = std::size_t{1} << 24;

// One way a gap may be filled: its bits (the first lost in bit 0), how
// many, and their column parity with the first in column 0.
struct Fill {
  std::uint32_t bits;
  std::uint8_t length;
  std::uint8_t parity;
};

std::uint8_t Rotate(std::uint8_t columns, std::size_t by) {
  by %= 8;
  return by == 0 ? columns : static_cast<std::uint8_t>(((columns << by) | (columns >> (8 - by))) & 0xFF);
}

// The fills that fit the gap's duration and silence; false when the gap
// may hold more than MAX_GAP_BITS bits or has too many fills to try.
bool GapFills(const Gap& gap, double one, std::vector<Fill>& out) {
  const double tolerance = DurationTolerance(gap.zeros);
  if (gap.zeros + tolerance >= static_cast<double>(MAX_GAP_BITS + 1)) return false;
  for (std::uint32_t k = 1; k <= MAX_GAP_BITS; ++k) {
    for (std::uint32_t ones = 0; ones <= k; ++ones) {
      const double units = k + (one - 1.0) * ones;
      if (std::fabs(units - gap.zeros) > tolerance) continue;
      // The fill's inner edges lie between the first bit's middle and the
      // last bit's, its bits stretched to the gap's duration.
      const double scale = gap.zeros / units;
      const std::uint32_t end = std::uint32_t{1} << k;
      for (std::uint32_t w = (std::uint32_t{1} << ones) - 1; w < end;) {
        const double firstEdge = 0.5 * scale * ((w & 1u) ? one : 1.0);
        const double lastEdge = gap.zeros - 0.5 * scale * (((w >> (k - 1)) & 1u) ? one : 1.0);
        if (firstEdge >= gap.quietFrom - QUIET_TOLERANCE && lastEdge <= gap.quietTo + QUIET_TOLERANCE) {
          std::uint8_t parity = 0;
          for (std::uint32_t j = 0; j < k; ++j) parity = static_cast<std::uint8_t>(parity ^ (((w >> j) & 1u) << (j % 8)));
          out.push_back({w, static_cast<std::uint8_t>(k), parity});
          if (out.size() > MAX_GAP_FILLS) return false;
        }
        if (ones == 0) break;
        // The next word with as many ones.
        const std::uint32_t low = w & (~w + 1u);
        const std::uint32_t ripple = w + low;
        w = (((ripple ^ w) >> 2) / low) | ripple;
      }
    }
  }
  return true;
}

}  // namespace

GapsFill FillGaps(const std::vector<std::uint8_t>& known, const std::vector<Gap>& gaps, std::size_t total,
                  double one) {
  GapsFill result;
  const std::size_t have = known.size();
  const std::size_t count = gaps.size();
  if (count == 0) return result;
  std::vector<std::vector<Fill>> fills(count);
  std::size_t least = 0;
  std::size_t most = 0;
  for (std::size_t g = 0; g < count; ++g) {
    if (gaps[g].before > have || (g > 0 && gaps[g].before < gaps[g - 1].before) || !(gaps[g].zeros > 0.0)) {
      return result;
    }
    if (!GapFills(gaps[g], one, fills[g])) {
      result.fits = 2;
      return result;
    }
    if (fills[g].empty()) return result;
    std::size_t lo = MAX_GAP_BITS;
    std::size_t hi = 0;
    for (const Fill& f : fills[g]) lo = std::min<std::size_t>(lo, f.length), hi = std::max<std::size_t>(hi, f.length);
    least += lo;
    most += hi;
  }
  if (total != 0 && (total < have + least || total > have + most)) return result;
  // The column parity of the bits read between gaps, the first of each
  // stretch in column 0: the lost bits before it turn it.
  std::vector<std::uint8_t> stretch(count + 1, 0);
  for (std::size_t i = 0, g = 0; i < have; ++i) {
    while (g < count && gaps[g].before <= i) ++g;
    const std::size_t from = g == 0 ? 0 : gaps[g - 1].before;
    stretch[g] = static_cast<std::uint8_t>(stretch[g] ^ ((known[i] & 1u) << ((i - from) % 8)));
  }
  const auto startOf = [&](std::size_t g) { return g == 0 ? std::size_t{0} : gaps[g - 1].before; };
  // Counts (0, 1, 2 = more) of the ways to reach each state after each
  // gap: a state is the lost bits so far (an offset from the least) and the
  // column parity so far.
  std::vector<std::vector<std::uint8_t>> layers(count + 1);
  std::vector<std::size_t> base(count + 1, 0);
  std::vector<std::size_t> width(count + 1, 1);
  std::size_t bytes = 256;
  layers[0].assign(256, 0);
  layers[0][stretch[0]] = 1;
  double steps = 0.0;
  for (std::size_t g = 0; g < count; ++g) {
    std::size_t lo = MAX_GAP_BITS;
    std::size_t hi = 0;
    for (const Fill& f : fills[g]) lo = std::min<std::size_t>(lo, f.length), hi = std::max<std::size_t>(hi, f.length);
    base[g + 1] = base[g] + lo;
    width[g + 1] = width[g] + hi - lo;
    bytes += width[g + 1] * 256;
    if (bytes > MAX_STATE_BYTES) {
      result.fits = 2;
      return result;
    }
    layers[g + 1].assign(width[g + 1] * 256, 0);
    const std::vector<std::uint8_t>& from = layers[g];
    std::vector<std::uint8_t>& to = layers[g + 1];
    for (std::size_t s = 0; s < width[g]; ++s) {
      const std::size_t shift = base[g] + s;
      for (std::size_t p = 0; p < 256; ++p) {
        const std::uint8_t ways = from[s * 256 + p];
        if (ways == 0) continue;
        steps += static_cast<double>(fills[g].size());
        if (steps > MAX_STEPS) {
          result.fits = 2;
          return result;
        }
        for (const Fill& f : fills[g]) {
          const std::size_t next = shift + f.length;
          const std::size_t parity = p ^ Rotate(f.parity, gaps[g].before + shift) ^
                                     Rotate(stretch[g + 1], startOf(g + 1) + next);
          std::uint8_t& slot = to[(next - base[g + 1]) * 256 + parity];
          slot = static_cast<std::uint8_t>(std::min(2, slot + ways));
        }
      }
    }
  }
  // The ends: every column even, and the block's length (or whole bytes).
  int ways = 0;
  std::size_t last = 0;
  for (std::size_t s = 0; s < width[count]; ++s) {
    const std::size_t bits = have + base[count] + s;
    if (total != 0 ? bits != total : bits % 8 != 0) continue;
    for (std::size_t p = 0; p < 256; ++p) result.lengthWays = std::min(2, result.lengthWays + layers[count][s * 256 + p]);
    if (layers[count][s * 256] == 0) continue;
    ways += layers[count][s * 256];
    last = s;
  }
  result.fits = std::min(ways, 2);
  if (result.fits != 1) return result;
  // The one way back: each state reached once came from one state.
  std::vector<const Fill*> chosen(count);
  std::size_t s = last;
  std::size_t p = 0;
  for (std::size_t g = count; g-- > 0;) {
    const std::size_t shift = base[g + 1] + s;
    for (const Fill& f : fills[g]) {
      if (shift < base[g] + f.length || shift - f.length >= base[g] + width[g]) continue;
      const std::size_t before = shift - f.length;
      const std::size_t parity = p ^ Rotate(f.parity, gaps[g].before + before) ^
                                 Rotate(stretch[g + 1], startOf(g + 1) + shift);
      if (layers[g][(before - base[g]) * 256 + parity] == 0) continue;
      chosen[g] = &f;
      s = before - base[g];
      p = parity;
      break;
    }
  }
  for (const Fill* f : chosen) {
    for (std::uint32_t j = 0; j < f->length; ++j) result.values.push_back(static_cast<std::uint8_t>((f->bits >> j) & 1u));
    result.lengths.push_back(f->length);
  }
  return result;
}

TwinMerge MergeTwins(const GappedBits& a, const GappedBits& b, std::size_t total, double one) {
  TwinMerge result;
  if (total == 0) return result;
  const GappedBits* readings[2] = {&a, &b};
  for (const GappedBits* r : readings) {
    for (std::size_t g = 0; g < r->gaps.size(); ++g) {
      if (r->gaps[g].before > r->bits.size() || (g > 0 && r->gaps[g].before < r->gaps[g - 1].before)) return result;
    }
  }
  std::vector<std::int8_t> t(total, -1);  // the block's bits, -1 where not yet read
  const auto begin = [&](int r, std::size_t j) { return j == 0 ? std::size_t{0} : readings[r]->gaps[j - 1].before; };
  const auto end = [&](int r, std::size_t j) {
    return j < readings[r]->gaps.size() ? readings[r]->gaps[j].before : readings[r]->bits.size();
  };
  // Stretch j of reading r laid at p: how many of its bits the block
  // already held, alike; -1 where one differs or it runs past the end.
  const auto overlap = [&](int r, std::size_t j, std::size_t p) -> std::ptrdiff_t {
    const std::size_t from = begin(r, j), to = end(r, j);
    if (p + (to - from) > total) return -1;
    std::ptrdiff_t same = 0;
    for (std::size_t i = from; i < to; ++i) {
      const std::int8_t have = t[p + i - from];
      if (have < 0) continue;
      if (have != static_cast<std::int8_t>(readings[r]->bits[i] & 1u)) return -1;
      ++same;
    }
    return same;
  };
  const auto lay = [&](int r, std::size_t j, std::size_t p) {
    for (std::size_t i = begin(r, j); i < end(r, j); ++i)
      t[p + i - begin(r, j)] = static_cast<std::int8_t>(readings[r]->bits[i] & 1u);
    result.placed[r].push_back(p);
  };
  for (int r = 0; r < 2; ++r) {
    if (overlap(r, 0, 0) < 0) return result;
    lay(r, 0, 0);
  }
  // The reading whose stretch ends first goes on past its gap, into bits
  // the other one's stretch holds.
  for (;;) {
    int r = -1;
    std::size_t reach = 0;
    for (int k = 0; k < 2; ++k) {
      const std::size_t j = result.placed[k].size() - 1;
      if (j >= readings[k]->gaps.size()) continue;
      const std::size_t e = result.placed[k][j] + end(k, j) - begin(k, j);
      if (r < 0 || e < reach) r = k, reach = e;
    }
    if (r < 0) break;
    const std::size_t j = result.placed[r].size();  // the stretch to lay
    const Gap& gap = readings[r]->gaps[j - 1];
    const double tolerance = DurationTolerance(gap.zeros) + 0.1;
    std::size_t at = 0;
    int found = 0;
    double units = 0.0;
    for (std::size_t k = 1; k <= MAX_GAP_BITS && reach + k <= total; ++k) {
      const std::int8_t lost = t[reach + k - 1];
      if (lost < 0) break;  // lost by both
      units += lost ? one : 1.0;
      if (std::fabs(units - gap.zeros) > tolerance) continue;
      const std::ptrdiff_t same = overlap(r, j, reach + k);
      const std::size_t length = end(r, j) - begin(r, j);
      if (same < 0 || static_cast<std::size_t>(same) < std::min(TWIN_OVERLAP, length) ||
          (length < TWIN_OVERLAP && reach + k + length < total))
        continue;
      at = reach + k;
      ++found;
    }
    if (found != 1) return result;
    lay(r, j, at);
  }
  // Bits neither reading reached at the end (each read whole bytes only,
  // and its lost bits shifted the rest): no more than the last byte, one
  // bit a column, each the parity of its column.
  std::size_t tail = total;
  while (tail > 0 && t[tail - 1] < 0) --tail;
  if (total % 8 != 0 || total - tail > 8) return result;
  for (std::size_t i = tail; i < total; ++i) {
    std::uint8_t parity = 0;
    for (std::size_t k = i % 8; k < total - 8; k += 8) parity = static_cast<std::uint8_t>(parity ^ (t[k] & 1));
    t[i] = static_cast<std::int8_t>(parity);
  }
  result.parityBits = total - tail;
  result.bits.resize(total);
  for (std::size_t i = 0; i < total; ++i) {
    if (t[i] < 0) return result;
    result.bits[i] = static_cast<std::uint8_t>(t[i]);
  }
  result.ok = true;
  return result;
}

bool ReadAsCopy(const std::vector<std::uint8_t>& copy, const std::vector<std::uint8_t>& reading, std::size_t maxSlips,
                std::vector<std::ptrdiff_t>& own, std::size_t& slips) {
  own.assign(copy.size(), -1);
  slips = 0;
  // Bits read alike from copy bit i and reading bit j on, up to `most`.
  const auto alike = [&](std::size_t i, std::size_t j, std::size_t most) {
    std::size_t n = 0;
    while (n < most && i + n < copy.size() && j + n < reading.size() && (copy[i + n] & 1u) == (reading[j + n] & 1u))
      ++n;
    return n;
  };
  // Enough read alike after a slip: TWIN_OVERLAP bits, or to the copy's end.
  const auto settles = [&](std::size_t i, std::size_t j) {
    const std::size_t n = alike(i, j, TWIN_OVERLAP);
    return n == TWIN_OVERLAP || i + n == copy.size();
  };
  std::size_t i = 0, j = 0;
  std::size_t lastSlip = 0;
  bool slipped = false;
  while (i < copy.size() && j < reading.size()) {
    const std::size_t n = alike(i, j, copy.size());
    for (std::size_t k = 0; k < n; ++k) own[i + k] = static_cast<std::ptrdiff_t>(j + k);
    i += n;
    j += n;
    if (i >= copy.size() || j >= reading.size()) break;
    if ((slipped && i < lastSlip + TWIN_OVERLAP) || i < TWIN_OVERLAP || ++slips > maxSlips) return false;
    // The slip lies somewhere in the run before the first bit that
    // differs; read from there, one way only.
    const bool oneAsZeros = copy[i] == 1 && j + 1 < reading.size() && reading[j] == 0 && reading[j + 1] == 0 &&
                            settles(i + 1, j + 2);
    const bool zerosAsOne = copy[i] == 0 && i + 1 < copy.size() && copy[i + 1] == 0 && reading[j] == 1 &&
                            settles(i + 2, j + 1);
    if (oneAsZeros == zerosAsOne) return false;
    i += oneAsZeros ? 1 : 2;
    j += oneAsZeros ? 2 : 1;
    lastSlip = i;
    slipped = true;
  }
  // The reading's end within a byte of the copy's: bits past it were read
  // into the pause; bits it lacks, the checksum's last.
  return (slips > 0 || j < reading.size()) && copy.size() - std::min(i, copy.size()) <= 8 &&
         reading.size() - std::min(j, reading.size()) < 16;
}

SlipApart PartBySlip(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b, std::size_t n) {
  n = std::min({n, a.size(), b.size()});
  const auto misses = [&](std::size_t from, std::ptrdiff_t shift) {
    std::size_t wrong = 0;
    for (std::size_t k = from; k < from + SLIP_WINDOW; ++k)
      wrong += a[k] != b[static_cast<std::size_t>(static_cast<std::ptrdiff_t>(k) + shift)];
    return wrong;
  };
  SlipApart apart;
  for (std::size_t d = 0; d + SLIP_WINDOW + 4 <= n; ++d) {
    if (a[d] == b[d]) continue;
    const std::size_t from = d + 2;
    if (misses(from, 0) <= SLIP_MISSES) continue;  // a bit misread, in step after it
    for (const int shift : {1, -1}) {
      if (misses(from, shift) <= SLIP_MISSES) {
        apart.at = static_cast<std::ptrdiff_t>(d);
        apart.shift = shift;
        return apart;
      }
    }
    return apart;
  }
  return apart;
}

namespace {

// One slip undone at a bit: bits [from, to) replaced by `with` (a one by
// two zeros, or two zeros by a one), the block `grow` bits longer.
struct SlipUndone {
  std::size_t from, to;
  std::uint8_t with[2];
  std::size_t withBits;
  int grow;
};

}  // namespace

bool SlipPairAlsoVerifies(const std::vector<std::uint8_t>& bytes, const std::vector<std::size_t>& weak) {
  const std::size_t n = 8 * bytes.size();
  const auto bit = [&bytes](std::size_t i) { return static_cast<std::uint8_t>(BitAt(bytes, i)); };
  std::vector<SlipUndone> undo;
  for (const std::size_t p : weak) {
    if (p >= n) continue;
    if (bit(p)) undo.push_back({p, p + 1, {0, 0}, 2, 1});
    if (p + 1 < n && !bit(p) && !bit(p + 1)) undo.push_back({p, p + 2, {1, 0}, 1, -1});
    if (p > 0 && !bit(p) && !bit(p - 1)) undo.push_back({p - 1, p + 1, {1, 0}, 1, -1});
  }
  for (const SlipUndone& x : undo) {
    for (const SlipUndone& y : undo) {
      if (x.grow + y.grow != 0 || x.to > y.from) continue;
      // Only the bytes from x's to y's change: the bits beyond are where
      // they were.
      const std::size_t first = x.from / 8, last = (y.to - 1) / 8;
      std::vector<std::uint8_t> changed(bytes.begin() + static_cast<std::ptrdiff_t>(first),
                                        bytes.begin() + static_cast<std::ptrdiff_t>(last + 1));
      std::size_t at = x.from;
      const auto put = [&](std::uint8_t v) {
        std::uint8_t& b = changed[at / 8 - first];
        b = static_cast<std::uint8_t>(v ? b | (0x80 >> (at % 8)) : b & ~(0x80 >> (at % 8)));
        ++at;
      };
      for (std::size_t k = 0; k < x.withBits; ++k) put(x.with[k]);
      for (std::size_t i = x.to; i < y.from; ++i) put(bit(i));
      for (std::size_t k = 0; k < y.withBits; ++k) put(y.with[k]);
      std::uint8_t was = 0, now = 0;
      bool same = true;
      for (std::size_t k = 0; k < changed.size(); ++k) {
        was ^= bytes[first + k], now ^= changed[k];
        same = same && changed[k] == bytes[first + k];
      }
      if (!same && was == now) return true;
    }
  }
  return false;
}

}  // namespace robust
}  // namespace tapedecoder
