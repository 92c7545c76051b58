// Edges found in square waves at several rates, with DC offsets, after
// high-passing, in silence, and fed in pieces of any size.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "tape/tape_block.h"
#include "tapefile/edge_extractor.h"

namespace {

using tapedecoder::Edge;
using tapedecoder::EdgeExtractor;
using tapedecoder::TSTATES_PER_SECOND;

// Edge times (T-states) of a pulse train: 300 ms of silence, a pilot, a
// sync, bits, 200 ms at a held level, another tone, silence.
std::vector<double> TrainEdges() {
  std::vector<double> edges;
  double t = 0.3 * TSTATES_PER_SECOND;
  auto pulses = [&](double length, int count) {
    for (int k = 0; k < count; ++k) {
      edges.push_back(t);
      t += length;
    }
  };
  pulses(2168, 400);
  pulses(667, 1);
  pulses(735, 1);
  for (int bit = 0; bit < 64; ++bit) pulses(bit % 3 ? 855 : 1710, 2);
  edges.push_back(t);
  t += 0.2 * TSTATES_PER_SECOND;
  pulses(1200, 50);
  edges.push_back(t);
  return edges;
}

// The train as samples: levels offset +- amplitude, starting in digital
// silence (0); each sample the average level over its span (a band-limited
// edge keeps its time between the samples).
std::vector<float> Sampled(const std::vector<double>& edges, double rate, double offset,
                           double amplitude) {
  const double perSample = TSTATES_PER_SECOND / rate;
  const auto count = static_cast<std::size_t>((edges.back() + 0.2 * TSTATES_PER_SECOND) / perSample);
  std::vector<float> out(count);
  std::size_t next = 0;
  double level = 0.0;
  for (std::size_t i = 0; i < count; ++i) {
    const double start = static_cast<double>(i) * perSample, end = start + perSample;
    double acc = 0.0, at = start;
    while (next < edges.size() && edges[next] < end) {
      acc += level * (edges[next] - at);
      at = edges[next];
      level = (next % 2 == 0) ? offset + amplitude : offset - amplitude;
      ++next;
    }
    acc += level * (end - at);
    out[i] = static_cast<float>(acc / perSample);
  }
  return out;
}

// A one-pole high-pass at `cutoff` Hz, as a differentiating tape chain.
std::vector<float> HighPassed(const std::vector<float>& in, double rate, double cutoff) {
  const double rc = 1.0 / (2.0 * M_PI * cutoff), dt = 1.0 / rate, a = rc / (rc + dt);
  std::vector<float> out(in.size());
  double y = 0.0, previous = 0.0;
  for (std::size_t i = 0; i < in.size(); ++i) {
    y = a * (y + in[i] - previous);
    previous = in[i];
    out[i] = static_cast<float>(y);
  }
  return out;
}

std::vector<Edge> Extract(const std::vector<float>& samples, double rate, std::size_t piece) {
  EdgeExtractor extractor(rate);
  for (std::size_t at = 0; at < samples.size(); at += piece)
    extractor.Feed(samples.data() + at, std::min(piece, samples.size() - at));
  extractor.Finish();
  return extractor.TakeEdges();
}

struct EdgeCase {
  const char* name;
  double rate;
  double offset;
  double amplitude;
  double highPass;   // cutoff in Hz, 0 for none
  double tolerance;  // T-states (1 sample at 44.1 kHz is 79), relative to the first edge
};

TEST(EdgeExtractor, FindsEveryEdgeAtItsTime) {
  const EdgeCase cases[] = {
      {"44.1 kHz", 44100, 0.0, 0.8, 0, 45},
      {"48 kHz quiet", 48000, 0.0, 0.05, 0, 40},
      {"22.05 kHz", 22050, 0.0, 0.8, 0, 90},
      {"96 kHz with DC offset", 96000, 0.1, 0.5, 0, 30},
      {"44.1 kHz high-passed at 800 Hz", 44100, 0.0, 0.4, 800, 45},
      {"48 kHz high-passed at 2 kHz", 48000, 0.0, 0.4, 2000, 45},
  };
  const std::vector<double> truth = TrainEdges();
  for (const EdgeCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<float> samples = Sampled(truth, c.rate, c.offset, c.amplitude);
    if (c.highPass > 0) samples = HighPassed(samples, c.rate, c.highPass);
    const std::vector<Edge> edges = Extract(samples, c.rate, 1000);
    ASSERT_EQ(edges.size(), truth.size());
    // A constant delay is no error: compare against the first edge.
    double worst = 0.0;
    for (std::size_t k = 0; k < edges.size(); ++k) {
      worst = std::max(worst, std::fabs((edges[k].tstates - edges[0].tstates) - (truth[k] - truth[0])));
      EXPECT_EQ(edges[k].rising, k % 2 == 0) << k;
    }
    EXPECT_LE(worst, c.tolerance);
  }
}

TEST(EdgeExtractor, SilenceAndHissGiveNoEdges) {
  unsigned x = 1;
  auto hiss = [&x](float level) {
    return level * (static_cast<float>((x = x * 1664525u + 1013904223u) >> 8) / 16777216.0f - 0.5f);
  };
  // Silence, then hiss below the floor: nothing.
  std::vector<float> samples(44100, 0.0f);
  EXPECT_TRUE(Extract(samples, 44100, 512).empty());
  for (float& s : samples) s = hiss(0.008f);
  EXPECT_TRUE(Extract(samples, 44100, 512).empty());
  // A tone, then 3 s of hiss above the floor but far below the tone.
  samples = Sampled({4410.0, 6578.0, 8746.0, 10914.0, 13082.0}, 44100, 0.0, 0.5);
  for (int k = 0; k < 3 * 44100; ++k) samples.push_back(hiss(0.06f));
  EXPECT_EQ(Extract(samples, 44100, 512).size(), 5u);
}

TEST(EdgeExtractor, FollowsABlockFiveTimesQuieterThanTheOneBefore) {
  std::vector<double> loud, quiet;
  for (int k = 0; k < 2000; ++k) loud.push_back(1000.0 + 2168.0 * k);
  for (int k = 0; k < 2000; ++k) quiet.push_back(2168.0 * k);
  std::vector<float> samples = Sampled(loud, 44100, 0.0, 0.5);
  const std::vector<float> tail = Sampled(quiet, 44100, 0.0, 0.1);
  samples.insert(samples.end(), tail.begin(), tail.end());
  const std::vector<Edge> edges = Extract(samples, 44100, 512);
  // All the loud edges; the quiet ones from within 0.4 s (650 pulses) on.
  EXPECT_GT(edges.size(), loud.size() + quiet.size() - 650);
  EXPECT_LE(edges.size(), loud.size() + quiet.size() + 2);
}

TEST(EdgeExtractor, PiecesOfAnySizeGiveTheSameEdges) {
  const std::vector<float> samples = Sampled(TrainEdges(), 44100, 0.0, 0.5);
  const std::vector<Edge> whole = Extract(samples, 44100, samples.size());
  for (std::size_t piece : {1u, 7u, 4096u}) {
    const std::vector<Edge> cut = Extract(samples, 44100, piece);
    ASSERT_EQ(cut.size(), whole.size()) << piece;
    for (std::size_t k = 0; k < cut.size(); ++k) EXPECT_EQ(cut[k].tstates, whole[k].tstates);
  }
}

}  // namespace
