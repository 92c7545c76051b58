#include "tape/block_decoder.h"

#include <algorithm>
#include <limits>
#include <new>
#include <vector>

#include "tape/edge_timer.h"
#include "tape/tape_format.h"
#include "tape/tape_output.h"

namespace tapedecoder {

namespace {

bool InRange(std::int32_t length, float minimum, float maximum) {
  const double value = length;
  return minimum <= value && value <= maximum;
}

// The state of one decoding run and the steps that change it.
class BlockAssembler {
 public:
  explicit BlockAssembler(CTapeOutput& output) : m_output(output) {}

  // Takes one classified pulse; returns false when no row of the phase
  // table takes it.
  bool TakePulse(PulseClass pulse) {
    if (m_phase == PHASE_SEARCH && pulse == PULSE_PILOT) {
      m_phase = PHASE_PILOT;  // the opening pulse is not counted
      return true;
    }
    if (m_phase == PHASE_PILOT && pulse == PULSE_PILOT) {
      // An endless pilot tone cannot wrap the count around.
      if (m_pilotCount < std::numeric_limits<std::int32_t>::max()) ++m_pilotCount;
      return true;
    }
    if (m_phase == PHASE_PILOT && pulse == PULSE_ZERO &&
        m_pilotCount > PILOT_COUNT_BEFORE_SYNC) {
      // The sync pulse: it yields no bit.
      m_output.BeginBlock();
      m_byteCount = 0;
      m_bitCount = 0;
      m_accumulator = 0;
      m_phase = PHASE_DATA;
      return true;
    }
    if (m_phase == PHASE_DATA && pulse == PULSE_ZERO) {
      ShiftIn(0);
      return true;
    }
    if (m_phase == PHASE_DATA && (pulse == PULSE_ONE || pulse == PULSE_PILOT)) {
      ShiftIn(1);
      return true;
    }
    return false;
  }

  // Writes the block when it holds a completed byte, then starts over.
  // Bits of an incomplete byte are dropped.
  void EndBlock() {
    if (m_phase == PHASE_DATA && m_byteCount > 0)
      m_output.EndBlock(m_buffer.data(), m_byteCount);
    m_phase = PHASE_SEARCH;
    m_pilotCount = 0;
    std::vector<std::uint8_t>().swap(m_buffer);
    m_byteCount = 0;
    m_bitCount = 0;
    m_accumulator = 0;
  }

  std::size_t LargestBuffer() const { return m_largestBuffer; }

 private:
  // Bits arrive most significant first. Throws std::bad_alloc when the
  // buffer cannot grow.
  void ShiftIn(std::uint8_t bit) {
    m_accumulator = static_cast<std::uint8_t>((m_accumulator << 1) | bit);
    if (++m_bitCount < 8) return;
    if (m_byteCount >= m_buffer.size()) Grow();
    m_buffer[m_byteCount] = m_accumulator;
    m_output.ListByte(m_accumulator);
    m_bitCount = 0;
    m_accumulator = 0;
    ++m_byteCount;
  }

  // Grows the buffer by a fixed step, not by doubling, copying the bytes
  // stored so far into the new one.
  void Grow() {
    std::vector<std::uint8_t> bigger(m_buffer.size() + BLOCK_BUFFER_STEP);
    std::copy(m_buffer.begin(), m_buffer.begin() + static_cast<std::ptrdiff_t>(m_byteCount),
              bigger.begin());
    m_buffer.swap(bigger);
    m_largestBuffer = std::max(m_largestBuffer, m_buffer.size());
  }

  CTapeOutput& m_output;
  DecodePhase m_phase = PHASE_SEARCH;
  std::int32_t m_pilotCount = 0;
  std::size_t m_byteCount = 0;
  int m_bitCount = 0;
  std::uint8_t m_accumulator = 0;
  std::vector<std::uint8_t> m_buffer;  // its size is the capacity
  std::size_t m_largestBuffer = 0;
};

}  // namespace

PulseClass ClassifyPulse(const DecodeSettings& settings, std::int32_t length) {
  PulseClass pulse = PULSE_NONE;
  if (InRange(length, settings.pilotMin, settings.pilotMax)) pulse = PULSE_PILOT;
  if (InRange(length, settings.oneMin, settings.oneMax)) pulse = PULSE_ONE;
  if (InRange(length, settings.zeroMin, settings.zeroMax)) pulse = PULSE_ZERO;
  return pulse;
}

bool DecodeToFiles(const std::string& title, CWaveSource& source,
                   const DecodeSettings& settings, DecodeReport* report) {
  return DecodeToFilesWith(title, source, settings, &MeasurePulse, report);
}

bool DecodeToFilesWith(const std::string& title, CWaveSource& source,
                       const DecodeSettings& settings, PulseMeasure measure,
                       DecodeReport* report) {
  DecodeReport local;
  DecodeReport& result = report != nullptr ? *report : local;
  result = DecodeReport();

  CTapeOutput output;
  auto finish = [&](DecodeFailure failure, const std::string& detail) {
    result.failure = failure;
    result.detail = detail;
    result.blocks = output.Blocks();
    result.goodBlocks = output.GoodBlocks();
    result.badBlocks = output.BadBlocks();
    return failure == DECODE_OK;
  };

  if (!output.Open(title)) return finish(DECODE_CANNOT_CREATE, output.ErrorDetail());

  try {
    BlockAssembler assembler(output);
    std::uint8_t levelState = 0;
    // A failed write makes the run's outcome certain; decoding stops there.
    while (!source.IsAtEnd() && !output.Failed()) {
      const std::int32_t length = measure(settings, source, levelState);
      // Only a run that has just ended with a fall (a high run) is
      // classified; low runs only move the cursor.
      if (levelState == 0 && assembler.TakePulse(ClassifyPulse(settings, length)))
        continue;
      if (length == -1) assembler.EndBlock();
    }
    result.largestBuffer = assembler.LargestBuffer();
  } catch (const std::bad_alloc&) {
    output.Discard();
    return finish(DECODE_NO_MEMORY, "not enough memory for the block buffer");
  }

  if (!output.Close()) return finish(DECODE_CANNOT_WRITE, output.ErrorDetail());
  return finish(DECODE_OK, std::string());
}

}  // namespace tapedecoder
