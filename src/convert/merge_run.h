// The run of one merge: decode several takes (playbacks) of one cassette
// with the robust method, merge their blocks into one tape
// (merge/tape_merger.h), then write one output set.
#ifndef TAPEDECODER_CONVERT_MERGE_RUN_H_
#define TAPEDECODER_CONVERT_MERGE_RUN_H_

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "convert/robust_run.h"
#include "merge/tape_merger.h"

namespace tapedecoder {

struct MergeReport;

struct MergeRunOptions {
  ChannelMode channels = ChannelMode::AUTO;  // for every take
  // Called now and then while take `take` (0-based) is read -- a second
  // round of calls for every take when the takes are read again for a
  // vote; may be empty.
  std::function<void(int take, const InputProgress&)> progress;
  // The files to write besides the listing (TITLE.tap by default). The
  // images hold the merged blocks at ROM timing with a pause of 1000 ms
  // after each: blocks of several takes have no one timeline.
  OutputFormats formats;
  // Takes that share no block (no block that verifies in one has a copy,
  // good or damaged, in the other, directly or through other takes) are
  // different tapes: the run is refused (TAKES_DIFFER) before any output
  // is made, unless this is set.
  bool allowDifferentTapes = false;
  // As RobustRunOptions: an empty merge writes nothing (NOTHING_FOUND)
  // unless asked; beforeCommit may add outputs to the set.
  bool writeEmpty = false;
  std::function<bool(COutputSet&, const MergeReport&)> beforeCommit;
};

// What the report keeps of one block of the merged tape.
struct MergedBlockSummary {
  int number = 0;            // 1-based, in tape order
  std::size_t length = 0;    // bytes
  std::uint8_t flag = 0;     // the first byte
  bool good = false;         // the checksum verifies
  bool voted = false;        // voted across the takes (then good)
  int take = -1;             // 0-based take the bytes came from; -1 when voted
  std::optional<RomHeader> header;
  // Per take: where its copy of the block starts in that recording
  // (seconds), none when the take has no copy.
  std::vector<std::optional<double>> takeStarts;
  // The block as its take (or the vote) gave it: times in that take,
  // CRC-32, timings, weakest bit, the length a header announced.
  BlockSummary detail;
};

struct MergeReport : RunReport {
  // The take that could not be opened or decoded (0-based), -1 when none;
  // the failure is then that take's.
  int failedTake = -1;
  // Per take, as far as it was decoded: what it is, how much of it was
  // read, its own blocks, a read that stopped part way (readStop).
  std::vector<RobustReport> takes;
  std::vector<MergedBlockSummary> blocks;
  int goodBlocks = 0;
  int badBlocks = 0;
  int votedBlocks = 0;
  // With TAKES_DIFFER: two takes (0-based) that share no verified block.
  int differentTakes[2] = {-1, -1};
};

// Adds the merged tape `merged` to report.blocks and its counts, as a
// merge run reports it.
void SummariseMerged(const std::vector<MergedBlock>& merged, MergeReport& report);

// Decodes every file of `takes` (in order) with the robust method, as
// DecodeRecording does (and, when some block verifies in no take, once more
// reading on through dropouts of up to about a tenth of a second, so that
// the bits after them can be voted), and writes the merged tape into
// TITLE.txt (the listing in the classic format) and the images
// options.formats asks for. The first
// take that cannot be opened or decoded ends the run before any output is
// made: the take's failure, failedTake names it. A take whose reading
// fails part way keeps what came before it. Outputs named like one of the
// takes are refused (OUTPUT_IS_INPUT); earlier files of the outputs' names
// stay untouched unless the new set is complete. An empty `takes` is
// NO_TAKES with failedTake -1. One take gives that take's blocks.
MergeReport RunMergeConversion(const std::vector<std::string>& takes, const std::string& title,
                               const MergeRunOptions& options);

}  // namespace tapedecoder

#endif  // TAPEDECODER_CONVERT_MERGE_RUN_H_
