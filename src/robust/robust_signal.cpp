#include "robust/robust_signal.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "base/vector_clones.h"

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define TAPEDECODER_HAVE_AVX2_SCAN 1
#include <immintrin.h>
#else
#define TAPEDECODER_HAVE_AVX2_SCAN 0
#endif

namespace tapedecoder {
namespace robust {

namespace {


// Below this envelope (full scale) the trigger stays quiet: digital silence
// and the last bit of dither give no edges.
constexpr double TRIGGER_FLOOR = 2.0e-4;
// Sample n holds the signal over [n, n+1) -- the prefix sums' frame, where
// the box readers date their edges; the trigger's value n stands for the
// middle of that interval, so its crossing times are moved there.
constexpr double SAMPLE_CENTRE = 0.5;
// The trigger's windows, in seconds: half the centred DC mean (5 ms, over
// two pilot periods at half speed), half the envelope's window (3 ms, a
// few pulses) and the peak envelope's decay (10 ms, bridging the gaps
// between a differentiated signal's spikes).
constexpr double DC_HALF_SECONDS = 0.0025;
constexpr double ENVELOPE_HALF_SECONDS = 0.003;
constexpr double PEAK_DECAY_SECONDS = 0.010;
// The smallest ring of trigger values.
constexpr std::size_t VALUE_RING_MIN = 4096;

// The sample as the sums take it: NaN reads as 0, the rest is clipped at
// ±SAMPLE_LIMIT.
inline float Bounded(float sample) {
  // Written as a maximum, a minimum and a mask, which is what the vector
  // instructions do: NaN fails both comparisons and the mask.
  const float low = sample > -SAMPLE_LIMIT ? sample : -SAMPLE_LIMIT;
  const float high = low < SAMPLE_LIMIT ? low : SAMPLE_LIMIT;
  return sample == sample ? high : 0.0f;
}

// A bounded sample quantised: |result| <= SAMPLE_LIMIT·SAMPLE_SCALE = 2^28,
// so it fits 32 bits. Rounds half away from zero without a branch on the
// sign (which noise makes unpredictable), in single precision, eight to a
// vector: the scaling by a power of two is exact, so is the truncation's
// conversion back (a float of 2^23 or more is whole already), and so the
// fraction left over.
inline std::int32_t Quantise(float bounded) {
  const float v = bounded * static_cast<float>(SAMPLE_SCALE);
  const std::int32_t whole = static_cast<std::int32_t>(v);
  const float fraction = v - static_cast<float>(whole);
  return whole + (fraction >= 0.5f ? 1 : 0) - (fraction <= -0.5f ? 1 : 0);
}

// An integer of magnitude below 2^51 as a double, exactly what the
// conversion gives: added to the bits of 1.5·2^52 it lands in that
// binade's units, and subtracting 1.5·2^52 again leaves it. Unlike the
// conversion, it vectorises on the baseline instruction set.
inline double ToDouble(std::int64_t i) {
  constexpr std::int64_t MAGIC_BITS = 0x4338000000000000;
  constexpr double MAGIC = 6755399441055744.0;  // 1.5·2^52
  const std::int64_t bits = i + MAGIC_BITS;
  double d;
  std::memcpy(&d, &bits, sizeof d);
  return d - MAGIC;
}

// The running sum of `count` quantised samples added to `total`, written
// to `out`; returns the last sum. Integer additions: any order gives the
// same sums.
inline std::int64_t RunningSum(const std::int32_t* in, std::int64_t* out, std::size_t count, std::int64_t total) {
  // Four sums a turn: the carried addition is the loop's only chain, and
  // the loop's own counting and branch are paid once for four.
  std::size_t k = 0;
  for (; k + 4 <= count; k += 4) {
    const std::int64_t a = total + in[k];
    const std::int64_t b = a + in[k + 1];
    const std::int64_t c = b + in[k + 2];
    total = c + in[k + 3];
    out[k] = a;
    out[k + 1] = b;
    out[k + 2] = c;
    out[k + 3] = total;
  }
  for (; k < count; ++k) {
    total += in[k];
    out[k] = total;
  }
  return total;
}

#if TAPEDECODER_HAVE_AVX2_SCAN
// Sums within four lanes: [a, a+b, a+b+c, a+b+c+d].
__attribute__((target("avx2"), always_inline)) inline __m256i Scan4(__m256i x) {
  const __m256i one = _mm256_blend_epi32(_mm256_permute4x64_epi64(x, 0x90), _mm256_setzero_si256(), 0x03);
  x = _mm256_add_epi64(x, one);  // plus [0, a, b, c]
  const __m256i two = _mm256_permute2x128_si256(x, x, 0x08);  // [0, 0, x0, x1]
  return _mm256_add_epi64(x, two);
}

// RunningSum() in AVX2 registers, eight sums a turn: each half of four is
// summed within itself in two shifted additions, the second half takes
// the first's last sum, and only the carry from one turn to the next is a
// chain. Called only where the processor has AVX2.
__attribute__((target("avx2"))) std::int64_t RunningSumAvx2(const std::int32_t* in, std::int64_t* out,
                                                             std::size_t count, std::int64_t total) {
  __m256i carry = _mm256_set1_epi64x(total);
  std::size_t k = 0;
  for (; k + 8 <= count; k += 8) {
    const __m256i lo = Scan4(_mm256_cvtepi32_epi64(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + k))));
    __m256i hi = Scan4(_mm256_cvtepi32_epi64(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + k + 4))));
    hi = _mm256_add_epi64(hi, _mm256_permute4x64_epi64(lo, 0xFF));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + k), _mm256_add_epi64(lo, carry));
    carry = _mm256_add_epi64(hi, carry);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + k + 4), carry);
    carry = _mm256_permute4x64_epi64(carry, 0xFF);
  }
  total = _mm256_extract_epi64(carry, 0);
  return RunningSum(in + k, out + k, count - k, total);
}
#endif

// The sums' ring starts this small (64 KiB) and doubles as they come.
constexpr std::size_t RING_START = 8192;
// Samples quantised at a time: a fixed count, so that the loop vectorises
// without a remainder.
constexpr std::size_t QUANTISE_BLOCK = 256;
// Trigger values computed at a time, likewise.
constexpr std::size_t VALUE_BLOCK = 64;

}  // namespace

PrefixRing::PrefixRing(std::size_t capacity)
    : m_sums(std::min(capacity, RING_START) + 1, 0), m_mask(m_sums.size() - 2), m_window(capacity - 1) {}

void PrefixRing::Restart(std::int64_t first) {
  // A full ring never grows, so no sum has to move when it wraps.
  m_sums.assign(m_window + 2, 0);
  m_mask = m_window;
  m_count = m_first = first;
  m_total = 0;
}

void PrefixRing::Reserve(std::int64_t last) {
  if (m_mask == m_window || last <= static_cast<std::int64_t>(m_mask)) return;
  // Nothing has wrapped yet: every sum keeps its place, and the copy of
  // the first moves to the new end.
  std::size_t size = m_mask + 1;
  while (size - 1 < m_window && static_cast<std::int64_t>(size - 1) < last) size <<= 1;
  m_sums.resize(size + 1, 0);
  m_sums[size] = m_sums[0];
  m_mask = size - 1;
}

TAPEDECODER_AVX2_CLONE void PrefixRing::Push(const float* samples, std::size_t count) {
  Reserve(m_count + static_cast<std::int64_t>(count));
  std::int64_t total = m_total;
  std::size_t at = static_cast<std::size_t>(m_count);
  std::int64_t* sums = m_sums.data();
  const std::size_t mask = m_mask;
  m_count += static_cast<std::int64_t>(count);
#if TAPEDECODER_HAVE_AVX2_SCAN
  static const bool avx2 = __builtin_cpu_supports("avx2");
#endif
  float bounded[QUANTISE_BLOCK];
  std::int32_t quantised[QUANTISE_BLOCK];
  while (count > 0) {
    const std::size_t n = std::min(count, QUANTISE_BLOCK);
    // Two passes, each of which the compiler turns into vector instructions
    // (together they defeat it).
    if (n == QUANTISE_BLOCK) {
      for (std::size_t i = 0; i < QUANTISE_BLOCK; ++i) bounded[i] = Bounded(samples[i]);
      for (std::size_t i = 0; i < QUANTISE_BLOCK; ++i) quantised[i] = Quantise(bounded[i]);
    } else {
      for (std::size_t i = 0; i < n; ++i) quantised[i] = Quantise(Bounded(samples[i]));
    }
    // The running sum, in runs over which the ring does not wrap.
    for (std::size_t i = 0; i < n;) {
      const std::size_t start = (at + 1) & mask;
      const std::size_t run = std::min(n - i, mask + 1 - start);
#if TAPEDECODER_HAVE_AVX2_SCAN
      total = avx2 ? RunningSumAvx2(quantised + i, sums + start, run, total)
                   : RunningSum(quantised + i, sums + start, run, total);
#else
      total = RunningSum(quantised + i, sums + start, run, total);
#endif
      if (start == 0) sums[mask + 1] = sums[0];
      i += run;
      at += run;
    }
    samples += n;
    count -= n;
  }
  m_total = total;
}

std::int64_t PrefixRing::Oldest() const {
  std::int64_t oldest = m_count - static_cast<std::int64_t>(m_window);
  return oldest < m_first ? m_first : oldest;
}

bool PrefixRing::Holds(double a, double b) const {
  return a >= static_cast<double>(Oldest()) && std::floor(b) + 1.0 <= static_cast<double>(m_count);
}

double PrefixRing::Box(double a, double b) const {
  double fa, fb;
  const std::int64_t ia = FloorBoth(a, fa);
  const std::int64_t ib = FloorBoth(b, fb);
  double whole = static_cast<double>(At(ib) - At(ia));
  double tail = (b - fb) * static_cast<double>(At(ib + 1) - At(ib));
  double head = (a - fa) * static_cast<double>(At(ia + 1) - At(ia));
  return (whole + tail - head) / SAMPLE_SCALE;
}

SchmittFrontEnd::SchmittFrontEnd(double sampleRate, double hysteresis, double smoothSeconds, Envelope envelope)
    : m_smoothHalf(std::max(0, static_cast<int>(std::lround(sampleRate * smoothSeconds)) / 2)),
      m_dcHalf(std::max(2, static_cast<int>(std::lround(sampleRate * DC_HALF_SECONDS)))),
      m_envHalf(std::max(2, static_cast<int>(std::lround(sampleRate * ENVELOPE_HALF_SECONDS)))),
      m_hysteresis(hysteresis),
      m_envelope(envelope),
      m_peakDecay(std::exp(-1.0 / (PEAK_DECAY_SECONDS * sampleRate))),
      m_envRate(1.0 / (ENVELOPE_HALF_SECONDS * sampleRate)),
      m_nextValue(m_dcHalf),
      m_next(m_dcHalf + m_envHalf) {
  // The trigger looks envHalf ahead and one sample back; the rest of the
  // ring is room for the values computed in one pass.
  std::size_t capacity = VALUE_RING_MIN;
  while (capacity < 4 * static_cast<std::size_t>(m_envHalf + 2)) capacity <<= 1;
  m_values.assign(capacity, 0.0f);
  m_mask = capacity - 1;
}

void SchmittFrontEnd::Advance(const PrefixRing& sums, std::vector<TriggerEdge>& edges) {
  const std::int64_t valueEnd = sums.Count() - m_dcHalf;
  const std::int64_t room = static_cast<std::int64_t>(m_mask) - 1;
  while (m_nextValue < valueEnd) {
    // Values overwrite the ring; the trigger still needs y[m_next - 1].
    ComputeValues(sums, std::min(valueEnd, m_next + room));
    Trigger(edges);
  }
}

void SchmittFrontEnd::Restart(std::int64_t from) {
  if (from > m_next) Reset(from);
}

void SchmittFrontEnd::Reset(std::int64_t from) {
  m_nextValue = from - 1;  // the trigger starts from y[from - 1]
  m_next = from;
  m_env = 0.0;
  m_level = 0;
  m_lastUp = m_lastDown = m_lastEdge = -1.0;
}

TAPEDECODER_AVX2_CLONE void SchmittFrontEnd::ComputeValues(const PrefixRing& sums, std::int64_t valueEnd) {
  // Locals throughout: the stores into the rings must not make the
  // compiler reload the members on every sample.
  const double smoothScale = 1.0 / ((2.0 * m_smoothHalf + 1.0) * SAMPLE_SCALE);
  const double dcScale = 1.0 / ((2.0 * m_dcHalf + 1.0) * SAMPLE_SCALE);
  const std::int64_t* c = sums.Data();
  const std::size_t cMask = sums.IndexMask();
  float* values = m_values.data();
  const std::size_t mask = m_mask;
  const std::int64_t smoothHalf = m_smoothHalf;
  const std::int64_t dcHalf = m_dcHalf;
  // y[n] = smoothed x[n] - centred mean of x around n, in runs over which
  // neither ring wraps (so the loop indexes plain arrays).
  const std::int64_t reach = std::max(smoothHalf, dcHalf);
  const std::size_t span = static_cast<std::size_t>(2 * reach + 1);
  std::int64_t n = m_nextValue;
  while (n < valueEnd) {
    const std::size_t from = static_cast<std::size_t>(n - reach) & cMask;
    const std::size_t to = static_cast<std::size_t>(n) & mask;
    std::size_t run = static_cast<std::size_t>(valueEnd - n);
    run = std::min(run, mask + 1 - to);
    run = from + span < cMask + 1 ? std::min(run, cMask + 1 - span - from) : 0;
    if (run == 0) {
      // One sample whose windows wrap.
      auto at = [&](std::int64_t i) { return c[static_cast<std::size_t>(i) & cMask]; };
      double smooth = static_cast<double>(at(n + smoothHalf + 1) - at(n - smoothHalf)) * smoothScale;
      double dc = static_cast<double>(at(n + dcHalf + 1) - at(n - dcHalf)) * dcScale;
      values[to] = static_cast<float>(smooth - dc);
      ++n;
      continue;
    }
    const std::int64_t* centre = c + from + reach;  // C[n] for the run's first n
    float* out = values + to;
    // A window's sum stays below (2·reach + 1)·2^28 < 2^51 in magnitude.
    const auto value = [&](std::size_t k) {
      const std::int64_t* at = centre + k;
      double smooth = ToDouble(at[smoothHalf + 1] - at[-smoothHalf]) * smoothScale;
      double dc = ToDouble(at[dcHalf + 1] - at[-dcHalf]) * dcScale;
      return static_cast<float>(smooth - dc);
    };
    std::size_t k = 0;
    for (; k + VALUE_BLOCK <= run; k += VALUE_BLOCK) {
      for (std::size_t j = 0; j < VALUE_BLOCK; ++j) out[k + j] = value(k + j);
    }
    for (; k < run; ++k) out[k] = value(k);
    n += static_cast<std::int64_t>(run);
  }
  if (n > m_nextValue) m_nextValue = n;
}

void SchmittFrontEnd::Trigger(std::vector<TriggerEdge>& edges) {
  if (m_envelope == Envelope::MEAN) {
    RunTrigger<true>(edges);
  } else {
    RunTrigger<false>(edges);
  }
}

template <bool MEAN>
void SchmittFrontEnd::RunTrigger(std::vector<TriggerEdge>& edges) {
  const float* values = m_values.data();
  const std::size_t mask = m_mask;
  const std::int64_t envHalf = m_envHalf;
  // The trigger at n follows an envelope that runs envHalf ahead of it, so
  // that the envelope has risen when a tone reaches the trigger. The mean
  // is env·(1 - rate) + rate·|y|: one multiply and add on the carried chain.
  const double hysteresis = m_hysteresis;
  const double keep = MEAN ? 1.0 - m_envRate : m_peakDecay;
  const double envRate = m_envRate;
  double env = m_env;
  int level = m_level;
  double lastUp = m_lastUp;
  double lastDown = m_lastDown;
  double lastEdge = m_lastEdge;
  const std::int64_t end = m_nextValue - envHalf;
  double yPrev = values[static_cast<std::size_t>(m_next - 1) & mask];
  std::int64_t n = m_next;
  // In runs over which neither index into the ring wraps.
  while (n < end) {
    const std::size_t at = static_cast<std::size_t>(n) & mask;
    const std::size_t aheadAt = static_cast<std::size_t>(n + envHalf) & mask;
    const std::int64_t run = std::min({end - n, static_cast<std::int64_t>(mask + 1 - at),
                                       static_cast<std::int64_t>(mask + 1 - aheadAt)});
    const float* ys = values + at;
    const float* aheads = values + aheadAt;
    for (std::int64_t k = 0; k < run; ++k) {
      double ahead = std::fabs(aheads[k]);
      env = MEAN ? env * keep + envRate * ahead : std::max(ahead, env * keep);
      double y = ys[k];
      // Most samples cross nothing: one test settles them. The zero
      // crossings date the mean envelope's edges only.
      const bool crossing = MEAN && ((yPrev <= 0.0 && y > 0.0) || (yPrev >= 0.0 && y < 0.0));
      double threshold = std::max(hysteresis * env, TRIGGER_FLOOR);
      const bool fires = level != 1 ? y > threshold || (level != -1 && y < -threshold) : y < -threshold;
      if (!crossing && !fires) {
        yPrev = y;
        continue;
      }
      double t = static_cast<double>(n + k);
      if (MEAN && yPrev <= 0.0 && y > 0.0) lastUp = t - 1.0 + yPrev / (yPrev - y);
      if (MEAN && yPrev >= 0.0 && y < 0.0) lastDown = t - 1.0 + yPrev / (yPrev - y);
      // A spiky signal is dated where it passes the threshold, on the steep
      // flank: its zero crossings wander with the noise between the spikes.
      if (level != 1 && y > threshold) {
        double when = !MEAN ? t - (y - threshold) / (y - yPrev) : lastUp > lastEdge ? lastUp : t;
        edges.push_back({when + SAMPLE_CENTRE, 1});
        level = 1;
        lastEdge = when;
      } else if (level != -1 && y < -threshold) {
        double when = !MEAN ? t - (y + threshold) / (y - yPrev) : lastDown > lastEdge ? lastDown : t;
        edges.push_back({when + SAMPLE_CENTRE, -1});
        level = -1;
        lastEdge = when;
      }
      yPrev = y;
    }
    n += run;
  }
  if (n > m_next) m_next = n;
  m_env = env;
  m_level = level;
  m_lastUp = lastUp;
  m_lastDown = lastDown;
  m_lastEdge = lastEdge;
}

}  // namespace robust
}  // namespace tapedecoder
