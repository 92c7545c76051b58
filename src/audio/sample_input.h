// A recording opened for the robust decoder: any sound file the sound
// library reads, or a CSW pulse file (found by its signature, whatever the
// name), read as a stream into one or more mono float streams at 40 kHz or
// more. Memory stays bounded however long the recording is.
#ifndef TAPEDECODER_AUDIO_SAMPLE_INPUT_H_
#define TAPEDECODER_AUDIO_SAMPLE_INPUT_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "audio/channel_mixer.h"
#include "audio/csw_reader.h"
#include "audio/input_error.h"

namespace tapedecoder {

// The sound-file rates accepted, in Hz.
constexpr int INPUT_MIN_RATE = 8000;
constexpr int INPUT_MAX_RATE = 192000;
// Streams are delivered at this rate or more: lower rates are raised by the
// smallest whole factor that reaches it.
constexpr int INPUT_MIN_OUTPUT_RATE = 40000;

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

// Not copyable; owns the open file.
class CSampleInput {
 public:
  // Opens `path`. A folder, FIFO, device or socket is refused at once
  // (NOT_A_FILE) without blocking. Returns the input, or nullptr with
  // `error` filled in (failure, path, errno or the sound library's message).
  static std::unique_ptr<CSampleInput> Open(const std::string& path, InputError& error);
  ~CSampleInput();
  CSampleInput(const CSampleInput&) = delete;
  CSampleInput& operator=(const CSampleInput&) = delete;

  const InputInfo& Info() const { return m_info; }
  // The rate of every stream Read delivers, >= INPUT_MIN_OUTPUT_RATE: the
  // file's rate times Upsampling(), and for a CSW file above 192 kHz its
  // rate divided by a whole number (CCswSamples).
  double OutputRate() const { return m_outputRate; }
  // The whole factor the file's rate is raised by (1 when it is 40 kHz or more).
  unsigned Upsampling() const { return m_up; }

  // Chooses the streams, in the order Read fills them. Duplicates are
  // allowed. Returns false (and changes nothing) when `choices` is empty,
  // after the first Read, or when the buffers cannot be had (Failed()).
  bool Select(const std::vector<ChannelChoice>& choices);

  // Replaces out[i] with up to `max` samples of stream i, every stream the
  // same count, and returns that count; 0 at the end of the recording or
  // after a failure (Failed(), then Error(); what was read before it stays
  // valid). Selects LEFT alone when Select was not called. REQUIRES: max > 0.
  std::size_t Read(std::vector<std::vector<float>>& out, std::size_t max);

  bool Failed() const { return m_error.failure != InputFailure::NONE; }
  const InputError& Error() const { return m_error; }
  // The mix's weights per channel (+1, -1, 0 for dead) once decided.
  const std::vector<int>& MixWeights() const { return m_mixer.Weights(); }

  InputProgress Progress() const;

 private:
  struct SoundFile;
  CSampleInput();
  // One bounded step toward m_ready: drain, mix or read a chunk. False once
  // the recording has ended (all of it delivered to m_ready).
  bool Pump();
  void Fail(InputFailure failure, int osError = 0);

  InputInfo m_info;
  InputError m_error;
  double m_outputRate = 0.0;
  unsigned m_up = 1;
  std::vector<ChannelChoice> m_choices;
  bool m_started = false;
  bool m_ended = false;
  // AUDIO
  std::unique_ptr<SoundFile> m_sound;
  std::vector<float> m_chunk;
  std::size_t m_chunkBegin = 0;   // frames of m_chunk the mixer took
  std::size_t m_chunkFrames = 0;  // frames in m_chunk
  bool m_inputEnded = false;      // the file is read and the mixer told
  std::uint64_t m_framesRead = 0;
  bool m_cutShort = false;        // a WAV whose data chunk runs past the end of the file
  CChannelMixer m_mixer;
  std::vector<std::unique_ptr<class CUpsampler>> m_upsamplers;
  std::vector<std::vector<float>> m_mixed;  // per stream, at the file's rate
  // CSW
  std::unique_ptr<CByteSource> m_bytes;
  std::unique_ptr<CCswReader> m_csw;
  std::unique_ptr<CCswSamples> m_square;
  // Per stream, delivered at OutputRate() and not yet read out.
  std::vector<std::vector<float>> m_ready;
  std::size_t m_readyBegin = 0;
};

}  // namespace tapedecoder

#endif  // TAPEDECODER_AUDIO_SAMPLE_INPUT_H_
