#include "tape/tape_format.h"

namespace tapedecoder {

std::string ToWindows1251(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size();) {
    const auto lead = static_cast<unsigned char>(utf8[i]);
    if (lead < 0x80) {
      out += static_cast<char>(lead);
      ++i;
      continue;
    }
    // The Cyrillic letters are two-byte sequences: U+0400..U+04FF.
    if ((lead & 0xE0) == 0xC0 && i + 1 < utf8.size()) {
      const auto trail = static_cast<unsigned char>(utf8[i + 1]);
      const unsigned code = ((lead & 0x1Fu) << 6) | (trail & 0x3Fu);
      i += 2;
      if (code >= 0x0410 && code <= 0x044F) {
        out += static_cast<char>(0xC0 + (code - 0x0410));  // А..я
      } else if (code == 0x0401) {
        out += static_cast<char>(0xA8);  // Ё
      } else if (code == 0x0451) {
        out += static_cast<char>(0xB8);  // ё
      } else {
        out += '?';
      }
      continue;
    }
    // Anything else: skip the whole sequence.
    ++i;
    while (i < utf8.size() && (static_cast<unsigned char>(utf8[i]) & 0xC0) == 0x80) ++i;
    out += '?';
  }
  return out;
}

}  // namespace tapedecoder
