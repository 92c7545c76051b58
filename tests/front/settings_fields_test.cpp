#include "front/dialog_messages.h"
#include "front/settings_fields.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdint>
#include <limits>
#include <string>

using namespace tapedecoder;

namespace {

const char* const kZeroText = "Минимальная граница нуля больше максимальной!";
const char* const kOneText = "Минимальная граница единицы больше максимальной!";
const char* const kPilotText = "Минимальная граница пилот-тона больше максимальной!";
const char* const kLevelText = "Уровень должен быть от 0 до 255!";
const char* const kPointsText = "Количество точек должно быть больше нуля!";

DecodeSettings Parse(SettingsTexts texts, LevelMode mode = LEVEL_AUTO) {
  return ParseSettings(texts, true, true, mode);
}

SettingsTexts With(std::initializer_list<std::pair<SettingsField, const char*>> changes) {
  SettingsTexts texts = DefaultSettingsTexts();
  for (const auto& [field, text] : changes) texts[field] = text;
  return texts;
}

// The text of the first failing check, or "" when the record passes.
std::string Verdict(const DecodeSettings& settings) {
  const auto message = ValidateSettings(settings);
  if (!message) return "";
  EXPECT_EQ(message->caption, "Ошибка");
  return message->text;
}

TEST(ParseSettingsTest, DefaultTextsGiveTheDefaultRecord) {
  const DecodeSettings parsed = Parse(DefaultSettingsTexts());
  const DecodeSettings defaults;
  EXPECT_EQ(parsed.zeroMin, defaults.zeroMin);
  EXPECT_EQ(parsed.zeroMax, defaults.zeroMax);
  EXPECT_EQ(parsed.oneMin, defaults.oneMin);
  EXPECT_EQ(parsed.oneMax, defaults.oneMax);
  EXPECT_EQ(parsed.pilotMin, defaults.pilotMin);
  EXPECT_EQ(parsed.pilotMax, defaults.pilotMax);
  EXPECT_EQ(parsed.manualLevel, defaults.manualLevel);
  EXPECT_EQ(parsed.autoPoints, defaults.autoPoints);
  EXPECT_EQ(parsed.levelMode, LEVEL_AUTO);
  EXPECT_TRUE(parsed.useLeft && parsed.useRight);
  EXPECT_EQ(Verdict(parsed), "");
}

TEST(ParseSettingsTest, BoundsReadLikeAtofAndRoundToFloat) {
  struct Row {
    const char* text;
    float expected;
  } rows[] = {
      {"12abc", 12.0f},   {"", 0.0f},         {"abc", 0.0f},
      {"  \t42", 42.0f},  {"-3.5", -3.5f},    {"+7", 7.0f},
      {"1.5e2x", 150.0f}, {".5", 0.5f},       {"1e", 1.0f},
      {"0.1", 0.1f},      {"3.", 3.0f},       {"1,5", 1.0f},
      // The nearest float to the double, not a truncation of it.
      {"16777217", 16777216.0f},
      {"0.30000001192092896", 0.3f},
      // Beyond the float range: the largest float, then infinity.
      {"3.4028235e38", std::numeric_limits<float>::max()},
      {"1e39", std::numeric_limits<float>::infinity()},
      {"-1e300", -std::numeric_limits<float>::infinity()},
  };
  for (const Row& row : rows) {
    const DecodeSettings s = Parse(With({{FIELD_ZERO_MIN, row.text}}));
    EXPECT_EQ(s.zeroMin, row.expected) << '"' << row.text << '"';
  }
}

TEST(ParseSettingsTest, EveryFieldGoesToItsOwnMember) {
  const DecodeSettings s =
      ParseSettings({"1", "2", "3", "4", "5", "6", "7", "8"}, false, true, LEVEL_MANUAL);
  EXPECT_EQ(s.zeroMin, 1.0f);
  EXPECT_EQ(s.zeroMax, 2.0f);
  EXPECT_EQ(s.oneMin, 3.0f);
  EXPECT_EQ(s.oneMax, 4.0f);
  EXPECT_EQ(s.pilotMin, 5.0f);
  EXPECT_EQ(s.pilotMax, 6.0f);
  EXPECT_EQ(s.manualLevel, 7);
  EXPECT_EQ(s.autoPoints, 8);
  EXPECT_EQ(s.levelMode, LEVEL_MANUAL);
  EXPECT_FALSE(s.useLeft);
  EXPECT_TRUE(s.useRight);
}

TEST(ParseSettingsTest, LevelAndPointsReadLikeAtoi) {
  struct Row {
    const char* text;
    std::int32_t expected;
  } rows[] = {
      {"127", 127}, {"", 0},       {"x1", 0},    {" -5", -5},
      {"+9", 9},    {"12.9", 12},  {"300abc", 300}, {"- 4", 0},
      {"0007", 7},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(Parse(With({{FIELD_LEVEL, row.text}})).manualLevel, row.expected)
        << '"' << row.text << '"';
    EXPECT_EQ(Parse(With({{FIELD_POINTS, row.text}})).autoPoints, row.expected)
        << '"' << row.text << '"';
  }
}

TEST(ParseSettingsTest, ValuesBeyond32BitsSaturate) {
  const std::string hundredDigits(100, '9');
  const DecodeSettings big = Parse(With({{FIELD_POINTS, hundredDigits.c_str()},
                                         {FIELD_LEVEL, "2147483648"}}));
  EXPECT_EQ(big.autoPoints, std::numeric_limits<std::int32_t>::max());
  EXPECT_EQ(big.manualLevel, std::numeric_limits<std::int32_t>::max());
  EXPECT_EQ(Verdict(big), "");  // a huge window is a valid window

  const std::string hugeNegative = "-" + hundredDigits;
  const DecodeSettings small = Parse(With({{FIELD_POINTS, hugeNegative.c_str()}}));
  EXPECT_EQ(small.autoPoints, std::numeric_limits<std::int32_t>::min());
  EXPECT_EQ(Verdict(small), kPointsText);

  EXPECT_EQ(Parse(With({{FIELD_LEVEL, "2147483647"}})).manualLevel, 2147483647);
  EXPECT_EQ(Parse(With({{FIELD_LEVEL, "-2147483648"}})).manualLevel,
            std::numeric_limits<std::int32_t>::min());
}

TEST(ParseSettingsTest, DecimalPointIsAPeriodWhateverTheProcessLocale) {
  // A locale whose decimal separator is a comma must not cut "1.5" to 1.
  const char* candidates[] = {"ru_RU.UTF-8", "de_DE.UTF-8", "fr_FR.UTF-8"};
  std::string previous = std::setlocale(LC_ALL, nullptr);
  bool switched = false;
  for (const char* name : candidates) {
    if (std::setlocale(LC_ALL, name) != nullptr) {
      switched = true;
      break;
    }
  }
  const float value = Parse(With({{FIELD_ZERO_MIN, "1.5"}})).zeroMin;
  std::setlocale(LC_ALL, previous.c_str());
  EXPECT_EQ(value, 1.5f);
  if (!switched) GTEST_SKIP() << "no comma-decimal locale is installed";
}

TEST(ValidateSettingsTest, ChecksRunInOrderAndReportTheFirstFailure) {
  struct Row {
    const char* name;
    SettingsTexts texts;
    LevelMode mode;
    const char* expected;  // "" when the record passes
  } rows[] = {
      {"equal bounds pass", With({{FIELD_ZERO_MIN, "50"}, {FIELD_ZERO_MAX, "50"}}), LEVEL_AUTO, ""},
      {"reversed zero", With({{FIELD_ZERO_MIN, "80"}}), LEVEL_AUTO, kZeroText},
      {"zero before pilot",
       With({{FIELD_ZERO_MIN, "80"}, {FIELD_PILOT_MIN, "200"}}), LEVEL_AUTO, kZeroText},
      {"reversed one", With({{FIELD_ONE_MIN, "111"}}), LEVEL_AUTO, kOneText},
      {"reversed pilot", With({{FIELD_PILOT_MAX, "110"}}), LEVEL_AUTO, kPilotText},
      {"ranges before level",
       With({{FIELD_ONE_MIN, "200"}, {FIELD_LEVEL, "300"}}), LEVEL_MANUAL, kOneText},
      {"empty zero minimum", With({{FIELD_ZERO_MIN, ""}}), LEVEL_AUTO, ""},
      {"empty zero maximum", With({{FIELD_ZERO_MAX, ""}}), LEVEL_AUTO, kZeroText},
      {"empty points in auto", With({{FIELD_POINTS, ""}}), LEVEL_AUTO, kPointsText},
      {"unused level in auto", With({{FIELD_LEVEL, "300"}}), LEVEL_AUTO, ""},
      {"unused points in manual", With({{FIELD_POINTS, "0"}}), LEVEL_MANUAL, ""},
      {"level 0", With({{FIELD_LEVEL, "0"}}), LEVEL_MANUAL, ""},
      {"level 255", With({{FIELD_LEVEL, "255"}}), LEVEL_MANUAL, ""},
      {"level 256", With({{FIELD_LEVEL, "256"}}), LEVEL_MANUAL, kLevelText},
      {"level -1", With({{FIELD_LEVEL, "-1"}}), LEVEL_MANUAL, kLevelText},
      {"points 1", With({{FIELD_POINTS, "1"}}), LEVEL_AUTO, ""},
      {"points 0", With({{FIELD_POINTS, "0"}}), LEVEL_AUTO, kPointsText},
      {"points -5", With({{FIELD_POINTS, "-5"}}), LEVEL_AUTO, kPointsText},
      {"overlapping ranges", With({{FIELD_ZERO_MAX, "100"}}), LEVEL_AUTO, ""},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(Verdict(Parse(row.texts, row.mode)), row.expected) << row.name;
  }
}

}  // namespace
