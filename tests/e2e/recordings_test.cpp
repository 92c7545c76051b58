// Recordings made by tools from outside this project, in the conditions of
// real cassette recordings, converted by the built tapedecoder-cli.
//
// make_tapes.sh (the fixture that runs first) leaves every tape and its
// tape2wav recording in the work folder. Each test here makes one variant of
// one recording with sox, converts it with each of the variant's settings
// (the defaults first; then, where the defaults fail, the settings that
// decode it) and checks what each conversion made of it. Each test writes
// one line to the report; the last e2e test gathers them into
// e2e-report.txt.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"


namespace {

namespace fs = std::filesystem;
using testing_support::Bytes;
using testing_support::HaveTool;
using testing_support::ReadFile;
using testing_support::RunCommand;
using testing_support::ShellQuote;

const fs::path kWork = TAPEDECODER_E2E_WORK;
const std::string kCli = TAPEDECODER_CLI_PATH;

// The listing's verdicts, in Windows-1251.
const std::string kGood = "\r\n\xCE\xF8\xE8\xE1\xEE\xEA \xED\xE5\xF2.\r\n";       // Ошибок нет.
const std::string kBad = "\r\n\xCE\xF8\xE8\xE1\xEA\xE0 \xF7\xF2\xE5\xED\xE8\xFF!\r\n";  // Ошибка чтения!

const char* const kTapes[] = {"basic", "code", "headerless", "many"};

// What a conversion made of a recording, measured against the original tape.
enum class Result {
  kExact,         // the same tape image, every verdict good
  kLastByteLost,  // the last block lacks its last byte, and only its verdict is bad
  kExtraBytes,    // every block whole but some followed by bytes read from the pause
  kOther,
  kNotExact,      // as an expectation only: anything but exact
};

const char* ResultName(Result result) {
  switch (result) {
    case Result::kExact: return "exact";
    case Result::kLastByteLost: return "last byte of the last block lost";
    case Result::kExtraBytes: return "extra bytes after blocks";
    case Result::kOther: return "other";
    case Result::kNotExact: return "not exact";
  }
  return "?";
}

// One conversion of a variant: its settings (empty: the defaults) and what
// they make of it.
struct Attempt {
  const char* options;
  Result expected;
};

// One way of spoiling a recording. `make` is a sox command line after
// "sox -D -R -V1"; in it {in} is the tape2wav recording, {out} the variant,
// {mono}/{stereo} the output format, {noise} a full-scale white-noise
// recording of the same length and {end} the number of samples up to the
// last edge. Empty `make`: the recording itself. The first attempt is always
// at the default settings.
struct Variant {
  const char* name;
  const char* make;
  std::vector<Attempt> attempts;
  // Only on the tapes of a block or two (the long ones take minutes with
  // the sanitizers where every block is read again).
  bool shortTapesOnly = false;
};

constexpr Result kExact = Result::kExact;
constexpr Result kNotExact = Result::kNotExact;

// The signal of the noisy variants is at half scale (peaks 64 either side
// of the middle); the noise peaks at 20, 50 and 100 per cent of that.
const Variant kVariants[] = {
    {"mono", "", {{"", kExact}, {"--method classic", kExact}}},
    {"stereo-both", "{in} {stereo} {out}", {{"", kExact}, {"--method classic", kExact}}},
    {"left-signal-right-silent", "{in} {stereo} {out} remix 1 0",
     {{"", kExact}, {"--method classic", kExact}, {"--method classic --channels left", kExact}}},
    {"right-signal-left-noise", "-M {noise} {in} {stereo} {out}",
     {{"", kExact}, {"--method classic", kNotExact}, {"--method classic --channels right", kExact}}},
    {"quarter-amplitude", "{in} {mono} {out} vol 0.25",
     {{"", kExact}, {"--method classic", kExact}, {"--method classic --level 127", kExact}}},
    {"dc-plus-20", "{in} {mono} {out} dcshift 0.156",
     {{"", kExact}, {"--method classic", kExact}, {"--method classic --level 127", kExact}}},
    {"dc-minus-20", "{in} {mono} {out} dcshift -0.156",
     {{"", kExact}, {"--method classic", kExact}, {"--method classic --level 127", kExact}}},
    {"noise-20", "-m -v 0.5 {in} -v 0.1 {noise} {mono} {out}",
     {{"", kExact}, {"--method classic", Result::kExtraBytes}, {"--method classic --auto 2000", Result::kExtraBytes}, {"--method classic --level 127", kExact}}},
    {"noise-50", "-m -v 0.5 {in} -v 0.25 {noise} {mono} {out}",
     {{"", kExact}, {"--method classic", Result::kExtraBytes}, {"--method classic --auto 2000", Result::kExtraBytes}, {"--method classic --level 127", kExact}}},
    {"noise-100", "-m -v 0.5 {in} -v 0.5 {noise} {mono} {out}",
     {{"", kExact}, {"--method classic", kNotExact}, {"--method classic --level 127", kExact}}},
    // A deck or sound card that blocks DC: the pauses settle at the middle
    // level, into the noise.
    {"noise-50-ac-coupled", "-m -v 0.5 {in} -v 0.25 {noise} {mono} {out} highpass 20",
     {{"", kExact}, {"--method classic", Result::kExtraBytes}, {"--method classic --level 127", kExact}}},
    {"lowpass-8k", "{in} {mono} {out} vol 0.8 lowpass 8000", {{"", kExact}, {"--method classic", kExact}}},
    {"speed-plus-3", "{in} {mono} {out} speed 1.03 rate 44100", {{"", kExact}, {"--method classic", kExact}}},
    {"speed-minus-3", "{in} {mono} {out} speed 0.97 rate 44100", {{"", kExact}, {"--method classic", kExact}}},
    // A deck that runs slow stretches the pilot tone past the pilot range.
    {"speed-minus-12", "{in} {mono} {out} speed 0.88 rate 44100",
     {{"", kExact}, {"--method classic", kNotExact}, {"--method classic --pilot 111:180", kExact}}},
    {"inverted", "{in} {mono} {out} vol -1", {{"", kExact}, {"--method classic", kExact}, {"--method classic --level 127", kExact}}},
    {"cut-at-last-edge", "{in} {mono} {out} trim 0 {end}s",
     {{"", kExact}, {"--method classic", Result::kLastByteLost}, {"--method classic --level 127", Result::kLastByteLost}}},
    // Real tape audio, for the robust method only: the tape path's high-pass
    // and band limit, hiss, recorders' formats and rates, decks' speeds.
    {"tape-like-flac-48k", "-m -v 0.45 {in} -v 0.04 {noise} -t flac -r 48000 -b 16 {out} highpass 900 lowpass 6000",
     {{"", kExact}}},
    {"mp3-96k", "{in} -t mp3 -C 96 {out} highpass 400", {{"", kExact}}},
    {"quiet-16-bit", "{in} -b 16 {out} highpass 200 vol 0.03", {{"", kExact}}},
    {"clipped-22k", "{in} -r 22050 -b 16 {out} highpass 700 gain 12", {{"", kExact}}},
    {"fast-1-6x", "{in} -b 16 {out} speed 1.6 rate 44100", {{"", kExact}}},
    {"slow-0-6x-96k", "{in} -b 24 -r 96000 {out} speed 0.6 highpass 500", {{"", kExact}}},
    // A deck that keeps little above 1 kHz: the syncs are gone, the zero
    // bits faint.
    {"lowpass-1000-steep", "{in} -b 16 {out} vol 0.5 lowpass 1000 lowpass 1000", {{"", kExact}}, true},
    {"cut-at-last-edge-inverted", "{in} {mono} {out} trim 0 {end}s vol -1", {{"", kExact}, {"--method classic", kExact}}},
};

std::string Replace(std::string text, const std::string& key, const std::string& value) {
  for (std::size_t at = text.find(key); at != std::string::npos;
       at = text.find(key, at + value.size()))
    text.replace(at, key.size(), value);
  return text;
}

int Count(const std::string& text, const std::string& piece) {
  int count = 0;
  for (std::size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1))
    ++count;
  return count;
}

std::string ReadText(const fs::path& path) {
  const Bytes bytes = ReadFile(path);
  return std::string(bytes.begin(), bytes.end());
}

// The blocks of a tape image; false when its records do not fill it exactly.
bool SplitTape(const Bytes& tape, std::vector<Bytes>& blocks) {
  blocks.clear();
  std::size_t at = 0;
  while (at < tape.size()) {
    if (tape.size() - at < 2) return false;
    const std::size_t length = tape[at] | (tape[at + 1] << 8);
    at += 2;
    if (tape.size() - at < length) return false;
    blocks.emplace_back(tape.begin() + at, tape.begin() + at + length);
    at += length;
  }
  return true;
}

// The sample data of an 8-bit WAV file written by tape2wav or sox.
Bytes WaveData(const Bytes& file) {
  std::size_t at = 12;
  while (at + 8 <= file.size()) {
    const std::size_t size =
        file[at + 4] | (file[at + 5] << 8) | (file[at + 6] << 16) | (std::size_t{file[at + 7]} << 24);
    if (std::string(file.begin() + at, file.begin() + at + 4) == "data")
      return Bytes(file.begin() + at + 8, file.begin() + at + 8 + std::min(size, file.size() - at - 8));
    at += 8 + size + (size & 1);
  }
  return {};
}

struct Conversion {
  int status = -1;
  std::string output;  // what the program printed
  Bytes tape;
  std::string listing;
  Result result = Result::kOther;
  std::string summary;  // for the report
  int bad = 0;          // bad verdicts in the listing
};

// The exit statuses of a written conversion: every block good, or some bad.
constexpr int kAllGood = 0;
constexpr int kDamaged = 3;

class RecordingTest : public ::testing::TestWithParam<std::tuple<const char*, Variant>> {
 protected:
  void SetUp() override {
    m_tape = std::get<0>(GetParam());
    m_variant = std::get<1>(GetParam());
    ASSERT_TRUE(HaveTool("sox")) << "./scripts/install-deps.sh installs sox";
    ASSERT_TRUE(HaveTool("tzxlist")) << "./scripts/install-deps.sh installs fuse-emulator-utils";
    ASSERT_TRUE(HaveTool("listbasic")) << "./scripts/install-deps.sh installs fuse-emulator-utils";
    m_original = ReadFile(kWork / (m_tape + ".tap"));
    ASSERT_FALSE(m_original.empty()) << "make_tapes.sh has not made " << m_tape << ".tap";
    ASSERT_TRUE(SplitTape(m_original, m_originalBlocks));
    m_dir = kWork / "runs" / (m_tape + "-" + m_variant.name);
    fs::remove_all(m_dir);
    fs::create_directories(m_dir);
  }
  // The recordings of a test that passed are large and of no further use.
  void TearDown() override {
    if (!HasFailure()) fs::remove_all(m_dir);
  }

  // Makes the variant's recording; returns its path.
  fs::path MakeRecording() {
    const fs::path in = kWork / (m_tape + ".wav");
    const fs::path out = m_dir / "recording.wav";
    const std::string make = m_variant.make;
    if (make.empty()) {
      fs::copy_file(in, out);
      return out;
    }
    const Bytes samples = WaveData(ReadFile(in));
    std::string command = make;
    if (make.find("{noise}") != std::string::npos) {
      const fs::path noise = m_dir / "noise.wav";
      EXPECT_EQ(RunCommand("sox -D -R -V1 -n -r 44100 -b 8 -e unsigned-integer -c 1 " +
                           ShellQuote(noise.string()) + " synth " +
                           std::to_string(samples.size()) + "s whitenoise"),
                0);
      command = Replace(command, "{noise}", ShellQuote(noise.string()));
    }
    if (make.find("{end}") != std::string::npos) {
      std::size_t end = samples.size();
      while (end > 1 && samples[end - 2] == samples[end - 1]) --end;
      command = Replace(command, "{end}", std::to_string(end - 1));
    }
    command = Replace(command, "{in}", ShellQuote(in.string()));
    command = Replace(command, "{out}", ShellQuote(out.string()));
    command = Replace(command, "{mono}", "-r 44100 -b 8 -e unsigned-integer -c 1");
    command = Replace(command, "{stereo}", "-r 44100 -b 8 -e unsigned-integer -c 2");
    EXPECT_EQ(RunCommand("sox -D -R -V1 " + command), 0) << command;
    return out;
  }

  Conversion Convert(const fs::path& recording, const std::string& options,
                     const std::string& title) {
    Conversion c;
    fs::copy_file(recording, m_dir / (title + ".wav"), fs::copy_options::overwrite_existing);
    const fs::path printed = m_dir / (title + ".out");
    c.status = RunCommand("cd " + ShellQuote(m_dir.string()) + " && " + ShellQuote(kCli) +
                          " " + options + " " + title + ".wav >" + title + ".out 2>&1");
    fs::remove(m_dir / (title + ".wav"));
    c.output = ReadText(printed);
    c.tape = ReadFile(m_dir / (title + ".tap"));
    c.listing = ReadText(m_dir / (title + ".txt"));
    Classify(c);
    return c;
  }

  void Classify(Conversion& c) const {
    std::vector<Bytes> blocks;
    const int good = Count(c.listing, kGood);
    const int bad = Count(c.listing, kBad);
    c.bad = bad;
    const bool whole = SplitTape(c.tape, blocks);
    const int n = static_cast<int>(m_originalBlocks.size());
    std::ostringstream summary;
    summary << blocks.size() << " block" << (blocks.size() == 1 ? "" : "s") << ", " << good
            << " good, " << bad << " bad";
    if ((c.status != kAllGood && c.status != kDamaged) || !whole) {
      c.result = Result::kOther;
    } else if (c.tape == m_original && good == n && bad == 0) {
      c.result = Result::kExact;
    } else if (static_cast<int>(blocks.size()) == n) {
      bool lastLost = good == n - 1 && bad == 1;
      bool extended = true;
      int extra = 0;
      for (int i = 0; i < n; ++i) {
        const Bytes& want = m_originalBlocks[i];
        const Bytes& got = blocks[i];
        if (i < n - 1 ? got != want : got != Bytes(want.begin(), want.end() - 1))
          lastLost = false;
        if (got.size() < want.size() || !std::equal(want.begin(), want.end(), got.begin()))
          extended = false;
        else
          extra += static_cast<int>(got.size() - want.size());
      }
      if (lastLost)
        c.result = Result::kLastByteLost;
      else if (extended && extra > 0)
        c.result = Result::kExtraBytes, summary << ", " << extra << " extra bytes";
    }
    if (c.result == Result::kOther && !whole) summary << ", tape image cut short";
    if (c.status != kAllGood && c.status != kDamaged) summary << ", exit status " << c.status;
    c.summary = std::string(ResultName(c.result)) + " (" + summary.str() + ")";
  }

  // What the tools of the fuse-emulator-utils package make of an exact
  // tape image: every block passes its checksum, and programs list as the
  // original does.
  void CheckWithTapeTools(const std::string& title) {
    const std::string tap = ShellQuote((m_dir / (title + ".tap")).string());
    const std::string original = ShellQuote((kWork / (m_tape + ".tap")).string());
    EXPECT_EQ(RunCommand("tzxlist " + tap + " >" + ShellQuote((m_dir / "tzxlist").string())),
              0);
    EXPECT_EQ(Count(ReadText(m_dir / "tzxlist"), "(PASS)"),
              static_cast<int>(m_originalBlocks.size()));
    EXPECT_EQ(RunCommand("listbasic " + tap + " >" + ShellQuote((m_dir / "listed").string()) +
                         " && listbasic " + original + " >" +
                         ShellQuote((m_dir / "expected").string())),
              0);
    EXPECT_EQ(ReadText(m_dir / "listed"), ReadText(m_dir / "expected"));
  }

  // `title` names the conversion's files, `label` its settings.
  void Check(const Conversion& c, Result expected, const std::string& title,
             const std::string& label) {
    EXPECT_EQ(c.status, c.bad > 0 ? kDamaged : kAllGood) << c.output;
    EXPECT_NE(c.output.find(" -> "), std::string::npos) << c.output;
    if (expected == Result::kNotExact) {
      EXPECT_NE(c.result, Result::kExact) << label << " now decode it exactly";
    } else {
      EXPECT_EQ(ResultName(c.result), std::string(ResultName(expected)))
          << label << ": " << c.summary;
    }
    if (c.result == Result::kExact) CheckWithTapeTools(title);
  }

  // The report lists the variants of each tape in the order of the table.
  void Report(const std::string& line) {
    std::size_t index = 0;
    while (std::string(kVariants[index].name) != m_variant.name) ++index;
    char name[32];
    std::snprintf(name, sizeof name, "-%02zu.txt", index);
    std::ofstream(kWork / "report" / "recordings" / (m_tape + name))
        << line << (HasFailure() ? "   FAILED" : "   ok") << '\n';
  }

  std::string m_tape;
  Variant m_variant{};
  Bytes m_original;
  std::vector<Bytes> m_originalBlocks;
  fs::path m_dir;
};

TEST_P(RecordingTest, Converts) {
  if (m_variant.shortTapesOnly && m_tape != "basic" && m_tape != "headerless") GTEST_SKIP() << "a long tape";
  const fs::path recording = MakeRecording();
  ASSERT_FALSE(HasFailure());
  char head[64];
  std::snprintf(head, sizeof head, "%-11s %-26s ", m_tape.c_str(), m_variant.name);
  std::string line = head;

  std::string separator = "";
  for (std::size_t i = 0; i < m_variant.attempts.size(); ++i) {
    const Attempt& run = m_variant.attempts[i];
    const std::string title = "run" + std::to_string(i);
    const std::string label = *run.options ? run.options : "defaults";
    const Conversion c = Convert(recording, run.options, title);
    Check(c, run.expected, title, label);
    line += separator + label + ": " + c.summary;
    separator = "; ";
  }
  Report(line);
}

void PrintTo(const Variant& variant, std::ostream* out) { *out << variant.name; }

std::string TestName(const ::testing::TestParamInfo<RecordingTest::ParamType>& info) {
  std::string name = std::string(std::get<0>(info.param)) + "_" + std::get<1>(info.param).name;
  for (char& c : name)
    if (c == '-') c = '_';
  return name;
}

INSTANTIATE_TEST_SUITE_P(Tapes, RecordingTest,
                         ::testing::Combine(::testing::ValuesIn(kTapes),
                                            ::testing::ValuesIn(kVariants)),
                         TestName);

}  // namespace
