// The workbench opening a recording as a user does: the window shown, the
// recording opened, until its decode has ended and the overview strip is
// drawn of the whole recording. Prints the time to the first picture and
// to the whole overview, and the process's peak memory.
//
//   tapedecoder-workbench-bench RECORDING [--select N] [--view START SPAN] [--hold SECONDS]
//
// --select and --view then choose a block (1-based) and a stretch to show,
// and --hold keeps the window open, for a screenshot. Without a display
// set QT_QPA_PLATFORM=offscreen.
#include <sys/resource.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTest>

#include <cstdio>
#include <cstdlib>
#include <cmath>
#include <cstring>

#include "workbench/main_window.h"
#include "workbench/wave_view.h"

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

}  // namespace

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  QApplication::setOrganizationName(QStringLiteral("tapedecoder-bench"));
  const char* recording = nullptr;
  int select = 0;
  double viewStart = -1.0, viewSpan = 0.0, hold = 0.0;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--select") && i + 1 < argc) select = std::atoi(argv[++i]);
    else if (!std::strcmp(argv[i], "--view") && i + 2 < argc) {
      viewStart = std::atof(argv[++i]);
      viewSpan = std::atof(argv[++i]);
    } else if (!std::strcmp(argv[i], "--hold") && i + 1 < argc) hold = std::atof(argv[++i]);
    else recording = argv[i];
  }
  if (recording == nullptr) {
    std::fprintf(stderr, "usage: %s RECORDING [--select N] [--view START SPAN] [--hold SECONDS]\n", argv[0]);
    return 2;
  }
  tapedecoder::MainWindow window;
  window.resize(1280, 860);
  window.show();
  QElapsedTimer clock;
  clock.start();
  if (!window.openRecording(QString::fromLocal8Bit(recording))) return 1;
  double firstPicture = -1.0;
  while (window.busy()) {
    QTest::qWait(20);
    const auto store = window.takesOpen()[0]->store();
    if (firstPicture < 0 && store && store->Samples() > 0 && window.overview()->paints() > 0)
      firstPicture = clock.elapsed() / 1000.0;
  }
  window.overview()->repaint();
  const double whole = clock.elapsed() / 1000.0;
  const auto& take = *window.takesOpen()[0];
  const auto store = take.store();
  if (!take.result().ok || !store) {
    std::printf("%s: cannot be read\n", recording);
    return 1;
  }
  std::printf("%s: %.0f s of recording at %.0f Hz, %zu blocks\n", recording, store->Seconds(), store->Rate(),
              take.result().blocks.size());
  std::printf("first picture %.2f s, whole overview drawn %.2f s (processor %.1f s), peak memory %.1f MiB "
              "(summary %.1f MiB)\n",
              firstPicture, whole, CpuSeconds(), PeakMiB(), store->SummaryBytes() / 1048576.0);
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
  if (select > 0) window.selectBlock(select - 1);
  if (viewStart >= 0) view->setView(viewStart, viewSpan);
  if (hold > 0) QTest::qWait(static_cast<int>(hold * 1000));
  return 0;
}
