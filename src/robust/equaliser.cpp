#include "robust/equaliser.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "tape/tape_block.h"

namespace tapedecoder {
namespace robust {

namespace {

// The taps reach this far to each side. A few all-pass or low-pass
// sections at 800 Hz or more are undone within it; a longer reach lets a
// fit on the pilot alone shape the response between the pilot's harmonics
// at will, where the data's bits lie.
constexpr double REACH_SECONDS = 0.001;
// Taps a side at most; at high rates they stand further apart, about
// 1/24000 s (what the readers need lies below 6 kHz).
constexpr int MAX_HALF = 64;
// Pilot half-waves in the training stretch, from just after where the
// pilot search found the tone: 80 ms at normal speed, short enough that
// wow bends the period little, long enough to fix it to 0.2 %.
constexpr int PILOT_HALVES = 128;
// Data in the training stretch, from the data start.
constexpr double TRAIN_SECONDS = 1.0;
// Pilot half-waves before the sync of a block that verified, taught with
// its bits (its pilot's period is known to a fraction of a per cent).
constexpr int TAUGHT_PILOT_HALVES = 32;
// Ridge weight relative to the signal's power: keeps the fit from
// boosting what the tape path all but removed (noise is all there is),
// and pulls what the training leaves open towards a plain gain.
constexpr double RIDGE = 0.05;
// The ridge of the rounds tried again where none verifies: a steep
// low-pass (two sections at 1 kHz) leaves the zero bits' band 25 dB down
// and the sync's further, where the plain ridge holds the fit near a
// plain gain. Taught from the data, whose bits span that band, the fit
// may lift it; noise in the recording then holds the fit back by itself.
constexpr double LIFTING_RIDGE = 0.002;
// Rounds of fitting: the first from the pilot alone, each later one also
// from the sync and bits of a reading (two fits and readings a round);
// the later ones run once at each ridge.
constexpr int ROUNDS = 3;
// Samples filtered and handed to the tracker at a time.
constexpr std::int64_t CHUNK = 4096;
constexpr double PI = 3.14159265358979323846;
// A reading that stops this close to the last sample given stopped for
// want of samples, not at a break in the signal.
constexpr double RAN_OUT_SECONDS = 0.05;
// A reading with more than one bit in UNSURE_SHARE read at a confidence
// under UNSURE_CONFIDENCE is held while the other passes run (Keep):
// right ones through a fitting equaliser have a few in 10,000 at most,
// wrong ones that verified by chance several per cent.
constexpr float UNSURE_CONFIDENCE = 0.15f;
constexpr std::size_t UNSURE_SHARE = 64;
// The ROM's two sync pulses over the pilot's half-period.
constexpr double BREAK_SYNC = (667.0 + 735.0) / 2168.0;

void Fill(std::vector<float>& target, std::int64_t from, double a, double b, float level) {
  const auto size = static_cast<std::int64_t>(target.size());
  const std::int64_t first = std::clamp(static_cast<std::int64_t>(std::lround(a)) - from, std::int64_t{0}, size);
  const std::int64_t last = std::clamp(static_cast<std::int64_t>(std::lround(b)) - from, std::int64_t{0}, size);
  for (std::int64_t i = first; i < last; ++i) target[static_cast<std::size_t>(i)] = level;
}

// Solves the symmetric positive definite system a·x = b (n×n, row-major)
// by Cholesky; false when it is not positive definite.
bool SolveSpd(std::vector<double>& a, std::vector<double>& b, int n) {
  for (int j = 0; j < n; ++j) {
    double d = a[j * n + j];
    for (int k = 0; k < j; ++k) d -= a[j * n + k] * a[j * n + k];
    if (!(d > 0.0)) return false;
    d = std::sqrt(d);
    a[j * n + j] = d;
    for (int i = j + 1; i < n; ++i) {
      double s = a[i * n + j];
      for (int k = 0; k < j; ++k) s -= a[i * n + k] * a[j * n + k];
      a[i * n + j] = s / d;
    }
  }
  for (int i = 0; i < n; ++i) {
    double s = b[i];
    for (int k = 0; k < i; ++k) s -= a[i * n + k] * b[k];
    b[i] = s / a[i * n + i];
  }
  for (int i = n - 1; i >= 0; --i) {
    double s = b[i];
    for (int k = i + 1; k < n; ++k) s -= a[k * n + i] * b[k];
    b[i] = s / a[i * n + i];
  }
  return true;
}

// Calls visit(y, t) for each sample where `target` is set (t != 0), y
// being `eq`'s output on `x` there.
template <typename Visit>
void ForEachTaught(const Equaliser& eq, const std::vector<float>& x, const std::vector<float>& target, Visit visit) {
  const std::int64_t reach = static_cast<std::int64_t>(eq.half) * eq.stride;
  const int n = 2 * eq.half + 1;
  for (std::int64_t i = reach; i + reach < static_cast<std::int64_t>(std::min(x.size(), target.size())); ++i) {
    const float t = target[static_cast<std::size_t>(i)];
    if (t == 0.0f) continue;
    const float* base = x.data() + (i - reach);
    double y = 0.0;
    for (int j = 0; j < n; ++j) y += eq.taps[static_cast<std::size_t>(j)] * base[j * eq.stride];
    visit(y, t);
  }
}

// The correlation of `eq`'s output on `x` with `target` where it is set.
double Agreement(const Equaliser& eq, const std::vector<float>& x, const std::vector<float>& target) {
  double sum = 0.0;
  ForEachTaught(eq, x, target, [&sum](double y, float t) { sum += t * y; });
  return sum;
}

// The mean square of `eq`'s output on `x` less `target`, where it is set.
double MeanSquareMiss(const Equaliser& eq, const std::vector<float>& x, const std::vector<float>& target) {
  double sum = 0.0;
  std::int64_t count = 0;
  ForEachTaught(eq, x, target, [&](double y, float t) {
    sum += (y - t) * (y - t);
    ++count;
  });
  return count > 0 ? sum / static_cast<double>(count) : 1e300;
}

}  // namespace

std::vector<float> SquareTarget(const Candidate& reading, std::int64_t from, std::size_t size, int pilotHalves) {
  std::vector<float> target(size, 0.0f);
  const double zero = reading.zero;
  if (!(zero > 0.0)) return target;
  // Every bit starts on the same level (two half-waves each); the sync's
  // second pulse and the pilot before it alternate back from there.
  if (reading.pilot > 0.0 && reading.sync1 > 0.0 && reading.sync2 > 0.0) {
    const double sync2 = reading.data - reading.sync2;
    const double sync1 = sync2 - reading.sync1;
    Fill(target, from, sync2, reading.data, -1.0f);
    Fill(target, from, sync1, sync2, 1.0f);
    for (int k = 1; k <= pilotHalves; ++k) {
      Fill(target, from, sync1 - k * reading.pilot, sync1 - (k - 1) * reading.pilot, k % 2 ? -1.0f : 1.0f);
    }
  }
  const std::size_t bits = std::min(reading.bits.Size(), 8 * reading.bytes.size());
  const double end = static_cast<double>(from) + static_cast<double>(size);
  for (std::size_t i = 0; i < bits; ++i) {
    const double s = reading.bits.Start(i);
    if (s >= end) break;
    const int bit = BitAt(reading.bytes, i);
    const double nominal = 2.0 * zero * (bit ? 2.0 : 1.0);
    double e = i + 1 < bits ? reading.bits.Start(i + 1) : s + nominal;
    // A bit far from its length (a dropout read across, a slip) teaches
    // nothing reliable.
    if (e - s < 0.7 * nominal || e - s > 1.4 * nominal) continue;
    const double mid = 0.5 * (s + e);
    Fill(target, from, s, mid, 1.0f);
    Fill(target, from, mid, e, -1.0f);
  }
  return target;
}

Equaliser FitEqualiser(const std::vector<TrainingStretch>& stretches, int half, int stride, double ridge) {
  Equaliser eq;
  const int n = 2 * half + 1;
  const std::int64_t reach = static_cast<std::int64_t>(half) * stride;
  // Normal equations, summed over the stretches, each with the
  // autocorrelation over its rows' reach (Toeplitz: a few dozen products
  // a sample instead of thousands).
  std::vector<double> r(static_cast<std::size_t>(n), 0.0);
  std::vector<double> p(static_cast<std::size_t>(n), 0.0);
  std::int64_t rows = 0;
  for (const TrainingStretch& stretch : stretches) {
    const std::vector<float>& x = *stretch.x;
    const std::vector<float>& target = *stretch.target;
    const auto size = static_cast<std::int64_t>(std::min(x.size(), target.size()));
    // The rows: samples with a target whose taps stay inside x.
    std::int64_t lo = size, hi = 0;
    for (std::int64_t i = reach; i < size - reach; ++i) {
      if (target[static_cast<std::size_t>(i)] == 0.0f) continue;
      lo = std::min(lo, i);
      hi = i + 1;
    }
    if (hi <= lo) continue;
    double mean = 0.0;
    for (std::int64_t i = lo - reach; i < hi + reach; ++i) mean += x[static_cast<std::size_t>(i)];
    mean /= static_cast<double>(hi - lo + 2 * reach);
    for (std::int64_t i = lo - reach; i < hi + reach; ++i) {
      const double xi = x[static_cast<std::size_t>(i)] - mean;
      for (int k = 0; k < n; ++k) {
        const std::int64_t j = i + static_cast<std::int64_t>(k) * stride;
        if (j >= hi + reach) break;
        r[static_cast<std::size_t>(k)] += xi * (x[static_cast<std::size_t>(j)] - mean);
      }
    }
    for (std::int64_t i = lo; i < hi; ++i) {
      const float t = target[static_cast<std::size_t>(i)];
      if (t == 0.0f) continue;
      ++rows;
      const float* base = x.data() + (i - reach);
      for (int k = 0; k < n; ++k) p[static_cast<std::size_t>(k)] += t * (base[k * stride] - mean);
    }
  }
  if (rows < 8 * n || !(r[0] > 0.0)) return eq;
  std::vector<double> a(static_cast<std::size_t>(n) * static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) a[static_cast<std::size_t>(i * n + j)] = r[static_cast<std::size_t>(std::abs(i - j))];
  // The ridge pulls towards a plain gain (the recording as it is, scaled
  // to the target and of its sign): what the training does not tell -- the
  // frequencies between the pilot's harmonics -- passes unchanged.
  const double gain = p[static_cast<std::size_t>(half)] / r[0];
  for (int i = 0; i < n; ++i) a[static_cast<std::size_t>(i * n + i)] += ridge * r[0];
  p[static_cast<std::size_t>(half)] += ridge * r[0] * gain;
  if (!SolveSpd(a, p, n)) return eq;
  eq.taps = std::move(p);
  eq.half = half;
  eq.stride = stride;
  return eq;
}

CBlockEqualiser::CBlockEqualiser(double rate, std::size_t ringCapacity)
    : m_rate(rate), m_ringCapacity(ringCapacity) {
  m_stride = std::max(1, static_cast<int>(std::lround(rate / 24000.0)));
  m_half = std::clamp(static_cast<int>(std::lround(REACH_SECONDS * rate / m_stride)), 4, MAX_HALF);
}

CBlockEqualiser::~CBlockEqualiser() = default;

bool CBlockEqualiser::Load(const SampleReader& read, std::int64_t available, double from, double to,
                           std::vector<float>& x, std::int64_t& first) const {
  const std::int64_t reach = static_cast<std::int64_t>(m_half) * m_stride;
  first = std::max<std::int64_t>(0, static_cast<std::int64_t>(from) - reach - 8);
  const std::int64_t last = std::min(available, static_cast<std::int64_t>(to) + reach + 8);
  if (last - first < 16 * reach) return false;
  x.resize(static_cast<std::size_t>(last - first));
  return read(first, x.data(), x.size()) == x.size();
}

bool CBlockEqualiser::PilotTarget(double from, double to, double period, std::vector<float>& target,
                                  double& edge) {
  const auto a = static_cast<std::int64_t>(std::ceil(from)) - m_pilotFrom;
  const auto b = static_cast<std::int64_t>(std::floor(to)) - m_pilotFrom;
  const std::vector<float>& x = m_pilotX;
  target.assign(x.size(), 0.0f);
  if (a < 0 || b > static_cast<std::int64_t>(x.size()) || b - a < 8) return false;
  // The pilot's fundamental: its period (within 3 % of the reading's)
  // and phase, from its strongest correlation with a sine.
  double best = -1.0, c = 0.0, s = 0.0;
  for (int step = -15; step <= 15; ++step) {
    const double p = period * (1.0 + 0.002 * step);
    double cs = 0.0, sn = 0.0;
    for (std::int64_t i = a; i < b; ++i) {
      const double w = PI * static_cast<double>(i - a) / p;
      cs += x[static_cast<std::size_t>(i)] * std::cos(w);
      sn += x[static_cast<std::size_t>(i)] * std::sin(w);
    }
    if (cs * cs + sn * sn > best) best = cs * cs + sn * sn, c = cs, s = sn, m_pilotPeriod = p;
  }
  if (!(best > 0.0)) return false;
  // x ~ cos(pi t / P - theta): the square wave in phase with it.
  const double theta = std::atan2(s, c);
  for (std::int64_t i = a; i < b; ++i) {
    const double w = PI * static_cast<double>(i - a) / m_pilotPeriod - theta;
    target[static_cast<std::size_t>(i)] = std::cos(w) >= 0.0 ? 1.0f : -1.0f;
  }
  // An edge a few half-waves into the stretch (w = pi/2 + k pi).
  edge = static_cast<double>(a + m_pilotFrom) + m_pilotPeriod * (theta / PI + 0.5 + 8.0);
  return true;
}

Candidate CBlockEqualiser::ReadThrough(const SampleReader& read, std::int64_t available, const Equaliser& eq,
                                       const PilotStart& start, const TrackerTuning& tuning) {
  const std::int64_t reach = static_cast<std::int64_t>(eq.half) * eq.stride;
  // The ring starts a few half-waves before the pilot edge the tracker
  // starts on (the box filters look back).
  const std::int64_t from = std::max<std::int64_t>(0, static_cast<std::int64_t>(start.lastEdge - 6.0 * start.period) - 16);
  if (!m_sums) m_sums = std::make_unique<PrefixRing>(m_ringCapacity);
  m_sums->Restart(from);
  CBoxTracker tracker(*m_sums, start, tuning);
  std::int64_t next = from;         // the next sample filtered
  std::int64_t rawBegin = from - reach;  // m_raw[0]'s index (samples outside the stream read as 0)
  m_raw.clear();
  bool final = false;
  while (!tracker.Done()) {
    if (tracker.Step(final)) continue;
    if (final) break;
    if (next >= available) {
      final = true;
      continue;
    }
    const std::int64_t outEnd = std::min(next + CHUNK, available);
    const std::int64_t rawEnd = outEnd + reach;
    std::int64_t have = rawBegin + static_cast<std::int64_t>(m_raw.size());
    if (have < 0) {
      m_raw.resize(m_raw.size() + static_cast<std::size_t>(std::min<std::int64_t>(0, rawEnd) - have), 0.0f);
      have = std::min<std::int64_t>(0, rawEnd);
    }
    if (have < std::min(rawEnd, available)) {
      const auto want = static_cast<std::size_t>(std::min(rawEnd, available) - have);
      const std::size_t at = m_raw.size();
      m_raw.resize(at + want);
      if (read(have, m_raw.data() + at, want) != want) return Candidate();
      have += static_cast<std::int64_t>(want);
    }
    if (have < rawEnd) m_raw.resize(m_raw.size() + static_cast<std::size_t>(rawEnd - have), 0.0f);
    m_out.resize(static_cast<std::size_t>(outEnd - next));
    const int n = 2 * eq.half + 1;
    for (std::size_t k = 0; k < m_out.size(); ++k) {
      const float* base = m_raw.data() + (next + static_cast<std::int64_t>(k) - reach - rawBegin);
      double y = 0.0;
      for (int j = 0; j < n; ++j) y += eq.taps[static_cast<std::size_t>(j)] * base[j * eq.stride];
      m_out[k] = static_cast<float>(y);
    }
    m_sums->Push(m_out.data(), m_out.size());
    next = outEnd;
    const std::int64_t drop = next - reach - rawBegin;
    m_raw.erase(m_raw.begin(), m_raw.begin() + static_cast<std::ptrdiff_t>(drop));
    rawBegin += drop;
  }
  return std::move(tracker.Result());
}

bool CBlockEqualiser::Prepare(const SampleReader& read, std::int64_t available, const PilotStart& session,
                              const Candidate& first, PilotStart& start) {
  if (!(session.period >= 3.0)) return false;
  // The pilot a few half-waves after the search found it, before the
  // first reading's sync (which may lie late, in the data) where it found
  // one.
  const double period = session.period;
  const double pilotFrom = session.lastEdge + 4.0 * period;
  double pilotTo = pilotFrom + PILOT_HALVES * period;
  if (first.found) pilotTo = std::min(pilotTo, first.data - 8.0 * period);
  if (pilotTo - pilotFrom < 32.0 * period) return false;
  if (!Load(read, available, pilotFrom, pilotTo, m_pilotX, m_pilotFrom)) return false;
  double edge = 0.0;
  if (!PilotTarget(pilotFrom, pilotTo, period, m_pilotTarget, edge)) return false;
  // The equalised reading starts on the pilot there, and finds its own sync.
  start = session;
  start.period = m_pilotPeriod;
  start.lastEdge = edge;
  start.firstEdge = edge - 8.0 * m_pilotPeriod;
  return true;
}

bool CBlockEqualiser::Keep(Candidate& c, const PilotStart& session, const Candidate& first, const Equaliser& eq) {
  // Kept by the readers' own rule: whole bytes that verify, with no
  // dropout left unmended (its checksum could pass by chance), at the
  // length a header announced where one did: a long block is read again
  // as its samples come, each reading cut short where they end, and one
  // in 256 of those verifies by chance.
  if (!c.found || c.usedBits != 8 || c.unmendedGaps != 0 || !BlockVerifies(c.bytes)) return false;
  if (session.announced != 0 && c.bytes.size() != session.announced) return false;
  // A sync dated from where the pilot broke off may lie a bit or more
  // off; the block's bytes then come out shifted, or with faint bits
  // merged, and on data that repeats (a fill, a pattern) the checksum can
  // hold for them. Such a reading stands only where it was cut at a
  // length known before: the one announced, or a ROM header's.
  if (c.syncUnseen && !c.cut) return false;
  if (first.found) {
    c.start = first.start;
    c.pilot = first.pilot;
    c.pilotPulses = first.pilotPulses;
  } else {
    // The pilot as far back as the search found it.
    if (c.pilot > 0.0) c.pilotPulses += static_cast<int>(std::lround((c.start - session.firstEdge) / c.pilot));
    c.start = session.firstEdge;
  }
  // A reading unsure of many of its bits (an equaliser that left one kind
  // of bit faint) may verify by chance, which pass after pass here make
  // likelier: two faint zeros read as a one keep the time and the
  // checksum holds once in 256. It is held while the other passes run,
  // the surest of such readings kept where none is sure.
  std::size_t unsure = 0;
  for (std::size_t i = 0; i < c.bits.Size(); ++i) unsure += c.bits.Confidence(i) < UNSURE_CONFIDENCE ? 1 : 0;
  const double share = c.bits.Size() > 0 ? static_cast<double>(unsure) / static_cast<double>(c.bits.Size()) : 1.0;
  if (share * UNSURE_SHARE > 1.0) {
    if (!m_doubtful.found || share < m_doubtfulShare) {
      m_doubtful = c;  // still a teacher for the next pass
      m_doubtfulShare = share;
      m_doubtfulFit = eq;
    }
    return false;
  }
  m_result = std::move(c);
  return true;
}

bool CBlockEqualiser::KeepDoubtful() {
  if (!m_doubtful.found) return false;
  m_result = std::move(m_doubtful);
  m_lastGood = std::move(m_doubtfulFit);
  m_doubtful = Candidate();
  return true;
}

bool CBlockEqualiser::Read(const SampleReader& read, std::int64_t available, const PilotStart& session,
                           const Candidate& first, const TrackerTuning& tuning) {
  PilotStart start;
  m_doubtful = Candidate();
  if (!Prepare(read, available, session, first, start)) return false;
  // The equalised signal has the smear undone: its sync is measured as it
  // is (dated from the pilot's grid, a false sync the noise made would
  // pass).
  TrackerTuning readTuning = tuning;
  readTuning.syncFromGrid = false;
  m_ranOut = false;
  m_ranOutZero = 0.0;
  // Where a steep low-pass left no trace of the sync, the readers find
  // none, or one late in the data: the passes run again with the sync
  // dated from where the pilot breaks off, on the grid point where the
  // pilot stopped, then where the edge before it was the sync's first one
  // (all that is left of it). Each only where a reading of the pass
  // before did date a sync so.
  bool unseen = true;
  for (const double breakSync : {0.0, BREAK_SYNC, -BREAK_SYNC}) {
    if (!unseen) break;
    readTuning.breakSync = breakSync;
    unseen = false;
    if (ReadAll(read, available, session, first, start, readTuning, unseen)) return true;
    if (breakSync == 0.0) unseen = true;
  }
  if (ReadMeasured(read, available, session, first)) return true;
  return KeepDoubtful();
}

void CBlockEqualiser::Remember(const Candidate& verified) {
  if (!verified.found || !(verified.zero > 0.0) || !(verified.pilot > 0.0) || verified.one > 0.0) return;
  // The bits of the stretch an equaliser is taught on, whole bytes.
  std::size_t bits = 0;
  const double end = verified.data + TRAIN_SECONDS * m_rate;
  while (bits < verified.bits.Size() && verified.bits.Start(bits) < end) ++bits;
  const std::size_t bytes = std::min(verified.bytes.size(), (bits + 7) / 8);
  m_teacher = Candidate();
  m_teacher.found = true;
  m_teacher.bytes.assign(verified.bytes.begin(), verified.bytes.begin() + static_cast<std::ptrdiff_t>(bytes));
  for (std::size_t i = 0; i < std::min(bits, 8 * bytes); ++i)
    m_teacher.bits.Add(verified.bits.Confidence(i), verified.bits.Start(i));
  m_teacher.data = verified.data;
  m_teacher.pilot = verified.pilot;
  m_teacher.sync1 = verified.sync1;
  m_teacher.sync2 = verified.sync2;
  m_teacher.zero = verified.zero;
}

namespace {

// The half-waves a measure of a loader's bits looks at, and the fewest
// that make one.
constexpr std::size_t MEASURED_HALVES = 512;
constexpr std::size_t MIN_MEASURED_HALVES = 64;
// The most of the pilot measured from.
constexpr double MAX_PILOT_HALVES = 4096.0;
// How far the bits' recent lengths may leave those measured at the start
// (a deck's wow is a few per cent).
constexpr double MAX_LENGTH_DRIFT = 0.08;

// The root mean square of `y`.
double Rms(const std::vector<float>& y) {
  double power = 0.0;
  for (const float v : y) power += static_cast<double>(v) * v;
  return std::sqrt(power / static_cast<double>(std::max<std::size_t>(y.size(), 1)));
}

// Zero crossings of `y` (index 0 at sample `first`), each counted once the
// signal has gone `h` past it.
std::vector<double> Crossings(const std::vector<float>& y, std::int64_t first, double h) {
  std::vector<double> out;
  int state = 0;
  std::size_t lastSide = 0;  // the last sample on the current side
  for (std::size_t k = 0; k < y.size(); ++k) {
    const int side = y[k] > h ? 1 : y[k] < -h ? -1 : 0;
    if (side != 0 && side != state) {
      if (state != 0) {
        std::size_t j = lastSide;
        while (j + 1 < k && (y[j + 1] > 0.0f) == (state > 0)) ++j;
        const double a = y[j], b = y[j + 1];
        out.push_back(static_cast<double>(first) + static_cast<double>(j) + (a != b ? a / (a - b) : 0.5));
      }
      state = side;
    }
    if (side == state && side != 0) lastSide = k;
  }
  return out;
}

// `x` through `eq`, where its taps reach: y[k] stands for x[k + reach].
void Filter(const Equaliser& eq, const std::vector<float>& x, std::vector<float>& y) {
  const std::size_t reach = static_cast<std::size_t>(eq.half * eq.stride);
  y.assign(x.size() > 2 * reach ? x.size() - 2 * reach : 0, 0.0f);
  const int n = 2 * eq.half + 1;
  for (std::size_t k = 0; k < y.size(); ++k) {
    double v = 0.0;
    for (int j = 0; j < n; ++j) v += eq.taps[static_cast<std::size_t>(j)] * x[k + static_cast<std::size_t>(j * eq.stride)];
    y[k] = static_cast<float>(v);
  }
}

// Two clusters of `halves` (log-scaled means): their centres, false where
// either holds under a twentieth of them or they lie closer than 1.4:1.
bool TwoClusters(const std::vector<double>& halves, double& low, double& high) {
  low = *std::min_element(halves.begin(), halves.end());
  high = *std::max_element(halves.begin(), halves.end());
  std::size_t lows = 0;
  for (int round = 0; round < 12; ++round) {
    const double split = std::sqrt(low * high);
    double a = 0.0, b = 0.0;
    std::size_t na = 0, nb = 0;
    for (const double d : halves) (d < split ? (a += d, ++na) : (b += d, ++nb));
    if (na == 0 || nb == 0) return false;
    low = a / static_cast<double>(na), high = b / static_cast<double>(nb);
    lows = na;
  }
  const std::size_t least = halves.size() / 20;
  return lows >= least && halves.size() - lows >= least && high >= 1.4 * low;
}

}  // namespace

bool CBlockEqualiser::ReadMeasured(const SampleReader& read, std::int64_t available, const PilotStart& session,
                                   const Candidate& first) {
  if (!first.found || !(m_pilotPeriod > 0.0)) return false;
  // The fit that last gave a block knows the tape path beyond the pilot's
  // few harmonics (a loader's bits are shorter than the ROM's); then one
  // taught by the last block read plainly, with the pilot (the block that
  // last gave a fit may have been too short to teach the whole band); the
  // pilot's alone only where there is neither.
  if (!m_lastGood.taps.empty() && ReadMeasuredThrough(read, available, session, first, m_lastGood)) return true;
  const Equaliser pilotOnly = FitEqualiser({{&m_pilotX, &m_pilotTarget}}, m_half, m_stride, RIDGE);
  if (pilotOnly.taps.empty()) return false;
  if (m_teacher.found) {
    std::int64_t from = 0;
    const double lead = m_teacher.sync1 + m_teacher.sync2 + TAUGHT_PILOT_HALVES * m_teacher.pilot;
    if (Load(read, available, m_teacher.data - lead, m_teacher.data + TRAIN_SECONDS * m_rate, m_dataX, from)) {
      m_dataTarget = SquareTarget(m_teacher, from, m_dataX.size(), TAUGHT_PILOT_HALVES);
      if (Agreement(pilotOnly, m_dataX, m_dataTarget) < 0.0)
        for (float& v : m_dataTarget) v = -v;
      const Equaliser taught =
          FitEqualiser({{&m_pilotX, &m_pilotTarget}, {&m_dataX, &m_dataTarget}}, m_half, m_stride, RIDGE);
      return !taught.taps.empty() && ReadMeasuredThrough(read, available, session, first, taught);
    }
  }
  return m_lastGood.taps.empty() && ReadMeasuredThrough(read, available, session, first, pilotOnly);
}

bool CBlockEqualiser::ReadMeasuredThrough(const SampleReader& read, std::int64_t available,
                                          const PilotStart& session, const Candidate& first, const Equaliser& eq) {
  const double period = m_pilotPeriod;
  // From well inside the pilot, before where the first reading found its
  // sync (or where the pilot search last saw the pilot, where that reading
  // found a sync late, in the data), through the first few hundred
  // half-waves of data.
  std::vector<float> x;
  std::int64_t xFirst = 0;
  const double from = std::max(std::min(first.data - first.sync1 - first.sync2 - 48.0 * period, session.lastEdge),
                               first.data - MAX_PILOT_HALVES * period);
  const double to = first.data + static_cast<double>(MEASURED_HALVES) * period;
  if (!Load(read, available, from, to, x, xFirst)) return false;
  std::vector<float> y;
  Filter(eq, x, y);
  // A fifth of the signal's level over the pilot and the data.
  const double h = 0.2 * Rms(y);
  const std::vector<double> t = Crossings(y, xFirst + eq.half * eq.stride, h);
  // The pilot's half-waves, then the sync's two, then the data's.
  std::size_t i = 0, pilot = 0;
  for (; i + 1 < t.size(); ++i) {
    const double d = t[i + 1] - t[i];
    if (std::fabs(d / period - 1.0) < 0.25) {
      ++pilot;
    } else if (pilot >= 16) {
      break;
    } else {
      pilot = 0;
    }
  }
  if (pilot < 16 || i + 3 >= t.size()) return false;
  const double sync1 = t[i + 1] - t[i], sync2 = t[i + 2] - t[i + 1];
  const std::size_t data = i + 2;
  std::vector<double> halves;
  for (std::size_t k = data; k + 1 < t.size() && halves.size() < MEASURED_HALVES; ++k) {
    const double d = t[k + 1] - t[k];
    if (d > 3.0 * period) break;  // a pause
    halves.push_back(d);
  }
  if (halves.size() < MIN_MEASURED_HALVES) return false;
  double zero = 0.0, one = 0.0;
  if (!TwoClusters(halves, zero, one) || one > 3.0 * zero) return false;
  // Bits come in pairs of like half-waves from the data's first edge on.
  const double split = std::sqrt(zero * one);
  std::size_t pairs = 0, alike = 0;
  for (std::size_t k = 0; k + 1 < halves.size(); k += 2, ++pairs) alike += (halves[k] < split) == (halves[k + 1] < split);
  if (10 * alike < 9 * pairs) return false;
  // The ROM's lengths for this pilot: the readers before read those.
  const double romZero = period * ROM_ZERO_PULSE / ROM_PILOT_PULSE;
  if (std::fabs(zero / romZero - 1.0) < 0.12 && std::fabs(one / (2.0 * romZero) - 1.0) < 0.12) return false;
  Candidate c = ReadCrossings(read, available, eq, t[data], zero, one, h, session.maxBytes);
  if (!c.found) return false;
  c.pilot = period;
  c.sync1 = sync1;
  c.sync2 = sync2;
  return Keep(c, session, first, eq);
}

Candidate CBlockEqualiser::ReadCrossings(const SampleReader& read, std::int64_t available, const Equaliser& eq,
                                         double dataEdge, double zero, double one, double h, std::size_t maxBytes) {
  Candidate c;
  const double split = std::sqrt(zero * one);
  const std::int64_t reach = static_cast<std::int64_t>(eq.half) * eq.stride;
  constexpr std::int64_t STEP = 1 << 15, LEAD = 64;
  std::vector<float> x, y;
  std::vector<double> halves;  // the half-waves not yet paired
  double last = dataEdge;      // the last crossing taken
  BitCollector bits;
  double zeros = 0.0, ones = 0.0;  // the lengths of bits between two of their kind
  std::size_t zeroCount = 0, oneCount = 0;
  int kinds[2] = {-1, -1};    // the last two bits
  double previous = 0.0;      // the last bit's length
  double recentZero = 2.0 * zero, recentOne = 2.0 * one;  // the bits' lengths lately (16 bits' memory)
  int unlikeFirst = -1;       // the bit the first half of an unlike pair that ended the reading tells
  double unlikeStart = 0.0;
  bool ended = false;
  for (std::int64_t p = static_cast<std::int64_t>(std::floor(dataEdge)) + 1; !ended && p < available; p += STEP) {
    std::int64_t first = 0;
    if (!Load(read, available, static_cast<double>(p - LEAD), static_cast<double>(std::min(p + STEP, available)), x, first))
      break;
    Filter(eq, x, y);
    if (y.empty()) break;
    for (const double at : Crossings(y, first + reach, h)) {
      if (at <= last + 0.5 || at >= static_cast<double>(std::min(p + STEP, available))) continue;
      const double d = at - last;
      if (d > 2.5 * one) {  // the pause after the block
        ended = true;
        break;
      }
      halves.push_back(d);
      const double start = last;
      last = at;
      if (halves.size() < 2) continue;
      // A bit: two half-waves of one kind. Where the smear the equaliser
      // left moves the crossing between a bit's halves (the first half of
      // a zero after a one comes out long), the pair is the bit whose
      // length the two together come near, nearer than a pair out of step
      // with the bits (half of each, zero + one) does: within three
      // quarters of the way to that.
      bool a = halves[0] >= split, b = halves[1] >= split;
      if (a != b) {
        const double sum = halves[0] + halves[1];
        const bool isOne = sum >= zero + one;
        if (std::fabs(sum - 2.0 * (isOne ? one : zero)) < 0.75 * (one - zero)) a = b = isOne;
      }
      if (a != b) {
        unlikeFirst = a ? 1 : 0;
        unlikeStart = start - halves[0];
        ended = true;
        break;
      }
      // Bits of other lengths going on: the block ends before them, and
      // this reading runs on into them (the checksum may then hold for
      // both together): no reading.
      const double length = halves[0] + halves[1];
      double& recent = a ? recentOne : recentZero;
      recent += (length - recent) / 16.0;
      if (std::fabs(recent / (a ? 2.0 * one : 2.0 * zero) - 1.0) > MAX_LENGTH_DRIFT) return c;
      bits.Add(a ? 1 : 0, 1.0f, start - halves[0]);
      // The bit before, between bits of its kind: its edges moved with its
      // neighbours' no more than theirs did (a filter's smear lengthens a
      // zero after a one), so its length is its own.
      const int bit = a ? 1 : 0;
      if (bit == kinds[0] && bit == kinds[1]) (bit ? ones : zeros) += previous, ++(bit ? oneCount : zeroCount);
      kinds[0] = kinds[1], kinds[1] = bit;
      previous = length;
      halves.clear();
      if (bits.Bits() >= 8 * maxBytes) {
        ended = true;
        break;
      }
    }
  }
  // The block's last bit, its second half running on into the pause (the
  // equalised signal's tail crosses the level late): the bit its first
  // half tells, where the whole bytes then verify.
  if (unlikeFirst >= 0 && bits.Bits() % 8 == 7) {
    bits.Add(unlikeFirst, 0.5f, unlikeStart);
    if (!bits.PrefixVerifies(bits.Bits() / 8)) bits.Truncate(bits.Bits() - 1);
  }
  // A few bits read on into the pause (its hiss crossing the level): the
  // block is its whole bytes where those verify.
  if (bits.Bits() % 8 != 0 && bits.Bits() > 8 && bits.PrefixVerifies(bits.Bits() / 8)) {
    last = bits.StartOf(bits.Bits() / 8 * 8);  // the end of its last whole byte
    bits.Truncate(bits.Bits() / 8 * 8);
  }
  if (bits.Bits() < 16) return c;
  // Too few runs to measure one kind by: the other's length and the
  // ratio measured on the half-waves.
  if (zeroCount == 0 && oneCount == 0) zeros = 2.0 * zero, ones = 2.0 * one, zeroCount = oneCount = 1;
  if (zeroCount == 0) zeros = ones / static_cast<double>(oneCount) * zero / one, zeroCount = 1;
  if (oneCount == 0) ones = zeros / static_cast<double>(zeroCount) * one / zero, oneCount = 1;
  c.found = true;
  c.data = dataEdge;
  c.end = last;
  c.zero = zeros / (2.0 * static_cast<double>(zeroCount));
  c.one = ones / (2.0 * static_cast<double>(oneCount));
  // Both scaled so that the bits last as long as the block did.
  std::size_t setBits = 0;
  for (std::size_t i = 0; i < bits.Bits(); ++i) setBits += static_cast<std::size_t>(bits.Bit(i));
  const double nominal = 2.0 * (c.zero * static_cast<double>(bits.Bits() - setBits) + c.one * static_cast<double>(setBits));
  const double scale = (last - bits.StartOf(0)) / nominal;
  if (scale > 0.9 && scale < 1.1) c.zero *= scale, c.one *= scale;
  bits.Into(c);
  return c;
}
bool CBlockEqualiser::ReadAll(const SampleReader& read, std::int64_t available, const PilotStart& session,
                              const Candidate& first, const PilotStart& start, const TrackerTuning& readTuning,
                              bool& unseen) {
  const auto keep = [&](Candidate& c, const Equaliser& eq) {
    unseen = unseen || c.syncUnseen;
    if (Keep(c, session, first, eq)) return true;
    if (c.found && c.usedBits == 8 && c.unmendedGaps == 0 &&
        c.end >= static_cast<double>(available) - RAN_OUT_SECONDS * m_rate) {
      m_ranOut = true;
      m_ranOutData = c.data;
      m_ranOutZero = std::max(m_ranOutZero, c.zero);
    }
    return false;
  };
  // The tape path seldom changes from block to block: the equaliser that
  // last gave a block is tried first. A header is too short to teach one
  // (a second of data, and its first reading has too few bits right).
  if (!m_lastGood.taps.empty()) {
    Candidate c = ReadThrough(read, available, m_lastGood, start, readTuning);
    if (keep(c, m_lastGood)) return true;
  }
  const Equaliser pilotOnly = FitEqualiser({{&m_pilotX, &m_pilotTarget}}, m_half, m_stride, RIDGE);
  if (pilotOnly.taps.empty()) return false;
  Candidate pilotReading = ReadThrough(read, available, pilotOnly, start, readTuning);
  if (keep(pilotReading, pilotOnly)) {
    m_lastGood = pilotOnly;
    return true;
  }
  // Dating syncs from the pilot's break changes nothing where the pilot's
  // own fit found the sync.
  if (readTuning.breakSync != 0.0 && !unseen) return false;
  // Two lines of teaching: from the pilot's reading on, and from the
  // first reading on (where it found a block); each round reads the fit
  // that follows its reading's wave more closely (more bits right) first.
  // The rounds run at the plain ridge, then, where none verifies, again
  // at the lifting one.
  for (const double ridge : {RIDGE, LIFTING_RIDGE}) {
    Candidate chain[2];
    const Candidate* teachers[2] = {pilotReading.found ? &pilotReading : nullptr, first.found ? &first : nullptr};
    for (int round = 1; round < ROUNDS && (teachers[0] != nullptr || teachers[1] != nullptr); ++round) {
      std::vector<std::pair<double, std::size_t>> order;  // (miss, line)
      std::vector<Equaliser> fits(2);
      for (std::size_t line = 0; line < 2; ++line) {
        const Candidate* teacher = teachers[line];
        if (teacher == nullptr) continue;
        std::int64_t from = 0;
        const double lead = teacher->sync1 + teacher->sync2 + 8.0 * teacher->pilot;
        if (!Load(read, available, teacher->data - lead, teacher->data + TRAIN_SECONDS * m_rate, m_dataX, from))
          continue;
        m_dataTarget = SquareTarget(*teacher, from, m_dataX.size(), 8);
        // The reading's polarity is its own: the target takes the one the
        // pilot's equaliser gives the stretch, so that both teach one filter.
        if (Agreement(pilotOnly, m_dataX, m_dataTarget) < 0.0)
          for (float& t : m_dataTarget) t = -t;
        fits[line] = FitEqualiser({{&m_pilotX, &m_pilotTarget}, {&m_dataX, &m_dataTarget}}, m_half, m_stride, ridge);
        if (!fits[line].taps.empty()) order.emplace_back(MeanSquareMiss(fits[line], m_dataX, m_dataTarget), line);
      }
      std::stable_sort(order.begin(), order.end());
      for (const auto& entry : order) {
        const std::size_t line = entry.second;
        Candidate c = ReadThrough(read, available, fits[line], start, readTuning);
        if (keep(c, fits[line])) {
          m_lastGood = std::move(fits[line]);
          return true;
        }
        chain[line] = std::move(c);
        teachers[line] = chain[line].found ? &chain[line] : nullptr;
      }
    }
  }
  return false;
}

bool CBlockEqualiser::ReadTaught(const SampleReader& read, std::int64_t available, const PilotStart& session,
                                 const Candidate& first, const TrackerTuning& tuning, const Candidate& teacher) {
  if (!teacher.found || !(teacher.zero > 0.0)) return false;
  PilotStart start;
  m_doubtful = Candidate();
  if (!Prepare(read, available, session, first, start)) return false;
  TrackerTuning readTuning = tuning;
  readTuning.syncFromGrid = false;
  // The block that verified: its pilot's end, sync and first bits are
  // the wave they stand for, every decision right.
  std::int64_t from = 0;
  const double lead = teacher.sync1 + teacher.sync2 + TAUGHT_PILOT_HALVES * teacher.pilot;
  if (!Load(read, available, teacher.data - lead, teacher.data + TRAIN_SECONDS * m_rate, m_dataX, from)) return false;
  m_dataTarget = SquareTarget(teacher, from, m_dataX.size(), TAUGHT_PILOT_HALVES);
  // The block's own pilot teaches the same filter only at the polarity its
  // fit gives the other stretch.
  const Equaliser pilotOnly = FitEqualiser({{&m_pilotX, &m_pilotTarget}}, m_half, m_stride, RIDGE);
  if (pilotOnly.taps.empty()) return false;
  if (Agreement(pilotOnly, m_dataX, m_dataTarget) < 0.0)
    for (float& t : m_dataTarget) t = -t;
  for (const double ridge : {RIDGE, LIFTING_RIDGE}) {
    Equaliser eq = FitEqualiser({{&m_pilotX, &m_pilotTarget}, {&m_dataX, &m_dataTarget}}, m_half, m_stride, ridge);
    if (eq.taps.empty()) continue;
    Candidate c = ReadThrough(read, available, eq, start, readTuning);
    if (Keep(c, session, first, eq)) {
      m_lastGood = std::move(eq);
      return true;
    }
  }
  return KeepDoubtful();
}

}  // namespace robust
}  // namespace tapedecoder
