// The dialog program: one modal dialog that converts cassette recordings.
#include "app/tape_decoder_app.h"
#include "io/output_set.h"

int main(int argc, char** argv) {
  // An interrupted run leaves no temporaries and the earlier outputs whole.
  tapedecoder::InstallInterruptCleanup();
  tapedecoder::CTapeDecoderApp application(argc, argv);
  return application.Run();
}
