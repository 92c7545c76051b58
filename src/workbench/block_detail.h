// One block in detail: its fields and timings, where it broke, its bytes
// in hex and a histogram of its pulse lengths.
#ifndef TAPEDECODER_WORKBENCH_BLOCK_DETAIL_H_
#define TAPEDECODER_WORKBENCH_BLOCK_DETAIL_H_

#include <QWidget>

#include <vector>

#include "tape/tape_block.h"
#include "workbench/tape_analysis.h"
#include "workbench/wave_store.h"

class QLabel;
class QPlainTextEdit;

namespace tapedecoder {

// The half-wave lengths of a block, high and low side by side, with the
// ROM's pilot, zero and one lengths marked at the block's speed.
class PulseHistogramView : public QWidget {
  Q_OBJECT

 public:
  explicit PulseHistogramView(QWidget* parent = nullptr);
  void setHistogram(const PulseHistogram& histogram, double speed);
  QSize sizeHint() const override { return {360, 160}; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  PulseHistogram m_histogram;
  double m_speed = 1.0;
};

class BlockDetail : public QWidget {
  Q_OBJECT

 public:
  explicit BlockDetail(QWidget* parent = nullptr);
  // Shows block `index` of `blocks` (the store gives the pulse lengths,
  // may be null); -1 clears.
  void showBlock(const std::vector<TapeBlock>& blocks, int index, const WaveStore* store);
  QString fieldsText() const;
  QString hexText() const;
  const PulseHistogramView* histogram() const { return m_histogram; }

 private:
  QLabel* m_fields;
  QPlainTextEdit* m_hex;
  PulseHistogramView* m_histogram;
};

// The bytes as hex, 16 to a line, with offsets and the printable
// characters beside them.
QString HexDump(const std::vector<std::uint8_t>& bytes);

}  // namespace tapedecoder

#endif  // TAPEDECODER_WORKBENCH_BLOCK_DETAIL_H_
