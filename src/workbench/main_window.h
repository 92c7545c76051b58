// The workbench's window: open recordings (the first take and further
// takes of the same tape), decode them on worker threads, show the wave
// with the tape over it, the blocks, the suspicious points, one block in
// detail and the merged tape, and save the tape.
#ifndef TAPEDECODER_WORKBENCH_MAIN_WINDOW_H_
#define TAPEDECODER_WORKBENCH_MAIN_WINDOW_H_

#include <QMainWindow>
#include <QPointer>
#include <QStringList>

#include <atomic>
#include <memory>
#include <vector>

#include "convert/conversion_run.h"
#include "merge/tape_merger.h"
#include "workbench/take.h"
#include "workbench/tape_analysis.h"

class QAction;
class QActionGroup;
class QLabel;
class QListWidget;
class QMenu;
class QProgressBar;
class QPushButton;
class QTabWidget;
class QTableWidget;
class QTimer;

namespace tapedecoder {

class BlockDetail;
class OverviewStrip;
class WaveView;

// The extensions of everything the robust method reads, as a file-dialog
// filter's pattern ("*.wav *.flac ...").
QString RecordingPatterns();

class MainWindow : public QMainWindow {
  Q_OBJECT

 public:
  explicit MainWindow(QWidget* parent = nullptr);
  ~MainWindow() override;

  // Opens `path` as the first take (closing what was open) and starts
  // decoding it; false when it does not exist.
  bool openRecording(const QString& path);
  // Adds `path` as a further take of the open tape and decodes it.
  bool addTake(const QString& path);
  void setMethod(DecodeMethod method);
  void cancelDecode();
  bool busy() const;

  // Writes the tape (the merged one when there are several takes) as
  // TITLE.txt and the images `formats` asks for, and with `report` the
  // report TITLE.json (robust decodes only), as one output set. Returns
  // false with `error` set when it cannot.
  bool saveTape(const QString& title, const OutputFormats& formats, QString* error, bool report = false);

  void selectBlock(int index);
  int selectedBlock() const { return m_selected; }

  // For tests and the benchmark.
  const std::vector<std::unique_ptr<Take>>& takesOpen() const { return m_takes; }
  const std::vector<MergedBlock>& merged() const { return m_merged; }
  QTableWidget* blockTable() const { return m_blockTable; }
  QTableWidget* mergedTable() const { return m_mergedTable; }
  QListWidget* suspectList() const { return m_suspectList; }
  BlockDetail* blockDetail() const { return m_detail; }
  WaveView* waveView() const { return m_view; }
  OverviewStrip* overview() const { return m_overview; }
  QStringList recentFiles() const;

 signals:
  // A take's decode ended (finished or cancelled) and its lists are filled.
  void decodeFinished();
  // The takes' merge is done and the merged list is filled.
  void mergeFinished();

 protected:
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void buildMenus();
  void startTake(const QString& path);
  void onTakeFinished(Take* take);
  void refreshPictures();
  void fillBlockTable();
  void fillSuspects();
  void startMerge();
  void fillMerged();
  void poll();
  void rememberRecent(const QString& path);
  void updateRecentMenu();
  void stepSuspect(int direction);
  void chooseOpen();
  void chooseAddTake();
  void chooseSave();
  const std::vector<TapeBlock>& savedBlocks() const;
  // The report of the merged tape of the open takes (named `takes`).
  std::string MergedReportJson(const std::string& title, const std::vector<std::string>& takes) const;

  DecodeMethod m_method = DecodeMethod::ROBUST;
  std::vector<std::unique_ptr<Take>> m_takes;
  std::vector<Suspect> m_suspects;
  std::vector<MergedBlock> m_merged;
  std::vector<double> m_offsets;  // per take: seconds to add to line it up under the first
  QThread* m_mergeThread = nullptr;
  std::shared_ptr<std::vector<MergedBlock>> m_mergeResult;
  std::shared_ptr<std::atomic<bool>> m_mergeCancel;  // stops the merge's second reading
  int m_generation = 0;    // counts openRecording calls: a merge of closed takes is dropped
  std::size_t m_mergeTakes = 0;  // takes the running or last merge was given
  int m_selected = -1;
  bool m_fitWhole = true;  // the view follows the whole recording while it is read

  WaveView* m_view;
  OverviewStrip* m_overview;
  QTableWidget* m_blockTable;
  QTableWidget* m_mergedTable;
  QListWidget* m_suspectList;
  BlockDetail* m_detail;
  QTabWidget* m_tabs;
  QLabel* m_status;
  QProgressBar* m_progress;
  QPushButton* m_cancel;
  QTimer* m_poll;
  QMenu* m_recentMenu = nullptr;
  QActionGroup* m_methods = nullptr;
  QAction* m_saveReport = nullptr;  // checked: saving writes the report too
};

}  // namespace tapedecoder

#endif  // TAPEDECODER_WORKBENCH_MAIN_WINDOW_H_
