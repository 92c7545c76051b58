// Helpers shared by the tests: WAV images built in memory, scratch folders
// and the external tools that make real recordings.
#ifndef TAPEDECODER_TESTS_TEST_SUPPORT_H_
#define TAPEDECODER_TESTS_TEST_SUPPORT_H_

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace testing_support {

using Bytes = std::vector<std::uint8_t>;

// The 16 (or more) bytes of a "fmt " chunk's data.
struct WaveFormat {
  std::uint16_t tag = 1;
  std::uint16_t channels = 1;
  std::uint32_t rate = 44100;
  std::uint16_t blockAlign = 1;
  std::uint16_t bits = 8;
  Bytes Build() const;  // 16 bytes
};

void PutLe16(Bytes& out, std::uint16_t value);
void PutLe32(Bytes& out, std::uint32_t value);

// One chunk: id, size (the data's length unless given), data, and the pad
// byte after odd data when `pad` is set.
Bytes Chunk(const std::string& id, const Bytes& data, bool pad = true);
Bytes ChunkWithSize(const std::string& id, std::uint32_t size, const Bytes& data);

// A RIFF "WAVE" file holding the given sub-chunks, RIFF size filled in.
Bytes RiffWave(const Bytes& subChunks);

// A plain 8-bit 44100 Hz file with the given channels and sample bytes.
Bytes SimpleWave(const Bytes& samples, std::uint16_t channels = 1);

// A fresh empty folder under the system's temporary folder, removed with
// everything in it when the object goes.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::filesystem::path& Path() const { return m_path; }
  std::filesystem::path operator/(const std::string& name) const { return m_path / name; }

 private:
  std::filesystem::path m_path;
};

void WriteFile(const std::filesystem::path& path, const Bytes& bytes);
Bytes ReadFile(const std::filesystem::path& path);

// True when `tool` is on the PATH.
bool HaveTool(const std::string& tool);
// Runs a shell command; returns its exit status (-1 when it could not run).
int RunCommand(const std::string& command);
// Runs `body` in a child process and returns its exit status (-1 when it
// did not exit normally), so that resource limits, lowered privileges or a
// crash there leave the test runner alone.
int InChild(const std::function<int()>& body);
// Quotes a path for the shell.
std::string ShellQuote(const std::string& text);

}  // namespace testing_support

// Concatenates byte strings: Chunk(...) + Chunk(...).
inline testing_support::Bytes operator+(testing_support::Bytes a,
                                        const testing_support::Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

#endif  // TAPEDECODER_TESTS_TEST_SUPPORT_H_
