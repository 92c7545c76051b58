// What tapedecoder-cli says, in English: the core's outcomes put into words.
#ifndef TAPEDECODER_CLI_MESSAGES_H_
#define TAPEDECODER_CLI_MESSAGES_H_

#include <string>

#include "audio/wave_source.h"
#include "io/output_set.h"
#include "tape/decode_settings.h"

namespace tapedecoder {

// Why a recording was refused by the classic reader.
const char* DescribeWaveError(WaveError error);
// Why outputs were not written: "cannot write out/game.tap: No space left on device".
std::string DescribeOutputFailure(const OutputFailure& failure);
// The first check that settings fail.
const char* DescribeSettingsProblem(SettingsProblem problem);

}  // namespace tapedecoder

#endif  // TAPEDECODER_CLI_MESSAGES_H_
