// The application: sets up Qt, runs the main dialog once and ends with it.
#ifndef TAPEDECODER_APP_TAPE_DECODER_APP_H_
#define TAPEDECODER_APP_TAPE_DECODER_APP_H_

#include <QApplication>

namespace tapedecoder {

// Runs a CTapeDecoderDlg with no parent modally and returns when it is
// closed, by Esc or its close box. REQUIRES: a QApplication exists.
void RunMainDialog();

// The one application object. The program has no command line of its own
// (Qt's options still apply), no menu and no saved state; it ends when the
// dialog is closed.
class CTapeDecoderApp {
 public:
  // `argc` and `argv` must outlive the object, as QApplication requires.
  CTapeDecoderApp(int& argc, char** argv);
  CTapeDecoderApp(const CTapeDecoderApp&) = delete;
  CTapeDecoderApp& operator=(const CTapeDecoderApp&) = delete;

  // Runs the main dialog modally; returns true once it has been closed,
  // whatever the dialog's result.
  bool InitInstance();

  // The program's exit status after InitInstance: always 0.
  int Run();

 private:
  QApplication m_application;
};

}  // namespace tapedecoder

#endif  // TAPEDECODER_APP_TAPE_DECODER_APP_H_
