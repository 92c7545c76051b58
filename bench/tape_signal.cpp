#include "tape_signal.h"

#include <random>
#include <string_view>


namespace {

constexpr double kClock = 3500000.0;  // T-states per second
constexpr double kRate = 44100.0;
constexpr int kPilot = 2168, kSync1 = 667, kSync2 = 735, kZero = 855, kOne = 1710;
constexpr std::uint8_t kHigh = 215, kLow = 40, kQuiet = 128;

void PutLe(Bytes& out, std::uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

}  // namespace

void TapeSignal::HalfPulse(int tstates) {
  m_clock += tstates;
  const auto end = static_cast<std::size_t>(m_clock / kClock * kRate + 0.5);
  while (m_samples.size() < end) m_samples.push_back(m_high ? kHigh : kLow);
  m_high = !m_high;
}

void TapeSignal::Block(const Bytes& bytes, bool header) {
  const int pilots = header ? 8063 : 3223;
  for (int i = 0; i < pilots; ++i) HalfPulse(kPilot);
  HalfPulse(kSync1);
  HalfPulse(kSync2);
  for (std::uint8_t byte : bytes) {
    for (int bit = 7; bit >= 0; --bit) {
      const int length = (byte >> bit) & 1 ? kOne : kZero;
      HalfPulse(length);
      HalfPulse(length);
    }
  }
}

void TapeSignal::Silence(double seconds) {
  const auto samples = static_cast<std::size_t>(seconds * kRate);
  m_samples.insert(m_samples.end(), samples, kQuiet);
  m_clock = static_cast<double>(m_samples.size()) / kRate * kClock;
  m_high = false;
}

Bytes WaveFile(const Bytes& samples, int channels) {
  Bytes out = {'R', 'I', 'F', 'F'};
  PutLe(out, static_cast<std::uint32_t>(36 + samples.size()), 4);
  for (char c : std::string_view("WAVEfmt ")) out.push_back(static_cast<std::uint8_t>(c));
  PutLe(out, 16, 4);
  PutLe(out, 1, 2);
  PutLe(out, static_cast<std::uint32_t>(channels), 2);
  PutLe(out, 44100, 4);
  PutLe(out, 44100u * static_cast<std::uint32_t>(channels), 4);
  PutLe(out, static_cast<std::uint32_t>(channels), 2);
  PutLe(out, 8, 2);
  for (char c : std::string_view("data")) out.push_back(static_cast<std::uint8_t>(c));
  PutLe(out, static_cast<std::uint32_t>(samples.size()), 4);
  out.insert(out.end(), samples.begin(), samples.end());
  return out;
}

Bytes TenMinuteSignal(double seconds, unsigned seed, int& blocks) {
  std::mt19937 random(seed);
  TapeSignal signal;
  signal.Silence(0.5);
  blocks = 0;
  // A header and a 40 KB data block with their pauses last about 250 s.
  const double pairSeconds = 2.0 + (8063 + 3223) * 2168 / 3.5e6 + 41000 * 8 * 2565 / 3.5e6;
  while (signal.Seconds() + pairSeconds <= seconds) {
    Bytes header(19);
    for (auto& b : header) b = static_cast<std::uint8_t>(random());
    header[0] = 0x00;
    Bytes data(40 * 1024 + 2);
    for (auto& b : data) b = static_cast<std::uint8_t>(random());
    data[0] = 0xFF;
    for (Bytes* block : {&header, &data}) {
      std::uint8_t sum = 0;
      for (std::size_t i = 0; i + 1 < block->size(); ++i) sum ^= (*block)[i];
      block->back() = sum;
    }
    signal.Block(header, true);
    signal.Silence(1.0);
    signal.Block(data, false);
    signal.Silence(1.0);
    blocks += 2;
  }
  Bytes samples = signal.Samples();
  samples.resize(static_cast<std::size_t>(seconds * 44100.0), kQuiet);
  return samples;
}
