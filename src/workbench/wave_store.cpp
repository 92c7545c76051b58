#include "workbench/wave_store.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>

namespace tapedecoder {

namespace {

// Samples gathered before one write to the spill file.
constexpr std::size_t kSpillChunk = 1 << 16;

std::int16_t ToShort(float sample) {
  const float clipped = std::clamp(sample, -1.0f, 1.0f);
  return static_cast<std::int16_t>(std::lround(clipped * 32767.0f));
}

float ToFloat(std::int16_t value) { return static_cast<float>(value) / 32767.0f; }

int OpenSpillIn(const std::string& folder) {
#ifdef O_TMPFILE
  const int fd = open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0) return fd;
#endif
  std::string name = folder + "/tapedecoder-workbench-XXXXXX";
  const int named = mkstemp(name.data());
  if (named >= 0) unlink(name.c_str());
  return named;
}

int OpenSpill(const std::string& folder) {
  const int fd = folder.empty() ? -1 : OpenSpillIn(folder);
  if (fd >= 0) return fd;
  const char* dir = std::getenv("TMPDIR");
  return OpenSpillIn(dir != nullptr && *dir != '\0' ? dir : "/tmp");
}

}  // namespace

WaveStore::WaveStore(double rate, const std::string& folder)
    : m_rate(rate), m_spill(true), m_fd(OpenSpill(folder)) {
  m_pending.reserve(kSpillChunk);
}

WaveStore::WaveStore(double rate, std::unique_ptr<SampleReader> reader)
    : m_rate(rate), m_reader(std::move(reader)) {}

WaveStore::~WaveStore() {
  if (m_fd >= 0) close(m_fd);
}

void WaveStore::Reserve(std::uint64_t samples) {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::uint64_t bins = samples / kBaseBin + 1;
  for (std::size_t level = 0; bins > 0; ++level, bins /= kLevelFactor) {
    if (level == m_levels.size()) m_levels.emplace_back();
    m_levels[level].bins.reserve(static_cast<std::size_t>(2 * (bins + 1)));
    if (bins == 1) break;
  }
}

void WaveStore::Append(const float* samples, std::size_t count) {
  if (m_finished) return;
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_levels.empty()) m_levels.emplace_back();
  if (m_spill) {
    for (std::size_t i = 0; i < count; ++i) {
      m_pending.push_back(ToShort(samples[i]));
      if (m_pending.size() == kSpillChunk) FlushSpill();
    }
  }
  // Sample by sample into a partial bin; whole bins at once, as floats
  // (rounding is monotonic: the extremes of the rounded samples are the
  // rounded extremes).
  std::size_t i = 0;
  const auto addOne = [this, samples, &i] {
    const std::int16_t value = ToShort(samples[i++]);
    AddToLevel(0, value, value, 1);
  };
  while (i < count && m_levels[0].filled != 0) addOne();
  for (; count - i >= kBaseBin; i += kBaseBin) {
    float low = samples[i], high = samples[i];
    const float* bin = samples + i;
    for (std::size_t k = 0; k < kBaseBin; ++k) {
      low = std::min(low, bin[k]);
      high = std::max(high, bin[k]);
    }
    AddToLevel(0, ToShort(low), ToShort(high), kBaseBin);
  }
  while (i < count) addOne();
  if (!m_spill) m_samples.store(m_samples.load() + count, std::memory_order_release);
}

bool WaveStore::AppendSummary(const WaveStore& tail) {
  if (m_finished || m_spill || tail.m_spill) return false;
  std::lock_guard<std::mutex> lock(m_mutex);
  std::lock_guard<std::mutex> tailLock(tail.m_mutex);
  if (m_levels.empty()) m_levels.emplace_back();
  if (m_levels[0].filled != 0) return false;
  if (tail.m_levels.empty()) return true;
  // The tail's finest bins as whole bins of this store, then its partial bin.
  const Level& base = tail.m_levels[0];
  for (std::size_t i = 0; i + 1 < base.bins.size(); i += 2) AddToLevel(0, base.bins[i], base.bins[i + 1], kBaseBin);
  if (base.filled > 0) AddToLevel(0, base.low, base.high, base.filled);
  m_samples.store(m_samples.load() + tail.Samples(), std::memory_order_release);
  return true;
}

void WaveStore::FlushSpill() {
  if (m_pending.empty()) return;
  const std::size_t bytes = m_pending.size() * sizeof(std::int16_t);
  const auto* data = reinterpret_cast<const char*>(m_pending.data());
  std::size_t done = 0;
  const off_t at = static_cast<off_t>(m_pendingFirst * sizeof(std::int16_t));
  while (m_fd >= 0 && done < bytes) {
    const ssize_t n = pwrite(m_fd, data + done, bytes - done, at + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      m_writeFailed = true;
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  m_pendingFirst += m_pending.size();
  m_samples.store(m_pendingFirst, std::memory_order_release);
  m_pending.clear();
}

void WaveStore::AddToLevel(std::size_t level, std::int16_t low, std::int16_t high,
                           std::size_t weight) {
  const std::size_t full = level == 0 ? kBaseBin : kLevelFactor;
  Level& l = m_levels[level];
  if (l.filled == 0) {
    l.low = low;
    l.high = high;
  } else {
    l.low = std::min(l.low, low);
    l.high = std::max(l.high, high);
  }
  l.filled += weight;
  if (l.filled < full) return;
  l.bins.push_back(l.low);
  l.bins.push_back(l.high);
  l.filled = 0;
  const std::int16_t binLow = l.low, binHigh = l.high;
  if (level + 1 == m_levels.size()) m_levels.emplace_back();
  AddToLevel(level + 1, binLow, binHigh, 1);
}

void WaveStore::Finish() {
  if (m_finished) return;
  std::lock_guard<std::mutex> lock(m_mutex);
  FlushSpill();
  // Close the partial bins from the finest level up, so that the end of the
  // recording shows at every zoom.
  for (std::size_t level = 0; level < m_levels.size(); ++level) {
    Level& l = m_levels[level];
    if (l.filled == 0) continue;
    l.bins.push_back(l.low);
    l.bins.push_back(l.high);
    l.filled = 0;
    if (level + 1 < m_levels.size()) {
      AddToLevel(level + 1, l.bins[l.bins.size() - 2], l.bins.back(), 1);
      // AddToLevel may have closed the next level's bin; it is flushed in
      // the next round of this loop either way.
    }
  }
  m_finished = true;
}

std::vector<float> WaveStore::Read(std::uint64_t first, std::size_t count) const {
  std::vector<float> out;
  const std::uint64_t stored = Samples();
  if (first >= stored || (m_reader == nullptr && m_fd < 0)) return out;  // a summary alone
  count = static_cast<std::size_t>(std::min<std::uint64_t>(count, stored - first));
  if (m_reader != nullptr) {
    out.resize(count);
    out.resize(m_reader->ReadAt(first, out.data(), count));
    for (float& v : out) v = std::clamp(v, -1.0f, 1.0f);
    return out;
  }
  std::vector<std::int16_t> raw(count);
  const std::size_t bytes = count * sizeof(std::int16_t);
  std::size_t done = 0;
  while (done < bytes) {
    const ssize_t n = pread(m_fd, reinterpret_cast<char*>(raw.data()) + done, bytes - done,
                            static_cast<off_t>(first * sizeof(std::int16_t) + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  raw.resize(done / sizeof(std::int16_t));
  out.reserve(raw.size());
  for (std::int16_t v : raw) out.push_back(ToFloat(v));
  return out;
}

std::vector<MinMax> WaveStore::Envelope(double first, double perBin, int bins) const {
  std::vector<MinMax> out(static_cast<std::size_t>(std::max(bins, 0)));
  if (bins <= 0 || perBin <= 0.0) return out;
  const double stored = static_cast<double>(Samples());
  if (perBin < static_cast<double>(kBaseBin)) {
    // Close up: the samples themselves, read a bounded stretch at a time.
    constexpr std::size_t kReadChunk = 1 << 18;
    std::vector<float> samples;
    std::uint64_t loaded = 0;  // the first sample in `samples`
    for (int b = 0; b < bins; ++b) {
      const double from = std::max(0.0, first + perBin * b);
      const double to = std::min(stored, first + perBin * (b + 1));
      auto i0 = static_cast<std::uint64_t>(std::floor(from));
      auto i1 = std::max(static_cast<std::uint64_t>(std::ceil(to)), i0 + 1);
      if (static_cast<double>(i0) >= stored) break;
      MinMax m;
      bool any = false;
      for (std::uint64_t i = i0; i < i1; ++i) {
        if (i < loaded || i >= loaded + samples.size()) {
          samples = Read(i, kReadChunk);
          loaded = i;
          if (samples.empty()) break;
        }
        const float v = samples[static_cast<std::size_t>(i - loaded)];
        m = any ? MinMax{std::min(m.low, v), std::max(m.high, v)} : MinMax{v, v};
        any = true;
      }
      out[static_cast<std::size_t>(b)] = m;
    }
    return out;
  }
  std::lock_guard<std::mutex> lock(m_mutex);
  // The coarsest level whose bins are no wider than one output bin.
  std::size_t level = 0;
  double binSamples = static_cast<double>(kBaseBin);
  while (level + 1 < m_levels.size() && binSamples * kLevelFactor <= perBin) {
    ++level;
    binSamples *= kLevelFactor;
  }
  if (m_levels.empty()) return out;
  const std::vector<std::int16_t>& data = m_levels[level].bins;
  const long long count = static_cast<long long>(data.size() / 2);
  for (int b = 0; b < bins; ++b) {
    const double from = (first + perBin * b) / binSamples;
    const double to = (first + perBin * (b + 1)) / binSamples;
    long long i0 = std::max(0LL, static_cast<long long>(std::floor(from)));
    long long i1 = std::min(count, std::max(static_cast<long long>(std::ceil(to)), i0 + 1));
    if (i0 >= i1) continue;
    std::int16_t low = data[static_cast<std::size_t>(2 * i0)];
    std::int16_t high = data[static_cast<std::size_t>(2 * i0 + 1)];
    for (long long i = i0 + 1; i < i1; ++i) {
      low = std::min(low, data[static_cast<std::size_t>(2 * i)]);
      high = std::max(high, data[static_cast<std::size_t>(2 * i + 1)]);
    }
    out[static_cast<std::size_t>(b)] = MinMax{ToFloat(low), ToFloat(high)};
  }
  return out;
}

std::size_t WaveStore::SummaryBytes() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::size_t bytes = m_pending.capacity() * sizeof(std::int16_t);
  for (const Level& l : m_levels) bytes += l.bins.capacity() * sizeof(std::int16_t);
  return bytes;
}

}  // namespace tapedecoder
