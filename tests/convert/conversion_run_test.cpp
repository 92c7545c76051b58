// Converting recordings on disk end to end, including recordings made by
// real tape tools and runs whose outputs cannot be written.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "audio/wave_source.h"
#include "convert/conversion_run.h"
#include "front/dialog_messages.h"
#include "tape/fail_allocations.h"
#include "tape/pulse_train.h"
#include "test_support.h"

using namespace tapedecoder;

namespace {

using testing_support::Bytes;
using testing_support::HaveTool;
using testing_support::InChild;
using testing_support::PulseTrain;
using testing_support::ReadFile;
using testing_support::RunCommand;
using testing_support::ScratchDir;
using testing_support::ShellQuote;
using testing_support::WriteFile;

const std::string kGood = "\r\n\xCE\xF8\xE8\xE1\xEE\xEA \xED\xE5\xF2.\r\n";
const std::string kBad = "\r\n\xCE\xF8\xE8\xE1\xEA\xE0 \xF7\xF2\xE5\xED\xE8\xFF!\r\n";

const UserMessage kComplete{"Создание tap-файла и txt-файла данных завершено.", "Сообщение"};
const UserMessage kCannotCreate{"Не могу создать tap-файл/txt-файл данных!", "Ошибка"};
const UserMessage kCannotOpen{
    "Не могу открыть этот файл.\nПроверьте, не заблокирован ли он сторонней программой\n"
    "или его параметры не соответствуют 'не сжатый/44100/8/моно(стерео)'",
    "Ошибка"};

int Count(const std::string& text, const std::string& piece) {
  int count = 0;
  for (std::size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1))
    ++count;
  return count;
}

class ConversionRunTest : public ::testing::Test {
 protected:
  ConversionRunTest() {
    m_settings.levelMode = LEVEL_MANUAL;
    m_settings.manualLevel = 127;
  }
  std::string Path(const std::string& name) const { return (m_dir / name).string(); }
  UserMessage Run(const std::string& recording, const std::string& title = "game") {
    return ConversionMessage(m_report = RunConversion(m_settings, Path(recording), Path(title)));
  }
  void PutEarlierPair() {
    WriteFile(m_dir / "game.tap", {'o', 'l', 'd'});
    WriteFile(m_dir / "game.txt", {'o', 'l', 'd', '!'});
  }
  void ExpectEarlierPair() {
    EXPECT_EQ(ReadFile(m_dir / "game.tap"), Bytes({'o', 'l', 'd'}));
    EXPECT_EQ(ReadFile(m_dir / "game.txt"), Bytes({'o', 'l', 'd', '!'}));
  }
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(m_dir.Path()))
      names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  std::string Listing(const std::string& title = "game") const {
    const Bytes bytes = ReadFile(m_dir / (title + ".txt"));
    return std::string(bytes.begin(), bytes.end());
  }

  ScratchDir m_dir;
  DecodeSettings m_settings;
  ConversionReport m_report;
};

TEST_F(ConversionRunTest, RecordingThatCannotBeOpenedTouchesNoOutput) {
  WriteFile(m_dir / "text.wav", {'h', 'e', 'l', 'l', 'o'});
  WriteFile(m_dir / "r48000.wav", [] {
    testing_support::WaveFormat format;
    format.rate = 48000;
    return testing_support::RiffWave(testing_support::Chunk("fmt ", format.Build()) +
                                     testing_support::Chunk("data", Bytes(100, 128)));
  }());
  std::filesystem::create_directory(m_dir / "folder.wav");
  PutEarlierPair();
  for (const char* name : {"missing.wav", "text.wav", "r48000.wav", "folder.wav"}) {
    EXPECT_EQ(Run(name), kCannotOpen) << name;
    EXPECT_FALSE(m_report.Opened()) << name;
    EXPECT_EQ(m_report.failure.Class(), FailureClass::INPUT) << name;
    ExpectEarlierPair();
  }
  EXPECT_EQ(Names(), (std::vector<std::string>{"folder.wav", "game.tap", "game.txt",
                                               "r48000.wav", "text.wav"}));
}

TEST_F(ConversionRunTest, CompletionDoesNotDependOnBlocksOrChecksums) {
  struct Row {
    const char* what;
    Bytes wave;
    int blocks, good, bad;
  } rows[] = {
      {"silence", testing_support::SimpleWave(Bytes(4410, 128)), 0, 0, 0},
      {"empty data", testing_support::SimpleWave(Bytes()), 0, 0, 0},
      {"bad checksums",
       PulseTrain().Silence(100).Block({1, 2}).Silence(200).Block({0xFF, 0}).Wave(), 2, 0, 2},
  };
  for (const Row& row : rows) {
    WriteFile(m_dir / "rec.wav", row.wave);
    EXPECT_EQ(Run("rec.wav"), kComplete) << row.what;
    EXPECT_TRUE(m_report.Opened() && m_report.Written()) << row.what;
    EXPECT_EQ(m_report.blocks, row.blocks) << row.what;
    EXPECT_EQ(m_report.goodBlocks, row.good) << row.what;
    EXPECT_EQ(m_report.badBlocks, row.bad) << row.what;
    EXPECT_EQ(Count(Listing(), kBad), row.bad) << row.what;
    EXPECT_EQ(m_report.tapPath, Path("game.tap"));
    EXPECT_EQ(m_report.txtPath, Path("game.txt"));
  }
}

TEST_F(ConversionRunTest, SecondConversionReplacesBothOutputs) {
  WriteFile(m_dir / "two.wav", PulseTrain().Silence(100).Block({0, 0}).Silence(200).Block({7, 7}).Wave());
  WriteFile(m_dir / "one.wav", PulseTrain().Silence(100).Block({5, 6}).Wave());
  ASSERT_EQ(Run("two.wav"), kComplete);
  ASSERT_EQ(Run("one.wav"), kComplete);
  EXPECT_EQ(ReadFile(m_dir / "game.tap"), Bytes({2, 0, 5, 6}));
  EXPECT_EQ(Count(Listing(), kGood), 0);
  EXPECT_EQ(Count(Listing(), kBad), 1);
  EXPECT_EQ(Names(), (std::vector<std::string>{"game.tap", "game.txt", "one.wav", "two.wav"}));
}

TEST_F(ConversionRunTest, TitleMayNameAnotherFolder) {
  WriteFile(m_dir / "rec.wav", PulseTrain().Silence(100).Block({0, 0}).Wave());
  std::filesystem::create_directory(m_dir / "out");
  EXPECT_EQ(Run("rec.wav", "out/game"), kComplete);
  EXPECT_EQ(ReadFile(m_dir / "out" / "game.tap"), Bytes({2, 0, 0, 0}));
  EXPECT_EQ(Run("rec.wav", "missing/game"), kCannotCreate);
  EXPECT_TRUE(m_report.Opened());
  EXPECT_FALSE(m_report.Written());
  EXPECT_EQ(m_report.failure.kind, FailureKind::OUTPUT_CANNOT_CREATE);
  EXPECT_NE(m_report.failure.path.find("missing/game"), std::string::npos);
}

// Outputs that could not be completely written used to be reported as a
// completed conversion, after the earlier pair had already been emptied.
TEST_F(ConversionRunTest, WriteThatFailsReportsAnErrorAndKeepsTheEarlierPair) {
  Bytes block(3000);
  for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<std::uint8_t>(i);
  WriteFile(m_dir / "rec.wav", PulseTrain(testing_support::FastTimings())
                                   .Silence(100)
                                   .Block(block)
                                   .Wave());
  m_settings = testing_support::FastSettings();
  // The tape image is 3002 bytes and the listing about 9100: each limit
  // stops a different write.
  for (rlim_t limit : {0, 100, 3001, 5000, 9000}) {
    PutEarlierPair();
    const int status = InChild([&] {
      signal(SIGXFSZ, SIG_IGN);
      const rlimit fileSize = {limit, limit};
      if (setrlimit(RLIMIT_FSIZE, &fileSize) != 0) return 3;
      const UserMessage message = Run("rec.wav");
      if (message == kComplete) return 1;
      return message == kCannotCreate && !m_report.Written() ? 0 : 2;
    });
    EXPECT_EQ(status, 0) << "limit " << limit;
    ExpectEarlierPair();
    EXPECT_EQ(Names(), (std::vector<std::string>{"game.tap", "game.txt", "rec.wav"}))
        << "limit " << limit;
  }
  // Without a limit the same recording converts.
  EXPECT_EQ(Run("rec.wav"), kComplete);
  EXPECT_EQ(ReadFile(m_dir / "game.tap").size(), 3002u);
}

// Samples that do not fit in memory end the run with an error message,
// never with the completion message. (A block buffer that cannot grow is
// reported the same way; the decoder's tests cover it.)
TEST_F(ConversionRunTest, MemoryThatRunsOutIsReportedAsAnError) {
  WriteFile(m_dir / "rec.wav", PulseTrain().Silence(100).Block(Bytes(2000, 0)).Wave());
  const UserMessage noMemory{"Недостаточно памяти для обработки этого файла!", "Ошибка"};
  EXPECT_EQ((UserMessage{MESSAGE_NO_MEMORY, CAPTION_ERROR}), noMemory);
  PutEarlierPair();
  UserMessage message;
  {
    testing_support::FailAllocationsFrom fail(256u << 10);  // the samples take 326 kB
    message = Run("rec.wav");
  }
  EXPECT_EQ(message, noMemory);
  EXPECT_FALSE(m_report.Opened());
  ExpectEarlierPair();
  EXPECT_EQ(Names(), (std::vector<std::string>{"game.tap", "game.txt", "rec.wav"}));
  // With memory to spare the same recording converts.
  EXPECT_EQ(Run("rec.wav"), kComplete);
}

// Recordings made by real tools: a BASIC program saved by zmakebas, played
// by tape2wav at 44100 Hz.
class RoundTripTest : public ConversionRunTest {
 protected:
  void MakeRecording() {
    ASSERT_TRUE(HaveTool("zmakebas")) << "the test command installs zmakebas";
    ASSERT_TRUE(HaveTool("tape2wav")) << "the test command installs fuse-emulator-utils";
    std::ofstream(m_dir / "prog.bas") << "10 REM tapedecoder\n"
                                         "20 FOR i=1 TO 10: PRINT i, i*i: NEXT i\n"
                                         "30 PRINT \"DONE\"\n";
    ASSERT_EQ(RunCommand("zmakebas -a 10 -n demo -o " + ShellQuote(Path("prog.tap")) + " " +
                         ShellQuote(Path("prog.bas"))),
              0);
    ASSERT_EQ(RunCommand("tape2wav -r 44100 " + ShellQuote(Path("prog.tap")) + " " +
                         ShellQuote(Path("prog.wav")) + " >/dev/null"),
              0);
  }
};

TEST_F(RoundTripTest, BasicProgramConvertsBackToTheSameTapeImage) {
  MakeRecording();
  const Bytes original = ReadFile(m_dir / "prog.tap");
  ASSERT_FALSE(original.empty());
  DecodeSettings automatic;
  struct Row {
    const char* what;
    DecodeSettings settings;
  } rows[] = {{"manual", m_settings}, {"automatic", automatic}};
  for (const Row& row : rows) {
    m_settings = row.settings;
    ASSERT_EQ(Run("prog.wav", row.what), kComplete) << row.what;
    EXPECT_TRUE(ReadFile(m_dir / (std::string(row.what) + ".tap")) == original) << row.what;
    EXPECT_EQ(m_report.blocks, 2) << row.what;
    EXPECT_EQ(m_report.goodBlocks, 2) << row.what;
    EXPECT_EQ(Count(Listing(row.what), kGood), 2) << row.what;
    EXPECT_EQ(Count(Listing(row.what), kBad), 0) << row.what;
    ASSERT_TRUE(HaveTool("tzxlist"));
    EXPECT_EQ(RunCommand("tzxlist " + ShellQuote(Path(std::string(row.what) + ".tap")) +
                         " | grep -c PASS | grep -qx 2"),
              0)
        << row.what;
  }
}

TEST_F(RoundTripTest, StereoChannelsAreChosenBeforeLoading) {
  MakeRecording();
  // Left: the recording; right: its mirror image. Both together average to
  // a constant 127, which never rises above the level.
  CWaveSource mono;
  ASSERT_TRUE(mono.Open(Path("prog.wav")));
  Bytes stereo;
  for (std::uint8_t value : mono.Data()) {
    stereo.push_back(value);
    stereo.push_back(static_cast<std::uint8_t>(255 - value));
  }
  WriteFile(m_dir / "stereo.wav", testing_support::SimpleWave(stereo, 2));
  struct Row {
    bool left, right;
    int blocks;
  } rows[] = {{true, true, 0}, {true, false, 2}, {false, true, 2}};
  for (const Row& row : rows) {
    m_settings.useLeft = row.left;
    m_settings.useRight = row.right;
    ASSERT_EQ(Run("stereo.wav"), kComplete);
    EXPECT_EQ(m_report.blocks, row.blocks) << row.left << row.right;
  }
  EXPECT_TRUE(ReadFile(m_dir / "game.tap") == ReadFile(m_dir / "prog.tap"));
}

}  // namespace
