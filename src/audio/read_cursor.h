// The read cursor: a fractional position in frames that moves by a fixed
// step, reading interpolated values.
#ifndef TAPEDECODER_AUDIO_READ_CURSOR_H_
#define TAPEDECODER_AUDIO_READ_CURSOR_H_

#include <cstdint>

#include "audio/sample_frames.h"

namespace tapedecoder {

// Units: the position counts frames; a read step is one Advance of Step()
// frames. The position is a running sum of steps, so rounding errors
// accumulate exactly as repeated addition gives them.
class CReadCursor {
 public:
  // Stores `step` (in frames) and returns true when it is greater than 0.0;
  // otherwise changes nothing and returns false.
  bool SetStep(double step);
  double Step() const { return m_step; }
  double Position() const { return m_position; }
  void Rewind() { m_position = 0.0; }

  // The value at the cursor (SampleFrames::ValueInFrame of the frame under
  // it, by the cursor's fraction). Fails when the cursor stands before the
  // data, is not a number, or is at/after the frame count.
  bool ReadSample(const SampleFrames& frames, std::uint8_t& value) const {
    // For p >= 0, trunc(p) < n exactly when p < n.
    if (!(m_position >= 0.0) || !(m_position < static_cast<double>(frames.frameCount)))
      return false;
    const std::uint32_t i = static_cast<std::uint32_t>(m_position);
    value = frames.ValueInFrame(i, m_position - static_cast<double>(i));
    return true;
  }

  // Adds the step and returns whether the new cursor is still inside the
  // data. The cursor moves even when the result is false.
  bool Advance(const SampleFrames& frames) {
    m_position = m_position + m_step;
    return m_position >= 0.0 && m_position < static_cast<double>(frames.frameCount);
  }

  // Moves the cursor exactly as this loop does and returns what it returns:
  //
  //   for (i = 0; i < limit; ++i) {
  //     if (!ReadSample(v)) return -1;      // no step taken
  //     side = v > level ? 1 : 0;
  //     Advance();
  //     if (side != state) { state = side; return i; }
  //   }
  //   return -1;                             // state unchanged
  //
  // It gets there faster: frames whose every interpolated value lies on the
  // state's side are crossed in one jump, computed so that the cursor lands
  // bit for bit where the running sum of steps would put it.
  std::int32_t ScanForSideChange(const SampleFrames& frames, std::uint8_t level,
                                 std::uint8_t& state, std::int32_t limit);

 private:
  // The first frame in [frame, end) in which some read may fall on the
  // other side of `level` than `state`, or `end` when there is none.
  // REQUIRES: frame < end <= frames.frameCount.
  static std::uint32_t FirstFrameOffSide(const SampleFrames& frames, std::uint32_t frame,
                                         std::uint32_t end, std::uint8_t level,
                                         std::uint8_t state);
  // Takes up to maxSteps steps while the cursor is below `target`, and
  // returns how many it took. Same arithmetic result as that many Advance().
  std::int32_t AdvanceBelow(double target, std::int32_t maxSteps);

  // The cursor's binade [start, end) with its unit, and the step rounded to
  // that unit (in units): AdvanceBelow's arithmetic, recomputed whenever the
  // cursor or the step leaves what it was computed for.
  struct Binade {
    double start = 0.0;
    double end = 0.0;
    double unit = 0.0;
    double step = 0.0;
    double increment = 0.0;
    bool tie = false;
    void For(double position, double step);
  };

  double m_step = 1.0;
  double m_position = 0.0;
  Binade m_binade;
};

}  // namespace tapedecoder

#endif  // TAPEDECODER_AUDIO_READ_CURSOR_H_
