#include "audio/csw_bytes.h"

#include <zlib.h>

#include <cstring>

namespace testing_support {

namespace {

Bytes Signature(std::uint8_t major, std::uint8_t minor) {
  const char text[] = "Compressed Square Wave\x1A";
  Bytes out(text, text + 23);
  out.push_back(major);
  out.push_back(minor);
  return out;
}

}  // namespace

Bytes CswRle(const std::vector<std::uint32_t>& pulses) {
  Bytes out;
  for (std::uint32_t p : pulses) {
    if (p >= 1 && p <= 255) {
      out.push_back(static_cast<std::uint8_t>(p));
    } else {
      out.push_back(0);
      PutLe32(out, p);
    }
  }
  return out;
}

Bytes Deflate(const Bytes& data) {
  uLongf size = compressBound(static_cast<uLong>(data.size()));
  Bytes out(size);
  if (compress(out.data(), &size, data.data(), static_cast<uLong>(data.size())) != Z_OK) return {};
  out.resize(size);
  return out;
}

Bytes CswV1(std::uint16_t rate, bool firstHigh, const Bytes& data, std::uint8_t compression) {
  Bytes out = Signature(1, 1);
  PutLe16(out, rate);
  out.push_back(compression);
  out.push_back(firstHigh ? 1 : 0);
  out.insert(out.end(), 3, 0);
  return out + data;
}

Bytes CswV2(std::uint32_t rate, std::uint8_t compression, bool firstHigh, const Bytes& data,
            std::uint32_t declaredPulses, const Bytes& extension) {
  Bytes out = Signature(2, 0);
  PutLe32(out, rate);
  PutLe32(out, declaredPulses);
  out.push_back(compression);
  out.push_back(firstHigh ? 1 : 0);
  out.push_back(static_cast<std::uint8_t>(extension.size()));
  const char writer[17] = "tapedecoder test";
  out.insert(out.end(), writer, writer + 16);
  return out + extension + data;
}

}  // namespace testing_support
