// The mono streams made from interleaved frames: the mix keeps an inverted
// channel, leaves out a dead one, removes offsets, and loses no samples
// while it holds frames back to decide.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <vector>

#include "audio/channel_mixer.h"

namespace {

using namespace tapedecoder;

constexpr double RATE = 44100.0;
constexpr double PI = 3.14159265358979323846;

using Channel = std::function<double(std::size_t)>;

double Tone(std::size_t i) { return 0.5 * std::sin(2.0 * PI * 1000.0 * static_cast<double>(i) / RATE); }

std::vector<float> Interleave(const std::vector<Channel>& channels, std::size_t frames) {
  std::vector<float> out;
  for (std::size_t f = 0; f < frames; ++f)
    for (const Channel& c : channels) out.push_back(static_cast<float>(c(f)));
  return out;
}

// Pushes the frames in uneven pieces and returns each stream.
std::vector<std::vector<float>> MixAll(CChannelMixer& mixer, const std::vector<float>& frames, int channels,
                                       const std::vector<ChannelChoice>& choices, bool dropChannels = false) {
  EXPECT_TRUE(mixer.Start(channels, RATE, choices));
  if (dropChannels) mixer.DropChannelsWhenCoherent();
  std::vector<std::vector<float>> out(choices.size());
  const std::size_t total = frames.size() / static_cast<std::size_t>(channels);
  std::size_t done = 0;
  for (std::size_t piece = 1; done < total; piece = piece * 3 + 7) {
    const std::size_t n = std::min(piece, total - done);
    done += mixer.Push(frames.data() + done * static_cast<std::size_t>(channels), n, out);
    while (mixer.Drain(out, piece) > 0) {
    }
  }
  mixer.Finish();
  while (mixer.Drain(out, 1000) > 0) {
  }
  return out;
}

double Rms(const std::vector<float>& v, std::size_t from) {
  double sum = 0.0;
  for (std::size_t i = from; i < v.size(); ++i) sum += static_cast<double>(v[i]) * v[i];
  return std::sqrt(sum / static_cast<double>(v.size() - from));
}

TEST(ChannelMixer, MixAlignsLiveChannelsAndLeavesOutDeadOnes) {
  const double toneRms = 0.5 / std::sqrt(2.0);
  const Channel tone = Tone;
  const Channel inverted = [](std::size_t i) { return -0.8 * Tone(i); };
  const Channel hiss = [](std::size_t i) { return 1e-4 * std::sin(static_cast<double>(i) * 1.7); };
  const Channel offset = [](std::size_t i) { return 0.3 + Tone(i); };
  const Channel other = [](std::size_t i) { return Tone(i * 3 / 2); };  // 1.5 kHz
  struct Row {
    const char* name;
    std::vector<Channel> channels;
    std::vector<int> weights;
    double mixRms;
    bool coherent;  // every live channel follows the strongest
  } rows[] = {
      {"in phase", {tone, tone}, {1, 1}, toneRms, true},
      {"right inverted", {tone, inverted}, {1, -1}, 0.9 * toneRms, true},
      {"left inverted, right stronger", {inverted, offset}, {-1, 1}, 0.9 * toneRms, true},
      {"dead right", {tone, hiss}, {1, 0}, toneRms, true},
      {"dead left", {hiss, inverted}, {0, 1}, 0.8 * toneRms, true},
      {"offset removed", {offset, tone}, {1, 1}, toneRms, true},
      {"three channels", {tone, hiss, inverted}, {1, 0, -1}, 0.9 * toneRms, true},
      {"different signals", {tone, other}, {-1, 1}, std::sqrt(2.0) / 2.0 * toneRms, false},
      {"all silent", {[](std::size_t) { return 0.0; }, [](std::size_t) { return 0.0; }}, {1, 1}, 0.0, false},
  };
  const std::size_t frames = 2 * static_cast<std::size_t>(RATE);
  for (const Row& row : rows) {
    const int n = static_cast<int>(row.channels.size());
    CChannelMixer mixer;
    const auto out = MixAll(mixer, Interleave(row.channels, frames), n,
                         {ChannelChoice::LEFT, ChannelChoice::RIGHT, ChannelChoice::MIX});
    EXPECT_TRUE(mixer.Decided()) << row.name;
    EXPECT_EQ(mixer.Weights(), row.weights) << row.name;
    EXPECT_EQ(mixer.Coherent(), row.coherent) << row.name;
    for (const auto& stream : out) ASSERT_EQ(stream.size(), frames) << row.name;
    EXPECT_NEAR(Rms(out[2], frames / 2), row.mixRms, 0.01) << row.name;
    EXPECT_FLOAT_EQ(out[0][1234], static_cast<float>(row.channels[0](1234))) << row.name;
    EXPECT_FLOAT_EQ(out[1][1234], static_cast<float>(row.channels[1](1234))) << row.name;
    // Asked to drop the channels: the same mix, and the channels only
    // where the mix is not coherent.
    CChannelMixer dropping;
    const auto alone = MixAll(dropping, Interleave(row.channels, frames), n,
                              {ChannelChoice::LEFT, ChannelChoice::RIGHT, ChannelChoice::MIX}, true);
    EXPECT_EQ(dropping.ChannelsDropped(), row.coherent) << row.name;
    EXPECT_EQ(alone[2], out[2]) << row.name;
    EXPECT_EQ(alone[0].size(), row.coherent ? 0 : frames) << row.name;
    EXPECT_EQ(alone[1].size(), row.coherent ? 0 : frames) << row.name;
  }
}

// A mix fixed from its first frame is taken up again from any of its
// snapshots exactly: the frames from there mix to the same samples. A mix
// let through undecided keeps none.
TEST(ChannelMixer, ResumedFromASnapshotTheMixGoesOnExactly) {
  const Channel left = [](std::size_t i) { return 0.2 + Tone(i); };
  const Channel right = [](std::size_t i) { return -0.7 * Tone(i) - 0.1; };
  const std::size_t frames = 5 * MIX_SNAPSHOT_FRAMES / 2;
  const std::vector<float> interleaved = Interleave({left, right}, frames);
  CChannelMixer mixer;
  const auto out = MixAll(mixer, interleaved, 2, {ChannelChoice::MIX});
  ASSERT_TRUE(mixer.Fixed());
  for (std::uint64_t frame : {std::uint64_t{0}, std::uint64_t{MIX_SNAPSHOT_FRAMES + 5}, std::uint64_t{frames - 1}}) {
    std::uint64_t at = 0;
    std::vector<double> means;
    ASSERT_TRUE(mixer.Snapshot(frame, at, means)) << frame;
    EXPECT_EQ(at, frame / MIX_SNAPSHOT_FRAMES * MIX_SNAPSHOT_FRAMES);
    CChannelMixer resumed;
    resumed.Resume(2, RATE, mixer.Weights(), means);
    std::vector<std::vector<float>> tail(1);
    resumed.Push(interleaved.data() + 2 * at, frames - at, tail);
    EXPECT_TRUE(std::equal(tail[0].begin(), tail[0].end(), out[0].begin() + static_cast<std::ptrdiff_t>(at)))
        << frame;
  }
  std::uint64_t at = 0;
  std::vector<double> means;
  EXPECT_FALSE(mixer.Snapshot(3 * MIX_SNAPSHOT_FRAMES, at, means));
}

TEST(ChannelMixer, QuietLeaderLongerThanTheHoldBackStillDecidesOnTheSignal) {
  // 30 s of silence (more than the hold-back buffer) and then an inverted pair.
  const std::size_t leader = 30 * static_cast<std::size_t>(RATE);
  const std::size_t frames = leader + 2 * static_cast<std::size_t>(RATE);
  const Channel left = [&](std::size_t i) { return i < leader ? 0.0 : Tone(i); };
  const Channel right = [&](std::size_t i) { return i < leader ? 0.0 : -Tone(i); };
  CChannelMixer mixer;
  // The leader goes out before the mix is decided: the channels are kept.
  const auto out = MixAll(mixer, Interleave({left, right}, frames), 2, {ChannelChoice::MIX, ChannelChoice::LEFT},
                          true);
  EXPECT_EQ(mixer.Weights(), (std::vector<int>{1, -1}));
  EXPECT_FALSE(mixer.ChannelsDropped());
  EXPECT_FALSE(mixer.Fixed());
  ASSERT_EQ(out[0].size(), frames);
  ASSERT_EQ(out[1].size(), frames);
  EXPECT_NEAR(Rms(out[0], leader + 1000), 0.5 / std::sqrt(2.0), 0.01);
}

TEST(ChannelMixer, MonoStreamsAreTheOneChannelAndNeedNoDecision) {
  const std::size_t frames = 5000;
  CChannelMixer mixer;
  const std::vector<float> samples = Interleave({Tone}, frames);
  const auto out = MixAll(mixer, samples, 1, AutomaticChoices(1));
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0], samples);
  CChannelMixer all;
  const auto three = MixAll(all, samples, 1, {ChannelChoice::RIGHT, ChannelChoice::MIX});
  EXPECT_EQ(three[0], samples);
  EXPECT_EQ(three[1], samples);
}

}  // namespace
