// The workbench opening a recording as a user does: the window shown, the
// recording opened, until the overview strip is drawn of the whole
// recording (the summary pass, ahead of the decode). Prints the time to the
// first picture and to the whole overview, the process's peak memory, and
// the time of ten zoom steps; then cancels the decode, or with --decode
// waits for it and prints its time and the peak memory again.
//
//   tapedecoder-workbench-bench [RECORDING] [--decode] [--folder DIR]
//                               [--select N] [--view START SPAN] [--hold SECONDS]
//
// Without RECORDING it makes a two-hour 24-bit 96 kHz stereo WAV (4.1 GB)
// with sox from a synthesised ten-minute tape repeated, in DIR (default:
// the system's temporary folder), and removes it afterwards. The file is
// in the page cache then: the times are those of a recording read before.
// --select and --view choose a block (1-based) and a stretch to show, and
// --hold keeps the window open, for a screenshot (each implies --decode). Without a display set
// QT_QPA_PLATFORM=offscreen.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTest>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "tape_signal.h"
#include "workbench/main_window.h"
#include "workbench/wave_view.h"

namespace fs = std::filesystem;

namespace {

double PeakMiB() {
  struct rusage usage {};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

// Processor time of every thread so far, seconds: steadier than the wall
// clock on a loaded machine.
double CpuSeconds() {
  struct rusage usage {};
  getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

bool Sox(const std::string& arguments) {
  return std::system(("sox " + arguments + " 2>/dev/null").c_str()) == 0;
}

// The two-hour file in `folder`, from a ten-minute tape shaped like a real
// one (band limited, with hiss); empty when sox fails. The ten-minute
// files are removed at once.
fs::path MakeLongRecording(const fs::path& folder) {
  fs::create_directories(folder);
  const fs::path square = folder / "square.wav", tape = folder / "tape.wav", big = folder / "tape-2h-96k-stereo.wav";
  int blocks = 0;
  const Bytes file = WaveFile(TenMinuteSignal(600.0, 7, blocks), 1);
  std::ofstream(square, std::ios::binary)
      .write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
  const bool made = Sox("-m -v 0.5 " + square.string() + " -v 0.02 \"|sox -n -r 44100 -c 1 -p synth 600 whitenoise\" -b 16 " +
                        tape.string() + " highpass 800 lowpass 6000") &&
                    Sox(tape.string() + " -r 96000 -b 24 -c 2 " + big.string() + " repeat 11");
  fs::remove(square);
  fs::remove(tape);
  return made ? big : fs::path();
}

// MakeLongRecording in a child process, so that its buffers stay out of
// this process's peak memory.
fs::path MakeLongRecordingApart(const fs::path& folder) {
  const pid_t pid = fork();
  if (pid == 0) _exit(MakeLongRecording(folder).empty() ? 1 : 0);
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return {};
  return folder / "tape-2h-96k-stereo.wav";
}

}  // namespace

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  QApplication::setOrganizationName(QStringLiteral("tapedecoder-bench"));
  std::string recording;
  fs::path folder = fs::temp_directory_path() / "tapedecoder-workbench-bench";
  int select = 0;
  double viewStart = -1.0, viewSpan = 0.0, hold = 0.0;
  bool decode = false;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--select") && i + 1 < argc) select = std::atoi(argv[++i]);
    else if (!std::strcmp(argv[i], "--view") && i + 2 < argc) {
      viewStart = std::atof(argv[++i]);
      viewSpan = std::atof(argv[++i]);
    } else if (!std::strcmp(argv[i], "--hold") && i + 1 < argc) hold = std::atof(argv[++i]);
    else if (!std::strcmp(argv[i], "--folder") && i + 1 < argc) folder = argv[++i];
    else if (!std::strcmp(argv[i], "--decode")) decode = true;
    else recording = argv[i];
  }
  decode = decode || select > 0 || hold > 0;  // a screenshot shows the decoded tape
  bool made = false;
  if (recording.empty()) {
    std::printf("making a two-hour 24-bit 96 kHz stereo recording in %s ...\n", folder.c_str());
    std::fflush(stdout);
    recording = MakeLongRecordingApart(folder).string();
    if (recording.empty()) {
      std::fprintf(stderr, "cannot make the recording (is sox installed?)\n");
      return 1;
    }
    made = true;
  }
  // The generated file goes whatever happens after this.
  struct Remove {
    bool made;
    std::string path;
    ~Remove() {
      if (made) fs::remove(path);
    }
  } remove{made, recording};

  tapedecoder::MainWindow window;
  window.resize(1280, 860);
  window.show();
  QElapsedTimer clock;
  clock.start();
  if (!window.openRecording(QString::fromLocal8Bit(recording.c_str()))) return 1;
  double firstPicture = -1.0, overview = -1.0;
  int paintsWhenWhole = -1;
  while (overview < 0) {
    QTest::qWait(10);
    const auto store = window.takesOpen()[0]->store();
    const int paints = window.overview()->paints();
    if (firstPicture < 0 && store && store->Samples() > 0 && paints > 0) firstPicture = clock.elapsed() / 1000.0;
    if (paintsWhenWhole < 0 && store && store->Finished()) paintsWhenWhole = paints;
    if (paintsWhenWhole >= 0 && paints > paintsWhenWhole) overview = clock.elapsed() / 1000.0;
    if (!window.busy() && overview < 0 && (!store || !store->Finished())) {
      std::printf("%s: cannot be read\n", recording.c_str());
      return 1;
    }
  }
  const auto store = window.takesOpen()[0]->store();
  std::printf("%s: %.0f s of recording at %.0f Hz (%s)\n", recording.c_str(), store->Seconds(), store->Rate(),
              store->Spills() ? "spilled" : "read back from the recording");
  std::printf("first picture %.2f s, whole overview drawn %.2f s (processor %.1f s), peak memory %.1f MiB "
              "(summary %.1f MiB)\n",
              firstPicture, overview, CpuSeconds(), PeakMiB(), store->SummaryBytes() / 1048576.0);
  // Zooming: the wave drawn at ten zooms from the whole to single samples.
  QElapsedTimer zoom;
  zoom.start();
  tapedecoder::WaveView* view = window.waveView();
  view->zoomAll();
  for (int i = 0; i < 10; ++i) {
    view->zoomBy(std::pow(view->totalSeconds() / view->minimumSpan(), 0.1), view->totalSeconds() / 2);
    view->repaint();
  }
  std::printf("ten zoom steps to single samples drawn in %.3f s\n", zoom.elapsed() / 1000.0);
  std::fflush(stdout);
  if (!decode) window.cancelDecode();
  while (window.busy()) QTest::qWait(20);
  const auto& take = *window.takesOpen()[0];
  if (decode)
    std::printf("decoded in %.1f s (processor %.1f s): %zu blocks, peak memory %.1f MiB\n", clock.elapsed() / 1000.0,
                CpuSeconds(), take.result().blocks.size(), PeakMiB());
  std::fflush(stdout);
  if (select > 0) window.selectBlock(select - 1);
  if (viewStart >= 0) view->setView(viewStart, viewSpan);
  if (hold > 0) QTest::qWait(static_cast<int>(hold * 1000));
  return 0;
}
