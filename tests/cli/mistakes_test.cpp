// The mistakes and damage a new user meets, run end to end through the
// built tapedecoder-cli from one table: no good result lost, exit statuses
// that tell, warnings with the time where reading stopped, bad blocks
// explained, the report beside the outputs, merges that check their takes
// and options that forgive habits from other converters.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "tape/pulse_train.h"
#include "test_support.h"

namespace {

using testing_support::Bytes;
using testing_support::HaveTool;
using testing_support::PulseTrain;
using testing_support::ReadFile;
using testing_support::RunCommand;
using testing_support::ScratchDir;
using testing_support::ShellQuote;
using testing_support::WriteFile;

// A ROM header of type 3 (bytes) named `name`, announcing `length` bytes.
Bytes Header(const std::string& name, std::uint16_t length) {
  Bytes header = {0x00, 0x03};
  for (std::size_t i = 0; i < 10; ++i) header.push_back(i < name.size() ? name[i] : ' ');
  for (std::uint16_t value : {length, std::uint16_t{32768}, std::uint16_t{32768}}) {
    header.push_back(static_cast<std::uint8_t>(value & 0xFF));
    header.push_back(static_cast<std::uint8_t>(value >> 8));
  }
  return header;
}

Bytes WithChecksum(Bytes bytes) {
  std::uint8_t x = 0;
  for (std::uint8_t b : bytes) x ^= b;
  bytes.push_back(x);
  return bytes;
}

// A tape of a header and a data block of `length` bytes, twice over with
// other names, as an 8-bit 44.1 kHz WAV.
Bytes Tape(const std::string& name, std::uint16_t length, std::uint8_t seed) {
  PulseTrain train;
  train.Silence(4410);
  for (int part = 0; part < 2; ++part) {
    Bytes data = {0xFF};
    for (std::uint16_t i = 0; i < length; ++i)
      data.push_back(static_cast<std::uint8_t>(i * 37 + seed + part * 101));
    train.Block(WithChecksum(Header(name + std::to_string(part), length)), 1600)
        .Silence(22050)
        .Block(WithChecksum(data), 1600)
        .Silence(44100);
  }
  return train.Wave();
}

// One mistake or kind of damage. `setup` runs first in the scratch folder
// (a shell script; $CLI is the converter, $CHECK the report checker), then
// the converter with `arguments`. Every file in `unchanged` must hold after
// the run what it held before it; `check` (a shell script) must succeed.
struct Case {
  const char* name;
  const char* setup;
  const char* arguments;
  int status;
  std::vector<const char*> out;     // standard output holds each
  std::vector<const char*> err;     // standard error holds each
  std::vector<const char*> exist;   // files there afterwards
  std::vector<const char*> absent;  // files (or folders) not there
  std::vector<const char*> notOut;  // standard output holds none of these
  std::vector<const char*> unchanged;
  const char* check;
};

// Files every case starts from: tape.wav (good), drop.wav (a dropout in
// the first data block), other.wav (another tape), silent.wav.
const char* const kCommon =
    "sox -D tape.wav -b 16 capture.flac && "
    "cp tape.wav drop.wav && head -c 4410 /dev/zero | tr '\\000' '\\200' | "
    "dd of=drop.wav bs=1 seek=300000 conv=notrunc 2>/dev/null && "
    "sox -D -n -r 44100 -c 1 -b 8 silent.wav trim 0 5";

const Case kCases[] = {
    // Nothing lost.
    {"two recordings of one title are refused", "sox -D tape.wav capture.mp3",
     "capture.flac capture.mp3", 2, {},
     {"capture.flac and capture.mp3 would both write capture.tap", "--name", "-o"}, {},
     {"capture.tap", "capture.txt"}, {}, {}, nullptr},
    {"two folders into one -o are refused", "mkdir a b && cp tape.wav a/side.wav && cp drop.wav b/side.wav",
     "-o out a/side.wav b/side.wav", 2, {}, {"a/side.wav and b/side.wav would both write out/side.tap"},
     {}, {"out"}, {}, {}, nullptr},
    {"--name gives one recording its own title", "", "--name second capture.flac", 0,
     {"-> second.tap, second.txt"}, {}, {"second.tap"}, {"capture.tap"}, {}, {}, nullptr},
    {"a silent recording keeps the earlier outputs", "cp silent.wav side.wav && cp capture.flac side.flac && $CLI -q side.flac",
     "side.wav", 4, {}, {"side.wav: no block found: nothing written"}, {}, {}, {},
     {"side.tap", "side.txt"}, nullptr},
    // Warnings with the time where reading stopped.
    {"damaged bytes in a FLAC are a warning",
     "cp capture.flac hurt.flac && head -c 5000 /dev/zero | tr '\\000' '\\125' | "
     "dd of=hurt.flac bs=1 seek=$(( $(stat -c %s hurt.flac) / 3 )) conv=notrunc 2>/dev/null",
     "hurt.flac", 3, {"cut short where reading stopped"},
     {"hurt.flac: warning: reading stopped at 0:", "damaged or cut short"}, {"hurt.tap"}, {}, {}, {},
     nullptr},
    {"a FLAC cut short is a warning",
     "head -c $(( $(stat -c %s capture.flac) * 2 / 5 )) capture.flac > cut.flac", "cut.flac", 3,
     {"BAD checksum", "cut short where reading stopped"}, {"cut.flac: warning: reading stopped at 0:"},
     {"cut.tap"}, {}, {}, {}, nullptr},
    {"a WAV cut short is a warning", "head -c 400000 tape.wav > short.wav", "short.wav", 3,
     {"header announced 2002 bytes, ", "cut short where reading stopped"},
     {"short.wav: warning: reading stopped at 0:09.069"}, {}, {}, {}, {}, nullptr},
    {"a block cut by the end of the recording says so",
     "sox -D tape.wav end.wav trim 0 7", "end.wav", 3,
     {"header announced 2002 bytes, ", "cut short by the end of the recording"}, {}, {}, {}, {}, {},
     nullptr},
    // Bad blocks explained; -q still tells.
    {"a bad block says what came and where the signal broke", "", "drop.wav", 3,
     {"BAD checksum", "header announced 2002 bytes, ", "the signal breaks at 0:0",
      "hint: another playback of the tape can mend a bad block", "--merge"},
     {}, {}, {}, {}, {}, nullptr},
    {"-q prints the bad block's line and still fails", "", "-q drop.wav", 3,
     {"BAD checksum", "the signal breaks at"}, {}, {}, {}, {"  ok  ", "hint", "->"}, {}, nullptr},
    // Exit statuses of several recordings: the worst wins.
    {"nothing found outranks a bad block", "", "drop.wav silent.wav", 4, {}, {"no block found"}, {},
     {"silent.tap"}, {}, {}, nullptr},
    {"an unreadable recording outranks everything", "touch empty.wav", "silent.wav drop.wav empty.wav", 1,
     {}, {"empty.wav: not converted: the file is empty"}, {}, {}, {}, {}, nullptr},
    // Merges that check their takes.
    {"one take is refused", "", "--merge tape.wav", 2, {}, {"--merge: needs two or more takes"}, {},
     {"tape.tap"}, {}, {}, nullptr},
    {"the same take twice is warned of", "", "--merge tape.wav ./tape.wav", 0, {"from 2 takes"},
     {"warning: ./tape.wav is the same file as tape.wav"}, {"tape.tap"}, {}, {}, {}, nullptr},
    {"takes of different tapes are refused", "", "--merge tape.wav other.wav", 2, {},
     {"tape.wav and other.wav share no block that verifies", "--force"}, {}, {"tape.tap"}, {}, {},
     nullptr},
    // part.wav verifies only the first data block, which drop.wav lost.
    {"takes damaged in different blocks are one tape",
     "sox -D tape.wav part.wav trim 0 16.4 && head -c 4410 /dev/zero | tr '\\000' '\\200' | "
     "dd of=part.wav bs=1 seek=91770 conv=notrunc 2>/dev/null",
     "--merge --name pair drop.wav part.wav", 0, {"(4 good, 0 bad"}, {}, {"pair.tap"}, {}, {}, {},
     nullptr},
    {"--force merges different tapes", "", "--merge --force --name both tape.wav other.wav", 0,
     {"from 2 takes -> both.tap"}, {}, {"both.tap"}, {}, {}, {}, nullptr},
    // The report beside the outputs.
    {"--report writes TITLE.json and TITLE.log with the outputs", "", "--report drop.wav", 3,
     {"-> drop.tap, drop.txt, drop.json, drop.log"}, {}, {"drop.json", "drop.log"}, {}, {}, {},
     "python3 \"$CHECK\" drop drop.wav && grep -q 'header announced 2002 bytes' drop.log"},
    {"--report of a merge names each block's take", "cp tape.wav ref.wav && $CLI -q ref.wav",
     "--report --merge --name joined drop.wav tape.wav", 0,
     {"from take 2", "(4 good, 0 bad, 0 voted) from 2 takes -> joined.tap, joined.txt, joined.json"}, {},
     {"joined.log"}, {}, {}, {},
     "cmp joined.tap ref.tap && python3 \"$CHECK\" joined drop.wav tape.wav"},
    // Forgiving options.
    {"an output name as a second recording is explained", "", "capture.flac game.tzx", 2, {},
     {"game.tzx does not exist and looks like an output name: use --format and -o"}, {},
     {"capture.tap"}, {}, {}, nullptr},
    {"--format takes any case and spaces", "", "--format 'TAP, Tzx' tape.wav", 0,
     {"-> tape.tap, tape.txt, tape.tzx"}, {}, {"tape.tzx"}, {}, {}, {}, nullptr},
    {"-o makes a missing folder", "", "-o newdir tape.wav", 0, {"-> newdir/tape.tap"}, {},
     {"newdir/tape.tap"}, {}, {}, {}, nullptr},
    {"classic on a FLAC says what to do", "", "--method classic capture.flac", 1, {},
     {"not a WAV file", "leave it out: the robust method (the default) reads"}, {}, {"capture.tap"},
     {}, {}, nullptr},
    {"an empty recording says so", "touch empty.wav", "--method classic empty.wav", 1, {},
     {"empty.wav: not converted: the file is empty (0 bytes)"}, {}, {"empty.tap"}, {}, {}, nullptr},
};

void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

class MistakesTest : public ::testing::TestWithParam<Case> {};

std::string Slurp(const std::filesystem::path& path) {
  const Bytes bytes = ReadFile(path);
  return std::string(bytes.begin(), bytes.end());
}

TEST_P(MistakesTest, EndsAsDocumented) {
  const Case& c = GetParam();
  for (const char* tool : {"sox", "python3", "cmp"}) {
    if (!HaveTool(tool)) GTEST_SKIP() << tool << " is not installed";
  }
  ScratchDir dir;
  WriteFile(dir / "tape.wav", Tape("GAME", 2000, 1));
  WriteFile(dir / "other.wav", Tape("OTHER", 500, 77));
  const std::string env = "cd " + ShellQuote(dir.Path().string()) +
                          " && CLI=" + ShellQuote(TAPEDECODER_CLI_PATH) +
                          " && CHECK=" + ShellQuote(TAPEDECODER_SOURCE_DIR "/tests/cli/check_report.py") +
                          " && export CLI CHECK && ";
  ASSERT_EQ(RunCommand(env + kCommon + (c.setup[0] ? std::string(" && ") + c.setup : "")), 0);
  std::map<std::string, std::string> before;
  for (const char* name : c.unchanged) before[name] = Slurp(dir / name);

  const int status = RunCommand(env + "$CLI " + c.arguments + " >stdout.log 2>stderr.log");
  const std::string out = Slurp(dir / "stdout.log");
  const std::string err = Slurp(dir / "stderr.log");
  const std::string said = "\nstdout: " + out + "\nstderr: " + err;
  EXPECT_EQ(status, c.status) << said;
  for (const char* text : c.out) EXPECT_NE(out.find(text), std::string::npos) << text << said;
  for (const char* text : c.notOut) EXPECT_EQ(out.find(text), std::string::npos) << text << said;
  for (const char* text : c.err) EXPECT_NE(err.find(text), std::string::npos) << text << said;
  for (const char* name : c.exist) EXPECT_TRUE(std::filesystem::exists(dir / name)) << name;
  for (const char* name : c.absent) EXPECT_FALSE(std::filesystem::exists(dir / name)) << name;
  for (const auto& [name, bytes] : before) EXPECT_EQ(Slurp(dir / name), bytes) << name;
  if (c.check != nullptr) {
    EXPECT_EQ(RunCommand(env + c.check), 0) << c.check << said;
  }
}

std::string CaseName(const ::testing::TestParamInfo<Case>& info) {
  std::string name;
  for (const char* p = info.param.name; *p; ++p)
    name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
  return name;
}

INSTANTIATE_TEST_SUITE_P(Cli, MistakesTest, ::testing::ValuesIn(kCases), CaseName);

}  // namespace
