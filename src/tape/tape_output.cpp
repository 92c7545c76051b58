#include "tape/tape_output.h"

#include <algorithm>

#include "tape/tape_format.h"

namespace tapedecoder {

namespace {

const char HEX_DIGITS[] = "0123456789abcdef";

}  // namespace

void CTapImageWriter::Take(const TapeBlock& block) {
  const std::size_t count = block.bytes.size();
  for (std::size_t done = 0; done < count;) {
    const std::size_t part = std::min(count - done, TAP_RECORD_MAX_BYTES);
    const std::uint8_t length[2] = {static_cast<std::uint8_t>(part & 0xFF),
                                    static_cast<std::uint8_t>(part >> 8)};
    m_set.Write(m_index, length, sizeof length);
    m_set.Write(m_index, block.bytes.data() + done, part);
    done += part;
  }
}

CListingWriter::CListingWriter(COutputSet& set, int index)
    : m_set(set),
      m_index(index),
      m_blockStart(ToWindows1251(LISTING_BLOCK_START)),
      m_blockEndHead(ToWindows1251(LISTING_BLOCK_END_HEAD)),
      m_blockEndTail(ToWindows1251(LISTING_BLOCK_END_TAIL)),
      m_verdictGood(ToWindows1251(LISTING_VERDICT_GOOD)),
      m_verdictBad(ToWindows1251(LISTING_VERDICT_BAD)) {}

void CListingWriter::Write(std::string_view text) { m_set.Write(m_index, text.data(), text.size()); }

void CListingWriter::Take(const TapeBlock& block) {
  Write(m_blockStart);
  // One line of hex entries at a time: up to 30 entries of three characters,
  // each line after the first opened by a line break.
  const std::vector<std::uint8_t>& bytes = block.bytes;
  std::string line;
  for (std::size_t at = 0; at < bytes.size(); at += LISTING_BYTES_PER_LINE) {
    line.clear();
    if (at > 0) line += LISTING_LINE_BREAK;
    const std::size_t end = std::min(bytes.size(), at + LISTING_BYTES_PER_LINE);
    for (std::size_t i = at; i < end; ++i) {
      line += HEX_DIGITS[bytes[i] >> 4];
      line += HEX_DIGITS[bytes[i] & 0x0F];
      line += ' ';
    }
    Write(line);
  }
  if (bytes.empty()) return;
  Write(m_blockEndHead + std::to_string(bytes.size()) + m_blockEndTail);
  Write(ChecksumGood(bytes) ? m_verdictGood : m_verdictBad);
}

void CBlockTally::Take(const TapeBlock& block) {
  if (block.bytes.empty()) return;
  if (ChecksumGood(block.bytes)) ++m_good;
  else ++m_bad;
}

}  // namespace tapedecoder
