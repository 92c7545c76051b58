#include "test_support.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>


namespace testing_support {

void PutLe16(Bytes& out, std::uint16_t value) {
  out.push_back(static_cast<std::uint8_t>(value));
  out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void PutLe32(Bytes& out, std::uint32_t value) {
  PutLe16(out, static_cast<std::uint16_t>(value));
  PutLe16(out, static_cast<std::uint16_t>(value >> 16));
}

Bytes WaveFormat::Build() const {
  Bytes out;
  PutLe16(out, tag);
  PutLe16(out, channels);
  PutLe32(out, rate);
  PutLe32(out, rate * blockAlign);
  PutLe16(out, blockAlign);
  PutLe16(out, bits);
  return out;
}

Bytes ChunkWithSize(const std::string& id, std::uint32_t size, const Bytes& data) {
  Bytes out(id.begin(), id.end());
  out.resize(4, ' ');
  PutLe32(out, size);
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

Bytes Chunk(const std::string& id, const Bytes& data, bool pad) {
  Bytes out = ChunkWithSize(id, static_cast<std::uint32_t>(data.size()), data);
  if (pad && data.size() % 2 == 1) out.push_back(0);
  return out;
}

Bytes RiffWave(const Bytes& subChunks) {
  Bytes body = {'W', 'A', 'V', 'E'};
  body.insert(body.end(), subChunks.begin(), subChunks.end());
  return Chunk("RIFF", body, false);
}

Bytes SimpleWave(const Bytes& samples, std::uint16_t channels) {
  WaveFormat format;
  format.channels = channels;
  format.blockAlign = channels;
  Bytes sub = Chunk("fmt ", format.Build());
  const Bytes data = Chunk("data", samples);
  sub.insert(sub.end(), data.begin(), data.end());
  return RiffWave(sub);
}

ScratchDir::ScratchDir() {
  std::string pattern =
      (std::filesystem::temp_directory_path() / "tapedecoder-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr)
    throw std::runtime_error("cannot make a scratch folder");
  m_path = pattern;
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  std::filesystem::remove_all(m_path, ignored);
}

void WriteFile(const std::filesystem::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

Bytes ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string ShellQuote(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') out += "'\\''";
    else out += c;
  }
  return out + "'";
}

int RunCommand(const std::string& command) {
  const int status = std::system(command.c_str());
  if (status == -1 || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

int InChild(const std::function<int()>& body) {
  const pid_t pid = fork();
  if (pid == 0) _exit(body());
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

bool HaveTool(const std::string& tool) {
  return RunCommand("command -v " + ShellQuote(tool) + " >/dev/null 2>&1") == 0;
}

}  // namespace testing_support
