// Dialog units: the rounding of MulDiv, the conversion of template
// rectangles and the base units taken from a font.
#include <QFont>
#include <QFontMetrics>
#include <QObject>
#include <QRect>
#include <QTest>

#include "app/app_tests.h"
#include "app/dialog_template.h"

using namespace tapedecoder;

namespace {

class DialogTemplateTest : public QObject {
  Q_OBJECT

 private slots:
  void MulDivRoundsHalvesAwayFromZero() {
    struct Row {
      int number, numerator, denominator, expected;
    } rows[] = {
        {327, 6, 4, 491},   // 490.5
        {221, 13, 8, 359},  // 359.125
        {14, 13, 8, 23},    // 22.75
        {5, 6, 4, 8},       // 7.5
        {-5, 6, 4, -8},     // -7.5
        {5, -6, 4, -8},
        {-5, 6, -4, 8},
        {3, 1, 2, 2},       // 1.5
        {1, 1, 3, 0},       // 0.33
        {2, 1, 3, 1},       // 0.67
        {0, 7, -3, 0},
        {100000, 100000, 10000, 1000000},  // the product exceeds 32 bits
        {1, 1, 0, -1},                     // no divisor
    };
    for (const Row& row : rows) {
      QCOMPARE(MulDiv(row.number, row.numerator, row.denominator), row.expected);
    }
  }

  void TemplateRectanglesConvertPositionAndSizeSeparately() {
    // Base units 6 x 13 are those of the classic 8-point dialog font.
    const DialogBaseUnits classic{6, 13};
    QCOMPARE(DialogUnitsToPixels(classic, QRect(0, 0, 327, 221)), QRect(0, 0, 491, 359));
    QCOMPARE(DialogUnitsToPixels(classic, QRect(45, 40, 40, 14)), QRect(68, 65, 60, 23));
    // x 5 -> 7.5 and width 315 -> 472.5 round on their own, so the right
    // edge is 481 where converting the edge 320 would give 480.
    QCOMPARE(DialogUnitsToPixels(classic, QRect(5, 200, 315, 14)), QRect(8, 325, 473, 23));
  }

  void BaseUnitsAreTheAverageLetterWidthAndTheFontHeight() {
    // In a fixed-pitch font every letter has the same advance, so the
    // average over the 52 letters is that advance.
    QFont mono(QStringLiteral("DejaVu Sans Mono"));
    mono.setStyleHint(QFont::Monospace);
    mono.setPointSize(8);
    const QFontMetrics metrics(mono);
    const DialogBaseUnits units = BaseUnitsOf(mono);
    QCOMPARE(units.x, metrics.horizontalAdvance(QLatin1Char('W')));
    QCOMPARE(units.x, metrics.horizontalAdvance(QLatin1Char('i')));
    QCOMPARE(units.y, metrics.height());
  }

  void TheDialogGrowsWithItsFont() {
    QFont large = MainDialogFont();
    large.setPointSize(16);
    const QRect small = DialogUnitsToPixels(MainDialogFont(), QRect(0, 0, 327, 221));
    const QRect big = DialogUnitsToPixels(large, QRect(0, 0, 327, 221));
    QVERIFY2(big.width() > small.width() * 17 / 10 && big.height() > small.height() * 17 / 10,
             "dialog units do not follow the font");
  }
};

}  // namespace

int RunDialogTemplateTests(int argc, char** argv) {
  DialogTemplateTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "dialog_template_test.moc"
