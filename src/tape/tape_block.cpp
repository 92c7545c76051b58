#include "tape/tape_block.h"

#include <algorithm>
#include <cmath>

namespace tapedecoder {

bool ChecksumGood(const std::vector<std::uint8_t>& bytes) {
  if (bytes.empty()) return false;
  std::uint8_t checksum = 0;
  for (std::size_t i = 0; i + 1 < bytes.size(); ++i) checksum ^= bytes[i];
  return checksum == bytes.back();
}

bool RepeatsOrTooShort(const std::vector<std::uint8_t>& bytes) {
  if (bytes.size() < 2) return true;
  constexpr std::size_t MAX_BIT_PERIOD = 16;
  constexpr std::size_t MAX_PERIOD = 8;
  for (std::size_t period = 1; period <= MAX_PERIOD; ++period) {
    // A pattern of several bytes repeats at least three times, so that a
    // short real block (FF 00 FF: one zero byte) is not taken for one.
    if (bytes.size() < (period == 1 ? 2 : 3 * period)) break;
    std::size_t k = period;
    while (k < bytes.size() && bytes[k] == bytes[k - period]) ++k;
    if (k == bytes.size()) return true;
    // ... or over at least half the block, then a tone's bytes to the end
    // (a clicking pilot read on into the pilot after its clicks).
    std::size_t tail = k;
    while (tail < bytes.size() && (bytes[tail] == 0x00 || bytes[tail] == 0xFF) && bytes[tail] == bytes.back()) ++tail;
    if (tail == bytes.size() && k >= 3 * period && 2 * k >= bytes.size()) return true;
  }
  // A click pattern of a few pulses read as bits repeats every few bits,
  // not whole bytes (110 110 ...: DB 6D B6 DB 6D B6); where its pattern
  // holds an even count of ones every so many bytes verify.
  const std::size_t bits = 8 * bytes.size();
  for (std::size_t period = 3; period <= MAX_BIT_PERIOD && 3 * period <= bits; ++period) {
    if (period % 8 == 0) continue;  // whole bytes: above
    std::size_t i = period;
    while (i < bits && BitAt(bytes, i) == BitAt(bytes, i - period)) ++i;
    if (i == bits) return true;
  }
  return false;
}

bool BlockVerifies(const std::vector<std::uint8_t>& bytes) {
  return ChecksumGood(bytes) && !RepeatsOrTooShort(bytes);
}

bool ChecksumGood(const TapeBlock& block) {
  return block.usedBits >= 7 && !block.mendGuessed && ChecksumGood(block.bytes);
}

std::uint8_t ColumnParity(const std::vector<std::uint8_t>& bits, std::size_t from, std::size_t to) {
  std::uint8_t parity = 0;
  for (std::size_t i = from; i < to; ++i) parity ^= static_cast<std::uint8_t>((bits[i] & 1u) << ((i - from) % 8));
  return parity;
}

std::optional<RomHeader> ParseRomHeader(const std::vector<std::uint8_t>& bytes) {
  if (bytes.size() != 19 || bytes[0] != 0x00 || !ChecksumGood(bytes)) return std::nullopt;
  auto word = [&bytes](std::size_t at) {
    return static_cast<std::uint16_t>(bytes[at] | (bytes[at + 1] << 8));
  };
  RomHeader header;
  header.type = bytes[1];
  header.name.assign(bytes.begin() + 2, bytes.begin() + 12);
  header.length = word(12);
  header.param1 = word(14);
  header.param2 = word(16);
  return header;
}

std::string BitPulsesText(const BlockTiming& timing, bool one) {
  auto whole = [](double tstates) { return std::to_string(std::lround(tstates)); };
  const int count = std::min(timing.symbolPulses, MAX_SYMBOL_PULSES);
  if (count <= 0) return whole(one ? timing.one : timing.zero);
  std::string text;
  for (int k = 0; k < count; ++k) {
    if (k > 0) text += '+';
    text += whole(one ? timing.oneSymbol[k] : timing.zeroSymbol[k]);
  }
  return text;
}

}  // namespace tapedecoder
