// The run of one classic conversion: load a recording, decode it, write
// TITLE.tap and TITLE.txt.
#ifndef TAPEDECODER_CONVERT_CONVERSION_RUN_H_
#define TAPEDECODER_CONVERT_CONVERSION_RUN_H_

#include <cstddef>
#include <string>
#include <vector>

#include "audio/wave_source.h"
#include "io/output_set.h"
#include "tape/block_decoder.h"
#include "tape/decode_settings.h"

namespace tapedecoder {

// The tape images a run writes; the listing (TITLE.txt) is always written.
struct OutputFormats {
  bool tap = true;   // TITLE.tap: the blocks' bytes
  bool tzx = false;  // TITLE.tzx
  bool pzx = false;  // TITLE.pzx
};

// How a conversion ended.
enum class ConversionStatus : std::uint8_t {
  COMPLETE,       // both outputs are completely written
  CANNOT_OPEN,    // the recording cannot be opened or is not accepted
  CANNOT_WRITE,   // the outputs cannot be created or completely written
  NO_MEMORY,      // memory for the samples or for a block ran out
  NOTHING_FOUND,  // no block was found, and nothing was written (when asked)
  TAKES_DIFFER,   // takes to merge share no verified block: different tapes
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
  std::vector<std::string> outputs;  // every file written, in the formats' order

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
                               PulseMeasure measure = &MeasurePulse,
                               const OutputFormats& formats = OutputFormats(),
                               const std::string& sourceName = std::string(),
                               bool writeEmpty = true);

// Converts the recording `fileName` (opened relative to the current
// directory) into `fileTitle`.tap and `fileTitle`.txt with validated
// `settings`; `formats` may ask for TITLE.tzx and TITLE.pzx as well (the
// blocks as standard-speed blocks with a pause of 1000 ms after each, as
// classic blocks have no measured timings) or leave the .tap out. The outcome does not depend on whether blocks were found or
// their checksums agree. On failure any earlier pair of outputs is left as
// it was; a recording named like one of its outputs is refused
// (CANNOT_WRITE, IS_INPUT) rather than replaced. Without `writeEmpty` a
// recording in which no block is found writes nothing (NOTHING_FOUND), so
// that an earlier good set is not replaced by an empty one.
ConversionReport RunConversion(const DecodeSettings& settings, const std::string& fileName,
                               const std::string& fileTitle,
                               const OutputFormats& formats = OutputFormats(),
                               bool writeEmpty = true);

// The name the tape images give as the tool that made them.
std::string ToolName();

// Adds the image files `formats` asks for to `outputs` and writes each
// one's bytes from `parts` (or, when `parts` is empty, from `blocks` in
// the ROM's default timing). Returns false when one cannot be made or
// added (`outputs` or `failure` say why).
bool WriteImages(COutputSet& outputs, const std::string& title, const OutputFormats& formats,
                 const std::vector<TapePart>* parts, double recordingSeconds,
                 const std::vector<TapeBlock>& blocks, const std::string& sourceName,
                 OutputFailure& failure, std::vector<std::string>& written);

}  // namespace tapedecoder

#endif  // TAPEDECODER_CONVERT_CONVERSION_RUN_H_
