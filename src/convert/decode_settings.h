// The settings of one conversion: pulse ranges, threshold and channels,
// read from the texts of the dialog's fields and checked before a file is chosen.
#ifndef TAPEDECODER_CONVERT_DECODE_SETTINGS_H_
#define TAPEDECODER_CONVERT_DECODE_SETTINGS_H_

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace tapedecoder {

// How the threshold between high and low samples is chosen.
enum LevelMode : std::uint8_t {
  LEVEL_MANUAL = 0,  // the fixed manualLevel
  LEVEL_AUTO = 1,    // computed afresh for every pulse from autoPoints frames
};

// Pulse bounds are counts of read steps (a fifth of a frame during a
// conversion); a pulse of k steps between two crossings measures k - 1.
// Both ends of each range are inclusive.
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

// The text and caption of one message box that a front end shows.
// Both are UTF-8.
struct UserMessage {
  std::string text;
  std::string caption;
};

bool operator==(const UserMessage& a, const UserMessage& b);

// Captions of every message the system shows.
extern const char* const CAPTION_ERROR;    // "Ошибка"
extern const char* const CAPTION_MESSAGE;  // "Сообщение"

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

// The texts the dialog shows when it opens; they parse to the defaults above.
extern const SettingsTexts DEFAULT_SETTINGS_TEXTS;

// Builds a record from the eight field texts (in SettingsField order), the
// two check-box states and the selected level mode. Never fails:
// - a bound reads like C's atof in the "C" locale (whatever the process
//   locale is): leading blanks, a sign, digits with a decimal point and an
//   exponent, up to the first character that does not fit; no number gives 0.
//   The double is then rounded to the nearest float;
// - the level and the points read like atoi: blanks, a sign, decimal digits
//   up to the first non-digit; no digits give 0. A value beyond 32 bits
//   saturates at INT32_MIN or INT32_MAX.
DecodeSettings ParseSettings(const SettingsTexts& texts, bool useLeft,
                             bool useRight, LevelMode levelMode);

// Returns nothing for an acceptable record, otherwise the message of the
// first failing check, caption CAPTION_ERROR. Checked in order: the zero,
// one and pilot ranges (minimum above maximum), then the value of the
// selected level mode only (manual level outside 0..255, points below 1).
std::optional<UserMessage> ValidateSettings(const DecodeSettings& settings);

// The number readers of ParseSettings, for the front ends.
double ParseDoubleLikeAtof(const std::string& text);
std::int32_t ParseIntLikeAtoi(const std::string& text);

}  // namespace tapedecoder

#endif  // TAPEDECODER_CONVERT_DECODE_SETTINGS_H_
