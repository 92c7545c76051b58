// Reading little-endian integers from file bytes.
#ifndef TAPEDECODER_AUDIO_LITTLE_ENDIAN_H_
#define TAPEDECODER_AUDIO_LITTLE_ENDIAN_H_

#include <cstdint>

namespace tapedecoder {

inline std::uint16_t Le16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

inline std::uint32_t Le32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

}  // namespace tapedecoder

#endif  // TAPEDECODER_AUDIO_LITTLE_ENDIAN_H_
