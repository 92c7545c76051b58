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
// A time in the recording as M:SS.mmm.
std::string ClockText(double seconds);
// The first check that settings fail.
const char* DescribeSettingsProblem(SettingsProblem problem);

}  // namespace tapedecoder

#endif  // TAPEDECODER_CLI_MESSAGES_H_
