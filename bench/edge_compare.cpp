// How closely one recording's edges follow another's: a tape recording
// against the replay of its image (`tape2wav` of the TZX or PZX). Prints
// the distance from every edge of the recording to the replay's nearest
// edge (largest, median, 99th percentile, how many lie over 50 us and
// over half the shortest pulse), the playing times and their ratio, and
// the sound (everything but gaps of 10 ms or more) of each.
//
// usage: tapedecoder-edge-compare RECORDING REPLAY [WORST]
//   REPLAY: a sound file, or a .tzx/.pzx image played exactly (every
//   edge at its T-state, as libspectrum gives it: a player's own
//   rounding, e.g. tape2wav's whole 79 T-states a sample at 44100 Hz,
//   left out).
//   WORST: also list that many of the worst edges, with their times.
//   EDGE_SKIP_ROM=1 (image replays only): leaves out the recording's
//   edges from the pause before each standard-speed record (TZX 0x10, PZX
//   data at 855/1710 T) to the
//   pause after it. A recording made by a tool that lengthens every pulse
//   to whole samples runs ROM blocks up to 2.5 % slow, and the image keeps
//   them at the ROM's timing on purpose, so their edges say nothing of how
//   the image follows the rest of the tape.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include <fstream>
#include <iterator>

#include <libspectrum.h>

#include "audio/sample_source.h"

namespace {

using tapedecoder::CSampleSource;
using tapedecoder::Failure;

struct Edges {
  std::vector<double> times;  // seconds
  double seconds = 0.0;       // the recording's length
  std::vector<bool> rom;      // image replays: the edge is a standard-speed record's
};

// Stretches of the recording (seconds) whose edges EDGE_SKIP_ROM leaves
// out: around each run of the replay's edges with no gap of 2 ms or more
// that holds a ROM record's edge, from the last edge before it to the
// first after it.
std::vector<std::pair<double, double>> RomStretches(const Edges& replay) {
  std::vector<std::pair<double, double>> out;
  const std::vector<double>& t = replay.times;
  for (std::size_t from = 0; from < t.size();) {
    std::size_t to = from + 1;
    while (to < t.size() && t[to] - t[to - 1] < 0.002) ++to;
    bool rom = false;
    // (the run's first edge ends the pause, which belongs to the record before)
    for (std::size_t k = from + 1; k < to && !rom; ++k) rom = replay.rom[k];
    if (rom) out.emplace_back(from > 0 ? t[from - 1] : -1.0, to < t.size() ? t[to] : 1e300);
    from = to;
  }
  return out;
}

// Edges where the first channel crosses zero, with hysteresis of a tenth
// of the loudest sample so that hiss and a quiet pause make none; each at
// the zero crossing between the two samples around it.
bool ReadEdges(const std::string& path, Edges& out) {
  Failure error;
  std::unique_ptr<CSampleSource> source = tapedecoder::OpenSampleSource(path, error);
  if (!source) {
    std::fprintf(stderr, "%s: cannot open\n", path.c_str());
    return false;
  }
  const int channels = std::max(1, source->Info().channels);
  std::vector<float> samples;
  std::vector<float> frames(65536 * static_cast<std::size_t>(channels));
  for (;;) {
    const std::size_t got = source->Read(frames.data(), 65536);
    if (got == 0) break;
    for (std::size_t k = 0; k < got; ++k) samples.push_back(frames[k * static_cast<std::size_t>(channels)]);
  }
  float peak = 0.0f;
  for (float s : samples) peak = std::max(peak, std::fabs(s));
  const float hysteresis = 0.1f * peak;
  const double rate = source->Rate();
  int level = 0;  // -1 low, 1 high, 0 not yet known
  for (std::size_t k = 0; k < samples.size(); ++k) {
    const int now = samples[k] > hysteresis ? 1 : samples[k] < -hysteresis ? -1 : level;
    if (now != level && level != 0) {
      // The crossing: back from `k` to the last sample still on the old
      // side of zero, and between it and the next.
      std::size_t b = k;
      while (b > 1 && (samples[b - 1] > 0.0f) == (now > 0)) --b;
      const double fa = samples[b - 1], fb = samples[b];
      const double frac = fa != fb ? fa / (fa - fb) : 0.5;
      out.times.push_back((static_cast<double>(b - 1) + std::clamp(frac, 0.0, 1.0)) / rate);
    }
    level = now;
  }
  out.seconds = static_cast<double>(samples.size()) / rate;
  return true;
}

// The edges of an image played through libspectrum, at their exact times.
bool PlayImage(const std::string& path, Edges& out) {
  std::ifstream file(path, std::ios::binary);
  const std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  libspectrum_init();
  libspectrum_tape* tape = libspectrum_tape_alloc();
  if (libspectrum_tape_read(tape, bytes.data(), bytes.size(), LIBSPECTRUM_ID_UNKNOWN, path.c_str()) !=
      LIBSPECTRUM_ERROR_NONE) {
    std::fprintf(stderr, "%s: libspectrum cannot read it\n", path.c_str());
    return false;
  }
  double t = 0.0;
  for (;;) {
    libspectrum_dword tstates = 0;
    int flags = 0;
    libspectrum_tape_block* block = libspectrum_tape_current_block(tape);
    // A standard-speed record: TZX 0x10, or PZX data at the ROM's bits.
    const int type = block ? libspectrum_tape_block_type(block) : -1;
    const bool rom = type == LIBSPECTRUM_TAPE_BLOCK_ROM ||
                     (type == LIBSPECTRUM_TAPE_BLOCK_DATA_BLOCK && libspectrum_tape_block_bit0_pulses(block, 0) == 855 &&
                      libspectrum_tape_block_bit1_pulses(block, 0) == 1710);
    if (libspectrum_tape_get_next_edge(&tstates, &flags, tape) != LIBSPECTRUM_ERROR_NONE) break;
    t += tstates;
    if (!(flags & LIBSPECTRUM_TAPE_FLAGS_NO_EDGE) && tstates > 0) {
      out.times.push_back(t / 3500000.0);
      out.rom.push_back(rom);
    }
    if (flags & LIBSPECTRUM_TAPE_FLAGS_TAPE) break;
  }
  out.seconds = t / 3500000.0;
  libspectrum_tape_free(tape);
  return true;
}

bool IsImage(const std::string& path) {
  const std::string ext = path.size() > 4 ? path.substr(path.size() - 4) : "";
  return ext == ".tzx" || ext == ".pzx";
}

// Time between edges, gaps of 10 ms or more left out: what plays.
double Sound(const std::vector<double>& times) {
  double total = 0.0;
  for (std::size_t k = 1; k < times.size(); ++k) {
    const double gap = times[k] - times[k - 1];
    if (gap < 0.010) total += gap;
  }
  return total;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s RECORDING REPLAY [WORST]\n", argv[0]);
    return 2;
  }
  Edges recording, replay;
  if (!ReadEdges(argv[1], recording) || !(IsImage(argv[2]) ? PlayImage(argv[2], replay) : ReadEdges(argv[2], replay))) return 1;
  if (recording.times.empty() || replay.times.empty()) {
    std::fprintf(stderr, "no edges\n");
    return 1;
  }
  struct Miss {
    double error;
    double at;
  };
  std::vector<std::pair<double, double>> skip;
  if (std::getenv("EDGE_SKIP_ROM") && !replay.rom.empty()) skip = RomStretches(replay);
  std::size_t skipped = 0;
  std::vector<Miss> misses;
  for (double t : recording.times) {
    // (the stretches are few: a linear look is fast enough for a bench)
    bool out = false;
    for (const auto& [a, b] : skip) out = out || (t > a && t < b);
    if (out) {
      ++skipped;
      continue;
    }
    const auto it = std::lower_bound(replay.times.begin(), replay.times.end(), t);
    double best = HUGE_VAL;
    if (it != replay.times.end()) best = *it - t;
    if (it != replay.times.begin() && t - *(it - 1) < std::fabs(best)) best = *(it - 1) - t;
    misses.push_back({best, t});
  }
  std::vector<double> sizes;
  for (const Miss& m : misses) sizes.push_back(std::fabs(m.error) * 1e6);
  std::vector<double> sorted = sizes;
  std::sort(sorted.begin(), sorted.end());
  const std::size_t over50 = static_cast<std::size_t>(
      sorted.end() - std::upper_bound(sorted.begin(), sorted.end(), 50.0));
  const std::size_t over120 = static_cast<std::size_t>(
      sorted.end() - std::upper_bound(sorted.begin(), sorted.end(), 120.0));
  std::printf("edges: recording %zu, replay %zu, left out around ROM records %zu\n", recording.times.size(),
              replay.times.size(), skipped);
  if (sizes.empty()) return 0;
  std::printf("edge error us: max %.1f  median %.1f  p99 %.1f  over 50: %zu  over 120: %zu\n",
              sorted.back(), sorted[sorted.size() / 2], sorted[sorted.size() * 99 / 100], over50, over120);
  std::printf("playing time: recording %.4f s, replay %.4f s, ratio %.5f\n", recording.seconds,
              replay.seconds, replay.seconds / recording.seconds);
  const double soundA = Sound(recording.times), soundB = Sound(replay.times);
  std::printf("sound: recording %.4f s, replay %.4f s, ratio %.5f\n", soundA, soundB, soundB / soundA);
  // EDGE_TRACE=SECONDS: the largest error of each stretch that long.
  if (const char* trace = std::getenv("EDGE_TRACE")) {
    const double step = std::max(0.001, std::atof(trace));
    double worst = 0.0, until = step;
    for (const Miss& m : misses) {
      while (m.at >= until) {
        std::printf("  %8.3f s: %+.1f us\n", until - step, worst * 1e6);
        worst = 0.0;
        until += step;
      }
      if (std::fabs(m.error) > std::fabs(worst)) worst = m.error;
    }
  }
  if (argc > 3) {
    const std::size_t worst = std::min<std::size_t>(std::strtoul(argv[3], nullptr, 10), misses.size());
    std::vector<Miss> order = misses;
    std::partial_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(worst), order.end(),
                      [](const Miss& a, const Miss& b) { return std::fabs(a.error) > std::fabs(b.error); });
    for (std::size_t k = 0; k < worst; ++k)
      std::printf("  at %.6f s: %+.1f us\n", order[k].at, order[k].error * 1e6);
  }
  return 0;
}
