// Times loading and decoding of synthesised ten-minute recordings, and a
// whole conversion by the command-line converter. Each case runs in a child
// process of its own, so that its peak memory is its own.
//
//   tapedecoder-bench [--seconds N] [--repeat N] [--only TEXT] [--cli PATH] [--keep DIR]
//
// Each case runs --repeat times (default 3); the fastest run is shown, with
// the largest peak memory of all runs.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "audio/wave_source.h"
#include "convert/conversion_run.h"
#include "tape/decode_settings.h"
#include "tape_signal.h"

using namespace tapedecoder;

namespace fs = std::filesystem;

namespace {

struct Result {
  double seconds = 0.0;
  long peakKiB = 0;
  bool ok = false;
};

// Runs `work` in a child; the child reports its own timing through a pipe,
// the parent takes the peak resident size from the child's usage.
Result InChild(const std::function<double()>& work) {
  int fds[2];
  if (pipe(fds) != 0) return {};
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    const double seconds = work();
    const ssize_t written = write(fds[1], &seconds, sizeof seconds);
    _exit(written == sizeof seconds && seconds >= 0 ? 0 : 1);
  }
  close(fds[1]);
  Result result;
  const bool got = read(fds[0], &result.seconds, sizeof result.seconds) ==
                   static_cast<ssize_t>(sizeof result.seconds);
  close(fds[0]);
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  result.peakKiB = usage.ru_maxrss;
  result.ok = got && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return result;
}

double Since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Loads the recording; returns the seconds taken, or -1.
double TimeLoad(const std::string& wav) {
  const auto start = std::chrono::steady_clock::now();
  CWaveSource source;
  if (!source.Open(wav)) return -1;
  return Since(start);
}

// Loads, then times the decoding alone (outputs included).
double TimeDecode(const std::string& wav, const DecodeSettings& settings,
                  const std::string& title, int expectedBlocks) {
  CWaveSource source;
  source.SetChannels(settings.useLeft, settings.useRight);
  if (!source.Open(wav)) return -1;
  source.Rewind();
  source.SetStep(0.2);
  const auto start = std::chrono::steady_clock::now();
  const ConversionReport report = DecodeToFiles(title, source, settings);
  if (!report.Written()) return -1;
  const double seconds = Since(start);
  if (report.goodBlocks != expectedBlocks || report.badBlocks != 0) {
    std::fprintf(stderr, "decoded %d good and %d bad blocks, expected %d good\n",
                 report.goodBlocks, report.badBlocks, expectedBlocks);
    return -1;
  }
  return seconds;
}

double TimeCli(const std::string& cli, const std::string& wav, const std::string& folder) {
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    execl(cli.c_str(), cli.c_str(), "--method", "classic", "-q", "-o", folder.c_str(), wav.c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
  return Since(start);
}

void Print(const char* recording, const char* name, const Result& r, double frames,
           double audioSeconds, double dataMiB) {
  if (!r.ok) {
    std::printf("%-7s %-26s FAILED\n", recording, name);
    return;
  }
  const double peakMiB = static_cast<double>(r.peakKiB) / 1024.0;
  std::printf("%-7s %-26s %8.3f s %12.3g frames/s %9.0fx real time  peak %7.1f MiB"
              " (limit %.0f)\n",
              recording, name, r.seconds, frames / r.seconds, audioSeconds / r.seconds,
              peakMiB, 2 * dataMiB + 32);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 600.0;
  int repeat = 3;
  std::string only;
  std::string cli;
  std::string keep;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--seconds") && i + 1 < argc) seconds = std::atof(argv[++i]);
    else if (!std::strcmp(argv[i], "--repeat") && i + 1 < argc) repeat = std::max(1, std::atoi(argv[++i]));
    else if (!std::strcmp(argv[i], "--only") && i + 1 < argc) only = argv[++i];
    else if (!std::strcmp(argv[i], "--cli") && i + 1 < argc) cli = argv[++i];
    else if (!std::strcmp(argv[i], "--keep") && i + 1 < argc) keep = argv[++i];
    else {
      std::fprintf(stderr,
                   "usage: %s [--seconds N] [--repeat N] [--only TEXT] [--cli PATH] [--keep DIR]\n",
                   argv[0]);
      return 2;
    }
  }
  const fs::path folder = keep.empty() ? fs::temp_directory_path() / "tapedecoder-bench" : fs::path(keep);
  fs::create_directories(folder);

  // Both recordings go to disk first and are dropped from memory, so that
  // the children start small.
  int expectedBlocks = 0;
  double frames = 0.0;
  {
    const Bytes mono = TenMinuteSignal(seconds, 1, expectedBlocks);
    frames = static_cast<double>(mono.size());
    Bytes stereo(mono.size() * 2);
    for (std::size_t i = 0; i < mono.size(); ++i) {
      stereo[2 * i] = mono[i];
      stereo[2 * i + 1] = static_cast<std::uint8_t>(128 + (mono[i] - 128) / 2);
    }
    for (auto [name, bytes] : {std::pair<const char*, Bytes>{"mono.wav", WaveFile(mono, 1)},
                               {"stereo.wav", WaveFile(stereo, 2)}}) {
      std::ofstream out(folder / name, std::ios::binary);
      out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
  }
  std::printf("%.0f s of recording, %.0f frames; %d blocks expected\n", seconds, frames,
              expectedBlocks);

  // Runs one case `repeat` times unless --only names something else.
  auto run = [&](const char* recording, const std::string& name,
                 const std::function<double()>& work, double dataMiB) {
    const std::string full = std::string(recording) + " " + name;
    if (!only.empty() && full.find(only) == std::string::npos) return;
    Result best;
    for (int i = 0; i < repeat; ++i) {
      const Result r = InChild(work);
      if (!r.ok) {
        best.ok = false;
        break;
      }
      if (i == 0 || r.seconds < best.seconds) best.seconds = r.seconds;
      best.peakKiB = std::max(best.peakKiB, r.peakKiB);
      best.ok = true;
    }
    Print(recording, name.c_str(), best, frames, seconds, dataMiB);
  };

  struct Recording {
    const char* name;
    int channels;
  };
  for (const Recording rec : {Recording{"mono", 1}, Recording{"stereo", 2}}) {
    const std::string wav = (folder / (std::string(rec.name) + ".wav")).string();
    const std::string title = (folder / (std::string(rec.name) + "-out")).string();
    const double dataMiB = frames * rec.channels / (1024.0 * 1024.0);
    run(rec.name, "load", [&] { return TimeLoad(wav); }, dataMiB);
    DecodeSettings manual;
    manual.levelMode = LEVEL_MANUAL;
    manual.manualLevel = 127;
    run(rec.name, "decode manual level",
        [&] { return TimeDecode(wav, manual, title, expectedBlocks); }, dataMiB);
    for (std::int32_t window : {200, 1000, 44100}) {
      DecodeSettings automatic;
      automatic.autoPoints = window;
      const std::string name = "decode auto, window " + std::to_string(window);
      run(rec.name, name, [&] { return TimeDecode(wav, automatic, title, expectedBlocks); },
          dataMiB);
    }
    if (!cli.empty()) {
      run(rec.name, "tapedecoder-cli conversion",
          [&] { return TimeCli(cli, wav, folder.string()); }, dataMiB);
    }
  }
  if (keep.empty()) fs::remove_all(folder);
  return 0;
}
