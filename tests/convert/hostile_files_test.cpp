// Whatever a file holds, a conversion ends with the right message, never
// reads outside the file, and never costs an earlier good pair of outputs.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <functional>
#include <numeric>

#include "audio/wave_source.h"
#include "convert/conversion_run.h"
#include "front/dialog_messages.h"
#include "tape/pulse_train.h"
#include "test_support.h"

using namespace tapedecoder;

namespace {

using namespace testing_support;
namespace fs = std::filesystem;

constexpr int kRejected = -1;  // the open message, and no outputs at all

Bytes WithFormat(const WaveFormat& format, const Bytes& samples = {1, 2, 3, 4, 5, 6}) {
  return RiffWave(Chunk("fmt ", format.Build()) + Chunk("data", samples));
}

WaveFormat Format(std::uint16_t channels, std::uint16_t blockAlign, std::uint32_t rate = 44100,
                  std::uint16_t tag = 1) {
  WaveFormat format;
  format.channels = channels;
  format.blockAlign = blockAlign;
  format.bits = static_cast<std::uint16_t>(blockAlign == 0 || channels == 0 ? 8 : 8 * blockAlign / channels);
  format.rate = rate;
  format.tag = tag;
  return format;
}

class HostileFilesTest : public ::testing::Test {
 protected:
  // Converts `name` in the scratch folder and checks the outcome: rejected
  // with the open message and no output, or completed with `frames` frames.
  void ExpectOutcome(const std::string& row, const std::string& name, int frames) {
    DecodeSettings settings;
    const std::string path = (m_dir / name).string();
    const std::string title = (m_dir / "out").string();
    const UserMessage message = ConversionMessage(RunConversion(settings, path, title));
    if (frames == kRejected) {
      EXPECT_EQ(message.text, MESSAGE_CANNOT_OPEN) << row;
      EXPECT_EQ(message.caption, CAPTION_ERROR) << row;
      EXPECT_FALSE(fs::exists(title + ".tap")) << row;
      EXPECT_FALSE(fs::exists(title + ".txt")) << row;
    } else {
      EXPECT_EQ(message.text, MESSAGE_COMPLETE) << row;
      CWaveSource source;
      ASSERT_TRUE(source.Open(path)) << row;
      EXPECT_EQ(source.FrameCount(), static_cast<std::uint32_t>(frames)) << row;
    }
    ExpectNoTemporaries(row);
    fs::remove(title + ".tap");
    fs::remove(title + ".txt");
  }
  void ExpectNoTemporaries(const std::string& row) {
    for (const auto& entry : fs::recursive_directory_iterator(m_dir.Path()))
      EXPECT_NE(entry.path().filename().string().rfind(".tapedecoder", 0), 0u)
          << row << ": " << entry.path();
  }
  ScratchDir m_dir;
};

TEST_F(HostileFilesTest, EachFileIsRejectedOrLoadsItsWholeFrames) {
  const Bytes fmt = Chunk("fmt ", WaveFormat().Build());
  const Bytes samples = {10, 20, 30};
  Bytes wrongForm = SimpleWave(samples);
  wrongForm[11] = 'X';
  Bytes riffHuge = SimpleWave(samples);
  riffHuge[4] = riffHuge[5] = riffHuge[6] = riffHuge[7] = 0xFF;
  const Bytes mp3 = {'I', 'D', '3', 3, 0, 0, 0, 0, 0, 10, 0xFF, 0xFB, 0x90, 0x64, 0, 0};
  struct Row {
    const char* name;
    Bytes file;
    int frames;
  } rows[] = {
      {"empty file", {}, kRejected},
      {"only RIFF", {'R', 'I', 'F', 'F'}, kRejected},
      {"renamed MP3", mp3, kRejected},
      {"wrong form type", wrongForm, kRejected},
      {"no format chunk", RiffWave(Chunk("data", samples)), kRejected},
      {"format of 10 bytes ending the file", RiffWave(Chunk("fmt ", Bytes(10, 1))), kRejected},
      {"format size 0xFFFFFFFF", RiffWave(ChunkWithSize("fmt ", 0xFFFFFFFF, WaveFormat().Build() + Bytes{0, 0})), kRejected},
      {"chunk before format runs past the end", RiffWave(ChunkWithSize("JUNK", 0x7FFFFFF0, {1}) + fmt), kRejected},
      {"data size 0xFFFFFFFF", RiffWave(fmt + ChunkWithSize("data", 0xFFFFFFFF, samples)), 3},
      {"data size past the end", RiffWave(fmt + ChunkWithSize("data", 5000, samples)), 3},
      {"RIFF size 0xFFFFFFFF", riffHuge, 3},
      {"odd chunk with its pad byte", RiffWave(fmt + Chunk("odd ", {1}) + Chunk("data", samples)), 3},
      {"odd chunk without its pad byte", RiffWave(fmt + Chunk("odd ", {1}, false) + Chunk("data", samples)), kRejected},
      {"odd data size, padded", RiffWave(fmt + Chunk("data", {1, 2, 3, 4, 5})), 5},
      {"data before format", RiffWave(Chunk("data", samples) + fmt + Chunk("LIST", {0, 0})), kRejected},
      {"two data chunks", RiffWave(fmt + Chunk("data", samples) + Chunk("data", Bytes(9, 1))), 3},
      {"0 channels", WithFormat(Format(0, 0)), kRejected},
      {"3 channels", WithFormat(Format(3, 3)), kRejected},
      {"8 channels", WithFormat(Format(8, 8)), kRejected},
      {"block align 0", WithFormat(Format(1, 0)), kRejected},
      {"16-bit", WithFormat(Format(1, 2)), kRejected},
      {"24-bit stereo", WithFormat(Format(2, 6)), kRejected},
      {"float", WithFormat(Format(1, 4, 44100, 3)), kRejected},
      {"48000 Hz", WithFormat(Format(1, 1, 48000)), kRejected},
      {"22050 Hz", WithFormat(Format(1, 1, 22050)), kRejected},
      {"stereo", WithFormat(Format(2, 2)), 3},
  };
  int index = 0;
  for (const Row& row : rows) {
    const std::string name = "row" + std::to_string(index++) + ".wav";
    WriteFile(m_dir / name, row.file);
    ExpectOutcome(row.name, name, row.frames);
  }
}

TEST_F(HostileFilesTest, FilesThatCannotBeReadAreRejected) {
  fs::create_directory(m_dir / "folder.wav");
  ExpectOutcome("a directory", "folder.wav", kRejected);
  ExpectOutcome("a missing file", "missing.wav", kRejected);
  ASSERT_EQ(mkfifo((m_dir / "pipe.wav").c_str(), 0600), 0);
  ExpectOutcome("a named pipe", "pipe.wav", kRejected);  // and no hang waiting for a writer
}

TEST_F(HostileFilesTest, FileWithoutReadPermissionIsRejected) {
  // Root reads any file, so the conversion runs as an unprivileged user.
  WriteFile(m_dir / "secret.wav", SimpleWave({1, 2, 3}));
  ASSERT_EQ(chmod((m_dir / "secret.wav").c_str(), 0), 0);
  ASSERT_EQ(chmod(m_dir.Path().c_str(), 0777), 0);
  const int status = InChild([&] {
    if (getuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) return 3;
    const UserMessage message =
        ConversionMessage(RunConversion(DecodeSettings(), (m_dir / "secret.wav").string(), (m_dir / "out").string()));
    return message.text == MESSAGE_CANNOT_OPEN && !fs::exists(m_dir / "out.tap") ? 0 : 1;
  });
  EXPECT_EQ(status, 0);
}

TEST_F(HostileFilesTest, LockedFileIsReadAsUsual) {
  // Locks are advisory here: another program's lock does not stop reading.
  WriteFile(m_dir / "locked.wav", SimpleWave({1, 2, 3, 4}));
  const int fd = open((m_dir / "locked.wav").c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(flock(fd, LOCK_EX), 0);
  ExpectOutcome("a locked file", "locked.wav", 4);
  close(fd);
}

TEST_F(HostileFilesTest, FourGigabytesDeclaredOnASmallFileTakeNoMoreMemoryThanTheFile) {
  WriteFile(m_dir / "small.wav",
            RiffWave(Chunk("fmt ", WaveFormat().Build()) + ChunkWithSize("data", 0xFFFFFFF0, Bytes(1000, 7))));
  // Under a 256 MiB address-space limit a 4 GB allocation would fail. (A
  // sanitizer reserves far more address space than that for itself.)
  const int status = InChild([&] {
#if !defined(__SANITIZE_ADDRESS__)
    rlimit limit{256u << 20, 256u << 20};
    if (setrlimit(RLIMIT_AS, &limit) != 0) return 3;
#endif
    CWaveSource source;
    return source.Open((m_dir / "small.wav").string()) && source.FrameCount() == 1000 ? 0 : 1;
  });
  EXPECT_EQ(status, 0);
  ExpectOutcome("4 GB declared", "small.wav", 1000);
}

// A recording with one good block, for the output faults.
class OutputFaultsTest : public HostileFilesTest {
 protected:
  void SetUp() override {
    Bytes block = {0xFF, 1, 2, 3, 4, 5};
    block.push_back(std::accumulate(block.begin(), block.end(), std::uint8_t{0},
                                    [](std::uint8_t a, std::uint8_t b) { return a ^ b; }));
    PulseTrain train;
    train.Silence(200).Block(block).Silence(300);
    m_wave = train.Wave();
  }
  // Writes the recording as `name` and an earlier pair of outputs beside it.
  std::string Prepare(const std::string& name) {
    WriteFile(m_dir / name, m_wave);
    const std::string title = (m_dir / fs::path(name).stem()).string();
    WriteFile(title + ".tap", {'o', 'l', 'd'});
    WriteFile(title + ".txt", {'o', 'l', 'd', '!'});
    return title;
  }
  void ExpectEarlierPair(const std::string& title, const std::string& row) {
    EXPECT_EQ(ReadFile(title + ".tap"), Bytes({'o', 'l', 'd'})) << row;
    EXPECT_EQ(ReadFile(title + ".txt"), Bytes({'o', 'l', 'd', '!'})) << row;
  }
  Bytes m_wave;
};

TEST_F(OutputFaultsTest, FaultsEndWithTheOutputMessageAndKeepEarlierOutputs) {
  DecodeSettings settings;
  {
    // A folder that is a regular file.
    WriteFile(m_dir / "plain", {1});
    WriteFile(m_dir / "game.wav", m_wave);
    const UserMessage message =
        ConversionMessage(RunConversion(settings, (m_dir / "game.wav").string(), (m_dir / "plain" / "game").string()));
    EXPECT_EQ(message.text, MESSAGE_CANNOT_CREATE);
    EXPECT_EQ(message.caption, CAPTION_ERROR);
    ExpectNoTemporaries("folder that is a file");
  }
  {
    // An existing tape image that its owner made read-only.
    const std::string title = Prepare("readonly.wav");
    ASSERT_EQ(chmod((title + ".tap").c_str(), 0444), 0);
    const UserMessage message = ConversionMessage(RunConversion(settings, title + ".wav", title));
    EXPECT_EQ(message.text, MESSAGE_CANNOT_CREATE);
    ExpectEarlierPair(title, "read-only tape image");
    ExpectNoTemporaries("read-only tape image");
  }
  {
    // A listing name taken by a folder.
    WriteFile(m_dir / "taken.wav", m_wave);
    fs::create_directory(m_dir / "taken.txt");
    WriteFile(m_dir / "taken.tap", {'o', 'l', 'd'});
    const UserMessage message =
        ConversionMessage(RunConversion(settings, (m_dir / "taken.wav").string(), (m_dir / "taken").string()));
    EXPECT_EQ(message.text, MESSAGE_CANNOT_CREATE);
    EXPECT_EQ(ReadFile(m_dir / "taken.tap"), Bytes({'o', 'l', 'd'}));
    ExpectNoTemporaries("listing name taken by a folder");
  }
  {
    // A full disk: every file is limited to 50 bytes.
    const std::string title = Prepare("full.wav");
    const int status = InChild([&] {
      std::signal(SIGXFSZ, SIG_IGN);
      rlimit limit{50, 50};
      if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 3;
      return ConversionMessage(RunConversion(settings, title + ".wav", title)).text == MESSAGE_CANNOT_CREATE ? 0 : 1;
    });
    EXPECT_EQ(status, 0);
    ExpectEarlierPair(title, "full disk");
    ExpectNoTemporaries("full disk");
  }
}

TEST_F(OutputFaultsTest, RecordingNamedLikeItsOutputIsNotReplaced) {
  for (const char* name : {"game.tap", "game.txt"}) {
    WriteFile(m_dir / name, m_wave);
    const UserMessage message =
        ConversionMessage(RunConversion(DecodeSettings(), (m_dir / name).string(), (m_dir / "game").string()));
    EXPECT_EQ(message.text, MESSAGE_CANNOT_CREATE) << name;
    EXPECT_EQ(ReadFile(m_dir / name), m_wave) << name;
    fs::remove(m_dir / name);
  }
  ExpectNoTemporaries("recording named like its output");
}

TEST_F(OutputFaultsTest, UnusualNamesConvertBesideTheRecording) {
  for (const char* name : {"my game.wav", "игра кассета.wav", "my.game.v2.wav", "UPPER.WAV"}) {
    const std::string title = Prepare(name);
    const UserMessage message = ConversionMessage(RunConversion(DecodeSettings(), (m_dir / name).string(), title));
    EXPECT_EQ(message.text, MESSAGE_COMPLETE) << name;
    EXPECT_EQ(ReadFile(title + ".tap").size(), 2u + 7u) << name;
  }
  EXPECT_TRUE(fs::exists(m_dir / "my.game.v2.tap"));
  ExpectNoTemporaries("unusual names");
}

}  // namespace
