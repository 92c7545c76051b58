// The dialog program: one modal dialog that converts cassette recordings.
#include "app/tape_decoder_app.h"

int main(int argc, char** argv) {
  tapedecoder::CTapeDecoderApp application(argc, argv);
  return application.Run();
}
