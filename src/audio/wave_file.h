// Reading an 8-bit PCM WAV file of 44100 Hz, mono or stereo: the RIFF walk
// and the checks that decide whether the classic method takes a recording.
#ifndef TAPEDECODER_AUDIO_WAVE_FILE_H_
#define TAPEDECODER_AUDIO_WAVE_FILE_H_

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>

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

// Random access to the bytes of a WAV file: Size() is fixed when the
// reader is made; ReadAt returns how many bytes it read at `offset`, which
// may be fewer than asked (the end of the file, or a file that shrank).
class WaveReader {
 public:
  virtual ~WaveReader() = default;
  virtual std::uint64_t Size() const = 0;
  virtual std::size_t ReadAt(std::uint64_t offset, std::uint8_t* out, std::size_t count) = 0;
};

// A file image in memory; `bytes` must outlive the reader.
class CMemoryWaveReader : public WaveReader {
 public:
  CMemoryWaveReader(const std::uint8_t* bytes, std::size_t size)
      : m_bytes(bytes), m_size(bytes == nullptr ? 0 : size) {}
  std::uint64_t Size() const override { return m_size; }
  std::size_t ReadAt(std::uint64_t offset, std::uint8_t* out, std::size_t count) override;

 private:
  const std::uint8_t* m_bytes;
  std::size_t m_size;
};

// A file on disk, kept open while the reader lives.
class CFileWaveReader : public WaveReader {
 public:
  // Opens regular files only: a directory, a pipe or a device is refused
  // (false), so a named pipe cannot hang the program.
  bool Open(const std::string& fileName);
  std::uint64_t Size() const override { return m_size; }
  std::size_t ReadAt(std::uint64_t offset, std::uint8_t* out, std::size_t count) override;

 private:
  std::ifstream m_file;
  std::uint64_t m_size = 0;
};

// Walks the RIFF structure of `reader`: the first RIFF chunk of form type
// "WAVE" (other chunks skipped), "fmt " inside it, then "data" after the
// format chunk, pad bytes honoured, every walk bounded by its parent chunk
// and by the file. On success fills `frames` (bytes, channels, frameCount;
// the channel flags are left as they are) with the whole frames the file
// really holds, whatever the declared size says, and returns WAVE_OK. On
// failure returns the first check that failed and leaves `frames` empty.
WaveError LoadWave(WaveReader& reader, SampleFrames& frames);

}  // namespace tapedecoder

#endif  // TAPEDECODER_AUDIO_WAVE_FILE_H_
