#include "robust/robust_decoder.h"

#include <algorithm>
#include <bitset>
#include <cmath>
#include <cstdlib>
#include <deque>
#include <optional>
#include <utility>
#include <vector>

#include "robust/equaliser.h"
#include "robust/gap_mender.h"
#include "robust/robust_signal.h"
#include "robust/robust_trackers.h"

namespace tapedecoder {

namespace {

using robust::Candidate;
using robust::CBoxTracker;
using robust::CPulseTracker;
using robust::FloorIndex;
using robust::PilotStart;
using robust::PrefixRing;
using robust::SchmittFrontEnd;
using robust::TrackerTuning;
using robust::TriggerEdge;

// Samples between two passes of the readers over new input.
constexpr std::size_t PUMP_SAMPLES = 2048;
constexpr PilotTiming PILOT = READER_TIMING.pilot;
// Seconds of recording the rings hold at least (rounded up to a power of
// two of samples): the sums, and the edges of both triggers.
constexpr double RING_SECONDS = 2.5;
// The pilot search's trigger: smoothed over 0.2 ms (a third of a pilot
// pulse at double speed) and set by the peaks, so that noise between the
// spikes of a differentiated signal gives no edges.
constexpr double COARSE_SMOOTH_SECONDS = 1.0 / 5000.0;
constexpr double COARSE_HYSTERESIS = 0.35;
// How long before a block's end the pilot search's trigger starts again,
// so that its envelope has settled by the end.
constexpr double COARSE_RESTART_SECONDS = 0.1;
// How long before a pilot's last coarse edge the fine trigger starts again.
constexpr double FINE_RESTART_SECONDS = 0.05;
// Edges that must have fallen out of the window before the lists are
// compacted (amortised: also at least half the list).
constexpr std::size_t EDGE_TRIM_MIN = 4096;
// A block the equaliser reads again is awaited this long past its
// announced length; the ring keeps at least this much behind the newest
// sample when the wait ends.
constexpr double EQUALISE_MARGIN_SECONDS = 0.05;
constexpr double RING_SPARE_SECONDS = 0.5;
// A block that fails waits this long past its end for the next to start
// (the gap between a header and its data is about a second).
constexpr double HELD_SECONDS = 5.0;
// A block and the next are one block's readings only where they agree
// on this many bytes at least before the first bit a mending restored.
constexpr std::size_t MENDED_SAME_BYTES = 2;
// A reading of a block may have a slip every so many bits (and one more)
// where its copy is read (ReadAsCopy).
constexpr std::size_t SLIP_BITS = 1024;
// The blocks emitted last that a failed block's copy is looked for in: a
// program saved twice as header and data, twice, puts the copy two back.
constexpr std::size_t RECENT_BLOCKS = 3;

std::size_t RingCapacity(double rate) {
  double want = std::clamp(rate, 40000.0, 192000.0) * RING_SECONDS;
  std::size_t capacity = 1;
  while (static_cast<double>(capacity) < want) capacity <<= 1;
  return capacity;
}

// The coarse pilot search: runs of half-waves in the pilot range (tape
// speed 0.45x-2.2x), each within 25 % of the one of the same level before
// and less than twice or half the one before.
class PilotFinder {
 public:
  explicit PilotFinder(double rate) : m_nominal(rate * ROM_PILOT_PULSE / TSTATES_PER_SECOND) {}

  void Reset() {
    m_run = 0;
    m_h1 = m_h2 = 0.0;
    m_count = 0;
  }

  // Scans edges from `index` on; returns a pilot and moves `index` past it.
  std::optional<PilotStart> Scan(const std::vector<TriggerEdge>& edges, std::size_t& index) {
    for (; index < edges.size(); ++index) {
      if (index == 0) continue;
      double h = edges[index].time - edges[index - 1].time;
      bool inRange = h >= m_nominal / PILOT.maxSpeed && h <= m_nominal / PILOT.minSpeed;
      bool steady = m_run < 2 || std::fabs(h - m_h2) <= PILOT.steadiness * m_h2;
      bool paired = m_run < 1 || (h < PILOT.pairing * m_h1 && m_h1 < PILOT.pairing * h);
      if (inRange && steady && paired) {
        if (m_run == 0) m_first = index - 1;
        ++m_run;
      } else if (inRange) {
        m_run = 1;
        m_first = index - 1;
        m_count = 0;
      } else {
        m_run = 0;
        m_count = 0;
      }
      m_h2 = m_h1;
      m_h1 = h;
      if (m_run > 0) {
        m_halves[m_count % 64] = h;
        ++m_count;
      }
      if (m_run >= PILOT.run) {
        PilotStart start;
        start.firstEdge = edges[m_first].time;
        start.lastEdge = edges[index].time;
        start.lastLevel = edges[index].level;
        int n = std::min(m_count, 64);
        double sum = 0.0;
        for (int k = 0; k < n; ++k) sum += m_halves[k];
        start.period = sum / n;
        start.lastEdgeIndex = index;
        ++index;
        Reset();
        return start;
      }
    }
    return std::nullopt;
  }

  void Rebase(std::size_t count) { m_first = m_first >= count ? m_first - count : 0; }

 private:
  double m_nominal;  // the ROM pilot half-period in samples
  int m_run = 0;
  std::size_t m_first = 0;
  double m_h1 = 0.0;
  double m_h2 = 0.0;
  double m_halves[64] = {};
  int m_count = 0;
};

// All readers on one pilot tone.
struct Session {
  PilotStart start;
  TrackerTuning tuning;
  std::vector<std::unique_ptr<CBoxTracker>> boxes;  // in order of preference
  std::unique_ptr<CPulseTracker> pulses;
  // The retry box trackers wait until the first readers are done; so does
  // the edge reader when pulsesDeferred.
  bool deferred = false;
  bool pulsesDeferred = false;
  // They read from the second ring, which the live samples now feed too.
  bool retrying = false;
  // Where the fine trigger starts, and the sums it reads.
  std::int64_t fineFrom = 0;
  const PrefixRing* fineSums = nullptr;  // null while the edge reader waits
  bool pulsesTried = false;  // the edge reader has looked for its first edge
  // The samples held when the session started: the edge reader's first
  // pass reads the edges found by then.
  std::int64_t startCount = 0;
  // The equaliser's reading waits until this many samples are fed (-1:
  // not yet decided).
  double waitUntil = -1.0;
  double blockEnd = 0.0;  // where the announced block ends, at a one's length a bit
};

// A reading across dropouts it could not mend that does not have the
// length its header announced, or has no header to say: its checksum may
// pass only by chance (1 in 256), for it may have lost bits.
bool ChanceOnly(const Candidate& c, std::size_t announced) {
  return c.unmendedGaps > 0 && c.bytes.size() != announced;
}

bool Verifies(const Candidate& c, std::size_t announced) {
  return c.found && c.usedBits == 8 && ChecksumGood(c.bytes) && !ChanceOnly(c, announced);
}

// A reading with no length announced that ended while another reader of
// the same block read on for STOPPED_SHORT_BYTES of its bytes' time or
// more, through bits of both kinds (not the next block's pilot straight
// after it, read as bits), ran out inside the block (where noise
// or a codec broke its edges): its bytes so far verify only by chance,
// once in 256. (Readers run on into the hiss after a block by a few
// bytes' time at most.)
constexpr double STOPPED_SHORT_BYTES = 16.0;

// Readings of a block no reader verifies that are tried for a guess at
// their dropouts' bits (a long block's search takes a while).
constexpr std::size_t GUESS_TRIES = 2;

// A guess is made only for a block at the ROM's timing give or take this
// share (a tape's speed): a loader's block read at the ROM's ratios, its
// bits lost in more places than its gaps show, would be forced to verify.
constexpr double GUESS_SPEED_SPREAD = 0.1;

bool StoppedShort(const Candidate& c, std::size_t announced, const std::vector<Candidate*>& readings) {
  if (announced != 0 || c.bytes.empty() || !(c.end > c.data)) return false;
  const double byteTime = (c.end - c.data) / static_cast<double>(c.bytes.size());
  for (const Candidate* other : readings) {
    if (!other->found || !(other->end - c.end > STOPPED_SHORT_BYTES * byteTime) ||
        other->bytes.size() <= c.bytes.size())
      continue;
    // The bits straight after it: a pilot read as bits is mostly of one
    // kind (and runs into the next block's data).
    const auto beyond = other->bytes.begin() + static_cast<std::ptrdiff_t>(c.bytes.size());
    const auto until = beyond + std::min<std::ptrdiff_t>(other->bytes.end() - beyond,
                                                         static_cast<std::ptrdiff_t>(STOPPED_SHORT_BYTES));
    int ones = 0;
    for (auto b = beyond; b != until; ++b) ones += std::bitset<8>(*b).count();
    const auto bits = 8 * (until - beyond);
    if (4 * ones > bits && 4 * ones < 3 * bits) return true;
  }
  return false;
}

// The equaliser tries fit after fit, each reading's checksum a chance to
// pass: where a header announced the block's length, a reading is kept
// only at that length.
bool AsAnnounced(const Candidate& c, std::size_t announced) {
  return announced == 0 || c.bytes.size() == announced;
}

// A reading's bits and the dropouts it read across without mending them.
// Their places are not kept with the bits: each shows as a step between
// two bits' starts longer than the first bit by half a zero or more (a
// bit's own length varies by a few per cent). False when the steps do not
// tell them apart so, or show more than the reading counted.
constexpr double GAP_STEP = 0.5;
constexpr double BIT_STEP = 0.3;

bool GappedReading(const Candidate& c, robust::GappedBits& out) {
  out.bits.clear();
  out.gaps.clear();
  const std::size_t n = std::min(c.bits.Size(), 8 * c.bytes.size());
  if (!c.found || c.usedBits != 8 || n == 0 || !(c.zero > 0.0)) return false;
  for (std::size_t i = 0; i < n; ++i)
    out.bits.push_back(static_cast<std::uint8_t>(BitAt(c.bytes, i)));
  for (std::size_t i = 1; i < n && c.unmendedGaps > 0; ++i) {
    const double step =
        (c.bits.Start(i) - c.bits.Start(i - 1)) / (2.0 * c.zero) - (out.bits[i - 1] ? ONE_OVER_ZERO : 1.0);
    if (step >= GAP_STEP) {
      robust::Gap gap;
      gap.before = i;
      gap.zeros = step;
      out.gaps.push_back(gap);
    } else if (step > BIT_STEP) {
      return false;
    }
  }
  return out.gaps.size() <= static_cast<std::size_t>(c.unmendedGaps);
}

// The bits of `c` that precede the first break it read across without
// mending (all of them where it read across none), 0 where the breaks
// cannot be placed.
std::size_t BitsBeforeBreak(const Candidate& c) {
  const std::size_t n = std::min(c.bits.Size(), 8 * c.bytes.size());
  if (c.unmendedGaps == 0) return n;
  robust::GappedBits g;
  if (!GappedReading(c, g)) return 0;
  return g.gaps.empty() ? n : g.gaps.front().before;
}

// The bits of `c` before its first break (BitsBeforeBreak), one an entry.
std::vector<std::uint8_t> BitsInStep(const Candidate& c) {
  std::vector<std::uint8_t> bits(c.found && c.usedBits == 8 ? BitsBeforeBreak(c) : 0);
  for (std::size_t i = 0; i < bits.size(); ++i) bits[i] = static_cast<std::uint8_t>(BitAt(c.bytes, i));
  return bits;
}

// A slip (a one read as two zeros, or two zeros as a one: the same length)
// leaves a reading a bit out of step from there on. One other reading that
// parts from `c` by a slip tells not which of the two slipped; two that
// part from it at the same bit, the same way, show that `c` did (though
// readers of one signal may slip alike: a checksum that verifies of itself
// outweighs them).
constexpr std::ptrdiff_t SLIP_PLACE_BITS = 2;

bool Slipped(const Candidate& c, const std::vector<Candidate*>& readings) {
  const std::vector<std::uint8_t> own = BitsInStep(c);
  std::vector<robust::SlipApart> parts;
  for (const Candidate* other : readings) {
    if (other == &c) continue;
    const std::vector<std::uint8_t> theirs = BitsInStep(*other);
    const robust::SlipApart part = robust::PartBySlip(own, theirs, theirs.size());
    if (part.at < 0) continue;
    for (const robust::SlipApart& seen : parts)
      if (seen.shift == part.shift && std::abs(seen.at - part.at) <= SLIP_PLACE_BITS) return true;
    parts.push_back(part);
  }
  return false;
}

// A reading that verifies as read, where undoing a pair of slips at its
// weakest bits gives another block that verifies as well (a pattern that
// repeats keeps its checksum when read a bit out of step): the checksum
// does not tell that it read the tape. Those bits are the WEAK_SLIP_BITS
// least sure below WEAK_SLIP_CONFIDENCE: a slip leaves its bit among the
// least sure of the block; a reading without such bits is not doubted.
constexpr std::size_t WEAK_SLIP_BITS = 8;
constexpr float WEAK_SLIP_CONFIDENCE = 0.15f;

bool SlipsUnseen(const Candidate& c) {
  if (!c.found || c.usedBits != 8 || c.mendedBits > 0 || !ChecksumGood(c.bytes)) return false;
  const std::size_t n = std::min(c.bits.Size(), 8 * c.bytes.size());
  std::vector<std::pair<float, std::size_t>> weak;
  for (std::size_t i = 0; i < n; ++i) {
    const float confidence = c.bits.Confidence(i);
    if (confidence >= WEAK_SLIP_CONFIDENCE) continue;
    if (weak.size() < WEAK_SLIP_BITS) {
      weak.emplace_back(confidence, i);
      continue;
    }
    auto most = std::max_element(weak.begin(), weak.end());
    if (confidence < most->first) *most = {confidence, i};
  }
  std::vector<std::size_t> places;
  for (const auto& w : weak) places.push_back(w.second);
  return robust::SlipPairAlsoVerifies(c.bytes, places);
}

// `c` holding `bits`: where `own` names one of its bits, as read; the
// others dated between those by their lengths, without confidence.
Candidate MendedFrom(const Candidate& c, const std::vector<std::uint8_t>& bits,
                     const std::vector<std::ptrdiff_t>& own) {
  const std::size_t total = bits.size();
  Candidate out;
  out.found = true;
  out.start = c.start;
  out.data = c.data;
  out.pilot = c.pilot;
  out.sync1 = c.sync1;
  out.sync2 = c.sync2;
  out.zero = c.zero;
  out.pilotPulses = c.pilotPulses;
  out.cut = c.cut;
  out.bytes.assign(total / 8, 0);
  for (std::size_t i = 0; i < total; ++i)
    out.bytes[i / 8] = static_cast<std::uint8_t>(out.bytes[i / 8] | (bits[i] << (7 - i % 8)));
  const auto units = [](std::uint8_t bit) { return bit ? ONE_OVER_ZERO : 1.0; };
  double t = c.data;
  for (std::size_t i = 0; i < total;) {
    if (own[i] >= 0) {
      const auto k = static_cast<std::size_t>(own[i]);
      t = c.bits.Start(k);
      out.bits.Add(c.bits.Confidence(k), t);
      t += 2.0 * c.zero * units(bits[i]);
      ++i;
      continue;
    }
    // A run of bits the other reading gave: spread between the bits read
    // on either side, or at their own lengths at the end.
    std::size_t e = i;
    double lost = 0.0;
    while (e < total && own[e] < 0) lost += units(bits[e++]);
    const double unit = e < total ? (c.bits.Start(static_cast<std::size_t>(own[e])) - t) / lost : 2.0 * c.zero;
    if (out.mendedBits == 0) out.mendedAt = i;
    for (; i < e; ++i) {
      out.bits.Add(0.0f, t);
      t += unit * units(bits[i]);
      ++out.mendedBits;
    }
  }
  out.end = std::max(c.end, t);
  return out;
}

// `c` with the bits of `merge` (reading `r` of it): its own bits as read,
// the others dated across each gap by their lengths, without confidence.
Candidate MendedFrom(const Candidate& c, const robust::GappedBits& g, const robust::TwinMerge& merge, int r) {
  std::vector<std::ptrdiff_t> own(merge.bits.size(), -1);  // the reading's bit at each place
  for (std::size_t j = 0; j < merge.placed[r].size(); ++j) {
    const std::size_t from = j == 0 ? 0 : g.gaps[j - 1].before;
    const std::size_t to = j < g.gaps.size() ? g.gaps[j].before : g.bits.size();
    for (std::size_t i = from; i < to; ++i) own[merge.placed[r][j] + i - from] = static_cast<std::ptrdiff_t>(i);
  }
  Candidate out = MendedFrom(c, merge.bits, own);
  out.mendedGaps = std::max<int>(1, static_cast<int>(g.gaps.size()));
  return out;
}

// A block no reader verified, waiting for the next.
struct Held {
  Candidate c;
  bool retried = false;
  PilotStart start;  // its session's
  TrackerTuning tuning;
};

// A header read whole waiting behind a held block (Impl::ReleaseHeld).
struct HeldHeader {
  Candidate c;
  bool retried = false;
};

// The length of the data a header announces, 0 where `bytes` is none.
std::size_t AnnouncedBy(const std::vector<std::uint8_t>& bytes) {
  if (bytes.size() != 19 || bytes[0] != 0x00 || RepeatsOrTooShort(bytes)) return 0;
  return static_cast<std::size_t>(bytes[12] | (bytes[13] << 8)) + 2;
}

std::vector<std::uint8_t> BitsOf(const std::vector<std::uint8_t>& bytes) {
  std::vector<std::uint8_t> bits;
  bits.reserve(8 * bytes.size());
  for (std::uint8_t b : bytes)
    for (int k = 7; k >= 0; --k) bits.push_back(static_cast<std::uint8_t>((b >> k) & 1));
  return bits;
}

// The earliest sample a retry tracker reads, before the pilot edge the
// session started on: it starts PILOT.followLead pilot periods before the
// leader's sync, which follows that edge, and its first box reaches back
// half a period and a box length (the margin covers the period's drift).
constexpr double RETRY_LEAD_PERIODS = 2.0 * PILOT.followLead + 8.0;

}  // namespace

class CRobustDecoder::Impl {
 public:
  Impl(double rate, BlockCallback onBlock, const RobustOptions& options)
      : m_rate(rate > 0.0 ? rate : 44100.0), m_onBlock(std::move(onBlock)), m_options(options),
        m_sums(RingCapacity(rate)),
        m_front(m_rate, options.hysteresis, 1.0 / 15000.0, SchmittFrontEnd::Envelope::MEAN),
        m_coarse(m_rate, COARSE_HYSTERESIS, COARSE_SMOOTH_SECONDS, SchmittFrontEnd::Envelope::PEAK),
        m_finder(m_rate) {}

  void SetRereader(Rereader reread) { m_reread = std::move(reread); }

  void Feed(const float* mono, std::size_t count) {
    if (m_finished) return;
    while (count > 0) {
      std::size_t n = std::min(count, PUMP_SAMPLES - m_sincePump);
      m_sums.Push(mono, n);
      // Counted as pushed: a re-read during the pump stops where the live
      // samples have come to, not at the end of what this call brings.
      m_fed += static_cast<std::int64_t>(n);
      if (m_session && m_session->retrying) m_retrySums->Push(mono, n);
      m_last = mono[n - 1];
      mono += n;
      count -= n;
      m_sincePump += n;
      if (m_sincePump == PUMP_SAMPLES) {
        m_sincePump = 0;
        Pump(false);
      }
    }
  }

  void Finish() {
    if (m_finished) return;
    // Hold the last level long enough for the centred windows to cover
    // every real sample.
    std::size_t tail = static_cast<std::size_t>(m_rate * 0.01) + 16;
    const std::vector<float> held(tail, std::isfinite(m_last) ? m_last : 0.0f);
    m_sums.Push(held.data(), tail);
    if (m_session && m_session->retrying) m_retrySums->Push(held.data(), tail);
    Pump(false);
    Pump(true);
    if (m_held) ReleaseHeld(nullptr, false, 0);
    EmitMended();
    m_finished = true;
  }

  double PendingFrom() const {
    if (m_mended) return m_mended->c.start / m_rate;
    if (m_held) return m_held->c.start / m_rate;
    if (m_session) return m_session->start.firstEdge / m_rate;
    double oldest = static_cast<double>(m_sums.Oldest());
    if (!m_coarseEdges.empty()) oldest = std::min(oldest, m_coarseEdges.front().time);
    return oldest / m_rate;
  }

 private:
  void Pump(bool final) {
    if (m_held && !m_session &&
        static_cast<double>(m_fed) > (m_heldHeader ? m_heldHeader->c.end : m_held->c.end) + HELD_SECONDS * m_rate) {
      ReleaseHeld(nullptr, false, 0);
    }
    if (m_mended && !m_session && static_cast<double>(m_fed) > m_mended->c.end + HELD_SECONDS * m_rate) EmitMended();
    // The pilot search rests while a session reads a block: it goes on
    // after the block, or after the pilot when no block came of it.
    if (!m_session) m_coarse.Advance(m_sums, m_coarseEdges);
    TrimEdges();
    for (;;) {
      if (m_session) {
        if (!AdvanceSession(final)) return;
        Conclude();
      } else {
        std::optional<PilotStart> start = m_finder.Scan(m_coarseEdges, m_scan);
        if (!start) return;
        StartSession(*start);
      }
    }
  }

  // Both edge lists keep the window the sums hold, and what the readers
  // still need: the edge reader its next edges, the pilot search (between
  // sessions) its last two. Older edges can serve no reader any more: a
  // session started on them would find the sums gone.
  void TrimEdges() {
    TrimFineEdges();
    const double window = static_cast<double>(m_sums.Mask());
    std::size_t coarse = FirstAtOrAfter(m_coarseEdges, static_cast<double>(m_coarse.Position()) - window);
    if (!m_session) coarse = std::min(coarse, m_scan >= 2 ? m_scan - 2 : 0);
    if (coarse >= std::max(EDGE_TRIM_MIN, m_coarseEdges.size() / 2)) {
      m_coarseEdges.erase(m_coarseEdges.begin(), m_coarseEdges.begin() + static_cast<std::ptrdiff_t>(coarse));
      m_scan = m_scan >= coarse ? m_scan - coarse : 0;
      m_finder.Rebase(coarse);
    }
  }

  void StartSession(PilotStart start) {
    start.announced = m_announced;
    start.maxBytes = std::max<std::size_t>(1, m_options.maxBlockBytes);
    m_session.emplace();
    m_session->start = start;
    TrackerTuning tuning;
    tuning.stopBits = std::max(1, m_options.stopBits);
    tuning.mendDropouts = m_options.mendDropouts;
    m_session->tuning = tuning;
    if (m_options.boxReader) {
      tuning.boxFactor = std::clamp(m_options.boxFactor, 0.05, 0.9);
      m_session->boxes.push_back(std::make_unique<CBoxTracker>(m_sums, start, tuning));
      if (m_reread) {
        m_session->deferred = true;
        m_session->pulsesDeferred = m_options.pulseReader && m_firstVerified;
      } else {
        AddRetries(m_sums);
      }
    }
    if (!m_options.pulseReader) return;
    // The fine trigger starts afresh a little before the pilot edge the
    // coarse search ended on, whatever it read for the session before:
    // its edges then depend on this stretch alone, so that they come out
    // the same when the stretch is read again.
    std::int64_t from = static_cast<std::int64_t>(m_sums.Oldest()) + m_front.Reach() + 2;
    m_session->fineFrom = std::max(from, static_cast<std::int64_t>(start.lastEdge - FINE_RESTART_SECONDS * m_rate));
    m_session->startCount = m_sums.Count();
    if (!m_session->pulsesDeferred) StartPulses(m_sums);
  }

  // Starts the fine trigger for the session afresh on `sums`; the edge
  // reader follows once the trigger has read up to the session's start.
  void StartPulses(const PrefixRing& sums) {
    m_edges.clear();
    m_front.Reset(m_session->fineFrom);
    m_session->fineSums = &sums;
  }

  // Runs the fine trigger over what the session's sums hold, and the edge
  // reader over its edges, as one pass of Pump() does. On its first pass
  // the edge reader starts on the trigger's edge nearest the pilot edge
  // the coarse search ended on (none when there is no such edge). Returns
  // true once it is done.
  bool AdvancePulses(bool final) {
    Session& s = *m_session;
    if (s.pulsesTried && (!s.pulses || s.pulses->Done())) return true;
    m_front.Advance(*s.fineSums, m_edges);
    if (!s.pulsesTried) {
      s.pulsesTried = true;
      std::size_t fine = FirstAtOrAfter(m_edges, s.start.lastEdge - 0.3 * s.start.period);
      if (fine >= m_edges.size()) return true;
      PilotStart pulseStart = s.start;
      pulseStart.lastEdgeIndex = fine;
      s.pulses = std::make_unique<CPulseTracker>(m_edges, pulseStart, s.tuning);
    }
    const bool done = s.pulses->Advance(static_cast<double>(m_front.Position()), final);
    TrimFineEdges();
    return done;
  }

  // The retry box trackers, following the first on `sums`.
  void AddRetries(const PrefixRing& sums) {
    Session& s = *m_session;
    TrackerTuning tuning = s.tuning;
    for (double factor : m_options.retryBoxFactors) {
      if (factor <= 0.0) continue;
      tuning.boxFactor = std::clamp(factor, 0.05, 0.9);
      s.boxes.push_back(std::make_unique<CBoxTracker>(sums, s.start, tuning, s.boxes.front().get()));
    }
  }

  // True when the first box tracker (or, `withPulses`, the edge reader)
  // verifies: the readers after it cannot be chosen then.
  bool FirstVerifies(bool withPulses = true) const {
    const Session& s = *m_session;
    const auto verifies = [&s](const Candidate& c) { return Verifies(c, s.start.announced); };
    return (!s.boxes.empty() && verifies(s.boxes.front()->Result())) ||
           (withPulses && s.pulses && verifies(s.pulses->Result()));
  }

  // Starts the waiting readers on the second ring, fed from the recording
  // read again from shortly before the session's pilot up to the newest
  // sample, in the pieces the live samples came in (the edge reader's end
  // at a silence depends on where a pass stops); the live samples then
  // feed both rings. Returns false (no retries) when the re-read falls
  // short.
  bool StartSecondStage() {
    Session& s = *m_session;
    const bool pulses = s.pulsesDeferred;
    const double lead = RETRY_LEAD_PERIODS * s.start.period + 64.0;
    std::int64_t first = FloorIndex(s.start.lastEdge - lead);
    if (pulses) first = std::min(first, s.fineFrom - m_front.Reach() - 1);
    first = std::max<std::int64_t>(0, first);
    if (!m_retrySums) m_retrySums = std::make_unique<PrefixRing>(m_sums.Mask() + 1);
    m_retrySums->Restart(first);
    const std::size_t from = s.boxes.size();
    AddRetries(*m_retrySums);
    if (pulses) StartPulses(*m_retrySums);
    const std::int64_t now = m_sums.Count();
    m_rereadBuffer.resize(PUMP_SAMPLES);
    for (std::int64_t at = first; at < m_fed;) {
      // The passes before this one: at the session's start, then after
      // every PUMP_SAMPLES samples fed.
      std::int64_t end = (at / static_cast<std::int64_t>(PUMP_SAMPLES) + 1) * static_cast<std::int64_t>(PUMP_SAMPLES);
      if (at < s.startCount) end = std::min(end, s.startCount);
      end = std::min(end, m_fed);
      const std::size_t want = static_cast<std::size_t>(end - at);
      const std::size_t got = m_reread(at, m_rereadBuffer.data(), want);
      if (got != want) {
        s.boxes.resize(from);
        s.pulses.reset();
        s.fineSums = nullptr;
        m_edges.clear();
        return false;
      }
      m_retrySums->Push(m_rereadBuffer.data(), got);
      at = end;
      for (std::size_t i = from; i < s.boxes.size(); ++i) s.boxes[i]->Advance(false);
      const bool pass = at == s.startCount || at % static_cast<std::int64_t>(PUMP_SAMPLES) == 0;
      if (pulses && pass && at >= s.startCount && at < now) AdvancePulses(false);
    }
    // The level Finish() held after the last sample, when it has.
    const std::int64_t held = now - m_retrySums->Count();
    if (held > 0) {
      m_rereadBuffer.assign(static_cast<std::size_t>(held), std::isfinite(m_last) ? m_last : 0.0f);
      m_retrySums->Push(m_rereadBuffer.data(), m_rereadBuffer.size());
    }
    s.retrying = true;
    return true;
  }

  void TrimFineEdges() {
    const double window = static_cast<double>(m_sums.Mask());
    std::size_t fine = FirstAtOrAfter(m_edges, static_cast<double>(m_front.Position()) - window);
    if (m_session && m_session->pulses && !m_session->pulses->Done()) {
      fine = std::min(fine, m_session->pulses->NextIndex() - 1);
    }
    if (fine >= std::max(EDGE_TRIM_MIN, m_edges.size() / 2)) {
      m_edges.erase(m_edges.begin(), m_edges.begin() + static_cast<std::ptrdiff_t>(fine));
      if (m_session && m_session->pulses && !m_session->pulses->Done()) m_session->pulses->Rebase(fine);
    }
  }

  static std::size_t FirstAtOrAfter(const std::vector<TriggerEdge>& edges, double time) {
    auto it = std::lower_bound(edges.begin(), edges.end(), time,
                               [](const TriggerEdge& e, double t) { return e.time < t; });
    return static_cast<std::size_t>(it - edges.begin());
  }

  // True once every reader is done.
  bool AdvanceSession(bool final) {
    Session& s = *m_session;
    bool done = true;
    // The box trackers take turns, a step each, so that their serial work
    // (each bit depends on the last) interleaves; what is left, the final
    // pass included, each then finishes in order.
    for (bool stepped = true; stepped;) {
      stepped = false;
      for (auto& box : s.boxes) stepped = box->Step(false) || stepped;
    }
    for (auto& box : s.boxes) done = box->Advance(final) && done;
    if (s.fineSums) done = AdvancePulses(final) && done;
    if (done && s.deferred) {
      s.deferred = false;
      // The first box tracker's verdict decides whether the next session's
      // edge reader waits for it.
      m_firstVerified = FirstVerifies(false);
      if (!FirstVerifies() && StartSecondStage()) {
        for (std::size_t i = 1; i < s.boxes.size(); ++i) done = s.boxes[i]->Advance(final) && done;
        if (s.fineSums) done = AdvancePulses(final) && done;
      }
    }
    return done && (final || !WaitsForEqualiser());
  }

  // A block no reader verifies is read once more through an equaliser
  // (Conclude), from the recording up to the newest sample fed. Where its
  // header announced a length that runs on past where the readers broke
  // off, the session waits for the rest (at a one's length a bit), but no
  // longer than the ring spares: the pilot search starts again from the
  // block's end, or from where the readers broke off.
  bool WaitsForEqualiser() {
    Session& s = *m_session;
    if (!m_reread || !m_options.equalise || s.boxes.empty() || s.start.announced == 0) return false;
    if (s.waitUntil < 0) {
      // The block's start and bit length from the first reader that found
      // it, in order of preference.
      const Candidate* found = nullptr;
      for (Candidate* c : Readings()) {
        if (Verifies(*c, s.start.announced)) return false;
        if (!found && c->found && c->zero > 0.0) found = c;
      }
      if (!found) return false;
      const double bits = 8.0 * static_cast<double>(s.start.announced);
      // A header announced it: ROM timing, a zero as long as its pilot
      // says where a reading that broke off measured it short.
      const double zero = std::max(found->zero, s.start.period * ROM_ZERO_PULSE / ROM_PILOT_PULSE);
      const double end = found->data + bits * 2.0 * ONE_OVER_ZERO * zero + EQUALISE_MARGIN_SECONDS * m_rate;
      s.blockEnd = end;
      s.waitUntil = std::min(end, static_cast<double>(m_fed) + RingSpare());
    }
    if (static_cast<double>(m_fed) < s.waitUntil) return true;
    // A long block the readers lost early may outlast the ring. Where the
    // equaliser reads it without a break up to the newest sample, what the
    // ring gives up is this block's, and it waits on for the rest.
    if (s.waitUntil >= s.blockEnd || s.boxes.empty()) return false;
    if (!m_equaliser) m_equaliser = std::make_unique<robust::CBlockEqualiser>(m_rate, m_sums.Mask() + 1);
    TrackerTuning tuning = s.tuning;
    tuning.boxFactor = std::clamp(m_options.boxFactor, 0.05, 0.9);
    if (m_equaliser->Read(m_reread, m_fed, s.start, s.boxes.front()->Result(), tuning) ||
        !m_equaliser->RanOut())
      return false;
    // Its end as the clean reading's bits date it (a broken first reading
    // may have measured them short).
    const double bits = 8.0 * static_cast<double>(s.start.announced);
    s.blockEnd = std::max(s.blockEnd, m_equaliser->RanOutData() + bits * 2.0 * ONE_OVER_ZERO * m_equaliser->RanOutZero() +
                                          EQUALISE_MARGIN_SECONDS * m_rate);
    s.waitUntil = std::min(s.blockEnd, static_cast<double>(m_fed) + RingSpare());
    return static_cast<double>(m_fed) < s.waitUntil;
  }

  // How far past the newest sample a session may wait: what the ring
  // holds, less a margin.
  double RingSpare() const {
    return std::max(0.0, static_cast<double>(m_sums.Mask()) - RING_SPARE_SECONDS * m_rate);
  }

  // The readers' blocks in order of preference: the first box tracker's,
  // the edge reader's, the other box trackers'.
  std::vector<Candidate*> Readings() {
    Session& s = *m_session;
    std::vector<Candidate*> order;
    if (!s.boxes.empty()) order.push_back(&s.boxes[0]->Result());
    if (s.pulses) order.push_back(&s.pulses->Result());
    for (std::size_t i = 1; i < s.boxes.size(); ++i) order.push_back(&s.boxes[i]->Result());
    return order;
  }

  void Conclude() {
    Session& s = *m_session;
    const std::vector<Candidate*> order = Readings();
    Candidate* winner = nullptr;
    bool retried = false;
    // A reading mended from the checksum verifies by construction: where
    // it slipped and the others did not (Slipped), its fill is wrong.
    std::vector<bool> slipped(order.size(), false);
    std::vector<bool> verifies(order.size(), false);
    const Candidate* firstGood = nullptr;
    bool split = false;
    for (std::size_t i = 0; i < order.size(); ++i) {
      const Candidate* c = order[i];
      verifies[i] = Verifies(*c, s.start.announced) && !StoppedShort(*c, s.start.announced, order);
      slipped[i] = verifies[i] && c->mendedBits > 0 && Slipped(*c, order);
      if (!verifies[i] || slipped[i]) continue;
      split = split || (firstGood && c->bytes != firstGood->bytes);
      if (!firstGood) firstGood = c;
    }
    // Readings that verify with other bytes, one of them such that the
    // checksum would not see a pair of slips (SlipsUnseen): nothing tells
    // which read the tape, so none stands.
    bool blind = false;
    for (std::size_t i = 0; split && !blind && i < order.size(); ++i)
      blind = verifies[i] && !slipped[i] && SlipsUnseen(*order[i]);
    for (std::size_t i = 0; i < order.size(); ++i) {
      if (!verifies[i] || slipped[i] || blind) {
        slipped[i] = slipped[i] || (verifies[i] && blind);
        continue;
      }
      winner = order[i];
      retried = i > 0;
      break;
    }
    // Of readings that verify with other bytes from their first on, one
    // that read more bytes stands: the other stopped inside the block, its
    // checksum holding by chance. (One that only reads on past the other
    // keeps the order.)
    for (std::size_t i = 0; winner && split && !blind && i < order.size(); ++i) {
      const Candidate* c = order[i];
      if (verifies[i] && !slipped[i] && c->bytes.size() > winner->bytes.size() &&
          !std::equal(winner->bytes.begin(), winner->bytes.end(), c->bytes.begin())) {
        winner = order[i];
        retried = i > 0;
      }
    }
    if (!winner) {
      // Failing that, the first reading with bytes; one whose checksum
      // passes only by chance last of all, for it would stand as good.
      for (int pass = 0; pass < 2 && !winner; ++pass) {
        for (std::size_t i = 0; i < order.size(); ++i) {
          Candidate* c = order[i];
          const bool chance = slipped[i] || ((ChanceOnly(*c, s.start.announced) ||
                                              StoppedShort(*c, s.start.announced, order)) &&
                                             ChecksumGood(c->bytes));
          if (c->found && (pass == 1 || !chance)) {
            winner = c;
            retried = c != order.front();
            break;
          }
        }
      }
      if (m_reread && m_options.equalise && !s.boxes.empty()) Equalise(winner, retried);
      // Still not verifying: the first reading with a guess at its
      // dropouts' bits (Candidate::guess), which Emit stands in for it.
      // Readers of one block read its dropouts alike: where two could
      // not guess, the others will not.
      const bool stands = winner && Verifies(*winner, s.start.announced);
      const auto guessable = [&](std::size_t i) {
        const double speed = ROM_PILOT_PULSE * m_rate / (order[i]->pilot * TSTATES_PER_SECOND);
        return order[i]->found && !slipped[i] && std::fabs(speed - 1.0) <= GUESS_SPEED_SPREAD;
      };
      for (std::size_t i = 0, tries = 0; !stands && i < order.size() && tries < GUESS_TRIES; ++i) {
        if (!guessable(i) || (!order[i]->dropouts && !order[i]->guess)) continue;
        ++tries;
        if (robust::GuessDropouts(*order[i])) {
          winner = order[i];
          retried = i > 0;
          break;
        }
      }
      // Still not: a guess at slips (Candidate::guess as above).
      const bool guessed = winner && winner->guess;
      for (std::size_t i = 0, tries = 0;
           m_options.mendDropouts && !stands && !guessed && i < order.size() && tries < GUESS_TRIES; ++i) {
        if (!guessable(i) || order[i]->bytes.size() != s.start.announced) continue;
        ++tries;
        if (robust::GuessSlips(*order[i], s.start.announced)) {
          winner = order[i];
          retried = i > 0;
          break;
        }
      }
    }
    // The search goes on after the block, or else after the pilot edge
    // the session started on (where it already stands).
    m_announced = 0;
    // The pilot search catches up: from shortly before the block's end, or
    // from where it rested, whichever is later and still held.
    std::int64_t from = static_cast<std::int64_t>(m_sums.Oldest()) + m_coarse.Reach() + 2;
    if (winner) {
      from = std::max(from, static_cast<std::int64_t>(winner->end - COARSE_RESTART_SECONDS * m_rate));
    }
    m_coarse.Restart(from);
    m_coarse.Advance(m_sums, m_coarseEdges);
    if (winner) {
      m_scan = std::max(m_scan, FirstAtOrAfter(m_coarseEdges, winner->end));
      Deliver(*winner, retried);
    }
    m_session.reset();
    m_scan = std::min(m_scan, m_coarseEdges.size());
    m_finder.Reset();
  }

  // The last retry for a block no reader verifies (or finds), where it can
  // be read again: through an equaliser learnt from the block
  // (robust/equaliser).
  void Equalise(Candidate*& winner, bool& retried) {
    if (!m_equaliser) m_equaliser = std::make_unique<robust::CBlockEqualiser>(m_rate, m_sums.Mask() + 1);
    TrackerTuning tuning = m_session->tuning;
    tuning.boxFactor = std::clamp(m_options.boxFactor, 0.05, 0.9);
    const Candidate& first = winner ? *winner : m_session->boxes.front()->Result();
    if (m_equaliser->Read(m_reread, m_fed, m_session->start, first, tuning) &&
        AsAnnounced(m_equaliser->Result(), m_session->start.announced) && !SlipsUnseen(m_equaliser->Result())) {
      winner = &m_equaliser->Result();
      retried = true;
    }
  }

  // Hands a session's block on. One that does not verify waits for the
  // next block (HELD_SECONDS at most): what that one shows may mend it.
  void Deliver(Candidate& read, bool retried) {
    Candidate c = std::move(read);  // the equaliser's result may be read again
    const std::size_t announced = m_session->start.announced;
    bool verifies = Verifies(c, announced);
    bool fromCopy = false;
    if (m_mended) CheckMended(c, verifies && c.mendedBits == 0);
    if (!verifies && !m_held && FromRecentCopy(c, announced)) verifies = fromCopy = retried = true;
    if (m_held) {
      fromCopy = ReleaseHeld(&c, verifies, announced, retried);
      // Held on past `c`, a header: what it announced is for the next.
      if (m_heldHeader) return;
      verifies = verifies || fromCopy;
      // What the held block announced was for this one.
      m_announced = 0;
    }
    // It waits where the next block's equaliser can read it again, or,
    // without a way to read again, where a header announced it: its copy
    // may follow.
    const bool equalisable = m_reread && m_options.equalise && !m_session->boxes.empty();
    if (!verifies && (equalisable || (announced != 0 && c.found))) {
      TrackerTuning tuning = m_session->tuning;
      tuning.boxFactor = std::clamp(m_options.boxFactor, 0.05, 0.9);
      m_held = Held{std::move(c), retried, m_session->start, tuning};
      return;
    }
    // Mended from its checksum alone, which its mending made hold: checked
    // against the block before it, where that verified as read, and else
    // it waits for the next block, which may be its copy (CheckMended). A
    // header does not wait, for the next block's reader needs what it
    // announced.
    if (verifies && !fromCopy && c.mendedBits > 0 && m_lastPlain && Disagrees(c, m_recent.back())) {
      EmitAgainstCopy(c, retried, std::vector<std::uint8_t>(m_recent.back()));
      return;
    }
    if (verifies && !fromCopy && c.mendedBits > 0 && AnnouncedBy(c.bytes) == 0) {
      EmitMended();
      m_mended = Held{std::move(c), retried, m_session->start, m_session->tuning};
      return;
    }
    Emit(c, retried, fromCopy);
  }

  // A block mended from its checksum and the block after it, `next`,
  // which verified as read: where `next` is its copy (the same length, and
  // the same bytes up to the first bit the mending restored) and differs,
  // the mending restored bits wrongly (a reading that slipped fits the
  // checksum as well). The copy's bytes are taken where the reading reads
  // as the copy with slips; else the block is emitted without what its
  // mending restored, not verifying.
  void CheckMended(const Candidate& next, bool nextPlain) {
    if (!nextPlain || !Disagrees(m_mended->c, next.bytes)) {
      EmitMended();
      return;
    }
    Held mended = std::move(*m_mended);
    m_mended.reset();
    EmitAgainstCopy(mended.c, mended.retried, next.bytes);
  }

  static bool Disagrees(const Candidate& c, const std::vector<std::uint8_t>& copy) {
    const std::size_t same = c.mendedAt / 8;
    return copy.size() == c.bytes.size() && copy != c.bytes && same >= MENDED_SAME_BYTES &&
           std::equal(c.bytes.begin(), c.bytes.begin() + static_cast<std::ptrdiff_t>(same), copy.begin());
  }

  void EmitAgainstCopy(Candidate& c, bool retried, const std::vector<std::uint8_t>& copy) {
    Candidate asRead = Unmended(c);
    if (ReadAsCopy(copy, c)) {
      Emit(c, true, true);
      return;
    }
    Emit(asRead, retried);
  }

  // `c` without the bits its mending restored (those it dated without
  // confidence): the reading as it came, its dropouts not mended.
  static Candidate Unmended(const Candidate& c) {
    Candidate out;
    out.found = c.found;
    out.start = c.start;
    out.data = c.data;
    out.end = c.end;
    out.pilot = c.pilot;
    out.sync1 = c.sync1;
    out.sync2 = c.sync2;
    out.zero = c.zero;
    out.pilotPulses = c.pilotPulses;
    out.cut = c.cut;
    std::size_t n = 0;
    for (std::size_t i = 0; i < c.bits.Size() && i < 8 * c.bytes.size(); ++i) {
      if (c.bits.Confidence(i) <= 0.0f) continue;
      if (n % 8 == 0) out.bytes.push_back(0);
      out.bytes.back() = static_cast<std::uint8_t>(out.bytes.back() | (BitAt(c.bytes, i) << (7 - n % 8)));
      out.bits.Add(c.bits.Confidence(i), c.bits.Start(i));
      ++n;
    }
    out.usedBits = static_cast<std::uint8_t>(n % 8 == 0 ? 8 : n % 8);
    out.unmendedGaps = std::max(1, c.mendedGaps);
    return out;
  }

  void EmitMended() { EmitWaiting(m_mended); }

  // Emits the block waiting in `slot`, if any, and empties it.
  template <typename Waiting>
  void EmitWaiting(std::optional<Waiting>& slot) {
    if (!slot) return;
    Waiting waiting = std::move(*slot);
    slot.reset();
    Emit(waiting.c, waiting.retried);
  }

  // Emits the held block, mended or read again first where the block
  // after it (`next`, null when none) shows how: the same block recorded
  // again (MendFromCopy), or, where it verified, the tape path (a header
  // is too short to teach the equaliser that undoes it, the data block
  // after it is not). True when `next`, which failed, was mended too.
  // Where `next` is a header announcing the held block's length again (a
  // program saved twice as header and data), both wait for the block
  // after it, the copy (HELD_SECONDS past the header at most); a header
  // held so is emitted right after the held block.
  bool ReleaseHeld(Candidate* next, bool nextVerifies, std::size_t nextAnnounced, bool nextRetried = false) {
    Held held = std::move(*m_held);
    m_held.reset();
    bool nextMended = false;
    if (next && MendFromCopy(held, *next, nextVerifies, nextAnnounced, nextMended)) return nextMended;
    if (next && nextVerifies && ReadAsCopy(next->bytes, held.c)) {
      Emit(held.c, true, true);
      EmitHeldHeader();
      return false;
    }
    if (next && nextVerifies && m_reread && m_options.equalise) {
      if (!m_equaliser) m_equaliser = std::make_unique<robust::CBlockEqualiser>(m_rate, m_sums.Mask() + 1);
      if (m_equaliser->ReadTaught(m_reread, m_fed, held.start, held.c, held.tuning, *next) &&
          AsAnnounced(m_equaliser->Result(), held.start.announced) && !SlipsUnseen(m_equaliser->Result())) {
        Emit(m_equaliser->Result(), true);
        EmitHeldHeader();
        return false;
      }
    }
    const std::size_t again = next && nextVerifies ? AnnouncedBy(next->bytes) : 0;
    if (!m_heldHeader && again != 0 && again == held.start.announced) {
      m_heldHeader = HeldHeader{std::move(*next), nextRetried};
      m_held = std::move(held);
      m_announced = again;
      return false;
    }
    Emit(held.c, held.retried);
    EmitHeldHeader();
    return false;
  }

  void EmitHeldHeader() { EmitWaiting(m_heldHeader); }

  // A tape often holds a block twice, one after the other: where the held
  // block and the next are readings of one block, their dropouts in other
  // places, each one's lost bits are read in the other (robust::MergeTwins)
  // and both are emitted whole, as mended from the copy. The block's length
  // must be known (announced before either, or the next's, which verified),
  // and the whole must verify.
  bool MendFromCopy(Held& held, Candidate& next, bool nextVerifies, std::size_t nextAnnounced, bool& nextMended) {
    if (held.c.unmendedGaps == 0 || (!nextVerifies && next.unmendedGaps == 0)) return false;
    std::size_t bytes = held.start.announced;
    for (const std::size_t other : {nextAnnounced, nextVerifies ? next.bytes.size() : std::size_t{0}}) {
      if (other == 0) continue;
      if (bytes != 0 && bytes != other) return false;
      bytes = other;
    }
    robust::GappedBits a, b;
    if (bytes == 0 || !GappedReading(held.c, a) || !GappedReading(next, b)) return false;
    const robust::TwinMerge merge = robust::MergeTwins(a, b, 8 * bytes, ONE_OVER_ZERO);
    if (!merge.ok) return false;
    Candidate mended = MendedFrom(held.c, a, merge, 0);
    if (!BlockVerifies(mended.bytes)) return false;
    Emit(mended, true, true);
    EmitHeldHeader();
    if (!nextVerifies) {
      next = MendedFrom(next, b, merge, 1);
      nextMended = true;
    }
    return true;
  }

  // A block that failed, mended from a copy among the blocks emitted just
  // before it that verified, the nearest first: read with slips as the
  // copy (ReadAsCopy), or its dropouts' bits read in it (MergeTwins, the
  // whole alike). The block's length, where announced, must agree.
  bool FromRecentCopy(Candidate& c, std::size_t announced) {
    if (!c.found || c.usedBits != 8 || c.bytes.empty()) return false;
    for (auto it = m_recent.rbegin(); it != m_recent.rend(); ++it) {
      const std::vector<std::uint8_t>& copy = *it;
      if (copy.empty() || copy[0] != c.bytes[0] || (announced != 0 && copy.size() != announced)) continue;
      if (ReadAsCopy(copy, c)) return true;
      robust::GappedBits a, b;
      if (c.unmendedGaps == 0 || !GappedReading(c, a)) continue;
      b.bits = BitsOf(copy);
      const robust::TwinMerge merge = robust::MergeTwins(a, b, b.bits.size(), ONE_OVER_ZERO);
      if (!merge.ok || merge.bits != b.bits) continue;
      c = MendedFrom(c, a, merge, 0);
      return true;
    }
    return false;
  }

  // A block that failed, read with slips where its copy verified
  // (robust::ReadAsCopy): `c` becomes the copy's bytes, mended from it.
  bool ReadAsCopy(const std::vector<std::uint8_t>& copy, Candidate& c) {
    if (copy.empty() || !c.found || c.usedBits != 8 || c.unmendedGaps > 0 || c.bytes.empty()) return false;
    const std::vector<std::uint8_t> read = BitsOf(c.bytes);
    std::vector<std::ptrdiff_t> own;
    std::size_t slips = 0;
    if (!robust::ReadAsCopy(BitsOf(copy), read, 1 + read.size() / SLIP_BITS, own, slips)) return false;
    // No dropout took its bits (mendedGaps stays 0): the reading slipped.
    Candidate mended = MendedFrom(c, BitsOf(copy), own);
    c = std::move(mended);
    return true;
  }

  void Emit(Candidate& read, bool retried, bool fromCopy = false) {
    EmitMended();
    // A reading that does not verify, with a guess at its dropouts' bits:
    // the guess goes out, marked as one.
    Candidate guessed;
    const bool asGuessed = read.guess && !(read.usedBits == 8 && ChecksumGood(read.bytes));
    if (asGuessed) guessed = std::move(*read.guess);
    Candidate& c = asGuessed ? guessed : read;
    const double toSeconds = 1.0 / m_rate;
    const double toTstates = TSTATES_PER_SECOND / m_rate;
    TapeBlock block;
    // A guess is no copy to check other blocks against, nor a header to
    // take a length from.
    bool good = c.usedBits == 8 && ChecksumGood(c.bytes) && !c.guessed;
    m_recent.push_back(good ? c.bytes : std::vector<std::uint8_t>{});
    m_lastPlain = good && c.mendedBits == 0;
    if (m_recent.size() > RECENT_BLOCKS) m_recent.pop_front();
    // A block read plainly shows the equaliser the tape path, for a
    // loader's block later on.
    if (m_lastPlain && m_reread && m_options.equalise) {
      if (!m_equaliser) m_equaliser = std::make_unique<robust::CBlockEqualiser>(m_rate, m_sums.Mask() + 1);
      m_equaliser->Remember(c);
    }
    if (good && AnnouncedBy(c.bytes) != 0) m_announced = AnnouncedBy(c.bytes);
    block.bytes = std::move(c.bytes);
    block.usedBits = c.usedBits;
    block.startSeconds = c.start * toSeconds;
    block.dataSeconds = c.data * toSeconds;
    block.endSeconds = c.end * toSeconds;
    block.timing.pilot = c.pilot * toTstates;
    block.timing.sync1 = c.sync1 * toTstates;
    block.timing.sync2 = c.sync2 * toTstates;
    block.timing.zero = c.zero * toTstates;
    block.timing.one = (c.one > 0.0 ? c.one : 2.0 * c.zero) * toTstates;
    block.timing.pilotPulses = c.pilotPulses;
    block.romTiming = c.one <= 0.0;
    block.origin = c.mendedBits > 0 ? BlockOrigin::MENDED : retried ? BlockOrigin::RETRIED : BlockOrigin::DECODED;
    block.mendedBits = c.mendedBits;
    block.mendedAt = c.mendedAt;
    block.mendedGaps = c.mendedGaps;
    block.mendedFromCopy = fromCopy && c.mendedBits > 0;
    block.unmendedGaps = c.unmendedGaps;
    block.mendGuessed = c.guessed;
    const std::size_t bits = c.bits.Size();
    // Reserved and appended: zeroing a large block's lists first would
    // cost as much as filling them.
    block.bitConfidence.reserve(bits);
    block.bitSeconds.reserve(bits);
    for (std::size_t i = 0; i < bits; ++i) {
      block.bitConfidence.push_back(c.bits.Confidence(i));
      block.bitSeconds.push_back(c.bits.Start(i) * toSeconds);
    }
    c.bits = robust::BitRecord();
    m_onBlock(std::move(block));
  }

  double m_rate;
  BlockCallback m_onBlock;
  RobustOptions m_options;
  PrefixRing m_sums;
  Rereader m_reread;
  std::unique_ptr<PrefixRing> m_retrySums;  // the retry trackers' stretch read again
  std::vector<float> m_rereadBuffer;
  std::unique_ptr<robust::CBlockEqualiser> m_equaliser;  // made at the first block that needs it
  std::int64_t m_fed = 0;  // samples fed, not counting what Finish() held
  SchmittFrontEnd m_front;            // fine edges, for the edge reader
  std::vector<TriggerEdge> m_edges;
  SchmittFrontEnd m_coarse;           // coarse edges, for the pilot search
  std::vector<TriggerEdge> m_coarseEdges;
  PilotFinder m_finder;
  std::size_t m_scan = 0;  // the next edge the pilot search reads
  std::optional<Session> m_session;
  std::optional<Held> m_held;  // a block no reader verified, waiting for the next (Deliver)
  std::optional<Held> m_mended;  // a block mended from its checksum, waiting for its copy (CheckMended)
  std::optional<HeldHeader> m_heldHeader;  // a header after it, both waiting for the copy (ReleaseHeld)
  // The last blocks emitted, oldest first, each empty where it failed.
  std::deque<std::vector<std::uint8_t>> m_recent;
  bool m_lastPlain = false;  // the last of them verified as read
  std::size_t m_announced = 0;
  // The first box tracker verified the last block it read to its end: the
  // next session's edge reader then waits until it fails (where it keeps
  // failing, as on some recordings every block, reading side by side
  // saves reading the stretch twice).
  bool m_firstVerified = true;
  std::size_t m_sincePump = 0;
  float m_last = 0.0f;
  bool m_finished = false;
};

CRobustDecoder::CRobustDecoder(double sampleRate, BlockCallback onBlock, const RobustOptions& options)
    : m_impl(std::make_unique<Impl>(sampleRate, std::move(onBlock), options)) {}

CRobustDecoder::~CRobustDecoder() = default;

void CRobustDecoder::Feed(const float* mono, std::size_t count) { m_impl->Feed(mono, count); }

void CRobustDecoder::Finish() { m_impl->Finish(); }

void CRobustDecoder::SetRereader(Rereader reread) { m_impl->SetRereader(std::move(reread)); }

double CRobustDecoder::PendingFrom() const { return m_impl->PendingFrom(); }

}  // namespace tapedecoder
