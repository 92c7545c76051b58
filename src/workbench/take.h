// One take: a recording opened in the workbench, decoded on a worker
// thread into its blocks and its picture (wave_store.h).
#ifndef TAPEDECODER_WORKBENCH_TAKE_H_
#define TAPEDECODER_WORKBENCH_TAKE_H_

#include <QObject>
#include <QString>
#include <QThread>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "convert/robust_run.h"
#include "tape/tape_block.h"
#include "workbench/wave_store.h"

namespace tapedecoder {

enum class DecodeMethod { ROBUST, CLASSIC };

// What a finished decode gives; read it only after Take::finished.
struct TakeResult {
  RobustReport report;            // failure, info, blocks' summaries
  std::vector<TapeBlock> blocks;  // in tape order, with bit times and confidences
  bool ok = false;                // opened and decoded (perhaps cancelled part way)
  bool cancelled = false;
};

// Reads one recording on its own thread: first its picture, in a fast
// pass of its own (the store appears, store(), once the recording is open
// and grows while it is read), then its decode.
class Take : public QObject {
  Q_OBJECT

 public:
  Take(const QString& path, DecodeMethod method, QObject* parent = nullptr);
  ~Take() override;

  const QString& path() const { return m_path; }
  DecodeMethod method() const { return m_method; }
  // Starts the worker; finished() follows, also after a cancel.
  void start();
  // Asks the worker to stop at its next chunk of samples.
  void cancel() { m_cancel = true; }
  bool running() const { return m_thread != nullptr && !m_done; }
  bool done() const { return m_done; }
  // 0..1 of the recording read; thread-safe.
  double progress() const { return m_progress.load(); }
  // Null until the recording is open. Thread-safe to draw from.
  std::shared_ptr<const WaveStore> store() const;
  const TakeResult& result() const { return m_result; }

 signals:
  void finished();

 private:
  void run();
  // The classic method's blocks of the recording summarised in `store`.
  void DecodeClassic(const std::string& path, const std::shared_ptr<WaveStore>& store, const InputInfo& info);

  QString m_path;
  DecodeMethod m_method;
  std::string m_spillFolder;  // where the store's spill file goes; empty: $TMPDIR or /tmp
  std::atomic<bool> m_cancel{false};
  std::atomic<double> m_progress{0.0};
  std::atomic<bool> m_done{false};
  mutable std::mutex m_storeMutex;
  std::shared_ptr<WaveStore> m_store;
  TakeResult m_result;  // written by the worker, read after finished()
  QThread* m_thread = nullptr;
};

}  // namespace tapedecoder

#endif  // TAPEDECODER_WORKBENCH_TAKE_H_
