// The samples of a recording as it is stored: frames of one or more
// channels at the recording's own rate, read front to back. One interface,
// one implementation per kind of file: a sound file through the sound
// library, and a CSW pulse file rendered as a square wave. Channel mixing
// and rate raising sit on top of it (CSampleInput).
#ifndef TAPEDECODER_AUDIO_SAMPLE_SOURCE_H_
#define TAPEDECODER_AUDIO_SAMPLE_SOURCE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "audio/byte_source.h"
#include "audio/csw_reader.h"
#include "base/failure.h"

namespace tapedecoder {

// The sound-file rates accepted, in Hz.
constexpr int INPUT_MIN_RATE = 8000;
constexpr int INPUT_MAX_RATE = 192000;
// Streams are decoded at this rate or more: lower rates are raised by the
// smallest whole factor that reaches it.
constexpr int INPUT_MIN_OUTPUT_RATE = 40000;
// Every sample a source delivers lies within ±SAMPLE_LIMIT of full scale
// (1.0): a louder one is taken for damage rather than loudness and clipped,
// and not-a-number reads as silence. The robust decoder's exact sums rely on
// the bound (two hours at 192 kHz stay far inside 64 bits).
constexpr float SAMPLE_LIMIT = 16.0f;

enum class InputKind : std::uint8_t { AUDIO, CSW };

struct InputInfo {
  InputKind kind = InputKind::AUDIO;
  int rate = 0;               // the file's samples per second per channel
  int channels = 0;           // 1 for CSW
  std::int64_t frames = -1;   // frames the file declares; -1 when unknown (CSW)
  double seconds = -1.0;      // frames / rate; -1 when unknown
  int format = 0;             // AUDIO: the sound library's SF_FORMAT_* code (container | encoding)
  std::string container;      // AUDIO: the library's name of the container, e.g. "WAV (Microsoft)"
  std::string encoding;       // AUDIO: the library's name of the encoding, e.g. "Signed 16 bit PCM"
  CswHeader csw;              // CSW: the header
  std::uint64_t fileBytes = 0;
};

// How far reading has come: AUDIO counts frames, CSW counts file bytes.
// total is 0 when unknown.
struct InputProgress {
  std::uint64_t done = 0;
  std::uint64_t total = 0;
};

// Not copyable; owns its file.
class CSampleSource {
 public:
  virtual ~CSampleSource() = default;
  CSampleSource(const CSampleSource&) = delete;
  CSampleSource& operator=(const CSampleSource&) = delete;

  const InputInfo& Info() const { return m_info; }
  // Frames hold Info().channels samples each, interleaved, at Rate() Hz:
  // the file's rate, or for CSW the rate its square wave is rendered at
  // (raised by RaisedBy(), or lowered above 192 kHz; see CCswSamples).
  double Rate() const { return m_rate; }
  // The whole factor the source itself raised the file's rate by.
  unsigned RaisedBy() const { return m_raised; }

  // Writes up to `maxFrames` frames to `frames` and returns how many; 0 at
  // the end of the recording or after a failure (Failed(), then Error();
  // the frames before it stay valid). REQUIRES: maxFrames > 0.
  virtual std::size_t Read(float* frames, std::size_t maxFrames) = 0;
  virtual InputProgress Progress() const = 0;
  // Moves reading to frame `frame` (counted from the start at Rate()) and
  // returns true; false when the source cannot seek (a CSW file, a sound
  // format the library reads only front to back), reading then goes on
  // where it was.
  virtual bool Seek(std::uint64_t frame) {
    static_cast<void>(frame);
    return false;
  }
  // Lets the source share its decoding with a thread of its own from the
  // next Read on (the frames stay the same); one that seeks no longer does.
  virtual void AllowHelperThread() {}

  bool Failed() const { return m_error.kind != FailureKind::NONE; }
  const Failure& Error() const { return m_error; }

 protected:
  CSampleSource() = default;
  InputInfo m_info;
  Failure m_error;
  double m_rate = 0.0;
  unsigned m_raised = 1;
};

// Opens `path`: a CSW file when it starts with the CSW signature, whatever
// its name, a sound file otherwise. A folder, FIFO, device or socket is
// refused at once (NOT_A_FILE) without blocking. Returns the source, or
// nullptr with `error` filled in (failure, path, errno or the sound
// library's message).
std::unique_ptr<CSampleSource> OpenSampleSource(const std::string& path, Failure& error);

// The two implementations, from bytes already opened. `error.path` is left
// as it is.
std::unique_ptr<CSampleSource> OpenCswSource(std::unique_ptr<CByteSource> bytes, Failure& error);
std::unique_ptr<CSampleSource> OpenSoundFileSource(std::unique_ptr<CFileByteSource> file, Failure& error);

// The sound library's name of a container or encoding (an SF_FORMAT_* code),
// e.g. "WAV (Microsoft)"; empty for a code it does not know.
std::string FormatName(int format);

}  // namespace tapedecoder

#endif  // TAPEDECODER_AUDIO_SAMPLE_SOURCE_H_
