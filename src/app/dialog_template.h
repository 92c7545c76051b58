// The main dialog as data: its size, title and the 28 controls in template
// order, all in dialog units, and the conversion of dialog units to pixels
// for a given font.
#ifndef TAPEDECODER_APP_DIALOG_TEMPLATE_H_
#define TAPEDECODER_APP_DIALOG_TEMPLATE_H_

#include <array>
#include <cstdint>

class QFont;
class QRect;

namespace tapedecoder {

// The dialog template and the ids of the controls that the dialog addresses.
constexpr int IDC_STATIC = -1;  // a control that is never addressed
constexpr int IDC_ZERO_MIN = 1003;
constexpr int IDC_PROCESS = 1004;
constexpr int IDC_ZERO_MAX = 1006;
constexpr int IDC_ONE_MIN = 1007;
constexpr int IDC_ONE_MAX = 1008;
constexpr int IDC_PILOT_MIN = 1009;
constexpr int IDC_PILOT_MAX = 1010;
constexpr int IDC_USE_LEFT = 1012;
constexpr int IDC_LEVEL_MANUAL = 1013;
constexpr int IDC_USE_RIGHT = 1014;
constexpr int IDC_LEVEL_VALUE = 1015;
constexpr int IDC_LEVEL_AUTO = 1016;
constexpr int IDC_AUTO_POINTS = 1017;

enum ControlKind : std::uint8_t {
  CONTROL_GROUP_BOX,     // a frame with its caption centred on the top edge
  CONTROL_EDIT,          // one line, digits only, scrolls sideways
  CONTROL_LABEL,         // a short text centred both ways
  CONTROL_HINT,          // left-aligned word-wrapped text in a sunken edge
  CONTROL_PUSH_BUTTON,   // never the dialog's default button
  CONTROL_CHECK_BOX,     // toggles itself when clicked
  CONTROL_RADIO_BUTTON,  // selects itself and clears the others of its group
};

// Keyboard flags of a control.
enum ControlFlags : std::uint8_t {
  CONTROL_TAB_STOP = 1,     // the Tab key stops here
  CONTROL_STARTS_GROUP = 2  // the first control of a keyboard group
};

// One control of the template. Coordinates are dialog units relative to
// the dialog's client area: 4 units across and 8 down make the font's
// average character width and its height.
struct ControlTemplate {
  ControlKind kind;
  int id;            // IDC_ constant, or IDC_STATIC
  const char* text;  // UTF-8 caption; empty for the edit fields
  int x;
  int y;
  int cx;
  int cy;
  std::uint8_t flags;  // ControlFlags
};

constexpr int MAIN_DIALOG_WIDTH = 327;   // dialog units
constexpr int MAIN_DIALOG_HEIGHT = 221;  // dialog units
constexpr int MAIN_CONTROL_COUNT = 28;

// The dialog's title, UTF-8.
extern const char* const MAIN_DIALOG_TITLE;

// The controls of the main dialog in template order, which is also the Tab order
// over the rows that carry CONTROL_TAB_STOP.
extern const std::array<ControlTemplate, MAIN_CONTROL_COUNT> MAIN_DIALOG_CONTROLS;

// The pixels per 4 horizontal and per 8 vertical dialog units.
struct DialogBaseUnits {
  int x;  // the average width of the 52 letters A-Z and a-z, rounded down
  int y;  // the font's height
};

// The font the dialog is laid out in: the platform's sans-serif font at
// 8 points, normal weight.
QFont MainDialogFont();

// The base units of `font`, as the Windows dialog manager derives them:
// x = (advance of "A..Za..z" + 26) / 52, y = the font's height.
DialogBaseUnits BaseUnitsOf(const QFont& font);

// number * numerator / denominator, rounded to the nearest integer with
// halves away from zero; -1 when denominator is 0.
int MulDiv(int number, int numerator, int denominator);

// A rectangle in dialog units converted to pixels. Position and size are
// converted separately, as the dialog manager places controls.
QRect DialogUnitsToPixels(const DialogBaseUnits& base, const QRect& units);
QRect DialogUnitsToPixels(const QFont& font, const QRect& units);

}  // namespace tapedecoder

#endif  // TAPEDECODER_APP_DIALOG_TEMPLATE_H_
