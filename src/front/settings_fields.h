// The front ends' view of the classic settings: the eight field texts of
// the dialog, the number readers both front ends share, and the texts of
// the defaults.
#ifndef TAPEDECODER_FRONT_SETTINGS_FIELDS_H_
#define TAPEDECODER_FRONT_SETTINGS_FIELDS_H_

#include <array>
#include <cstdint>
#include <string>

#include "tape/decode_settings.h"

namespace tapedecoder {

// Indexes of the eight field texts handed to ParseSettings.
enum SettingsField : int {
  FIELD_ZERO_MIN,
  FIELD_ZERO_MAX,
  FIELD_ONE_MIN,
  FIELD_ONE_MAX,
  FIELD_PILOT_MIN,
  FIELD_PILOT_MAX,
  FIELD_LEVEL,
  FIELD_POINTS,
  FIELD_COUNT
};

using SettingsTexts = std::array<std::string, FIELD_COUNT>;

// The texts of DecodeSettings' defaults ("11", "75", ..., "200"); they
// parse back to those defaults.
SettingsTexts DefaultSettingsTexts();

// A number as the texts show it: whole numbers without a fraction ("110"),
// others with the shortest fraction that reads back to the same float.
std::string NumberText(double value);

// Builds a record from the eight field texts (in SettingsField order), the
// two check-box states and the selected level mode. Never fails:
// - a bound reads like C's atof in the "C" locale (whatever the process
//   locale is), then rounds to the nearest float (BoundFromText);
// - the level and the points read like atoi: blanks, a sign, decimal digits
//   up to the first non-digit; no digits give 0. A value beyond 32 bits
//   saturates at INT32_MIN or INT32_MAX.
DecodeSettings ParseSettings(const SettingsTexts& texts, bool useLeft,
                             bool useRight, LevelMode levelMode);

// A bound read from text: leading blanks, a sign, digits with a decimal
// point and an exponent, up to the first character that does not fit, in
// the "C" locale; no number gives 0. The double is rounded to the nearest
// float as IEEE rounding gives it: beyond the float range by half a unit
// or more is infinity.
float BoundFromText(const std::string& text);

// The number readers of ParseSettings.
double ParseDoubleLikeAtof(const std::string& text);
std::int32_t ParseIntLikeAtoi(const std::string& text);

}  // namespace tapedecoder

#endif  // TAPEDECODER_FRONT_SETTINGS_FIELDS_H_
