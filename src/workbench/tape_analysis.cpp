#include "workbench/tape_analysis.h"

#include <algorithm>
#include <cmath>

namespace tapedecoder {

namespace {

bool Timed(const TapeBlock& block) { return block.endSeconds > block.startSeconds; }

}  // namespace

std::vector<TapeSpan> TapeSpans(const std::vector<TapeBlock>& blocks, double recordingSeconds) {
  std::vector<TapeSpan> spans;
  double previousEnd = 0.0;
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    const TapeBlock& block = blocks[i];
    if (!Timed(block)) continue;
    const int index = static_cast<int>(i);
    if (block.startSeconds - previousEnd >= kShortestPause)
      spans.push_back({previousEnd, block.startSeconds, SpanKind::PAUSE, -1});
    const double data = std::clamp(block.dataSeconds, block.startSeconds, block.endSeconds);
    if (data > block.startSeconds) spans.push_back({block.startSeconds, data, SpanKind::TONE, index});
    spans.push_back({data, block.endSeconds,
                     GoodBytes(block) ? SpanKind::GOOD : SpanKind::BAD, index});
    previousEnd = std::max(previousEnd, block.endSeconds);
  }
  if (recordingSeconds - previousEnd >= kShortestPause)
    spans.push_back({previousEnd, recordingSeconds, SpanKind::PAUSE, -1});
  return spans;
}

std::vector<WeakRun> WeakRuns(const TapeBlock& block) {
  std::vector<WeakRun> runs;
  const std::vector<float>& c = block.bitConfidence;
  for (std::size_t i = 0; i < c.size(); ++i) {
    if (c[i] >= kWeakConfidence) continue;
    if (!runs.empty() && runs.back().firstBit + runs.back().bits == i)
      ++runs.back().bits;
    else
      runs.push_back({i, 1});
  }
  return runs;
}

std::vector<Suspect> FindSuspects(const std::vector<TapeBlock>& blocks, const WaveStore* store) {
  std::vector<Suspect> found;
  for (std::size_t b = 0; b < blocks.size(); ++b) {
    const TapeBlock& block = blocks[b];
    const int number = static_cast<int>(b);
    for (const WeakRun& run : WeakRuns(block)) {
      const double at = run.firstBit < block.bitSeconds.size() ? block.bitSeconds[run.firstBit]
                                                               : block.dataSeconds;
      found.push_back({at, number, SuspectKind::WEAK_BITS, run.bits, 0.0});
    }
    const std::optional<std::size_t> announced = AnnouncedLength(blocks, b);
    if (announced && block.bytes.size() < *announced)
      found.push_back({block.endSeconds, number, SuspectKind::CUT_SHORT, *announced - block.bytes.size(), 0.0});
    if (store == nullptr || !Timed(block) || block.endSeconds <= block.dataSeconds) continue;
    // The swing per 2 ms over the data, against its median.
    constexpr double kStep = 0.002;
    const int bins = static_cast<int>((block.endSeconds - block.dataSeconds) / kStep);
    if (bins < 4) continue;
    const std::vector<MinMax> env =
        store->Envelope(block.dataSeconds * store->Rate(), kStep * store->Rate(), bins);
    std::vector<float> swing;
    for (const MinMax& m : env) swing.push_back(m.high - m.low);
    std::vector<float> sorted = swing;
    std::nth_element(sorted.begin(), sorted.begin() + static_cast<long>(sorted.size() / 2), sorted.end());
    const float limit = 0.25f * sorted[sorted.size() / 2];
    for (int i = 0; i < bins;) {
      if (swing[static_cast<std::size_t>(i)] >= limit) {
        ++i;
        continue;
      }
      int j = i;
      while (j < bins && swing[static_cast<std::size_t>(j)] < limit) ++j;
      found.push_back({block.dataSeconds + i * kStep, number, SuspectKind::DROPOUT, 0, (j - i) * kStep});
      i = j;
    }
  }
  std::stable_sort(found.begin(), found.end(),
                   [](const Suspect& a, const Suspect& b) { return a.seconds < b.seconds; });
  return found;
}

std::optional<std::size_t> AnnouncedLength(const std::vector<TapeBlock>& blocks, std::size_t index) {
  if (index == 0 || index >= blocks.size()) return std::nullopt;
  if (ParseRomHeader(blocks[index].bytes)) return std::nullopt;
  const std::optional<RomHeader> header = ParseRomHeader(blocks[index - 1].bytes);
  if (!header) return std::nullopt;
  return static_cast<std::size_t>(header->length) + 2;
}

PulseHistogram PulseLengths(const WaveStore& store, double fromSeconds, double toSeconds) {
  PulseHistogram h;
  const double rate = store.Rate();
  const auto first = static_cast<std::uint64_t>(std::max(0.0, fromSeconds * rate));
  const auto last = static_cast<std::uint64_t>(std::max(0.0, toSeconds * rate));
  if (last <= first) return h;
  // The middle and the hysteresis from the stretch's own extremes.
  const std::vector<MinMax> whole = store.Envelope(static_cast<double>(first), static_cast<double>(last - first), 1);
  const float middle = 0.5f * (whole[0].low + whole[0].high);
  const float band = 0.1f * (whole[0].high - whole[0].low);
  const double tstatesPerSample = TSTATES_PER_SECOND / rate;
  int state = 0;  // +1 above, -1 below, 0 unknown
  std::uint64_t since = first;
  double sumHigh = 0.0, sumLow = 0.0;
  int countHigh = 0, countLow = 0;
  constexpr std::size_t kReadChunk = 1 << 18;
  for (std::uint64_t at = first; at < last; at += kReadChunk) {
    const std::vector<float> samples = store.Read(at, static_cast<std::size_t>(std::min<std::uint64_t>(kReadChunk, last - at)));
    if (samples.empty()) break;
    for (std::size_t k = 0; k < samples.size(); ++k) {
      const std::uint64_t i = at + k;
      const int now = samples[k] > middle + band ? 1 : samples[k] < middle - band ? -1 : state;
      if (now == state) continue;
      if (state != 0) {
        const double length = static_cast<double>(i - since) * tstatesPerSample;
        const int bin = static_cast<int>(length / PulseHistogram::kBinTstates);
        if (bin < PulseHistogram::kBins) {
          (state > 0 ? h.high : h.low)[static_cast<std::size_t>(bin)]++;
          ++h.pulses;
          // Bit half-waves only (a pilot's is longer than a one's by a quarter).
          if (length < 0.5 * (ROM_ONE_PULSE + ROM_PILOT_PULSE)) {
            (state > 0 ? sumHigh : sumLow) += length;
            ++(state > 0 ? countHigh : countLow);
          }
        }
      }
      state = now;
      since = i;
    }
  }
  if (countHigh > 0) h.meanHigh = sumHigh / countHigh;
  if (countLow > 0) h.meanLow = sumLow / countLow;
  return h;
}

}  // namespace tapedecoder
