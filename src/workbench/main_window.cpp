#include "workbench/main_window.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QSplitter>
#include <QStatusBar>
#include <QTabWidget>
#include <QTableWidget>
#include <QTimer>
#include <QToolBar>
#include <QVBoxLayout>

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "convert/merge_run.h"
#include "convert/output_formats.h"
#include "convert/run_report.h"
#include "convert/tape_files.h"
#include "io/output_set.h"
#include "tape/tape_output.h"
#include "workbench/block_detail.h"
#include "workbench/texts.h"
#include "workbench/wave_view.h"

namespace tapedecoder {

namespace {

constexpr int kRecentFiles = 8;
// Weak bits in a row that end a block when the takes are read again for a
// vote: on through a dropout of about a tenth of a second, as the CLI's merge.
constexpr int kBridgeBits = 200;

const char* const kExtensions[] = {"wav", "wave", "rf64", "w64", "flac", "ogg", "oga", "mp3",
                                   "aif", "aiff", "aifc", "au", "snd", "caf", "csw"};

QTableWidgetItem* Cell(const QString& text, Qt::Alignment align = Qt::AlignLeft | Qt::AlignVCenter) {
  auto* item = new QTableWidgetItem(text);
  item->setTextAlignment(align);
  item->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
  return item;
}

QString NameOf(const std::vector<std::uint8_t>& bytes) {
  const auto header = ParseRomHeader(bytes);
  return header ? QString::fromLatin1(header->name.c_str()).trimmed() : QString();
}

QString FailureText(const Failure& failure) {
  const QString path = QString::fromLocal8Bit(failure.path.c_str());
  const QString reason = failure.osError != 0 ? QString::fromLocal8Bit(std::strerror(failure.osError)) : QString();
  switch (failure.kind) {
    case FailureKind::NO_MEMORY: return Texts::tr("Not enough memory to write the tape.");
    case FailureKind::OUTPUT_IS_INPUT: return Texts::tr("%1 is a recording that is open; it is not replaced.").arg(path);
    case FailureKind::OUTPUT_PROTECTED: return Texts::tr("%1 is protected and is not replaced.").arg(path);
    case FailureKind::OUTPUT_CANNOT_CREATE: return Texts::tr("Cannot create %1: %2").arg(path, reason);
    case FailureKind::OUTPUT_CANNOT_WRITE: return Texts::tr("Cannot write %1: %2").arg(path, reason);
    case FailureKind::OUTPUT_CANNOT_REPLACE: return Texts::tr("Cannot replace %1: %2").arg(path, reason);
    default: break;
  }
  return Texts::tr("The tape could not be written.");
}

// The name of an output format for the save dialog.
QString FormatText(const char* name) {
  const std::string format = name;
  if (format == "tap") return Texts::tr("TAP image");
  if (format == "tzx") return Texts::tr("TZX image");
  if (format == "pzx") return Texts::tr("PZX image");
  if (format == "csw") return Texts::tr("CSW pulse file");
  return Texts::tr("%1 file").arg(QString::fromLatin1(name).toUpper());
}

QString OpenFailureText(const TakeResult& result, const QString& path, DecodeMethod method) {
  if (result.report.failure.kind == FailureKind::NO_MEMORY) return Texts::tr("Not enough memory to read %1.").arg(path);
  if (method == DecodeMethod::CLASSIC && result.report.info.rate > 0)
    return Texts::tr("Cannot read %1 with the classic method: it reads uncompressed 8-bit 44100 Hz WAV "
                     "files only. Choose the robust method.").arg(path);
  return Texts::tr("Cannot read %1: it is no recording the robust method reads.").arg(path);
}

}  // namespace

QString RecordingPatterns() {
  QStringList patterns;
  for (const char* extension : kExtensions) patterns << QStringLiteral("*.") + QLatin1String(extension);
  return patterns.join(QLatin1Char(' '));
}

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent) {
  setWindowTitle(Texts::tr("tapedecoder workbench"));
  setAcceptDrops(true);

  m_view = new WaveView;
  m_overview = new OverviewStrip(m_view);
  m_blockTable = new QTableWidget(0, 7);
  m_blockTable->setHorizontalHeaderLabels({Texts::tr("#"), Texts::tr("Time"), Texts::tr("Kind"), Texts::tr("Name"), Texts::tr("Length"),
                                           Texts::tr("Verdict"), Texts::tr("Speed")});
  m_blockTable->setSelectionBehavior(QAbstractItemView::SelectRows);
  m_blockTable->setSelectionMode(QAbstractItemView::SingleSelection);
  m_blockTable->verticalHeader()->hide();
  m_blockTable->horizontalHeader()->setStretchLastSection(true);
  m_mergedTable = new QTableWidget(0, 6);
  m_mergedTable->setHorizontalHeaderLabels({Texts::tr("#"), Texts::tr("Kind"), Texts::tr("Name"), Texts::tr("Length"), Texts::tr("Verdict"),
                                            Texts::tr("From")});
  m_mergedTable->verticalHeader()->hide();
  m_mergedTable->horizontalHeader()->setStretchLastSection(true);
  m_suspectList = new QListWidget;
  m_detail = new BlockDetail;

  auto* suspects = new QWidget;
  auto* suspectLayout = new QVBoxLayout(suspects);
  suspectLayout->setContentsMargins(0, 0, 0, 0);
  suspectLayout->addWidget(m_suspectList);

  m_tabs = new QTabWidget;
  m_tabs->addTab(m_detail, Texts::tr("Block"));
  m_tabs->addTab(suspects, Texts::tr("Suspicious points"));
  m_tabs->addTab(m_mergedTable, Texts::tr("Merged tape"));

  auto* top = new QWidget;
  auto* topLayout = new QVBoxLayout(top);
  topLayout->setContentsMargins(0, 0, 0, 0);
  topLayout->setSpacing(2);
  topLayout->addWidget(m_overview);
  topLayout->addWidget(m_view, 1);
  auto* bottom = new QSplitter(Qt::Horizontal);
  bottom->addWidget(m_blockTable);
  bottom->addWidget(m_tabs);
  bottom->setStretchFactor(0, 2);
  bottom->setStretchFactor(1, 3);
  bottom->setSizes({520, 680});
  auto* split = new QSplitter(Qt::Vertical);
  split->addWidget(top);
  split->addWidget(bottom);
  split->setStretchFactor(0, 3);
  split->setStretchFactor(1, 2);
  setCentralWidget(split);

  m_status = new QLabel(Texts::tr("Open a recording of a tape (File, Open, or drop it here)."));
  m_progress = new QProgressBar;
  m_progress->setRange(0, 1000);
  m_progress->setMaximumWidth(240);
  m_progress->hide();
  m_cancel = new QPushButton(Texts::tr("Cancel"));
  m_cancel->hide();
  statusBar()->addWidget(m_status, 1);
  statusBar()->addPermanentWidget(m_progress);
  statusBar()->addPermanentWidget(m_cancel);
  connect(m_cancel, &QPushButton::clicked, this, &MainWindow::cancelDecode);

  m_poll = new QTimer(this);
  m_poll->setInterval(100);
  connect(m_poll, &QTimer::timeout, this, &MainWindow::poll);

  connect(m_blockTable, &QTableWidget::itemSelectionChanged, this, [this] {
    const auto rows = m_blockTable->selectionModel()->selectedRows();
    if (!rows.isEmpty() && rows.first().row() != m_selected) selectBlock(rows.first().row());
  });
  connect(m_view, &WaveView::blockClicked, this, &MainWindow::selectBlock);
  connect(m_view, &WaveView::viewChanged, this, [this](double start, double span) {
    m_fitWhole = start <= 0.0 && span >= m_view->totalSeconds();
  });
  connect(m_suspectList, &QListWidget::currentRowChanged, this, [this](int row) {
    if (row < 0 || row >= static_cast<int>(m_suspects.size())) return;
    const Suspect& s = m_suspects[static_cast<std::size_t>(row)];
    selectBlock(s.block);
    const double span = std::max(m_view->minimumSpan(), 0.02);
    m_view->setView(s.seconds - span / 2, span);
    m_view->setMarker(s.seconds);
  });
  buildMenus();
  resize(1200, 800);
}

MainWindow::~MainWindow() {
  cancelDecode();
  if (m_mergeThread != nullptr) {
    disconnect(m_mergeThread, nullptr, this, nullptr);
    m_mergeThread->wait();
    delete m_mergeThread;
  }
}

void MainWindow::buildMenus() {
  QMenu* file = menuBar()->addMenu(Texts::tr("&File"));
  QAction* open = file->addAction(Texts::tr("&Open recording…"), this, &MainWindow::chooseOpen);
  open->setShortcut(QKeySequence::Open);
  QAction* add = file->addAction(Texts::tr("&Add a take of the same tape…"), this, &MainWindow::chooseAddTake);
  m_recentMenu = file->addMenu(Texts::tr("Open &recent"));
  updateRecentMenu();
  QAction* save = file->addAction(Texts::tr("&Save tape as…"), this, &MainWindow::chooseSave);
  save->setShortcut(QKeySequence::Save);
  m_saveReport = file->addAction(Texts::tr("Save the &report (.json) with the tape"));
  m_saveReport->setCheckable(true);
  m_saveReport->setChecked(QSettings().value(QStringLiteral("saveReport"), false).toBool());
  connect(m_saveReport, &QAction::toggled, this,
          [](bool on) { QSettings().setValue(QStringLiteral("saveReport"), on); });
  file->addSeparator();
  file->addAction(Texts::tr("&Quit"), this, &QWidget::close)->setShortcut(QKeySequence::Quit);

  QMenu* decode = menuBar()->addMenu(Texts::tr("&Decode"));
  m_methods = new QActionGroup(this);
  QAction* robust = decode->addAction(Texts::tr("&Robust method"));
  QAction* classic = decode->addAction(Texts::tr("&Classic method (8-bit 44.1 kHz WAV)"));
  for (QAction* a : {robust, classic}) {
    a->setCheckable(true);
    m_methods->addAction(a);
  }
  robust->setChecked(true);
  connect(robust, &QAction::triggered, this, [this] { m_method = DecodeMethod::ROBUST; });
  connect(classic, &QAction::triggered, this, [this] { m_method = DecodeMethod::CLASSIC; });
  decode->addSeparator();
  QAction* cancel = decode->addAction(Texts::tr("C&ancel"), this, &MainWindow::cancelDecode);
  cancel->setShortcut(Qt::Key_Escape);

  QMenu* view = menuBar()->addMenu(Texts::tr("&View"));
  QAction* zoomIn = view->addAction(Texts::tr("Zoom &in"), this, [this] {
    m_view->zoomBy(2.0, m_view->viewStart() + m_view->viewSpan() / 2);
  });
  zoomIn->setShortcut(QKeySequence::ZoomIn);
  QAction* zoomOut = view->addAction(Texts::tr("Zoom &out"), this, [this] {
    m_view->zoomBy(0.5, m_view->viewStart() + m_view->viewSpan() / 2);
  });
  zoomOut->setShortcut(QKeySequence::ZoomOut);
  QAction* whole = view->addAction(Texts::tr("&Whole recording"), m_view, &WaveView::zoomAll);
  whole->setShortcut(Qt::CTRL | Qt::Key_0);
  view->addSeparator();
  QAction* next = view->addAction(Texts::tr("&Next suspicious point"), this, [this] { stepSuspect(1); });
  next->setShortcut(Qt::Key_F3);
  QAction* previous = view->addAction(Texts::tr("&Previous suspicious point"), this, [this] { stepSuspect(-1); });
  previous->setShortcut(Qt::SHIFT | Qt::Key_F3);

  QToolBar* tools = addToolBar(Texts::tr("Tools"));
  tools->setMovable(false);
  for (QAction* a : {open, add, save}) tools->addAction(a);
  tools->addSeparator();
  for (QAction* a : {zoomIn, zoomOut, whole, previous, next}) tools->addAction(a);
}

void MainWindow::setMethod(DecodeMethod method) {
  m_method = method;
  m_methods->actions().at(method == DecodeMethod::ROBUST ? 0 : 1)->setChecked(true);
}

bool MainWindow::busy() const {
  if (m_mergeThread != nullptr) return true;
  return std::any_of(m_takes.begin(), m_takes.end(), [](const auto& t) { return !t->done(); });
}

bool MainWindow::openRecording(const QString& path) {
  if (!QFileInfo(path).isFile()) {
    m_status->setText(Texts::tr("%1 is no file.").arg(path));
    return false;
  }
  cancelDecode();
  m_takes.clear();
  ++m_generation;
  m_merged.clear();
  m_offsets.clear();
  m_suspects.clear();
  m_selected = -1;
  m_fitWhole = true;
  m_blockTable->setRowCount(0);
  m_mergedTable->setRowCount(0);
  m_suspectList->clear();
  m_detail->showBlock({}, -1, nullptr);
  m_view->setMarker(-1);
  refreshPictures();  // the view lets go of the closed takes' blocks
  startTake(path);
  setWindowTitle(Texts::tr("%1 – tapedecoder workbench").arg(QFileInfo(path).fileName()));
  return true;
}

bool MainWindow::addTake(const QString& path) {
  if (m_takes.empty()) return openRecording(path);
  if (!QFileInfo(path).isFile()) {
    m_status->setText(Texts::tr("%1 is no file.").arg(path));
    return false;
  }
  startTake(path);
  return true;
}

void MainWindow::startTake(const QString& path) {
  auto take = std::make_unique<Take>(path, m_method);
  Take* raw = take.get();
  connect(raw, &Take::finished, this, [this, raw] { onTakeFinished(raw); });
  m_takes.push_back(std::move(take));
  rememberRecent(path);
  raw->start();
  m_status->setText(Texts::tr("Reading %1…").arg(QFileInfo(path).fileName()));
  m_progress->setValue(0);
  m_progress->show();
  m_cancel->show();
  m_poll->start();
}

void MainWindow::cancelDecode() {
  for (auto& take : m_takes) take->cancel();
  if (m_mergeCancel) *m_mergeCancel = true;
}

void MainWindow::poll() {
  double done = 0.0;
  int running = 0;
  for (const auto& take : m_takes) {
    if (take->done()) continue;
    done += take->progress();
    ++running;
  }
  if (running > 0) m_progress->setValue(static_cast<int>(1000.0 * done / running));
  refreshPictures();
  if (running == 0 && m_mergeThread == nullptr) {
    m_poll->stop();
    m_progress->hide();
    m_cancel->hide();
  }
}

void MainWindow::refreshPictures() {
  std::vector<TakePicture> pictures;
  for (std::size_t t = 0; t < m_takes.size(); ++t) {
    const Take& take = *m_takes[t];
    TakePicture picture;
    picture.label = Texts::tr("take %1").arg(t + 1);
    picture.store = take.store();
    if (take.done()) {
      picture.blocks = &take.result().blocks;
      picture.spans = TapeSpans(take.result().blocks, picture.store ? picture.store->Seconds() : 0.0);
    }
    picture.offset = t < m_offsets.size() ? m_offsets[t] : 0.0;
    pictures.push_back(std::move(picture));
  }
  const bool fit = m_fitWhole;
  m_view->setTakes(std::move(pictures));
  if (fit) m_view->zoomAll();
  m_overview->update();
}

void MainWindow::onTakeFinished(Take* take) {
  const TakeResult& result = take->result();
  const bool first = !m_takes.empty() && m_takes[0].get() == take;
  if (!result.ok) {
    const QString message = OpenFailureText(result, take->path(), take->method());
    m_status->setText(message);
    if (isVisible()) QMessageBox::warning(this, Texts::tr("tapedecoder workbench"), message);
  } else {
    const RobustReport& r = result.report;
    QString text = Texts::tr("%1: %2 blocks (%3 good, %4 bad)")
                       .arg(QFileInfo(take->path()).fileName())
                       .arg(r.blocks.size()).arg(r.goodBlocks).arg(r.badBlocks);
    if (result.cancelled) text += Texts::tr(", cancelled part way");
    if (r.readStop) text += Texts::tr(", reading stopped by an error");
    m_status->setText(text);
  }
  refreshPictures();
  if (first) {
    fillBlockTable();
    fillSuspects();
  }
  poll();
  const bool allDone = std::all_of(m_takes.begin(), m_takes.end(), [](const auto& t) { return t->done(); });
  if (allDone && m_takes.size() >= 2) startMerge();
  emit decodeFinished();
}

void MainWindow::fillBlockTable() {
  const std::vector<TapeBlock>& blocks = m_takes[0]->result().blocks;
  const std::vector<BlockSummary>& summaries = m_takes[0]->result().report.blocks;
  m_blockTable->setRowCount(static_cast<int>(blocks.size()));
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    const TapeBlock& b = blocks[i];
    const int row = static_cast<int>(i);
    const bool timed = b.endSeconds > b.startSeconds;
    const double speed = i < summaries.size() ? summaries[i].speed : 0.0;
    const bool good = GoodBytes(b);
    m_blockTable->setItem(row, 0, Cell(QString::number(i + 1), Qt::AlignRight | Qt::AlignVCenter));
    m_blockTable->setItem(row, 1, Cell(timed ? TimeText(b.startSeconds) : QStringLiteral("—")));
    m_blockTable->setItem(row, 2, Cell(BlockKindText(b.bytes)));
    m_blockTable->setItem(row, 3, Cell(NameOf(b.bytes)));
    m_blockTable->setItem(row, 4, Cell(QString::number(b.bytes.size()), Qt::AlignRight | Qt::AlignVCenter));
    // A block whose dropouts were filled by a guess: neither good nor plain bad.
    QTableWidgetItem* verdict = Cell(good ? Texts::tr("ok") : b.mendGuessed ? Texts::tr("unsure") : Texts::tr("BAD"));
    verdict->setForeground(good ? QColor(30, 120, 60) : b.mendGuessed ? QColor(190, 120, 0) : QColor(200, 30, 30));
    m_blockTable->setItem(row, 5, verdict);
    m_blockTable->setItem(row, 6, Cell(speed > 0 ? QStringLiteral("%1 %").arg(100.0 * speed, 0, 'f', 1)
                                                 : QStringLiteral("—"),
                                       Qt::AlignRight | Qt::AlignVCenter));
  }
  m_blockTable->resizeColumnsToContents();
}

void MainWindow::fillSuspects() {
  const Take& take = *m_takes[0];
  const auto store = take.store();
  m_suspects = FindSuspects(take.result().blocks, store.get());
  m_suspectList->clear();
  for (const Suspect& s : m_suspects) {
    QString what;
    switch (s.kind) {
      case SuspectKind::WEAK_BITS: what = Texts::tr("%n weak bit(s)", nullptr, static_cast<int>(s.count)); break;
      case SuspectKind::DROPOUT: what = Texts::tr("dropout of %1 ms").arg(s.length * 1000.0, 0, 'f', 0); break;
      case SuspectKind::CUT_SHORT: what = Texts::tr("ends %n byte(s) short", nullptr, static_cast<int>(s.count)); break;
    }
    m_suspectList->addItem(Texts::tr("%1  block %2: %3").arg(TimeText(s.seconds)).arg(s.block + 1).arg(what));
  }
}

void MainWindow::stepSuspect(int direction) {
  if (m_suspects.empty()) return;
  const int count = static_cast<int>(m_suspects.size());
  int row = m_suspectList->currentRow();
  row = row < 0 ? (direction > 0 ? 0 : count - 1) : (row + direction + count) % count;
  m_tabs->setCurrentIndex(1);
  m_suspectList->setCurrentRow(row);
}

void MainWindow::selectBlock(int index) {
  if (m_takes.empty() || !m_takes[0]->done()) return;
  const std::vector<TapeBlock>& blocks = m_takes[0]->result().blocks;
  if (index < 0 || index >= static_cast<int>(blocks.size())) return;
  m_selected = index;
  const TapeBlock& block = blocks[static_cast<std::size_t>(index)];
  if (block.endSeconds > block.startSeconds) m_view->showStretch(block.startSeconds, block.endSeconds);
  m_view->setSelectedBlock(index);
  const auto store = m_takes[0]->store();
  m_detail->showBlock(blocks, index, store.get());
  {
    const QSignalBlocker blocker(m_blockTable);
    m_blockTable->selectRow(index);
  }
  m_blockTable->scrollToItem(m_blockTable->item(index, 0));
}

void MainWindow::startMerge() {
  if (m_mergeThread != nullptr) return;
  std::vector<std::vector<TapeBlock>> blocks;
  std::vector<double> seconds;
  std::vector<std::string> paths;
  for (const auto& take : m_takes) {
    if (!take->result().ok) return;
    blocks.push_back(take->result().blocks);
    seconds.push_back(take->result().report.seconds);
    paths.push_back(QFile::encodeName(take->path()).toStdString());
  }
  auto result = std::make_shared<std::vector<MergedBlock>>();
  m_mergeResult = result;
  m_mergeTakes = m_takes.size();
  auto cancel = std::make_shared<std::atomic<bool>>(false);
  m_mergeCancel = cancel;
  m_status->setText(Texts::tr("Merging %1 takes…").arg(m_takes.size()));
  m_mergeThread = QThread::create([blocks = std::move(blocks), seconds, paths, result, cancel] {
    std::vector<MergedBlock> merged = MergeTakes(blocks, seconds);
    const bool allGood = std::all_of(merged.begin(), merged.end(), [](const MergedBlock& m) { return m.good; });
    if (!allGood) {
      // Read the takes again on through their dropouts, for the vote.
      std::vector<std::vector<TapeBlock>> bridged(paths.size());
      for (std::size_t t = 0; t < paths.size(); ++t) {
        RobustRunOptions run;
        run.decoder.stopBits = kBridgeBits;
        run.cancel = cancel.get();
        RobustReport again;
        if (!DecodeRecording(paths[t], run, [&](TapeBlock&& b) { bridged[t].push_back(std::move(b)); }, again))
          bridged[t].clear();
      }
      // Cancelled: the first merge stands, without the vote.
      if (!*cancel) merged = MergeTakes(blocks, seconds, bridged);
    }
    *result = std::move(merged);
  });
  connect(m_mergeThread, &QThread::finished, this, [this, generation = m_generation] {
    m_mergeThread->deleteLater();
    m_mergeThread = nullptr;
    if (generation != m_generation) return;  // the takes merged are closed
    const bool allDone = std::all_of(m_takes.begin(), m_takes.end(), [](const auto& t) { return t->done(); });
    if (m_takes.size() != m_mergeTakes && allDone) {
      startMerge();  // a take was added meanwhile
      return;
    }
    m_merged = std::move(*m_mergeResult);
    fillMerged();
    poll();
    emit mergeFinished();
  });
  m_mergeThread->start();
  m_poll->start();
}

void MainWindow::fillMerged() {
  // Each take's offset from the first: the median of its blocks' shifts.
  m_offsets.assign(m_takes.size(), 0.0);
  for (std::size_t t = 1; t < m_takes.size(); ++t) {
    std::vector<double> shifts;
    for (const MergedBlock& m : m_merged)
      if (m.takeStarts.size() > t && m.takeStarts[0] && m.takeStarts[t]) shifts.push_back(*m.takeStarts[0] - *m.takeStarts[t]);
    if (shifts.empty()) continue;
    std::nth_element(shifts.begin(), shifts.begin() + static_cast<long>(shifts.size() / 2), shifts.end());
    m_offsets[t] = shifts[shifts.size() / 2];
  }
  m_mergedTable->setRowCount(static_cast<int>(m_merged.size()));
  int good = 0, voted = 0;
  for (std::size_t i = 0; i < m_merged.size(); ++i) {
    const MergedBlock& m = m_merged[i];
    const int row = static_cast<int>(i);
    good += m.good;
    voted += m.voted;
    m_mergedTable->setItem(row, 0, Cell(QString::number(i + 1), Qt::AlignRight | Qt::AlignVCenter));
    m_mergedTable->setItem(row, 1, Cell(BlockKindText(m.block.bytes)));
    m_mergedTable->setItem(row, 2, Cell(NameOf(m.block.bytes)));
    m_mergedTable->setItem(row, 3, Cell(QString::number(m.block.bytes.size()), Qt::AlignRight | Qt::AlignVCenter));
    m_mergedTable->setItem(row, 4, Cell(m.good ? Texts::tr("ok") : Texts::tr("BAD")));
    m_mergedTable->setItem(row, 5, Cell(m.voted ? Texts::tr("voted across the takes") : Texts::tr("take %1").arg(m.block.take + 1)));
  }
  m_mergedTable->resizeColumnsToContents();
  m_status->setText(Texts::tr("Merged tape: %1 blocks (%2 good, %3 voted) from %4 takes")
                        .arg(m_merged.size()).arg(good).arg(voted).arg(m_takes.size()));
  refreshPictures();
}

const std::vector<TapeBlock>& MainWindow::savedBlocks() const {
  static const std::vector<TapeBlock> kNone;
  return m_takes.empty() ? kNone : m_takes[0]->result().blocks;
}

bool MainWindow::saveTape(const QString& title, const OutputFormats& formats, QString* error, bool report) {
  const auto fail = [error](const QString& text) {
    if (error != nullptr) *error = text;
    return false;
  };
  if (m_takes.empty() || busy() || !m_takes[0]->result().ok)
    return fail(Texts::tr("There is no decoded tape to save yet."));
  const std::string name = QFile::encodeName(title).toStdString();
  // Never over a recording that is open.
  std::vector<std::string> inputs;
  for (const auto& take : m_takes) inputs.push_back(QFile::encodeName(take->path()).toStdString());
  const bool merged = m_takes.size() >= 2 && !m_merged.empty();
  std::vector<TapeBlock> blocks;
  if (merged) {
    for (const MergedBlock& m : m_merged) blocks.push_back(m.block);
  } else {
    blocks = savedBlocks();
  }
  // One take with measured timings keeps them, and its silences, in the
  // images; a merged tape (blocks from several recordings' clocks) and
  // the classic method's blocks go out in the ROM's timing.
  const bool timed = !merged && !blocks.empty() &&
                     std::all_of(blocks.begin(), blocks.end(), [](const TapeBlock& b) {
                       return b.endSeconds > b.startSeconds && b.timing.pilot > 0;
                     });
  const RobustReport& first = m_takes[0]->result().report;
  // The report describes robust decodes: the classic method's tape goes
  // without it.
  const bool withReport = report && std::all_of(m_takes.begin(), m_takes.end(), [](const auto& take) {
    return take->method() == DecodeMethod::ROBUST;
  });
  const RunReport result = WriteTape({name, formats, inputs}, [&](CTapeFeed& feed) {
    TapeContext context;
    context.info = ImageInfo{ToolName(), QFileInfo(m_takes[0]->path()).fileName().toStdString()};
    context.timed = timed;
    context.sampleRate = merged ? 0.0 : first.info.rate;
    if (!feed.Start(context)) return feed.Error();
    const bool parts = feed.Needs(TapeNeeds::PARTS);
    for (const TapeBlock& block : blocks) {
      feed.Block(block);
      if (parts) feed.Part(TapePart(block));
    }
    feed.End(timed ? first.seconds : 0.0);
    if (withReport) feed.beforeCommit = [&](COutputSet& set) {
      const std::string json = merged ? MergedReportJson(name, inputs) : RobustReportJson(name, inputs[0], first, {});
      const int index = set.Add(OutputPath(name, "json"));
      if (index < 0) return false;
      set.Write(index, json.data(), json.size());
      return !set.Failed();
    };
    return Failure();
  });
  if (!result.Written()) return fail(FailureText(result.failure));
  m_status->setText(report && !withReport
                        ? Texts::tr("Saved %1 without the report: it describes the robust method's decodes only.").arg(title)
                        : Texts::tr("Saved %1").arg(title));
  return true;
}

std::string MainWindow::MergedReportJson(const std::string& title, const std::vector<std::string>& takes) const {
  MergeReport report;
  for (const auto& take : m_takes) report.takes.push_back(take->result().report);
  SummariseMerged(m_merged, report);
  return MergeReportJson(title, takes, report, {});
}

void MainWindow::chooseOpen() {
  const QString path = QFileDialog::getOpenFileName(
      this, Texts::tr("Open a recording"), QString(),
      Texts::tr("Recordings and pulse files (%1);;All files (*)").arg(RecordingPatterns()));
  if (!path.isEmpty()) openRecording(path);
}

void MainWindow::chooseAddTake() {
  const QStringList paths = QFileDialog::getOpenFileNames(
      this, Texts::tr("Add takes of the same tape"), QString(),
      Texts::tr("Recordings and pulse files (%1);;All files (*)").arg(RecordingPatterns()));
  for (const QString& path : paths) addTake(path);
}

void MainWindow::chooseSave() {
  if (m_takes.empty()) return;
  // One choice per format of the table; the TAP image goes with each, as
  // the listing always does.
  QStringList filters;
  std::vector<std::string> names;
  for (const OutputFormat& format : AllFormats()) {
    if (format.always) continue;
    const QString pattern = QStringLiteral("*.") + QLatin1String(format.extension);
    const QString name = FormatText(format.name);
    filters << (std::strcmp(format.name, "tap") == 0
                    ? Texts::tr("%1 and listing (%2)").arg(name, pattern)
                    : Texts::tr("%1, TAP image and listing (%2)").arg(name, pattern));
    names.emplace_back(format.name);
  }
  filters << Texts::tr("Listing only (*.txt)");
  QString filter = filters.first();
  const QFileInfo first(m_takes[0]->path());
  const QString suggested = first.absolutePath() + QLatin1Char('/') + first.completeBaseName() + QStringLiteral(".tap");
  const QString path = QFileDialog::getSaveFileName(this, Texts::tr("Save the tape"), suggested,
                                                    filters.join(QStringLiteral(";;")), &filter);
  if (path.isEmpty()) return;
  const QFileInfo info(path);
  const QString title = info.absolutePath() + QLatin1Char('/') + info.completeBaseName();
  OutputFormats formats = OutputFormats::None();
  const auto chosen = static_cast<std::size_t>(filters.indexOf(filter));
  if (chosen < names.size()) {
    formats.Add("tap");
    formats.Add(names[chosen]);
  }
  QString error;
  if (!saveTape(title, formats, &error, m_saveReport->isChecked()))
    QMessageBox::warning(this, Texts::tr("Save the tape"), error);
}

QStringList MainWindow::recentFiles() const {
  return QSettings().value(QStringLiteral("recentFiles")).toStringList();
}

void MainWindow::rememberRecent(const QString& path) {
  QStringList recent = recentFiles();
  const QString absolute = QFileInfo(path).absoluteFilePath();
  recent.removeAll(absolute);
  recent.prepend(absolute);
  while (recent.size() > kRecentFiles) recent.removeLast();
  QSettings().setValue(QStringLiteral("recentFiles"), recent);
  updateRecentMenu();
}

void MainWindow::updateRecentMenu() {
  if (m_recentMenu == nullptr) return;
  m_recentMenu->clear();
  const QStringList recent = recentFiles();
  for (const QString& path : recent)
    m_recentMenu->addAction(QFileInfo(path).fileName(), this, [this, path] { openRecording(path); })->setToolTip(path);
  m_recentMenu->setEnabled(!recent.isEmpty());
}

void MainWindow::dragEnterEvent(QDragEnterEvent* event) {
  if (event->mimeData()->hasUrls()) event->acceptProposedAction();
}

void MainWindow::dropEvent(QDropEvent* event) {
  QStringList paths;
  for (const QUrl& url : event->mimeData()->urls())
    if (url.isLocalFile()) paths << url.toLocalFile();
  if (paths.isEmpty()) return;
  // Dropped with Ctrl (or onto an open tape as several files): further takes.
  const bool asTakes = (event->modifiers() & Qt::ControlModifier) && !m_takes.empty();
  if (!asTakes) openRecording(paths.takeFirst());
  for (const QString& path : paths) addTake(path);
  event->acceptProposedAction();
}

void MainWindow::closeEvent(QCloseEvent* event) {
  cancelDecode();
  QMainWindow::closeEvent(event);
}

}  // namespace tapedecoder
