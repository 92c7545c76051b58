#include "cli/messages.h"

#include <cstring>

namespace tapedecoder {

const char* DescribeWaveError(WaveError error) {
  switch (error) {
    case WAVE_OK: return "no error";
    case WAVE_CANNOT_OPEN: return "the file cannot be opened";
    case WAVE_NO_RIFF_WAVE: return "not a WAV file (no RIFF WAVE chunk)";
    case WAVE_NO_FORMAT: return "no format chunk";
    case WAVE_SHORT_FORMAT: return "the format chunk is truncated";
    case WAVE_NOT_PCM: return "not uncompressed PCM";
    case WAVE_FORMAT_END: return "the format chunk runs past the end of the file";
    case WAVE_NO_DATA: return "no data chunk after the format chunk";
    case WAVE_BAD_RATE: return "the sample rate is not 44100 Hz";
    case WAVE_BAD_BLOCK_ALIGN: return "the samples are not 8-bit";
    case WAVE_BAD_CHANNELS: return "neither mono nor stereo";
    case WAVE_NO_MEMORY: return "not enough memory for the samples";
  }
  return "unknown error";
}

std::string DescribeOutputFailure(const OutputFailure& failure) {
  std::string verb;
  switch (failure.what) {
    case OutputFailure::NONE: return "no error";
    case OutputFailure::IS_INPUT: return failure.path + " is the recording itself";
    case OutputFailure::PROTECTED:
    case OutputFailure::CANNOT_REPLACE: verb = "cannot replace "; break;
    case OutputFailure::CANNOT_CREATE: verb = "cannot create "; break;
    case OutputFailure::CANNOT_WRITE: verb = "cannot write "; break;
  }
  std::string text = verb + failure.path;
  if (failure.error != 0) text += std::string(": ") + std::strerror(failure.error);
  return text;
}

const char* DescribeSettingsProblem(SettingsProblem problem) {
  switch (problem) {
    case SETTINGS_OK: return "the settings are acceptable";
    case SETTINGS_ZERO_RANGE: return "--zero: the minimum is above the maximum";
    case SETTINGS_ONE_RANGE: return "--one: the minimum is above the maximum";
    case SETTINGS_PILOT_RANGE: return "--pilot: the minimum is above the maximum";
    case SETTINGS_LEVEL: return "--level: the level must be from 0 to 255";
    case SETTINGS_POINTS: return "--auto: the window must be at least 1 frame";
  }
  return "the settings are not acceptable";
}

}  // namespace tapedecoder
