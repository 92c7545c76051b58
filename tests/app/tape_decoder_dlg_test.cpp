// The main dialog as a user meets it: its controls and their geometry, the
// keyboard, the fields' input rules, and whole presses of the process button
// with the file chooser and the message box replaced or driven.

// Mouse clicks go to the window and reach whichever control lies under the
// point, as a user's do, rather than straight to the widget named.
#define QTEST_QPA_MOUSE_HANDLING

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QTest>
#include <QTimer>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/app_tests.h"
#include "app/dialog_template.h"
#include "app/tape_decoder_app.h"
#include "app/tape_decoder_dlg.h"
#include "test_support.h"

using namespace tapedecoder;

namespace {

using testing_support::Bytes;
using testing_support::HaveTool;
using testing_support::ReadFile;
using testing_support::RunCommand;
using testing_support::ScratchDir;
using testing_support::ShellQuote;
using testing_support::WriteFile;

const char* const kError = "Ошибка";
const char* const kMessage = "Сообщение";
const char* const kComplete = "Создание tap-файла и txt-файла данных завершено.";
const char* const kCannotOpen =
    "Не могу открыть этот файл.\n"
    "Проверьте, не заблокирован ли он сторонней программой\n"
    "или его параметры не соответствуют 'не сжатый/44100/8/моно(стерео)'";

QString U(const char* text) { return QString::fromUtf8(text); }

// The dialog as it must come out, written down independently of the table
// the program builds it from.
struct ExpectedControl {
  int id;
  ControlKind kind;
  const char* caption;
  int x, y, cx, cy;
};

const ExpectedControl kExpected[] = {
    {-1, CONTROL_GROUP_BOX, "Настройки", 5, 5, 315, 190},
    {-1, CONTROL_GROUP_BOX, "Длительности сигналов", 10, 15, 160, 175},
    {1003, CONTROL_EDIT, "", 45, 40, 40, 14},
    {-1, CONTROL_GROUP_BOX, "Ноль", 15, 25, 145, 35},
    {1006, CONTROL_EDIT, "", 115, 40, 40, 14},
    {-1, CONTROL_LABEL, "от", 20, 40, 20, 15},
    {-1, CONTROL_LABEL, "до", 90, 40, 20, 15},
    {1007, CONTROL_EDIT, "", 45, 80, 40, 14},
    {-1, CONTROL_GROUP_BOX, "Один", 15, 65, 145, 35},
    {1008, CONTROL_EDIT, "", 115, 80, 40, 14},
    {-1, CONTROL_LABEL, "от", 20, 80, 20, 15},
    {-1, CONTROL_LABEL, "до", 90, 80, 20, 15},
    {1009, CONTROL_EDIT, "", 45, 120, 40, 14},
    {-1, CONTROL_GROUP_BOX, "Пилот-тон", 15, 105, 145, 35},
    {1010, CONTROL_EDIT, "", 115, 120, 40, 14},
    {-1, CONTROL_LABEL, "от", 20, 120, 20, 15},
    {-1, CONTROL_LABEL, "до", 90, 120, 20, 15},
    {-1, CONTROL_HINT,
     "Длительность сигналов:\nСамый короткий-ноль.\nВ два раза длиннее - единица.\n"
     "Ещё немного больше - пилот-тон.",
     15, 145, 145, 40},
    {1004, CONTROL_PUSH_BUTTON,
     "Обработать несжатый wav-файл, 44100, 8 бит, моно/стерео и получить tap-файл.", 5,
     200, 315, 14},
    {-1, CONTROL_GROUP_BOX, "Каналы (только для стерео записи)", 175, 15, 140, 45},
    {1012, CONTROL_CHECK_BOX, "Использовать левый канал", 180, 30, 125, 10},
    {1014, CONTROL_CHECK_BOX, "Использовать правый канал", 180, 45, 125, 10},
    {-1, CONTROL_GROUP_BOX, "Средний уровень сигнала", 175, 65, 140, 125},
    {1013, CONTROL_RADIO_BUTTON, "Вручную (0-255)", 180, 100, 75, 10},
    {1015, CONTROL_EDIT, "", 265, 100, 40, 14},
    {1016, CONTROL_RADIO_BUTTON, "Авто, оценка точек:", 180, 80, 83, 10},
    {1017, CONTROL_EDIT, "", 265, 80, 40, 14},
    {-1, CONTROL_HINT,
     "Сигнал выше среднего уровня трактуется как наличие сигнала, всё что ниже - как "
     "отсутствие сигнала с магнитофона. При авто выборе уровня 44100 точек равны анализу "
     "1 секунды записи. Свыше 1000 ставить не стоит - долго вычисляется.",
     180, 120, 130, 65},
};

// The Tab key's round, from the zero minimum back to it.
const int kTabOrder[] = {1003, 1006, 1007, 1008, 1009, 1010, 1004, 1012, 1014, 1015, 1017};

// The eight fields in the order ParseSettings reads them, with their defaults.
struct Field {
  int id;
  const char* text;
};
const Field kFields[] = {{1003, "11"},  {1006, "75"},  {1007, "76"},  {1008, "110"},
                         {1009, "111"}, {1010, "150"}, {1015, "127"}, {1017, "200"}};

// Polls for the next application-modal widget of type T and hands it to
// `action` once; gives up after 10 s. Deleting the returned timer stops it.
template <typename T>
QPointer<QTimer> OnNextModal(std::function<void(T*)> action) {
  auto* timer = new QTimer(qApp);
  auto clock = std::make_shared<QElapsedTimer>();
  clock->start();
  timer->setInterval(10);
  QObject::connect(timer, &QTimer::timeout, [timer, clock, action]() {
    T* widget = qobject_cast<T*>(QApplication::activeModalWidget());
    if (widget == nullptr && clock->elapsed() < 10000) return;
    timer->stop();
    timer->deleteLater();
    if (widget != nullptr) action(widget);
  });
  timer->start();
  return timer;
}

class TapeDecoderDlgTest : public QObject {
  Q_OBJECT

 private:
  // A shown, active dialog whose chooser and message box record their calls.
  std::unique_ptr<CTapeDecoderDlg> OpenDialog() {
    auto dialog = std::make_unique<CTapeDecoderDlg>();
    m_chooserCalls = 0;
    m_messages.clear();
    dialog->SetFileChooser([this](QWidget* parent) -> std::optional<QString> {
      ++m_chooserCalls;
      m_chooserParent = parent;
      return m_chosen;
    });
    dialog->SetMessageShower([this](QWidget* parent, const UserMessage& message) {
      m_messages.push_back(message);
      m_messageParent = parent;
    });
    dialog->show();
    if (!QTest::qWaitForWindowActive(dialog.get())) return nullptr;
    return dialog;
  }

  static QLineEdit* Edit(CTapeDecoderDlg& dialog, int id) {
    return qobject_cast<QLineEdit*>(dialog.Item(id));
  }

  static void Retype(QLineEdit* edit, const QString& text) {
    edit->setFocus();
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Delete);
    for (const QChar c : text) {
      if (c.unicode() < 128)
        QTest::keyClick(edit, c.toLatin1());
      else  // keys beyond ASCII arrive as text alone
        QTest::sendKeyEvent(QTest::Click, edit, Qt::Key_unknown, QString(c), Qt::NoModifier);
    }
  }

  static QStringList FieldTexts(CTapeDecoderDlg& dialog) {
    QStringList texts;
    for (const Field& field : kFields) texts << Edit(dialog, field.id)->text();
    return texts;
  }

  // Makes a recording of a one-line BASIC program with zmakebas and
  // tape2wav; returns the tape image that the recording carries.
  static Bytes MakeRecording(const std::filesystem::path& wav) {
    const std::filesystem::path folder = wav.parent_path();
    WriteFile(folder / "program.bas", Bytes{'1', '0', ' ', 'P', 'R', 'I', 'N', 'T', ' ', '4',
                                            '2', '\n'});
    const std::filesystem::path tap = folder / "program.source";
    if (RunCommand("zmakebas -n prog -o " + ShellQuote(tap.string()) + " " +
                   ShellQuote((folder / "program.bas").string())) != 0)
      return {};
    if (RunCommand("tape2wav -r 44100 " + ShellQuote(tap.string()) + " " +
                   ShellQuote(wav.string()) + " >/dev/null 2>&1") != 0)
      return {};
    const Bytes image = ReadFile(tap);
    std::filesystem::remove(tap);
    std::filesystem::remove(folder / "program.bas");
    return image;
  }

  int m_chooserCalls = 0;
  std::optional<QString> m_chosen;
  QWidget* m_chooserParent = nullptr;
  std::vector<UserMessage> m_messages;
  QWidget* m_messageParent = nullptr;
  QString m_savedDirectory;

 private slots:
  void init() {
    m_chosen.reset();
    m_savedDirectory = QDir::currentPath();
  }

  void cleanup() { QDir::setCurrent(m_savedDirectory); }

  void TheDialogIsBuiltFromTheTemplateInDialogUnits() {
    auto dialog = OpenDialog();
    QVERIFY(dialog);
    QCOMPARE(dialog->windowTitle(), U("Обработка магнитофонных файлов ZX-Spectrum V1.0"));
    QCOMPARE(dialog->font().pointSize(), 8);
    const QFont font = dialog->font();
    const QSize size = DialogUnitsToPixels(font, QRect(0, 0, 327, 221)).size();
    QCOMPARE(dialog->size(), size);
    QCOMPARE(dialog->minimumSize(), size);
    QCOMPARE(dialog->maximumSize(), size);
    const Qt::WindowFlags flags = dialog->windowFlags();
    QVERIFY(flags & Qt::WindowCloseButtonHint);
    QVERIFY(flags & Qt::WindowTitleHint);
    QVERIFY(!(flags & Qt::WindowMinimizeButtonHint));
    QVERIFY(!(flags & Qt::WindowMaximizeButtonHint));
    QVERIFY(!(flags & Qt::WindowContextHelpButtonHint));

    // The controls are the dialog's own children, created in template order.
    const QList<QWidget*> children =
        dialog->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly);
    QCOMPARE(children.size(), 28);
    QCOMPARE(static_cast<int>(dialog->Controls().size()), 28);
    int index = 0;
    for (const ExpectedControl& expected : kExpected) {
      QWidget* control = children[index];
      const QByteArray where = QByteArray::number(index + 1) + " " + expected.caption;
      QVERIFY2(control == dialog->Controls()[index], where);
      if (expected.id != -1) QVERIFY2(dialog->Item(expected.id) == control, where);
      QVERIFY2(control->isVisible() && control->isEnabled(), where);
      QCOMPARE(control->geometry(),
               DialogUnitsToPixels(font, QRect(expected.x, expected.y, expected.cx, expected.cy)));
      const QString caption = U(expected.caption);
      switch (expected.kind) {
        case CONTROL_GROUP_BOX: {
          auto* box = qobject_cast<QGroupBox*>(control);
          QVERIFY2(box != nullptr, where);
          QCOMPARE(box->title(), caption);
          QCOMPARE(box->alignment() & Qt::AlignHorizontal_Mask, Qt::AlignHCenter);
          break;
        }
        case CONTROL_EDIT: {
          auto* edit = qobject_cast<QLineEdit*>(control);
          QVERIFY2(edit != nullptr, where);
          QCOMPARE(edit->maxLength(), expected.id == 1017 ? 100 : 5);
          QVERIFY(edit->hasFrame());
          QCOMPARE(edit->alignment() & Qt::AlignHorizontal_Mask, Qt::AlignLeft);
          break;
        }
        case CONTROL_LABEL:
        case CONTROL_HINT: {
          auto* label = qobject_cast<QLabel*>(control);
          QVERIFY2(label != nullptr, where);
          QCOMPARE(label->text(), caption);
          QCOMPARE(label->textFormat(), Qt::PlainText);
          const bool hint = expected.kind == CONTROL_HINT;
          QCOMPARE(label->wordWrap(), hint);
          QCOMPARE(label->alignment(), hint ? (Qt::AlignLeft | Qt::AlignTop) : Qt::AlignCenter);
          QCOMPARE(label->frameShadow(), hint ? QFrame::Sunken : QFrame::Plain);
          QCOMPARE(label->frameWidth() > 0, hint);
          break;
        }
        case CONTROL_PUSH_BUTTON: {
          auto* button = qobject_cast<QPushButton*>(control);
          QVERIFY2(button != nullptr, where);
          QCOMPARE(button->text(), caption);
          QVERIFY(!button->isDefault());
          QVERIFY(!button->autoDefault());
          QVERIFY(!button->isCheckable());
          break;
        }
        case CONTROL_CHECK_BOX: {
          auto* box = qobject_cast<QCheckBox*>(control);
          QVERIFY2(box != nullptr, where);
          QCOMPARE(box->text(), caption);
          QVERIFY(!box->isTristate());
          break;
        }
        case CONTROL_RADIO_BUTTON: {
          auto* radio = qobject_cast<QRadioButton*>(control);
          QVERIFY2(radio != nullptr, where);
          QCOMPARE(radio->text(), caption);
          break;
        }
      }
      ++index;
    }
  }

  void TheDialogOpensCentredWithTheDefaultsAndFocusInTheZeroMinimum() {
    auto dialog = OpenDialog();
    QVERIFY(dialog);
    QStringList defaults;
    for (const Field& field : kFields) defaults << U(field.text);
    QCOMPARE(FieldTexts(*dialog), defaults);
    QVERIFY(qobject_cast<QCheckBox*>(dialog->Item(IDC_USE_LEFT))->isChecked());
    QVERIFY(qobject_cast<QCheckBox*>(dialog->Item(IDC_USE_RIGHT))->isChecked());
    QVERIFY(qobject_cast<QRadioButton*>(dialog->Item(IDC_LEVEL_AUTO))->isChecked());
    QVERIFY(!qobject_cast<QRadioButton*>(dialog->Item(IDC_LEVEL_MANUAL))->isChecked());
    QCOMPARE(QApplication::focusWidget(), dialog->Item(IDC_ZERO_MIN));

    const QPoint screenCentre = dialog->screen()->availableGeometry().center();
    const QPoint centre = dialog->frameGeometry().center();
    QVERIFY2(qAbs(centre.x() - screenCentre.x()) <= 2 &&
                 qAbs(centre.y() - screenCentre.y()) <= 2,
             "the dialog is not centred on the screen");
  }

  void TabVisitsTheTabStopsInTemplateOrder() {
    auto dialog = OpenDialog();
    QVERIFY(dialog);
    QCOMPARE(QApplication::focusWidget(), dialog->Item(IDC_ZERO_MIN));
    const int count = static_cast<int>(std::size(kTabOrder));
    for (int step = 1; step <= count; ++step) {
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
      QCOMPARE(QApplication::focusWidget(), dialog->Item(kTabOrder[step % count]));
    }
    for (int step = count - 1; step >= 0; --step) {
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab, Qt::ShiftModifier);
      QCOMPARE(QApplication::focusWidget(), dialog->Item(kTabOrder[step]));
    }
  }

  void FieldsTakeDigitsOnlyUpToTheirLimit() {
    auto dialog = OpenDialog();
    QVERIFY(dialog);
    struct Row {
      int id;
      QString typed;
      QString kept;
    } rows[] = {
        {IDC_ZERO_MIN, "1a2", "12"},
        {IDC_ZERO_MAX, "-7+", "7"},
        {IDC_ONE_MIN, "1.5", "15"},
        {IDC_ONE_MAX, "1234567", "12345"},
        {IDC_PILOT_MIN, " 9 ", "9"},
        {IDC_PILOT_MAX, "12e3", "123"},
        {IDC_LEVEL_VALUE, "255255", "25525"},
        {IDC_AUTO_POINTS, QString(120, QLatin1Char('7')), QString(100, QLatin1Char('7'))},
        {IDC_AUTO_POINTS, U("ноль0"), "0"},
    };
    for (const Row& row : rows) {
      QLineEdit* edit = Edit(*dialog, row.id);
      Retype(edit, row.typed);
      QCOMPARE(edit->text(), row.kept);
    }
    // Inserted text, as a paste inserts it, is held to the same rules.
    QLineEdit* edit = Edit(*dialog, IDC_ZERO_MIN);
    Retype(edit, "");
    edit->insert("4x");
    QCOMPARE(edit->text(), QString());
    edit->insert("4");
    QCOMPARE(edit->text(), QString("4"));
  }

  void EnterInAFieldStartsNothingAndEscClosesTheDialog() {
    auto dialog = OpenDialog();
    QVERIFY(dialog);
    m_chosen = QString("/nonexistent/never.wav");
    const int ids[] = {IDC_ZERO_MIN, IDC_ONE_MAX, IDC_LEVEL_VALUE, IDC_AUTO_POINTS,
                       IDC_USE_LEFT};
    for (int id : ids) {
      QWidget* control = dialog->Item(id);
      control->setFocus();
      QTest::keyClick(control, Qt::Key_Return);
      QTest::keyClick(control, Qt::Key_Enter, Qt::KeypadModifier);
    }
    QCOMPARE(m_chooserCalls, 0);
    QVERIFY(m_messages.empty());
    QVERIFY(dialog->isVisible());
    QCOMPARE(FieldTexts(*dialog).join(','), QString("11,75,76,110,111,150,127,200"));

    QTest::keyClick(dialog->Item(IDC_ONE_MIN), Qt::Key_Escape);
    QVERIFY(!dialog->isVisible());
    QCOMPARE(dialog->result(), int(QDialog::Rejected));
    QCOMPARE(m_chooserCalls, 0);
  }

  void EnterOrSpaceOnTheFocusedProcessButtonPressesIt() {
    auto dialog = OpenDialog();
    QVERIFY(dialog);
    QWidget* button = dialog->Item(IDC_PROCESS);
    button->setFocus();
    QTest::keyClick(button, Qt::Key_Return);
    QCOMPARE(m_chooserCalls, 1);
    QTest::keyClick(button, Qt::Key_Enter, Qt::KeypadModifier);
    QCOMPARE(m_chooserCalls, 2);
    QTest::keyClick(button, Qt::Key_Space);
    QCOMPARE(m_chooserCalls, 3);
    QCOMPARE(m_chooserParent, static_cast<QWidget*>(dialog.get()));
    // Cancelled every time: no message, the dialog as it was.
    QVERIFY(m_messages.empty());
    QVERIFY(dialog->isVisible());
  }

  void TheCloseBoxClosesTheDialogAndEndsTheModalRun() {
    bool closedWhileModal = false;
    OnNextModal<CTapeDecoderDlg>([&closedWhileModal](CTapeDecoderDlg* dialog) {
      closedWhileModal = true;
      dialog->close();
    });
    RunMainDialog();  // returns only once the dialog is closed
    QVERIFY(closedWhileModal);

    OnNextModal<CTapeDecoderDlg>([](CTapeDecoderDlg* dialog) {
      QTest::keyClick(dialog, Qt::Key_Escape);
    });
    RunMainDialog();
  }

  void TheLevelRadioButtonsAreOneExclusiveGroup() {
    auto dialog = OpenDialog();
    QVERIFY(dialog);
    auto* manual = qobject_cast<QRadioButton*>(dialog->Item(IDC_LEVEL_MANUAL));
    auto* automatic = qobject_cast<QRadioButton*>(dialog->Item(IDC_LEVEL_AUTO));
    struct Step {
      QRadioButton* clicked;
      bool manualChecked;
    } steps[] = {{manual, true}, {manual, true}, {automatic, false}, {automatic, false},
                 {manual, true}};
    for (const Step& step : steps) {
      // Clicked towards the right end, on the caption rather than the
      // indicator, through the group box drawn over it.
      QTest::mouseClick(step.clicked, Qt::LeftButton, Qt::NoModifier,
                        QPoint(step.clicked->width() - 4, step.clicked->height() / 2));
      QCOMPARE(manual->isChecked(), step.manualChecked);
      QCOMPARE(automatic->isChecked(), !step.manualChecked);
    }
    // A field under a group box that was created after it takes the click.
    QTest::mouseClick(dialog->Item(IDC_ZERO_MIN), Qt::LeftButton);
    QCOMPARE(QApplication::focusWidget(), dialog->Item(IDC_ZERO_MIN));
    QTest::mouseClick(dialog->Item(IDC_PILOT_MIN), Qt::LeftButton);
    QCOMPARE(QApplication::focusWidget(), dialog->Item(IDC_PILOT_MIN));
    // Neither field is disabled by the mode, and neither loses its text.
    QVERIFY(Edit(*dialog, IDC_LEVEL_VALUE)->isEnabled());
    QVERIFY(Edit(*dialog, IDC_AUTO_POINTS)->isEnabled());
    QCOMPARE(Edit(*dialog, IDC_AUTO_POINTS)->text(), QString("200"));
  }

  void SettingsThatFailTheirCheckShowOneMessageAndNoFileDialog() {
    const char* zero = "Минимальная граница нуля больше максимальной!";
    const char* one = "Минимальная граница единицы больше максимальной!";
    const char* pilot = "Минимальная граница пилот-тона больше максимальной!";
    const char* level = "Уровень должен быть от 0 до 255!";
    const char* points = "Количество точек должно быть больше нуля!";
    // One changed field each, so that every field is seen to reach its
    // own place in the settings; nullptr marks settings that pass.
    struct Row {
      int id;
      const char* text;
      bool manual;
      const char* message;
    } rows[] = {
        {IDC_ZERO_MIN, "80", false, zero},     {IDC_ZERO_MAX, "", false, zero},
        {IDC_ONE_MIN, "111", false, one},      {IDC_ONE_MAX, "75", false, one},
        {IDC_PILOT_MIN, "151", false, pilot},  {IDC_PILOT_MAX, "110", false, pilot},
        {IDC_LEVEL_VALUE, "256", true, level}, {IDC_LEVEL_VALUE, "256", false, nullptr},
        {IDC_AUTO_POINTS, "0", false, points}, {IDC_AUTO_POINTS, "0", true, nullptr},
        {IDC_AUTO_POINTS, "", false, points},  {IDC_ZERO_MIN, "75", false, nullptr},
    };
    for (const Row& row : rows) {
      auto dialog = OpenDialog();
      QVERIFY(dialog);
      const QByteArray where = QByteArray::number(row.id) + " = \"" + row.text + "\"";
      Retype(Edit(*dialog, row.id), row.text);
      if (row.manual)
        QTest::mouseClick(dialog->Item(IDC_LEVEL_MANUAL), Qt::LeftButton);
      const QStringList before = FieldTexts(*dialog);
      QTest::mouseClick(dialog->Item(IDC_PROCESS), Qt::LeftButton);
      if (row.message != nullptr) {
        QVERIFY2(m_messages.size() == 1, where);
        QCOMPARE(m_messages[0].text, std::string(row.message));
        QCOMPARE(m_messages[0].caption, std::string(kError));
        QCOMPARE(m_messageParent, static_cast<QWidget*>(dialog.get()));
        QVERIFY2(m_chooserCalls == 0, where);
      } else {
        // Passed: the chooser is asked, and its cancel shows nothing.
        QVERIFY2(m_messages.empty(), where);
        QVERIFY2(m_chooserCalls == 1, where);
      }
      QCOMPARE(FieldTexts(*dialog), before);
      QVERIFY(dialog->isVisible());
    }
  }

  void EveryCaptionFitsItsControl() {
    auto dialog = OpenDialog();
    QVERIFY(dialog);
    for (QWidget* control : dialog->Controls()) {
      const QByteArray name = control->metaObject()->className();
      if (auto* box = qobject_cast<QGroupBox*>(control)) {
        const int needed = box->fontMetrics().horizontalAdvance(box->title()) + 8;
        QVERIFY2(needed <= box->width(), qPrintable(box->title()));
      } else if (auto* label = qobject_cast<QLabel*>(control)) {
        if (label->wordWrap()) {
          // The room QLabel paints in: inside the frame, past the indent.
          const int indent = label->indent();
          const QRect room = label->contentsRect().adjusted(indent, indent, 0, 0);
          const QRect used = label->fontMetrics().boundingRect(
              room, Qt::TextWordWrap | Qt::AlignLeft | Qt::AlignTop, label->text());
          QVERIFY2(room.contains(used), qPrintable(label->text()));
        } else {
          QVERIFY2(label->sizeHint().width() <= label->width(), qPrintable(label->text()));
          QVERIFY2(label->fontMetrics().height() <= label->height(), qPrintable(label->text()));
        }
      } else if (auto* button = qobject_cast<QAbstractButton*>(control)) {
        QVERIFY2(button->sizeHint().width() <= button->width(), qPrintable(button->text()));
        QVERIFY2(button->fontMetrics().height() <= button->height(),
                 qPrintable(button->text()));
      }
    }
  }

  void APressConvertsTheChosenRecordingInItsFolder() {
    QVERIFY2(HaveTool("zmakebas") && HaveTool("tape2wav"),
             "the test command installs zmakebas and fuse-emulator-utils");
    ScratchDir scratch;
    const std::filesystem::path folder = scratch / "Записи";
    const std::filesystem::path elsewhere = scratch / "elsewhere";
    std::filesystem::create_directory(folder);
    std::filesystem::create_directory(elsewhere);
    const Bytes image = MakeRecording(folder / "Моя запись.WAV");
    QVERIFY(!image.empty());
    WriteFile(folder / "broken.wav", Bytes{'n', 'o', 't', ' ', 'a', ' ', 'W', 'A', 'V', 'E'});
    QVERIFY(QDir::setCurrent(QString::fromStdString(elsewhere.string())));

    auto dialog = OpenDialog();
    QVERIFY(dialog);
    m_chosen = QString::fromStdString((folder / "Моя запись.WAV").string());
    QTest::mouseClick(dialog->Item(IDC_PROCESS), Qt::LeftButton);

    QCOMPARE(m_chooserCalls, 1);
    QCOMPARE(int(m_messages.size()), 1);
    QCOMPARE(m_messages[0].text, std::string(kComplete));
    QCOMPARE(m_messages[0].caption, std::string(kMessage));
    QCOMPARE(QDir::currentPath(), QString::fromStdString(folder.string()));
    QVERIFY(std::filesystem::is_empty(elsewhere));
    QVERIFY(std::filesystem::exists(folder / "Моя запись.tap"));
    QVERIFY(std::filesystem::exists(folder / "Моя запись.txt"));
    QVERIFY(ReadFile(folder / "Моя запись.tap") == image);
    QVERIFY(std::filesystem::file_size(folder / "Моя запись.txt") > 0);
    QCOMPARE(FieldTexts(*dialog).join(','), QString("11,75,76,110,111,150,127,200"));

    // A second press on a file that is no recording: one message, and the
    // outputs of the first press stay as they were.
    m_messages.clear();
    m_chosen = QString::fromStdString((folder / "broken.wav").string());
    QTest::mouseClick(dialog->Item(IDC_PROCESS), Qt::LeftButton);
    QCOMPARE(int(m_messages.size()), 1);
    QCOMPARE(m_messages[0].text, std::string(kCannotOpen));
    QCOMPARE(m_messages[0].caption, std::string(kError));
    QVERIFY(!std::filesystem::exists(folder / "broken.tap"));
    QVERIFY(ReadFile(folder / "Моя запись.tap") == image);

    // A chosen file whose folder cannot be entered is not mistaken for a
    // same-named recording in the current directory.
    std::filesystem::copy_file(folder / "Моя запись.WAV", folder / "copy.wav");
    m_messages.clear();
    m_chosen = QString::fromStdString((folder / "gone" / "copy.wav").string());
    QTest::mouseClick(dialog->Item(IDC_PROCESS), Qt::LeftButton);
    QCOMPARE(int(m_messages.size()), 1);
    QCOMPARE(m_messages[0].text, std::string(kCannotOpen));
    QVERIFY(!std::filesystem::exists(folder / "copy.tap"));
    QCOMPARE(QDir::currentPath(), QString::fromStdString(folder.string()));
  }

  void TheRealFileDialogAndMessageBoxCarryAPress() {
    ScratchDir scratch;
    QVERIFY(HaveTool("zmakebas") && HaveTool("tape2wav"));
    QVERIFY(!MakeRecording(scratch / "SAVED.WAV").empty());
    for (const char* name : {"a.wav", "b.Wav", "notes.txt", "c.wav.txt"})
      WriteFile(scratch / name, Bytes{1});
    std::filesystem::create_directory(scratch / "sub");
    QVERIFY(QDir::setCurrent(QString::fromStdString(scratch.Path().string())));

    auto dialog = std::make_unique<CTapeDecoderDlg>();
    dialog->show();
    QVERIFY(QTest::qWaitForWindowActive(dialog.get()));

    QStringList listed;
    QString title;
    QStringList filters;
    QWidget* chooserParent = nullptr;
    OnNextModal<QFileDialog>([&](QFileDialog* chooser) {
      title = chooser->windowTitle();
      filters = chooser->nameFilters();
      chooserParent = chooser->parentWidget();
      auto* view = chooser->findChild<QListView*>(QStringLiteral("listView"));
      if (view != nullptr) {
        // The folder is read in the background; wait for its entries.
        const bool read = QTest::qWaitFor(
            [view]() { return view->model()->rowCount(view->rootIndex()) >= 4; }, 5000);
        Q_UNUSED(read);  // the listing is compared below
        QTest::qWait(200);
        for (int row = 0; row < view->model()->rowCount(view->rootIndex()); ++row)
          listed << view->model()->index(row, 0, view->rootIndex()).data().toString();
      }
      // The name is typed into the chooser's focused name field.
      auto* nameEdit = chooser->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
      if (nameEdit != nullptr) nameEdit->setText(QStringLiteral("SAVED.WAV"));
      static_cast<QDialog*>(chooser)->accept();  // QFileDialog's own accept
      if (chooser->isVisible()) static_cast<QDialog*>(chooser)->reject();
    });
    QString boxTitle, boxText;
    int boxButtons = 0;
    bool boxHasIcon = true;
    QWidget* boxParent = nullptr;
    OnNextModal<QMessageBox>([&](QMessageBox* box) {
      boxTitle = box->windowTitle();
      boxText = box->text();
      boxButtons = static_cast<int>(box->buttons().size());
      boxHasIcon = box->icon() != QMessageBox::NoIcon || !box->iconPixmap().isNull();
      boxParent = box->parentWidget();
      QVERIFY(box->button(QMessageBox::Ok) != nullptr);
      box->button(QMessageBox::Ok)->click();
    });
    QTest::mouseClick(dialog->Item(IDC_PROCESS), Qt::LeftButton);

    QCOMPARE(title, U("Выбор звукового файла для расшифровки"));
    QCOMPARE(filters, QStringList{"*.wav"});
    QCOMPARE(chooserParent, static_cast<QWidget*>(dialog.get()));
    listed.sort();
    QCOMPARE(listed, QStringList({"SAVED.WAV", "a.wav", "b.Wav", "sub"}));
    QCOMPARE(boxTitle, U(kMessage));
    QCOMPARE(boxText, U(kComplete));
    QCOMPARE(boxButtons, 1);
    QVERIFY(!boxHasIcon);
    QCOMPARE(boxParent, static_cast<QWidget*>(dialog.get()));
    QVERIFY(std::filesystem::exists(scratch / "SAVED.tap"));
    QVERIFY(std::filesystem::exists(scratch / "SAVED.txt"));

    // Cancelling the real chooser ends the press silently.
    bool boxShown = false;
    OnNextModal<QFileDialog>([](QFileDialog* chooser) {
      static_cast<QDialog*>(chooser)->reject();
    });
    QPointer<QTimer> watch = OnNextModal<QMessageBox>([&boxShown](QMessageBox* box) {
      boxShown = true;
      box->reject();
    });
    QTest::mouseClick(dialog->Item(IDC_PROCESS), Qt::LeftButton);
    delete watch.data();
    QVERIFY(!boxShown);
    QVERIFY(dialog->isVisible());
  }
};

}  // namespace

int RunTapeDecoderDlgTests(int argc, char** argv) {
  TapeDecoderDlgTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "tape_decoder_dlg_test.moc"

