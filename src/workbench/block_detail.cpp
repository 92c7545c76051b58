#include "workbench/block_detail.h"

#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPlainTextEdit>
#include <QVBoxLayout>

#include <algorithm>

#include "workbench/texts.h"

namespace tapedecoder {

QString HexDump(const std::vector<std::uint8_t>& bytes) {
  QString out;
  for (std::size_t line = 0; line < bytes.size(); line += 16) {
    out += QStringLiteral("%1  ").arg(line, 5, 16, QLatin1Char('0'));
    QString text;
    for (std::size_t i = line; i < line + 16; ++i) {
      if (i < bytes.size()) {
        out += QStringLiteral("%1 ").arg(bytes[i], 2, 16, QLatin1Char('0'));
        text += bytes[i] >= 32 && bytes[i] < 127 ? QChar(bytes[i]) : QChar('.');
      } else {
        out += QLatin1String("   ");
      }
      if (i == line + 7) out += QLatin1Char(' ');
    }
    out += QLatin1Char(' ') + text + QLatin1Char('\n');
  }
  return out;
}

PulseHistogramView::PulseHistogramView(QWidget* parent) : QWidget(parent) { setMinimumHeight(120); }

void PulseHistogramView::setHistogram(const PulseHistogram& histogram, double speed) {
  m_histogram = histogram;
  m_speed = speed > 0 ? speed : 1.0;
  update();
}

void PulseHistogramView::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(rect(), Qt::white);
  const int w = width(), h = height() - 16;
  const int bins = PulseHistogram::kBins;
  int peak = 1;
  for (int i = 0; i < bins; ++i)
    peak = std::max({peak, m_histogram.high[static_cast<std::size_t>(i)], m_histogram.low[static_cast<std::size_t>(i)]});
  const double bw = static_cast<double>(w) / bins;
  for (int i = 0; i < bins; ++i) {
    const double hh = static_cast<double>(m_histogram.high[static_cast<std::size_t>(i)]) / peak * (h - 4);
    const double hl = static_cast<double>(m_histogram.low[static_cast<std::size_t>(i)]) / peak * (h - 4);
    p.fillRect(QRectF(i * bw, h - hh, bw / 2, hh), QColor(200, 60, 60));
    p.fillRect(QRectF(i * bw + bw / 2, h - hl, bw / 2, hl), QColor(60, 90, 200));
  }
  // Where the ROM's pulses fall at the block's speed.
  const struct { double tstates; QString name; } marks[] = {
      {ROM_ZERO_PULSE, Texts::tr("zero")}, {ROM_ONE_PULSE, Texts::tr("one")},
      {ROM_PILOT_PULSE, Texts::tr("pilot")}};
  for (const auto& mark : marks) {
    const double x = mark.tstates / m_speed / PulseHistogram::kBinTstates * bw;
    p.setPen(QPen(QColor(0, 140, 0), 1, Qt::DashLine));
    p.drawLine(QPointF(x, 0), QPointF(x, h));
    p.setPen(QColor(0, 110, 0));
    p.drawText(QPointF(x + 2, 12), mark.name);
  }
  p.setPen(Qt::black);
  for (int t = 0; t <= 3000; t += 500) {
    const double x = t / PulseHistogram::kBinTstates * bw;
    p.drawText(QPointF(std::min(x, w - 30.0), h + 13), QString::number(t));
  }
}

BlockDetail::BlockDetail(QWidget* parent) : QWidget(parent) {
  m_fields = new QLabel(this);
  m_fields->setTextFormat(Qt::RichText);
  m_fields->setWordWrap(true);
  m_fields->setAlignment(Qt::AlignTop | Qt::AlignLeft);
  m_fields->setTextInteractionFlags(Qt::TextSelectableByMouse);
  m_fields->setMinimumWidth(260);
  m_hex = new QPlainTextEdit(this);
  m_hex->setReadOnly(true);
  m_hex->setLineWrapMode(QPlainTextEdit::NoWrap);
  m_hex->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  m_histogram = new PulseHistogramView(this);
  auto* right = new QVBoxLayout;
  right->addWidget(m_hex, 3);
  right->addWidget(m_histogram, 2);
  auto* layout = new QHBoxLayout(this);
  layout->addWidget(m_fields, 2);
  layout->addLayout(right, 3);
}

QString BlockDetail::fieldsText() const { return m_fields->text(); }
QString BlockDetail::hexText() const { return m_hex->toPlainText(); }

void BlockDetail::showBlock(const std::vector<TapeBlock>& blocks, int index, const WaveStore* store) {
  if (index < 0 || index >= static_cast<int>(blocks.size())) {
    m_fields->clear();
    m_hex->clear();
    m_histogram->setHistogram(PulseHistogram(), 1.0);
    return;
  }
  const std::size_t i = static_cast<std::size_t>(index);
  const TapeBlock& block = blocks[i];
  QString html = QStringLiteral("<b>%1</b><br>").arg(Texts::tr("Block %1").arg(index + 1));
  const auto row = [&html](const QString& name, const QString& value) {
    html += QStringLiteral("%1: %2<br>").arg(name.toHtmlEscaped(), value.toHtmlEscaped());
  };
  row(Texts::tr("Kind"), BlockKindText(block.bytes));
  if (const auto header = ParseRomHeader(block.bytes)) {
    row(Texts::tr("Type"), HeaderTypeText(header->type));
    row(Texts::tr("Name"), QStringLiteral("\"%1\"").arg(QString::fromLatin1(header->name.c_str())));
    row(Texts::tr("Data length"), QString::number(header->length));
    row(Texts::tr("Parameter 1"), QString::number(header->param1));
    row(Texts::tr("Parameter 2"), QString::number(header->param2));
  }
  const std::optional<std::size_t> announced = AnnouncedLength(blocks, i);
  row(Texts::tr("Announced length"), announced ? Texts::tr("%1 bytes").arg(*announced) : Texts::tr("none"));
  row(Texts::tr("Read length"), Texts::tr("%1 bytes").arg(block.bytes.size()));
  row(Texts::tr("Checksum"), GoodBytes(block)          ? Texts::tr("good")
                             : ChecksumGood(block.bytes) ? Texts::tr("made to hold by a guess")
                                                         : Texts::tr("bad"));
  row(Texts::tr("Read"),
      !block.mendGuessed       ? OriginText(block.origin, block.mendedFromCopy, block.mendedGaps == 0)
      : block.mendedGaps == 0 ? Texts::tr("slips undone the likeliest of the ways the checksum allows")
                              : Texts::tr("dropouts filled with the likeliest of the fills the checksum allows"));
  if (block.endSeconds > block.startSeconds) {
    row(Texts::tr("Starts"), TimeText(block.startSeconds));
    row(Texts::tr("Ends"), TimeText(block.endSeconds));
  }
  const BlockTiming& t = block.timing;
  if (t.pilot > 0) {
    row(Texts::tr("Speed"), QStringLiteral("%1 %").arg(100.0 * ROM_PILOT_PULSE / t.pilot, 0, 'f', 1));
    row(Texts::tr("Pilot pulse"), Texts::tr("%1 T × %2").arg(t.pilot, 0, 'f', 0).arg(t.pilotPulses));
    row(Texts::tr("Sync pulses"), Texts::tr("%1 T, %2 T").arg(t.sync1, 0, 'f', 0).arg(t.sync2, 0, 'f', 0));
    row(Texts::tr("Zero pulse"), Texts::tr("%1 T").arg(t.zero, 0, 'f', 0));
    row(Texts::tr("One pulse"), Texts::tr("%1 T").arg(t.one, 0, 'f', 0));
  }
  // Where it broke: where the reading ends short of the announced length,
  // else, for a bad block, its first run of weak bits.
  const std::vector<WeakRun> weak = WeakRuns(block);
  const bool shortRead = announced && block.bytes.size() < *announced;
  if (shortRead) {
    row(Texts::tr("Broke at"), Texts::tr("byte %1 (%2): the reading ends there, %3 bytes short")
                                   .arg(block.bytes.size()).arg(TimeText(block.endSeconds))
                                   .arg(*announced - block.bytes.size()));
  } else if (!ChecksumGood(block.bytes) && weak.empty()) {
    row(Texts::tr("Broke at"), Texts::tr("no weak bits: a bit read wrong with confidence"));
  }
  if (!weak.empty()) {
    const WeakRun& run = weak.front();
    const QString at = run.firstBit < block.bitSeconds.size() ? TimeText(block.bitSeconds[run.firstBit]) : QString();
    const QString where = Texts::tr("byte %1, bit %2 (%3), %4 weak bits")
                              .arg(run.firstBit / 8).arg(run.firstBit % 8).arg(at).arg(run.bits);
    row(!shortRead && !ChecksumGood(block.bytes) ? Texts::tr("Broke at") : Texts::tr("First weak bits"), where);
    std::size_t total = 0;
    for (const WeakRun& r : weak) total += r.bits;
    row(Texts::tr("Weak bits"), QString::number(total));
  }
  PulseHistogram histogram;
  if (store != nullptr && block.endSeconds > block.startSeconds)
    histogram = PulseLengths(*store, block.startSeconds, block.endSeconds);
  if (histogram.meanHigh > 0 && histogram.meanLow > 0)
    row(Texts::tr("Asymmetry"), Texts::tr("high %1 T, low %2 T").arg(histogram.meanHigh, 0, 'f', 0)
                                    .arg(histogram.meanLow, 0, 'f', 0));
  m_fields->setText(html);
  m_hex->setPlainText(HexDump(block.bytes));
  m_histogram->setHistogram(histogram, t.pilot > 0 ? ROM_PILOT_PULSE / t.pilot : 1.0);
}

}  // namespace tapedecoder
