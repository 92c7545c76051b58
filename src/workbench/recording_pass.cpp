#include "workbench/recording_pass.h"

#include <algorithm>
#include <limits>
#include <thread>

namespace tapedecoder {

namespace {

// Frames per read: large, so that the sound library decodes at full speed
// (a stereo block is 512 KiB of floats).
constexpr std::size_t kBlockFrames = 1 << 16;
// Recordings from this many frames on (ten minutes at 44.1 kHz) are
// summarised in two halves at once.
constexpr std::int64_t kSplitFrames = 600 * 44100;

// Reads up to `count` frames of `source` into `mono` as the average of
// their channels, using `frames` as room; returns how many.
std::size_t ReadMixed(CSampleSource& source, std::vector<float>& frames, float* mono, std::size_t count) {
  const auto channels = static_cast<std::size_t>(std::max(source.Info().channels, 1));
  count = std::min(count, kBlockFrames);
  frames.resize(count * channels);
  const std::size_t got = source.Read(frames.data(), count);
  if (channels == 1) {
    std::copy(frames.begin(), frames.begin() + static_cast<std::ptrdiff_t>(got), mono);
    return got;
  }
  if (channels == 2) {
    for (std::size_t f = 0; f < got; ++f) mono[f] = 0.5f * (frames[2 * f] + frames[2 * f + 1]);
    return got;
  }
  const float scale = 1.0f / static_cast<float>(channels);
  for (std::size_t f = 0; f < got; ++f) {
    float sum = 0.0f;
    for (std::size_t c = 0; c < channels; ++c) sum += frames[f * channels + c];
    mono[f] = sum * scale;
  }
  return got;
}

}  // namespace

bool RecordingReader::MoveTo(std::uint64_t first) {
  if (m_source && first == m_at) return true;
  if (m_source && m_source->Seek(first)) {
    m_at = first;
    return true;
  }
  if (!m_source || first < m_at) {
    Failure error;
    m_source = OpenSampleSource(m_path, error);
    m_at = 0;
    if (!m_source) return false;
    if (first > 0 && m_source->Seek(first)) {
      m_at = first;
      return true;
    }
  }
  // Render on up to `first`, dropping what comes before it.
  std::vector<float> dropped(kBlockFrames);
  while (m_at < first) {
    const std::size_t got = ReadMixed(*m_source, m_frames, dropped.data(),
                                      static_cast<std::size_t>(std::min<std::uint64_t>(first - m_at, kBlockFrames)));
    if (got == 0) return false;
    m_at += got;
  }
  return true;
}

std::size_t RecordingReader::ReadAt(std::uint64_t first, float* out, std::size_t count) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (!MoveTo(first)) {
    m_source.reset();  // opened again at the next read
    return 0;
  }
  std::size_t done = 0;
  while (done < count) {
    const std::size_t got = ReadMixed(*m_source, m_frames, out + done, count - done);
    if (got == 0) break;
    done += got;
  }
  m_at += done;
  return done;
}

std::shared_ptr<WaveStore> SummariseRecording(
    const std::string& path, const std::string& spillFolder, const std::atomic<bool>* cancel,
    const std::function<void(const std::shared_ptr<WaveStore>&, const InputInfo&)>& ready,
    const std::function<void(double)>& progress, Failure& error) {
  std::unique_ptr<CSampleSource> source = OpenSampleSource(path, error);
  if (!source) return nullptr;
  const InputInfo& info = source->Info();
  // Seeking to where it stands costs nothing and tells whether it can.
  const bool readBack = source->Seek(0) || info.kind == InputKind::CSW;
  std::shared_ptr<WaveStore> store =
      readBack ? std::make_shared<WaveStore>(source->Rate(), std::make_unique<RecordingReader>(path))
               : std::make_shared<WaveStore>(source->Rate(), spillFolder);
  if (info.frames > 0) store->Reserve(static_cast<std::uint64_t>(info.frames) * source->RaisedBy());
  if (ready) ready(store, info);
  // A long recording that seeks is read in two halves at once, the second
  // by a source of its own on a second thread, its summary added when both
  // are done; the halves meet at a whole bin.
  std::uint64_t split = 0;
  std::unique_ptr<CSampleSource> second;
  if (readBack && info.kind == InputKind::AUDIO && info.frames >= kSplitFrames &&
      std::thread::hardware_concurrency() >= 2) {
    split = static_cast<std::uint64_t>(info.frames) / 2 / WaveStore::kBaseBin * WaveStore::kBaseBin;
    Failure secondError;
    second = OpenSampleSource(path, secondError);
    if (!second || !second->Seek(split)) second.reset();
  }
  const std::uint64_t firstFrames = second ? split : std::numeric_limits<std::uint64_t>::max();
  const auto total = static_cast<double>(std::max<std::int64_t>(info.frames, 1));
  std::atomic<std::uint64_t> secondDone{0};
  WaveStore tail(source->Rate(), std::unique_ptr<SampleReader>());
  std::thread secondHalf;
  if (second) {
    secondHalf = std::thread([&] {
      std::vector<float> frames, mono(kBlockFrames);
      while (cancel == nullptr || !*cancel) {
        const std::size_t got = ReadMixed(*second, frames, mono.data(), kBlockFrames);
        if (got == 0) break;
        tail.Append(mono.data(), got);
        secondDone += got;
      }
    });
  }
  std::vector<float> frames;
  std::vector<float> mono(kBlockFrames);
  std::uint64_t done = 0;
  while ((cancel == nullptr || !*cancel) && done < firstFrames) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(kBlockFrames, firstFrames - done));
    const std::size_t got = ReadMixed(*source, frames, mono.data(), want);
    if (got == 0) break;
    store->Append(mono.data(), got);
    done += got;
    const InputProgress p = source->Progress();
    if (progress && second) progress(std::min(1.0, static_cast<double>(done + secondDone) / total));
    else if (progress && p.total > 0) progress(static_cast<double>(p.done) / static_cast<double>(p.total));
  }
  if (secondHalf.joinable()) {
    secondHalf.join();
    // A first half cut short leaves a gap: the second half is dropped.
    if (done == split) store->AppendSummary(tail);
  }
  store->Finish();
  return store;
}

}  // namespace tapedecoder
