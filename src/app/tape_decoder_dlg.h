// The main dialog: the decoding settings and the button that converts one
// recording per press.
#ifndef TAPEDECODER_APP_TAPE_DECODER_DLG_H_
#define TAPEDECODER_APP_TAPE_DECODER_DLG_H_

#include <QDialog>
#include <QString>

#include <functional>
#include <optional>
#include <vector>

#include "front/dialog_messages.h"
#include "front/settings_fields.h"

class QCheckBox;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QStyle;
class QWidget;

namespace tapedecoder {

// Asks the user for a recording. Returns the chosen file's absolute path,
// or nothing when the user cancels. `parent` owns the chooser while it runs.
using FileChooser = std::function<std::optional<QString>(QWidget* parent)>;

// Shows one message modally over `parent` and returns when it is closed.
using MessageShower = std::function<void(QWidget* parent, const UserMessage& message)>;

// The production chooser: a file dialog titled for choosing a recording,
// starting in the current directory with an empty name, listing folders
// and the names that end in ".wav" in any letter case.
std::optional<QString> ChooseRecording(QWidget* parent);

// The production message: a modal box owned by `parent` with the message's
// text and caption, one OK button and no icon.
void ShowMessageBox(QWidget* parent, const UserMessage& message);

// The dialog builds its controls from MAIN_DIALOG_CONTROLS in its
// constructor and shows the default settings. It keeps no settings of its
// own: every press of the process button reads the controls afresh. Enter
// in a field does nothing; Esc and the close box close the dialog.
class CTapeDecoderDlg : public QDialog {
  Q_OBJECT

 public:
  explicit CTapeDecoderDlg(QWidget* parent = nullptr);
  ~CTapeDecoderDlg() override;
  CTapeDecoderDlg(const CTapeDecoderDlg&) = delete;
  CTapeDecoderDlg& operator=(const CTapeDecoderDlg&) = delete;

  // The control with the IDC_ id `id`, or nullptr for an unknown id.
  QWidget* Item(int id) const;

  // Every control, in template order.
  const std::vector<QWidget*>& Controls() const { return m_controls; }

  // Replace the file chooser and the message box; tests drive a whole press
  // through these. An empty function restores the production one.
  void SetFileChooser(FileChooser chooser);
  void SetMessageShower(MessageShower shower);

 public slots:
  // One press of the process button: read and check the settings, choose a
  // recording, make its folder the current directory, convert it. Shows at
  // most one message.
  void OnProcess();

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void CreateControls();
  void InitControls();
  SettingsTexts ReadFieldTexts() const;
  LevelMode SelectedLevelMode() const;
  void ShowMessage(const UserMessage& message);

  QStyle* m_style = nullptr;         // owned by the dialog; null: the app's
  std::vector<QWidget*> m_controls;  // owned by the dialog, template order

  // The twelve controls a press reads; owned by the dialog.
  QLineEdit* m_zeroMin = nullptr;
  QLineEdit* m_zeroMax = nullptr;
  QLineEdit* m_oneMin = nullptr;
  QLineEdit* m_oneMax = nullptr;
  QLineEdit* m_pilotMin = nullptr;
  QLineEdit* m_pilotMax = nullptr;
  QLineEdit* m_levelValue = nullptr;
  QLineEdit* m_autoPoints = nullptr;
  QCheckBox* m_useLeft = nullptr;
  QCheckBox* m_useRight = nullptr;
  QRadioButton* m_levelAuto = nullptr;
  QRadioButton* m_levelManual = nullptr;

  FileChooser m_chooseFile;
  MessageShower m_showMessage;
};

}  // namespace tapedecoder

#endif  // TAPEDECODER_APP_TAPE_DECODER_DLG_H_
