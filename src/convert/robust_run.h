// The run of one robust conversion: stream a recording in any format
// through the robust decoder (each channel and the mix side by side when
// asked), then write the output set.
#ifndef TAPEDECODER_CONVERT_ROBUST_RUN_H_
#define TAPEDECODER_CONVERT_ROBUST_RUN_H_

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "audio/sample_input.h"
#include "convert/conversion_run.h"
#include "io/output_set.h"
#include "robust/robust_decoder.h"
#include "tape/tape_block.h"

namespace tapedecoder {

// Which streams of the recording are decoded.
enum class ChannelMode : std::uint8_t {
  AUTO,   // each channel and the mix; per stretch of tape the best reading
  MIX,    // the channels averaged, an inverted one turned round first
  LEFT,   // the first channel
  RIGHT,  // the second channel (the only one of a mono recording)
};

// What the report keeps of one block for the front ends.
struct BlockSummary {
  int number = 0;             // 1-based, in tape order
  double startSeconds = 0.0;  // the first pilot edge
  double endSeconds = 0.0;
  std::size_t length = 0;     // bytes
  std::uint8_t flag = 0;      // the first byte
  bool good = false;          // the checksum verifies
  std::optional<RomHeader> header;
  double speed = 0.0;         // measured from the pilot: 1.0 is nominal, 0 unknown
  BlockOrigin origin = BlockOrigin::DECODED;
  bool romTiming = true;      // false: a turbo block, found only for TZX/PZX output
  BlockTiming timing;         // measured, in T-states
};

struct RobustReport;

struct RobustRunOptions {
  ChannelMode channels = ChannelMode::AUTO;
  RobustOptions decoder;  // the decoder's tunables
  // Called now and then while the recording is read; may be empty.
  std::function<void(const InputProgress&)> progress;
  // Called once the recording is open, before anything is decoded; false
  // stops the run (it then sets the report's failure). May be empty.
  std::function<bool(RobustReport&)> beforeDecoding;
  // Called with every chunk of the first stream's samples; may be empty.
  std::function<void(const float*, std::size_t)> onSamples;
  // The files to write besides the listing. With TZX or PZX the tape's
  // other parts (turbo blocks, tones, pulse sequences, pauses) are found
  // too: turbo blocks then also appear in the listing and the report.
  OutputFormats formats;
};

struct RobustReport : RunReport {
  // Reading failed part way (its seconds say where): the outputs hold what
  // came before. NONE when the whole recording was read.
  Failure readStop;
  InputInfo info;         // what the recording is
  double sampleRate = 0.0;  // the rate the streams are decoded at
  double seconds = 0.0;   // how much of it was decoded
  std::vector<BlockSummary> blocks;
  int goodBlocks = 0;
  int badBlocks = 0;
};

// Decodes `fileName` with the robust method, handing every block with
// bytes to `onBlock` in tape order and summarising it in report.blocks.
// Returns false when the recording cannot be opened or decoded (the
// report's failure says why); a read error part way through keeps what
// came before (readStop) and returns true.
bool DecodeRecording(const std::string& fileName, const RobustRunOptions& options,
                     const std::function<void(TapeBlock&&)>& onBlock, RobustReport& report);

// Converts `fileName` into TITLE.txt (the listing in the classic format)
// and the images options.formats asks for (TITLE.tap by default). Any earlier files of those names stay untouched unless
// the new set is complete; a recording named like one of its outputs is
// refused (OUTPUT_IS_INPUT). A read error part way through keeps what was
// decoded before it (readStop).
RobustReport RunRobustConversion(const std::string& fileName, const std::string& title,
                                 const RobustRunOptions& options);

}  // namespace tapedecoder

#endif  // TAPEDECODER_CONVERT_ROBUST_RUN_H_
