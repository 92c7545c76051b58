// Stopping a robust run from outside: the flag is read between chunks, the
// blocks before it stay in the report, and no output is written.
#include "convert/robust_run.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <filesystem>
#include <stdexcept>
#include <vector>

#include "convert/task_team.h"
#include "robust/tape_synth.h"
#include "test_support.h"

namespace tapedecoder {
namespace {

using testing_support::ScratchDir;

// Three blocks of about 2.5 s each: more than one chunk of samples apart.
std::string WriteTape(const ScratchDir& dir) {
  testing_support::TapePath path;
  const std::vector<float> samples = RenderTape(
      {testing_support::RomHeader("cancel", 900), testing_support::DataBlock(900, 5),
       testing_support::DataBlock(900, 6)},
      path, 1);
  testing_support::Bytes bytes;
  for (float s : samples) bytes.push_back(static_cast<std::uint8_t>(std::lround(128.0 + 127.0 * s)));
  const std::string name = (dir / "tape.wav").string();
  testing_support::WriteFile(name, testing_support::SimpleWave(bytes));
  return name;
}

TEST(RobustRunCancel, TheFlagStopsTheRunBetweenChunks) {
  ScratchDir dir;
  const std::string name = WriteTape(dir);
  struct Case {
    const char* what;
    int cancelAfterCalls;  // progress calls before the flag goes up; -1 never, 0 at once
    bool cancelled;
  };
  for (const Case& c : {Case{"never", -1, false}, Case{"at once", 0, true}, Case{"part way", 2, true}}) {
    SCOPED_TRACE(c.what);
    std::atomic<bool> cancel{c.cancelAfterCalls == 0};
    int calls = 0;
    RobustRunOptions options;
    options.cancel = &cancel;
    options.progress = [&](const InputProgress&) {
      if (++calls == c.cancelAfterCalls) cancel = true;
    };
    RobustReport report;
    int blocks = 0;
    const bool decoded = DecodeRecording(name, options, [&](TapeBlock&&) { ++blocks; }, report);
    EXPECT_EQ(decoded, !c.cancelled);
    EXPECT_EQ(report.failure.kind == FailureKind::CANCELLED, c.cancelled);
    EXPECT_EQ(static_cast<int>(report.blocks.size()), blocks);
    if (c.cancelAfterCalls < 0) {
      EXPECT_EQ(blocks, 3);
    }
    if (c.cancelAfterCalls == 0) {
      EXPECT_EQ(calls, 0);
    }
    if (c.cancelAfterCalls > 0) {
      EXPECT_EQ(calls, c.cancelAfterCalls);
      EXPECT_LT(blocks, 3);
    }
  }
}

TEST(RobustRunCancel, ACancelledConversionWritesNothing) {
  ScratchDir dir;
  const std::string name = WriteTape(dir);
  std::atomic<bool> cancel{true};
  RobustRunOptions options;
  options.cancel = &cancel;
  options.formats.Add("tzx");
  const RobustReport report = RunRobustConversion(name, (dir / "out").string(), options);
  EXPECT_EQ(report.failure.kind, FailureKind::CANCELLED);
  EXPECT_FALSE(report.Written());
  for (const char* extension : {"tap", "txt", "tzx"})
    EXPECT_FALSE(std::filesystem::exists(dir / (std::string("out.") + extension))) << extension;
}

// A coherent stereo recording with dropouts and hiss: its mix's retry
// readers read a block again from the file (the mix taken up from a
// snapshot of its level trackers) and find the blocks they find side by
// side; so do runs that take a spare core part way or never.
TEST(RobustRunStereo, TheMixReadAgainFindsWhatItFindsSideBySide) {
  ScratchDir dir;
  testing_support::TapePath path;
  path.noise = 0.25;
  path.highpassHz = 800.0;
  path.dropEvery = 0.9;
  path.dropSeconds = 0.004;
  path.dropGain = 0.05;
  const std::vector<float> mono = RenderTape(
      {testing_support::RomHeader("stereo", 1500), testing_support::DataBlock(1500, 7)}, path, 3);
  ASSERT_FALSE(mono.empty());
  testing_support::Bytes bytes;
  for (float s : mono) {
    bytes.push_back(static_cast<std::uint8_t>(std::lround(128.0 + 120.0 * s)));
    bytes.push_back(static_cast<std::uint8_t>(std::lround(128.0 - 100.0 * s)));
  }
  const std::string name = (dir / "stereo.wav").string();
  testing_support::WriteFile(name, testing_support::SimpleWave(bytes, 2));
  const auto decode = [&](bool reread, int spareCores) {
    RobustRunOptions options;
    options.rereadRetries = reread;
    CCoreBudget cores(spareCores);
    if (spareCores >= 0) options.cores = &cores;
    RobustReport report;
    std::vector<std::pair<double, std::vector<std::uint8_t>>> blocks;
    EXPECT_TRUE(DecodeRecording(name, options, [&](TapeBlock&& b) { blocks.emplace_back(b.startSeconds, b.bytes); },
                                report));
    return blocks;
  };
  const auto sideBySide = decode(false, -1);
  EXPECT_GE(sideBySide.size(), 2u);
  for (int spare : {-1, 0, 1}) EXPECT_EQ(decode(true, spare), sideBySide) << spare << " spare cores";
}

// Every task of a step runs once, whatever the team's size and however
// it grew; a task's exception reaches the caller after the step, and the
// team goes on.
TEST(TaskTeam, RunsEveryTaskOnceAndRethrowsAfterTheStep) {
  for (std::size_t threads : {0, 1, 3}) {
    CTaskTeam team(threads);
    for (std::size_t count : {1, 2, 7}) {
      if (count == 7) team.Grow(threads + 1);
      std::vector<int> runs(count, 0);
      team.Run(count, [&](std::size_t i) { ++runs[i]; });
      EXPECT_EQ(runs, std::vector<int>(count, 1)) << threads << " threads, " << count << " tasks";
    }
    std::atomic<int> ran{0};
    EXPECT_THROW(team.Run(4, [&](std::size_t i) {
      ++ran;
      if (i == 2) throw std::runtime_error("task");
    }), std::runtime_error);
    EXPECT_EQ(ran.load(), 4);
  }
}

// Two stages in a row, the second pushed from the first's work: the
// outcomes come back in chunk order (a chunk copied or its buffer taken)
// and the same whether the stages work in the caller's thread, on threads of their own from the start, or from
// part way; a chunk's exception reaches the caller when its outcome is
// taken.
TEST(PipeStage, OutcomesComeBackInOrderWhateverTheThreads) {
  for (int threadsFrom : {-1, 0, 5}) {
    SCOPED_TRACE(threadsFrom);
    std::vector<int> seen;  // the caller's
    int summed = 0;         // the second stage's
    CPipeStage<int> second([&](const int* items, std::size_t count) -> CPipeStage<int>::Outcome {
      for (std::size_t i = 0; i < count; ++i) summed += items[i];
      if (summed < 0) throw std::runtime_error("negative");
      return [&seen, sum = summed] { seen.push_back(sum); };
    }, threadsFrom == 0);
    std::vector<int> doubled;  // the first stage's
    CPipeStage<int> first([&](const int* items, std::size_t count) -> CPipeStage<int>::Outcome {
      doubled.assign(items, items + count);
      for (int& v : doubled) v *= 2;
      second.Push(doubled);  // its buffer taken, another left in its place
      return [&second] { second.Take()(); };
    }, threadsFrom == 0);
    int taken = 0;
    for (int chunk = 0; chunk < 12; ++chunk) {
      // Threads start between chunks, once every outcome has been taken.
      for (; chunk == threadsFrom && taken < chunk; ++taken) first.Take()();
      if (chunk == threadsFrom) first.Thread(), second.Thread();
      for (; first.Full(); ++taken) first.Take()();
      const int items[] = {chunk, chunk == 11 ? -1000 : 1};
      first.Push(items, 2);
    }
    for (; taken < 11; ++taken) first.Take()();
    EXPECT_THROW(first.Take()(), std::runtime_error);
    std::vector<int> expected;
    for (int chunk = 0, sum = 0; chunk < 11; ++chunk) expected.push_back(sum += 2 * (chunk + 1));
    EXPECT_EQ(seen, expected);
  }
}

}  // namespace
}  // namespace tapedecoder
