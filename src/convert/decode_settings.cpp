#include "convert/decode_settings.h"

#include <locale.h>
#include <stdlib.h>

#include <cstdint>
#include <limits>

namespace tapedecoder {

const char* const CAPTION_ERROR = "Ошибка";
const char* const CAPTION_MESSAGE = "Сообщение";

const SettingsTexts DEFAULT_SETTINGS_TEXTS = {"11",  "75",  "76",  "110",
                                              "111", "150", "127", "200"};

bool operator==(const UserMessage& a, const UserMessage& b) {
  return a.text == b.text && a.caption == b.caption;
}

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
  auto bound = [&texts](SettingsField field) {
    return NearestFloat(ParseDoubleLikeAtof(texts[field]));
  };
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

std::optional<UserMessage> ValidateSettings(const DecodeSettings& settings) {
  auto error = [](const char* text) {
    return std::optional<UserMessage>(UserMessage{text, CAPTION_ERROR});
  };
  if (settings.zeroMin > settings.zeroMax)
    return error("Минимальная граница нуля больше максимальной!");
  if (settings.oneMin > settings.oneMax)
    return error("Минимальная граница единицы больше максимальной!");
  if (settings.pilotMin > settings.pilotMax)
    return error("Минимальная граница пилот-тона больше максимальной!");
  if (settings.levelMode == LEVEL_MANUAL &&
      (settings.manualLevel < 0 || settings.manualLevel > 255))
    return error("Уровень должен быть от 0 до 255!");
  if (settings.levelMode == LEVEL_AUTO && settings.autoPoints < 1)
    return error("Количество точек должно быть больше нуля!");
  return std::nullopt;
}

}  // namespace tapedecoder
