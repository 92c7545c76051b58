#include "workbench/take.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>

#include <new>

#include "audio/wave_file.h"
#include "audio/wave_source.h"
#include "tape/block_decoder.h"
#include "tape/tape_output.h"
#include "workbench/recording_pass.h"

namespace tapedecoder {

namespace {

// The summary pass's share of the progress bar: it reads the recording
// several times faster than the decode.
constexpr double kSummaryShare = 0.1;

// Stamps each block the classic assembler hands over with the times its
// pulses gave (seconds from the frame positions of the 44100 Hz recording).
class TimedBlocks : public BlockSink {
 public:
  void Take(const TapeBlock& block) override {
    blocks.push_back(block);
    blocks.back().startSeconds = start / WAVE_SAMPLE_RATE;
    blocks.back().dataSeconds = data / WAVE_SAMPLE_RATE;
    blocks.back().endSeconds = end / WAVE_SAMPLE_RATE;
  }
  std::vector<TapeBlock> blocks;
  double start = 0.0, data = 0.0, end = 0.0;  // frames: the pilot's first pulse, after the sync, the last bit
};

// The classic method's blocks, as DecodeClassicBlocks reads them, with
// their times.
std::vector<TapeBlock> ClassicBlocks(const std::string& path, bool& opened) {
  CWaveSource source;
  DecodeSettings settings;
  source.SetChannels(1, 1);
  opened = source.Open(path);
  if (!opened) return {};
  source.Rewind();
  source.SetStep(0.2);  // the conversion's read step: a fifth of a frame
  TimedBlocks timed;
  CClassicPulses pulses(source, settings, &MeasurePulse);
  CClassicAssembler assembler(timed);
  StepPulse pulse;
  for (double from = source.Position(); pulses.Next(pulse); from = source.Position()) {
    const DecodePhase before = assembler.Phase();
    if (pulse.counted && assembler.TakePulse(ClassifyPulse(settings, pulse.steps))) {
      if (before == PHASE_SEARCH) timed.start = from;
      if (assembler.Phase() == PHASE_DATA) timed.end = source.Position();
      if (before == PHASE_PILOT && assembler.Phase() == PHASE_DATA) timed.data = source.Position();
      continue;
    }
    if (pulse.steps == -1) assembler.EndBlock();
  }
  return std::move(timed.blocks);
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
    // The picture first, in one fast pass of its own; then the decode.
    Failure openError;
    InputInfo info;
    const std::shared_ptr<WaveStore> store = SummariseRecording(
        path, m_spillFolder, &m_cancel,
        [this, &info](const std::shared_ptr<WaveStore>& made, const InputInfo& what) {
          info = what;
          std::lock_guard<std::mutex> lock(m_storeMutex);
          m_store = made;
        },
        [this](double done) { m_progress = kSummaryShare * done; }, openError);
    if (m_cancel) {
      m_result.ok = m_result.cancelled = true;
      m_result.report.failure = Failure(FailureKind::CANCELLED, path);
    } else if (m_method == DecodeMethod::CLASSIC) {
      DecodeClassic(path, store, info);
    } else {
      RobustRunOptions options;
      options.cancel = &m_cancel;
      options.progress = [this](const InputProgress& p) {
        if (p.total > 0)
          m_progress = kSummaryShare + (1.0 - kSummaryShare) * static_cast<double>(p.done) / static_cast<double>(p.total);
      };
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
      m_result.cancelled = m_result.report.failure.kind == FailureKind::CANCELLED;
      if (m_result.cancelled) m_result.ok = true;  // what was read before the cancel stays
    }
  } catch (const std::bad_alloc&) {
    m_result.ok = false;
    m_result.report.failure = Failure(FailureKind::NO_MEMORY, path);
  }
  m_progress = 1.0;
}

void Take::DecodeClassic(const std::string& path, const std::shared_ptr<WaveStore>& store, const InputInfo& info) {
  RobustReport& report = m_result.report;
  report.info = info;
  report.failure = Failure(FailureKind::CANNOT_OPEN, path);
  if (!store) return;
  bool opened = false;
  m_result.blocks = ClassicBlocks(path, opened);
  m_result.ok = opened;
  if (!opened) return;
  report.failure = Failure();
  report.sampleRate = store->Rate();
  report.seconds = store->Seconds();
  for (const TapeBlock& block : m_result.blocks) {
    BlockSummary summary = SummariseBlock(block, static_cast<int>(report.blocks.size()) + 1);
    (summary.good ? report.goodBlocks : report.badBlocks)++;
    report.blocks.push_back(std::move(summary));
  }
}

}  // namespace tapedecoder
