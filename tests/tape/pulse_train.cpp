#include "tape/pulse_train.h"

using namespace tapedecoder;

namespace testing_support {

PulseTimings FastTimings() {
  PulseTimings timings;
  timings.pilot = 10;
  timings.sync = 2;
  timings.zero = 3;
  timings.one = 6;
  return timings;
}

DecodeSettings FastSettings() {
  DecodeSettings settings;
  settings.levelMode = LEVEL_MANUAL;
  settings.manualLevel = 127;
  settings.zeroMin = 5;
  settings.zeroMax = 20;
  settings.oneMin = 21;
  settings.oneMax = 40;
  settings.pilotMin = 41;
  settings.pilotMax = 60;
  return settings;
}

PulseTrain& PulseTrain::Add(int samples, bool high, bool pulse) {
  m_runs.push_back(Run{samples, high, pulse});
  return *this;
}

PulseTrain& PulseTrain::Silence(int samples, bool high) {
  return Add(samples, high, false);
}

PulseTrain& PulseTrain::Pulses(int high, int low, int count) {
  for (int i = 0; i < count; ++i) {
    Add(high, true, true);
    Add(low, false, true);
  }
  return *this;
}

PulseTrain& PulseTrain::Pilot(int count) {
  return Pulses(m_timings.pilot, m_timings.pilot, count);
}

PulseTrain& PulseTrain::Sync() { return Pulses(m_timings.sync, m_timings.sync); }

PulseTrain& PulseTrain::Bit(int bit) {
  const int half = bit != 0 ? m_timings.one : m_timings.zero;
  return Pulses(half, half);
}

PulseTrain& PulseTrain::Bits(std::initializer_list<int> bits) {
  for (int bit : bits) Bit(bit);
  return *this;
}

PulseTrain& PulseTrain::Byte(std::uint8_t value) {
  for (int i = 7; i >= 0; --i) Bit((value >> i) & 1);
  return *this;
}

PulseTrain& PulseTrain::Data(const Bytes& bytes) {
  for (std::uint8_t value : bytes) Byte(value);
  return *this;
}

PulseTrain& PulseTrain::Block(const Bytes& bytes, int pilots) {
  return Pilot(pilots).Sync().Data(bytes);
}

Bytes PulseTrain::Samples(bool inverted) const {
  Bytes out;
  for (const Run& run : m_runs) {
    const bool high = run.pulse && inverted ? !run.high : run.high;
    out.insert(out.end(), static_cast<std::size_t>(run.samples),
               high ? PULSE_HIGH : PULSE_LOW);
  }
  return out;
}

Bytes PulseTrain::Wave(bool inverted) const { return SimpleWave(Samples(inverted)); }

}  // namespace testing_support
