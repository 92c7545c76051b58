// Reading an 8-bit PCM WAV file of 44100 Hz, mono or stereo: the RIFF walk
// and the checks that decide whether the classic method takes a recording.
#ifndef TAPEDECODER_AUDIO_WAVE_FILE_H_
#define TAPEDECODER_AUDIO_WAVE_FILE_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "audio/byte_source.h"
#include "audio/sample_frames.h"

namespace tapedecoder {

// Why a load failed, in the order the checks run.
enum WaveError : std::uint8_t {
  WAVE_OK = 0,
  WAVE_CANNOT_OPEN,        // missing, unreadable, or not a regular file
  WAVE_NO_RIFF_WAVE,       // no RIFF chunk of form type "WAVE"
  WAVE_NO_FORMAT,          // no "fmt " chunk inside it
  WAVE_SHORT_FORMAT,       // fewer than 18 bytes from the format data onward
  WAVE_NOT_PCM,            // format tag other than 1
  WAVE_FORMAT_END,         // the end of the format chunk lies past the file
  WAVE_NO_DATA,            // no "data" chunk after the format chunk
  WAVE_BAD_RATE,           // sample rate other than 44100
  WAVE_BAD_BLOCK_ALIGN,    // block align differs from the channel count
  WAVE_BAD_CHANNELS,       // neither mono nor stereo
  WAVE_NO_MEMORY,          // the samples could not be held in memory
};

// The only sample rate the classic reader accepts.
constexpr std::uint32_t WAVE_SAMPLE_RATE = 44100;

// Walks the RIFF structure of `reader` (the file's bytes; a read may come up
// short, at the end or in a file that shrank): the first RIFF chunk of form type
// "WAVE" (other chunks skipped), "fmt " inside it, then "data" after the
// format chunk, pad bytes honoured, every walk bounded by its parent chunk
// and by the file. On success fills `frames` (bytes, channels, frameCount;
// the channel flags are left as they are) with the whole frames the file
// really holds, whatever the declared size says, and returns WAVE_OK. On
// failure returns the first check that failed and leaves `frames` empty.
WaveError LoadWave(CByteSource& reader, SampleFrames& frames);

}  // namespace tapedecoder

#endif  // TAPEDECODER_AUDIO_WAVE_FILE_H_
