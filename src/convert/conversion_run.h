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

// What every run reports, for the front ends to put into words: how it
// ended and the files it wrote.
struct RunReport {
  // NONE when every output is written; otherwise why not. Its class says
  // what stopped the run: the recording (INPUT), the outputs (OUTPUT) or
  // memory.
  Failure failure;
  std::vector<std::string> outputs;  // every file written, in the formats' order

  bool Written() const { return !failure; }
};

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

// The name of output `extension` ("tap") of `title` (which may name a
// folder, "out/game"): "out/game.tap".
std::string OutputPath(const std::string& title, const char* extension);

// The output title of a recording: its name without folder and extension,
// in `outputDir` or, when that is empty, in the recording's own folder.
std::string OutputTitle(const std::string& recording, const std::string& outputDir);

// Decodes `source` from its cursor to its end with the classic method into
// TITLE.tap and TITLE.txt, measuring runs with `measure`. Any earlier
// files of those names stay untouched unless both new ones are complete
// (no block gives two empty files). The report's failure is NONE, an
// output's failure or NO_MEMORY.
// REQUIRES: source.GetStep() > 0 (a conversion uses 0.2).
ConversionReport DecodeToFiles(const std::string& title, CWaveSource& source,
                               const DecodeSettings& settings,
                               PulseMeasure measure = &MeasurePulse,
                               const OutputFormats& formats = OutputFormats(),
                               const std::string& sourceName = std::string());

// Converts the recording `fileName` (opened relative to the current
// directory) into `fileTitle`.tap and `fileTitle`.txt with validated
// `settings`; `formats` may ask for TITLE.tzx and TITLE.pzx as well (the
// blocks as standard-speed blocks with a pause of 1000 ms after each, as
// classic blocks have no measured timings) or leave the .tap out. The outcome does not depend on whether blocks were found or
// their checksums agree. On failure any earlier pair of outputs is left as
// it was; a recording named like one of its outputs is refused
// (OUTPUT_IS_INPUT) rather than replaced.
ConversionReport RunConversion(const DecodeSettings& settings, const std::string& fileName,
                               const std::string& fileTitle,
                               const OutputFormats& formats = OutputFormats());

// The name the tape images give as the tool that made them.
std::string ToolName();

// Adds the image files `formats` asks for to `outputs` and writes each
// one's bytes from `parts` (or, when `parts` is empty, from `blocks` in
// the ROM's default timing). Returns false when one cannot be made or
// added (`failure` says why).
bool WriteImages(COutputSet& outputs, const std::string& title, const OutputFormats& formats,
                 const std::vector<TapePart>* parts, double recordingSeconds,
                 const std::vector<TapeBlock>& blocks, const std::string& sourceName,
                 Failure& failure, std::vector<std::string>& written);

}  // namespace tapedecoder

#endif  // TAPEDECODER_CONVERT_CONVERSION_RUN_H_
