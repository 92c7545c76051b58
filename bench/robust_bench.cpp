// Speed and memory of the robust decoder: a 10-minute 44.1 kHz mono
// recording of headers and long data blocks, high-passed and noisy, is
// synthesised block by block and fed to the decoder. Prints the decode's
// own seconds, the multiple of real time and the process's peak RSS.
#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "robust/robust_decoder.h"

namespace {

constexpr double RATE = 44100.0;
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

// Renders pulses (T-states, 0 = a second of silence) into samples, a chunk
// at a time, and feeds them to the decoder, timing only the decoder.
class Feeder {
 public:
  explicit Feeder(tapedecoder::CRobustDecoder& decoder) : m_decoder(decoder) {}

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

  void Flush() {
    Run(m_chunk.size());
    m_decoder.Finish();
  }
  double DecodeSeconds() const { return m_seconds; }
  double Seconds() const { return m_time; }

 private:
  void Emit() {
    // First-order high-pass at 1 kHz, then noise.
    double y = m_a * (m_prevY + m_acc - m_prevX);
    m_prevX = m_acc;
    m_prevY = y;
    m_chunk.push_back(static_cast<float>(0.4 * y + 0.03 * m_random.Gauss()));
    m_acc = 0.0;
    ++m_index;
    if (m_chunk.size() == 65536) Run(m_chunk.size());
  }
  void Run(std::size_t n) {
    auto t0 = std::chrono::steady_clock::now();
    m_decoder.Feed(m_chunk.data(), n);
    m_seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    m_chunk.clear();
  }

  tapedecoder::CRobustDecoder& m_decoder;
  std::vector<float> m_chunk;
  Random m_random;
  double m_time = 0.0;
  std::int64_t m_index = 0;
  double m_acc = 0.0;
  double m_a = 1.0 / (1.0 + 2.0 * PI * 1000.0 / RATE);
  double m_prevX = 0.0;
  double m_prevY = 0.0;
  double m_seconds = 0.0;
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

}  // namespace

// With --readers=primary only the first box reader and the edge reader run,
// with --readers=edges only the edge reader: what each costs.
int main(int argc, char** argv) {
  tapedecoder::RobustOptions options;
  std::string readers = argc > 1 ? argv[1] : "";
  if (readers == "--readers=primary" || readers == "--readers=edges") {
    options.retryBoxFactors[0] = options.retryBoxFactors[1] = 0.0;
  }
  if (readers == "--readers=edges") options.boxReader = false;
  int blocks = 0;
  int good = 0;
  tapedecoder::CRobustDecoder decoder(RATE, [&](tapedecoder::TapeBlock&& b) {
    ++blocks;
    if (tapedecoder::ChecksumGood(b.bytes)) ++good;
  }, options);
  Feeder feeder(decoder);
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
  feeder.Flush();
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  double seconds = feeder.DecodeSeconds();
  std::printf("recording   %.1f s at %.0f Hz, %d blocks written\n", feeder.Seconds(), RATE, written);
  std::printf("decoded     %d blocks, %d verify\n", blocks, good);
  std::printf("decode time %.3f s (%.0fx real time)\n", seconds, feeder.Seconds() / seconds);
  std::printf("peak RSS    %.1f MiB\n", static_cast<double>(usage.ru_maxrss) / 1024.0);
  return good == written ? 0 : 1;
}
