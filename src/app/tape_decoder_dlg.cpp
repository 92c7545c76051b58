#include "app/tape_decoder_dlg.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFrame>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QRegularExpressionValidator>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStyleOptionFocusRect>
#include <QStyleFactory>
#include <QStylePainter>

#include <string>
#include <utility>

#include "app/dialog_template.h"
#include "convert/conversion_run.h"

namespace tapedecoder {

namespace {

const char* const kChooserTitle = "Выбор звукового файла для расшифровки";
const char* const kChooserFilter = "*.wav";

// Typed characters beyond these limits are refused.
constexpr int kRangeFieldLimit = 5;   // the six bounds and the level
constexpr int kPointsFieldLimit = 100;

QString FromUtf8(const char* text) { return QString::fromUtf8(text); }

// A name as the C library's file functions take it.
std::string LocalName(const QString& name) {
  return QFile::encodeName(name).toStdString();
}

bool IsEnterKey(const QKeyEvent* event) {
  return event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
}

// A push button that Enter presses while it has the focus, as Space does.
// It is never the dialog's default button, so Enter elsewhere leaves it alone.
class ProcessButton : public QPushButton {
 public:
  using QPushButton::QPushButton;

 protected:
  void keyPressEvent(QKeyEvent* event) override {
    if (IsEnterKey(event) && (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
      if (!event->isAutoRepeat()) click();
      event->accept();
      return;
    }
    QPushButton::keyPressEvent(event);
  }
};

// A radio button whose caption is centred both ways in the room to the
// right of its indicator; the whole control answers clicks.
class CenteredRadioButton : public QRadioButton {
 public:
  using QRadioButton::QRadioButton;

 protected:
  void paintEvent(QPaintEvent*) override {
    QStylePainter painter(this);
    QStyleOptionButton option;
    initStyleOption(&option);

    QStyleOptionButton indicator = option;
    indicator.rect = style()->subElementRect(QStyle::SE_RadioButtonIndicator, &option, this);
    painter.drawPrimitive(QStyle::PE_IndicatorRadioButton, indicator);

    QRect room = option.rect;
    room.setLeft(indicator.rect.right() + 1 +
                 style()->pixelMetric(QStyle::PM_RadioButtonLabelSpacing, &option, this));
    const int flags = Qt::AlignCenter | Qt::TextShowMnemonic;
    painter.drawItemText(room, flags, option.palette, isEnabled(), text(),
                         QPalette::WindowText);

    if (hasFocus()) {
      QStyleOptionFocusRect focus;
      focus.initFrom(this);
      focus.rect = style()->itemTextRect(option.fontMetrics, room, flags, isEnabled(), text())
                       .adjusted(-1, 0, 1, 0)
                       .intersected(rect());
      painter.drawPrimitive(QStyle::PE_FrameFocusRect, focus);
    }
  }

  bool hitButton(const QPoint& pos) const override { return rect().contains(pos); }
};

QWidget* CreateControl(const ControlTemplate& row, QWidget* parent) {
  const QString text = FromUtf8(row.text);
  switch (row.kind) {
    case CONTROL_GROUP_BOX: {
      auto* box = new QGroupBox(text, parent);
      box->setAlignment(Qt::AlignHCenter);
      // Boxes are created among the controls they frame and may lie above
      // them; clicks go through to the controls.
      box->setAttribute(Qt::WA_TransparentForMouseEvents);
      return box;
    }
    case CONTROL_EDIT: {
      auto* edit = new QLineEdit(parent);
      edit->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
      edit->setValidator(new QRegularExpressionValidator(
          QRegularExpression(QStringLiteral("[0-9]*")), edit));
      return edit;
    }
    case CONTROL_LABEL: {
      auto* label = new QLabel(text, parent);
      label->setTextFormat(Qt::PlainText);
      label->setAlignment(Qt::AlignCenter);
      return label;
    }
    case CONTROL_HINT: {
      auto* hint = new QLabel(text, parent);
      hint->setTextFormat(Qt::PlainText);
      hint->setAlignment(Qt::AlignLeft | Qt::AlignTop);
      hint->setWordWrap(true);
      hint->setFrameStyle(QFrame::Panel | QFrame::Sunken);
      hint->setLineWidth(1);
      hint->setIndent(2);  // text clear of the sunken edge
      return hint;
    }
    case CONTROL_PUSH_BUTTON: {
      auto* button = new ProcessButton(text, parent);
      button->setAutoDefault(false);
      button->setDefault(false);
      return button;
    }
    case CONTROL_CHECK_BOX:
      return new QCheckBox(text, parent);
    case CONTROL_RADIO_BUTTON: {
      auto* radio = new CenteredRadioButton(text, parent);
      // Radio buttons are reached by clicking, not by the Tab key.
      radio->setFocusPolicy(Qt::ClickFocus);
      return radio;
    }
  }
  return nullptr;
}

}  // namespace

std::optional<QString> ChooseRecording(QWidget* parent) {
  QFileDialog dialog(parent, FromUtf8(kChooserTitle), QDir::currentPath(),
                     FromUtf8(kChooserFilter));
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::ExistingFile);
  // Qt's own dialog everywhere: its name filters ignore letter case as long
  // as QDir::CaseSensitive stays out of the filter, so "*.wav" also lists
  // "TAPE.WAV".
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  dialog.setFilter(dialog.filter() & ~QDir::CaseSensitive);
  if (dialog.exec() != QDialog::Accepted) return std::nullopt;
  const QStringList files = dialog.selectedFiles();
  if (files.isEmpty()) return std::nullopt;
  return QFileInfo(files.front()).absoluteFilePath();
}

void ShowMessageBox(QWidget* parent, const UserMessage& message) {
  QMessageBox box(QMessageBox::NoIcon, QString::fromStdString(message.caption),
                  QString::fromStdString(message.text), QMessageBox::Ok, parent);
  box.setTextFormat(Qt::PlainText);
  box.exec();
}

CTapeDecoderDlg::CTapeDecoderDlg(QWidget* parent)
    : QDialog(parent,
              Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                  Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      m_chooseFile(ChooseRecording),
      m_showMessage(ShowMessageBox) {
  setWindowTitle(FromUtf8(MAIN_DIALOG_TITLE));
  // The layout is fixed in dialog units and leaves the margins of the
  // classic Windows look; a desktop theme with wider frames or indicators
  // would clip captions, so the dialog always draws in Qt's "Windows" style.
  m_style = QStyleFactory::create(QStringLiteral("Windows"));
  if (m_style != nullptr) {
    m_style->setParent(this);
    setStyle(m_style);
  }
  setFont(MainDialogFont());
  setSizeGripEnabled(false);
  CreateControls();
  InitControls();
}

CTapeDecoderDlg::~CTapeDecoderDlg() = default;

void CTapeDecoderDlg::CreateControls() {
  // Everything is placed from the template in the dialog's own font, so
  // the whole dialog scales with that font.
  const DialogBaseUnits base = BaseUnitsOf(font());
  setFixedSize(
      DialogUnitsToPixels(base, QRect(0, 0, MAIN_DIALOG_WIDTH, MAIN_DIALOG_HEIGHT)).size());

  m_controls.reserve(MAIN_DIALOG_CONTROLS.size());
  QWidget* previousStop = nullptr;
  for (const ControlTemplate& row : MAIN_DIALOG_CONTROLS) {
    QWidget* control = CreateControl(row, this);
    if (m_style != nullptr) control->setStyle(m_style);
    control->setGeometry(
        DialogUnitsToPixels(base, QRect(row.x, row.y, row.cx, row.cy)));
    if (row.flags & CONTROL_TAB_STOP) {
      if (previousStop != nullptr) setTabOrder(previousStop, control);
      previousStop = control;
    }
    m_controls.push_back(control);
  }

  m_zeroMin = qobject_cast<QLineEdit*>(Item(IDC_ZERO_MIN));
  m_zeroMax = qobject_cast<QLineEdit*>(Item(IDC_ZERO_MAX));
  m_oneMin = qobject_cast<QLineEdit*>(Item(IDC_ONE_MIN));
  m_oneMax = qobject_cast<QLineEdit*>(Item(IDC_ONE_MAX));
  m_pilotMin = qobject_cast<QLineEdit*>(Item(IDC_PILOT_MIN));
  m_pilotMax = qobject_cast<QLineEdit*>(Item(IDC_PILOT_MAX));
  m_levelValue = qobject_cast<QLineEdit*>(Item(IDC_LEVEL_VALUE));
  m_autoPoints = qobject_cast<QLineEdit*>(Item(IDC_AUTO_POINTS));
  m_useLeft = qobject_cast<QCheckBox*>(Item(IDC_USE_LEFT));
  m_useRight = qobject_cast<QCheckBox*>(Item(IDC_USE_RIGHT));
  m_levelAuto = qobject_cast<QRadioButton*>(Item(IDC_LEVEL_AUTO));
  m_levelManual = qobject_cast<QRadioButton*>(Item(IDC_LEVEL_MANUAL));

  connect(qobject_cast<QPushButton*>(Item(IDC_PROCESS)), &QPushButton::clicked, this,
          &CTapeDecoderDlg::OnProcess);
}

void CTapeDecoderDlg::InitControls() {
  const SettingsTexts texts = DefaultSettingsTexts();
  QLineEdit* const fields[FIELD_COUNT] = {m_zeroMin,  m_zeroMax,  m_oneMin,
                                          m_oneMax,   m_pilotMin, m_pilotMax,
                                          m_levelValue, m_autoPoints};
  for (int field = 0; field < FIELD_COUNT; ++field) {
    fields[field]->setMaxLength(field == FIELD_POINTS ? kPointsFieldLimit
                                                      : kRangeFieldLimit);
    fields[field]->setText(QString::fromStdString(texts[field]));
  }
  m_useLeft->setChecked(true);
  m_useRight->setChecked(true);
  m_levelManual->setChecked(false);
  m_levelAuto->setChecked(true);
  m_zeroMin->setFocus();
}

QWidget* CTapeDecoderDlg::Item(int id) const {
  if (id == IDC_STATIC) return nullptr;
  for (std::size_t i = 0; i < MAIN_DIALOG_CONTROLS.size() && i < m_controls.size(); ++i) {
    if (MAIN_DIALOG_CONTROLS[i].id == id) return m_controls[i];
  }
  return nullptr;
}

void CTapeDecoderDlg::SetFileChooser(FileChooser chooser) {
  m_chooseFile = chooser ? std::move(chooser) : FileChooser(ChooseRecording);
}

void CTapeDecoderDlg::SetMessageShower(MessageShower shower) {
  m_showMessage = shower ? std::move(shower) : MessageShower(ShowMessageBox);
}

SettingsTexts CTapeDecoderDlg::ReadFieldTexts() const {
  SettingsTexts texts;
  texts[FIELD_ZERO_MIN] = m_zeroMin->text().toStdString();
  texts[FIELD_ZERO_MAX] = m_zeroMax->text().toStdString();
  texts[FIELD_ONE_MIN] = m_oneMin->text().toStdString();
  texts[FIELD_ONE_MAX] = m_oneMax->text().toStdString();
  texts[FIELD_PILOT_MIN] = m_pilotMin->text().toStdString();
  texts[FIELD_PILOT_MAX] = m_pilotMax->text().toStdString();
  texts[FIELD_LEVEL] = m_levelValue->text().toStdString();
  texts[FIELD_POINTS] = m_autoPoints->text().toStdString();
  return texts;
}

LevelMode CTapeDecoderDlg::SelectedLevelMode() const {
  return m_levelManual->isChecked() ? LEVEL_MANUAL : LEVEL_AUTO;
}

void CTapeDecoderDlg::ShowMessage(const UserMessage& message) {
  m_showMessage(this, message);
}

void CTapeDecoderDlg::OnProcess() {
  const DecodeSettings settings =
      ParseSettings(ReadFieldTexts(), m_useLeft->isChecked(), m_useRight->isChecked(),
                    SelectedLevelMode());
  if (const std::optional<UserMessage> problem = ValidateSettings(settings)) {
    ShowMessage(*problem);
    return;
  }

  const std::optional<QString> chosen = m_chooseFile(this);
  if (!chosen) return;

  // The recording is opened and the outputs are written relative to the
  // current directory, which becomes the recording's folder. Should that
  // fail, full paths keep the run away from same-named files elsewhere.
  const QFileInfo recording(*chosen);
  std::string fileName;
  std::string fileTitle;
  if (QDir::setCurrent(recording.absolutePath())) {
    fileName = LocalName(recording.fileName());
    fileTitle = LocalName(recording.completeBaseName());
  } else {
    fileName = LocalName(recording.absoluteFilePath());
    fileTitle = LocalName(recording.absoluteDir().filePath(recording.completeBaseName()));
  }
  ShowMessage(ConversionMessage(RunConversion(settings, fileName, fileTitle)));
}

void CTapeDecoderDlg::keyPressEvent(QKeyEvent* event) {
  // Enter reaching the dialog (from a field or a check box) starts nothing
  // and does not close it; Esc goes to QDialog, which rejects.
  if (IsEnterKey(event)) {
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

}  // namespace tapedecoder
