// The numbers of the classic decoder: pulse ranges, threshold and channels.
#ifndef TAPEDECODER_TAPE_DECODE_SETTINGS_H_
#define TAPEDECODER_TAPE_DECODE_SETTINGS_H_

#include <cstdint>

namespace tapedecoder {

// How the threshold between high and low samples is chosen.
enum LevelMode : std::uint8_t {
  LEVEL_MANUAL = 0,  // the fixed manualLevel
  LEVEL_AUTO = 1,    // computed afresh for every pulse from autoPoints frames
};

// Pulse bounds are counts of read steps (a fifth of a frame during a
// conversion); a pulse of k steps between two crossings measures k - 1.
// Both ends of each range are inclusive. The defaults below are the only
// place the default settings are written; texts, help and manuals are
// made from them or checked against them.
struct DecodeSettings {
  float zeroMin = 11.0f;
  float zeroMax = 75.0f;
  float oneMin = 76.0f;
  float oneMax = 110.0f;
  float pilotMin = 111.0f;
  float pilotMax = 150.0f;
  std::int32_t manualLevel = 127;  // 0..255 when levelMode is LEVEL_MANUAL
  std::int32_t autoPoints = 200;   // window in frames, >= 1 when LEVEL_AUTO
  LevelMode levelMode = LEVEL_AUTO;
  bool useLeft = true;   // stereo only: the left channel takes part
  bool useRight = true;  // stereo only: the right channel takes part
};

// The first check a record fails, in the order they run: the zero, one
// and pilot ranges (minimum above maximum), then the value of the selected
// level mode only (manual level outside 0..255, points below 1).
enum SettingsProblem : std::uint8_t {
  SETTINGS_OK = 0,
  SETTINGS_ZERO_RANGE,
  SETTINGS_ONE_RANGE,
  SETTINGS_PILOT_RANGE,
  SETTINGS_LEVEL,
  SETTINGS_POINTS,
};

SettingsProblem CheckSettings(const DecodeSettings& settings);

}  // namespace tapedecoder

#endif  // TAPEDECODER_TAPE_DECODE_SETTINGS_H_
