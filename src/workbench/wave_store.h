// The picture of one recording: its stream kept as a min/max summary
// pyramid in memory, and the samples themselves read back where they came
// from (the recording, through a SampleReader) or, when that cannot be
// done, from 16-bit copies in an unnamed spill file; so that any stretch
// can be drawn at any zoom while memory stays a small fraction of the
// recording's size.
//
// One thread appends (the summary pass) while others read: every read
// sees the samples appended so far.
#ifndef TAPEDECODER_WORKBENCH_WAVE_STORE_H_
#define TAPEDECODER_WORKBENCH_WAVE_STORE_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace tapedecoder {

// The lowest and highest sample of a stretch, full scale -1..1.
struct MinMax {
  float low = 0.0f;
  float high = 0.0f;
};

// Reads stretches of a stream again, for close-up views. Called from any
// thread; an implementation serialises its own reads.
class SampleReader {
 public:
  virtual ~SampleReader() = default;
  // Writes up to `count` samples from sample `first` to `out` and returns
  // how many; fewer at the end of the stream or when reading fails.
  virtual std::size_t ReadAt(std::uint64_t first, float* out, std::size_t count) = 0;
};

class WaveStore {
 public:
  // Samples summarised by one bin of the finest level; each coarser level
  // holds a quarter as many bins.
  static constexpr std::size_t kBaseBin = 256;
  static constexpr std::size_t kLevelFactor = 4;

  // `rate`: samples per second of the stream. The spill file is an unnamed
  // temporary (gone with the process) in `folder`, or, when that is empty or
  // unusable, in $TMPDIR or /tmp; Ok() is false when it cannot be made.
  explicit WaveStore(double rate, const std::string& folder = std::string());
  // Samples are read back through `reader` (which gives what was appended,
  // at full precision): no spill file. A null reader makes a summary alone
  // (Read gives nothing), for AppendSummary.
  WaveStore(double rate, std::unique_ptr<SampleReader> reader);
  ~WaveStore();
  WaveStore(const WaveStore&) = delete;
  WaveStore& operator=(const WaveStore&) = delete;

  bool Ok() const { return !m_spill || (m_fd >= 0 && !m_writeFailed.load()); }
  // True when samples are read back from a spill file.
  bool Spills() const { return m_spill; }
  double Rate() const { return m_rate; }
  std::uint64_t Samples() const { return m_samples.load(std::memory_order_acquire); }
  double Seconds() const { return static_cast<double>(Samples()) / m_rate; }
  // True once Finish was called: the summary is whole.
  bool Finished() const { return m_finished.load(std::memory_order_acquire); }

  // Makes room in the summary for `samples` samples (the length the file
  // declares), so that it never holds more than it needs. Writer thread
  // only, before the first Append.
  void Reserve(std::uint64_t samples);
  // Appends samples (any value; kept clipped to -1..1). Writer thread only.
  void Append(const float* samples, std::size_t count);
  // Appends the summary of `tail` (a summary alone of the samples that
  // follow these, not finished) when these fill whole bins; false, changing
  // nothing, when they do not. Writer thread only.
  bool AppendSummary(const WaveStore& tail);
  // Summarises the last partial bins. Writer thread only; Append is
  // ignored afterwards.
  void Finish();

  // The envelope of `bins` stretches of `perBin` samples each from sample
  // `first` (fractional positions allowed): from the pyramid when a bin
  // spans a summary bin or more, else from the spill file. A bin past the
  // end of what is stored is {0, 0}.
  std::vector<MinMax> Envelope(double first, double perBin, int bins) const;
  // Up to `count` samples from `first`, clipped to -1..1 (16-bit precision
  // when spilled).
  std::vector<float> Read(std::uint64_t first, std::size_t count) const;

  // Bytes of memory the summary holds (for the benchmark).
  std::size_t SummaryBytes() const;

 private:
  struct Level {
    std::vector<std::int16_t> bins;  // low, high, low, high ...
    std::int16_t low = 0, high = 0;  // the partial bin
    std::size_t filled = 0;          // samples (or finer bins) in it
  };
  void AddToLevel(std::size_t level, std::int16_t low, std::int16_t high, std::size_t weight);
  void FlushSpill();

  double m_rate;
  std::unique_ptr<SampleReader> m_reader;  // null: the spill file, or none
  bool m_spill = false;
  int m_fd = -1;
  std::atomic<std::uint64_t> m_samples{0};  // readable: read back, or in the spill file
  std::atomic<bool> m_writeFailed{false};
  std::atomic<bool> m_finished{false};
  std::vector<std::int16_t> m_pending;  // spill bytes not yet written
  std::uint64_t m_pendingFirst = 0;
  mutable std::mutex m_mutex;  // guards m_levels
  std::vector<Level> m_levels;
};

}  // namespace tapedecoder

#endif  // TAPEDECODER_WORKBENCH_WAVE_STORE_H_
