// Running tapedecoder-cli: options, exit statuses and what it prints.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "cli/cli_options.h"
#include "front/settings_fields.h"
#include "tape/pulse_train.h"
#include "test_support.h"

using namespace tapedecoder;

namespace {

using testing_support::Bytes;
using testing_support::PulseTrain;
using testing_support::ReadFile;
using testing_support::RunCommand;
using testing_support::ScratchDir;
using testing_support::ShellQuote;
using testing_support::WriteFile;

const char* const kLevelMessage = "--level: the level must be from 0 to 255";

// A recording of one block holding `bytes` (add a checksum for a good one).
Bytes Recording(const Bytes& bytes) { return PulseTrain().Silence(100).Block(bytes).Wave(); }

struct Result {
  int status;
  std::string out;
  std::string err;
};

class CliTest : public ::testing::Test {
 protected:
  // Runs the program in the scratch folder with `arguments` (shell words).
  Result Cli(const std::string& arguments) {
    const std::string command = "cd " + ShellQuote(m_dir.Path().string()) + " && " +
                                ShellQuote(TAPEDECODER_CLI_PATH) + " " + arguments +
                                " >stdout.log 2>stderr.log";
    Result result;
    result.status = RunCommand(command);
    result.out = Text("stdout.log");
    result.err = Text("stderr.log");
    std::filesystem::remove(m_dir / "stdout.log");
    std::filesystem::remove(m_dir / "stderr.log");
    return result;
  }
  std::string Text(const std::string& name) const {
    const Bytes bytes = ReadFile(m_dir / name);
    return std::string(bytes.begin(), bytes.end());
  }
  bool Exists(const std::string& name) const { return std::filesystem::exists(m_dir / name); }

  ScratchDir m_dir;
};

TEST_F(CliTest, HelpDocumentsEveryOption) {
  const Result result = Cli("--help");
  EXPECT_EQ(result.status, 0);
  for (const char* option : {"--zero MIN:MAX", "--one MIN:MAX", "--pilot MIN:MAX", "--level N",
                             "--auto N", "--method robust|classic", "--format tap,tzx,pzx", "--channels auto|both|left|right|none",
                             "--merge", "--name TITLE", "-o,--output-dir DIR", "-q,--quiet", "--help", "--version",
                             "RECORDING"})
    EXPECT_NE(result.out.find(option), std::string::npos) << option;
}

// The defaults are written once, in DecodeSettings; the manual page and the
// README quote them and must not drift.
TEST(CliDocumentationTest, ManualPageAndReadmeQuoteTheDefaults) {
  const DecodeSettings d;
  const auto range = [](float minimum, float maximum) {
    return NumberText(minimum) + ":" + NumberText(maximum);
  };
  const auto read = [](const char* name) {
    const Bytes bytes = ReadFile(std::filesystem::path(TAPEDECODER_SOURCE_DIR) / name);
    return std::string(bytes.begin(), bytes.end());
  };
  const std::string manual = read("packaging/tapedecoder-cli.1.in");
  const std::string readme = read("README.md");
  for (const std::string& text : {range(d.zeroMin, d.zeroMax), range(d.oneMin, d.oneMax),
                                  range(d.pilotMin, d.pilotMax)}) {
    EXPECT_NE(manual.find("Default " + text + "."), std::string::npos) << text;
    EXPECT_NE(readme.find("| `" + text + "` |"), std::string::npos) << text;
  }
  const std::string points = NumberText(d.autoPoints);
  EXPECT_NE(manual.find("the default is " + points + " "), std::string::npos);
  EXPECT_NE(readme.find("| `" + points + "` |"), std::string::npos);
}

std::string SourceText(const char* name) {
  const Bytes bytes = ReadFile(std::filesystem::path(TAPEDECODER_SOURCE_DIR) / name);
  return std::string(bytes.begin(), bytes.end());
}

// The part of `text` from `heading` to the next line starting with `next`.
std::string Section(const std::string& text, const std::string& heading, const std::string& next) {
  const std::size_t start = text.find(heading);
  if (start == std::string::npos) return "";
  const std::size_t end = text.find("\n" + next, start + heading.size());
  return text.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

// The exit statuses are defined once, in cli/cli_options.h: the manual
// page and the README list exactly those.
TEST(CliDocumentationTest, ManualPageAndReadmeListTheExitStatuses) {
  const std::string manual = Section(SourceText("packaging/tapedecoder-cli.1.in"), ".SH \"EXIT STATUS\"", ".SH");
  const std::string readme = Section(SourceText("README.md"), "## Exit codes", "## ");
  std::vector<int> documented;
  for (std::size_t at = 0; (at = readme.find("\n| ", at)) != std::string::npos; ++at)
    if (std::isdigit(static_cast<unsigned char>(readme[at + 3]))) documented.push_back(std::atoi(&readme[at + 3]));
  const std::vector<int> codes = {EXIT_ALL_GOOD, EXIT_NOT_CONVERTED, EXIT_USAGE, EXIT_DAMAGED,
                                  EXIT_NOTHING_FOUND};
  EXPECT_EQ(documented, codes);
  for (int code : codes)
    EXPECT_NE(manual.find(".TP\n.B " + std::to_string(code) + "\n"), std::string::npos) << code;
  EXPECT_EQ(manual.find(".TP\n.B " + std::to_string(codes.size()) + "\n"), std::string::npos);
}

TEST_F(CliTest, ReportFieldsAreTheDocumentedOnes) {
  Bytes header = {0x00, 0x03, 'N', 'A', 'M', 'E', ' ', ' ', ' ', ' ', ' ', ' ', 2, 0, 0, 0x80, 0, 0x80};
  std::uint8_t x = 0;
  for (std::uint8_t b : header) x ^= b;
  header.push_back(x);
  WriteFile(m_dir / "rec.wav",
            PulseTrain().Silence(100).Block(header).Silence(22050).Block({0xFF, 1, 2, 0xFC}).Wave());
  ASSERT_EQ(Cli("-q --report rec.wav").status, 0);
  const std::string json = Text("rec.json");
  std::set<std::string> keys;
  for (std::size_t at = 0; (at = json.find("\": ", at)) != std::string::npos; ++at)
    keys.insert(json.substr(json.rfind('"', at - 1) + 1, at - json.rfind('"', at - 1) - 1));
  EXPECT_GT(keys.size(), 40u);
  const std::string manual = Section(SourceText("packaging/tapedecoder-cli.1.in"), ".SH \"THE REPORT\"", ".SH");
  const std::string readme = Section(SourceText("README.md"), "## The report", "## ");
  for (const std::string& key : keys) {
    EXPECT_TRUE(manual.find("\n.B " + key) != std::string::npos ||
                manual.find("\n.BR " + key) != std::string::npos)
        << key;
    EXPECT_NE(readme.find("`" + key + "`"), std::string::npos) << key;
  }
  // And the other way: each field the README's tables name is there.
  for (std::size_t at = 0; (at = readme.find("\n| `", at)) != std::string::npos; ++at) {
    const std::string row = readme.substr(at + 3, readme.find(" |", at + 3) - at - 3);
    for (std::size_t tick = 0; (tick = row.find('`', tick)) != std::string::npos; tick += 2) {
      const std::size_t close = row.find('`', tick + 1);
      const std::string field = row.substr(tick + 1, close - tick - 1);
      EXPECT_EQ(keys.count(field), 1u) << field;
      tick = close - 1;
    }
  }
}

TEST_F(CliTest, VersionIsPrinted) {
  const Result result = Cli("--version");
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, std::string("tapedecoder-cli ") + TAPEDECODER_VERSION + "\n");
}

TEST_F(CliTest, UsageErrorsNameTheOptionAndConvertNothing) {
  WriteFile(m_dir / "rec.wav", Recording({0, 0}));
  struct Row {
    const char* arguments;
    const char* named;
  } rows[] = {
      {"-m --zero abc rec.wav", "--zero"},       {"-m --zero 11 rec.wav", "--zero"},
      {"-m --one 76:1x0 rec.wav", "--one"},      {"-m --pilot 1:2:3 rec.wav", "--pilot"},
      {"-m --pilot -1:150 rec.wav", "--pilot"},  {"-m --level 12abc rec.wav", "--level"},
      {"-m --level '' rec.wav", "--level"},      {"-m --auto x rec.wav", "--auto"},
      {"-m --level 99999999999 rec.wav", "--level"},
      {"-m --channels up rec.wav", "--channels"},
      {"-m --channels auto rec.wav", "--channels"},
      {"-m --level 100 --auto 5 rec.wav", "--level"},
      // The classic options, and classic channel choices, with the robust method.
      {"--zero 11:75 rec.wav", "--zero"},        {"--level 127 rec.wav", "--level"},
      {"--method robust --auto 200 rec.wav", "--auto"},
      {"--channels none rec.wav", "--channels"}, {"--method fast rec.wav", "--method"},
      {"--name x rec.wav rec.wav", "--name"},  {"--merge -m rec.wav rec.wav", "--merge"},
      {"--merge --format tzx,wav rec.wav rec.wav", "--format"},
      {"--bogus rec.wav", "--bogus"},         {"", "recordings"},
      {"-j 0 rec.wav", "--jobs"},              {"--jobs x rec.wav", "--jobs"},
  };
  for (const Row& row : rows) {
    std::string arguments = row.arguments;
    for (std::size_t at; (at = arguments.find("-m ")) != std::string::npos && (at == 0 || arguments[at - 1] == ' ');)
      arguments.replace(at, 2, "--method classic");
    const Result result = Cli(arguments);
    EXPECT_EQ(result.status, 2) << row.arguments;
    EXPECT_NE(result.err.find(row.named), std::string::npos) << row.arguments << ": " << result.err;
    EXPECT_FALSE(Exists("rec.tap")) << row.arguments;
  }
}

TEST_F(CliTest, SettingsThatFailTheChecksPrintTheirMessage) {
  WriteFile(m_dir / "rec.wav", Recording({0, 0}));
  struct Row {
    const char* arguments;
    std::string message;
  } rows[] = {
      {"--zero 80:75", "--zero: the minimum is above the maximum"},
      {"--one 110:76 --level 300", "--one: the minimum is above the maximum"},
      {"--pilot 150.5:150", "--pilot: the minimum is above the maximum"},
      {"--level 256", kLevelMessage},
      {"--level=-1", kLevelMessage},
      {"--auto 0", "--auto: the window must be at least 1 frame"},
  };
  for (const Row& row : rows) {
    const Result result = Cli("--method classic " + std::string(row.arguments) + " rec.wav");
    EXPECT_EQ(result.status, 2) << row.arguments;
    EXPECT_EQ(result.err, "tapedecoder-cli: " + row.message + "\n") << row.arguments;
    EXPECT_FALSE(Exists("rec.tap")) << row.arguments;
  }
  // Values the checks accept: equal bounds, the ends of the level range
  // (some find no block there).
  for (const char* arguments : {"--zero 50:50", "--level 0", "--level 255", "--auto 1"})
    EXPECT_NE(Cli("--method classic " + std::string(arguments) + " rec.wav").status, 2) << arguments;
}

TEST_F(CliTest, LaterRecordingsAreConvertedAfterOneFails) {
  WriteFile(m_dir / "first.wav", Recording({0x12, 0x34, 0x26}));
  WriteFile(m_dir / "broken.wav", {'n', 'o', 't', ' ', 'a', ' ', 'w', 'a', 'v'});
  WriteFile(m_dir / "last.wav", PulseTrain()
                                    .Silence(100)
                                    .Block({0x00, 0x05})
                                    .Silence(200)
                                    .Block({0xFF, 0xFF})
                                    .Wave());
  const Result result = Cli("--method classic first.wav broken.wav last.wav");
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "first.wav: 1 block (1 good, 0 bad) -> first.tap, first.txt\n"
                        "last.wav: 2 blocks (1 good, 1 bad) -> last.tap, last.txt\n");
  EXPECT_EQ(result.err.rfind("broken.wav: not converted: not a WAV file (no RIFF WAVE chunk); ", 0), 0u)
      << result.err;
  EXPECT_EQ(ReadFile(m_dir / "first.tap"), Bytes({3, 0, 0x12, 0x34, 0x26}));
  EXPECT_FALSE(Exists("broken.tap") || Exists("broken.txt"));
  EXPECT_TRUE(Exists("last.txt"));
}

TEST_F(CliTest, OutputFolderAndQuiet) {
  std::filesystem::create_directory(m_dir / "in");
  std::filesystem::create_directory(m_dir / "out");
  WriteFile(m_dir / "in" / "game.wav", Recording({0, 0}));
  Result result = Cli("--method classic in/game.wav");
  EXPECT_EQ(result.status, 0);
  EXPECT_NE(result.out.find("-> in/game.tap, in/game.txt"), std::string::npos) << result.out;
  EXPECT_TRUE(Exists("in/game.tap"));

  result = Cli("--method classic -q --output-dir out in/game.wav");
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(ReadFile(m_dir / "out" / "game.tap"), Bytes({2, 0, 0, 0}));

  // A folder two levels deep that does not exist: the outputs cannot be written.
  result = Cli("-q -o missing/deeper in/game.wav");  // the robust method
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "in/game.wav: not converted: cannot create missing/deeper/game.tap: No "
                        "such file or directory\n");
}

TEST_F(CliTest, FormatsChooseTheImagesBesideTheListing) {
  WriteFile(m_dir / "rec.wav", Recording({0x12, 0x34, 0x26}));
  struct Row {
    const char* arguments;
    const char* outputs;
  } rows[] = {
      {"", "-> rec.tap, rec.txt"},
      {"--format tzx", "-> rec.txt, rec.tzx"},
      {"--format pzx,tap,tzx", "-> rec.tap, rec.txt, rec.tzx, rec.pzx"},
      {"--method classic --format tap,pzx", "-> rec.tap, rec.txt, rec.pzx"},
  };
  for (const Row& row : rows) {
    for (const char* ext : {"tap", "txt", "tzx", "pzx"})
      std::filesystem::remove(m_dir / (std::string("rec.") + ext));
    const Result result = Cli(std::string(row.arguments) + " rec.wav");
    EXPECT_EQ(result.status, 0) << row.arguments;
    EXPECT_NE(result.out.find(std::string("1 block (1 good, 0 bad) ") + row.outputs + "\n"),
              std::string::npos)
        << row.arguments << ": " << result.out;
    for (const char* ext : {"tap", "txt", "tzx", "pzx"}) {
      const std::string name = std::string("rec.") + ext;
      EXPECT_EQ(Exists(name), std::string(row.outputs).find(name) != std::string::npos)
          << row.arguments << ": " << name;
    }
  }
  EXPECT_EQ(Cli("--format tap,wav rec.wav").status, 2);
}

TEST_F(CliTest, MergedTakesGiveOneSetNamedAfterTheFirstOrTheName) {
  const Bytes block = {0x12, 0x34, 0x26};
  WriteFile(m_dir / "a.wav", Recording(block));
  WriteFile(m_dir / "b.wav", PulseTrain().Silence(300).Block(block).Wave());
  Result result = Cli("--merge a.wav b.wav");
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_NE(result.out.find("a:   1  data, flag 12"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("a: 1 block (1 good, 0 bad, 0 voted) from 2 takes -> a.tap, a.txt"),
            std::string::npos)
      << result.out;
  EXPECT_EQ(ReadFile(m_dir / "a.tap"), Bytes({3, 0}) + block);
  result = Cli("-q --merge --name side a.wav missing.wav");
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "missing.wav: not merged: the file cannot be opened: No such file or directory\n");
  EXPECT_FALSE(Exists("side.tap"));
}

TEST_F(CliTest, EveryRunWritesEveryFormatAndItsCswConvertsBackToTheSameTape) {
  ASSERT_TRUE(testing_support::HaveTool("tzxlist"));
  const Bytes header = {0x00, 0x03, 'C', 'O', 'D', 'E', ' ', ' ', ' ', ' ', ' ', ' ',
                        0x02, 0x00, 0x00, 0x80, 0x00, 0x80, 0x0C};
  const Bytes data = {0xFF, 0x12, 0x34, 0xD9};
  WriteFile(m_dir / "rec.wav", PulseTrain().Silence(100).Block(header).Silence(300).Block(data).Wave());
  WriteFile(m_dir / "b.wav", PulseTrain().Silence(300).Block(header).Silence(200).Block(data).Wave());
  const char* const rows[] = {"", "--method classic", "--merge --name rec b.wav"};
  for (const char* row : rows) {
    for (const char* ext : {"tap", "txt", "tzx", "pzx", "csw"})
      std::filesystem::remove(m_dir / (std::string("rec.") + ext));
    const Result result = Cli(std::string(row) + " --format tap,tzx,pzx,csw rec.wav");
    ASSERT_EQ(result.status, 0) << row << ": " << result.err;
    EXPECT_NE(result.out.find("-> rec.tap, rec.txt, rec.tzx, rec.pzx, rec.csw\n"), std::string::npos)
        << row << ": " << result.out;
    EXPECT_EQ(ReadFile(m_dir / "rec.tap"), Bytes({19, 0}) + header + Bytes({4, 0}) + data) << row;
    for (const char* image : {"rec.tzx", "rec.pzx", "rec.csw"})
      EXPECT_EQ(RunCommand("tzxlist " + ShellQuote((m_dir / image).string()) + " >/dev/null 2>&1"), 0)
          << row << ": " << image;
    std::filesystem::create_directories(m_dir / "back");
    ASSERT_EQ(Cli("-q -o back rec.csw").status, 0) << row;
    EXPECT_EQ(ReadFile(m_dir / "back/rec.tap"), ReadFile(m_dir / "rec.tap")) << row;
  }
}

TEST_F(CliTest, NoRunReplacesItsInput) {
  WriteFile(m_dir / "rec.wav", Recording({0x12, 0x34, 0x26}));
  ASSERT_EQ(Cli("-q --format csw rec.wav").status, 0);
  std::filesystem::rename(m_dir / "rec.csw", m_dir / "game.csw");
  const Bytes csw = ReadFile(m_dir / "game.csw");
  std::filesystem::copy_file(m_dir / "rec.wav", m_dir / "game.tap");
  const struct {
    const char* arguments;
    const char* input;
  } rows[] = {
      {"--format tap,csw game.csw", "game.csw"},
      {"--merge --name game --format csw rec.wav game.csw", "game.csw"},
      {"--method classic game.tap", "game.tap"},
  };
  for (const auto& row : rows) {
    const Bytes before = ReadFile(m_dir / row.input);
    const Result result = Cli(row.arguments);
    EXPECT_EQ(result.status, 1) << row.arguments;
    EXPECT_NE(result.err.find(std::string(row.input) + " is the recording itself"), std::string::npos)
        << row.arguments << ": " << result.err;
    EXPECT_EQ(ReadFile(m_dir / row.input), before) << row.arguments;
  }
  EXPECT_EQ(ReadFile(m_dir / "game.csw"), csw);
}

TEST_F(CliTest, OutputsAreNamedAfterEverythingBeforeTheLastDot) {
  struct Row {
    const char* recording;
    const char* title;
  } rows[] = {{"my.game.v2.wav", "my.game.v2"},
              {"my game.wav", "my game"},
              {"Игра на кассете.WAV", "Игра на кассете"}};
  for (const Row& row : rows) {
    WriteFile(m_dir / row.recording, Recording({0, 0}));
    EXPECT_EQ(Cli("--method classic -q " + ShellQuote(row.recording)).status, 0) << row.recording;
    EXPECT_EQ(ReadFile(m_dir / (std::string(row.title) + ".tap")), Bytes({2, 0, 0, 0}))
        << row.recording;
    EXPECT_TRUE(Exists(std::string(row.title) + ".txt")) << row.recording;
  }
}

TEST_F(CliTest, OptionsReachTheDecoder) {
  // Short pulses that the default ranges do not know.
  WriteFile(m_dir / "fast.wav",
            PulseTrain(testing_support::FastTimings()).Silence(100).Block({7, 7}).Wave());
  // Left: the pulses; right: their mirror image, which cancels them out.
  const Bytes left = PulseTrain().Silence(100).Block({0, 0}).Silence(100).Samples();
  Bytes stereo;
  for (std::uint8_t value : left) {
    stereo.push_back(value);
    stereo.push_back(static_cast<std::uint8_t>(255 - value));
  }
  WriteFile(m_dir / "stereo.wav", testing_support::SimpleWave(stereo, 2));
  // No block found: nothing written (exit status 4).
  struct Row {
    const char* arguments;
    const char* summary;
  } rows[] = {
      {"fast.wav", "fast.wav: no block found"},
      {"--zero 5:20 --one 21:40 --pilot 41:60 fast.wav", "fast.wav: 1 block (1 good"},
      {"--zero 5:20 --one 21:40 --pilot 41:60 --level 127 fast.wav", "fast.wav: 1 block (1 good"},
      {"stereo.wav", "stereo.wav: no block found"},
      {"--channels both --level 127 stereo.wav", "stereo.wav: no block found"},
      {"--channels left stereo.wav", "stereo.wav: 1 block (1 good"},
      {"--channels right --auto 50 stereo.wav", "stereo.wav: 1 block (1 good"},
      {"--channels none stereo.wav", "stereo.wav: no block found"},
  };
  for (const Row& row : rows) {
    const Result result = Cli("--method classic " + std::string(row.arguments));
    const bool found = std::string(row.summary).find("no block") == std::string::npos;
    EXPECT_EQ(result.status, found ? 0 : 4) << row.arguments;
    EXPECT_NE((found ? result.out : result.err).find(row.summary), std::string::npos)
        << row.arguments << ": " << result.out << result.err;
  }
}

}  // namespace
