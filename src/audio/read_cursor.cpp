// Fast stepping of the read cursor to the next change of side.
//
// The cursor is a running sum of steps, so where the k-th step lands depends
// on every rounding before it. Inside one binade [2^e, 2^(e+1)) every double
// is a multiple of the same unit u, so adding a step rounds to adding the
// step rounded to a multiple of u (unless the step lies exactly halfway
// between two multiples, when the result depends on the cursor's last bit).
// The positions of successive steps then form an exact arithmetic
// progression, and any number of steps can be taken with one multiplication;
// only the step that crosses into the next binade is added as it is.
#include <cmath>
#include <cstdint>

#include "audio/read_cursor.h"

#include "audio/byte_scan.h"

namespace tapedecoder {

namespace {

// Positions from 1.0 up to here use the progression; the frame index of a
// position fits 32 bits below it.
constexpr double kProgressionEnd = 4294967296.0;

}  // namespace

bool CReadCursor::SetStep(double step) {
  if (!(step > 0.0)) return false;
  m_step = step;
  return true;
}

std::uint32_t CReadCursor::FirstFrameOffSide(const SampleFrames& frames, std::uint32_t frame,
                                             std::uint32_t end, std::uint8_t level,
                                             std::uint8_t state) {
  // A read in frame i interpolates toward frame i + 1 (the last frame toward
  // itself) with monotone roundings, so it lies between the bounds of the
  // two frames; a stereo average lies between the averages of the bounds.
  // Frame i is safe when those bounds are on the state's side.
  const std::uint8_t* s = frames.bytes.data();
  const std::uint32_t n = frames.frameCount;
  if (frames.channels == 1) {
    // Frame end - 1 reaches toward sample `end`, so that one is looked at too.
    const std::uint32_t last = end < n ? end + 1 : n;
    const std::uint32_t i =
        static_cast<std::uint32_t>(byte_scan::FirstOffSide(s, frame, last, level, state == 1));
    // s[i] is the first sample off side: frame i - 1 reaches toward it.
    if (i == n) return n;
    if (i == last) return end;
    return i > frame ? i - 1 : i;
  }
  const std::uint8_t useLeft = frames.useLeft == 1;
  const std::uint8_t useRight = frames.useRight == 1;
  const unsigned divisor = useLeft + useRight == 2 ? 2 : 1;
  // The mixed value of one frame's bounds, as a read would mix them.
  auto bound = [&](unsigned left, unsigned right) {
    return ((useLeft ? left : 0) + (useRight ? right : 0)) / divisor;
  };
  for (std::uint32_t i = frame; i < end; ++i) {
    const std::uint8_t* a = s + 2 * static_cast<std::size_t>(i);
    const std::uint8_t* b = i + 1 < n ? a + 2 : a;
    if (state == 1) {
      const unsigned low = bound(std::min(a[0], b[0]), std::min(a[1], b[1]));
      if (low <= level) return i;
    } else {
      const unsigned high = bound(std::max(a[0], b[0]), std::max(a[1], b[1]));
      if (high > level) return i;
    }
  }
  return end;
}

void CReadCursor::Binade::For(double position, double step) {
  int exponent = 0;
  std::frexp(position, &exponent);  // position in [2^(exponent-1), 2^exponent)
  start = std::ldexp(1.0, exponent - 1);
  end = std::ldexp(1.0, exponent);
  unit = std::ldexp(1.0, exponent - 53);
  this->step = step;
  // The step in units, split into whole units and a fraction; both exact.
  const double units = step / unit;
  const double whole = std::floor(units);
  const double fraction = units - whole;
  tie = fraction == 0.5;
  increment = fraction < 0.5 ? whole : whole + 1.0;
}

std::int32_t CReadCursor::AdvanceBelow(double target, std::int32_t maxSteps) {
  std::int32_t taken = 0;
  while (taken < maxSteps && m_position < target) {
    Binade& b = m_binade;
    if (!(m_position >= b.start && m_position < b.end && m_step == b.step))
      b.For(m_position, m_step);
    if (b.tie || !(m_position >= 1.0) || !(b.end <= kProgressionEnd)) {
      m_position = m_position + m_step;  // a tie, or outside the progression
      ++taken;
      continue;
    }
    if (b.increment == 0.0) return maxSteps;  // each step rounds back to the cursor
    // Steps until the cursor reaches min(target, end of binade): the least
    // k with k * increment >= distance, all in exact units below 2^53.
    const double limit = std::min(target, b.end);
    const double distance = (limit - m_position) / b.unit;
    double steps = std::ceil(distance / b.increment);
    while (steps * b.increment < distance) steps += 1.0;
    while (steps > 1.0 && (steps - 1.0) * b.increment >= distance) steps -= 1.0;
    const double left = static_cast<double>(maxSteps - taken);
    if (steps > left) steps = left;
    if (m_position + steps * b.increment * b.unit >= b.end) {
      // The last step taken leaves the binade: the ones before it stay in
      // the progression, that one is a plain sum.
      const double toEnd = std::ceil((b.end - m_position) / b.unit / b.increment);
      double inside = toEnd - 1.0;
      while (m_position + (inside + 1.0) * b.increment * b.unit < b.end) inside += 1.0;
      while (inside > 0.0 && m_position + inside * b.increment * b.unit >= b.end) inside -= 1.0;
      m_position += inside * b.increment * b.unit;
      m_position = m_position + m_step;
      taken += static_cast<std::int32_t>(inside) + 1;
    } else {
      m_position += steps * b.increment * b.unit;
      taken += static_cast<std::int32_t>(steps);
    }
  }
  return taken;
}

std::int32_t CReadCursor::ScanForSideChange(const SampleFrames& frames, std::uint8_t level,
                                            std::uint8_t& state, std::int32_t limit) {
  // Jumps need a step that moves less than a frame, so that every frame
  // crossed is read at least once and only frames known to be safe are
  // skipped over.
  const bool canJump = m_step > 0.0 && m_step < 1.0 &&
                       (frames.channels == 1 || frames.channels == 2);
  std::int32_t i = 0;
  while (i < limit) {
    if (canJump && m_position >= 1.0 && m_position < kProgressionEnd) {
      const std::uint32_t frame = static_cast<std::uint32_t>(m_position);
      if (frame >= frames.frameCount) return -1;
      // Look no further than the steps left can reach.
      const double reach = m_position + (limit - i) * m_step + 1.0;
      const std::uint32_t end =
          reach < static_cast<double>(frames.frameCount) ? static_cast<std::uint32_t>(reach)
                                                         : frames.frameCount;
      const std::uint32_t stop = FirstFrameOffSide(frames, frame, end, level, state);
      if (stop > frame) {
        // Every read before frame `stop` stays on the state's side.
        i += AdvanceBelow(static_cast<double>(stop), limit - i);
        continue;
      }
      // The side may change inside this frame: read each step in it, with
      // the arithmetic of ReadSample and Advance.
      const double next = static_cast<double>(frame) + 1.0;
      while (i < limit && m_position < next) {
        const std::uint8_t side =
            frames.ValueInFrame(frame, m_position - static_cast<double>(frame)) > level ? 1 : 0;
        m_position = m_position + m_step;
        if (side != state) {
          state = side;
          return i;
        }
        ++i;
      }
      continue;
    }
    std::uint8_t sample = 0;
    if (!ReadSample(frames, sample)) return -1;
    const std::uint8_t side = sample > level ? 1 : 0;
    Advance(frames);
    if (side != state) {
      state = side;
      return i;
    }
    ++i;
  }
  return -1;
}

}  // namespace tapedecoder
