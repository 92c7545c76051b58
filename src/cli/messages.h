// What tapedecoder-cli says, in English: the core's outcomes put into words.
#ifndef TAPEDECODER_CLI_MESSAGES_H_
#define TAPEDECODER_CLI_MESSAGES_H_

#include <string>

#include "base/failure.h"
#include "convert/merge_run.h"
#include "convert/robust_run.h"
#include "tape/decode_settings.h"

namespace tapedecoder {

// Why a run failed or reading stopped: why a recording was refused ("the
// file cannot be opened: No such file or directory"), why outputs were not
// written ("cannot write out/game.tap: No space left on device"), or "not
// enough memory".
std::string DescribeFailure(const Failure& failure);
// One line about a decoded block: number, start time, what it is, length,
// verdict and the tape speed measured from its pilot.
std::string DescribeBlock(const BlockSummary& block);
// One line about a block of merged takes: number, what it is, length,
// verdict, and the take it came from or that it was voted; for a block
// still bad, where it starts in each take.
std::string DescribeMergedBlock(const MergedBlockSummary& block);
// What the tape holds, as the images keep it: "tape: 2 ROM blocks,
// 1 turbo block, 0 pure data, 3 tones, 1 pulse sequence, 4 pauses".
std::string DescribeTally(const PartTally& tally);
// A time in the recording as M:SS.mmm.
std::string ClockText(double seconds);
// The first check that settings fail.
const char* DescribeSettingsProblem(SettingsProblem problem);

// What went wrong with a bad block, to follow its line: "; header
// announced 6914 bytes, 1766 came; the signal breaks at 0:12.345; cut
// short by the end of the recording". Empty for a good block. `take`
// (1-based, 0 none) names the take whose times these are.
std::string ExplainBadBlock(const BlockSummary& block, int take = 0);
// Said once per run that left a block bad; `merging` when the run merged
// takes already.
const char* MergeHint(bool merging);
// What to do about a recording the classic reader refused, after its
// reason; empty when there is nothing to add.
const char* ClassicRefusalHint(const Failure& failure);
// Said of a recording in which no block was found.
const char* NothingFoundText();
// Why an empty recording was not converted.
const char* EmptyRecordingText();
// The usage error for a recording argument that names no file and ends
// like a tape image: probably meant as the output.
std::string LooksLikeOutputText(const std::string& argument);
// The usage error for two recordings that would write the same outputs.
std::string SameOutputsText(const std::string& first, const std::string& second,
                            const std::string& output);
// The warning for a take given twice to --merge.
std::string SameTakeTwiceText(const std::string& first, const std::string& second);
// The refusal of takes that share no verified block.
std::string DifferentTapesText(const std::string& first, const std::string& second);
// "1 take", "3 takes".
std::string TakesText(std::size_t takes);

}  // namespace tapedecoder

#endif  // TAPEDECODER_CLI_MESSAGES_H_
