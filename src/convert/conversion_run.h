// The run of one classic conversion: load a recording, decode it, write
// TITLE.tap and TITLE.txt.
#ifndef TAPEDECODER_CONVERT_CONVERSION_RUN_H_
#define TAPEDECODER_CONVERT_CONVERSION_RUN_H_

#include <cstddef>
#include <string>
#include <vector>

#include "audio/wave_source.h"
#include "convert/output_formats.h"
#include "convert/tape_files.h"
#include "io/output_set.h"
#include "tape/block_decoder.h"
#include "tape/decode_settings.h"

namespace tapedecoder {

// What a classic run did.
struct ConversionReport : RunReport {
  bool opened = false;             // the recording was loaded
  int blocks = 0;                  // blocks written to the tape image
  int goodBlocks = 0;              // ... whose checksum agrees
  int badBlocks = 0;               // ... whose checksum does not
  std::size_t largestBuffer = 0;   // the block buffer's largest capacity
  std::string tapPath;             // TITLE.tap
  std::string txtPath;             // TITLE.txt

  bool Opened() const { return opened; }
};

// The output title of a recording: its name without folder and extension,
// in `outputDir` or, when that is empty, in the recording's own folder.
std::string OutputTitle(const std::string& recording, const std::string& outputDir);

// Decodes `source` from its cursor to its end with the classic method into
// TITLE.txt and the images `formats` asks for (TITLE.tap by default; TZX,
// PZX and CSW hold the blocks at ROM timing with a pause of 1000 ms after
// each, as classic blocks have no measured timings), measuring runs with
// `measure`. Any earlier
// files of those names stay untouched unless both new ones are complete
// (no block gives two empty files). The report's failure is NONE, an
// output's, NO_MEMORY or NOTHING_FOUND.
// REQUIRES: source.GetStep() > 0 (a conversion uses 0.2).
ConversionReport DecodeToFiles(const std::string& title, CWaveSource& source,
                               const DecodeSettings& settings,
                               PulseMeasure measure = &MeasurePulse,
                               const OutputFormats& formats = OutputFormats(),
                               const std::string& sourceName = std::string(),
                               bool writeEmpty = true);

// Converts the recording `fileName` (opened relative to the current
// directory) into `fileTitle`.tap and `fileTitle`.txt with validated
// `settings` and the images `formats` asks for, as DecodeToFiles. The
// outcome does not depend on whether blocks were found or
// their checksums agree. On failure any earlier pair of outputs is left as
// it was; a recording named like one of its outputs is refused
// (OUTPUT_IS_INPUT) rather than replaced. Without `writeEmpty` a
// recording in which no block is found writes nothing (NOTHING_FOUND), so
// that an earlier good set is not replaced by an empty one.
ConversionReport RunConversion(const DecodeSettings& settings, const std::string& fileName,
                               const std::string& fileTitle,
                               const OutputFormats& formats = OutputFormats(),
                               bool writeEmpty = true);

}  // namespace tapedecoder

#endif  // TAPEDECODER_CONVERT_CONVERSION_RUN_H_
