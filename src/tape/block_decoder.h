// Turning measured pulses into the blocks of the standard ZX Spectrum tape
// encoding: pilot tone, sync pulse, then one bit per pulse.
#ifndef TAPEDECODER_TAPE_BLOCK_DECODER_H_
#define TAPEDECODER_TAPE_BLOCK_DECODER_H_

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "audio/wave_source.h"
#include "tape/decode_settings.h"
#include "tape/edge_timer.h"
#include "tape/tape_block.h"
#include "tape/tape_format.h"

namespace tapedecoder {

// The class of one measured pulse.
enum PulseClass : std::uint8_t {
  PULSE_NONE = 0,   // in no range, or a run that is not classified
  PULSE_PILOT = 1,  // in the pilot range
  PULSE_ONE = 2,    // in the one range
  PULSE_ZERO = 3,   // in the zero range
};

// The decoder's phase.
enum DecodePhase : std::int32_t {
  PHASE_SEARCH = 0,  // waiting for the first pulse of a pilot tone
  PHASE_PILOT = 1,   // inside a pilot tone, counting its pulses
  PHASE_DATA = 2,    // after the sync pulse: each classified pulse is a bit
};

// Classifies a pulse length against the settings' three inclusive ranges,
// tested pilot, one, zero with a later hit overriding an earlier one: where
// ranges overlap, zero wins over one and one over pilot.
inline PulseClass ClassifyPulse(const DecodeSettings& settings, std::int32_t length) {
  const double value = length;
  PulseClass pulse = PULSE_NONE;
  if (settings.pilotMin <= value && value <= settings.pilotMax) pulse = PULSE_PILOT;
  if (settings.oneMin <= value && value <= settings.oneMax) pulse = PULSE_ONE;
  if (settings.zeroMin <= value && value <= settings.zeroMax) pulse = PULSE_ZERO;
  return pulse;
}

// A consumer of decoded blocks, in the order they end on the tape.
class BlockSink {
 public:
  virtual ~BlockSink() = default;
  virtual void Take(const TapeBlock& block) = 0;
};

// One pulse of the classic method, in read steps: the measured length, or
// -1 when no edge came within the step limit (a pause, or the end of the
// data). Only counted pulses are classified; a -1 ends a block either way.
struct StepPulse {
  std::int32_t steps = 0;
  bool counted = false;
};

// A measurement of one run with MeasurePulse's contract.
using PulseMeasure = std::int32_t (*)(const DecodeSettings& settings, CWaveSource& source,
                                      std::uint8_t& levelState);

// The classic pulse source: runs of `source` from its cursor, measured by
// `measure`. Only high runs (those that end with a fall, after which the
// level state is 0) are counted; low runs only move the cursor.
// `source` and `settings` must outlive the object.
// REQUIRES: source.GetStep() > 0.
class CClassicPulses {
 public:
  CClassicPulses(CWaveSource& source, const DecodeSettings& settings,
                 PulseMeasure measure = &MeasurePulse)
      : m_source(source), m_settings(settings), m_measure(measure) {}

  // The next pulse; false at the end of the data.
  bool Next(StepPulse& pulse) {
    if (m_source.IsAtEnd()) return false;
    pulse.steps = m_measure(m_settings, m_source, m_levelState);
    pulse.counted = m_levelState == 0;
    return true;
  }

 private:
  CWaveSource& m_source;
  const DecodeSettings& m_settings;
  PulseMeasure m_measure;
  std::uint8_t m_levelState = 0;
};

// The state of one classic decoding run. A pilot tone needs more than
// PILOT_COUNT_BEFORE_SYNC counted pilot pulses before a zero-class sync
// pulse starts a block; the sync yields no bit. In a block each zero-class
// pulse is a 0 bit, each one- or pilot-class pulse a 1 bit, most
// significant first, and other pulses are skipped. A break ends the block:
// it is handed to the sink with its completed bytes (none when the sync was
// followed by no whole byte: the listing still shows that block's start);
// bits of an incomplete byte are dropped. Throws std::bad_alloc when the
// block buffer cannot grow. `sink` must outlive the object.
class CClassicAssembler {
 public:
  explicit CClassicAssembler(BlockSink& sink) : m_sink(sink) {}

  // Takes one classified pulse; returns false when no phase takes it.
  bool TakePulse(PulseClass pulse) {
    switch (m_phase) {
      case PHASE_SEARCH:
        if (pulse != PULSE_PILOT) return false;
        m_phase = PHASE_PILOT;  // the opening pulse is not counted
        return true;
      case PHASE_PILOT:
        if (pulse == PULSE_PILOT) {
          // An endless pilot tone cannot wrap the count around.
          if (m_pilotCount < std::numeric_limits<std::int32_t>::max()) ++m_pilotCount;
          return true;
        }
        if (pulse != PULSE_ZERO || m_pilotCount <= PILOT_COUNT_BEFORE_SYNC) return false;
        m_phase = PHASE_DATA;  // the sync pulse: it yields no bit
        m_byteCount = 0;
        m_bitCount = 0;
        m_accumulator = 0;
        return true;
      case PHASE_DATA:
        if (pulse == PULSE_NONE) return false;
        ShiftIn(pulse == PULSE_ZERO ? 0 : 1);
        return true;
    }
    return false;
  }

  // Ends the current block, if any, and starts over.
  void EndBlock();

  DecodePhase Phase() const { return m_phase; }

  // The block buffer's largest capacity so far.
  std::size_t LargestBuffer() const { return m_largestBuffer; }

 private:
  void ShiftIn(std::uint8_t bit) {
    m_accumulator = static_cast<std::uint8_t>((m_accumulator << 1) | bit);
    if (++m_bitCount < 8) return;
    if (m_byteCount >= m_buffer.size()) Grow();
    m_buffer[m_byteCount++] = m_accumulator;
    m_bitCount = 0;
    m_accumulator = 0;
  }
  // Grows the buffer by BLOCK_BUFFER_STEP bytes, not by doubling.
  void Grow();

  BlockSink& m_sink;
  DecodePhase m_phase = PHASE_SEARCH;
  std::int32_t m_pilotCount = 0;
  std::size_t m_byteCount = 0;
  int m_bitCount = 0;
  std::uint8_t m_accumulator = 0;
  std::vector<std::uint8_t> m_buffer;  // its size is the capacity
  std::size_t m_largestBuffer = 0;
};

// Decodes every block that `pulses` (any type with bool Next(StepPulse&))
// yields into `sink`, and returns the block buffer's largest capacity.
// Throws std::bad_alloc when memory for a block runs out.
template <class Pulses>
std::size_t DecodeClassicBlocks(Pulses& pulses, const DecodeSettings& settings, BlockSink& sink) {
  CClassicAssembler assembler(sink);
  StepPulse pulse;
  while (pulses.Next(pulse)) {
    if (pulse.counted && assembler.TakePulse(ClassifyPulse(settings, pulse.steps))) continue;
    if (pulse.steps == -1) assembler.EndBlock();
  }
  return assembler.LargestBuffer();
}

}  // namespace tapedecoder

#endif  // TAPEDECODER_TAPE_BLOCK_DECODER_H_
