#include "app/dialog_template.h"

#include <QFont>
#include <QFontMetrics>
#include <QRect>
#include <QString>

#include <cstdint>
#include <cstdlib>

namespace tapedecoder {

const char* const MAIN_DIALOG_TITLE =
    "Обработка магнитофонных файлов ZX-Spectrum V1.0";

namespace {

constexpr std::uint8_t TAB = CONTROL_TAB_STOP;
constexpr std::uint8_t GROUP = CONTROL_STARTS_GROUP;

}  // namespace

// Template order is creation order and Tab order. The group boxes are
// created among the controls they frame, so a box may come after a field
// that lies inside it.
constexpr std::array<ControlTemplate, MAIN_CONTROL_COUNT> MAIN_DIALOG_CONTROLS = {{
    {CONTROL_GROUP_BOX, IDC_STATIC, "Настройки", 5, 5, 315, 190, 0},
    {CONTROL_GROUP_BOX, IDC_STATIC, "Длительности сигналов", 10, 15, 160, 175, 0},
    {CONTROL_EDIT, IDC_ZERO_MIN, "", 45, 40, 40, 14, TAB},
    {CONTROL_GROUP_BOX, IDC_STATIC, "Ноль", 15, 25, 145, 35, 0},
    {CONTROL_EDIT, IDC_ZERO_MAX, "", 115, 40, 40, 14, TAB},
    {CONTROL_LABEL, IDC_STATIC, "от", 20, 40, 20, 15, GROUP},
    {CONTROL_LABEL, IDC_STATIC, "до", 90, 40, 20, 15, GROUP},
    {CONTROL_EDIT, IDC_ONE_MIN, "", 45, 80, 40, 14, TAB},
    {CONTROL_GROUP_BOX, IDC_STATIC, "Один", 15, 65, 145, 35, 0},
    {CONTROL_EDIT, IDC_ONE_MAX, "", 115, 80, 40, 14, TAB},
    {CONTROL_LABEL, IDC_STATIC, "от", 20, 80, 20, 15, GROUP},
    {CONTROL_LABEL, IDC_STATIC, "до", 90, 80, 20, 15, GROUP},
    {CONTROL_EDIT, IDC_PILOT_MIN, "", 45, 120, 40, 14, TAB},
    {CONTROL_GROUP_BOX, IDC_STATIC, "Пилот-тон", 15, 105, 145, 35, 0},
    {CONTROL_EDIT, IDC_PILOT_MAX, "", 115, 120, 40, 14, TAB},
    {CONTROL_LABEL, IDC_STATIC, "от", 20, 120, 20, 15, GROUP},
    {CONTROL_LABEL, IDC_STATIC, "до", 90, 120, 20, 15, GROUP},
    {CONTROL_HINT, IDC_STATIC,
     "Длительность сигналов:\nСамый короткий-ноль.\nВ два раза длиннее - "
     "единица.\nЕщё немного больше - пилот-тон.",
     15, 145, 145, 40, GROUP},
    {CONTROL_PUSH_BUTTON, IDC_PROCESS,
     "Обработать несжатый wav-файл, 44100, 8 бит, моно/стерео и получить "
     "tap-файл.",
     5, 200, 315, 14, TAB},
    {CONTROL_GROUP_BOX, IDC_STATIC, "Каналы (только для стерео записи)", 175, 15, 140, 45, 0},
    {CONTROL_CHECK_BOX, IDC_USE_LEFT, "Использовать левый канал", 180, 30, 125, 10, TAB},
    {CONTROL_CHECK_BOX, IDC_USE_RIGHT, "Использовать правый канал", 180, 45, 125, 10, TAB},
    {CONTROL_GROUP_BOX, IDC_STATIC, "Средний уровень сигнала", 175, 65, 140, 125, 0},
    {CONTROL_RADIO_BUTTON, IDC_LEVEL_MANUAL, "Вручную (0-255)", 180, 100, 75, 10, 0},
    {CONTROL_EDIT, IDC_LEVEL_VALUE, "", 265, 100, 40, 14, TAB},
    {CONTROL_RADIO_BUTTON, IDC_LEVEL_AUTO, "Авто, оценка точек:", 180, 80, 83, 10, 0},
    {CONTROL_EDIT, IDC_AUTO_POINTS, "", 265, 80, 40, 14, TAB},
    {CONTROL_HINT, IDC_STATIC,
     "Сигнал выше среднего уровня трактуется как наличие сигнала, всё что "
     "ниже - как отсутствие сигнала с магнитофона. При авто выборе уровня "
     "44100 точек равны анализу 1 секунды записи. Свыше 1000 ставить не "
     "стоит - долго вычисляется.",
     180, 120, 130, 65, GROUP},
}};

namespace {

constexpr bool IdsAreUnique() {
  for (std::size_t i = 0; i < MAIN_DIALOG_CONTROLS.size(); ++i) {
    for (std::size_t j = i + 1; j < MAIN_DIALOG_CONTROLS.size(); ++j) {
      if (MAIN_DIALOG_CONTROLS[i].id != IDC_STATIC &&
          MAIN_DIALOG_CONTROLS[i].id == MAIN_DIALOG_CONTROLS[j].id)
        return false;
    }
  }
  return true;
}

constexpr bool ControlsLieInsideTheDialog() {
  for (const ControlTemplate& control : MAIN_DIALOG_CONTROLS) {
    if (control.x < 0 || control.y < 0 || control.cx <= 0 || control.cy <= 0 ||
        control.x + control.cx > MAIN_DIALOG_WIDTH ||
        control.y + control.cy > MAIN_DIALOG_HEIGHT)
      return false;
  }
  return true;
}

static_assert(IdsAreUnique(), "a control id is used twice");
static_assert(ControlsLieInsideTheDialog(), "a control lies outside the dialog");

// Every letter once: their mean advance is the font's average character width.
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

}  // namespace

QFont MainDialogFont() {
  // "Sans Serif" is the fontconfig alias of the platform's sans-serif face;
  // the style hint picks one where there is no such alias.
  QFont font(QStringLiteral("Sans Serif"));
  font.setStyleHint(QFont::SansSerif);
  font.setPointSize(8);
  font.setWeight(QFont::Normal);
  font.setItalic(false);
  return font;
}

DialogBaseUnits BaseUnitsOf(const QFont& font) {
  const QFontMetrics metrics(font);
  const int letters = static_cast<int>(sizeof kAlphabet - 1);
  const int advance = metrics.horizontalAdvance(QString::fromLatin1(kAlphabet));
  return DialogBaseUnits{(advance + letters / 2) / letters, metrics.height()};
}

int MulDiv(int number, int numerator, int denominator) {
  if (denominator == 0) return -1;
  const long long product = static_cast<long long>(number) * numerator;
  const long long magnitude = std::llabs(product);
  const long long divisor = std::llabs(static_cast<long long>(denominator));
  // Rounding the magnitudes and restoring the sign rounds halves away from zero.
  const long long rounded = (magnitude + divisor / 2) / divisor;
  const bool negative = (product < 0) != (denominator < 0);
  if (negative) return static_cast<int>(-rounded);
  return static_cast<int>(rounded);
}

QRect DialogUnitsToPixels(const DialogBaseUnits& base, const QRect& units) {
  return QRect(MulDiv(units.x(), base.x, 4), MulDiv(units.y(), base.y, 8),
               MulDiv(units.width(), base.x, 4), MulDiv(units.height(), base.y, 8));
}

QRect DialogUnitsToPixels(const QFont& font, const QRect& units) {
  return DialogUnitsToPixels(BaseUnitsOf(font), units);
}

}  // namespace tapedecoder
