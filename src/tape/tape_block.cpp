#include "tape/tape_block.h"

namespace tapedecoder {

bool ChecksumGood(const std::vector<std::uint8_t>& bytes) {
  if (bytes.empty()) return false;
  std::uint8_t checksum = 0;
  for (std::size_t i = 0; i + 1 < bytes.size(); ++i) checksum ^= bytes[i];
  return checksum == bytes.back();
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

}  // namespace tapedecoder
