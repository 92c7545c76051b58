// PZX images, written directly: libspectrum reads the format but has no
// writer for it. Each block is a 4-byte tag, a 32-bit little-endian body
// size and the body.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>

#include "tapefile/image_layout.h"
#include "tapefile/tape_image.h"

namespace tapedecoder {

namespace {

constexpr std::uint32_t MAX_REPEAT = 0x7FFF;
constexpr std::uint32_t MAX_DURATION = 0x7FFFFFFF;
constexpr std::uint32_t LEVEL_BIT = 0x80000000u;

void Le16(std::vector<std::uint8_t>& out, std::uint32_t value) {
  out.push_back(static_cast<std::uint8_t>(value));
  out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void Le32(std::vector<std::uint8_t>& out, std::uint32_t value) {
  Le16(out, value & 0xFFFF);
  Le16(out, value >> 16);
}

// Writes blocks while following the signal level: every duration the image
// holds (pulse or pause) has the opposite level of the one before, so each
// boundary is an edge, as in the recording.
class PzxBuilder {
 public:
  explicit PzxBuilder(ByteSink& out) : m_out(out) {}

  void Header(const ImageInfo& info) {
    std::vector<std::uint8_t> body = {1, 0};  // version 1.0
    // The title is unknown (empty); the comment names tool and source.
    const std::string text = ImageInfoText(info, 4096);
    body.push_back(0);
    for (const char* s : {"Comment", text.c_str()}) {
      body.insert(body.end(), s, s + std::strlen(s));
      body.push_back(0);
    }
    Record("PZXT", body);
  }

  // A PULS block of (count, duration) runs, starting at the current level.
  void Pulses(const std::vector<std::pair<std::uint64_t, std::uint32_t>>& runs) {
    std::vector<std::uint8_t> body;
    // The block starts low; a zero-length pulse first makes it start high.
    if (m_level) Le16(body, 0);
    std::uint64_t total = 0;
    for (const auto& [count, length] : runs) {
      const std::uint32_t duration = std::min(std::max<std::uint32_t>(length, 1), MAX_DURATION);
      std::uint64_t left = count;
      while (left > 0) {
        const std::uint32_t here = static_cast<std::uint32_t>(std::min<std::uint64_t>(left, MAX_REPEAT));
        if (here > 1 || duration >= 0x8000) Le16(body, 0x8000 | here);
        if (duration < 0x8000) {
          Le16(body, duration);
        } else {
          Le16(body, 0x8000 | (duration >> 16));
          Le16(body, duration & 0xFFFF);
        }
        left -= here;
      }
      total += count;
    }
    if (total == 0) return;
    if (total % 2) m_level = !m_level;
    Record("PULS", body);
  }

  // DATA blocks of `item`'s bits, one a piece, no tail: two pulses per
  // bit, or a loader's symbols.
  void Data(const ImageItem& item) {
    for (const DataPiece& piece : PiecesOf(item)) Data(item, piece);
  }

  void Data(const ImageItem& item, const DataPiece& piece) {
    std::vector<std::uint8_t> body;
    const std::uint64_t bits = std::min<std::uint64_t>(piece.bits, 0x7FFFFFFF);
    Le32(body, static_cast<std::uint32_t>(bits) | (m_level ? LEVEL_BIT : 0));
    Le16(body, 0);  // tail
    std::uint32_t symbols[2][MAX_SYMBOL_PULSES];
    std::uint32_t pulses = 2;
    if (item.symbolPulses > 0) {
      pulses = item.symbolPulses;
      SymbolPulses(item, false, piece.zero, symbols[0]);
      SymbolPulses(item, true, piece.one, symbols[1]);
    } else {
      symbols[0][0] = symbols[0][1] = piece.zero;
      symbols[1][0] = symbols[1][1] = piece.one;
    }
    body.push_back(static_cast<std::uint8_t>(pulses));
    body.push_back(static_cast<std::uint8_t>(pulses));
    for (const std::uint32_t* symbol : symbols)
      for (std::uint32_t k = 0; k < pulses; ++k) Le16(body, std::min<std::uint32_t>(symbol[k], 0xFFFF));
    const auto from = item.block->bytes.begin() + static_cast<std::ptrdiff_t>(piece.firstBit / 8);
    body.insert(body.end(), from, from + static_cast<std::ptrdiff_t>((bits + 7) / 8));
    // Symbols of an odd number of pulses leave the level changed by an odd
    // number of bits; otherwise the level after the block is the first's.
    if (bits * pulses % 2) m_level = !m_level;
    Record("DATA", body);
  }

  // A data block: PULS of pilot and syncs, then DATA.
  void Block(const ImageItem& item) {
    std::vector<std::pair<std::uint64_t, std::uint32_t>> runs;
    for (const PulseRun& run : PilotRunsOf(item)) runs.emplace_back(run.count, run.length);
    runs.emplace_back(1, item.sync1);
    if (item.sync2 > 0) runs.emplace_back(1, item.sync2);
    Pulses(runs);
    Data(item);
  }

  void Pause(std::uint64_t tstates) {
    while (tstates > 0) {
      const std::uint32_t here = static_cast<std::uint32_t>(std::min<std::uint64_t>(tstates, MAX_DURATION));
      std::vector<std::uint8_t> body;
      Le32(body, here | (m_level ? LEVEL_BIT : 0));
      Record("PAUS", body);
      tstates -= here;
    }
    m_level = !m_level;
  }


 private:
  void Record(const char* tag, const std::vector<std::uint8_t>& body) {
    std::vector<std::uint8_t> head(tag, tag + 4);
    Le32(head, static_cast<std::uint32_t>(body.size()));
    m_out.Write(head.data(), head.size());
    m_out.Write(body.data(), body.size());
  }

  ByteSink& m_out;
  bool m_level = false;  // the level of the next duration
};

class PzxWriter : public TapeWriter {
 public:
  PzxWriter(ByteSink& out, const TapeContext& context) : m_pzx(out), m_layout(context.timed, 1, false, true) {
    m_pzx.Header(context.info);
  }

  void Part(const TapePart& part) override {
    ImageItem item;
    if (!m_layout.Next(part, item)) return;
    if (item.pauseBefore > 0) m_pzx.Pause(item.pauseBefore);
    switch (item.kind) {
      case ImageKind::ROM:
      case ImageKind::TURBO:
        m_pzx.Block(item);
        break;
      case ImageKind::DATA:
        m_pzx.Data(item);
        break;
      case ImageKind::TONE: {
        std::vector<std::pair<std::uint64_t, std::uint32_t>> runs;
        for (const PulseRun& run : PilotRunsOf(item)) runs.emplace_back(run.count, run.length);
        m_pzx.Pulses(runs);
        break;
      }
      case ImageKind::PULSES: {
        std::vector<std::pair<std::uint64_t, std::uint32_t>> runs;
        for (std::size_t k = 0; k < item.stretch->pulses.size(); ++k) {
          const std::uint32_t length = std::min(PulseAt(item, k), MAX_DURATION);
          if (!runs.empty() && runs.back().second == length) {
            ++runs.back().first;
          } else {
            runs.emplace_back(1, length);
          }
        }
        m_pzx.Pulses(runs);
        break;
      }
    }
  }

  bool Finish(double recordingSeconds) override {
    const std::uint64_t after = m_layout.PauseAfter(recordingSeconds);
    if (after > 0) m_pzx.Pause(after);
    return true;
  }

 private:
  PzxBuilder m_pzx;
  CPartLayout m_layout;
};

}  // namespace

std::unique_ptr<TapeWriter> MakePzxWriter(ByteSink& out, const TapeContext& context) {
  return std::make_unique<PzxWriter>(out, context);
}

}  // namespace tapedecoder
