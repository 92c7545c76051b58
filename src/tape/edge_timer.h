// Timing one run of the signal against the threshold level.
#ifndef TAPEDECODER_TAPE_EDGE_TIMER_H_
#define TAPEDECODER_TAPE_EDGE_TIMER_H_

#include <cstdint>

#include "audio/wave_source.h"
#include "tape/decode_settings.h"

namespace tapedecoder {

// Measures how many read steps the signal stays on one side of the level.
//
// The level is settings.manualLevel (as an unsigned 8-bit value) or, when
// settings.levelMode is LEVEL_AUTO, source.GetAutoLevel(autoPoints) taken
// afresh at the cursor before any sample is read. A sample is high when it
// is strictly greater than the level.
//
// `levelState` is the side of the last sample examined (0 low, 1 high); the
// caller keeps it from one call to the next. Each step reads the sample at
// the cursor, takes its side, advances the cursor, and returns the step's
// 0-based index when the side differs from levelState (which is then
// updated). So a run of k steps between two changes measures k - 1.
//
// Returns -1, leaving levelState unchanged, when the read fails (the
// cursor is past the data; no step is taken) or when no change shows within
// the step limit, MEASURE_LIMIT_FRAMES / source.GetStep() truncated (500
// at a step of 0.2), after which the cursor has moved by exactly that many
// steps.
//
// REQUIRES: source.GetStep() > 0.
std::int32_t MeasurePulse(const DecodeSettings& settings, CWaveSource& source,
                          std::uint8_t& levelState);

// The step limit for a read step of `step` frames.
std::int32_t MeasureStepLimit(double step);

}  // namespace tapedecoder

#endif  // TAPEDECODER_TAPE_EDGE_TIMER_H_
