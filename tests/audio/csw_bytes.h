// CSW pulse files built byte by byte, for the tests and the fuzz seeds.
#ifndef TAPEDECODER_TESTS_AUDIO_CSW_BYTES_H_
#define TAPEDECODER_TESTS_AUDIO_CSW_BYTES_H_

#include <cstdint>
#include <vector>

#include "test_support.h"

namespace testing_support {

// The RLE bytes of `pulses` (sample counts): one byte up to 255, else a 0
// byte and a 32-bit count.
Bytes CswRle(const std::vector<std::uint32_t>& pulses);
// A zlib stream of `data`.
Bytes Deflate(const Bytes& data);
// Version 1.01 header then `data` as given.
Bytes CswV1(std::uint16_t rate, bool firstHigh, const Bytes& data, std::uint8_t compression = 1);
// Version 2.0 header then `data` as given (deflate it for compression 2).
Bytes CswV2(std::uint32_t rate, std::uint8_t compression, bool firstHigh, const Bytes& data,
            std::uint32_t declaredPulses = 0, const Bytes& extension = {});

}  // namespace testing_support

#endif  // TAPEDECODER_TESTS_AUDIO_CSW_BYTES_H_
