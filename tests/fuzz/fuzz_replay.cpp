// Replays saved inputs through a fuzz target's entry point, without
// libFuzzer: each argument is a file, or a folder whose regular files are
// replayed in name order. A missing folder holds no inputs. The target
// aborts on a wrong outcome, which fails the run; otherwise the exit
// status is 0, or 2 when an input cannot be read.
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
// Optional in a target, as with libFuzzer.
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

namespace fs = std::filesystem;

std::vector<fs::path> Inputs(const fs::path& argument) {
  std::error_code error;
  if (!fs::is_directory(argument, error)) return {argument};
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(argument, error))
    if (entry.is_regular_file(error)) files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace

int main(int argc, char** argv) {
  if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);
  int replayed = 0;
  for (int i = 1; i < argc; ++i) {
    std::error_code error;
    if (!fs::exists(argv[i], error)) continue;
    for (const fs::path& path : Inputs(argv[i])) {
      std::ifstream in(path, std::ios::binary);
      const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in),
                                            std::istreambuf_iterator<char>()};
      if (!in.good() && !in.eof()) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return 2;
      }
      std::printf("replaying %s (%zu bytes)\n", path.c_str(), bytes.size());
      std::fflush(stdout);  // the name shows even when the input aborts
      LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
      ++replayed;
    }
  }
  std::printf("%d inputs replayed\n", replayed);
  return 0;
}
