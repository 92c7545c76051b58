// The workbench as a user drives it: a synthesised recording with a good
// and a damaged block is dropped on the window, decoded on the worker,
// inspected, zoomed, merged with a second take and saved; a long decode is
// cancelled.
#include <QApplication>
#include <QDropEvent>
#include <QListWidget>
#include <QMimeData>
#include <QSettings>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTableWidget>
#include <QTest>
#include <QUrl>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "robust/tape_synth.h"
#include "test_support.h"
#include "workbench/block_detail.h"
#include "workbench/main_window.h"
#include "workbench/recording_pass.h"
#include "workbench/tape_analysis.h"
#include "workbench/wave_store.h"
#include "workbench/wave_view.h"

using namespace tapedecoder;
using testing_support::Bytes;
using testing_support::TapeBytes;

namespace {

constexpr double kRate = 44100.0;

const std::vector<TapeBytes>& Tape() {
  static const std::vector<TapeBytes> tape = {testing_support::RomHeader("first", 300),
                                              testing_support::DataBlock(300, 1),
                                              testing_support::RomHeader("second", 300),
                                              testing_support::DataBlock(300, 2)};
  return tape;
}

std::vector<float> Render(std::vector<TapeBytes> blocks, std::uint32_t seed) {
  testing_support::TapePath path;
  path.noise = 0.02;
  return RenderTape(blocks, path, seed);
}

// Silences 30 ms of the block rendered alone in `part` (0.3 s of lead-in,
// then the pilot and sync): 0.02 s into a header's data, 0.1 s into other data.
void DropOut(std::vector<float>& part, const TapeBytes& block) {
  const double pilot = (block[0] < 128 ? 8063 : 3223) * 2168.0 / 3500000.0;
  const auto from = static_cast<std::size_t>((0.3 + pilot + (block[0] < 128 ? 0.02 : 0.1)) * kRate);
  for (std::size_t i = from; i < from + static_cast<std::size_t>(0.03 * kRate) && i < part.size(); ++i)
    part[i] *= 0.01f;
}

// Take 1 loses the last data block to a dropout; take 2, starting `lead`
// seconds later, loses the first header instead.
std::vector<float> MakeTake(int take, double lead) {
  const auto& tape = Tape();
  std::vector<float> samples(static_cast<std::size_t>(lead * kRate), 0.0f);
  std::vector<float> first = Render({tape[0]}, 10 + take);
  std::vector<float> middle = Render({tape[1], tape[2]}, 20 + take);
  std::vector<float> last = Render({tape[3]}, 30 + take);
  if (take == 1) DropOut(last, tape[3]);
  if (take == 2) DropOut(first, tape[0]);
  for (const auto* part : {&first, &middle, &last}) samples.insert(samples.end(), part->begin(), part->end());
  return samples;
}

void WriteWave(const std::filesystem::path& path, const std::vector<float>& samples, int repeat = 1) {
  Bytes once, bytes;
  for (float s : samples) once.push_back(static_cast<std::uint8_t>(std::lround(128.0 + 127.0 * std::clamp(s, -1.0f, 1.0f))));
  bytes.reserve(once.size() * static_cast<std::size_t>(repeat));
  for (int r = 0; r < repeat; ++r) bytes.insert(bytes.end(), once.begin(), once.end());
  testing_support::WriteFile(path, testing_support::SimpleWave(bytes));
}

bool WaitFor(const std::function<bool()>& done, int ms = 120000) {
  return QTest::qWaitFor(done, ms);
}

}  // namespace

class WorkbenchTest : public QObject {
  Q_OBJECT

 private:
  testing_support::ScratchDir m_dir;
  QString m_take1, m_take2, m_long;

  QString Path(const char* name) const { return QString::fromStdString((m_dir / name).string()); }

 private slots:
  void initTestCase() {
    QStandardPaths::setTestModeEnabled(true);
    // Settings (the recent files) of this run alone: other runs may be going at once.
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, QString::fromStdString(m_dir.Path().string()));
    QCoreApplication::setOrganizationName(QStringLiteral("tapedecoder-tests"));
    QCoreApplication::setApplicationName(QStringLiteral("workbench-tests"));
    m_take1 = Path("take1.wav");
    m_take2 = Path("take2.wav");
    m_long = Path("long.wav");
    WriteWave(m_dir / "take1.wav", MakeTake(1, 0.0));
    WriteWave(m_dir / "take2.wav", MakeTake(2, 0.4));
    WriteWave(m_dir / "long.wav", MakeTake(1, 0.0), 100);  // about 18 minutes: its decode outlasts the summary
  }

  // The summary, and the samples read back from the spill file or from
  // where they came from, give the same envelope as the samples themselves,
  // at every level, up to the last partial bin.
  void theWaveStoreSummarisesEveryZoom() {
    std::vector<float> samples(1000003);  // not a whole number of bins
    for (std::size_t i = 0; i < samples.size(); ++i)
      samples[i] = static_cast<float>(0.9 * std::sin(0.001 * i * (1.0 + i * 1e-6)) * ((i / 5000) % 7 == 3 ? 0.1 : 1.0));
    struct Memory : SampleReader {
      const std::vector<float>* samples;
      std::size_t ReadAt(std::uint64_t first, float* out, std::size_t count) override {
        count = std::min<std::size_t>(count, samples->size() - first);
        std::copy_n(samples->begin() + static_cast<long>(first), count, out);
        return count;
      }
    };
    auto memory = std::make_unique<Memory>();
    memory->samples = &samples;
    WaveStore spilled(48000.0), readBack(48000.0, std::move(memory));
    // Also read in two halves at once: the second summarised apart and added.
    auto halvesMemory = std::make_unique<Memory>();
    halvesMemory->samples = &samples;
    WaveStore halves(48000.0, std::move(halvesMemory)), tail(48000.0, std::unique_ptr<SampleReader>());
    const std::size_t split = 1500 * WaveStore::kBaseBin;
    for (WaveStore* store : {&spilled, &readBack, &halves}) {
      QVERIFY(store->Ok());
      const std::size_t end = store == &halves ? split : samples.size();
      for (std::size_t at = 0; at < end; at += 70000) store->Append(samples.data() + at, std::min<std::size_t>(70000, end - at));
      if (store == &halves) {
        tail.Append(samples.data() + split, samples.size() - split);
        QVERIFY(store->AppendSummary(tail));
      }
      store->Finish();
      QCOMPARE(store->Samples(), std::uint64_t{samples.size()});
      // Within half a step of 16 bits: the summary and the spill file keep 16-bit samples.
      const auto near = [](float a, float b) { return std::abs(a - b) <= 0.5f / 32767.0f + 1e-6f; };
      struct Case { double first, perBin; int bins; };
      for (const Case& c : {Case{0, 1, 50}, Case{777, 3, 40}, Case{0, 256, 30}, Case{1024, 1024, 30},
                            Case{0, 16384, 61}, Case{0, 65536, 16}, Case{0, 262144, 4}}) {
        const std::vector<MinMax> env = store->Envelope(c.first, c.perBin, c.bins);
        for (int b = 0; b < c.bins; ++b) {
          const auto from = static_cast<std::size_t>(c.first + c.perBin * b);
          const auto to = std::min(samples.size(), static_cast<std::size_t>(c.first + c.perBin * (b + 1)));
          if (from >= to) continue;
          const auto [low, high] = std::minmax_element(samples.begin() + static_cast<long>(from),
                                                       samples.begin() + static_cast<long>(to));
          QVERIFY2(near(env[static_cast<std::size_t>(b)].low, *low) && near(env[static_cast<std::size_t>(b)].high, *high),
                   qPrintable(QStringLiteral("spilled %1, per bin %2, bin %3").arg(store->Spills()).arg(c.perBin).arg(b)));
        }
      }
      const std::vector<float> back = store->Read(samples.size() - 3, 10);
      QCOMPARE(back.size(), std::size_t{3});
      QVERIFY(near(back[2], samples.back()));
    }
    QVERIFY(spilled.Spills() && !readBack.Spills());
  }

  // A recording's stream read back at any point, forwards and backwards,
  // is what the summary pass read: by seeking in a sound file, by rendering
  // a CSW file again.
  void aRecordingIsReadBackAtAnyPoint() {
    OutputFormats csw;
    csw.Add("csw");
    {
      MainWindow window;
      QVERIFY(window.openRecording(m_take1));
      QVERIFY(WaitFor([&] { return !window.busy(); }));
      QString error;
      QVERIFY2(window.saveTape(Path("pulses"), csw, &error), qPrintable(error));
    }
    for (const char* name : {"take1.wav", "pulses.csw"}) {
      const std::string path = (m_dir / name).string();
      std::vector<float> whole;
      Failure error;
      const auto store = SummariseRecording(path, std::string(), nullptr, nullptr, nullptr, error);
      QVERIFY2(store && !store->Spills(), name);
      RecordingReader reader(path);
      whole.resize(static_cast<std::size_t>(store->Samples()));
      QCOMPARE(reader.ReadAt(0, whole.data(), whole.size()), whole.size());
      for (const std::uint64_t at : {std::uint64_t{200000}, std::uint64_t{1000}, whole.size() - 5}) {
        std::vector<float> part(10);
        part.resize(reader.ReadAt(at, part.data(), part.size()));
        QCOMPARE(part.size(), std::min<std::size_t>(10, whole.size() - at));
        QVERIFY2(std::equal(part.begin(), part.end(), whole.begin() + static_cast<long>(at)), name);
      }
    }
  }

  // What the pictures and lists are made of: the stretches, the runs of
  // weak bits, the announced length.
  void theTapeIsReadIntoStretchesAndPoints() {
    const auto block = [](std::vector<std::uint8_t> bytes, double start, double data, double end,
                          std::vector<float> confidence) {
      TapeBlock b;
      b.bytes = std::move(bytes);
      b.startSeconds = start;
      b.dataSeconds = data;
      b.endSeconds = end;
      b.bitConfidence = std::move(confidence);
      for (std::size_t i = 0; i < b.bitConfidence.size(); ++i) b.bitSeconds.push_back(data + 0.001 * i);
      return b;
    };
    const TapeBytes header = testing_support::RomHeader("x", 5);  // announces 5 data bytes
    const std::vector<TapeBlock> blocks = {
        block(header, 0.5, 2.0, 2.3, std::vector<float>(152, 1.0f)),
        block({0xff, 1, 2}, 2.35, 3.0, 3.2, {1, 1, 0.2f, 0.1f, 1, 0.3f, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0.0f}),
    };
    // Pause before the first block; none in the 0.05 s between the blocks; pause at the end.
    const std::vector<TapeSpan> spans = TapeSpans(blocks, 5.0);
    const SpanKind kinds[] = {SpanKind::PAUSE, SpanKind::TONE, SpanKind::GOOD, SpanKind::TONE, SpanKind::BAD, SpanKind::PAUSE};
    QCOMPARE(spans.size(), std::size(kinds));
    for (std::size_t i = 0; i < spans.size(); ++i) QCOMPARE(static_cast<int>(spans[i].kind), static_cast<int>(kinds[i]));
    QCOMPARE(spans.back().start, 3.2);

    const std::vector<WeakRun> runs = WeakRuns(blocks[1]);
    const std::size_t expected[][2] = {{2, 2}, {5, 1}, {23, 1}};
    QCOMPARE(runs.size(), std::size(expected));
    for (std::size_t i = 0; i < runs.size(); ++i) {
      QCOMPARE(runs[i].firstBit, expected[i][0]);
      QCOMPARE(runs[i].bits, expected[i][1]);
    }
    QCOMPARE(AnnouncedLength(blocks, 1), std::optional<std::size_t>(7));
    QVERIFY(!AnnouncedLength(blocks, 0));
    // Three weak runs and the short read, in time order.
    const std::vector<Suspect> suspects = FindSuspects(blocks, nullptr);
    QCOMPARE(suspects.size(), std::size_t{4});
    QCOMPARE(static_cast<int>(suspects.back().kind), static_cast<int>(SuspectKind::CUT_SHORT));
    QCOMPARE(suspects.back().count, std::size_t{4});
    QCOMPARE(suspects[0].seconds, 3.002);
  }

  void droppedRecordingDecodesAndShowsItsBlocks() {
    MainWindow window;
    window.show();
    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(m_take1)});
    QDragEnterEvent enter(QPoint(100, 100), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&window, &enter);
    QVERIFY(enter.isAccepted());
    QDropEvent drop(QPointF(100, 100), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&window, &drop);
    QCOMPARE(window.takesOpen().size(), std::size_t{1});
    QVERIFY(WaitFor([&] { return !window.busy(); }));
    QCOMPARE(window.recentFiles().value(0), m_take1);

    QTableWidget* table = window.blockTable();
    QCOMPARE(table->rowCount(), 4);
    const char* verdicts[] = {"ok", "ok", "ok", "BAD"};
    const char* names[] = {"first", "", "second", ""};
    for (int row = 0; row < 4; ++row) {
      QCOMPARE(table->item(row, 5)->text(), QString::fromLatin1(verdicts[row]));
      QCOMPARE(table->item(row, 3)->text(), QString::fromLatin1(names[row]));
    }
    QVERIFY(window.suspectList()->count() > 0);

    // The bad block chosen in the list: the view scrolls onto it, the
    // detail shows the length its header announced.
    WaveView* view = window.waveView();
    view->zoomBy(50.0, 0.0);
    QVERIFY(view->viewStart() + view->viewSpan() < 3.0);
    table->selectRow(3);
    QCOMPARE(window.selectedBlock(), 3);
    const TapeBlock& bad = window.takesOpen()[0]->result().blocks[3];
    QVERIFY(view->viewStart() <= bad.startSeconds);
    QVERIFY(view->viewStart() + view->viewSpan() >= bad.endSeconds);
    QVERIFY(window.blockDetail()->fieldsText().contains(QStringLiteral("Announced length: 302 bytes")));
    QVERIFY(window.blockDetail()->fieldsText().contains(QStringLiteral("Broke at")));
    QVERIFY(window.blockDetail()->hexText().startsWith(QStringLiteral("00000  ff ")));

    // The wheel zooms in down to single samples, and out to the whole.
    const QPointF centre(view->width() / 2.0, view->height() / 2.0);
    for (int i = 0; i < 80; ++i) {
      QWheelEvent in(centre, view->mapToGlobal(centre), QPoint(), QPoint(0, 120), Qt::NoButton,
                     Qt::NoModifier, Qt::NoScrollPhase, false);
      QApplication::sendEvent(view, &in);
    }
    QCOMPARE(view->viewSpan(), view->minimumSpan());
    QVERIFY(!view->grab().isNull());  // drawn from the samples themselves
    for (int i = 0; i < 80; ++i) {
      QWheelEvent out(centre, view->mapToGlobal(centre), QPoint(), QPoint(0, -120), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
      QApplication::sendEvent(view, &out);
    }
    QCOMPARE(view->viewStart(), 0.0);
    QCOMPARE(view->viewSpan(), view->totalSeconds());
    QVERIFY(!window.grab().isNull());
  }

  void aLongDecodeIsCancelled() {
    MainWindow window;
    window.show();
    QSignalSpy finished(&window, &MainWindow::decodeFinished);
    QVERIFY(window.openRecording(m_long));
    // The whole overview comes first, apart from the decode.
    QVERIFY(WaitFor([&] {
      const auto store = window.takesOpen()[0]->store();
      return store && store->Finished();
    }));
    QVERIFY(window.busy());
    window.cancelDecode();
    QVERIFY(finished.wait(60000));
    QVERIFY(!window.busy());
    const TakeResult& result = window.takesOpen()[0]->result();
    QVERIFY(result.cancelled);
    QVERIFY(window.blockTable()->rowCount() < 4 * 100);
  }

  void theClassicMethodIsAnOption() {
    WriteWave(m_dir / "clean.wav", RenderTape({Tape()[0], Tape()[1]}, testing_support::TapePath(), 3));
    MainWindow window;
    window.setMethod(DecodeMethod::CLASSIC);
    QVERIFY(window.openRecording(Path("clean.wav")));
    QVERIFY(WaitFor([&] { return !window.busy(); }));
    QCOMPARE(window.blockTable()->rowCount(), 2);
    // Timed from the pulses: 0.3 s of lead-in, the header's pilot and sync,
    // its 19 bytes; the data block after a pause.
    const std::vector<TapeBlock>& blocks = window.takesOpen()[0]->result().blocks;
    const double pilot = 8063 * 2168.0 / 3500000.0;
    QVERIFY(std::abs(blocks[0].startSeconds - 0.3) < 0.01);
    QVERIFY(std::abs(blocks[0].dataSeconds - (0.3 + pilot)) < 0.01);
    QVERIFY(blocks[0].endSeconds > blocks[0].dataSeconds + 0.05 && blocks[0].endSeconds < blocks[1].startSeconds);
    for (int row = 0; row < 2; ++row) {
      QCOMPARE(window.blockTable()->item(row, 5)->text(), QStringLiteral("ok"));
      QVERIFY(window.blockTable()->item(row, 1)->text().startsWith(QStringLiteral("0:")));
    }
  }

  void aSecondTakeMergesAndTheTapeIsSaved() {
    MainWindow window;
    window.show();
    QSignalSpy merged(&window, &MainWindow::mergeFinished);
    QVERIFY(window.openRecording(m_take1));
    QVERIFY(window.addTake(m_take2));
    QVERIFY(merged.wait(120000));
    QVERIFY(WaitFor([&] { return !window.busy(); }));

    // Every block good: the header from take 1, the last data block from take 2.
    QTableWidget* table = window.mergedTable();
    QCOMPARE(table->rowCount(), 4);
    for (int row = 0; row < 4; ++row) QCOMPARE(table->item(row, 4)->text(), QStringLiteral("ok"));
    QCOMPARE(table->item(0, 5)->text(), QStringLiteral("take 1"));
    QCOMPARE(table->item(3, 5)->text(), QStringLiteral("take 2"));
    // Take 2's lane lines up under take 1: it started 0.4 s later.
    QCOMPARE(window.waveView()->takes().size(), std::size_t{2});
    QVERIFY(std::abs(window.waveView()->takes()[1].offset + 0.4) < 0.01);

    // Saved as TAP, TZX and PZX with the listing: the .tap is the tape.
    Bytes expected;
    for (const TapeBytes& block : Tape()) {
      expected.push_back(static_cast<std::uint8_t>(block.size()));
      expected.push_back(static_cast<std::uint8_t>(block.size() >> 8));
      expected.insert(expected.end(), block.begin(), block.end());
    }
    QString error;
    OutputFormats tzx;
    tzx.Add("tzx");
    QVERIFY2(window.saveTape(Path("merged"), tzx, &error, true), qPrintable(error));
    QVERIFY(testing_support::ReadFile(m_dir / "merged.tap") == expected);
    QVERIFY(!testing_support::ReadFile(m_dir / "merged.txt").empty());
    const Bytes image = testing_support::ReadFile(m_dir / "merged.tzx");
    QCOMPARE(std::string(image.begin(), image.begin() + 7), std::string("ZXTape!"));
    const Bytes report = testing_support::ReadFile(m_dir / "merged.json");
    QVERIFY(std::string(report.begin(), report.end()).find("\"method\": \"merge\"") != std::string::npos);

    // One take alone, with its measured timings, as PZX; never over a take.
    QVERIFY(window.openRecording(m_take1));
    QVERIFY(WaitFor([&] { return !window.busy(); }));
    OutputFormats pzx;
    pzx.Add("pzx");
    QVERIFY2(window.saveTape(Path("single"), pzx, &error), qPrintable(error));
    const Bytes pulses = testing_support::ReadFile(m_dir / "single.pzx");
    QCOMPARE(std::string(pulses.begin(), pulses.begin() + 4), std::string("PZXT"));

    // A recording named like an output stays as it is.
    std::filesystem::copy_file(m_dir / "take1.wav", m_dir / "rec.tap");
    QVERIFY(window.openRecording(Path("rec.tap")));
    QVERIFY(WaitFor([&] { return !window.busy(); }));
    QCOMPARE(window.blockTable()->rowCount(), 4);
    QVERIFY(!window.saveTape(Path("rec"), OutputFormats(), &error));
    QVERIFY(error.contains(QStringLiteral("not replaced")));
    QVERIFY(testing_support::ReadFile(m_dir / "rec.tap") == testing_support::ReadFile(m_dir / "take1.wav"));
  }
};

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", QByteArrayLiteral("offscreen"));
  QApplication application(argc, argv);
  WorkbenchTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "workbench_test.moc"
