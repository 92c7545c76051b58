#include "tape/decode_settings.h"

namespace tapedecoder {

SettingsProblem CheckSettings(const DecodeSettings& settings) {
  if (settings.zeroMin > settings.zeroMax) return SETTINGS_ZERO_RANGE;
  if (settings.oneMin > settings.oneMax) return SETTINGS_ONE_RANGE;
  if (settings.pilotMin > settings.pilotMax) return SETTINGS_PILOT_RANGE;
  if (settings.levelMode == LEVEL_MANUAL &&
      (settings.manualLevel < 0 || settings.manualLevel > 255))
    return SETTINGS_LEVEL;
  if (settings.levelMode == LEVEL_AUTO && settings.autoPoints < 1) return SETTINGS_POINTS;
  return SETTINGS_OK;
}

}  // namespace tapedecoder
