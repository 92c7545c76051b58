#include "tapefile/symbol_runs.h"

#include <algorithm>
#include <cmath>

#include "tapefile/pulse_segmenter.h"

namespace tapedecoder {

namespace {

// Halves of a bit that differ by less than this share of the bit are
// equal (a level's bias on the tape makes them differ a little).
constexpr double MIN_HALF_DIFFERENCE = 0.10;
// Bits of each kind a block's halves are measured over, at least.
constexpr std::size_t MIN_HALF_BITS = 8;

// A pulse of a symbol lies within this share of its shape's mean (plus
// the edges' jitter).
constexpr double SYMBOL_TOLERANCE = 0.20;
// Symbols in a run of data, and of each shape, at least.
constexpr std::size_t MIN_SYMBOLS = 64;
constexpr std::size_t MIN_SHAPE_SYMBOLS = 8;
// A pilot opening a stretch: this many near-equal pulses at least, each
// within PILOT_TOLERANCE of their mean (plus the jitter).
constexpr std::size_t MIN_PILOT_PULSES = 16;
constexpr double PILOT_TOLERANCE = 0.12;
// A tone part runs straight into the stretch after it when the one ends
// within this many T-states of the other's first edge (they share it).
constexpr double SHARED_EDGE_TSTATES = 1.0;

double Seconds(double tstates) { return tstates / TSTATES_PER_SECOND; }

struct Shape {
  double sum[MAX_SYMBOL_PULSES] = {};
  std::size_t count = 0;
  double Mean(std::size_t i) const { return sum[i] / static_cast<double>(count); }
  double Length(std::size_t k) const {
    double total = 0.0;
    for (std::size_t i = 0; i < k; ++i) total += Mean(i);
    return total;
  }
};

// How far symbol `p` (k pulses) lies off `shape`, in tolerances (above 1:
// it does not fit).
double Distance(const double* p, std::size_t k, const Shape& shape, double jitter) {
  double worst = 0.0;
  for (std::size_t i = 0; i < k; ++i) {
    const double mean = shape.Mean(i);
    worst = std::max(worst, std::fabs(p[i] - mean) / (SYMBOL_TOLERANCE * mean + jitter));
  }
  return worst;
}

// True when no symbol fits both shapes: for some pulse they lie further
// apart than either's tolerance both ways.
bool Distinct(const Shape& a, const Shape& b, std::size_t k, double jitter) {
  for (std::size_t i = 0; i < k; ++i) {
    const double x = a.Mean(i), y = b.Mean(i);
    if (std::fabs(x - y) > SYMBOL_TOLERANCE * std::max(x, y) + jitter) return true;
  }
  return false;
}

double Sum(const std::vector<double>& pulses, std::size_t from, std::size_t to) {
  double total = 0.0;
  for (std::size_t k = from; k < to; ++k) total += pulses[k];
  return total;
}

// The near-equal pulses opening `pulses`: how many (0 when too few).
std::size_t OpeningPilot(const std::vector<double>& pulses, double jitter, double* mean) {
  double total = 0.0;
  std::size_t n = 0;
  while (n < pulses.size()) {
    const double m = n > 0 ? total / static_cast<double>(n) : pulses[0];
    if (n > 0 && std::fabs(pulses[n] - m) > PILOT_TOLERANCE * m + jitter) break;
    total += pulses[n++];
  }
  if (n < MIN_PILOT_PULSES) return 0;
  *mean = total / static_cast<double>(n);
  return n;
}

// True when `run` is data: enough symbols of both shapes and bytes no tone
// or click pattern gives (one that starts or ends a symbol off gives a
// first or last byte of its own: unless the block verifies, the bytes
// between must not repeat either). Pairs (which the segmenter reads unless
// it could not) only with halves that differ, and only as a block that
// verifies: a tone with clicks at random reads as two shapes of pairs.
bool IsData(const SymbolRun& run) {
  if (run.bits.size() < MIN_SYMBOLS || run.zeros < MIN_SHAPE_SYMBOLS || run.ones < MIN_SHAPE_SYMBOLS)
    return false;
  std::vector<std::uint8_t> bytes((run.bits.size() + 7) / 8, 0);
  for (std::size_t b = 0; b < run.bits.size(); ++b)
    if (run.bits[b]) bytes[b / 8] |= static_cast<std::uint8_t>(0x80u >> (b % 8));
  if (run.k == 2) {
    auto differ = [](const double* s) { return std::fabs(s[0] - s[1]) > MIN_HALF_DIFFERENCE * (s[0] + s[1]); };
    return (differ(run.zero) || differ(run.one)) && BlockVerifies(bytes);
  }
  if (BlockVerifies(bytes)) return true;
  return !RepeatsOrTooShort(bytes) &&
         !RepeatsOrTooShort(std::vector<std::uint8_t>(bytes.begin() + 1, bytes.end() - 1));
}

// The block of `run`, read from `stretch`'s pulses from `data` on, its
// pilot (if any) `pilotPulses` of `pilotMean` starting at `startSeconds`
// and two sync pulses before `data`.
TapeBlock SymbolBlock(const SymbolRun& run, const PulseStretch& stretch, std::size_t data, double startSeconds,
                      double pilotMean, std::size_t pilotPulses) {
  TapeBlock block;
  const std::size_t bits = run.bits.size();
  block.bytes.assign((bits + 7) / 8, 0);
  for (std::size_t b = 0; b < bits; ++b)
    if (run.bits[b]) block.bytes[b / 8] |= static_cast<std::uint8_t>(0x80u >> (b % 8));
  block.usedBits = static_cast<std::uint8_t>(bits % 8 == 0 ? 8 : bits % 8);
  block.romTiming = false;
  const double dataAt = Sum(stretch.pulses, 0, data);
  block.dataSeconds = stretch.startSeconds + Seconds(dataAt);
  block.startSeconds = pilotPulses > 0 ? startSeconds : block.dataSeconds;
  block.endSeconds = block.dataSeconds + Seconds(Sum(stretch.pulses, data, data + run.pulses));
  // Each byte's first edge, for the images.
  double at = dataAt;
  for (std::size_t b = 0; b < bits; ++b) {
    if (b % 8 == 0) block.byteSeconds.push_back(stretch.startSeconds + Seconds(at));
    at += Sum(stretch.pulses, data + b * run.k, std::min(data + (b + 1) * run.k, data + run.pulses));
  }
  BlockTiming& t = block.timing;
  if (pilotPulses > 0) {
    t.pilot = pilotMean;
    t.pilotPulses = static_cast<std::int32_t>(pilotPulses);
    t.sync1 = stretch.pulses[data - 2];
    t.sync2 = stretch.pulses[data - 1];
  }
  t.symbolPulses = static_cast<std::int32_t>(run.k);
  double zero = 0.0, one = 0.0;
  for (std::size_t i = 0; i < run.k; ++i) {
    t.zeroSymbol[i] = run.zero[i];
    t.oneSymbol[i] = run.one[i];
    zero += run.zero[i];
    one += run.one[i];
  }
  t.zero = zero / 2.0;
  t.one = one / 2.0;
  return block;
}

// The pulses of `stretch` from `from` on as a stretch of their own.
PulseStretch Tail(const PulseStretch& stretch, std::size_t from) {
  PulseStretch tail;
  tail.startSeconds = stretch.startSeconds + Seconds(Sum(stretch.pulses, 0, from));
  tail.firstPulseHigh = from % 2 == 0 ? stretch.firstPulseHigh : !stretch.firstPulseHigh;
  tail.pulses.assign(stretch.pulses.begin() + static_cast<std::ptrdiff_t>(from), stretch.pulses.end());
  tail.kind = StretchKind::RAW;
  return tail;
}

}  // namespace

void MeasureBitHalves(const double* pulses, std::size_t count, const std::vector<bool>& bits, double jitter,
                      BlockTiming& timing) {
  double first[2] = {0.0, 0.0}, whole[2] = {0.0, 0.0};
  std::size_t n[2] = {0, 0};
  for (std::size_t b = 0; b < bits.size() && 2 * b + 1 < count; ++b) {
    const int kind = bits[b] ? 1 : 0;
    first[kind] += pulses[2 * b];
    whole[kind] += pulses[2 * b] + pulses[2 * b + 1];
    ++n[kind];
  }
  if (n[0] < MIN_HALF_BITS || n[1] < MIN_HALF_BITS || !(timing.zero > 0.0) || !(timing.one > 0.0)) return;
  double halves[2][2];
  bool differ = false;
  for (int kind = 0; kind < 2; ++kind) {
    if (!(whole[kind] > 0.0)) return;
    const double bit = 2.0 * (kind ? timing.one : timing.zero);
    halves[kind][0] = bit * first[kind] / whole[kind];
    halves[kind][1] = bit - halves[kind][0];
    const double difference = std::fabs(halves[kind][0] - halves[kind][1]);
    differ = differ || (difference > MIN_HALF_DIFFERENCE * bit && difference > 2.0 * jitter);
  }
  if (!differ) return;
  timing.symbolPulses = 2;
  for (int i = 0; i < 2; ++i) {
    timing.zeroSymbol[i] = halves[0][i];
    timing.oneSymbol[i] = halves[1][i];
  }
}

SymbolRun ReadSymbols(const std::vector<double>& pulses, std::size_t from, std::size_t k, double jitter,
                      bool silenceAfter) {
  SymbolRun run;
  run.k = k;
  Shape shapes[2];
  std::vector<int> which;
  std::size_t at = from;
  for (; at + k <= pulses.size(); at += k) {
    const double* p = pulses.data() + at;
    int fit = -1;
    double best = 1.0;
    for (int s = 0; s < 2; ++s) {
      if (shapes[s].count == 0) continue;
      const double d = Distance(p, k, shapes[s], jitter);
      if (d <= best) best = d, fit = s;
    }
    if (fit < 0) {
      if (shapes[1].count > 0) break;
      fit = shapes[0].count == 0 ? 0 : 1;  // a shape's first symbol
    }
    for (std::size_t i = 0; i < k; ++i) shapes[fit].sum[i] += p[i];
    ++shapes[fit].count;
    which.push_back(fit);
  }
  if (shapes[1].count == 0 || !Distinct(shapes[0], shapes[1], k, jitter)) return run;
  // The shorter shape is a 0 (the first pulse decides between equals).
  const bool firstIsZero = shapes[0].Length(k) < shapes[1].Length(k) ||
                           (shapes[0].Length(k) == shapes[1].Length(k) && shapes[0].Mean(0) <= shapes[1].Mean(0));
  const Shape& zero = shapes[firstIsZero ? 0 : 1];
  const Shape& one = shapes[firstIsZero ? 1 : 0];
  for (std::size_t i = 0; i < k; ++i) {
    run.zero[i] = zero.Mean(i);
    run.one[i] = one.Mean(i);
  }
  run.zeros = zero.count;
  run.ones = one.count;
  run.bits.reserve(which.size() + 1);
  for (int s : which) run.bits.push_back((s == 0) != firstIsZero);
  run.pulses = which.size() * k;
  // The last symbol's last pulse, ended by silence, has no edge to end it:
  // the pulses before it tell which it is where they fit one shape alone.
  if (silenceAfter && at + k - 1 == pulses.size() && at == from + run.pulses) {
    int fits = -1, count = 0;
    for (int s = 0; s < 2; ++s) {
      bool fit = true;
      for (std::size_t i = 0; i + 1 < k; ++i) {
        const double mean = shapes[s].Mean(i);
        fit = fit && std::fabs(pulses[at + i] - mean) <= SYMBOL_TOLERANCE * mean + jitter;
      }
      if (fit) fits = s, ++count;
    }
    if (count == 1) {
      run.bits.push_back((fits == 0) != firstIsZero);
      ++((fits == 0) == firstIsZero ? run.zeros : run.ones);
      run.pulses += k - 1;
    }
  }
  return run;
}

namespace {

// The data in symbols `stretch` holds, as a block appended to `out` (with
// `out.back()` as its pilot, taken out, when `tone` and that is a tone
// running straight into the stretch); returns the pulse after the data, 0
// (nothing appended) when it holds none.
std::size_t ReadStretch(const PulseStretch& stretch, std::vector<TapePart>& out, double jitter, bool tone,
                        bool silenceAfter) {
  const std::vector<double>& pulses = stretch.pulses;
  // The pilot: a tone just before, or the stretch's opening pulses.
  const PulseStretch* before = nullptr;
  if (tone && !out.empty()) {
    before = std::get_if<PulseStretch>(&out.back());
    if (before && (before->kind != StretchKind::TONE || before->pulses.size() < MIN_PILOT_PULSES ||
                   std::fabs(before->startSeconds + Seconds(Sum(before->pulses, 0, before->pulses.size())) -
                             stretch.startSeconds) > Seconds(SHARED_EDGE_TSTATES)))
      before = nullptr;
  }
  double pilotMean = 0.0;
  std::size_t pilotPulses = 0, pilotEnd = 0;
  if (before) {
    pilotPulses = before->pulses.size();
    pilotMean = Sum(before->pulses, 0, pilotPulses) / static_cast<double>(pilotPulses);
  } else {
    pilotEnd = OpeningPilot(pulses, jitter, &pilotMean);
    pilotPulses = pilotEnd;
  }
  // Data after the pilot and two syncs, or from the first pulse.
  const std::size_t data = pilotPulses > 0 ? pilotEnd + 2 : 0;
  SymbolRun best;
  for (std::size_t k = 2; k <= MAX_SYMBOL_PULSES && data < pulses.size(); ++k) {
    SymbolRun run = ReadSymbols(pulses, data, k, jitter, silenceAfter);
    if (IsData(run) && run.pulses > best.pulses) best = std::move(run);
  }
  if (best.bits.empty()) return 0;
  const double startSeconds = before ? before->startSeconds : stretch.startSeconds;
  TapeBlock block = SymbolBlock(best, stretch, data, startSeconds, pilotMean, pilotPulses);
  if (before) out.pop_back();
  out.emplace_back(std::move(block));
  return data + best.pulses;
}

bool Readable(const PulseStretch* stretch) {
  return stretch && stretch->kind != StretchKind::TONE && stretch->pulses.size() >= MIN_SYMBOLS * 2;
}

}  // namespace

bool CSymbolReader::ReadOn(double startSeconds, bool tone, std::size_t& n, std::vector<TapePart>& parts,
                           std::vector<TapePart>& out) const {
  // The pulses from the part's first edge on, a window at a time (the
  // window twice as long while the data runs to its end) up to the next
  // pause, so that a reading that stops soon looks at few of them.
  // The edges: the runs kept, then the segmenter's run.
  std::vector<const std::vector<double>*> pieces;
  for (const std::vector<double>& kept : m_runs) pieces.push_back(&kept);
  pieces.push_back(&m_pending);
  const double from = startSeconds * TSTATES_PER_SECOND - 0.5;
  std::size_t piece = 0;
  while (piece < pieces.size() && (pieces[piece]->empty() || pieces[piece]->back() < from)) ++piece;
  if (piece == pieces.size()) return false;
  std::size_t index = static_cast<std::size_t>(
      std::lower_bound(pieces[piece]->begin(), pieces[piece]->end(), from) - pieces[piece]->begin());
  // The edge after the one at `piece`, `index`; false at the last.
  const auto step = [&] {
    if (++index < pieces[piece]->size()) return true;
    while (++piece < pieces.size())
      if (!pieces[piece]->empty()) {
        index = 0;
        return true;
      }
    return false;
  };
  PulseStretch run;
  double edge = (*pieces[piece])[index];
  run.startSeconds = edge / TSTATES_PER_SECOND;
  bool more = step();  // an edge after `edge`
  bool paused = false;
  // The block with the tone before it (a copy), which it may take as its
  // pilot.
  const bool toneBefore = tone && !out.empty();
  std::vector<TapePart> staged;
  std::size_t end = 0;
  for (std::size_t window = 16384;; window *= 2) {
    for (; more && run.pulses.size() < window; more = step()) {
      const double next = (*pieces[piece])[index];
      if (next - edge > m_pause) {
        paused = true;
        break;
      }
      run.pulses.push_back(next - edge);
      edge = next;
    }
    paused = paused || !more;
    if (run.pulses.size() < MIN_SYMBOLS * 2) return false;
    staged.clear();
    if (toneBefore) staged.push_back(out.back());
    end = ReadStretch(run, staged, m_jitter, tone, paused);
    if (end == 0) return false;
    if (paused || end + MAX_SYMBOL_PULSES <= run.pulses.size()) break;
  }
  if (!BlockVerifies(std::get<TapeBlock>(staged.back()).bytes)) return false;
  // The parts the data covers go, unless one is a block that verifies;
  // the pulses after the data up to the next part that stays, a stretch.
  const double dataEnd = run.startSeconds + Seconds(Sum(run.pulses, 0, end));
  std::size_t last = n;
  while (last + 1 < parts.size() && PartStartSeconds(parts[last + 1]) < dataEnd - Seconds(SHARED_EDGE_TSTATES)) {
    const auto* block = std::get_if<TapeBlock>(&parts[++last]);
    if (block && BlockVerifies(block->bytes)) return false;
  }
  if (toneBefore && staged.size() == 1) out.pop_back();
  out.push_back(std::move(staged.back()));
  const double keptFrom = last + 1 < parts.size() ? PartStartSeconds(parts[last + 1]) : 1e300;
  std::size_t stop = end;
  double t = dataEnd;
  while (stop < run.pulses.size() && t + Seconds(run.pulses[stop]) <= keptFrom + Seconds(SHARED_EDGE_TSTATES))
    t += Seconds(run.pulses[stop++]);
  if (stop > end) {
    PulseStretch tail = Tail(run, end);
    tail.pulses.resize(stop - end);
    tail.kind = stop - end <= 256 ? StretchKind::SEQUENCE : StretchKind::RAW;
    out.emplace_back(std::move(tail));
  }
  n = last;
  return true;
}

void CSymbolReader::Read(std::vector<TapePart>& parts) {
  std::vector<TapePart> out;
  out.reserve(parts.size());
  for (std::size_t n = 0; n < parts.size(); ++n) {
    const auto* stretch = std::get_if<PulseStretch>(&parts[n]);
    const auto* block = std::get_if<TapeBlock>(&parts[n]);
    if (Readable(stretch)) {
      // Data within the stretch; where it runs to the stretch's end and more
      // parts follow, read on through them where that verifies.
      const bool more = n + 1 < parts.size() &&
                        PartStartSeconds(parts[n + 1]) - PartEndSeconds(parts[n]) < Seconds(m_pause);
      std::vector<TapePart> staged;
      if (!out.empty() && std::holds_alternative<PulseStretch>(out.back()) &&
          std::get<PulseStretch>(out.back()).kind == StretchKind::TONE)
        staged.push_back(out.back());
      const bool toneBefore = !staged.empty();
      const std::size_t end = ReadStretch(*stretch, staged, m_jitter, true, !more);
      if (end > 0 && more && end + MAX_SYMBOL_PULSES > stretch->pulses.size() &&
          ReadOn(stretch->startSeconds, true, n, parts, out))
        continue;
      if (end > 0) {
        if (toneBefore && staged.size() == 1) out.pop_back();
        out.push_back(std::move(staged.back()));
        if (end < stretch->pulses.size()) out.emplace_back(Tail(*stretch, end));
        continue;
      }
    } else if (block && !block->romTiming && block->timing.symbolPulses <= 2 && !BlockVerifies(block->bytes) &&
               ReadOn(block->startSeconds, false, n, parts, out)) {
      continue;
    }
    out.push_back(std::move(parts[n]));
  }
  parts = std::move(out);
  m_runs.clear();
}

}  // namespace tapedecoder
