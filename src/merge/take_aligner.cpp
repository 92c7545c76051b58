#include "merge/take_aligner.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <optional>
#include <utility>

namespace tapedecoder {

namespace {

// Leading bytes compared when scoring content: enough to tell blocks apart,
// few enough to keep long blocks cheap.
constexpr std::size_t CONTENT_BYTES = 512;
// Seconds of disagreement between mapped times that cancel the time score.
constexpr double TIME_TOLERANCE = 3.0;
// The worst the time score gets.
constexpr double TIME_FLOOR = -10.0;
// Score of two verified copies with identical bytes (before time).
constexpr double IDENTICAL_SCORE = 20.0;
// Slopes a time map accepts between two takes' clocks.
constexpr double MIN_SLOPE = 0.5;
constexpr double MAX_SLOPE = 2.0;

bool Verifies(const TapeBlock& block) { return block.usedBits == 8 && ChecksumGood(block.bytes); }

// Where the block's data starts: the sync is the sharpest point of a block;
// a dropout in the pilot moves the start, not the sync.
double BlockSeconds(const TapeBlock& block) {
  return block.dataSeconds > 0.0 ? block.dataSeconds : block.startSeconds;
}

// A piecewise-linear map from one take's clock to the tape's, through
// anchor points in increasing order.
class TimeMap {
 public:
  void Add(double from, double to) { m_points.emplace_back(from, to); }
  bool Valid() const { return !m_points.empty(); }

  // REQUIRES: Valid().
  double Map(double t) const {
    if (m_points.size() == 1) return t + (m_points[0].second - m_points[0].first);
    std::size_t i = 1;
    while (i + 1 < m_points.size() && t > m_points[i].first) ++i;
    const auto& a = m_points[i - 1];
    const auto& b = m_points[i];
    double slope = 1.0;
    if (b.first - a.first > 1e-6) slope = (b.second - a.second) / (b.first - a.first);
    slope = std::clamp(slope, MIN_SLOPE, MAX_SLOPE);
    if (t < a.first || i + 1 == m_points.size()) {
      // Beyond the anchors the nearest segment's speed ratio holds.
      const auto& base = t < a.first ? a : b;
      return base.second + (t - base.first) * slope;
    }
    return a.second + (t - a.first) * slope;
  }

 private:
  std::vector<std::pair<double, double>> m_points;
};

struct Column {
  std::vector<int> copies;
  double seconds = 0.0;     // data start on the tape's clock
  double endSeconds = 0.0;  // end on the tape's clock
};

// The copy a column is compared by: its first verified copy, else its longest.
const TapeBlock& Representative(const Column& column,
                                const std::vector<std::vector<TapeBlock>>& takes) {
  const TapeBlock* best = nullptr;
  for (std::size_t t = 0; t < column.copies.size(); ++t) {
    if (column.copies[t] < 0) continue;
    const TapeBlock& b = takes[t][static_cast<std::size_t>(column.copies[t])];
    if (!best) {
      best = &b;
      continue;
    }
    bool bGood = Verifies(b);
    bool bestGood = Verifies(*best);
    if ((bGood && !bestGood) || (bGood == bestGood && !bestGood && b.bytes.size() > best->bytes.size())) {
      best = &b;
    }
  }
  return *best;
}

// Where a copy lies on the tape's clock: its data start and its end.
struct Span {
  double start = 0.0;
  double end = 0.0;
};

// The fraction of equal bytes over the first (or, when the copy lost its
// start, the last) CONTENT_BYTES bytes both copies hold.
double ContentAgreement(const TapeBlock& r, const TapeBlock& b) {
  std::size_t shorter = std::min(r.bytes.size(), b.bytes.size());
  std::size_t n = std::min(shorter, CONTENT_BYTES);
  std::size_t head = 0;
  std::size_t tail = 0;
  for (std::size_t i = 0; i < n; ++i) {
    head += r.bytes[i] == b.bytes[i];
    tail += r.bytes[r.bytes.size() - 1 - i] == b.bytes[b.bytes.size() - 1 - i];
  }
  return static_cast<double>(std::max(head, tail)) / static_cast<double>(n);
}

// How much two copies look like the same block of the tape; > 0 pairs them.
// `r` lies at `rs`; `bs` is where `b` lies when the clocks are mapped.
double Similarity(const TapeBlock& r, Span rs, const TapeBlock& b, std::optional<Span> bs) {
  double time = 0.0;
  if (bs) {
    // A dropout moves a copy's start (a late sync) or its end (cut short),
    // rarely both: the closer of the two counts, and so does the overlap.
    double gap = std::min(std::fabs(bs->start - rs.start), std::fabs(bs->end - rs.end));
    double overlap = std::min(bs->end, rs.end) - std::max(bs->start, rs.start);
    double shorter = std::max(std::min(bs->end - bs->start, rs.end - rs.start), 1e-3);
    time = std::max(TIME_TOLERANCE - gap, TIME_FLOOR) + 2.0 * std::clamp(overlap / shorter, 0.0, 1.0);
  }
  if (Verifies(r) && Verifies(b)) {
    if (r.bytes == b.bytes) return IDENTICAL_SCORE + time;
    // A copy cut short verifies by chance once in 256 cuts: a verified
    // copy whose bytes but the last begin the other's is that block.
    const TapeBlock& shortOne = r.bytes.size() < b.bytes.size() ? r : b;
    const TapeBlock& longOne = r.bytes.size() < b.bytes.size() ? b : r;
    if (shortOne.bytes.size() == longOne.bytes.size() ||
        !std::equal(shortOne.bytes.begin(), shortOne.bytes.end() - 1, longOne.bytes.begin())) {
      return -1.0;
    }
  }
  if (r.bytes.empty() || b.bytes.empty()) return -1.0;
  double score = r.bytes[0] == b.bytes[0] ? 1.0 : -1.0;
  std::size_t shorter = std::min(r.bytes.size(), b.bytes.size());
  std::size_t longer = std::max(r.bytes.size(), b.bytes.size());
  score += shorter == longer ? 2.0
                             : 1.5 * static_cast<double>(shorter) / static_cast<double>(longer) - 0.5;
  score += 5.0 * ContentAgreement(r, b) - 2.0;
  return score + time;
}

enum Step : std::uint8_t { MATCH, SKIP_COLUMN, SKIP_BLOCK };

// The longest chain of anchor pairs increasing in both indices.
std::vector<std::pair<std::size_t, std::size_t>> AnchorChain(const std::vector<std::vector<bool>>& anchor) {
  const std::size_t rows = anchor.size();
  const std::size_t cols = rows ? anchor[0].size() : 0;
  std::vector<std::vector<int>> best(rows + 1, std::vector<int>(cols + 1, 0));
  for (std::size_t i = 1; i <= rows; ++i) {
    for (std::size_t k = 1; k <= cols; ++k) {
      int v = std::max(best[i - 1][k], best[i][k - 1]);
      if (anchor[i - 1][k - 1]) v = std::max(v, best[i - 1][k - 1] + 1);
      best[i][k] = v;
    }
  }
  std::vector<std::pair<std::size_t, std::size_t>> chain;
  std::size_t i = rows;
  std::size_t k = cols;
  while (i > 0 && k > 0) {
    if (anchor[i - 1][k - 1] && best[i][k] == best[i - 1][k - 1] + 1) {
      chain.emplace_back(i - 1, k - 1);
      --i;
      --k;
    } else if (best[i][k] == best[i - 1][k]) {
      --i;
    } else {
      --k;
    }
  }
  std::reverse(chain.begin(), chain.end());
  return chain;
}

// Aligns take `t` against `columns` and returns the new column list.
std::vector<Column> AddTake(const std::vector<Column>& columns,
                            const std::vector<std::vector<TapeBlock>>& takes, std::size_t t,
                            TimeMap& mapOut) {
  const std::vector<TapeBlock>& blocks = takes[t];
  const std::size_t rows = columns.size();
  const std::size_t cols = blocks.size();
  std::vector<const TapeBlock*> reps;
  for (const Column& c : columns) reps.push_back(&Representative(c, takes));

  // Anchors: identical verified bytes.
  std::vector<std::vector<bool>> anchor(rows, std::vector<bool>(cols, false));
  for (std::size_t i = 0; i < rows; ++i) {
    if (!Verifies(*reps[i])) continue;
    for (std::size_t k = 0; k < cols; ++k) {
      anchor[i][k] = Verifies(blocks[k]) && blocks[k].bytes == reps[i]->bytes;
    }
  }
  TimeMap map;
  for (const auto& [i, k] : AnchorChain(anchor)) map.Add(BlockSeconds(blocks[k]), columns[i].seconds);

  std::vector<double> score(rows * cols, 0.0);
  for (std::size_t i = 0; i < rows; ++i) {
    for (std::size_t k = 0; k < cols; ++k) {
      std::optional<Span> span;
      if (map.Valid()) span = Span{map.Map(BlockSeconds(blocks[k])), map.Map(blocks[k].endSeconds)};
      score[i * cols + k] = Similarity(*reps[i], Span{columns[i].seconds, columns[i].endSeconds}, blocks[k], span);
    }
  }
  // Sequence alignment; leaving a block unmatched costs nothing, so only
  // pairs that look alike are matched, and a missing or extra block leaves
  // the others where they are.
  std::vector<double> total((rows + 1) * (cols + 1), 0.0);
  std::vector<std::uint8_t> step((rows + 1) * (cols + 1), SKIP_COLUMN);
  auto at = [cols](std::size_t i, std::size_t k) { return i * (cols + 1) + k; };
  for (std::size_t k = 1; k <= cols; ++k) step[at(0, k)] = SKIP_BLOCK;
  for (std::size_t i = 1; i <= rows; ++i) {
    for (std::size_t k = 1; k <= cols; ++k) {
      double s = score[(i - 1) * cols + (k - 1)];
      double best = total[at(i - 1, k)];
      std::uint8_t how = SKIP_COLUMN;
      if (total[at(i, k - 1)] > best) {
        best = total[at(i, k - 1)];
        how = SKIP_BLOCK;
      }
      if (s > 0.0 && total[at(i - 1, k - 1)] + s >= best) {
        best = total[at(i - 1, k - 1)] + s;
        how = MATCH;
      }
      total[at(i, k)] = best;
      step[at(i, k)] = how;
    }
  }
  std::vector<std::pair<int, int>> path;  // (column or -1, block or -1)
  std::size_t i = rows;
  std::size_t k = cols;
  while (i > 0 || k > 0) {
    std::uint8_t how = step[at(i, k)];
    if (how == MATCH) {
      path.emplace_back(static_cast<int>(i - 1), static_cast<int>(k - 1));
      --i;
      --k;
    } else if (how == SKIP_COLUMN && i > 0) {
      path.emplace_back(static_cast<int>(i - 1), -1);
      --i;
    } else {
      path.emplace_back(-1, static_cast<int>(k - 1));
      --k;
    }
  }
  std::reverse(path.begin(), path.end());

  // Without anchors, the matched pairs set the clocks.
  if (!map.Valid()) {
    for (const auto& [c, b] : path) {
      if (c >= 0 && b >= 0) {
        map.Add(BlockSeconds(blocks[static_cast<std::size_t>(b)]),
                columns[static_cast<std::size_t>(c)].seconds);
      }
    }
  }
  auto tapeSeconds = [&](double s) {
    if (map.Valid()) return map.Map(s);
    // Nothing in common: line the first blocks up.
    return columns.empty() ? s : s - BlockSeconds(blocks[0]) + columns[0].seconds;
  };

  std::vector<Column> out;
  std::vector<Column> pendingColumns;
  std::vector<Column> pendingBlocks;
  auto flush = [&]() {
    // Unmatched blocks of either side between two matches go in time order.
    std::size_t a = 0;
    std::size_t b = 0;
    while (a < pendingColumns.size() || b < pendingBlocks.size()) {
      bool takeColumn = b == pendingBlocks.size() ||
                        (a < pendingColumns.size() && pendingColumns[a].seconds <= pendingBlocks[b].seconds);
      out.push_back(takeColumn ? pendingColumns[a++] : pendingBlocks[b++]);
    }
    pendingColumns.clear();
    pendingBlocks.clear();
  };
  for (const auto& [c, b] : path) {
    if (c >= 0 && b >= 0) {
      flush();
      Column column = columns[static_cast<std::size_t>(c)];
      const TapeBlock& block = blocks[static_cast<std::size_t>(b)];
      if (Verifies(block) && !Verifies(*reps[static_cast<std::size_t>(c)])) {
        // A whole copy places the block better than the damaged ones did.
        column.seconds = tapeSeconds(BlockSeconds(block));
        column.endSeconds = tapeSeconds(block.endSeconds);
      }
      column.copies[t] = b;
      out.push_back(std::move(column));
    } else if (c >= 0) {
      pendingColumns.push_back(columns[static_cast<std::size_t>(c)]);
    } else {
      Column column;
      column.copies.assign(takes.size(), -1);
      column.copies[t] = b;
      column.seconds = tapeSeconds(BlockSeconds(blocks[static_cast<std::size_t>(b)]));
      column.endSeconds = tapeSeconds(blocks[static_cast<std::size_t>(b)].endSeconds);
      pendingBlocks.push_back(std::move(column));
    }
  }
  flush();
  if (columns.empty()) map.Add(0.0, 0.0);  // the first take's clock is the tape's
  mapOut = map;
  return out;
}

}  // namespace

std::vector<AlignedBlock> AlignTakes(const std::vector<std::vector<TapeBlock>>& takes,
                                     const std::vector<double>& takeSeconds) {
  std::vector<Column> columns;
  std::vector<TimeMap> maps(takes.size());
  for (std::size_t t = 0; t < takes.size(); ++t) columns = AddTake(columns, takes, t, maps[t]);

  std::vector<AlignedBlock> aligned;
  aligned.reserve(columns.size());
  for (Column& c : columns) {
    AlignedBlock block;
    block.copies = std::move(c.copies);
    block.seconds = c.seconds;
    block.covered.assign(takes.size(), false);
    aligned.push_back(std::move(block));
  }
  for (std::size_t t = 0; t < takes.size(); ++t) {
    std::size_t first = aligned.size();
    std::size_t last = 0;
    for (std::size_t i = 0; i < aligned.size(); ++i) {
      if (aligned[i].copies[t] < 0) continue;
      first = std::min(first, i);
      last = i;
    }
    // The stretch of tape the take's recording spans, when its length is known.
    bool spanKnown = t < takeSeconds.size() && takeSeconds[t] > 0.0 && maps[t].Valid();
    double from = spanKnown ? maps[t].Map(0.0) : 0.0;
    double to = spanKnown ? maps[t].Map(takeSeconds[t]) : 0.0;
    for (std::size_t i = 0; i < aligned.size(); ++i) {
      bool between = first <= i && i <= last && first < aligned.size();
      bool recorded = spanKnown && from <= aligned[i].seconds && aligned[i].seconds <= to;
      aligned[i].covered[t] = between || recorded;
    }
  }
  return aligned;
}

}  // namespace tapedecoder
