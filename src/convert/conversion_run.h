// The run of one classic conversion: load a recording, decode it, write
// TITLE.tap and TITLE.txt.
#ifndef TAPEDECODER_CONVERT_CONVERSION_RUN_H_
#define TAPEDECODER_CONVERT_CONVERSION_RUN_H_

#include <cstddef>
#include <string>

#include "audio/wave_source.h"
#include "io/output_set.h"
#include "tape/block_decoder.h"
#include "tape/decode_settings.h"

namespace tapedecoder {

// How a conversion ended.
enum class ConversionStatus : std::uint8_t {
  COMPLETE,       // both outputs are completely written
  CANNOT_OPEN,    // the recording cannot be opened or is not accepted
  CANNOT_WRITE,   // the outputs cannot be created or completely written
  NO_MEMORY,      // memory for the samples or for a block ran out
};

// What a run did, for the front ends to put into words.
struct ConversionReport {
  ConversionStatus status = ConversionStatus::CANNOT_OPEN;
  WaveError waveError = WAVE_OK;   // why the recording was refused
  OutputFailure output;            // why the outputs were not written
  int blocks = 0;                  // blocks written to the tape image
  int goodBlocks = 0;              // ... whose checksum agrees
  int badBlocks = 0;               // ... whose checksum does not
  std::size_t largestBuffer = 0;   // the block buffer's largest capacity
  std::string tapPath;             // TITLE.tap
  std::string txtPath;             // TITLE.txt

  bool Opened() const { return status != ConversionStatus::CANNOT_OPEN && waveError == WAVE_OK; }
  bool Written() const { return status == ConversionStatus::COMPLETE; }
};

// The name of output `extension` ("tap") of `title` (which may name a
// folder, "out/game"): "out/game.tap".
std::string OutputPath(const std::string& title, const char* extension);

// The output title of a recording: its name without folder and extension,
// in `outputDir` or, when that is empty, in the recording's own folder.
std::string OutputTitle(const std::string& recording, const std::string& outputDir);

// Decodes `source` from its cursor to its end with the classic method into
// TITLE.tap and TITLE.txt, measuring runs with `measure`. Any earlier
// files of those names stay untouched unless both new ones are complete
// (no block gives two empty files). The report's status is COMPLETE,
// CANNOT_WRITE (report.output says why) or NO_MEMORY.
// REQUIRES: source.GetStep() > 0 (a conversion uses 0.2).
ConversionReport DecodeToFiles(const std::string& title, CWaveSource& source,
                               const DecodeSettings& settings,
                               PulseMeasure measure = &MeasurePulse);

// Converts the recording `fileName` (opened relative to the current
// directory) into `fileTitle`.tap and `fileTitle`.txt with validated
// `settings`. The outcome does not depend on whether blocks were found or
// their checksums agree. On failure any earlier pair of outputs is left as
// it was; a recording named like one of its outputs is refused
// (CANNOT_WRITE, IS_INPUT) rather than replaced.
ConversionReport RunConversion(const DecodeSettings& settings, const std::string& fileName,
                               const std::string& fileTitle);

}  // namespace tapedecoder

#endif  // TAPEDECODER_CONVERT_CONVERSION_RUN_H_
