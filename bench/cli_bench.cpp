// Whole conversions by tapedecoder-cli with the robust method, as a user
// runs them: a ten-minute 16-bit 44.1 kHz mono recording shaped like a real
// tape (differentiated, noisy), and a two-hour 24-bit 96 kHz stereo file of
// about 4 GB. Prints the time, the multiple of real time and the peak
// memory of the converter's process.
//
//   tapedecoder-cli-bench --cli PATH [--folder DIR] [--skip-long]
//
// The recordings are made with sox from a synthesised tape and kept in the
// folder (default: the system's temporary folder) for later runs.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "tape_signal.h"

namespace fs = std::filesystem;

namespace {

struct Run {
  double seconds = 0.0;
  double peakMiB = 0.0;
  bool ok = false;
};

Run Convert(const std::string& cli, const fs::path& recording, const fs::path& folder) {
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    execl(cli.c_str(), cli.c_str(), "-q", "-o", folder.c_str(), recording.c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  struct rusage usage {};
  wait4(pid, &status, 0, &usage);
  Run run;
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.peakMiB = static_cast<double>(usage.ru_maxrss) / 1024.0;
  // Written: every block good (0), or some block bad (3) -- the hiss may
  // spoil one, and the time is what is measured here.
  run.ok = WIFEXITED(status) && (WEXITSTATUS(status) == 0 || WEXITSTATUS(status) == 3);
  return run;
}

bool Sox(const std::string& arguments) {
  return std::system(("sox " + arguments + " 2>/dev/null").c_str()) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string cli;
  fs::path folder = fs::temp_directory_path() / "tapedecoder-cli-bench";
  bool skipLong = false;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--cli") && i + 1 < argc) cli = argv[++i];
    else if (!std::strcmp(argv[i], "--folder") && i + 1 < argc) folder = argv[++i];
    else if (!std::strcmp(argv[i], "--skip-long")) skipLong = true;
    else cli.clear(), i = argc;
  }
  if (cli.empty()) {
    std::fprintf(stderr, "usage: %s --cli PATH [--folder DIR] [--skip-long]\n", argv[0]);
    return 2;
  }
  fs::create_directories(folder);
  const fs::path square = folder / "square.wav";
  const fs::path tape = folder / "tape-10min-16bit.wav";
  const fs::path big = folder / "tape-2h-24bit-96k-stereo.wav";
  int blocks = 0;
  if (!fs::exists(square)) {
    const Bytes samples = TenMinuteSignal(600.0, 7, blocks);
    const Bytes file = WaveFile(samples, 1);
    std::ofstream(square, std::ios::binary)
        .write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
  }
  // The tape path: a high-pass that differentiates, band limits, hiss.
  if (!fs::exists(tape) &&
      !Sox("-m -v 0.8 " + square.string() + " -v 0.02 -n -b 16 " + tape.string() +
           " synth 600 whitenoise highpass 800 lowpass 6000"))
    Sox(square.string() + " -b 16 " + tape.string() + " highpass 800 lowpass 6000");
  if (!skipLong && !fs::exists(big))
    Sox(tape.string() + " -r 96000 -b 24 -c 2 " + big.string() + " repeat 11");

  struct Case {
    const char* name;
    fs::path file;
    double audioSeconds;
  } cases[] = {{"10 min, 16-bit 44.1 kHz mono", tape, 600.0},
               {"2 h, 24-bit 96 kHz stereo", big, 7200.0}};
  for (const Case& c : cases) {
    if (!fs::exists(c.file) || (skipLong && c.audioSeconds > 1000.0)) continue;
    Run best;
    for (int i = 0; i < 3; ++i) {
      const Run run = Convert(cli, c.file, folder);
      if (!run.ok) {
        best.ok = false;
        break;
      }
      if (i == 0 || run.seconds < best.seconds) best.seconds = run.seconds;
      best.peakMiB = std::max(best.peakMiB, run.peakMiB);
      best.ok = true;
      if (c.audioSeconds > 1000.0) break;  // once is enough for the long file
    }
    if (!best.ok) {
      std::printf("%-32s FAILED\n", c.name);
      continue;
    }
    std::printf("%-32s %8.3f s %8.0fx real time  peak %6.1f MiB\n", c.name, best.seconds,
                c.audioSeconds / best.seconds, best.peakMiB);
    std::fflush(stdout);
  }
  return 0;
}
