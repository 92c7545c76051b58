// Searches over sample bytes, sixteen at a time where the processor has
// SSE2 and one at a time elsewhere.
#ifndef TAPEDECODER_AUDIO_BYTE_SCAN_H_
#define TAPEDECODER_AUDIO_BYTE_SCAN_H_

#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tapedecoder {

namespace byte_scan {

// The first index in [from, to) whose byte is on the other side of `level`
// than `high` says (high: bytes above the level; low: at or below it), or
// `to` when there is none.
inline std::size_t FirstOffSide(const std::uint8_t* bytes, std::size_t from, std::size_t to,
                                std::uint8_t level, bool high) {
  std::size_t i = from;
#if defined(__SSE2__)
  const __m128i limit = _mm_set1_epi8(static_cast<char>(level));
  for (; i + 16 <= to; i += 16) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i));
    // Bit k is set when byte k is at or below the level.
    const unsigned atOrBelow =
        static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_min_epu8(x, limit), x)));
    const unsigned off = high ? atOrBelow : (~atOrBelow & 0xFFFFu);
    if (off != 0) return i + static_cast<std::size_t>(__builtin_ctz(off));
  }
#endif
  if (high) {
    while (i < to && bytes[i] > level) ++i;
  } else {
    while (i < to && bytes[i] <= level) ++i;
  }
  return i;
}

// The first index in (from, to) whose unit of kWidth bytes (1 or 2)
// differs from the unit at `from`, or `to` when all are equal. Indexes
// count units.
template <std::size_t kWidth>
inline std::size_t RunEnd(const std::uint8_t* bytes, std::size_t from, std::size_t to) {
  static_assert(kWidth == 1 || kWidth == 2, "units are mono or stereo frames");
  std::size_t i = from + 1;
  const std::uint8_t* first = bytes + from * kWidth;
#if defined(__SSE2__)
  constexpr std::size_t kPerChunk = 16 / kWidth;
  if (i + kPerChunk <= to) {
    const __m128i unit = kWidth == 1
                             ? _mm_set1_epi8(static_cast<char>(first[0]))
                             : _mm_set1_epi16(static_cast<short>(first[0] | (first[kWidth - 1] << 8)));
    for (; i + kPerChunk <= to; i += kPerChunk) {
      const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i * kWidth));
      const unsigned differ =
          ~static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, unit))) & 0xFFFFu;
      if (differ != 0) return i + static_cast<std::size_t>(__builtin_ctz(differ)) / kWidth;
    }
  }
#endif
  if (kWidth == 1) {
    while (i < to && bytes[i] == first[0]) ++i;
  } else {
    while (i < to && bytes[2 * i] == first[0] && bytes[2 * i + 1] == first[kWidth - 1]) ++i;
  }
  return i;
}

}  // namespace byte_scan

}  // namespace tapedecoder

#endif  // TAPEDECODER_AUDIO_BYTE_SCAN_H_
