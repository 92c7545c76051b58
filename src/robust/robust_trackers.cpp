#include "robust/robust_trackers.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "robust/gap_mender.h"

namespace tapedecoder {
namespace robust {

namespace {

// The readers' ratios, named where they are defined.
constexpr PilotTiming PILOT = READER_TIMING.pilot;
constexpr SyncTiming SYNC = READER_TIMING.sync;
constexpr LockTiming LOCK = READER_TIMING.lock;
constexpr ConfidenceTiming CONFIDENCE = READER_TIMING.confidence;
constexpr DropoutTiming DROPOUT = READER_TIMING.dropout;
constexpr int PAUSE_BITS = LOCK.pauseBits;
// A sync is dated from the pilot's grid only where the pilot's period is
// within this part of the search's (wow bends it a few per cent; a
// tracker on data is held at the 15 % bound).
constexpr double GRID_PERIOD_HOLD = 0.06;
// The resolutions a BitRecord keeps: confidence steps per unit, start
// steps per sample.
constexpr double CONFIDENCE_STEPS = 16384.0;
constexpr double START_STEPS = 64.0;
// A pilot this long gives the bit period well enough that the first bits
// only refine it (a ROM block's pilot holds thousands of pulses).
constexpr int LONG_PILOT_PULSES = 1000;
// A pilot edge this far off its grid (half-periods) breaks the pilot,
// where a reader looks for a sync it cannot see (TrackerTuning::breakSync).
constexpr double BREAK_TIMING = 0.12;
// The ROM's first sync pulse over the pilot's half-period.
constexpr double SYNC1_OVER_PILOT = 667.0 / 2168.0;
// Slips guessed (GuessSlips) in blocks of MIN_SLIP_BYTES or more (fewer
// teach the byte model too little): the least sure bits past the flag
// byte (a first bit off is a sync read off, not a slip), up to
// MAX_SLIP_SITES of them under SLIP_SITE_CONFIDENCE, are where a slip
// may lie (a lossy codec's slips fell on bits read at 0.003-0.24, wrong
// guesses undid slips read at 0.34); stretches joined when
// closer than a byte, up to MAX_SLIP_SPAN bits. The block's last
// SLIP_TAIL_BITS bits and the good ones read past it (Candidate::after)
// become a gap of the first one or more of them: as many slips as a guess
// may undo move the end by as many bits either way.
constexpr float SLIP_SITE_CONFIDENCE = 0.25f;
constexpr std::size_t MAX_SLIP_SITES = 24;
constexpr std::size_t MIN_SLIP_BYTES = 256;
constexpr std::size_t MAX_SLIP_SPAN = 4;
constexpr std::size_t MAX_SLIPS_UNDONE = 3;
constexpr std::size_t SLIP_TAIL_BITS = MAX_SLIPS_UNDONE + 1;

double Mean(const double* values, int count, int newest, int n) {
  // The mean of the n newest of a ring of 64 holding `count` values.
  n = std::min(n, count);
  if (n <= 0) return 0.0;
  double sum = 0.0;
  for (int k = 0; k < n; ++k) sum += values[(newest - k + 64) % 64];
  return sum / n;
}

// Period and half-wave asymmetry from a ring of 64 half-periods.
void Calibrate(const double* halves, const int* levels, int count, double& period, double& asym) {
  int n = std::min(count, 64);
  double high = 0.0;
  double low = 0.0;
  int highs = 0;
  int lows = 0;
  for (int k = 0; k < n; ++k) {
    if (levels[k] > 0) {
      high += halves[k];
      ++highs;
    } else {
      low += halves[k];
      ++lows;
    }
  }
  if (highs > 0 && lows > 0) {
    high /= highs;
    low /= lows;
    period = 0.5 * (high + low);
    asym = 0.5 * (high - low);
  } else if (n > 0) {
    period = (high + low) / n;
  }
}

// A confidence in a BitRecord's steps, truncated and held to 16 bits.
std::uint16_t ConfidenceSteps(float confidence) {
  return static_cast<std::uint16_t>(std::clamp(static_cast<double>(confidence) * CONFIDENCE_STEPS, 0.0, 65535.0));
}

}  // namespace

BitRecord::BitRecord(const BitRecord& other) : m_size(other.m_size) {
  m_chunks.reserve(other.m_chunks.size());
  for (const auto& chunk : other.m_chunks) m_chunks.push_back(std::make_unique<Chunk>(*chunk));
}

BitRecord& BitRecord::operator=(const BitRecord& other) {
  if (this != &other) *this = BitRecord(other);
  return *this;
}

void BitRecord::Add(float confidence, double start) {
  const std::size_t slot = m_size % CHUNK_BITS;
  if (slot == 0) StartChunk(start);
  Chunk& chunk = *m_chunks[m_size / CHUNK_BITS];
  // Starts never run backwards; an offset beyond 2^32/64 samples (18 hours
  // at 192 kHz within 4096 bits) is held at the largest.
  double offset = std::clamp((start - chunk.base) * START_STEPS + 0.5, 0.0, 4294967295.0);
  chunk.offsets[slot] = static_cast<std::uint32_t>(offset);
  chunk.confidence[slot] = ConfidenceSteps(confidence);
  ++m_size;
}

void BitRecord::StartChunk(double start) {
  if (m_size / CHUNK_BITS == m_chunks.size()) m_chunks.push_back(std::make_unique<Chunk>());
  m_chunks[m_size / CHUNK_BITS]->base = start;
}

float BitRecord::Confidence(std::size_t i) const {
  return static_cast<float>(m_chunks[i / CHUNK_BITS]->confidence[i % CHUNK_BITS] / CONFIDENCE_STEPS);
}

double BitRecord::Start(std::size_t i) const {
  const Chunk& chunk = *m_chunks[i / CHUNK_BITS];
  return chunk.base + chunk.offsets[i % CHUNK_BITS] / START_STEPS;
}

void BitRecord::SetConfidence(std::size_t i, float confidence) {
  m_chunks[i / CHUNK_BITS]->confidence[i % CHUNK_BITS] = ConfidenceSteps(confidence);
}

void BitRecord::Truncate(std::size_t count) {
  if (count >= m_size) return;
  m_size = count;
  m_chunks.resize((count + CHUNK_BITS - 1) / CHUNK_BITS);
}

void BitCollector::Add(int bit, float confidence, double start) {
  std::size_t n = m_record.Size();
  if (n % 8 == 0) m_bytes.push_back(0);
  // Or'ed in without a branch: data bits are as good as random.
  m_bytes.back() = static_cast<std::uint8_t>(m_bytes.back() | ((static_cast<unsigned>(bit != 0) << 7) >> (n % 8)));
  m_record.Add(confidence, start);
  if (n % 8 == 7) {
    std::uint8_t prev = m_xor.empty() ? 0 : m_xor.back();
    m_xor.push_back(static_cast<std::uint8_t>(prev ^ m_bytes.back()));
  }
}

void BitCollector::Flip(std::size_t i) {
  m_bytes[i / 8] = static_cast<std::uint8_t>(m_bytes[i / 8] ^ (0x80u >> (i % 8)));
  if (i / 8 < m_xor.size()) {
    for (std::size_t k = i / 8; k < m_xor.size(); ++k) m_xor[k] = static_cast<std::uint8_t>(m_xor[k] ^ (0x80u >> (i % 8)));
  }
}

void BitCollector::Truncate(std::size_t bits) {
  if (bits >= m_record.Size()) return;
  m_record.Truncate(bits);
  m_bytes.resize((bits + 7) / 8);
  m_xor.resize(bits / 8);
  if (bits % 8 != 0) {
    m_bytes.back() = static_cast<std::uint8_t>(m_bytes.back() & (0xFF00u >> (bits % 8)));
  }
}

bool BitCollector::PrefixVerifies(std::size_t bytes) const {
  return bytes >= 1 && bytes <= m_xor.size() && m_xor[bytes - 1] == 0;
}

void BitCollector::Into(Candidate& out) {
  std::size_t bits = m_record.Size();
  out.usedBits = static_cast<std::uint8_t>(bits % 8 == 0 ? 8 : bits % 8);
  out.bytes = std::move(m_bytes);
  out.bits = std::move(m_record);
  m_bytes.clear();
  m_record = BitRecord();
  m_xor.clear();
}

bool CutHere(const BitCollector& bits, std::size_t bytes, std::size_t announced) {
  if (announced != 0 && bytes == announced && bits.PrefixVerifies(bytes)) return true;
  if (bytes != 19 || bits.Byte(0) != 0x00 || bits.Byte(1) > 3 || !bits.PrefixVerifies(19)) return false;
  // Nineteen zero bytes verify too: a tone read as bits, not a header.
  for (std::size_t k = 1; k < 19; ++k)
    if (bits.Byte(k) != 0x00) return true;
  return false;
}

// ---------------------------------------------------------------------------

CBoxTracker::CBoxTracker(const PrefixRing& sums, const PilotStart& start, const TrackerTuning& tuning,
                         const CBoxTracker* leader)
    : m_sums(sums), m_leader(leader), m_start(start), m_tuning(tuning), m_edge(start.lastEdge), m_level(start.lastLevel),
      m_period(start.period) {}

CBoxTracker::CBoxTracker(const PrefixRing& sums, double dataEdge, double zero, double one,
                         const TrackerTuning& tuning, std::size_t maxBytes)
    : m_sums(sums), m_leader(nullptr), m_tuning(tuning), m_stage(Stage::LOCATE), m_edge(dataEdge),
      m_period(zero / ZERO_OVER_PILOT) {
  m_start.maxBytes = maxBytes;
  m_u = m_u0 = zero;
  m_ratio = std::clamp(one / zero, 1.2, 5.0);
  m_len = m_tuning.boxFactor * m_u;
  m_measured = true;
}

bool CBoxTracker::Locate(bool final) {
  // The data's first edge lies within a third of a zero half-period of
  // where the segmenter dated it (its trigger's delay on a filtered
  // signal); its direction gives the data's polarity.
  const double reach = 0.35 * m_u;
  if (m_edge - reach - m_len < static_cast<double>(m_sums.Oldest()) + 1.0) {
    m_stage = Stage::DONE;
    return true;
  }
  if (!Available(m_edge + reach + m_len + 2.0, final)) return false;
  double value = 0.0;
  const double t = Strongest(m_edge - reach, m_edge + reach, 0, m_len, value);
  m_polarity = m_sums.Edge(t, m_len) >= 0.0 ? 1 : -1;
  m_t = Refine(t, m_polarity, m_len);
  m_amp = std::max(value / (2.0 * m_len), 1e-12);
  m_result.start = m_result.data = m_t;
  m_stage = Stage::DATA;
  return true;
}

bool CBoxTracker::Available(double until, bool final) {
  // Sample floor(until) + 1 is in: for a whole count that is until < Count().
  if (until < static_cast<double>(m_sums.Count())) return true;
  if (final) {
    if (m_stage == Stage::DATA) {
      EndData();
    } else {
      m_stage = Stage::DONE;
    }
  }
  return false;
}

double CBoxTracker::GridStep(double len) {
  // A step's response is 2·len wide; Refine() finds its peak between
  // the grid's points.
  return len >= 4.0 ? 1.0 : 0.5;
}

double CBoxTracker::Strongest(double from, double to, int polarity, double len, double& value) const {
  const double step = GridStep(len);
  const double sign = polarity;
  double best = from;
  double strongest = -std::numeric_limits<double>::infinity();
  // One loop per kind of strength, so that none is chosen per point.
  const auto scan = [&](auto strength) {
    for (double t = from; t <= to; t += step) {
      const double v = strength(m_sums.Edge(t, len));
      if (v > strongest) {
        strongest = v;
        best = t;
      }
    }
  };
  if (polarity == 0) {
    scan([](double v) { return std::fabs(v); });
  } else {
    scan([sign](double v) { return sign * v; });
  }
  value = strongest;
  return best;
}

double CBoxTracker::Refine(double t, int polarity, double len) const {
  // Early-late discriminator: for a step at t + e, E(t + d) - E(t - d) is
  // 4·A·e while |e| < d, and E(t) is about 2·A·len.
  double d = 0.5 * len;
  for (int i = 0; i < 3; ++i) {
    double strength = polarity * m_sums.Edge(t, len);
    if (strength <= 0.0) break;
    double late = polarity * m_sums.Edge(t + d, len);
    double early = polarity * m_sums.Edge(t - d, len);
    double e = std::clamp((late - early) * len / (2.0 * strength), -d, d);
    t += e;
    if (std::fabs(e) < 0.01) break;
  }
  return t;
}

void CBoxTracker::LeadingEdge(double& t, int& level, double& value, double len) const {
  // A high-pass near the pilot's frequency (a deck's two-pole high-pass)
  // turns each edge into a spike whose trailing flank, a third of a
  // period or less after it, steps back as far as the edge stepped at
  // this box length. Followed from flank to flank the pilot reads as well
  // as from edge to edge, but the sync's pulses, no longer than the
  // spike, do not. The spike follows its edge: of the two, the edge is the
  // first, an opposite step close before the one found.
  const double p = m_period;
  const double from = t - PILOT.spikeMax * p;
  const double to = t - PILOT.spikeMin * p;
  if (!m_sums.Holds(from - len - 1.0, to + len + 1.0)) return;
  double before = 0.0;
  const double at = Strongest(from, to, -level, len, before);
  // A maximum on the window's rim is the flank of a step beyond it.
  if (before < PILOT.spikeLevel * value || at <= from || at + GridStep(len) > to) return;
  t = at;
  level = -level;
  value = before;
}

void CBoxTracker::PushInterval(double interval, int level) {
  int slot = m_intervalCount % 64;
  m_intervals[slot] = interval;
  m_intervalLevels[slot] = level;
  ++m_intervalCount;
  Calibrate(m_intervals, m_intervalLevels, m_intervalCount, m_period, m_asym);
}

int CBoxTracker::TrySync(double& ta, double& tb) {
  const double p = m_period;
  const double e = m_edge;
  const int s = m_level;
  const double pilotLen = m_tuning.boxFactor * ZERO_OVER_PILOT * p;
  const double syncLen = SYNC.boxLength * p;
  if (!m_sums.Holds(e - SYNC.holdBehind * p, e + SYNC.holdAhead * p + pilotLen)) return -1;
  double ref = s * m_sums.Edge(e, syncLen) / (2.0 * syncLen);
  if (ref <= 0.0) return 0;
  // Most pilot edges have no sync after them: a coarse look on a grid of
  // the box length (where a step still gives over half its peak) settles
  // those before the fine search.
  bool any = false;
  for (double t = e + SYNC.searchFrom * p; t <= e + SYNC.searchTo * p + 0.5 * syncLen && !any; t += syncLen) {
    any = -s * m_sums.Edge(t, syncLen) / (2.0 * syncLen) >= SYNC.coarseLevel * ref;
  }
  if (!any) return 0;
  double va = 0.0;
  ta = Strongest(e + SYNC.searchFrom * p, e + SYNC.searchTo * p, -s, syncLen, va);
  if (va / (2.0 * syncLen) < SYNC.edgeLevel * ref) return 0;
  ta = Refine(ta, -s, syncLen);
  double vb = 0.0;
  tb = Strongest(ta + SYNC.searchFrom * p, ta + SYNC.searchTo * p, s, syncLen, vb);
  if (vb / (2.0 * syncLen) < SYNC.edgeLevel * ref) return 0;
  tb = Refine(tb, s, syncLen);
  // Sync pulses, corrected for the half-wave asymmetry the pilot showed.
  double l1 = ta - e - s * m_asym;
  double l2 = tb - ta + s * m_asym;
  // The grid is anchored on the last edges of e's polarity, not on e
  // alone: in heavy noise one edge is off by a good part of the box.
  double grid = e;
  if (m_edgeCount >= 2 * SYNC.anchorEdges) {
    double sum = 0.0;
    for (int j = 0; j < SYNC.anchorEdges; ++j) sum += m_edgeTimes[(m_edgeCount - 1 - 2 * j) % 16] + 2.0 * j * p;
    grid = sum / SYNC.anchorEdges;
  }
  // A band limit that smears the sync into the pilot's last edge (a lossy
  // codec at a low bit rate) moves that edge early, by up to a quarter
  // period, and the first pulse alone comes out too long: it is then
  // measured from where the pilot's grid puts the edge, and the sync dated
  // from there. Where the first pulse fits and only the pair is too long,
  // the sync lies a bit late (an all-pass smear): the grid would make it
  // fit and the block be read a bit late. The grid counts only on a pilot
  // followed at its own period: a tracker that slid onto a band-limited
  // block's one bits (0.79 p) dates no sync from them.
  bool fromGrid = false;
  if (!SYNC.box.Fits(l1, l2, p)) {
    const bool early = grid > e && grid - e <= 0.25 * p && l1 > SYNC.box.maxPulse * p &&
                       std::fabs(p - m_start.period) < GRID_PERIOD_HOLD * m_start.period;
    if (!m_tuning.syncFromGrid || !early || !SYNC.box.Fits(ta - grid - s * m_asym, l2, p)) return 0;
    fromGrid = true;
  }
  // A sync is where the pilot stops. Where it goes on, this was noise. The
  // pilot's strength is the mean over its grid behind e (a mean, not the
  // tracker's maxima, which noise inflates); ahead, the pilot goes on when
  // most grid points reach half that.
  double behind = 0.0;
  for (int i = 1; i <= SYNC.behind; ++i) {
    bool odd = (i % 2) == 1;
    behind += (odd ? -s : s) * m_sums.Edge(grid - i * p + (odd ? s * m_asym : 0.0), pilotLen);
  }
  behind /= SYNC.behind;
  if (behind <= 0.0) return 0;
  int continuing = 0;
  double ahead = 0.0;
  double next = 0.0;  // the first few grid points: where a sync ends the pilot
  for (int i = 1; i <= SYNC.ahead; ++i) {
    bool odd = (i % 2) == 1;
    double at = grid + i * p + (odd ? s * m_asym : 0.0);
    double v = (odd ? -s : s) * m_sums.Edge(at, pilotLen);
    ahead += v;
    if (i <= SYNC.nextPoints) next += v;
    if (v > SYNC.aheadLevel * behind) ++continuing;
  }
  // A sync that noise made a few pulses before the real one has the pilot
  // right after it. Data can reach those points too: a band limit (a lossy
  // codec at a low bit rate) widens its edges until two of the four, 0.07
  // and 0.15 p off the grid after a flag 0xFF, read as pilot edges. The
  // pilot goes on unless data read from the sync's end explains the
  // stretch clearly better, with edges as strong as the pilot's; after a
  // false sync data read there meets the pilot's edges a third as strong
  // or less.
  if (next > SYNC.nextPoints * SYNC.nextLevel * behind) {
    const double data = DataStrength(tb, grid + (SYNC.nextPoints + 0.5) * p);
    if (data < SYNC.dataOverPilot * next / SYNC.nextPoints || data < SYNC.dataLevel * behind) return 0;
  }
  // In heavy noise single grid points scatter; their mean does not.
  if (continuing > SYNC.aheadPoints || ahead > SYNC.ahead * SYNC.aheadMean * behind) return 0;
  if (PilotRunsOn(behind, pilotLen, m_edge, m_level)) return 0;
  if (fromGrid) m_edge = grid;
  return 1;
}

double CBoxTracker::DataStrength(double tb, double until) const {
  // Each bit decided as StepBit() decides it, without the loop: the pilot's
  // period gives the zero's half-period.
  const double p = m_period;
  const double u = ZERO_OVER_PILOT * p;
  const double len = m_tuning.boxFactor * u;
  const int s = m_level;
  double sum = 0.0;
  int edges = 0;
  for (double t = tb; t + 4.0 * u <= until; edges += 2) {
    const double half = s * m_sums.Step(t + u, u) > 0.0 ? 2.0 * u : u;
    sum += -s * m_sums.Edge(t + half, len) + s * m_sums.Edge(t + 2.0 * half, len);
    t += 2.0 * half;
  }
  return edges > 0 ? sum / edges : 0.0;
}

bool CBoxTracker::PilotRunsOn(double behind, double len, double from, int level) const {
  // The fixed grid above drifts off the pilot under wow; followed edge by
  // edge, re-centred on each one found, the pilot shows through the noise
  // and wow that made a false sync. Data cannot pass: its edges lie whole
  // zero half-periods apart (0.79 and 1.18 p after an edge, outside the
  // window), so after real data it is found only now and then.
  const double p = m_period;
  double t = from;
  int s = level;
  int found = 0;
  for (int i = 1; i <= SYNC.followEdges; ++i, s = -s) {
    const double centre = t + p + s * m_asym;
    const double reach = SYNC.followReach * p;
    if (!m_sums.Holds(centre - reach - len - 1.0, centre + reach + len + 1.0)) break;
    double value = 0.0;
    const double at = Strongest(centre - reach, centre + reach, -s, len, value);
    // A maximum on the window's first or last point is the flank of an
    // edge beyond it: data's, whose edges lie 0.79 or 1.18 p after one,
    // pass half the pilot's strength there where the tape path lifts the
    // data's higher tones above the pilot (a high-pass near the pilot's
    // frequency), and followed from flank to flank they read as a pilot.
    const bool inside = at > centre - reach && at + GridStep(len) <= centre + reach;
    if (inside && value > SYNC.aheadLevel * behind) {
      ++found;
      t = at;
    } else {
      t = centre;
    }
  }
  return found >= SYNC.followFound;
}

void CBoxTracker::BeginData(double ta, double tb, double amp) {
  const double p = m_period;
  double p16 = Mean(m_intervals, m_intervalCount, (m_intervalCount - 1) % 64, 16);
  if (p16 <= 0.0) p16 = p;
  m_u = m_u0 = p16 * ZERO_OVER_PILOT;
  m_len = m_tuning.boxFactor * m_u;
  m_polarity = m_level;
  m_amp = amp;
  m_t = tb;
  m_syncEdge = m_edge;
  m_shortSync = tb - m_edge < SYNC.shortPair * p;
  m_result.start = m_start.firstEdge;
  m_result.data = tb;
  m_result.pilot = p;
  m_result.sync1 = ta - m_edge;
  m_result.sync2 = tb - ta;
  m_result.pilotPulses = static_cast<int>(std::lround((m_edge - m_start.firstEdge) / p)) + 1;
  m_stage = Stage::DATA;
}

int CBoxTracker::BreakSync(bool found, double t, double centre, double len, bool final) {
  // A steep low-pass leaves nothing of a sync's two short pulses but a
  // bend where the pilot stops: the pilot's next edge comes late or not at
  // all. Where a solid pilot breaks off so, and does not run on, the sync
  // is taken to start on the grid point where the edge should have been
  // (breakSync > 0), or on the edge before it (< 0: all that is left of
  // the sync is its first edge), and the data |breakSync| half-periods
  // after it.
  const double p = m_period;
  if (m_edges < SYNC.pilotEdges || m_misses != 0 || m_solidRun < PILOT.solidRun) return 0;
  if (found && std::fabs(t - centre) <= BREAK_TIMING * p) return 0;
  const double reach = (SYNC.followEdges + 1) * (1.0 + SYNC.followReach) * p + len + 2.0;
  if (!final && !(centre + reach < static_cast<double>(m_sums.Count()))) return -1;
  if (PilotRunsOn(m_amp * 2.0 * len, len, centre, -m_level)) return 0;
  if (m_tuning.breakSync > 0.0) {
    m_edge = centre;
    m_level = -m_level;
  }
  BeginData(m_edge + SYNC1_OVER_PILOT * p, m_edge + std::fabs(m_tuning.breakSync) * p, m_amp);
  m_result.syncUnseen = true;
  return 1;
}

bool CBoxTracker::StepPilot(bool final) {
  const double p = m_period;
  const double len = m_tuning.boxFactor * ZERO_OVER_PILOT * p;
  if (m_edges >= SYNC.pilotEdges && m_misses == 0) {
    double ta = 0.0;
    double tb = 0.0;
    int sync = TrySync(ta, tb);
    if (sync < 0) {
      if (!m_sums.Holds(m_edge - SYNC.holdBehind * p, m_edge - SYNC.holdBehind * p)) {
        m_stage = Stage::DONE;  // fell out of the ring
        return true;
      }
      Available(m_edge + (SYNC.holdAhead + 1.0) * p + len, final);
      return false;
    }
    if (sync > 0) {
      const double l = m_tuning.boxFactor * ZERO_OVER_PILOT * p;
      BeginData(ta, tb, (std::fabs(m_sums.Edge(m_edge, l)) + std::fabs(m_sums.Edge(ta, l)) +
                         std::fabs(m_sums.Edge(tb, l))) / (6.0 * l));
      return true;
    }
  }
  if (!Available(m_edge + 1.4 * p + len + 2.0, final)) return false;
  double centre = m_edge + p + m_level * m_asym;
  double reach = (m_edges >= PILOT.settleEdges ? PILOT.lockedReach : PILOT.settleReach) * p;
  double value = 0.0;
  double t = Strongest(centre - reach, centre + reach, -m_level, len, value);
  double strength = value / (2.0 * len);
  const bool found = strength > PILOT.edgeLevel * m_amp && strength > 0.0;
  if (found) t = Refine(t, -m_level, len);
  if (m_tuning.breakSync != 0.0) {
    const int broke = BreakSync(found, t, centre, len, final);
    if (broke != 0) return broke > 0;
  }
  if (found) {
    // Only intervals between two found edges measure the period; one 40 %
    // off the search's is a missed or extra edge, and the period is held
    // within 15 % of the search's.
    double interval = t - m_edge;
    if (m_misses == 0 && std::fabs(interval - m_start.period) < PILOT.intervalGate * m_start.period) {
      PushInterval(interval, m_level);
      m_period = std::clamp(m_period, (1.0 - PILOT.periodHold) * m_start.period,
                            (1.0 + PILOT.periodHold) * m_start.period);
    }
    m_amp = (1.0 - PILOT.strengthFollow) * m_amp + PILOT.strengthFollow * strength;
    m_edge = t;
    m_misses = 0;
    m_edgeTimes[m_edgeCount++ % 16] = t;
    // Where the pilot was last beyond doubt: strong and on time.
    bool solid = strength > PILOT.solidLevel * m_amp &&
                 std::fabs(interval - m_period - m_level * m_asym) < PILOT.solidTiming * m_period;
    m_solidRun = solid ? m_solidRun + 1 : 0;
    if (m_solidRun >= PILOT.solidRun) m_lastSolid = t;
  } else {
    if (++m_misses > PILOT.misses) {
      m_stage = Stage::DONE;
      return true;
    }
    m_edge = centre;
    m_edgeCount = 0;  // the grid restarts after a gap
  }
  m_level = -m_level;
  ++m_edges;
  return true;
}

bool CBoxTracker::Follow() {
  const CBoxTracker& lead = *m_leader;
  if (lead.m_stage == Stage::ACQUIRE || lead.m_stage == Stage::PILOT) return false;
  m_leader = nullptr;
  // From the leader's sync; when it found none, from where its pilot was
  // last beyond doubt (the sync lies shortly after).
  double from = lead.m_syncEdge >= 0.0 ? lead.m_syncEdge : lead.m_lastSolid;
  if (from < 0.0) {
    m_stage = Stage::DONE;
    return true;
  }
  m_period = lead.m_syncEdge >= 0.0 ? lead.m_result.pilot : lead.m_period;
  m_edge = from - PILOT.followLead * m_period;
  m_stage = Stage::ACQUIRE;
  return true;
}

std::size_t CBoxTracker::DropSyncRemnant(double am) {
  m_syncChecked = true;
  const std::size_t drop = SyncRemnantBits(am);
  if (drop == 0) return 0;
  BitCollector shifted;
  for (std::size_t i = drop; i < 7; ++i) shifted.Add(m_bits.Bit(i), 1.0f, m_bits.StartOf(i));
  m_bits = std::move(shifted);
  std::copy(m_firstMs + drop, m_firstMs + 8, m_firstMs);
  m_result.sync2 += m_bits.StartOf(0) - m_result.data;
  m_result.data = m_bits.StartOf(0);
  return drop;
}

std::size_t CBoxTracker::SyncRemnantBits(double am) const {
  double sorted[8];
  std::copy(m_firstMs + 1, m_firstMs + 7, sorted);
  sorted[6] = am;
  std::sort(sorted, sorted + 7);
  const bool weak = m_firstMs[0] < LOCK.syncRemnant * sorted[3];
  const int first = m_bits.Bit(0);
  // After a sync of ROM length only a first zero far weaker than the bits
  // after it is the sync's. After a short one the sync ended early: a
  // first zero is its rest at any strength, and a first weak bit is noise
  // in it, the zero after it the rest.
  if (!m_shortSync) return first == 0 && weak ? 1 : 0;
  if (first == 0) return 1;
  if (!weak) return 0;
  return m_bits.Bit(1) == 0 ? 2 : 1;
}

bool CBoxTracker::StepBit(bool final) {
  const double t = m_t;
  const double u = m_u;
  const double len = m_len;
  const int x = m_polarity;
  const double r = m_ratio;
  if (!Available(t + std::max(3.0, 2.0 * r) * u + 1.5 * len + 2.0, final)) return false;
  // Over [t, t+3u) a zero and a one differ only in the second and third
  // thirds: integrate both and compare.
  double m = 0.0;
  if (r == ONE_OVER_ZERO) {
    m = x * m_sums.Step(t + u, u);
  } else {
    // Other ratios: where a zero's second half lies inside a one's first
    // (from u to min(2, r) u), and where the next bit's first half lies
    // inside a one's second (from max(2, r) u to min(3, 2r) u; none from
    // r = 3 on). Each box has opposite signs for the two bits.
    double v = m_sums.Box(t + u, t + std::min(2.0, r) * u);
    if (r < 3.0) v -= m_sums.Box(t + std::max(2.0, r) * u, t + std::min(3.0, 2.0 * r) * u);
    m = x * v;
  }
  int bit = m > 0.0 ? 1 : 0;
  double end = t + 2.0 * u * (bit ? r : 1.0);
  double amp = std::max(m_amp, 1e-12);
  double q = x * m_sums.Edge(end, len) / (2.0 * amp * len);
  double err = x * (m_sums.Edge(end + 0.5 * len, len) - m_sums.Edge(end - 0.5 * len, len)) / (4.0 * amp);
  err = std::clamp(err, -0.5 * len, 0.5 * len);
  std::size_t n = m_bits.Bits();
  double am = std::fabs(m);
  // A reader asked to read on through weak stretches (for a vote across
  // takes) leaves dropouts to them.
  if (m_tuning.mendDropouts && m_tuning.stopBits <= PAUSE_BITS && n >= 8 && m_anyGood && !m_returned &&
      q < DROPOUT.collapse && am < DROPOUT.collapse * m_scale) {
    EnterGap();
    return true;
  }
  const bool settling = n < static_cast<std::size_t>(LOCK.settleBits) && !m_measured;
  double alpha = settling ? LOCK.settlePhaseGain : LOCK.phaseGain;
  // The period learns fast at first, then less from each bit as bits add
  // up: in hiss a run of zeros gives each step only noise to learn from.
  // Only after a long pilot, which gave the period well; a short one
  // leaves it to the first bits.
  const bool longPilot = m_result.pilotPulses >= LONG_PILOT_PULSES;
  double beta = !settling ? LOCK.periodGain
                : longPilot ? std::max(LOCK.periodGain, LOCK.settlePeriodGain * 32.0 / static_cast<double>(n + 32))
                            : LOCK.settlePeriodGain;
  if (q > LOCK.trackLevel) {
    double w = std::min(1.0, q);
    m_t = end + alpha * w * err;
    m_u += beta * w * err * (bit ? 0.5 / r : 0.5);  // over the bit's length in u, 2 or 2r
    m_amp += LOCK.strengthFollow * (std::min(q, CONFIDENCE.spikeCap) - 1.0) * m_amp;
  } else {
    m_t = end;  // coast through a dropout
  }
  // Phase smear (an all-pass tape path), or noise in a pilot's last
  // pulses, can end the sync early: the rest of it then reads as a first
  // data bit or two, and every bit after them is one or two places late --
  // a stream that still verifies at an announced length half the time (a
  // header's leading zeros hide the shift). Such bits are the sync's: they
  // are dropped, once, when the first bits give the block's level.
  if (n == 7 && !m_syncChecked) n -= DropSyncRemnant(am);
  float confidence = 1.0f;
  if (n < 8) {
    m_firstMs[n] = am;
    if (n == 7) {
      double sorted[8];
      std::copy(m_firstMs, m_firstMs + 8, sorted);
      std::sort(sorted, sorted + 8);
      m_scale = std::max(0.5 * (sorted[3] + sorted[4]), 1e-12);
      for (std::size_t i = 0; i < 7; ++i) {
        m_bits.SetConfidence(i, static_cast<float>(std::min(m_firstMs[i] / m_scale, CONFIDENCE.cap)));
      }
      confidence = static_cast<float>(std::min(am / m_scale, CONFIDENCE.cap));
    }
  } else {
    confidence = static_cast<float>(std::min(am / m_scale, CONFIDENCE.cap));
    m_scale += LOCK.scaleFollow * (std::min(am, CONFIDENCE.spikeCap * m_scale) - m_scale);
  }
  bool good = (n < 8 || confidence > static_cast<float>(LOCK.goodConfidence)) && q > LOCK.goodEdge;
  // The first bits after a dropout's return may still be weak (the wave
  // settling): they join the gap, whose bits the checksum restores.
  if (m_returned && !good && n >= 8 && m_absorbed < DROPOUT.absorbBits) {
    ++m_absorbed;
    // The gap now ends elsewhere: the bits read back at its return go
    // with it, and where its silence ended no longer bounds its bits.
    Gap& gap = m_gaps.back();
    m_bits.Truncate(gap.before);
    m_lastGood = gap.before;
    gap.zeros = (m_t - m_gapStarts.back()) / (2.0 * u);
    gap.quietTo = std::numeric_limits<double>::infinity();
    m_lastQ = q;
    return true;
  }
  // A pause, measured against the block's own level: the scale D adapts,
  // and in noise it sinks until the noise reads as bits. The block's level
  // moves only with good bits; a run of bits far below it is no data.
  bool pause = false;
  // Zeros and ones keep levels of their own: a band-limited or
  // differentiated channel gives them different |m|.
  if (n >= 8) {
    double& level = m_bitLevel[bit];
    double relative = am / std::max(level, 1e-12);
    if (good) level += LOCK.levelFollow * (std::min(am, CONFIDENCE.spikeCap * level) - level);
    relative = std::min(relative, CONFIDENCE.spikeCap);
    m_recentSum += relative - m_recent[n % PAUSE_BITS];
    m_recent[n % PAUSE_BITS] = relative;
    // A reader asked to go on through longer weak stretches (dropouts)
    // leaves the end to them.
    pause = n >= 8 + PAUSE_BITS && m_recentSum < PAUSE_BITS * LOCK.pauseLevel &&
            m_tuning.stopBits <= PAUSE_BITS;
  } else if (n == 7) {
    // Start values: the typical |m| of each kind among the first bits.
    for (int b = 0; b < 2; ++b) {
      double sum = 0.0;
      int count = 0;
      for (std::size_t i = 0; i < 7; ++i) {
        if (((m_bits.Byte(0) >> (7 - i)) & 1) == b) {
          sum += m_firstMs[i];
          ++count;
        }
      }
      if ((bit == 1) == (b == 1)) {
        sum += am;
        ++count;
      }
      m_bitLevel[b] = count > 0 ? sum / count : m_scale;
    }
  }
  m_bits.Add(bit, confidence, t);
  m_lastQ = q;
  if (pause) {
    // The data ended with the last bit of the window still at its level.
    std::size_t last = m_bits.Bits() - PAUSE_BITS;
    for (std::size_t i = m_bits.Bits(); i-- > m_bits.Bits() - PAUSE_BITS;) {
      if (m_recent[i % PAUSE_BITS] >= LOCK.pauseEnd) {
        last = i + 1;
        break;
      }
    }
    if (m_lastGood > last) m_lastGood = last;
    if (m_lastGood + 1 == last) KeepIntoSilence();
    EndData();
    return true;
  }
  if (!good && m_weak == 0) m_weakQ = q;
  if (good) {
    m_anyGood = true;
    m_lastGood = m_bits.Bits();
    m_lastGoodEnd = m_t;
    for (int k = 1; k <= m_weak && m_weakAt.size() <= DROPOUT.weakBits; ++k) m_weakAt.push_back(m_bits.Bits() - 1 - k);
    m_weakKept += static_cast<std::size_t>(m_weak);
    m_weak = 0;
    m_returned = false;
  } else {
    ++m_weak;
  }
  if (m_bits.Bits() % 8 == 0 && CutHere(m_bits, m_bits.Bits() / 8, m_start.announced)) {
    m_result.cut = true;
    m_lastGood = m_bits.Bits();
    m_lastGoodEnd = m_t;
    EndData();
    return true;
  }
  if (m_weak >= m_tuning.stopBits || m_u < LOCK.minPeriod * m_u0 || m_u > LOCK.maxPeriod * m_u0 ||
      m_bits.Bits() >= 8 * m_start.maxBytes) {
    EndData();
  }
  return true;
}

bool CBoxTracker::KeepIntoSilence() {
  // The last bit before silence closes with a step into it, half a step
  // between the levels: it counts where half an edge was seen and the bit
  // itself read clearly.
  if (m_lastGood >= m_bits.Bits() || m_weakQ <= 0.5 * LOCK.goodEdge ||
      m_bits.ConfidenceOf(m_lastGood) <= static_cast<float>(LOCK.goodConfidence))
    return false;
  ++m_lastGood;
  m_lastGoodEnd = m_lastGood < m_bits.Bits() ? m_bits.StartOf(m_lastGood) : m_t;
  return true;
}

void CBoxTracker::EnterGap() {
  // A collapse that is no silence (the bits lost their edges but not
  // their level, or the block ended on a level held) gives no measure of
  // where its bits lay: it is skipped from the last good bit on, as a
  // whole, and the bits around it are kept as read.
  m_gapSilent = Silent(m_t + m_u, m_t + 3.0 * m_u);
  if (!m_gapSilent) {
    // The last bit before it, its closing edge seen, lost only its last
    // third: decided on the rest, it counts.
    if (m_weak == 1 && m_lastQ > LOCK.goodEdge &&
        m_bits.ConfidenceOf(m_bits.Bits() - 1) >= static_cast<float>(DROPOUT.lastBitConfidence)) {
      m_lastGood = m_bits.Bits();
      m_lastGoodEnd = m_t;
      m_weak = 0;
    }
    if (m_weak > 0 && KeepIntoSilence()) --m_weak;
    // Weak bits at the gap's edge are lost with it.
    m_cleanEnd = m_weak == 0;
    m_bits.Truncate(m_lastGood);
    m_weak = 0;
    m_enterBit = m_lastGood;
    m_enterStart = m_lastGoodEnd;
    m_quietFrom = m_enterStart;
    m_t += 0.5 * m_u;
    m_inGap = true;
    return;
  }
  // The bits after the last good one were read across the silence's
  // start: they are read again by their middle edges, as far as those are
  // heard.
  const std::size_t read = m_bits.Bits();
  m_gapMid = MidLevel();
  if (m_weak > 0) KeepIntoSilence();
  m_bits.Truncate(m_lastGood);
  double b = m_lastGoodEnd;
  double heard = b;        // the last edge heard before the silence
  int level = m_polarity;  // the level after it
  const std::size_t walked = ReadOn(b, heard, level);
  // The block may end here: every bit read before the collapse is known.
  m_cleanEnd = m_lastGood + walked >= read;
  m_lastGood = m_bits.Bits();
  m_lastGoodEnd = b;
  m_weak = 0;
  m_enterBit = m_lastGood;
  m_enterStart = b;
  m_quietFrom = QuietAfter(heard, level);
  // The return is looked for from the silence on, clear of the edge heard
  // last: on a recording whose edges fall on whole samples it scores as a
  // full return at its own place.
  m_t = std::max(m_quietFrom, heard + 0.5 * m_u);
  m_inGap = true;
}

bool CBoxTracker::StepGap(bool final) {
  // Looks for the signal's return a zero-bit period at a time, from where
  // it fell silent.
  const double u = m_u;
  const double len = m_len;
  const double from = m_t;
  if (!Available(from + 2.0 * u + len + 2.0, final)) return false;
  double value = 0.0;
  double edge = Strongest(from, from + 2.0 * u, m_polarity, len, value);
  if (value / (2.0 * std::max(m_amp, 1e-12) * len) > DROPOUT.returnLevel) {
    const double at = Refine(edge, m_polarity, len);
    if (m_gapSilent) {
      // A return no later than the last one would read the same bits back
      // and fall silent at the same place again, for ever: the search
      // goes on past it.
      if (at > m_returnedAt + 0.25 * u) {
        m_returnedAt = at;
        Return(at);
        return true;
      }
    } else {
      m_t = at;
      Gap gap;
      gap.before = m_enterBit;
      gap.zeros = (m_t - m_enterStart) / (2.0 * u);
      m_gaps.push_back(gap);
      m_gapStarts.push_back(m_enterStart);
      m_absorbed = 0;
      m_inGap = false;
      m_returned = true;
      m_cleanEnd = false;
      return true;
    }
  }
  m_t = from + 2.0 * u;
  if (m_t - m_enterStart > DROPOUT.maxZeros * 2.0 * u) EndData();
  return true;
}

void CBoxTracker::Return(double edge) {
  // The bits before the return whose middle edges are heard are read back
  // from it, down to the bits read before the gap.
  struct Back {
    int bit;
    double start;
  };
  Back back[DROPOUT.walkBits];
  std::size_t count = 0;
  double b = edge;
  double heard = edge;      // the first edge heard after the silence
  int level = -m_polarity;  // the level before it
  int bit = 0;
  double middle = 0.0;
  while (count < DROPOUT.walkBits && MiddleEdge(b, -1.0, bit, middle)) {
    double start = middle - (bit ? m_ratio : 1.0) * m_u;
    if (start < m_enterStart - 0.25 * m_u) break;
    heard = middle;
    level = m_polarity;
    double strength = 0.0;
    const double found = EdgeNear(start, m_polarity, strength);
    if (strength >= DROPOUT.returnLevel) {
      start = found;
      heard = start;
      level = -m_polarity;
    }
    back[count++] = {bit, start};
    b = start;
  }
  // Less than half a zero between the bits read on each side: none lost.
  const double zeros = (b - m_enterStart) / (2.0 * m_u);
  m_returned = zeros >= 0.5;
  if (m_returned) {
    Gap gap;
    gap.before = m_bits.Bits();
    gap.zeros = zeros;
    gap.quietFrom = (m_quietFrom - m_enterStart) / (2.0 * m_u);
    gap.quietTo = (QuietBefore(heard, level) - m_enterStart) / (2.0 * m_u);
    m_gaps.push_back(gap);
    m_gapStarts.push_back(m_enterStart);
  }
  while (count > 0) {
    --count;
    m_bits.Add(back[count].bit, 1.0f, back[count].start);
  }
  m_lastGood = m_bits.Bits();
  m_lastGoodEnd = edge;
  m_t = edge;
  m_absorbed = 0;
  m_inGap = false;
  m_cleanEnd = false;
}

std::size_t CBoxTracker::ReadOn(double& b, double& heard, int& level) {
  std::size_t count = 0;
  int bit = 0;
  double middle = 0.0;
  for (; count < DROPOUT.walkBits && MiddleEdge(b, 1.0, bit, middle); ++count) {
    double end = middle + (bit ? m_ratio : 1.0) * m_u;
    heard = middle;
    level = -m_polarity;
    double strength = 0.0;
    const double found = EdgeNear(end, m_polarity, strength);
    if (strength >= DROPOUT.returnLevel) {
      end = found;
      heard = end;
      level = m_polarity;
    }
    m_bits.Add(bit, 1.0f, b);
    b = end;
  }
  return count;
}

bool CBoxTracker::MiddleEdge(double b, double direction, int& bit, double& middle) const {
  // A zero's middle edge lies a zero half-period from its start and end, a
  // one's r of them; a one counts only where no edge is heard at a zero's
  // middle (the signal there is not silent).
  double zero = 0.0;
  double one = 0.0;
  const double atZero = EdgeNear(b + direction * m_u, -m_polarity, zero);
  const double atOne = EdgeNear(b + direction * m_ratio * m_u, -m_polarity, one);
  if (zero >= DROPOUT.returnLevel) {
    bit = 0;
    middle = atZero;
    return true;
  }
  if (one >= DROPOUT.returnLevel && zero < DROPOUT.flatEdge) {
    bit = 1;
    middle = atOne;
    return true;
  }
  return false;
}

double CBoxTracker::EdgeNear(double t, int polarity, double& strength) const {
  // Within a third of the way to where the other bit's edge would lie.
  const double reach = std::min(0.3, (m_ratio - 1.0) / 3.0) * m_u;
  strength = 0.0;
  if (!m_sums.Holds(t - reach - 2.0 * m_len - 1.0, t + reach + 2.0 * m_len + 1.0)) return t;
  double value = 0.0;
  const double at = Strongest(t - reach, t + reach, polarity, m_len, value);
  strength = value / (2.0 * std::max(m_amp, 1e-12) * m_len);
  return strength > 0.0 ? Refine(at, polarity, m_len) : t;
}

double CBoxTracker::MidLevel() const {
  // The mean over whole bits: each holds both levels equally long.
  const std::size_t n = std::min(m_lastGood, m_bits.Bits());
  if (n == 0) return 0.0;
  const double a = m_bits.StartOf(n > DROPOUT.midBits ? n - DROPOUT.midBits : 0);
  const double b = m_lastGoodEnd;
  if (b - a < 1.0 || !m_sums.Holds(a, b)) return 0.0;
  return m_sums.Box(a, b) / (b - a);
}

bool CBoxTracker::Silent(double a, double b) const {
  // The signal's mean distance from the middle level over [a, b) against
  // the last good bits' mean distance from it.
  const std::size_t n = std::min(m_lastGood, m_bits.Bits());
  if (n == 0) return true;
  const double from = m_bits.StartOf(n > DROPOUT.midBits ? n - DROPOUT.midBits : 0);
  const double to = m_lastGoodEnd;
  if (to - from < 4.0 || !m_sums.Holds(from, to + 1.0) || !m_sums.Holds(a, b + 1.0)) return true;
  const double mid = m_sums.Box(from, to) / (to - from);
  const auto distance = [&](double x, double y) {
    const std::int64_t first = FloorIndex(x) + 1;
    const std::int64_t last = FloorIndex(y);
    double sum = 0.0;
    for (std::int64_t i = first; i < last; ++i) {
      sum += std::fabs(m_sums.Box(static_cast<double>(i), static_cast<double>(i + 1)) - mid);
    }
    return last > first ? sum / static_cast<double>(last - first) : 0.0;
  };
  return distance(a, b) < DROPOUT.silentLevel * distance(from, to);
}

bool CBoxTracker::Heard(std::int64_t i, int level) const {
  return level * (m_sums.Box(static_cast<double>(i), static_cast<double>(i + 1)) - m_gapMid) >=
         DROPOUT.heardLevel * m_amp;
}

double CBoxTracker::QuietAfter(double edge, int level) const {
  // The first sample off the level after the edge heard last; no half-wave
  // is longer than a one's, so a level held longer is no silence.
  std::int64_t i = FloorIndex(edge) + 1;
  const std::int64_t last = FloorIndex(edge + 1.5 * m_ratio * m_u);
  if (!m_sums.Holds(static_cast<double>(i), static_cast<double>(last + 1))) return static_cast<double>(i);
  while (i <= last && Heard(i, level)) ++i;
  return static_cast<double>(i);
}

double CBoxTracker::QuietBefore(double edge, int level) const {
  // Past the last sample off the level before the first edge heard.
  std::int64_t i = FloorIndex(edge) - 1;
  const std::int64_t first = FloorIndex(edge - 1.5 * m_ratio * m_u);
  if (!m_sums.Holds(static_cast<double>(first), static_cast<double>(i + 1))) return static_cast<double>(i + 1);
  while (i >= first && Heard(i, level)) --i;
  return static_cast<double>(i + 1);
}

namespace {

// A guess stands on the bits read outside the gaps: where more than one
// in GUESS_WEAK_SHARE of them was weak (a lossy codec's smear), a wrong
// one makes the checksum pick a wrong fill, and no guess is made. (Wrong
// guesses through Ogg came with 1.8 % of the bits weak and over; right
// ones through dropouts with 0.05 % at most.)
constexpr std::size_t GUESS_WEAK_SHARE = 256;

// The bits of `read` up to `have` into `into`, each gap's fill (`values`,
// `lengths` bits a gap) laid in its place: dated across the gap by the
// bits' lengths, with no confidence of their own.
void LayFill(const std::vector<ReadBit>& read, std::size_t have, const std::vector<Gap>& gaps,
             const std::vector<double>& gapStarts, const std::vector<std::uint8_t>& values,
             const std::vector<std::size_t>& lengths, double u, double ratio, BitCollector& into) {
  std::size_t i = 0;      // into `read`
  std::size_t value = 0;  // into `values`
  for (std::size_t g = 0; g < gaps.size(); ++g) {
    for (; i < gaps[g].before; ++i) into.Add(read[i].bit, read[i].confidence, read[i].start);
    double units = 0.0;
    for (std::size_t k = 0; k < lengths[g]; ++k) units += values[value + k] ? ratio : 1.0;
    const double unit = gaps[g].zeros * 2.0 * u / units;
    double t = gapStarts[g];
    for (std::size_t k = 0; k < lengths[g]; ++k, ++value) {
      into.Add(values[value], 0.0f, t);
      t += unit * (values[value] ? ratio : 1.0);
    }
  }
  for (; i < have; ++i) into.Add(read[i].bit, read[i].confidence, read[i].start);
}

// The first `good` of `bits` into `out`, whole bytes of them unless the
// reading was `measured` (where its data starts is not known to the bit:
// its caller finds the bytes); `lastGoodEnd` where the last good one ended.
void KeepBits(BitCollector& bits, std::size_t good, bool measured, double lastGoodEnd, Candidate& out) {
  const std::size_t keep = good >= 8 && !measured ? good / 8 * 8 : good;
  double end = lastGoodEnd;
  if (keep < bits.Bits() && keep < good) end = bits.StartOf(keep);
  bits.Truncate(keep);
  if (keep > 0) {
    out.found = true;
    out.end = end;
    bits.Into(out);
  }
}

// A guess at `read`'s bits: its pilot, sync and place, no bits yet.
std::shared_ptr<Candidate> GuessOf(const Candidate& read) {
  auto out = std::make_shared<Candidate>();
  out->start = read.start;
  out->data = read.data;
  out->pilot = read.pilot;
  out->sync1 = read.sync1;
  out->sync2 = read.sync2;
  out->pilotPulses = read.pilotPulses;
  out->cut = read.cut;
  return out;
}

}  // namespace

std::shared_ptr<Candidate> GuessDropouts(Candidate& read) {
  if (!read.dropouts) return read.guess;
  const std::shared_ptr<const DropoutReading> d = std::move(read.dropouts);
  read.dropouts.reset();
  std::vector<std::uint8_t> known;
  known.reserve(d->bits.size());
  for (const ReadBit& b : d->bits) known.push_back(static_cast<std::uint8_t>(b.bit));
  const robust::GapsGuess guess = robust::GuessGaps(known, d->gaps, d->total, d->ratio);
  if (!robust::GuessStands(guess, d->gaps.size())) return nullptr;
  BitCollector bits;
  LayFill(d->bits, d->bits.size(), d->gaps, d->gapStarts, guess.values, guess.lengths, d->u, d->ratio, bits);
  auto out = GuessOf(read);
  out->zero = d->u;
  out->mendedBits = static_cast<int>(guess.values.size());
  out->mendedAt = d->gaps.front().before;
  out->mendedGaps = static_cast<int>(d->gaps.size());
  out->guessed = true;
  KeepBits(bits, bits.Bits(), d->measured, d->lastGoodEnd, *out);
  read.guess = out;
  return out;
}

std::shared_ptr<Candidate> GuessSlips(Candidate& read, std::size_t announced) {
  const std::size_t total = 8 * announced;
  const std::size_t n = read.bits.Size();
  if (read.guess || !read.found || read.usedBits != 8 || read.unmendedGaps != 0 || read.mendedBits != 0 ||
      announced < MIN_SLIP_BYTES || read.bytes.size() != announced || n != total ||
      !(read.zero > 0.0))
    return nullptr;
  const auto bit = [&](std::size_t i) { return static_cast<std::uint8_t>(BitAt(read.bytes, i)); };
  // The least sure bits, weakest first.
  std::vector<std::pair<float, std::size_t>> weak;
  for (std::size_t i = 8; i + 2 + 8 + SLIP_TAIL_BITS <= n; ++i)  // a byte read before the end
    if (read.bits.Confidence(i) < SLIP_SITE_CONFIDENCE) weak.emplace_back(read.bits.Confidence(i), i);
  const std::size_t keep = std::min(weak.size(), MAX_SLIP_SITES);
  std::partial_sort(weak.begin(), weak.begin() + static_cast<std::ptrdiff_t>(keep), weak.end());
  weak.resize(keep);
  // Each site's stretch: a one, or a zero with a zero beside it (either
  // reads as the other), or else a zero with the one after it.
  std::vector<std::pair<std::size_t, std::size_t>> spans;  // [first, end)
  for (const auto& w : weak) {
    const std::size_t i = w.second;
    std::size_t a = i, b = i + 1;
    if (bit(i) == 0) {
      if (bit(i + 1) == 0 || bit(i - 1) != 0) b = i + 2;
      else a = i - 1;
    }
    // Stretches closer than a byte join, where the join stays short (else
    // the weaker site is let go).
    bool placed = false;
    for (auto& span : spans) {
      if (a >= span.second + 8 || span.first >= b + 8) continue;
      const std::size_t first = std::min(a, span.first), end = std::max(b, span.second);
      if (end - first <= MAX_SLIP_SPAN) span = {first, end};
      placed = true;
      break;
    }
    if (!placed) spans.emplace_back(a, b);
  }
  std::sort(spans.begin(), spans.end());
  for (std::size_t k = 1; k < spans.size(); ++k)
    if (spans[k].first < spans[k - 1].second + 8) return nullptr;  // joins met after the fact
  if (spans.empty()) return nullptr;
  // The known bits between the stretches; each stretch a gap of its own
  // duration, and the last bits, with those read past them, a gap of the
  // first one or more of them.
  std::vector<ReadBit> known;
  std::vector<std::uint8_t> values;
  std::vector<Gap> gaps;
  std::vector<double> gapStarts;
  std::size_t next = 0;
  const auto take = [&](std::size_t to) {
    for (; next < to; ++next) {
      known.push_back({bit(next), read.bits.Confidence(next), read.bits.Start(next)});
      values.push_back(bit(next));
    }
  };
  for (const auto& span : spans) {
    take(span.first);
    Gap gap;
    gap.before = known.size();
    for (std::size_t i = span.first; i < span.second; ++i) gap.zeros += bit(i) ? ONE_OVER_ZERO : 1.0;
    gaps.push_back(gap);
    gapStarts.push_back(read.bits.Start(span.first));
    next = span.second;
  }
  take(n - SLIP_TAIL_BITS);
  Gap tail;
  tail.before = known.size();
  for (std::size_t k = 0; k < SLIP_TAIL_BITS; ++k) tail.bits |= std::uint32_t{bit(n - SLIP_TAIL_BITS + k)} << k;
  tail.bits |= read.after << SLIP_TAIL_BITS;
  tail.known = SLIP_TAIL_BITS + read.afterBits;
  for (std::size_t i = n - SLIP_TAIL_BITS; i < n; ++i) tail.zeros += bit(i) ? ONE_OVER_ZERO : 1.0;
  gaps.push_back(tail);
  gapStarts.push_back(read.bits.Start(n - SLIP_TAIL_BITS));
  const robust::GapsGuess guess = robust::GuessGaps(values, gaps, total, ONE_OVER_ZERO);
  if (!guess.ok) return nullptr;
  // The slips the guess undid: the stretches it reads otherwise.
  int slips = 0;
  std::size_t firstSlip = 0;
  for (std::size_t g = 0, v = 0; g + 1 < gaps.size(); v += guess.lengths[g], ++g) {
    const std::size_t length = spans[g].second - spans[g].first;
    bool same = guess.lengths[g] == length;
    for (std::size_t k = 0; same && k < length; ++k) same = guess.values[v + k] == bit(spans[g].first + k);
    if (same) continue;
    if (slips++ == 0) firstSlip = spans[g].first;
  }
  // A guess stands where it undid few slips (where the checksum fails
  // for a reason the weakest bits do not hold, a guess undoes many, each
  // making up for the last), and is likelier than any other reading by
  // MIN_GUESS_MARGIN and more, the more slips it undid.
  if (slips == 0 || static_cast<std::size_t>(slips) > MAX_SLIPS_UNDONE ||
      !(guess.margin >= robust::MIN_GUESS_MARGIN + std::log(1.0 + slips)))
    return nullptr;
  BitCollector bits;
  LayFill(known, known.size(), gaps, gapStarts, guess.values, guess.lengths, read.zero, ONE_OVER_ZERO, bits);
  auto out = GuessOf(read);
  out->zero = read.zero;
  out->mendedBits = slips;
  out->mendedAt = firstSlip;
  out->guessed = true;
  KeepBits(bits, bits.Bits(), false, read.end, *out);
  if (out->bytes.size() != announced || !BlockVerifies(out->bytes)) return nullptr;
  read.guess = out;
  return out;
}

// Dropouts in a block whose other bits are all good, and whose length is
// known: announced, a ROM header's, or ending cleanly in a pause. Returns
// how many fills fit (0, 1, 2 = more), with the one that fits (and the
// weak bits it flips), and the block's length in bits (0: whole bytes).
std::size_t CBoxTracker::FindFill(GapsFill& fill, std::uint32_t& flips, std::vector<std::size_t>& weak,
                                  std::size_t& total) {
  if (m_gaps.empty()) return 0;
  const std::size_t have = std::min(m_lastGood, m_bits.Bits());
  total = m_start.announced * 8;
  if (total == 0 && m_gaps.front().before >= 16 && m_bits.Byte(0) == 0x00 && m_bits.Byte(1) <= 3) total = 19 * 8;
  m_result.unmendedGaps = static_cast<int>(m_gaps.size());
  // Weak bits kept elsewhere may be wrong: each is tried both ways, and a
  // wrong one shows, for flipping a bit flips its column's restored bit
  // and so moves the gap's duration by a whole zero.
  for (std::size_t i : m_weakAt)
    if (i < have) weak.push_back(i);
  if ((total == 0 && !m_cleanEnd) || have <= m_gaps.back().before) return 0;
  // Too many to try (a lossy codec leaves many bits weak that read right):
  // they are taken as read, and the gaps are filled only where the
  // block's length alone fixes the fill. The checksum then tests one
  // reading, as it tests a block read plainly; where several fills give
  // the length, one of them could make up for a wrong weak bit.
  const bool forcedOnly = weak.size() > DROPOUT.weakBits;
  if (forcedOnly) weak.clear();
  std::vector<std::uint8_t> known(have);
  for (std::size_t i = 0; i < have; ++i) known[i] = static_cast<std::uint8_t>(m_bits.Bit(i));
  bool several = false;
  for (std::uint32_t mask = 0; mask < (1u << weak.size()) && !several; ++mask) {
    for (std::size_t w = 0; w < weak.size(); ++w) known[weak[w]] ^= static_cast<std::uint8_t>((mask >> w) & 1u);
    GapsFill f = FillGaps(known, m_gaps, total, m_ratio);
    for (std::size_t w = 0; w < weak.size(); ++w) known[weak[w]] ^= static_cast<std::uint8_t>((mask >> w) & 1u);
    if (f.fits == 0) continue;
    several = f.fits > 1 || fill.fits > 0;
    fill = std::move(f);
    flips = mask;
  }
  if (fill.fits == 0) return 0;
  // (The weak bits too many to try, the length alone must fix the fill.)
  return !several && fill.fits == 1 && (!forcedOnly || fill.lengthWays == 1) ? 1 : 2;
}

void CBoxTracker::ApplyFill(const GapsFill& fill, std::uint32_t flips, const std::vector<std::size_t>& weak) {
  const std::size_t have = std::min(m_lastGood, m_bits.Bits());
  for (std::size_t w = 0; w < weak.size(); ++w) {
    if (((flips >> w) & 1u) == 0) continue;
    m_bits.Flip(weak[w]);
    ++m_result.mendedBits;
  }
  std::vector<ReadBit> read;
  read.reserve(have);
  for (std::size_t i = 0; i < have; ++i) read.push_back({m_bits.Bit(i), m_bits.ConfidenceOf(i), m_bits.StartOf(i)});
  m_bits = BitCollector();
  LayFill(read, have, m_gaps, m_gapStarts, fill.values, fill.lengths, m_u, m_ratio, m_bits);
  m_lastGood = m_bits.Bits();
  m_result.mendedBits += static_cast<int>(fill.values.size());
  m_result.mendedAt = m_gaps.front().before;
  m_result.mendedGaps = static_cast<int>(m_gaps.size());
  m_result.unmendedGaps = 0;
}

void CBoxTracker::EndData() {
  m_inGap = false;
  GapsFill fill;
  std::uint32_t flips = 0;
  std::vector<std::size_t> weak;
  std::size_t total = 0;
  const std::size_t fits = FindFill(fill, flips, weak, total);
  if (fits == 1) ApplyFill(fill, flips, weak);
  const std::size_t have = std::min(m_lastGood, m_bits.Bits());
  if (fits > 1 && m_weakKept * GUESS_WEAK_SHARE <= have) {
    // More than one fits: a guess, with the weak bits as read, is made
    // only where the block is wanted and nothing else reads it.
    auto d = std::make_shared<DropoutReading>();
    d->bits.reserve(have);
    for (std::size_t i = 0; i < have; ++i) d->bits.push_back({m_bits.Bit(i), m_bits.ConfidenceOf(i), m_bits.StartOf(i)});
    d->gaps = m_gaps;
    d->gapStarts = m_gapStarts;
    d->total = total;
    d->u = m_u;
    d->ratio = m_ratio;
    d->lastGoodEnd = m_lastGoodEnd;
    d->measured = m_measured;
    d->weak = m_weakKept;
    m_result.dropouts = std::move(d);
  }
  m_result.zero = m_u;
  if (!m_measured) {
    for (std::size_t i = m_lastGood / 8 * 8; i < m_lastGood / 8 * 8 + 8 && i < m_bits.Bits(); ++i)
      m_result.after |= static_cast<std::uint32_t>(m_bits.Bit(i)) << m_result.afterBits++;
  }
  KeepBits(m_bits, m_lastGood, m_measured, m_lastGoodEnd, m_result);
  m_stage = Stage::DONE;
}

bool CBoxTracker::Advance(bool final) {
  while (Step(final)) {
  }
  return Done();
}

bool CBoxTracker::Step(bool final) {
  if (m_stage == Stage::DONE) return false;
  if (m_leader) {
    if (Follow()) return true;
    if (final) m_stage = Stage::DONE;
    return false;
  }
  if (m_stage == Stage::ACQUIRE) {
    double p = m_period;
    double len = m_tuning.boxFactor * ZERO_OVER_PILOT * p;
    double oldest = static_cast<double>(m_sums.Oldest());
    if (m_edge - 0.5 * p - len < oldest + 1.0) m_edge = oldest + 2.0 * p;
    if (!Available(m_edge + 0.5 * p + len + 2.0, final)) return false;
    double value = 0.0;
    double t = Strongest(m_edge - 0.5 * p, m_edge + 0.5 * p, 0, len, value);
    m_level = m_sums.Edge(t, len) >= 0.0 ? 1 : -1;
    LeadingEdge(t, m_level, value, len);
    m_edge = Refine(t, m_level, len);
    m_amp = value / (2.0 * len);
    m_edges = 1;
    m_stage = Stage::PILOT;
    return true;
  }
  if (m_stage == Stage::LOCATE) return Locate(final);
  if (m_stage == Stage::PILOT) return StepPilot(final);
  return m_inGap ? StepGap(final) : StepBit(final);
}

// ---------------------------------------------------------------------------

CPulseTracker::CPulseTracker(const std::vector<TriggerEdge>& edges, const PilotStart& start,
                             const TrackerTuning& tuning)
    : m_edges(edges), m_start(start), m_tuning(tuning), m_index(start.lastEdgeIndex + 1),
      m_last(edges[start.lastEdgeIndex].time), m_lastLevel(edges[start.lastEdgeIndex].level),
      m_period(start.period) {}

bool CPulseTracker::Advance(double now, bool final) {
  while (m_stage != Stage::DONE && m_index < m_edges.size()) {
    const TriggerEdge& edge = m_edges[m_index];
    const double h = edge.time - m_last;
    const int level = m_lastLevel;
    const double p = m_period;
    m_last = edge.time;
    m_lastLevel = edge.level;
    ++m_index;
    if (m_stage == Stage::PILOT) {
      const double hc = h - level * m_asym;
      if (m_pendingSync >= 0.0) {
        double h1 = m_pendingSync;
        m_pendingSync = -1.0;
        if (SYNC.edges.Fits(h1, hc, p)) {
          double p16 = Mean(m_halves, m_halfCount, (m_halfCount - 1) % 64, 16);
          if (p16 <= 0.0) p16 = p;
          m_zeroPeriod = 2.0 * p16 * ZERO_OVER_PILOT;
          m_result.start = m_start.firstEdge;
          m_result.data = edge.time;
          m_result.pilot = p;
          m_result.sync1 = edge.time - h - m_pendingStart;
          m_result.sync2 = h;
          m_result.pilotPulses = static_cast<int>(std::lround((m_pendingStart - m_start.firstEdge) / p));
          m_stage = Stage::DATA;
          m_firstHalf = -1.0;
          continue;
        }
      }
      if (std::fabs(hc - p) <= PILOT.steadiness * p) {
        int slot = m_halfCount % 64;
        m_halves[slot] = h;
        m_halfLevels[slot] = level;
        ++m_halfCount;
        if (m_halfCount >= PILOT.calibrateHalves) Calibrate(m_halves, m_halfLevels, m_halfCount, m_period, m_asym);
        ++m_pilotHalves;
      } else if (hc >= SYNC.edges.minPulse * p && hc <= SYNC.edges.maxPulse * p &&
                 m_pilotHalves >= PILOT.halvesBeforeSync) {
        m_pendingSync = hc;
        m_pendingStart = edge.time - h;
      } else {
        m_stage = Stage::DONE;  // the pilot broke off without a sync
      }
      continue;
    }
    // Data: a bit is the sum of its two half-waves.
    const double z = m_zeroPeriod;
    if (h > LOCK.gapEnd * z) {
      EndData();
      break;
    }
    if (m_firstHalf < 0.0) {
      m_firstHalf = h;
      m_bitStart = edge.time - h;
      continue;
    }
    double sum = m_firstHalf + h;
    if (std::fabs(m_firstHalf - h + 2.0 * level * m_asym) > LOCK.unequalHalves * sum) ++m_unequal;
    m_firstHalf = -1.0;
    if (sum < LOCK.minSum * z || sum > LOCK.maxSum * z ||
        (m_result.pilot > 0.0 && sum > LOCK.pilotPair * 2.0 * m_result.pilot)) {
      EndData();
      break;
    }
    int bit = sum > 1.5 * z ? 1 : 0;
    float confidence = static_cast<float>(std::min(std::fabs(sum - 1.5 * z) / (0.5 * z), CONFIDENCE.cap));
    m_zeroPeriod += LOCK.periodFollow * (sum / (1 + bit) - z);
    m_bits.Add(bit, confidence, m_bitStart);
    m_weak = confidence < static_cast<float>(LOCK.weakConfidence) ? m_weak + 1 : 0;
    if (m_bits.Bits() % 8 == 0 && CutHere(m_bits, m_bits.Bits() / 8, m_start.announced)) {
      m_result.cut = true;
      EndData();
      break;
    }
    if (m_weak >= m_tuning.stopBits || m_bits.Bits() >= 8 * m_start.maxBytes) EndData();
  }
  if (m_stage == Stage::DATA && (final || now - m_last > LOCK.silenceEnd * m_zeroPeriod)) EndData();
  if (m_stage == Stage::PILOT && (final || now - m_last > PILOT.silenceEnd * m_period)) m_stage = Stage::DONE;
  return Done();
}

void CPulseTracker::EndData() {
  if (m_firstHalf >= 0.0 && m_firstHalf < LOCK.gapEnd * m_zeroPeriod) {
    // The last half-wave of a block runs into the pause and ends in no
    // edge: its bit is decided on the first half alone, with less trust.
    const double z = m_zeroPeriod;
    int bit = m_firstHalf > 0.75 * z ? 1 : 0;
    float confidence = static_cast<float>(std::min(std::fabs(m_firstHalf - 0.75 * z) / (0.5 * z), CONFIDENCE.lastBitCap));
    m_bits.Add(bit, confidence, m_bitStart);
    m_last = m_bitStart + m_firstHalf * 2.0;
    m_firstHalf = -1.0;
  }
  std::size_t bits = m_bits.Bits();
  std::size_t keep = bits >= 8 ? bits / 8 * 8 : bits;
  double end = m_last;
  if (keep < bits) end = m_bits.StartOf(keep);
  m_bits.Truncate(keep);
  m_result.zero = 0.5 * m_zeroPeriod;
  if (keep > 0 && static_cast<double>(m_unequal) <= LOCK.unequalShare * static_cast<double>(bits)) {
    m_result.found = true;
    m_result.end = end;
    m_bits.Into(m_result);
  }
  m_stage = Stage::DONE;
}

}  // namespace robust
}  // namespace tapedecoder
