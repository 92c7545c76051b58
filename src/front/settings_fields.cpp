#include "front/settings_fields.h"

#include <locale.h>
#include <stdlib.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>

namespace tapedecoder {

namespace {

// The "C" locale, so that a decimal point is '.' even when the process runs
// in a locale whose separator is ','.
locale_t CLocale() {
  static const locale_t locale = newlocale(LC_ALL_MASK, "C", nullptr);
  return locale;
}

// The white space that atoi skips in the "C" locale.
bool IsCSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' ||
         c == '\r';
}

// The float nearest to `value`, as IEEE rounding gives it: beyond the
// largest float by half a unit or more is infinity. (A plain conversion of
// a double outside the float range is undefined.)
float NearestFloat(double value) {
  constexpr double kLargest = std::numeric_limits<float>::max();
  constexpr double kHalfUnit = 0x1p103;  // half the spacing of floats at the top
  if (value > kLargest) return value < kLargest + kHalfUnit ? std::numeric_limits<float>::max()
                                                             : std::numeric_limits<float>::infinity();
  if (value < -kLargest) return value > -kLargest - kHalfUnit ? std::numeric_limits<float>::lowest()
                                                               : -std::numeric_limits<float>::infinity();
  return static_cast<float>(value);
}

}  // namespace

SettingsTexts DefaultSettingsTexts() {
  const DecodeSettings defaults;
  return {NumberText(defaults.zeroMin),  NumberText(defaults.zeroMax),
          NumberText(defaults.oneMin),   NumberText(defaults.oneMax),
          NumberText(defaults.pilotMin), NumberText(defaults.pilotMax),
          NumberText(defaults.manualLevel), NumberText(defaults.autoPoints)};
}

std::string NumberText(double value) {
  char text[400];
  if (std::fabs(value) < 1e15 && value == std::trunc(value)) {
    std::snprintf(text, sizeof text, "%.0f", value);
    return text;
  }
  // The shortest of %.1g ... %.17g that reads back to the same float.
  for (int digits = 1; digits <= 17; ++digits) {
    std::snprintf(text, sizeof text, "%.*g", digits, value);
    if (static_cast<float>(ParseDoubleLikeAtof(text)) == static_cast<float>(value)) break;
  }
  return text;
}

float BoundFromText(const std::string& text) { return NearestFloat(ParseDoubleLikeAtof(text)); }

double ParseDoubleLikeAtof(const std::string& text) {
  // strtod stops at the first character that does not fit and at the
  // terminating zero; a text without a number gives 0.
  return strtod_l(text.c_str(), nullptr, CLocale());
}

std::int32_t ParseIntLikeAtoi(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && IsCSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  // Accumulate the magnitude, stopping once it is past every 32-bit value.
  constexpr std::int64_t kLimit =
      static_cast<std::int64_t>(std::numeric_limits<std::int32_t>::max()) + 1;
  std::int64_t magnitude = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    if (magnitude <= kLimit) magnitude = magnitude * 10 + (text[i] - '0');
  }
  const std::int64_t value = negative ? -magnitude : magnitude;
  if (value > std::numeric_limits<std::int32_t>::max())
    return std::numeric_limits<std::int32_t>::max();
  if (value < std::numeric_limits<std::int32_t>::min())
    return std::numeric_limits<std::int32_t>::min();
  return static_cast<std::int32_t>(value);
}

DecodeSettings ParseSettings(const SettingsTexts& texts, bool useLeft,
                             bool useRight, LevelMode levelMode) {
  auto bound = [&texts](SettingsField field) { return BoundFromText(texts[field]); };
  DecodeSettings settings;
  settings.zeroMin = bound(FIELD_ZERO_MIN);
  settings.zeroMax = bound(FIELD_ZERO_MAX);
  settings.oneMin = bound(FIELD_ONE_MIN);
  settings.oneMax = bound(FIELD_ONE_MAX);
  settings.pilotMin = bound(FIELD_PILOT_MIN);
  settings.pilotMax = bound(FIELD_PILOT_MAX);
  settings.manualLevel = ParseIntLikeAtoi(texts[FIELD_LEVEL]);
  settings.autoPoints = ParseIntLikeAtoi(texts[FIELD_POINTS]);
  settings.levelMode = levelMode;
  settings.useLeft = useLeft;
  settings.useRight = useRight;
  return settings;
}

}  // namespace tapedecoder
