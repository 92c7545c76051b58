#include "robust/gap_mender.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

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

// The column parity of `k` bits (the first in bit 0), the first in column 0.
std::uint8_t ColumnParity(std::uint32_t w, std::size_t k) {
  std::uint8_t parity = 0;
  for (std::size_t j = 0; j < k; ++j) parity = static_cast<std::uint8_t>(parity ^ (((w >> j) & 1u) << (j % 8)));
  return parity;
}

// The fills that fit the gap's duration and silence; false when the gap
// may hold more than MAX_GAP_BITS bits or has too many fills to try.
bool GapFills(const Gap& gap, double one, std::vector<Fill>& out) {
  if (gap.known > 0) {
    if (gap.known > MAX_GAP_BITS) return false;
    for (std::size_t k = 1; k <= gap.known; ++k) {
      const std::uint32_t w = gap.bits & ((std::uint32_t{1} << k) - 1u);
      out.push_back({w, static_cast<std::uint8_t>(k), ColumnParity(w, k)});
    }
    return true;
  }
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
          out.push_back({w, static_cast<std::uint8_t>(k), ColumnParity(w, k)});
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

// What a search over a block's gaps shares: each gap's fills, the column
// parity of each stretch read between gaps, and per gap the range of lost
// bits so far (a state's offset counts from `base`, `width` of them).
struct GapLattice {
  std::vector<std::vector<Fill>> fills;
  std::vector<std::uint8_t> stretch;  // the first bit of each stretch in column 0
  std::vector<std::size_t> base, width;
  std::size_t Start(const std::vector<Gap>& gaps, std::size_t g) const { return g == 0 ? 0 : gaps[g - 1].before; }
};

// Column parity after `fill` of gap `g`, from `parity` before it, with
// `shift` bits lost before the gap: the fill's and the next stretch's
// columns, each turned to where its first bit falls.
std::uint8_t ParityAfter(const GapLattice& lattice, const std::vector<Gap>& gaps, std::size_t g, std::size_t parity,
                         std::size_t shift, const Fill& fill) {
  return static_cast<std::uint8_t>(parity ^ Rotate(fill.parity, gaps[g].before + shift) ^
                                   Rotate(lattice.stretch[g + 1], lattice.Start(gaps, g + 1) + shift + fill.length));
}

// Builds the lattice; false with `result` set where no search is needed
// (no fill at all, or too many to try) or the gaps are malformed.
bool Prepare(const std::vector<std::uint8_t>& known, const std::vector<Gap>& gaps, std::size_t total, double one,
             GapLattice& lattice, GapsFill& result) {
  const std::size_t have = known.size();
  const std::size_t count = gaps.size();
  if (count == 0) return false;
  lattice.fills.assign(count, {});
  std::size_t least = 0;
  std::size_t most = 0;
  lattice.base.assign(count + 1, 0);
  lattice.width.assign(count + 1, 1);
  for (std::size_t g = 0; g < count; ++g) {
    if (gaps[g].before > have || (g > 0 && gaps[g].before < gaps[g - 1].before) || !(gaps[g].zeros > 0.0)) {
      return false;
    }
    std::vector<Fill>& fills = lattice.fills[g];
    if (!GapFills(gaps[g], one, fills)) {
      result.fits = 2;
      return false;
    }
    if (fills.empty()) return false;
    std::size_t lo = MAX_GAP_BITS;
    std::size_t hi = 0;
    for (const Fill& f : fills) lo = std::min<std::size_t>(lo, f.length), hi = std::max<std::size_t>(hi, f.length);
    least += lo;
    most += hi;
    lattice.base[g + 1] = lattice.base[g] + lo;
    lattice.width[g + 1] = lattice.width[g] + hi - lo;
  }
  if (total != 0 && (total < have + least || total > have + most)) return false;
  lattice.stretch.assign(count + 1, 0);
  for (std::size_t i = 0, g = 0; i < have; ++i) {
    while (g < count && gaps[g].before <= i) ++g;
    const std::size_t from = lattice.Start(gaps, g);
    lattice.stretch[g] = static_cast<std::uint8_t>(lattice.stretch[g] ^ ((known[i] & 1u) << ((i - from) % 8)));
  }
  return true;
}

// A state's end is a block of the right length: `total` bits, or whole
// bytes where it is not known.
bool EndsRight(std::size_t bits, std::size_t total) { return total != 0 ? bits == total : bits % 8 == 0; }

}  // namespace

GapsFill FillGaps(const std::vector<std::uint8_t>& known, const std::vector<Gap>& gaps, std::size_t total,
                  double one) {
  GapsFill result;
  GapLattice lattice;
  if (!Prepare(known, gaps, total, one, lattice, result)) return result;
  const std::size_t have = known.size();
  const std::size_t count = gaps.size();
  const std::vector<std::vector<Fill>>& fills = lattice.fills;
  const std::vector<std::size_t>& base = lattice.base;
  const std::vector<std::size_t>& width = lattice.width;
  // Counts (0, 1, 2 = more) of the ways to reach each state after each
  // gap: a state is the lost bits so far (an offset from the least) and the
  // column parity so far.
  std::size_t bytes = 0;
  for (std::size_t g = 0; g <= count; ++g) bytes += width[g] * 256;
  if (bytes > MAX_STATE_BYTES) {
    result.fits = 2;
    return result;
  }
  std::vector<std::vector<std::uint8_t>> layers(count + 1);
  layers[0].assign(256, 0);
  layers[0][lattice.stretch[0]] = 1;
  double steps = 0.0;
  for (std::size_t g = 0; g < count; ++g) {
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
          const std::size_t parity = ParityAfter(lattice, gaps, g, p, shift, f);
          std::uint8_t& slot = to[(shift + f.length - base[g + 1]) * 256 + parity];
          slot = static_cast<std::uint8_t>(std::min(2, slot + ways));
        }
      }
    }
  }
  // The ends: every column even, and the block's length (or whole bytes).
  int ways = 0;
  std::size_t last = 0;
  for (std::size_t s = 0; s < width[count]; ++s) {
    if (!EndsRight(have + base[count] + s, total)) continue;
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
      const std::size_t parity = ParityAfter(lattice, gaps, g, p, before, f);
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

namespace {

// The likeliest fill's search gives up where its widest layer of states
// takes more than this many bytes (32 a state), or beyond this many steps.
constexpr std::size_t MAX_GUESS_BYTES = std::size_t{1} << 25;
constexpr double MAX_GUESS_STEPS = 5e7;

// A fill's stretch must hold a byte at least, so that every byte a fill
// touches holds the bits of one fill only.
constexpr std::size_t MIN_GUESS_STRETCH = 8;

// Rounds of the byte model learnt again from the last guess.
constexpr int GUESS_ROUNDS = 3;

// The most states the search keeps after a gap, the likeliest.
constexpr std::size_t GUESS_BEAM = 4096;

using ByteLog = std::array<double, 256>;

// Log-likelihoods of byte values counted in `counts`, each seen half a
// time more (so that a value not seen is unlikely, not impossible).
ByteLog ModelOf(const std::array<double, 256>& counts) {
  double total = 0.0;
  for (const double c : counts) total += c;
  ByteLog model;
  for (std::size_t v = 0; v < 256; ++v) model[v] = std::log((counts[v] + 0.5) / (total + 128.0));
  return model;
}

// The bytes of `bits[from, to)` that start `offset` bits in (whole ones).
template <typename F>
void ForEachByte(const std::vector<std::uint8_t>& bits, std::size_t from, std::size_t to, std::size_t offset, F&& take) {
  for (std::size_t i = from + offset; i + 8 <= to; i += 8) {
    unsigned value = 0;
    for (std::size_t k = 0; k < 8; ++k) value = (value << 1) | (bits[i + k] & 1u);
    take(value);
  }
}

// A first model of the block's bytes: those whose place is known, the
// stretch before the first gap and, where the length is known, the one
// after the last. Where they hold too few bytes, each other stretch adds
// its bytes at the offset where they repeat most (where they are the
// block's own; at a wrong offset a stretch reads as other values).
constexpr double FIRST_MODEL_BYTES = 64.0;

ByteLog FirstModel(const std::vector<std::uint8_t>& known, const std::vector<Gap>& gaps, std::size_t total) {
  std::array<double, 256> counts{};
  double placed = 0.0;
  const std::size_t count = gaps.size();
  const auto stretch = [&](std::size_t g) {
    return std::make_pair(g == 0 ? std::size_t{0} : gaps[g - 1].before, g == count ? known.size() : gaps[g].before);
  };
  const auto add = [&](std::size_t g, std::size_t offset) {
    ForEachByte(known, stretch(g).first, stretch(g).second, offset, [&](unsigned v) { counts[v] += 1.0, placed += 1.0; });
  };
  add(0, 0);
  if (total != 0) add(count, (8 - (total - (stretch(count).second - stretch(count).first)) % 8) % 8);
  if (placed >= FIRST_MODEL_BYTES) return ModelOf(counts);
  for (std::size_t g = 1; g < count + (total == 0 ? 1 : 0); ++g) {
    const auto [from, to] = stretch(g);
    std::size_t offset = 0;
    double best = -1.0;
    for (std::size_t o = 0; o < 8; ++o) {
      std::array<double, 256> own{};
      double n = 0.0;
      ForEachByte(known, from, to, o, [&](unsigned v) { own[v] += 1.0, n += 1.0; });
      double peak = 0.0;  // the sum of squared shares: high where values repeat
      for (const double c : own) peak += c * c;
      if (n > 0.0 && peak / (n * n) > best) best = peak / (n * n), offset = o;
    }
    add(g, offset);
  }
  return ModelOf(counts);
}

// What each fill adds to a reading's log-likelihood, per gap, per fill,
// per column its first bit falls in.
using FillGains = std::vector<std::vector<std::array<double, 8>>>;

// Under a model of the block's bytes: the bytes a fill touches (with the
// bits of the stretch before it in their first byte) and the whole bytes
// of the stretch after it, at the offset the fill leaves it.
FillGains ByteGains(const std::vector<std::uint8_t>& known, const std::vector<Gap>& gaps, const GapLattice& lattice,
                    const ByteLog& model) {
  const std::size_t count = gaps.size();
  const auto stretchEnd = [&](std::size_t g) { return g < count ? gaps[g].before : known.size(); };
  FillGains gains(count);
  for (std::size_t g = 0; g < count; ++g) {
    const std::size_t before = gaps[g].before;
    const std::size_t next = stretchEnd(g + 1) - before;  // the stretch after the gap
    std::array<double, 8> inside{};  // its whole bytes, per column of its first bit
    for (std::size_t a = 0; a < 8; ++a)
      ForEachByte(known, before, before + next, (8 - a) % 8, [&](unsigned v) { inside[a] += model[v]; });
    gains[g].resize(lattice.fills[g].size());
    for (std::size_t k = 0; k < lattice.fills[g].size(); ++k) {
      const Fill& f = lattice.fills[g][k];
      for (std::size_t a = 0; a < 8; ++a) {
        // Counted from the byte the fill starts in: bit `a` is its first.
        const std::size_t after = a + f.length, end = after + next;
        double gain = inside[after % 8];
        for (std::size_t byte = 0; byte < (after + 7) / 8 && 8 * byte + 8 <= end; ++byte) {
          unsigned value = 0;
          for (std::size_t i = 8 * byte; i < 8 * byte + 8; ++i) {
            const unsigned bit = i < a ? known[before + i - a] : i < after ? (f.bits >> (i - a)) & 1u
                                                                       : known[before + i - after];
            value = (value << 1) | (bit & 1u);
          }
          gain += model[value];
        }
        gains[g][k][a] = gain;
      }
    }
  }
  return gains;
}

// Under a model of each bit given the BIT_CONTEXT before it, learnt from
// every stretch whatever its offset: a fill's bits and the first
// BIT_CONTEXT after it. A pattern repeating at any offset (a fill of one
// value read from bit 3 of its bytes on) still tells its next bits, where
// a byte model knows only the values it saw in place.
constexpr std::size_t BIT_CONTEXT = 8;

FillGains BitGains(const std::vector<std::uint8_t>& known, const std::vector<Gap>& gaps, const GapLattice& lattice) {
  const std::size_t count = gaps.size();
  constexpr std::uint32_t MASK = (1u << BIT_CONTEXT) - 1;
  std::vector<std::array<double, 2>> counts(MASK + 1, {0.5, 0.5});
  for (std::size_t g = 0, i = 0; g <= count; ++g) {
    const std::size_t to = g < count ? gaps[g].before : known.size();
    std::uint32_t context = 0;
    for (std::size_t n = 0; i < to; ++i, ++n) {
      if (n >= BIT_CONTEXT) counts[context][known[i] & 1u] += 1.0;
      context = ((context << 1) | (known[i] & 1u)) & MASK;
    }
  }
  const auto logOf = [&](std::uint32_t context, unsigned bit) {
    return std::log(counts[context][bit] / (counts[context][0] + counts[context][1]));
  };
  FillGains gains(count);
  for (std::size_t g = 0; g < count; ++g) {
    const std::size_t before = gaps[g].before;
    const std::size_t next = (g + 1 < count ? gaps[g + 1].before : known.size()) - before;
    std::uint32_t start = 0;
    for (std::size_t i = before >= BIT_CONTEXT ? before - BIT_CONTEXT : 0; i < before; ++i)
      start = ((start << 1) | (known[i] & 1u)) & MASK;
    gains[g].resize(lattice.fills[g].size());
    for (std::size_t k = 0; k < lattice.fills[g].size(); ++k) {
      const Fill& f = lattice.fills[g][k];
      std::uint32_t context = start;
      double gain = 0.0;
      for (std::size_t j = 0; j < f.length + std::min(next, BIT_CONTEXT); ++j) {
        const unsigned bit = j < f.length ? (f.bits >> j) & 1u : known[before + j - f.length] & 1u;
        gain += logOf(context, bit);
        context = ((context << 1) | bit) & MASK;
      }
      gains[g][k].fill(gain);
    }
  }
  return gains;
}

// The fill of every gap, checksum and length holding, that `gains` make
// likeliest, and how much likelier it is than the next likeliest (its
// log-likelihood in `score`); each state keeps its two best ways in.
bool Likeliest(const std::vector<std::uint8_t>& known, const std::vector<Gap>& gaps, std::size_t total,
               const GapLattice& lattice, const FillGains& gains, GapsGuess& out, double& score) {
  const std::size_t have = known.size();
  const std::size_t count = gaps.size();
  constexpr double NONE = -std::numeric_limits<double>::infinity();
  // Per state, its best way in and the next best: the score, and the fill
  // and the rank of the way into the state before it that gave it.
  struct Way {
    double score = NONE;
    std::uint16_t fill = 0;
    std::uint8_t from = 0;
  };
  struct Best {
    Way way[2];
    void Offer(double score, std::uint16_t fill, std::uint8_t from) {
      if (score > way[0].score) {
        way[1] = way[0];
        way[0] = {score, fill, from};
      } else if (score > way[1].score) {
        way[1] = {score, fill, from};
      }
    }
  };
  // The states after each gap kept for the way back (sorted by state):
  // each one's ways in.
  struct Back {
    std::uint32_t state;
    std::uint16_t fill[2];
    std::uint8_t from[2];
  };
  std::vector<std::vector<Back>> backs(count);
  std::vector<Best> states(lattice.width[0] * 256);
  states[lattice.stretch[0]].way[0].score = 0.0;
  std::vector<std::vector<std::uint8_t>> live(1, {lattice.stretch[0]});  // per offset, the parities reached
  double steps = 0.0;
  for (std::size_t g = 0; g < count; ++g) {
    const std::vector<Fill>& fills = lattice.fills[g];
    const std::size_t base = lattice.base[g], nextBase = lattice.base[g + 1];
    std::vector<Best> next(lattice.width[g + 1] * 256);
    for (std::size_t s = 0; s < lattice.width[g]; ++s) {
      if (live[s].empty()) continue;
      steps += static_cast<double>(fills.size() * live[s].size());
      if (steps > MAX_GUESS_STEPS) return false;
      const std::size_t shift = base + s;
      const std::size_t at = gaps[g].before + shift;  // the fill's first bit in the block
      for (std::size_t k = 0; k < fills.size(); ++k) {
        const Fill& f = fills[k];
        const double gain = gains[g][k][at % 8];
        const std::size_t row = (shift + f.length - nextBase) * 256;
        for (const std::uint8_t p : live[s]) {
          const Best& here = states[s * 256 + p];
          Best& to = next[row + ParityAfter(lattice, gaps, g, p, shift, f)];
          for (std::uint8_t r = 0; r < 2 && here.way[r].score != NONE; ++r)
            to.Offer(here.way[r].score + gain, static_cast<std::uint16_t>(k), r);
        }
      }
    }
    // A long block's many gaps reach more states than are worth keeping:
    // the likeliest GUESS_BEAM go on.
    std::vector<std::uint32_t> reached;
    for (std::size_t i = 0; i < next.size(); ++i)
      if (next[i].way[0].score != NONE) reached.push_back(static_cast<std::uint32_t>(i));
    if (reached.size() > GUESS_BEAM) {
      std::nth_element(reached.begin(), reached.begin() + GUESS_BEAM, reached.end(),
                       [&](std::uint32_t x, std::uint32_t y) { return next[x].way[0].score > next[y].way[0].score; });
      for (std::size_t i = GUESS_BEAM; i < reached.size(); ++i) next[reached[i]] = Best();
      out.pruned = true;
      reached.resize(GUESS_BEAM);
      std::sort(reached.begin(), reached.end());
    }
    live.assign(lattice.width[g + 1], {});
    backs[g].reserve(reached.size());
    for (const std::uint32_t i : reached) {
      live[i / 256].push_back(static_cast<std::uint8_t>(i % 256));
      backs[g].push_back({i, {next[i].way[0].fill, next[i].way[1].fill}, {next[i].way[0].from, next[i].way[1].from}});
    }
    states = std::move(next);
  }
  // The two best ends (every column even, the block's length).
  Best ends;
  std::size_t endState[2] = {0, 0};
  std::uint8_t endRank[2] = {0, 0};
  for (std::size_t s = 0; s < lattice.width[count]; ++s) {
    if (!EndsRight(have + lattice.base[count] + s, total)) continue;
    for (std::uint8_t r = 0; r < 2; ++r) {
      const double score = states[s * 256].way[r].score;
      if (score > ends.way[0].score) {
        ends.way[1] = ends.way[0], endState[1] = endState[0], endRank[1] = endRank[0];
        ends.way[0].score = score, endState[0] = s, endRank[0] = r;
      } else if (score > ends.way[1].score) {
        ends.way[1].score = score, endState[1] = s, endRank[1] = r;
      }
    }
  }
  if (ends.way[0].score == NONE) return false;
  std::vector<const Fill*> chosen(count);
  std::size_t s = endState[0];
  std::size_t p = 0;
  std::uint8_t rank = endRank[0];
  for (std::size_t g = count; g-- > 0;) {
    const auto found = std::lower_bound(backs[g].begin(), backs[g].end(), static_cast<std::uint32_t>(s * 256 + p),
                                        [](const Back& x, std::uint32_t state) { return x.state < state; });
    const Back& back = *found;
    const Fill& f = lattice.fills[g][back.fill[rank]];
    const std::size_t before = lattice.base[g + 1] + s - f.length;
    p = ParityAfter(lattice, gaps, g, p, before, f);
    s = before - lattice.base[g];
    rank = back.from[rank];
    chosen[g] = &f;
  }
  out.values.clear();
  out.lengths.clear();
  for (const Fill* f : chosen) {
    for (std::uint32_t j = 0; j < f->length; ++j) out.values.push_back(static_cast<std::uint8_t>((f->bits >> j) & 1u));
    out.lengths.push_back(f->length);
  }
  out.margin = ends.way[0].score - ends.way[1].score;  // infinite where one way alone fits
  score = ends.way[0].score;
  return true;
}

// A model of the block's bytes as `guess` fills it.
ByteLog ModelOfGuess(const std::vector<std::uint8_t>& known, const std::vector<Gap>& gaps, const GapsGuess& guess) {
  std::vector<std::uint8_t> block;
  block.reserve(known.size() + guess.values.size());
  for (std::size_t g = 0, value = 0, i = 0; g <= gaps.size(); ++g) {
    const std::size_t to = g < gaps.size() ? gaps[g].before : known.size();
    block.insert(block.end(), known.begin() + static_cast<std::ptrdiff_t>(i),
                 known.begin() + static_cast<std::ptrdiff_t>(to));
    i = to;
    if (g == gaps.size()) break;
    block.insert(block.end(), guess.values.begin() + static_cast<std::ptrdiff_t>(value),
                 guess.values.begin() + static_cast<std::ptrdiff_t>(value + guess.lengths[g]));
    value += guess.lengths[g];
  }
  std::array<double, 256> counts{};
  ForEachByte(block, 0, block.size(), 0, [&](unsigned v) { counts[v] += 1.0; });
  return ModelOf(counts);
}

// The likeliest fill under a byte model from `model` on, learnt again
// from each guess until the guess holds (GUESS_ROUNDS at most). False
// where no fill was found.
bool ByteRounds(const std::vector<std::uint8_t>& known, const std::vector<Gap>& gaps, std::size_t total,
                const GapLattice& lattice, ByteLog model, GapsGuess& guess, double& score) {
  for (int round = 0; round < GUESS_ROUNDS; ++round) {
    GapsGuess next;
    double nextScore = 0.0;
    if (!Likeliest(known, gaps, total, lattice, ByteGains(known, gaps, lattice, model), next, nextScore)) break;
    const bool same = guess.ok && next.values == guess.values && next.lengths == guess.lengths;
    guess = std::move(next);
    guess.ok = true;
    score = nextScore;
    if (same) break;
    model = ModelOfGuess(known, gaps, guess);
  }
  return guess.ok;
}

}  // namespace

GapsGuess GuessGaps(const std::vector<std::uint8_t>& known, const std::vector<Gap>& gaps, std::size_t total,
                    double one) {
  GapsGuess guess;
  GapLattice lattice;
  GapsFill unused;
  if (!Prepare(known, gaps, total, one, lattice, unused)) return guess;
  for (std::size_t g = 1; g < gaps.size(); ++g)
    if (gaps[g].before - gaps[g - 1].before < MIN_GUESS_STRETCH) return guess;
  std::size_t bytes = 0;  // the widest layer's states, two ways in each
  for (std::size_t g = 0; g <= gaps.size(); ++g) bytes = std::max(bytes, lattice.width[g] * 256 * 32);
  for (const std::vector<Fill>& fills : lattice.fills)
    if (fills.size() > std::numeric_limits<std::uint16_t>::max()) return guess;
  if (bytes > MAX_GUESS_BYTES) return guess;
  // Two starts: a byte model from the stretches whose place is known, and
  // a fill the bits' own patterns make likeliest (a long run of one value
  // read at other offsets between the gaps). Each is taken on with the
  // byte model learnt from it; the likelier block stands, and where they
  // differ, by no more than it is likelier.
  double score = 0.0;
  ByteRounds(known, gaps, total, lattice, FirstModel(known, gaps, total), guess, score);
  GapsGuess byBits;
  double bitScore = 0.0;
  if (Likeliest(known, gaps, total, lattice, BitGains(known, gaps, lattice), byBits, bitScore)) {
    GapsGuess other;
    double otherScore = 0.0;
    if (ByteRounds(known, gaps, total, lattice, ModelOfGuess(known, gaps, byBits), other, otherScore) &&
        (other.values != guess.values || other.lengths != guess.lengths)) {
      if (!guess.ok || otherScore > score) std::swap(guess, other), std::swap(score, otherScore);
      if (other.ok) guess.margin = std::min(guess.margin, score - otherScore), guess.pruned |= other.pruned;
    }
  }
  return guess;
}

bool GuessStands(const GapsGuess& guess, std::size_t gaps) {
  return guess.ok && gaps > 0 && guess.margin >= MIN_GUESS_MARGIN + std::log(static_cast<double>(gaps));
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
