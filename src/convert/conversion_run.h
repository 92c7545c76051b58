// The run of one conversion: load a recording, decode it, write the outputs.
#ifndef TAPEDECODER_CONVERT_CONVERSION_RUN_H_
#define TAPEDECODER_CONVERT_CONVERSION_RUN_H_

#include <string>

#include "convert/decode_settings.h"

namespace tapedecoder {

// What a run did, for front ends that report more than the message.
struct ConversionReport {
  bool opened = false;     // the recording was loaded
  bool written = false;    // both outputs were completely written
  int blocks = 0;          // blocks written to the tape image
  int goodBlocks = 0;      // ... whose checksum agrees
  int badBlocks = 0;       // ... whose checksum does not
  std::string tapPath;     // title + ".tap"
  std::string txtPath;     // title + ".txt"
  std::string detail;      // why opening or writing failed, in English
};

// The texts of the run's messages (UTF-8).
// The recording cannot be opened or is not an accepted recording.
extern const char* const MESSAGE_CANNOT_OPEN;
// The outputs cannot be created or completely written.
extern const char* const MESSAGE_CANNOT_CREATE;
// Memory for the samples or for a block ran out.
extern const char* const MESSAGE_NO_MEMORY;
// The conversion is complete (caption CAPTION_MESSAGE; the others have
// CAPTION_ERROR).
extern const char* const MESSAGE_COMPLETE;

// Converts the recording `fileName` (opened relative to the current
// directory) into `fileTitle`.tap and `fileTitle`.txt with the validated
// `settings`. Returns exactly one message: the file cannot be opened, the
// outputs cannot be written, memory ran out, or the conversion is complete.
// The completion message does not depend on whether blocks were found or
// their checksums agree. On failure any earlier pair of outputs is left as
// it was. `fileTitle` may name a folder ("out/game"); the outputs and their
// temporaries are made there. `report`, when given, receives
// the details of the run.
UserMessage RunConversion(const DecodeSettings& settings,
                          const std::string& fileName,
                          const std::string& fileTitle,
                          ConversionReport* report = nullptr);

}  // namespace tapedecoder

#endif  // TAPEDECODER_CONVERT_CONVERSION_RUN_H_
