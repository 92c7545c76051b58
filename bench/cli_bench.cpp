// Whole conversions by tapedecoder-cli with the robust method, as a user
// runs them: a ten-minute 16-bit 44.1 kHz mono recording shaped like a real
// tape (differentiated, noisy), and a two-hour 24-bit 96 kHz stereo file of
// about 4 GB. Prints the time, the multiple of real time and the peak
// memory of the converter's process, writing the .tap alone, the TZX alone
// and every format (tap, tzx, pzx, csw), and how much longer the others take.
//
//   tapedecoder-cli-bench --cli PATH [--folder DIR] [--skip-long] [--realtime]
//   tapedecoder-cli-bench --cli PATH [--folder DIR] --threads [--times N] [--realtime]
//
// With --threads it prints what every core brings instead (best of N
// runs, default 3): the ten-minute file as WAV and FLAC and with -j 1, a
// stereo copy with --channels auto against the mono file, and a batch of
// eight copies of the file with -j 1 and -j 2.
//
// On a machine busy with other work the wall clock measures the share of
// the cores a run is given more than the run itself (a run of more threads
// is given more). --realtime runs the converter at the lowest real-time
// priority, ahead of ordinary processes, as on an idle machine (it needs
// the right to, root's; without it the bench says so and goes on).
//
// The recordings are made with sox from a synthesised tape and kept in the
// folder (default: the system's temporary folder) for later runs.
#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "tape_signal.h"

namespace fs = std::filesystem;

namespace {

struct Run {
  double seconds = 0.0;
  double cpuSeconds = 0.0;  // user and system: steadier than the wall clock on a busy machine
  double peakMiB = 0.0;
  bool ok = false;
};

// Runs the converter on `recordings` with `options` before them.
Run Convert(const std::string& cli, const std::vector<std::string>& options,
            const std::vector<fs::path>& recordings, const fs::path& folder) {
  std::vector<std::string> words = {cli, "-q", "-o", folder.string()};
  words.insert(words.end(), options.begin(), options.end());
  for (const fs::path& recording : recordings) words.push_back(recording.string());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    execv(cli.c_str(), argv.data());
    _exit(127);
  }
  int status = 0;
  struct rusage usage {};
  wait4(pid, &status, 0, &usage);
  Run run;
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.peakMiB = static_cast<double>(usage.ru_maxrss) / 1024.0;
  run.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                   static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  // Written: every block good (0), or some block bad (3) -- the hiss may
  // spoil one, and the time is what is measured here.
  run.ok = WIFEXITED(status) && (WEXITSTATUS(status) == 0 || WEXITSTATUS(status) == 3);
  return run;
}

Run Convert(const std::string& cli, const fs::path& recording, const fs::path& folder,
            const char* formats) {
  return Convert(cli, {"--format", formats}, {recording}, folder);
}

// The best of `times` runs: the least wall and processor time, the most memory.
Run Best(int times, const std::function<Run()>& run) {
  Run best;
  for (int i = 0; i < times; ++i) {
    const Run r = run();
    if (!r.ok) return r;
    if (i == 0 || r.seconds < best.seconds) best.seconds = r.seconds;
    if (i == 0 || r.cpuSeconds < best.cpuSeconds) best.cpuSeconds = r.cpuSeconds;
    best.peakMiB = std::max(best.peakMiB, r.peakMiB);
    best.ok = true;
  }
  return best;
}

void PrintRun(const char* name, const Run& run, double audioSeconds) {
  if (!run.ok) {
    std::printf("%-40s FAILED\n", name);
    return;
  }
  std::printf("%-40s %7.3f s (cpu %7.3f s) %7.0fx real time  peak %6.1f MiB\n", name, run.seconds,
              run.cpuSeconds, audioSeconds / run.seconds, run.peakMiB);
  std::fflush(stdout);
}

bool Sox(const std::string& arguments);

// Every core: the 10-minute file as WAV and FLAC, a stereo copy with the
// channels at different levels (--channels auto: the mix and both
// channels) against the mono file, and a batch of eight copies of it with
// -j 1 and -j 2.
void ThreadFigures(const std::string& cli, const fs::path& folder, const fs::path& tape, int times) {
  const fs::path flac = folder / "tape-10min-16bit.flac";
  const fs::path stereo = folder / "tape-10min-16bit-stereo.wav";
  if (!fs::exists(flac)) Sox(tape.string() + " " + flac.string());
  if (!fs::exists(stereo))
    Sox("-M " + tape.string() + " " + tape.string() + " " + stereo.string() + " remix 1v0.9 2v0.8");
  // Eight names of the one recording, each its own outputs.
  std::vector<fs::path> batch;
  for (int i = 0; i < 8; ++i) {
    batch.push_back(folder / ("batch-" + std::to_string(i) + ".wav"));
    std::error_code error;
    if (!fs::exists(batch.back())) fs::create_symlink(tape.filename(), batch.back(), error);
  }
  const fs::path out = folder / "out";
  fs::create_directories(out);
  const auto run = [&](const std::vector<std::string>& options, const std::vector<fs::path>& files) {
    return Best(times, [&] { return Convert(cli, options, files, out); });
  };
  const Run wav = run({}, {tape});
  PrintRun("WAV 16-bit mono", wav, 600.0);
  PrintRun("WAV 16-bit mono, -j 1 (one thread)", run({"-j", "1"}, {tape}), 600.0);
  PrintRun("FLAC 16-bit mono", run({}, {flac}), 600.0);
  const Run automatic = run({"--channels", "auto"}, {stereo});
  PrintRun("WAV stereo, --channels auto", automatic, 600.0);
  if (wav.ok && automatic.ok)
    std::printf("%-40s %7.2fx the mono time\n", "stereo auto against mono", automatic.seconds / wav.seconds);
  const Run one = run({"-j", "1"}, batch);
  const Run two = run({"-j", "2"}, batch);
  PrintRun("8 recordings, -j 1", one, 4800.0);
  PrintRun("8 recordings, -j 2", two, 4800.0);
  if (one.ok && two.ok) std::printf("%-40s %7.2fx faster\n", "-j 2 against -j 1", one.seconds / two.seconds);
}

bool Sox(const std::string& arguments) {
  return std::system(("sox " + arguments + " 2>/dev/null").c_str()) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string cli;
  fs::path folder = fs::temp_directory_path() / "tapedecoder-cli-bench";
  bool skipLong = false;
  bool threads = false;
  int times = 3;
  bool realtime = false;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--cli") && i + 1 < argc) cli = argv[++i];
    else if (!std::strcmp(argv[i], "--folder") && i + 1 < argc) folder = argv[++i];
    else if (!std::strcmp(argv[i], "--skip-long")) skipLong = true;
    else if (!std::strcmp(argv[i], "--threads")) threads = true;
    else if (!std::strcmp(argv[i], "--times") && i + 1 < argc) times = std::max(1, std::atoi(argv[++i]));
    else if (!std::strcmp(argv[i], "--realtime")) realtime = true;
    else cli.clear(), i = argc;
  }
  if (cli.empty()) {
    std::fprintf(stderr, "usage: %s --cli PATH [--folder DIR] [--skip-long] [--threads [--times N]] [--realtime]\n",
                 argv[0]);
    return 2;
  }
  if (realtime) {
    // The converters it starts inherit the policy; sox's recordings too.
    sched_param priority{};
    priority.sched_priority = 1;
    if (sched_setscheduler(0, SCHED_FIFO, &priority) != 0)
      std::printf("real-time priority refused (%s): the figures depend on the machine's other work\n",
                  std::strerror(errno));
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

  if (threads) {
    ThreadFigures(cli, folder, tape, times);
    return 0;
  }
  struct Case {
    const char* name;
    fs::path file;
    double audioSeconds;
  } cases[] = {{"10 min, 16-bit 44.1 kHz mono", tape, 600.0},
               {"2 h, 24-bit 96 kHz stereo", big, 7200.0}};
  for (const Case& c : cases) {
    if (!fs::exists(c.file) || (skipLong && c.audioSeconds > 1000.0)) continue;
    double tapSeconds = 0.0, tapCpu = 0.0;
    for (const char* formats : {"tap", "tzx", "tap,tzx,pzx,csw"}) {
      Run best;
      for (int i = 0; i < 3; ++i) {
        const Run run = Convert(cli, c.file, folder, formats);
        if (!run.ok) {
          best.ok = false;
          break;
        }
        if (i == 0 || run.seconds < best.seconds) best.seconds = run.seconds;
        if (i == 0 || run.cpuSeconds < best.cpuSeconds) best.cpuSeconds = run.cpuSeconds;
        best.peakMiB = std::max(best.peakMiB, run.peakMiB);
        best.ok = true;
        if (c.audioSeconds > 1000.0) break;  // once is enough for the long file
      }
      if (!best.ok) {
        std::printf("%-32s %-16s FAILED\n", c.name, formats);
        continue;
      }
      std::printf("%-32s %-16s %8.3f s (cpu %8.3f s) %8.0fx real time  peak %6.1f MiB", c.name,
                  formats, best.seconds, best.cpuSeconds, c.audioSeconds / best.seconds, best.peakMiB);
      if (tapSeconds > 0.0) {
        std::printf("  %.2fx the tap-only time (cpu %.2fx)", best.seconds / tapSeconds,
                    best.cpuSeconds / tapCpu);
      } else {
        tapSeconds = best.seconds;
        tapCpu = best.cpuSeconds;
      }
      std::printf("\n");
      std::fflush(stdout);
    }
  }
  return 0;
}
