// Recordings synthesised in memory from the standard ZX Spectrum tape
// timings, for the benchmarks.
#ifndef TAPEDECODER_BENCH_TAPE_SIGNAL_H_
#define TAPEDECODER_BENCH_TAPE_SIGNAL_H_

#include <cstdint>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

// A mono signal at 44100 Hz: each block a pilot tone, the sync pulse and
// its bytes (flag, data, checksum), then a second of silence. Edges fall
// where the 3.5 MHz timings put them, rounded to whole samples.
class TapeSignal {
 public:
  void Block(const Bytes& bytes, bool header);
  void Silence(double seconds);
  const Bytes& Samples() const { return m_samples; }
  double Seconds() const { return static_cast<double>(m_samples.size()) / 44100.0; }

 private:
  void HalfPulse(int tstates);
  Bytes m_samples;
  double m_clock = 0.0;  // T-states written so far
  bool m_high = false;
};

// The file image of an 8-bit PCM WAV at 44100 Hz.
Bytes WaveFile(const Bytes& samples, int channels);

// `seconds` of recording: pairs of a header and a 40 KB data block of
// random bytes while they fit, then silence. `blocks` receives the count.
Bytes TenMinuteSignal(double seconds, unsigned seed, int& blocks);

#endif  // TAPEDECODER_BENCH_TAPE_SIGNAL_H_
