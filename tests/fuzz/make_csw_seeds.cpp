// Writes the CSW fuzz target's seeds: files of both versions and
// compressions, and files cut or damaged at each check of the reader.
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "audio/csw_bytes.h"

using namespace testing_support;

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: make_csw_seeds FOLDER\n";
    return 2;
  }
  const std::filesystem::path dir = std::filesystem::path(argv[1]) / "csw_fuzz";
  std::filesystem::create_directories(dir);
  std::vector<std::uint32_t> tone;
  for (int i = 0; i < 300; ++i) tone.push_back(27);
  for (std::uint32_t p : {8u, 9u, 10u, 10u, 21u, 22u, 300u, 44100u}) tone.push_back(p);
  const Bytes rle = CswRle(tone);
  const Bytes packed = Deflate(rle);
  Bytes cut = CswV2(44100, 2, false, packed);
  cut.resize(cut.size() - 7);
  const std::pair<const char*, Bytes> seeds[] = {
      {"v1.csw", CswV1(44100, false, rle)},
      {"v1_slow.csw", CswV1(11025, true, rle)},
      {"v2_rle.csw", CswV2(48000, 1, true, rle, static_cast<std::uint32_t>(tone.size()))},
      {"v2_zrle.csw", CswV2(44100, 2, false, packed, static_cast<std::uint32_t>(tone.size()))},
      {"v2_extension.csw", CswV2(44100, 2, false, packed, 0, Bytes{1, 2, 3, 4})},
      {"v2_fast.csw", CswV2(3500000, 1, false, CswRle({2168, 2168, 667, 735, 855, 1710}))},
      {"zero_pulse.csw", CswV1(44100, false, Bytes{10, 0, 0, 0, 0, 0, 10})},
      {"cut_count.csw", CswV1(44100, false, Bytes{10, 0, 1})},
      {"cut_zlib.csw", cut},
      {"header_only.csw", CswV2(44100, 2, false, {})},
  };
  for (const auto& [name, bytes] : seeds) WriteFile(dir / name, bytes);
  return 0;
}
