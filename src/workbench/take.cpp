#include "workbench/take.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>

#include <new>

#include "audio/wave_source.h"
#include "tape/block_decoder.h"
#include "tape/tape_output.h"

namespace tapedecoder {

namespace {

// The classic method's blocks (no times: the classic decoder keeps none).
std::vector<TapeBlock> ClassicBlocks(const std::string& path, bool& opened) {
  CWaveSource source;
  DecodeSettings settings;
  source.SetChannels(1, 1);
  opened = source.Open(path);
  if (!opened) return {};
  source.Rewind();
  source.SetStep(0.2);  // the conversion's read step: a fifth of a frame
  CBlockCollector collected;
  CClassicPulses pulses(source, settings, &MeasurePulse);
  DecodeClassicBlocks(pulses, settings, collected);
  return collected.Blocks();
}

}  // namespace

Take::Take(const QString& path, DecodeMethod method, QObject* parent)
    : QObject(parent), m_path(path), m_method(method) {}

Take::~Take() {
  if (m_thread != nullptr) {
    m_cancel = true;
    m_thread->wait();
    delete m_thread;
  }
}

std::shared_ptr<const WaveStore> Take::store() const {
  std::lock_guard<std::mutex> lock(m_storeMutex);
  return m_store;
}

void Take::start() {
  if (m_thread != nullptr) return;
  // The spill file goes to the user's cache folder, on disk, rather than to
  // /tmp, which may be memory: a 2-hour 96 kHz recording spills 1.4 GB.
  const QString cache = QStandardPaths::writableLocation(QStandardPaths::CacheLocation);
  if (!cache.isEmpty() && QDir().mkpath(cache)) m_spillFolder = QFile::encodeName(cache).toStdString();
  m_thread = QThread::create([this] { run(); });
  connect(m_thread, &QThread::finished, this, [this] {
    m_done = true;
    emit finished();
  });
  m_thread->start();
}

void Take::run() {
  const std::string path = QFile::encodeName(m_path).toStdString();
  try {
    RobustRunOptions options;
    options.cancel = &m_cancel;
    // The picture shows the first stream the decoder reads: the mix of a
    // stereo recording, the channel of a mono one.
    options.beforeDecoding = [this](RobustReport& report) {
      auto store = std::make_shared<WaveStore>(report.sampleRate, m_spillFolder);
      if (report.info.frames > 0 && report.info.rate > 0)
        store->Reserve(static_cast<std::uint64_t>(static_cast<double>(report.info.frames) * report.sampleRate /
                                                  report.info.rate));
      std::lock_guard<std::mutex> lock(m_storeMutex);
      m_store = std::move(store);
      return true;
    };
    options.onSamples = [this](const float* samples, std::size_t count) {
      m_store->Append(samples, count);
    };
    options.progress = [this](const InputProgress& p) {
      if (p.total > 0) m_progress = static_cast<double>(p.done) / static_cast<double>(p.total);
    };
    if (m_method == DecodeMethod::CLASSIC) {
      // The picture alone from the stream; the blocks from the classic decoder.
      options.channels = ChannelMode::MIX;
      m_result.ok = DecodeRecording(path, options, [](TapeBlock&&) {}, m_result.report);
      m_result.report.blocks.clear();
      m_result.report.goodBlocks = m_result.report.badBlocks = 0;
      if (m_result.ok) {
        bool opened = false;
        m_result.blocks = ClassicBlocks(path, opened);
        m_result.ok = opened;
        if (!opened) m_result.report.failure = Failure(FailureKind::CANNOT_OPEN, path);
        for (const TapeBlock& block : m_result.blocks) {
          BlockSummary summary;
          summary.number = static_cast<int>(m_result.report.blocks.size()) + 1;
          summary.length = block.bytes.size();
          summary.flag = block.bytes.empty() ? 0 : block.bytes[0];
          summary.good = ChecksumGood(block.bytes);
          summary.header = ParseRomHeader(block.bytes);
          (summary.good ? m_result.report.goodBlocks : m_result.report.badBlocks)++;
          m_result.report.blocks.push_back(summary);
        }
      }
    } else {
      m_result.ok = DecodeRecording(
          path, options,
          [this](TapeBlock&& block) {
            // A block's bit lists grew bit by bit: kept, they hold no slack
            // (a 40 KB block's are 3.8 MB).
            block.bitSeconds.shrink_to_fit();
            block.bitConfidence.shrink_to_fit();
            m_result.blocks.push_back(std::move(block));
          },
          m_result.report);
    }
    m_result.cancelled = m_result.report.failure.kind == FailureKind::CANCELLED;
    if (m_result.cancelled) m_result.ok = true;  // what was read before the cancel stays
  } catch (const std::bad_alloc&) {
    m_result.ok = false;
    m_result.report.failure = Failure(FailureKind::NO_MEMORY, path);
  }
  std::shared_ptr<WaveStore> store;
  {
    std::lock_guard<std::mutex> lock(m_storeMutex);
    store = m_store;
  }
  if (store) store->Finish();
  m_progress = 1.0;
}

}  // namespace tapedecoder
