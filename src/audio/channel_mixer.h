// Turns interleaved frames of any channel count into the mono streams the
// robust decoder reads: the left channel, the right one, or a mix that
// neither cancels an inverted channel nor dilutes a good one with a dead one.
#ifndef TAPEDECODER_AUDIO_CHANNEL_MIXER_H_
#define TAPEDECODER_AUDIO_CHANNEL_MIXER_H_

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace tapedecoder {

enum class ChannelChoice : std::uint8_t {
  LEFT,   // channel 0
  RIGHT,  // channel 1; the only channel of a mono recording
  MIX,    // every channel, aligned and averaged (see CChannelMixer)
};

// The streams an automatic choice decodes side by side: LEFT, RIGHT and MIX
// for two or more channels, the one channel (LEFT) of a mono recording.
std::vector<ChannelChoice> AutomaticChoices(int channels);

// How the mix is made. Each channel's mean is removed by a slow tracker
// (time constant MIX_DC_SECONDS). The frames are held back until
// MIX_DECIDE_SECONDS of signal with real energy (20 ms blocks whose RMS on
// some channel exceeds MIX_ENERGY_RMS) have come, at most
// MIX_BUFFER_SAMPLES samples. From those blocks: a channel with less than
// 1/1000 of the strongest channel's energy is dead and left out; a live
// channel whose correlation with the strongest is negative is inverted; the
// live channels are averaged. The weights then stay fixed for the rest of
// the recording, so the mix has no switching glitches and the same file
// always mixes the same way. A held-back buffer that fills without enough
// energy (a long quiet leader) is let through with equal weights and the
// wait starts again; the end of the recording decides from whatever came.
constexpr double MIX_DC_SECONDS = 0.1;
constexpr double MIX_DECIDE_SECONDS = 1.0;
constexpr double MIX_ENERGY_RMS = 0.003;  // -50 dB of full scale
constexpr double MIX_COHERENCE = 0.5;
constexpr std::size_t MIX_BUFFER_SAMPLES = std::size_t{1} << 21;  // 8 MiB of floats
// Frames between the snapshots a fixed mix keeps of its DC trackers.
constexpr std::size_t MIX_SNAPSHOT_FRAMES = std::size_t{1} << 16;

// Not copyable. One mixer serves one recording.
class CChannelMixer {
 public:
  CChannelMixer() = default;
  CChannelMixer(const CChannelMixer&) = delete;
  CChannelMixer& operator=(const CChannelMixer&) = delete;

  // Prepares streams `choices` (one output per entry, in that order) from
  // frames of `channels` samples at `rate` Hz. Returns false when the
  // hold-back buffer cannot be had. REQUIRES: channels >= 1, rate > 0,
  // choices not empty.
  bool Start(int channels, double rate, const std::vector<ChannelChoice>& choices);

  // Takes up to `count` interleaved frames and returns how many it took.
  // Decided frames go straight to the outputs: out[i] gets the samples of
  // choices[i], every stream the same number. Undecided frames are held
  // back; when the hold-back ends (decided, or full), Push returns early
  // and Draining() is true. REQUIRES: !Draining(), out.size() == choices.size().
  std::size_t Push(const float* frames, std::size_t count, std::vector<std::vector<float>>& out);
  // Decides the mix from what is held back, if still undecided; the held
  // frames are then drained.
  void Finish();
  // True while held-back frames wait to be drained.
  bool Draining() const { return m_draining; }
  // Appends up to `maxFrames` held-back frames to the outputs (each stream
  // the same count) and returns how many; 0 when none are waiting.
  std::size_t Drain(std::vector<std::vector<float>>& out, std::size_t maxFrames);

  // The mix's weight of each channel, +1, -1 or 0 (dead); equal weights
  // until Decided().
  const std::vector<int>& Weights() const { return m_weights; }
  bool Decided() const { return m_decided; }
  // Once decided from real signal: every live channel follows the
  // strongest (|correlation| >= MIX_COHERENCE over the blocks it decided
  // from), so a stretch the mix reads, a single channel reads no better
  // unless one of them is damaged there. False for an undecided mix, one
  // let through with equal weights, or channels that carry different
  // signals (hiss on one side).
  bool Coherent() const { return m_coherent; }
  // Asks that when the mix is decided coherent before any frame is let
  // through, the outputs of choices other than MIX get nothing from then
  // on (a caller that reads the mix alone then). Called after Start.
  void DropChannelsWhenCoherent() { m_dropAsked = true; }
  // The outputs other than MIX get nothing.
  bool ChannelsDropped() const { return m_dropped; }

  // The mix was decided before its first frame went out: its weights stay
  // as they are for the whole recording, and Snapshot can resume it.
  bool Fixed() const { return m_fixed; }
  // Once Fixed(): the frame `at` (<= frame, a multiple of
  // MIX_SNAPSHOT_FRAMES counted from the first frame let through) and the
  // mix's DC trackers' means before it, one per channel; false when the
  // mix has not come that far. Thread-safe against Push and Drain.
  bool Snapshot(std::uint64_t frame, std::uint64_t& at, std::vector<double>& means) const;
  // Starts a mixer of MIX alone (in place of Start) from a snapshot of a
  // fixed mix of `channels` at `rate` with `weights`: the frames pushed from
  // the snapshot's frame on mix exactly as they mixed there.
  // REQUIRES: channels >= 2, means.size() == weights.size() == channels.
  void Resume(int channels, double rate, const std::vector<int>& weights, const std::vector<double>& means);

 private:
  struct Tracker {
    double mean = 0.0;
    bool primed = false;
    double Remove(double x, double alpha) {
      if (!primed) {
        mean = x;
        primed = true;
      }
      mean += alpha * (x - mean);
      return x - mean;
    }
  };
  // Start without the hold-back buffer.
  void Reset(int channels, double rate, const std::vector<ChannelChoice>& choices);
  void Analyse(const float* frame);
  void CloseBlock();
  // Sets the weights from the held-back frames (when `decide`), or leaves
  // them equal, and starts draining the held-back frames.
  void Release(bool decide);
  void Emit(const float* frames, std::size_t count, std::vector<std::vector<float>>& out);
  void EmitRun(const float* frames, std::size_t count, std::vector<std::vector<float>>& out);

  int m_channels = 0;
  std::vector<ChannelChoice> m_choices;
  bool m_needMix = false;
  bool m_decided = false;
  bool m_coherent = false;
  bool m_dropAsked = false;
  bool m_dropped = false;
  bool m_released = false;          // held frames were let through once
  bool m_fixed = false;
  std::uint64_t m_emitted = 0;      // frames let through
  std::vector<double> m_snapshots;  // per MIX_SNAPSHOT_FRAMES frames, the means of every channel
  mutable std::mutex m_snapshotMutex;
  double m_alpha = 0.0;
  std::vector<int> m_weights;
  std::vector<Tracker> m_output;    // the mix's DC trackers
  // The hold-back and its analysis.
  std::vector<float> m_held;
  bool m_draining = false;
  std::size_t m_drained = 0;        // held frames already drained
  std::size_t m_heldLimit = 0;      // in samples, a whole number of frames
  std::vector<Tracker> m_analysis;
  std::vector<Tracker> m_analysisAtStart;  // m_analysis as the held frames began
  std::size_t m_blockFrames = 0;    // frames per analysis block
  std::size_t m_inBlock = 0;        // frames in the open block
  std::vector<double> m_blockEnergy;   // per channel, the open block
  std::vector<std::uint8_t> m_blockLive;  // per closed block: energetic
  std::size_t m_liveBlocks = 0;
  std::size_t m_decideBlocks = 0;
  std::vector<double> m_scratch;
  std::vector<float> m_mix;         // Emit's mixed samples
};

}  // namespace tapedecoder

#endif  // TAPEDECODER_AUDIO_CHANNEL_MIXER_H_
