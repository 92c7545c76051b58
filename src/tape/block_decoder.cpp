#include "tape/block_decoder.h"

#include <algorithm>

namespace tapedecoder {

void CClassicAssembler::EndBlock() {
  if (m_phase == PHASE_DATA) {
    TapeBlock block;
    m_buffer.resize(m_byteCount);
    block.bytes.swap(m_buffer);
    m_sink.Take(block);
  }
  m_phase = PHASE_SEARCH;
  m_pilotCount = 0;
  std::vector<std::uint8_t>().swap(m_buffer);
  m_byteCount = 0;
  m_bitCount = 0;
  m_accumulator = 0;
}

void CClassicAssembler::Grow() {
  std::vector<std::uint8_t> bigger(m_buffer.size() + BLOCK_BUFFER_STEP);
  std::copy(m_buffer.begin(), m_buffer.begin() + static_cast<std::ptrdiff_t>(m_byteCount),
            bigger.begin());
  m_buffer.swap(bigger);
  m_largestBuffer = std::max(m_largestBuffer, m_buffer.size());
}

}  // namespace tapedecoder
