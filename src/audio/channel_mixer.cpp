#include "audio/channel_mixer.h"

#include <algorithm>
#include <cmath>
#include <new>

namespace tapedecoder {

namespace {

constexpr double BLOCK_SECONDS = 0.02;
constexpr double DEAD_RATIO = 1.0 / 1000.0;
// A held-back buffer decides only with at least this share of the wanted
// energetic stretch; with less it is let through undecided.
constexpr std::size_t FEWEST_LIVE_DIVISOR = 10;

}  // namespace

std::vector<ChannelChoice> AutomaticChoices(int channels) {
  if (channels < 2) return {ChannelChoice::LEFT};
  return {ChannelChoice::LEFT, ChannelChoice::RIGHT, ChannelChoice::MIX};
}

bool CChannelMixer::Start(int channels, double rate, const std::vector<ChannelChoice>& choices) {
  Reset(channels, rate, choices);
  if (!m_needMix) return true;
  const auto n = static_cast<std::size_t>(channels);
  m_heldLimit = std::max<std::size_t>(1, MIX_BUFFER_SAMPLES / n) * n;
  try {
    m_held.reserve(m_heldLimit);
    m_blockLive.reserve(m_heldLimit / n / m_blockFrames + 2);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

void CChannelMixer::Reset(int channels, double rate, const std::vector<ChannelChoice>& choices) {
  m_channels = channels;
  m_choices = choices;
  m_needMix = channels >= 2 && std::find(choices.begin(), choices.end(), ChannelChoice::MIX) != choices.end();
  m_decided = !m_needMix;
  m_coherent = false;
  m_dropAsked = m_dropped = m_released = m_fixed = false;
  m_emitted = 0;
  {
    std::lock_guard<std::mutex> lock(m_snapshotMutex);
    m_snapshots.clear();
  }
  m_alpha = 1.0 / (MIX_DC_SECONDS * rate);
  const auto n = static_cast<std::size_t>(channels);
  m_weights.assign(n, 1);
  m_output.assign(n, Tracker{});
  m_analysis.assign(n, Tracker{});
  m_analysisAtStart = m_analysis;
  m_blockEnergy.assign(n, 0.0);
  m_blockLive.clear();
  m_liveBlocks = 0;
  m_inBlock = 0;
  m_blockFrames = std::max<std::size_t>(1, static_cast<std::size_t>(std::lround(rate * BLOCK_SECONDS)));
  m_decideBlocks = static_cast<std::size_t>(std::ceil(MIX_DECIDE_SECONDS / BLOCK_SECONDS));
  m_held.clear();
  m_draining = false;
  m_drained = 0;
}

std::size_t CChannelMixer::Push(const float* frames, std::size_t count, std::vector<std::vector<float>>& out) {
  if (m_draining) return 0;
  if (m_decided) {
    Emit(frames, count, out);
    return count;
  }
  const auto n = static_cast<std::size_t>(m_channels);
  std::size_t i = 0;
  while (i < count && !m_draining) {
    const float* frame = frames + i * n;
    m_held.insert(m_held.end(), frame, frame + n);
    Analyse(frame);
    ++i;
    if (m_liveBlocks >= m_decideBlocks)
      Release(true);
    else if (m_held.size() >= m_heldLimit)
      Release(m_liveBlocks >= m_decideBlocks / FEWEST_LIVE_DIVISOR);
  }
  return i;
}

void CChannelMixer::Finish() {
  if (!m_decided && !m_draining) Release(true);
}

std::size_t CChannelMixer::Drain(std::vector<std::vector<float>>& out, std::size_t maxFrames) {
  if (!m_draining) return 0;
  const auto n = static_cast<std::size_t>(m_channels);
  const std::size_t frames = m_held.size() / n;
  const std::size_t take = std::min(maxFrames, frames - m_drained);
  Emit(m_held.data() + m_drained * n, take, out);
  m_drained += take;
  if (m_drained == frames) {
    m_draining = false;
    m_drained = 0;
    if (m_decided) std::vector<float>().swap(m_held);
    else m_held.clear();
  }
  return take;
}

void CChannelMixer::Analyse(const float* frame) {
  for (int c = 0; c < m_channels; ++c) {
    const double y = m_analysis[c].Remove(frame[c], m_alpha);
    m_blockEnergy[c] += y * y;
  }
  if (++m_inBlock == m_blockFrames) CloseBlock();
}

void CChannelMixer::CloseBlock() {
  if (m_inBlock == 0) return;
  const double loudest = *std::max_element(m_blockEnergy.begin(), m_blockEnergy.end());
  const bool live = loudest / static_cast<double>(m_inBlock) > MIX_ENERGY_RMS * MIX_ENERGY_RMS;
  m_blockLive.push_back(live ? 1 : 0);
  if (live) ++m_liveBlocks;
  std::fill(m_blockEnergy.begin(), m_blockEnergy.end(), 0.0);
  m_inBlock = 0;
}

void CChannelMixer::Release(bool decide) {
  CloseBlock();
  const auto n = static_cast<std::size_t>(m_channels);
  const std::size_t frames = m_held.size() / n;
  if (decide) {
    // Replays the held frames through the analysis trackers as they were
    // when the frames began: first the energy of each channel over the
    // blocks that count, then each channel's product with the strongest.
    const bool allBlocks = m_liveBlocks == 0;
    std::vector<double> energy(n, 0.0);
    std::vector<double> product(n, 0.0);
    m_scratch.resize(n);
    for (int pass = 0; pass < 2; ++pass) {
      std::vector<Tracker> trackers = m_analysisAtStart;
      const std::size_t strongest = static_cast<std::size_t>(
          std::max_element(energy.begin(), energy.end()) - energy.begin());
      for (std::size_t f = 0; f < frames; ++f) {
        const float* frame = &m_held[f * n];
        const bool counts = allBlocks || m_blockLive[f / m_blockFrames] != 0;
        if (pass == 0) {
          for (std::size_t c = 0; c < n; ++c) {
            const double y = trackers[c].Remove(frame[c], m_alpha);
            if (counts) energy[c] += y * y;
          }
        } else {
          double reference = 0.0;
          for (std::size_t c = 0; c < n; ++c) {
            const double y = trackers[c].Remove(frame[c], m_alpha);
            if (c == strongest) reference = y;
            m_scratch[c] = y;
          }
          if (counts)
            for (std::size_t c = 0; c < n; ++c) product[c] += reference * m_scratch[c];
        }
      }
    }
    const double loudest = *std::max_element(energy.begin(), energy.end());
    m_coherent = loudest > 0.0 && m_liveBlocks > 0;
    for (std::size_t c = 0; c < n; ++c) {
      if (loudest > 0.0 && energy[c] < loudest * DEAD_RATIO) {
        m_weights[c] = 0;
        continue;
      }
      m_weights[c] = product[c] < 0.0 ? -1 : 1;
      if (std::fabs(product[c]) < MIX_COHERENCE * std::sqrt(energy[c] * loudest)) m_coherent = false;
    }
    m_decided = true;
  }
  // Only before the first frame goes out: every output then holds the
  // same frames.
  if (!m_released && m_dropAsked && m_decided && m_coherent) m_dropped = true;
  if (!m_released && m_decided) m_fixed = true;
  m_released = true;
  // The mix's trackers start at the mean of the first frames they see, so
  // that an offset does not ring in.
  if (frames > 0 && !m_output[0].primed) {
    for (std::size_t c = 0; c < n; ++c) {
      double sum = 0.0;
      for (std::size_t f = 0; f < frames; ++f) sum += m_held[f * n + c];
      m_output[c].mean = sum / static_cast<double>(frames);
      m_output[c].primed = true;
    }
  }
  m_draining = frames > 0;
  m_drained = 0;
  m_blockLive.clear();
  m_liveBlocks = 0;
  m_analysisAtStart = m_analysis;
  if (m_decided) std::vector<std::uint8_t>().swap(m_blockLive);
  if (!m_draining && m_decided) std::vector<float>().swap(m_held);
}

bool CChannelMixer::Snapshot(std::uint64_t frame, std::uint64_t& at, std::vector<double>& means) const {
  const auto n = static_cast<std::size_t>(m_channels);
  const std::size_t index = static_cast<std::size_t>(frame / MIX_SNAPSHOT_FRAMES);
  std::lock_guard<std::mutex> lock(m_snapshotMutex);
  if ((index + 1) * n > m_snapshots.size()) return false;  // none at all unless fixed
  at = static_cast<std::uint64_t>(index) * MIX_SNAPSHOT_FRAMES;
  means.assign(m_snapshots.begin() + static_cast<std::ptrdiff_t>(index * n),
               m_snapshots.begin() + static_cast<std::ptrdiff_t>((index + 1) * n));
  return true;
}

void CChannelMixer::Resume(int channels, double rate, const std::vector<int>& weights,
                           const std::vector<double>& means) {
  Reset(channels, rate, {ChannelChoice::MIX});
  m_weights = weights;
  for (std::size_t c = 0; c < m_output.size(); ++c) {
    m_output[c].mean = means[c];
    m_output[c].primed = true;
  }
  m_decided = m_released = true;
}

void CChannelMixer::Emit(const float* frames, std::size_t count, std::vector<std::vector<float>>& out) {
  if (!m_fixed || !m_needMix) {
    EmitRun(frames, count, out);
    return;
  }
  // A fixed mix keeps its trackers' means at every snapshot frame: the
  // frames are mixed in runs that end there.
  const auto n = static_cast<std::size_t>(m_channels);
  while (count > 0) {
    const std::size_t into = static_cast<std::size_t>(m_emitted % MIX_SNAPSHOT_FRAMES);
    if (into == 0) {
      std::lock_guard<std::mutex> lock(m_snapshotMutex);
      for (const Tracker& tracker : m_output) m_snapshots.push_back(tracker.mean);
    }
    const std::size_t run = std::min(count, MIX_SNAPSHOT_FRAMES - into);
    EmitRun(frames, run, out);
    frames += run * n;
    count -= run;
  }
}

void CChannelMixer::EmitRun(const float* frames, std::size_t count, std::vector<std::vector<float>>& out) {
  const auto n = static_cast<std::size_t>(m_channels);
  m_emitted += count;
  std::vector<float>& mix = m_mix;
  if (m_needMix) {
    int used = 0;
    for (int w : m_weights) used += w != 0 ? 1 : 0;
    const double scale = 1.0 / std::max(used, 1);
    mix.resize(count);
    const bool pair = n == 2 && m_output[0].primed && m_output[1].primed;
    if (pair) {
      // The common stereo case with the trackers and weights in registers:
      // the same arithmetic as the general loop below, in the same order.
      double mean0 = m_output[0].mean, mean1 = m_output[1].mean;
      const double w0 = m_weights[0], w1 = m_weights[1], alpha = m_alpha;
      for (std::size_t f = 0; f < count; ++f) {
        const double x0 = frames[2 * f], x1 = frames[2 * f + 1];
        mean0 += alpha * (x0 - mean0);
        mean1 += alpha * (x1 - mean1);
        double sum = 0.0;
        sum += w0 * (x0 - mean0);
        sum += w1 * (x1 - mean1);
        mix[f] = static_cast<float>(sum * scale);
      }
      m_output[0].mean = mean0;
      m_output[1].mean = mean1;
    }
    for (std::size_t f = 0; f < count && !pair; ++f) {
      const float* frame = frames + f * n;
      double sum = 0.0;
      for (std::size_t c = 0; c < n; ++c) {
        const double y = m_output[c].Remove(frame[c], m_alpha);
        sum += m_weights[c] * y;
      }
      mix[f] = static_cast<float>(sum * scale);
    }
  }
  const std::size_t right = n > 1 ? 1 : 0;
  for (std::size_t i = 0; i < m_choices.size(); ++i) {
    std::vector<float>& o = out[i];
    if (m_choices[i] == ChannelChoice::MIX && m_needMix) {
      o.insert(o.end(), mix.begin(), mix.end());
      continue;
    }
    if (m_dropped) continue;
    if (n == 1) {
      o.insert(o.end(), frames, frames + count);
      continue;
    }
    const std::size_t c = m_choices[i] == ChannelChoice::RIGHT ? right : 0;
    const std::size_t start = o.size();
    o.resize(start + count);
    for (std::size_t f = 0; f < count; ++f) o[start + f] = frames[f * n + c];
  }
}

}  // namespace tapedecoder
