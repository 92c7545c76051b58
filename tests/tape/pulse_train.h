// Square-wave recordings built in memory from rows of pulses, for the
// decoder tests. With the manual level 127 and samples of 40 and 215, a
// high run of h whole samples measures 5h - 1 read steps.
#ifndef TAPEDECODER_TESTS_TAPE_PULSE_TRAIN_H_
#define TAPEDECODER_TESTS_TAPE_PULSE_TRAIN_H_

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "tape/decode_settings.h"
#include "test_support.h"

using namespace tapedecoder;

namespace testing_support {

// Half-period lengths in samples. The defaults come from the standard
// ZX Spectrum timings at 44100 Hz and measure, in read steps: pilot 134,
// sync 39, zero 49, one 104 -- each in its class of the default settings.
struct PulseTimings {
  int pilot = 27;
  int sync = 8;
  int zero = 10;
  int one = 21;
};

// Timings for long blocks: fast to decode with FastSettings() (pilot 49,
// sync 9, zero 14, one 29 read steps).
PulseTimings FastTimings();

// Manual level 127 with ranges around FastTimings(): zero 5-20, one 21-40,
// pilot 41-60 read steps.
DecodeSettings FastSettings();

class PulseTrain {
 public:
  explicit PulseTrain(PulseTimings timings = PulseTimings()) : m_timings(timings) {}

  // `samples` samples below the level (above it with `high`).
  PulseTrain& Silence(int samples, bool high = false);
  // `count` pulses: `high` samples above the level, then `low` below.
  PulseTrain& Pulses(int high, int low, int count = 1);
  // Pulses of the standard kinds, each a high and an equal low half.
  PulseTrain& Pilot(int count);
  PulseTrain& Sync();
  PulseTrain& Bit(int bit);
  PulseTrain& Bits(std::initializer_list<int> bits);
  PulseTrain& Byte(std::uint8_t value);  // most significant bit first
  PulseTrain& Data(const Bytes& bytes);
  // A whole block: a pilot tone of `pilots` pulses, the sync, the bytes.
  PulseTrain& Block(const Bytes& bytes, int pilots = 110);

  const PulseTimings& Timings() const { return m_timings; }
  // The samples; `inverted` mirrors every pulse about the level (silence
  // stays below it).
  Bytes Samples(bool inverted = false) const;
  // A mono 8-bit 44100 Hz WAV file of the samples.
  Bytes Wave(bool inverted = false) const;

 private:
  struct Run {
    int samples;
    bool high;
    bool pulse;  // part of a pulse, not silence
  };
  PulseTrain& Add(int samples, bool high, bool pulse);

  PulseTimings m_timings;
  std::vector<Run> m_runs;
};

// The sample values of the trains.
constexpr std::uint8_t PULSE_LOW = 40;
constexpr std::uint8_t PULSE_HIGH = 215;

}  // namespace testing_support

#endif  // TAPEDECODER_TESTS_TAPE_PULSE_TRAIN_H_
