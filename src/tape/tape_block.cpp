#include "tape/tape_block.h"

namespace tapedecoder {

bool ChecksumGood(const std::vector<std::uint8_t>& bytes) {
  if (bytes.empty()) return false;
  std::uint8_t checksum = 0;
  for (std::size_t i = 0; i + 1 < bytes.size(); ++i) checksum ^= bytes[i];
  return checksum == bytes.back();
}

}  // namespace tapedecoder
