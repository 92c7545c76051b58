// Reading an 8-bit PCM WAV file of 44100 Hz, mono or stereo: the RIFF walk
// and the checks that decide whether the classic method takes a recording.
#ifndef TAPEDECODER_AUDIO_WAVE_FILE_H_
#define TAPEDECODER_AUDIO_WAVE_FILE_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "audio/byte_source.h"
#include "audio/sample_frames.h"
#include "base/failure.h"

namespace tapedecoder {

// The only sample rate the classic reader accepts.
constexpr std::uint32_t WAVE_SAMPLE_RATE = 44100;

// Walks the RIFF structure of `reader` (the file's bytes; a read may come up
// short, at the end or in a file that shrank): the first RIFF chunk of form type
// "WAVE" (other chunks skipped), "fmt " inside it, then "data" after the
// format chunk, pad bytes honoured, every walk bounded by its parent chunk
// and by the file. On success fills `frames` (bytes, channels, frameCount;
// the channel flags are left as they are) with the whole frames the file
// really holds, whatever the declared size says, and returns NONE. On
// failure returns the first check that failed (a WAVE_* kind, or
// NO_MEMORY) and leaves `frames` empty.
FailureKind LoadWave(CByteSource& reader, SampleFrames& frames);

}  // namespace tapedecoder

#endif  // TAPEDECODER_AUDIO_WAVE_FILE_H_
