// What tapedecoder-cli says, in English: the core's outcomes put into words.
#ifndef TAPEDECODER_CLI_MESSAGES_H_
#define TAPEDECODER_CLI_MESSAGES_H_

#include <string>

#include "audio/input_error.h"
#include "audio/wave_source.h"
#include "convert/merge_run.h"
#include "convert/robust_run.h"
#include "io/output_set.h"
#include "tape/decode_settings.h"

namespace tapedecoder {

// Why a recording was refused by the classic reader.
const char* DescribeWaveError(WaveError error);
// Why outputs were not written: "cannot write out/game.tap: No space left on device".
std::string DescribeOutputFailure(const OutputFailure& failure);
// Why a recording was refused by the robust reader, or why reading stopped.
std::string DescribeInputError(const InputError& error);
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

}  // namespace tapedecoder

#endif  // TAPEDECODER_CLI_MESSAGES_H_
