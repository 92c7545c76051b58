// A recording opened for the robust decoder: its sample source (a sound
// file or a CSW pulse file, see CSampleSource) read as a stream into one or
// more mono float streams at 40 kHz or more, through the channel mixer and
// the upsampler. Memory stays bounded however long the recording is.
#ifndef TAPEDECODER_AUDIO_SAMPLE_INPUT_H_
#define TAPEDECODER_AUDIO_SAMPLE_INPUT_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "audio/channel_mixer.h"
#include "base/failure.h"
#include "audio/sample_source.h"

namespace tapedecoder {

// Not copyable; owns the open file.
class CSampleInput {
 public:
  // Opens `path` (OpenSampleSource). Returns the input, or nullptr with
  // `error` filled in (failure, path, errno or the sound library's message).
  static std::unique_ptr<CSampleInput> Open(const std::string& path, Failure& error);
  ~CSampleInput();
  CSampleInput(const CSampleInput&) = delete;
  CSampleInput& operator=(const CSampleInput&) = delete;

  const InputInfo& Info() const { return m_source->Info(); }
  // The rate of every stream Read delivers, >= INPUT_MIN_OUTPUT_RATE: the
  // file's rate times Upsampling(), and for a CSW file above 192 kHz its
  // rate divided by a whole number (CCswSamples).
  double OutputRate() const { return m_outputRate; }
  // The whole factor the file's rate is raised by (1 when it is 40 kHz or
  // more), by the source itself or by the upsampler.
  unsigned Upsampling() const { return m_source->RaisedBy() * m_up; }

  // Chooses the streams, in the order Read fills them. Duplicates are
  // allowed. Returns false (and changes nothing) when `choices` is empty,
  // after the first Read, or when the buffers cannot be had (Failed()).
  bool Select(const std::vector<ChannelChoice>& choices);

  // Replaces out[i] with up to `max` samples of stream i, every stream the
  // same count (but see MixAlone), and returns that count; 0 at the end of
  // the recording or after a failure (Failed(), then Error(); what was
  // read before it stays valid). Selects LEFT alone when Select was not
  // called. REQUIRES: max > 0.
  std::size_t Read(std::vector<std::vector<float>>& out, std::size_t max);

  // For a caller that reads the mix alone where it is coherent: when the
  // mix is decided coherent before its first sample, the streams after
  // the first come out empty (MixAlone()), which saves splitting the
  // channels. Returns false (and changes nothing) unless the first stream
  // selected is the mix of two or more channels and nothing has been read.
  bool DropChannelsWhenCoherent();
  // Every stream after the first comes out empty.
  bool MixAlone() const { return m_mixer.ChannelsDropped(); }
  // The mix was decided before its first sample (its weights stay fixed)
  // and can be taken up again from a snapshot (CChannelMixer::Snapshot;
  // frames counted from the start, thread-safe against Read).
  bool MixFixed() const { return m_mixer.Fixed() && !m_sought; }
  bool MixSnapshot(std::uint64_t frame, std::uint64_t& at, std::vector<double>& means) const {
    return !m_sought && m_mixer.Snapshot(frame, at, means);
  }

  // Moves reading to output sample `sample` of every stream (counted at
  // OutputRate() from the start) and returns true; false, reading going on
  // where it was, when the source cannot seek, the mix is not yet decided
  // or `sample` falls between the file's frames. Rate raising starts afresh
  // there (as at the start of the recording).
  bool Seek(std::uint64_t sample);

  bool Failed() const { return m_error.kind != FailureKind::NONE; }
  const Failure& Error() const { return m_error; }
  // The mix's weights per channel (+1, -1, 0 for dead) once decided.
  const std::vector<int>& MixWeights() const { return m_mixer.Weights(); }
  // The mix is decided and carries what every channel carries (see
  // CChannelMixer::Coherent).
  bool MixCoherent() const { return m_mixer.Decided() && m_mixer.Coherent(); }

  InputProgress Progress() const { return m_source->Progress(); }
  // See CSampleSource::AllowHelperThread.
  void AllowHelperThread() { m_source->AllowHelperThread(); }

 private:
  explicit CSampleInput(std::unique_ptr<CSampleSource> source);
  // One bounded step toward m_ready: drain, mix or read a chunk. False once
  // the recording has ended (all of it delivered to m_ready).
  bool Pump();
  // Read without rate raising: the mixer's streams go straight to `out`.
  std::size_t ReadDirect(std::vector<std::vector<float>>& out, std::size_t max);
  // The source has ended (or failed): tells the mixer.
  void EndInput();
  void Fail(FailureKind failure, int osError = 0);
  // The streams Read fills: all, or the first alone (MixAlone()).
  std::size_t Live() const { return MixAlone() ? 1 : m_ready.size(); }

  std::unique_ptr<CSampleSource> m_source;
  Failure m_error;
  double m_outputRate = 0.0;
  unsigned m_up = 1;  // the upsampler's factor
  std::vector<ChannelChoice> m_choices;
  bool m_started = false;
  bool m_ended = false;
  bool m_sought = false;  // Seek moved reading: the mix's snapshots no longer match the frames
  std::vector<float> m_chunk;     // frames read from the source
  std::size_t m_chunkBegin = 0;   // frames of m_chunk the mixer took
  std::size_t m_chunkFrames = 0;  // frames in m_chunk
  bool m_inputEnded = false;      // the source is read and the mixer told
  CChannelMixer m_mixer;
  std::vector<std::unique_ptr<class CUpsampler>> m_upsamplers;
  std::vector<std::vector<float>> m_mixed;  // per stream, at the source's rate, awaiting the upsamplers
  // Per stream, delivered at OutputRate() and not yet read out.
  std::vector<std::vector<float>> m_ready;
  std::size_t m_readyBegin = 0;
};

}  // namespace tapedecoder

#endif  // TAPEDECODER_AUDIO_SAMPLE_INPUT_H_
