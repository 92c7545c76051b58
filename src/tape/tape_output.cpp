#include "tape/tape_output.h"

#include <algorithm>
#include <cmath>

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
      m_verdictBad(ToWindows1251(LISTING_VERDICT_BAD)),
      m_mended{ToWindows1251(LISTING_MENDED_HEAD), ToWindows1251(LISTING_MENDED_MIDDLE),
               ToWindows1251(LISTING_MENDED_TAIL), ToWindows1251(LISTING_MENDED_IN),
               ToWindows1251(LISTING_MENDED_FROM), ToWindows1251(LISTING_MENDED_COPY_HEAD),
               ToWindows1251(LISTING_GUESSED_HEAD), ToWindows1251(LISTING_SLIPS_FROM)},
      m_timing{ToWindows1251(LISTING_TIMING_HEAD),  ToWindows1251(LISTING_TIMING_PILOT),
               ToWindows1251(LISTING_TIMING_COUNT), ToWindows1251(LISTING_TIMING_SYNC),
               ToWindows1251(LISTING_TIMING_ZERO),  ToWindows1251(LISTING_TIMING_ONE),
               ToWindows1251(LISTING_TIMING_NO_PILOT)} {}

void CListingWriter::Write(std::string_view text) { m_set.Write(m_index, text.data(), text.size()); }

void CListingWriter::Take(const TapeBlock& block) {
  Write(m_blockStart);
  if (!block.romTiming) {
    const BlockTiming& t = block.timing;
    auto tstates = [](double value) { return std::to_string(std::lround(value)); };
    const std::string lead = t.pilot > 0.0 ? m_timing[1] + tstates(t.pilot) + m_timing[2] +
                                                 std::to_string(t.pilotPulses) + m_timing[3] +
                                                 tstates(t.sync1) + (t.sync2 > 0.0 ? "/" + tstates(t.sync2) : "")
                                           : m_timing[6];
    Write(m_timing[0] + lead + m_timing[4] + BitPulsesText(t, false) + m_timing[5] + BitPulsesText(t, true) +
          std::string(LISTING_LINE_BREAK));
  }
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
  if (block.origin == BlockOrigin::MENDED && (ChecksumGood(block) || block.mendGuessed)) {
    const std::string where = block.mendGuessed && block.mendedGaps == 0 ? m_mended[7]
                              : block.mendedGaps > 1 ? m_mended[3] + std::to_string(block.mendedGaps) + m_mended[4]
                                                     : m_mended[1];
    Write(m_mended[block.mendGuessed ? 6 : block.mendedFromCopy ? 5 : 0] + std::to_string(block.mendedBits) + where +
          std::to_string(block.mendedAt / 8) + m_mended[2]);
    return;
  }
  Write(ChecksumGood(block) ? m_verdictGood : m_verdictBad);
}

void CBlockTally::Take(const TapeBlock& block) {
  if (block.bytes.empty()) return;
  if (ChecksumGood(block)) ++m_good;
  else ++m_bad;
}

}  // namespace tapedecoder
