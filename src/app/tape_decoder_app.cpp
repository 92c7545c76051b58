#include "app/tape_decoder_app.h"

#include "app/tape_decoder_dlg.h"

namespace tapedecoder {

void RunMainDialog() {
  CTapeDecoderDlg dialog;
  // Without a parent a dialog opens centred on the screen.
  dialog.exec();
}

CTapeDecoderApp::CTapeDecoderApp(int& argc, char** argv)
    : m_application(argc, argv) {}

bool CTapeDecoderApp::InitInstance() {
  RunMainDialog();
  return true;
}

int CTapeDecoderApp::Run() {
  InitInstance();
  return 0;
}

}  // namespace tapedecoder
