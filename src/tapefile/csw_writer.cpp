// CSW 2 files, Z-RLE, written as the parts come (the layout in
// audio/csw_reader.h; what is kept in tapefile/tape_image.h).
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>

#include "tapefile/image_layout.h"
#include "tapefile/tape_image.h"

namespace tapedecoder {

namespace {

constexpr double DEFAULT_RATE = 44100.0;
constexpr std::size_t HEADER_BYTES = 52;
constexpr std::size_t PULSES_FIELD = 29;  // the 32-bit pulse count
constexpr std::size_t FLAGS_FIELD = 34;   // bit 0: the first pulse is high
constexpr std::size_t CHUNK = 1 << 16;
// Pauses in whole T-states: the samples are the file's grid.
constexpr std::uint64_t PAUSE_QUANTUM = 1;

void Le32(std::uint8_t* at, std::uint32_t value) {
  for (int k = 0; k < 4; ++k) at[k] = static_cast<std::uint8_t>(value >> (8 * k));
}

class CswWriter : public TapeWriter {
 public:
  CswWriter(ByteSink& out, const TapeContext& context)
      : m_out(out),
        m_rate(context.sampleRate >= 1.0 ? std::round(context.sampleRate) : DEFAULT_RATE),
        m_layout(context.timed, PAUSE_QUANTUM, true, true) {
    std::uint8_t header[HEADER_BYTES] = {};
    std::memcpy(header, "Compressed Square Wave\x1A", 23);
    header[23] = 2;  // version 2.0
    header[24] = 0;
    Le32(header + 25, static_cast<std::uint32_t>(m_rate));
    header[33] = 2;  // Z-RLE
    header[35] = 0;  // no extension
    const std::string tool = context.info.tool.substr(0, 15);
    std::memcpy(header + 36, tool.data(), tool.size());
    m_out.Write(header, HEADER_BYTES);
    m_zlibOk = deflateInit(&m_zlib, Z_DEFAULT_COMPRESSION) == Z_OK;
  }

  ~CswWriter() override {
    if (m_zlibOk) deflateEnd(&m_zlib);
  }

  // The parts played as the PZX image plays them (pauses exact to the
  // T-state, every duration ending in an edge, starting low), except that
  // every block keeps its measured timings.
  void Part(const TapePart& part) override {
    ImageItem item;
    if (!m_layout.Next(part, item)) return;
    if (item.pauseBefore > 0) Advance(static_cast<double>(item.pauseBefore));
    ForEachPulse(item, [this](std::uint32_t tstates) { Advance(tstates); });
  }

  bool Finish(double recordingSeconds) override {
    const std::uint64_t after = m_layout.PauseAfter(recordingSeconds);
    if (after > 0) Advance(static_cast<double>(after));
    // The last pulse runs to the end; it has no edge after it.
    if (m_pending > 0) Pulse(m_pending);
    m_pending = 0;
    Deflate(Z_FINISH);
    std::uint8_t field[4];
    Le32(field, static_cast<std::uint32_t>(m_pulses));
    m_out.Overwrite(PULSES_FIELD, field, 4);
    const std::uint8_t flags = m_firstHigh ? 1 : 0;
    m_out.Overwrite(FLAGS_FIELD, &flags, 1);
    return m_zlibOk;
  }

 private:
  // A played duration that ends in an edge.
  void Advance(double tstates) {
    m_clock += tstates;
    EdgeAt(m_clock);
  }

  // An edge at `tstates` from the start, placed on the nearest sample.
  // Pauses and pulses are whole T-states, so the clock is exact.
  // Pulses are held one back: an edge on the sample of the one before
  // cancels it, and the pulses either side join.
  void EdgeAt(double tstates) {
    const std::uint64_t sample = static_cast<std::uint64_t>(std::llround(tstates * m_rate / TSTATES_PER_SECOND));
    if (sample < m_lastSample) return;  // never backwards
    const std::uint64_t length = sample - m_lastSample;
    m_lastSample = sample;
    if (!m_started) {
      m_started = true;
      if (length == 0) {
        m_firstHigh = !m_firstHigh;  // an edge on the first sample sets the first level
        return;
      }
      m_pending = length;
      return;
    }
    if (length == 0) {
      // This edge and the one before cancel: the pulse before that goes on.
      m_joining = !m_joining;
      return;
    }
    if (m_joining) {
      m_pending += length;
      m_joining = false;
      return;
    }
    if (m_pending > 0) Pulse(m_pending);
    m_pending = length;
  }

  void Pulse(std::uint64_t samples) {
    if (samples <= 255) {
      m_rle.push_back(static_cast<std::uint8_t>(samples));
    } else {
      const std::uint32_t bounded = static_cast<std::uint32_t>(std::min<std::uint64_t>(samples, 0xFFFFFFFFu));
      m_rle.push_back(0);
      for (int k = 0; k < 4; ++k) m_rle.push_back(static_cast<std::uint8_t>(bounded >> (8 * k)));
    }
    ++m_pulses;
    if (m_rle.size() >= CHUNK) Deflate(Z_NO_FLUSH);
  }

  void Deflate(int flush) {
    if (!m_zlibOk) return;
    m_zlib.next_in = m_rle.data();
    m_zlib.avail_in = static_cast<uInt>(m_rle.size());
    std::uint8_t out[CHUNK];
    int status = Z_OK;
    do {
      m_zlib.next_out = out;
      m_zlib.avail_out = sizeof out;
      status = deflate(&m_zlib, flush);
      if (status == Z_STREAM_ERROR) m_zlibOk = false;
      m_out.Write(out, sizeof out - m_zlib.avail_out);
    } while (m_zlibOk && (m_zlib.avail_out == 0 || (flush == Z_FINISH && status != Z_STREAM_END)));
    m_rle.clear();
  }

  ByteSink& m_out;
  double m_rate;
  CPartLayout m_layout;
  double m_clock = 0.0;  // T-states played so far
  z_stream m_zlib{};
  bool m_zlibOk = false;
  std::vector<std::uint8_t> m_rle;
  std::uint64_t m_lastSample = 0;  // where the last edge fell
  std::uint64_t m_pending = 0;     // the last pulse, not yet written
  bool m_joining = false;          // the next pulse joins the pending one
  bool m_started = false;          // an edge was seen
  bool m_firstHigh = false;        // the level from the first sample on (low, as PZX)
  std::uint64_t m_pulses = 0;
};

}  // namespace

std::unique_ptr<TapeWriter> MakeCswWriter(ByteSink& out, const TapeContext& context) {
  return std::make_unique<CswWriter>(out, context);
}

}  // namespace tapedecoder
