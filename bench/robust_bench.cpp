// Speed and memory of the robust decoder: a 10-minute 44.1 kHz mono
// recording of headers and long data blocks, high-passed and noisy, is
// synthesised block by block and fed to the decoder. Prints the decode's
// own seconds, the multiple of real time and the process's peak RSS.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "robust/robust_decoder.h"

namespace {

// The sample rate: 44100 Hz, or another given as --rate=N.
double RATE = 44100.0;
constexpr double SECONDS = 600.0;
constexpr double PI = 3.14159265358979323846;

class Random {
 public:
  std::uint64_t Next() {
    m_state ^= m_state >> 12;
    m_state ^= m_state << 25;
    m_state ^= m_state >> 27;
    return m_state * 2685821657736338717ULL;
  }
  double Gauss() {
    double u = (static_cast<double>(Next() >> 11) + 1.0) / 9007199254740993.0;
    double v = static_cast<double>(Next() >> 11) / 9007199254740992.0;
    return std::sqrt(-2.0 * std::log(u)) * std::cos(2.0 * PI * v);
  }

 private:
  std::uint64_t m_state = 88172645463325252ULL;
};

// Renders pulses (T-states, level 0 = silence) into 16-bit samples.
class Feeder {
 public:

  void Pulse(double tstates, int level) {
    double end = m_time + tstates / 3500000.0 * 1.013;  // a tape running 1.3 % slow
    while (m_time < end) {
      double sampleEnd = (static_cast<double>(m_index) + 1.0) / RATE;
      double upto = std::min(end, sampleEnd);
      m_acc += level * (upto - m_time) * RATE;
      m_time = upto;
      if (upto == sampleEnd) Emit();
    }
  }

  const std::vector<std::int16_t>& Samples() const { return m_samples; }
  double Seconds() const { return m_time; }

 private:
  void Emit() {
    // First-order high-pass at 1 kHz, then noise.
    double y = m_a * (m_prevY + m_acc - m_prevX);
    m_prevX = m_acc;
    m_prevY = y;
    double v = std::clamp(0.4 * y + 0.03 * m_random.Gauss(), -1.0, 1.0);
    m_samples.push_back(static_cast<std::int16_t>(std::lround(v * 32767.0)));
    m_acc = 0.0;
    ++m_index;
  }

  std::vector<std::int16_t> m_samples;
  Random m_random;
  double m_time = 0.0;
  std::int64_t m_index = 0;
  double m_acc = 0.0;
  double m_a = 1.0 / (1.0 + 2.0 * PI * 1000.0 / RATE);  // set once RATE is known
  double m_prevX = 0.0;
  double m_prevY = 0.0;
};

void Block(Feeder& f, const std::vector<std::uint8_t>& bytes) {
  int level = 1;
  auto pulse = [&](double t) {
    f.Pulse(t, level);
    level = -level;
  };
  for (int i = 0; i < (bytes[0] < 128 ? 8063 : 3223); ++i) pulse(2168);
  pulse(667);
  pulse(735);
  for (std::uint8_t b : bytes) {
    for (int bit = 7; bit >= 0; --bit) {
      double t = (b >> bit) & 1 ? 1710 : 855;
      pulse(t);
      pulse(t);
    }
  }
  f.Pulse(3500000.0, 0);
}


struct Outcome {
  double seconds;
  int blocks;
  int good;
};

// Decodes the samples as a file reader would hand them over: 16-bit
// values converted to float a chunk at a time.
Outcome Decode(const std::vector<std::int16_t>& samples, const tapedecoder::RobustOptions& options) {
  Outcome out{0.0, 0, 0};
  auto t0 = std::chrono::steady_clock::now();
  tapedecoder::CRobustDecoder decoder(RATE, [&](tapedecoder::TapeBlock&& b) {
    ++out.blocks;
    if (tapedecoder::ChecksumGood(b.bytes)) ++out.good;
  }, options);
  std::vector<float> chunk(65536);
  for (std::size_t at = 0; at < samples.size(); at += chunk.size()) {
    std::size_t n = std::min(chunk.size(), samples.size() - at);
    for (std::size_t i = 0; i < n; ++i) chunk[i] = samples[at + i] * (1.0f / 32768.0f);
    decoder.Feed(chunk.data(), n);
  }
  decoder.Finish();
  out.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  return out;
}

long PeakRssKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

}  // namespace

// With --readers=primary only the first box reader and the edge reader run,
// with --readers=edges only the edge reader: what each costs. --rate=N
// renders at N Hz. The decode
// runs three times; the fastest counts (the machine may be shared).
int main(int argc, char** argv) {
  tapedecoder::RobustOptions options;
  std::string readers;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg.rfind("--rate=", 0) == 0) {
      RATE = std::atof(arg.c_str() + 7);
      if (RATE < 40000.0 || RATE > 192000.0) RATE = 44100.0;
    } else {
      readers = arg;
    }
  }
  if (readers == "--readers=primary" || readers == "--readers=edges") {
    options.retryBoxFactors[0] = options.retryBoxFactors[1] = 0.0;
  }
  if (readers == "--readers=edges") options.boxReader = false;
  Feeder feeder;
  Random random;
  int written = 0;
  // Header and data pairs of 16 KB while they fit (about 100 s each).
  while (feeder.Seconds() + 110.0 < SECONDS) {
    std::vector<std::uint8_t> data = {0xFF};
    for (int i = 0; i < 16384; ++i) data.push_back(static_cast<std::uint8_t>(random.Next() >> 56));
    std::uint8_t x = 0;
    for (std::uint8_t b : data) x ^= b;
    data.push_back(x);
    std::vector<std::uint8_t> header = {0x00, 0x03, 'b', 'e', 'n', 'c', 'h', ' ', ' ', ' ', ' ', ' ',
                                        0x00, 0x40, 0x00, 0x80, 0x00, 0x80};
    x = 0;
    for (std::uint8_t b : header) x ^= b;
    header.push_back(x);
    Block(feeder, header);
    Block(feeder, data);
    written += 2;
  }
  while (feeder.Seconds() < SECONDS) feeder.Pulse(350000.0, 0);
  const long before = PeakRssKiB();
  Outcome best{1e30, 0, 0};
  for (int run = 0; run < 3; ++run) {
    Outcome o = Decode(feeder.Samples(), options);
    if (o.seconds < best.seconds) best = o;
  }
  const long after = PeakRssKiB();
  std::printf("recording   %.1f s at %.0f Hz, %d blocks written\n", feeder.Seconds(), RATE, written);
  std::printf("decoded     %d blocks, %d verify\n", best.blocks, best.good);
  std::printf("decode time %.3f s (%.0fx real time), fastest of 3\n", best.seconds, feeder.Seconds() / best.seconds);
  std::printf("peak RSS    %.1f MiB in all, %.1f MiB of it the decoder's\n", after / 1024.0,
              (after - before) / 1024.0);
  return best.good == written ? 0 : 1;
}
