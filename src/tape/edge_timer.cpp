#include "tape/edge_timer.h"

#include <limits>

#include "tape/tape_format.h"

namespace tapedecoder {

std::int32_t MeasureStepLimit(double step) {
  const double limit = MEASURE_LIMIT_FRAMES / step;
  // A step of zero or less never reaches a conversion; clamp instead of
  // converting an out-of-range double.
  if (!(limit > 0.0)) return 0;
  if (limit >= static_cast<double>(std::numeric_limits<std::int32_t>::max()))
    return std::numeric_limits<std::int32_t>::max();
  return static_cast<std::int32_t>(limit);
}

std::int32_t MeasurePulse(const DecodeSettings& settings, CWaveSource& source,
                          std::uint8_t& levelState) {
  const std::int32_t limit = MeasureStepLimit(source.GetStep());

  // The automatic level follows the cursor: it is taken where this run's
  // measurement begins.
  std::uint8_t level = static_cast<std::uint8_t>(settings.manualLevel);
  if (settings.levelMode == LEVEL_AUTO)
    level = source.GetAutoLevel(static_cast<std::uint32_t>(settings.autoPoints));

  return source.ScanForSideChange(level, levelState, limit);
}

}  // namespace tapedecoder
