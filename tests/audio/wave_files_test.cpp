// Loading recordings that real tools write, from disk. (Files that are no
// recording at all are in the conversion's table of hostile files.)
#include <gtest/gtest.h>

#include "audio/wave_source.h"
#include "test_support.h"

using namespace tapedecoder;

namespace {

using testing_support::Bytes;
using testing_support::HaveTool;
using testing_support::ReadFile;
using testing_support::RunCommand;
using testing_support::ScratchDir;
using testing_support::ShellQuote;
using testing_support::SimpleWave;
using testing_support::WriteFile;

class WaveFilesTest : public ::testing::Test {
 protected:
  // Makes `name` with sox from a 0.1 s 1 kHz square wave.
  std::string Sox(const std::string& name, const std::string& options) {
    const std::string path = (m_dir / name).string();
    const int status = RunCommand("sox -n " + options + " " + ShellQuote(path) +
                                  " synth 0.1 square 1000 2>/dev/null");
    EXPECT_EQ(status, 0) << "sox failed for " << name;
    return path;
  }
  ScratchDir m_dir;
  CWaveSource m_source;
};

TEST_F(WaveFilesTest, SoxRecordingsAreAcceptedOnlyAsEightBit44100) {
  ASSERT_TRUE(HaveTool("sox")) << "the test command installs sox";
  struct Row {
    const char* name;
    const char* options;
    bool accepted;
    std::uint32_t channels;
  } rows[] = {
      {"mono.wav", "-r 44100 -c 1 -b 8 -e unsigned-integer", true, 1},
      {"stereo.wav", "-r 44100 -c 2 -b 8 -e unsigned-integer", true, 2},
      {"r48000.wav", "-r 48000 -c 1 -b 8 -e unsigned-integer", false, 0},
      {"r22050.wav", "-r 22050 -c 1 -b 8 -e unsigned-integer", false, 0},
      {"s16.wav", "-r 44100 -c 1 -b 16 -e signed-integer", false, 0},
      {"s24.wav", "-r 44100 -c 2 -b 24 -e signed-integer", false, 0},
      {"float.wav", "-r 44100 -c 1 -b 32 -e floating-point", false, 0},
      {"ulaw.wav", "-r 44100 -c 1 -e u-law", false, 0},
      {"three.wav", "-r 44100 -c 3 -b 8 -e unsigned-integer", false, 0},
      {"raw.raw", "-r 44100 -c 1 -b 8 -e unsigned-integer -t raw", false, 0},
  };
  for (const Row& row : rows) {
    const std::string path = Sox(row.name, row.options);
    EXPECT_EQ(m_source.Open(path), row.accepted)
        << row.name << ": " << int(m_source.LastError());
    if (row.accepted) {
      EXPECT_EQ(m_source.Channels(), row.channels) << row.name;
      EXPECT_EQ(m_source.FrameCount(), 4410u) << row.name;
    } else {
      EXPECT_EQ(m_source.FrameCount(), 0u) << row.name;
    }
  }
}

TEST_F(WaveFilesTest, SoxFileWithExtraChunksLoads) {
  ASSERT_TRUE(HaveTool("sox"));
  // A comment makes sox write a LIST chunk after the data chunk.
  const std::string path =
      Sox("comment.wav", "-r 44100 -c 1 -b 8 -e unsigned-integer --comment hello");
  ASSERT_TRUE(m_source.Open(path));
  EXPECT_EQ(m_source.FrameCount(), 4410u);
  // A chunk inserted between the format and the data is skipped.
  Bytes file = ReadFile(path);
  const Bytes extra = testing_support::Chunk("fact", {1, 2, 3});
  file.insert(file.begin() + 36, extra.begin(), extra.end());
  WriteFile(m_dir / "fact.wav", file);
  ASSERT_TRUE(m_source.Open((m_dir / "fact.wav").string()));
  EXPECT_EQ(m_source.FrameCount(), 4410u);
}

TEST_F(WaveFilesTest, Tape2wavRecordingLoadsEveryFrame) {
  ASSERT_TRUE(HaveTool("tape2wav")) << "the test command installs fuse-emulator-utils";
  ASSERT_TRUE(HaveTool("zmakebas")) << "the test command installs zmakebas";
  WriteFile(m_dir / "hello.bas", Bytes{'1', '0', ' ', 'P', 'R', 'I', 'N', 'T', ' ', '1', '\n'});
  const std::string tap = (m_dir / "hello.tap").string();
  const std::string wav = (m_dir / "hello.wav").string();
  ASSERT_EQ(RunCommand("zmakebas -o " + ShellQuote(tap) + " " +
                       ShellQuote((m_dir / "hello.bas").string())), 0);
  ASSERT_EQ(RunCommand("tape2wav -r 44100 " + ShellQuote(tap) + " " + ShellQuote(wav) +
                       " >/dev/null"), 0);
  ASSERT_TRUE(m_source.Open(wav)) << int(m_source.LastError());
  EXPECT_EQ(m_source.Channels(), 1u);
  EXPECT_EQ(static_cast<std::uint64_t>(m_source.FrameCount()) + 44,
            std::filesystem::file_size(wav));
}

TEST_F(WaveFilesTest, NamesRelativeToTheCurrentDirectoryAreFound) {
  WriteFile(m_dir / "rel.wav", SimpleWave({1, 2}));
  const auto previous = std::filesystem::current_path();
  std::filesystem::current_path(m_dir.Path());
  const bool opened = m_source.Open("rel.wav");
  std::filesystem::current_path(previous);
  EXPECT_TRUE(opened);
}

}  // namespace
