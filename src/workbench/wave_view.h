// The recording as a picture: the wave of the visible stretch with the
// tape's blocks over it (and, close up, their bits), the lanes of further
// takes under it, and a strip of the whole recording above.
#ifndef TAPEDECODER_WORKBENCH_WAVE_VIEW_H_
#define TAPEDECODER_WORKBENCH_WAVE_VIEW_H_

#include <QString>
#include <QWidget>

#include <memory>
#include <vector>

#include "tape/tape_block.h"
#include "workbench/tape_analysis.h"
#include "workbench/wave_store.h"

namespace tapedecoder {

// What is drawn of a take: its wave, its blocks and their stretches.
// `offset` (seconds) moves a further take's lane onto the first take's time.
struct TakePicture {
  QString label;
  std::shared_ptr<const WaveStore> store;
  const std::vector<TapeBlock>* blocks = nullptr;
  std::vector<TapeSpan> spans;
  double offset = 0.0;
};

class WaveView : public QWidget {
  Q_OBJECT

 public:
  explicit WaveView(QWidget* parent = nullptr);

  // The first take (drawn as the wave) and the further ones (as lanes).
  void setTakes(std::vector<TakePicture> takes);
  const std::vector<TakePicture>& takes() const { return m_takes; }
  void setSelectedBlock(int block);
  void setMarker(double seconds);  // a suspicious point; < 0 for none

  double viewStart() const { return m_start; }
  double viewSpan() const { return m_span; }
  // Seconds the whole of the first take's recording lasts (so far).
  double totalSeconds() const;
  // The shortest span shown: a few samples across the whole width.
  double minimumSpan() const;

  // Shows [start, start + span), kept within the recording.
  void setView(double start, double span);
  // Zooms by `factor` (> 1 in) keeping the time at `anchor` in place.
  void zoomBy(double factor, double anchor);
  void zoomAll();
  // Centres the view on [from, to), zooming out so that it fits when needed.
  void showStretch(double from, double to);

  QSize sizeHint() const override { return {900, 300}; }

 signals:
  void viewChanged(double start, double span);
  void blockClicked(int block);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  double secondsAt(double x) const;
  double xAt(double seconds) const;
  int waveBottom() const;
  void drawBits(class QPainter& p, const TapeBlock& block, int top, int bottom);

  std::vector<TakePicture> m_takes;
  double m_start = 0.0;
  double m_span = 1.0;
  int m_selected = -1;
  double m_marker = -1.0;
  bool m_dragging = false;
  double m_dragX = 0.0;
  double m_dragStart = 0.0;
  bool m_dragMoved = false;
};

// The whole recording at a glance, with the visible stretch framed; a
// click or a drag moves the view there.
class OverviewStrip : public QWidget {
  Q_OBJECT

 public:
  explicit OverviewStrip(WaveView* view, QWidget* parent = nullptr);
  QSize sizeHint() const override { return {900, 56}; }
  // How many times the strip has been drawn (for the benchmark).
  int paints() const { return m_paints; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;

 private:
  void centreAt(double x);
  WaveView* m_view;
  int m_paints = 0;
};

}  // namespace tapedecoder

#endif  // TAPEDECODER_WORKBENCH_WAVE_VIEW_H_
