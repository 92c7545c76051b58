#include "workbench/wave_view.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>
#include <functional>

#include "tape/tape_block.h"
#include "workbench/texts.h"

namespace tapedecoder {

namespace {

constexpr int kTapeLane = 22;   // the first take's block strip, pixels
constexpr int kTakeLane = 18;   // each further take's strip
constexpr int kMinSamplesShown = 16;

QColor SpanColour(SpanKind kind) {
  switch (kind) {
    case SpanKind::GOOD: return QColor(58, 157, 93);
    case SpanKind::BAD: return QColor(214, 69, 65);
    case SpanKind::TONE: return QColor(63, 127, 191);
    case SpanKind::PAUSE: return QColor(160, 160, 160);
  }
  return Qt::gray;
}

QString BlockLabel(const std::vector<TapeBlock>& blocks, int index) {
  QString label = QString::number(index + 1);
  if (index >= 0 && index < static_cast<int>(blocks.size())) {
    if (const auto header = ParseRomHeader(blocks[static_cast<std::size_t>(index)].bytes))
      label += QLatin1Char(' ') + QString::fromLatin1(header->name.c_str()).trimmed();
  }
  return label;
}

// The wave's colour over each kind of stretch: darker than the span's.
QColor WaveColour(const std::vector<TapeSpan>& spans, std::size_t& cursor, double seconds) {
  while (cursor < spans.size() && spans[cursor].end <= seconds) ++cursor;
  if (cursor < spans.size() && spans[cursor].start <= seconds && spans[cursor].kind != SpanKind::PAUSE)
    return SpanColour(spans[cursor].kind).darker(170);
  return QColor(30, 45, 80);
}

// Draws per pixel column the envelope `env`, coloured by the stretch under it.
void DrawEnvelope(QPainter& p, const std::vector<MinMax>& env, const std::vector<TapeSpan>& spans,
                  double start, double secondsPerPixel, double mid, double half) {
  std::size_t cursor = 0;
  for (std::size_t i = 0; i < env.size(); ++i) {
    p.setPen(WaveColour(spans, cursor, start + (static_cast<double>(i) + 0.5) * secondsPerPixel));
    const double x = static_cast<double>(i) + 0.5;
    p.drawLine(QPointF(x, mid - env[i].high * half), QPointF(x, mid - env[i].low * half));
  }
}

// Draws the stretches of one take in a lane between y and y + height.
void DrawSpans(QPainter& p, const TakePicture& take, double offset, int y, int height,
               const std::function<double(double)>& xAt, int width, int selected) {
  for (const TapeSpan& span : take.spans) {
    const double x0 = xAt(span.start + offset), x1 = xAt(span.end + offset);
    if (x1 < 0 || x0 > width) continue;
    QRectF r(std::max(x0, -1.0), y, std::min(x1, width + 1.0) - std::max(x0, -1.0), height);
    p.fillRect(r, SpanColour(span.kind));
    if (span.block == selected && span.kind != SpanKind::PAUSE) {
      p.setPen(QPen(Qt::black, 2));
      p.drawRect(r.adjusted(1, 1, -1, -1));
    }
    if (span.kind == SpanKind::GOOD || span.kind == SpanKind::BAD) {
      const QString label = BlockLabel(*take.blocks, span.block);
      if (p.fontMetrics().horizontalAdvance(label) + 6 < r.width()) {
        p.setPen(Qt::white);
        p.drawText(r.adjusted(3, 0, -3, 0), Qt::AlignVCenter | Qt::AlignLeft, label);
      }
    }
  }
}

}  // namespace

WaveView::WaveView(QWidget* parent) : QWidget(parent) {
  setFocusPolicy(Qt::StrongFocus);
  setMinimumHeight(160);
  setAttribute(Qt::WA_OpaquePaintEvent);
}

void WaveView::setTakes(std::vector<TakePicture> takes) {
  m_takes = std::move(takes);
  setView(m_start, m_span);
  update();
}

void WaveView::setSelectedBlock(int block) {
  m_selected = block;
  update();
}

void WaveView::setMarker(double seconds) {
  m_marker = seconds;
  update();
}

double WaveView::totalSeconds() const {
  if (m_takes.empty() || !m_takes[0].store) return 1.0;
  return std::max(m_takes[0].store->Seconds(), minimumSpan());
}

double WaveView::minimumSpan() const {
  if (m_takes.empty() || !m_takes[0].store) return 0.001;
  return kMinSamplesShown / m_takes[0].store->Rate();
}

void WaveView::setView(double start, double span) {
  const double total = totalSeconds();
  span = std::clamp(span, minimumSpan(), total);
  start = std::clamp(start, 0.0, std::max(0.0, total - span));
  if (start == m_start && span == m_span) return;
  m_start = start;
  m_span = span;
  update();
  emit viewChanged(m_start, m_span);
}

void WaveView::zoomBy(double factor, double anchor) {
  const double span = std::clamp(m_span / factor, minimumSpan(), totalSeconds());
  const double fraction = m_span > 0 ? (anchor - m_start) / m_span : 0.5;
  setView(anchor - fraction * span, span);
}

void WaveView::zoomAll() { setView(0.0, totalSeconds()); }

void WaveView::showStretch(double from, double to) {
  const double length = std::max(to - from, minimumSpan());
  const double span = std::max(m_span, length * 1.1);
  setView(0.5 * (from + to) - 0.5 * span, span);
}

double WaveView::secondsAt(double x) const { return m_start + x / std::max(1, width()) * m_span; }
double WaveView::xAt(double seconds) const { return (seconds - m_start) / m_span * width(); }

int WaveView::waveBottom() const {
  const int lanes = static_cast<int>(m_takes.size()) - 1;
  return height() - kTapeLane - std::max(0, lanes) * kTakeLane;
}

void WaveView::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(rect(), QColor(250, 250, 247));
  if (m_takes.empty() || !m_takes[0].store) return;
  const TakePicture& first = m_takes[0];
  const WaveStore& store = *first.store;
  const int w = width();
  const int bottom = waveBottom();
  const double mid = bottom / 2.0;
  const double half = bottom / 2.0 - 4.0;
  const auto x = [this](double s) { return xAt(s); };

  // The blocks' stretches tint the wave's background.
  for (const TapeSpan& span : first.spans) {
    const double x0 = xAt(span.start), x1 = xAt(span.end);
    if (x1 < 0 || x0 > w || span.kind == SpanKind::PAUSE) continue;
    QColor c = SpanColour(span.kind);
    c.setAlpha(span.block == m_selected ? 60 : 28);
    p.fillRect(QRectF(x0, 0, x1 - x0, bottom), c);
  }
  p.setPen(QColor(200, 200, 200));
  p.drawLine(0, static_cast<int>(mid), w, static_cast<int>(mid));

  // The wave: per pixel the envelope, or, close up, the samples joined.
  const double rate = store.Rate();
  const double perPixel = m_span * rate / std::max(1, w);
  p.setPen(QColor(30, 45, 80));
  if (perPixel > 1.0) {
    DrawEnvelope(p, store.Envelope(m_start * rate, perPixel, w), first.spans, m_start, m_span / w, mid, half);
  } else {
    const auto first = static_cast<std::uint64_t>(std::max(0.0, std::floor(m_start * rate)));
    const std::vector<float> s = store.Read(first, static_cast<std::size_t>(m_span * rate) + 3);
    QPainterPath path;
    for (std::size_t i = 0; i < s.size(); ++i) {
      const QPointF pt(xAt((static_cast<double>(first + i)) / rate), mid - s[i] * half);
      if (i == 0) path.moveTo(pt); else path.lineTo(pt);
      if (perPixel < 0.25) p.drawEllipse(pt, 2, 2);
    }
    p.setRenderHint(QPainter::Antialiasing);
    p.drawPath(path);
    p.setRenderHint(QPainter::Antialiasing, false);
  }

  // Close up, the bits of the blocks in view.
  if (first.blocks != nullptr) {
    for (const TapeBlock& block : *first.blocks) {
      if (block.bitSeconds.empty() || block.endSeconds < m_start || block.startSeconds > m_start + m_span)
        continue;
      drawBits(p, block, 0, bottom);
    }
  }

  if (m_marker >= 0) {
    p.setPen(QPen(QColor(230, 120, 0), 2, Qt::DashLine));
    p.drawLine(QPointF(xAt(m_marker), 0), QPointF(xAt(m_marker), bottom));
  }

  // The lanes: this take's blocks, then each further take's, lined up.
  DrawSpans(p, first, 0.0, bottom, kTapeLane, x, w, m_selected);
  for (std::size_t t = 1; t < m_takes.size(); ++t) {
    const int y = bottom + kTapeLane + static_cast<int>(t - 1) * kTakeLane;
    p.fillRect(0, y, w, kTakeLane, QColor(235, 235, 235));
    DrawSpans(p, m_takes[t], m_takes[t].offset, y + 2, kTakeLane - 3, x, w, -1);
    p.setPen(Qt::black);
    p.drawText(QRect(4, y, w, kTakeLane), Qt::AlignVCenter, m_takes[t].label);
  }

  // The time scale.
  p.setPen(Qt::black);
  const double step = std::pow(10.0, std::floor(std::log10(m_span / 5.0)));
  const double tick = m_span / step > 10 ? step * 2 : step;
  for (double t = std::ceil(m_start / tick) * tick; t < m_start + m_span; t += tick) {
    const double tx = xAt(t);
    p.drawLine(QPointF(tx, 0), QPointF(tx, 5));
    const int decimals = std::max(0, static_cast<int>(-std::floor(std::log10(tick))));
    p.drawText(QPointF(tx + 2, 14), Texts::tr("%1 s").arg(t, 0, 'f', std::min(decimals, 6)));
  }
}

void WaveView::drawBits(QPainter& p, const TapeBlock& block, int top, int bottom) {
  const std::vector<double>& bits = block.bitSeconds;
  const double bitWidth = bits.size() > 1 ? xAt(bits[1]) - xAt(bits[0]) : 0.0;
  if (bitWidth < 4.0) return;  // too far out to tell the bits apart
  auto it = std::upper_bound(bits.begin(), bits.end(), m_start);
  std::size_t i = it == bits.begin() ? 0 : static_cast<std::size_t>(it - bits.begin()) - 1;
  const std::size_t total = std::min(bits.size(), block.bytes.size() * 8);
  for (; i < total && bits[i] < m_start + m_span; ++i) {
    const double x0 = xAt(bits[i]);
    const double x1 = i + 1 < bits.size() ? xAt(bits[i + 1]) : xAt(block.endSeconds);
    const bool weak = i < block.bitConfidence.size() && block.bitConfidence[i] < kWeakConfidence;
    if (weak) p.fillRect(QRectF(x0, top + 18, x1 - x0, bottom - top - 18), QColor(255, 60, 0, 70));
    p.setPen(QPen(QColor(120, 120, 120), 1, Qt::DotLine));
    p.drawLine(QPointF(x0, top + 18), QPointF(x0, bottom));
    if (bitWidth >= 10.0) {
      const int bit = BitAt(block.bytes, i);
      p.setPen(weak ? QColor(200, 30, 0) : QColor(20, 20, 20));
      p.drawText(QRectF(x0, top + 18, x1 - x0, 14), Qt::AlignCenter, QString::number(bit));
    }
  }
}

void WaveView::wheelEvent(QWheelEvent* event) {
  const double steps = event->angleDelta().y() / 120.0;
  if (steps == 0.0) return;
  zoomBy(std::pow(1.25, steps), secondsAt(event->position().x()));
  event->accept();
}

void WaveView::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return;
  m_dragging = true;
  m_dragMoved = false;
  m_dragX = event->position().x();
  m_dragStart = m_start;
}

void WaveView::mouseMoveEvent(QMouseEvent* event) {
  if (!m_dragging) return;
  const double dx = event->position().x() - m_dragX;
  if (std::abs(dx) > 3) m_dragMoved = true;
  setView(m_dragStart - dx / std::max(1, width()) * m_span, m_span);
}

void WaveView::mouseReleaseEvent(QMouseEvent* event) {
  if (!m_dragging) return;
  m_dragging = false;
  if (m_dragMoved || m_takes.empty()) return;
  const double at = secondsAt(event->position().x());
  for (const TapeSpan& span : m_takes[0].spans)
    if (span.block >= 0 && at >= span.start && at < span.end) emit blockClicked(span.block);
}

void WaveView::keyPressEvent(QKeyEvent* event) {
  const double centre = m_start + m_span / 2;
  switch (event->key()) {
    case Qt::Key_Plus: case Qt::Key_Equal: zoomBy(2.0, centre); break;
    case Qt::Key_Minus: zoomBy(0.5, centre); break;
    case Qt::Key_Left: setView(m_start - m_span / 4, m_span); break;
    case Qt::Key_Right: setView(m_start + m_span / 4, m_span); break;
    case Qt::Key_Home: setView(0, m_span); break;
    case Qt::Key_End: setView(totalSeconds(), m_span); break;
    default: QWidget::keyPressEvent(event); return;
  }
}

OverviewStrip::OverviewStrip(WaveView* view, QWidget* parent) : QWidget(parent), m_view(view) {
  setMinimumHeight(48);
  setMaximumHeight(64);
  connect(view, &WaveView::viewChanged, this, [this] { update(); });
}

void OverviewStrip::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(rect(), QColor(236, 238, 242));
  const auto& takes = m_view->takes();
  if (takes.empty() || !takes[0].store) return;
  const TakePicture& first = takes[0];
  const WaveStore& store = *first.store;
  // The strip spans the recording's declared length while it is read.
  const double total = std::max(m_view->totalSeconds(), 1e-3);
  const int w = width(), h = height();
  const auto xAt = [&](double s) { return s / total * w; };
  constexpr int kLane = 8;
  DrawSpans(p, first, 0.0, h - kLane, kLane, xAt, w, -1);
  const double mid = (h - kLane) / 2.0;
  const double half = mid - 2;
  DrawEnvelope(p, store.Envelope(0.0, total * store.Rate() / w, w), first.spans, 0.0, total / w, mid, half);
  const double x0 = xAt(m_view->viewStart());
  const double x1 = xAt(m_view->viewStart() + m_view->viewSpan());
  p.setPen(QPen(QColor(230, 120, 0), 2));
  p.setBrush(QColor(230, 120, 0, 40));
  p.drawRect(QRectF(x0, 1, std::max(2.0, x1 - x0), h - 2));
  ++m_paints;
}

void OverviewStrip::centreAt(double x) {
  const double t = x / std::max(1, width()) * m_view->totalSeconds();
  m_view->setView(t - m_view->viewSpan() / 2, m_view->viewSpan());
}

void OverviewStrip::mousePressEvent(QMouseEvent* event) { centreAt(event->position().x()); }
void OverviewStrip::mouseMoveEvent(QMouseEvent* event) {
  if (event->buttons() & Qt::LeftButton) centreAt(event->position().x());
}

}  // namespace tapedecoder
