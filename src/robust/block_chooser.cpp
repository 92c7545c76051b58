#include "robust/block_chooser.h"

#include <algorithm>
#include <cmath>
#include <tuple>
#include <utility>

namespace tapedecoder {

namespace {

// How long after a block's end every decoder has certainly delivered it:
// a block is handed over once a run of weak bits or its announced length
// ends it, well within this.
constexpr double kSettleSeconds = 2.0;

double MeanConfidence(const TapeBlock& block) {
  if (block.bitConfidence.empty()) return 0.0;
  double sum = 0.0;
  for (float c : block.bitConfidence) sum += c;
  return sum / static_cast<double>(block.bitConfidence.size());
}

}  // namespace

CBlockChooser::CBlockChooser(int streams, Emit emit)
    : m_streams(std::max(streams, 1)), m_emit(std::move(emit)) {}

void CBlockChooser::Add(int stream, TapeBlock&& block) {
  // Its stretch is gone already: what was emitted stays.
  if (block.startSeconds <= m_decidedUntil) return;
  const auto at = std::upper_bound(
      m_held.begin(), m_held.end(), block.startSeconds,
      [](double start, const Held& held) { return start < held.block.startSeconds; });
  m_held.insert(at, Held{stream, std::move(block)});
}

void CBlockChooser::Advance(double seconds) { DecideBefore(seconds - kSettleSeconds); }

void CBlockChooser::Finish() {
  while (!m_held.empty()) DecideFirstStretch();
}

double CBlockChooser::PendingFrom() const {
  return m_held.empty() ? HUGE_VAL : m_held.front().block.startSeconds;
}

void CBlockChooser::DecideBefore(double seconds) {
  while (!m_held.empty()) {
    // The first stretch: blocks linked by overlap from the earliest one.
    double end = m_held.front().block.endSeconds;
    for (const Held& held : m_held) {
      if (held.block.startSeconds > end) break;
      end = std::max(end, held.block.endSeconds);
    }
    if (end >= seconds) return;
    DecideFirstStretch();
  }
}

void CBlockChooser::DecideFirstStretch() {
  double end = m_held.front().block.endSeconds;
  std::size_t count = 0;
  for (const Held& held : m_held) {
    if (held.block.startSeconds > end) break;
    end = std::max(end, held.block.endSeconds);
    ++count;
  }
  // Score each stream on the stretch.
  using Score = std::tuple<int, std::size_t, double>;
  std::vector<Score> scores(static_cast<std::size_t>(m_streams), Score{0, 0, 0.0});
  std::vector<int> blocks(static_cast<std::size_t>(m_streams), 0);
  for (std::size_t i = 0; i < count; ++i) {
    const Held& held = m_held[i];
    const std::size_t s = static_cast<std::size_t>(std::clamp(held.stream, 0, m_streams - 1));
    if (GoodBytes(held.block)) {
      ++std::get<0>(scores[s]);
      std::get<1>(scores[s]) += held.block.bytes.size();
    }
    std::get<2>(scores[s]) += MeanConfidence(held.block);
    ++blocks[s];
  }
  int best = -1;
  for (int s = 0; s < m_streams; ++s) {
    if (blocks[static_cast<std::size_t>(s)] == 0) continue;
    if (best < 0 || scores[static_cast<std::size_t>(s)] > scores[static_cast<std::size_t>(best)])
      best = s;
  }
  for (std::size_t i = 0; i < count; ++i) {
    if (m_held[i].stream == best) m_emit(std::move(m_held[i].block));
  }
  m_held.erase(m_held.begin(), m_held.begin() + static_cast<std::ptrdiff_t>(count));
  m_decidedUntil = std::max(m_decidedUntil, end);
}

}  // namespace tapedecoder
