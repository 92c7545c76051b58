// TZX images, written block by block as the tape comes (version 1.20).
// Each block is an ID byte and its fields, little-endian. The last block
// is held back until the next arrives, so that a pause after it goes into
// its pause field.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>

#include "tapefile/image_layout.h"
#include "tapefile/tape_image.h"

namespace tapedecoder {

namespace {

constexpr std::uint32_t TSTATES_PER_MS = 3500;
constexpr std::uint32_t MAX_WORD = 65535;
constexpr std::size_t MAX_PULSES_PER_LIST = 255;
constexpr std::size_t MAX_INFO_TEXT = 255;  // archive-info strings: 1-byte length
constexpr std::uint8_t TZX_ROM = 0x10, TZX_TURBO = 0x11, TZX_TONE = 0x12, TZX_PULSES = 0x13,
                       TZX_PURE_DATA = 0x14, TZX_GENERALISED = 0x19,
                       TZX_PAUSE = 0x20, TZX_ARCHIVE_INFO = 0x32;

class TzxWriter : public TapeWriter {
 public:
  TzxWriter(ByteSink& out, const TapeContext& context)
      : m_out(out), m_layout(context.timed, TSTATES_PER_MS) {
    static const char signature[] = "ZXTape!\x1A\x01\x14";
    m_out.Write(signature, 10);
    ArchiveInfo(context.info);
  }

  void Part(const TapePart& part) override {
    ImageItem item;
    if (!m_layout.Next(part, item)) return;
    if (item.pauseBefore > 0) Pause(item.pauseBefore);
    switch (item.kind) {
      // A standard-speed record holds at most 65535 bytes: a longer block
      // goes out as a turbo record at ROM timing (24-bit length).
      case ImageKind::ROM:
        if (item.block->bytes.size() > MAX_WORD) {
          Turbo(item);
        } else {
          Rom(*item.block);
        }
        break;
      case ImageKind::TURBO:
      case ImageKind::DATA:
        if (item.symbolPulses > 0) {
          Generalised(item);
        } else if (item.kind == ImageKind::TURBO) {
          Turbo(item);
        } else {
          PureData(item);
        }
        break;
      case ImageKind::TONE: ToneRuns(item); break;
      case ImageKind::PULSES: {
        std::vector<double> pulses = item.stretch->pulses;
        if (!pulses.empty()) pulses[0] = PulseAt(item, 0);
        Pulses(pulses);
        break;
      }
    }
  }

  bool Finish(double recordingSeconds) override {
    const std::uint64_t after = m_layout.PauseAfter(recordingSeconds);
    if (after > 0) Pause(after);
    Flush();
    return true;
  }

 private:
  void ArchiveInfo(const ImageInfo& info) {
    const std::string text = ImageInfoText(info, MAX_INFO_TEXT);
    Begin(TZX_ARCHIVE_INFO);
    Word(static_cast<std::uint32_t>(1 + 2 + text.size()));
    m_block.push_back(1);     // one string
    m_block.push_back(0xFF);  // a comment
    m_block.push_back(static_cast<std::uint8_t>(text.size()));
    m_block.insert(m_block.end(), text.begin(), text.end());
  }

  // Silence of `tstates` (a whole number of milliseconds, at least one).
  void Pause(std::uint64_t tstates) {
    std::uint64_t ms = std::max<std::uint64_t>(1, tstates / TSTATES_PER_MS);
    if (m_pauseField > 0) {
      const std::uint64_t here = std::min<std::uint64_t>(ms, MAX_WORD);
      m_block[m_pauseField] = static_cast<std::uint8_t>(here);
      m_block[m_pauseField + 1] = static_cast<std::uint8_t>(here >> 8);
      ms -= here;
      m_pauseField = 0;
    }
    while (ms > 0) {
      const std::uint64_t here = std::min<std::uint64_t>(ms, MAX_WORD);
      Begin(TZX_PAUSE);
      Word(static_cast<std::uint32_t>(here));
      ms -= here;
    }
  }

  void Rom(const TapeBlock& source) {
    Begin(TZX_ROM);
    m_pauseField = m_block.size();
    Word(0);
    Word(static_cast<std::uint32_t>(source.bytes.size()));
    Data(source.bytes, source.bytes.size());
  }

  // A turbo record; a pilot in runs plays all but the last as tones before
  // it, and data in pieces goes on in pure-data records without a pause.
  // A sync of one pulse, which a turbo record cannot hold, goes as the
  // pilot's tones, the sync in a pulse list, and pure data.
  void Turbo(const ImageItem& item) {
    std::vector<PulseRun> runs = PilotRunsOf(item);
    if (item.sync2 == 0) {
      runs.push_back({1, item.sync1});
      Runs(runs);
      PureData(item);
      return;
    }
    Runs(std::vector<PulseRun>(runs.begin(), runs.end() - 1));
    std::uint32_t pilots = runs.back().count;
    if (pilots > MAX_WORD) {
      Tone(runs.back().length, pilots - MAX_WORD);
      pilots = MAX_WORD;
    }
    const std::vector<DataPiece> pieces = PiecesOf(item);
    Begin(TZX_TURBO);
    for (std::uint32_t length : {runs.back().length, item.sync1, item.sync2, pieces[0].zero, pieces[0].one})
      Word(Bounded(length));
    Word(pilots);
    DataFields(item, pieces[0]);
    for (std::size_t k = 1; k < pieces.size(); ++k) PureData(item, pieces[k]);
  }

  // A loader's symbols (0x19): the pilot (a run of one pilot symbol, all
  // but the last of its runs played as tones before it) and the sync (a
  // symbol of two pulses), then one data symbol a bit, each symbol
  // starting with an edge.
  void Generalised(const ImageItem& item) {
    std::vector<PulseRun> runs;
    if (item.kind == ImageKind::TURBO) {
      runs = PilotRunsOf(item);
      Runs(std::vector<PulseRun>(runs.begin(), runs.end() - 1));
    }
    Begin(TZX_GENERALISED);
    const std::size_t lengthField = m_block.size();
    for (int k = 0; k < 4; ++k) m_block.push_back(0);
    m_pauseField = m_block.size();
    Word(0);
    // The pilot and sync table's sizes: the run-length entries (a pilot
    // run holds up to 65535 symbols), pulses a symbol, symbols.
    const std::uint32_t pilots = runs.empty() ? 0 : runs.back().count;
    const std::uint32_t entries = runs.empty() ? 0 : (pilots + MAX_WORD - 1) / MAX_WORD + 1;
    Dword(entries);
    m_block.push_back(runs.empty() ? 0 : 2);
    m_block.push_back(runs.empty() ? 0 : 2);
    Dword(static_cast<std::uint32_t>(std::min<std::uint64_t>(item.bits, 0xFFFFFFFFu)));
    m_block.push_back(static_cast<std::uint8_t>(item.symbolPulses));
    m_block.push_back(2);
    if (!runs.empty()) {
      m_block.push_back(0);  // each symbol starts with an edge
      Word(Bounded(runs.back().length));
      Word(0);  // (a zero pulse ends the symbol)
      m_block.push_back(0);
      Word(Bounded(item.sync1));
      Word(item.sync2 > 0 ? Bounded(item.sync2) : 0);  // (0: a sync of one pulse)
      for (std::uint32_t left = pilots; left > 0;) {
        const std::uint32_t here = std::min(left, MAX_WORD);
        m_block.push_back(0);
        Word(here);
        left -= here;
      }
      m_block.push_back(1);
      Word(1);
    }
    for (const bool one : {false, true}) {
      std::uint32_t symbol[MAX_SYMBOL_PULSES];
      SymbolPulses(item, one, one ? item.one : item.zero, symbol);
      m_block.push_back(0);
      for (std::uint32_t k = 0; k < item.symbolPulses; ++k) Word(Bounded(symbol[k]));
    }
    Data(item.block->bytes, static_cast<std::size_t>((item.bits + 7) / 8));
    const std::size_t length = m_block.size() - lengthField - 4;
    for (int k = 0; k < 4; ++k) m_block[lengthField + k] = static_cast<std::uint8_t>(length >> (8 * k));
  }

  // Data with no pilot or sync before it (0x14), in its pieces.
  void PureData(const ImageItem& item) {
    for (const DataPiece& piece : PiecesOf(item)) PureData(item, piece);
  }

  void PureData(const ImageItem& item, const DataPiece& piece) {
    Begin(TZX_PURE_DATA);
    Word(Bounded(piece.zero));
    Word(Bounded(piece.one));
    DataFields(item, piece);
  }

  // What 0x11 and 0x14 end with alike: the used bits of the piece's last
  // byte, the pause (filled in when the next item is known), the 24-bit
  // length and the bytes.
  void DataFields(const ImageItem& item, const DataPiece& piece) {
    const std::size_t first = static_cast<std::size_t>(piece.firstBit / 8);
    const std::size_t size = static_cast<std::size_t>((piece.bits + 7) / 8);
    m_block.push_back(static_cast<std::uint8_t>(piece.bits - (size - 1) * 8));
    m_pauseField = m_block.size();
    Word(0);
    for (int shift = 0; shift < 24; shift += 8) m_block.push_back(static_cast<std::uint8_t>(size >> shift));
    const auto from = item.block->bytes.begin() + static_cast<std::ptrdiff_t>(first);
    m_block.insert(m_block.end(), from, from + static_cast<std::ptrdiff_t>(size));
  }

  void ToneRuns(const ImageItem& item) { Runs(PilotRunsOf(item)); }

  // Runs of pulses: tones, and single pulses (clicks, alternating pulses,
  // a first pulse that takes up a pause's rounding) gathered in pulse lists.
  void Runs(const std::vector<PulseRun>& runs) {
    std::vector<double> single;
    for (const PulseRun& run : runs) {
      if (run.count == 1) {
        single.push_back(run.length);
        continue;
      }
      Pulses(single);
      single.clear();
      Tone(run.length, run.count);
    }
    Pulses(single);
  }

  void Tone(std::uint32_t length, std::uint64_t count) {
    while (count > 0) {
      const std::uint64_t here = std::min<std::uint64_t>(count, MAX_WORD);
      Begin(TZX_TONE);
      Word(Bounded(length));
      Word(static_cast<std::uint32_t>(here));
      count -= here;
    }
  }

  // Pulses in lists of up to 255; a pulse too long for a list (over
  // 65535 T-states) is played as a pause, which ends in an edge as well.
  void Pulses(const std::vector<double>& pulses) {
    std::vector<std::uint32_t> list;
    auto flush = [&] {
      if (list.empty()) return;
      Begin(TZX_PULSES);
      m_block.push_back(static_cast<std::uint8_t>(list.size()));
      for (std::uint32_t length : list) Word(length);
      list.clear();
    };
    for (double p : pulses) {
      const double rounded = std::max(1.0, std::round(p));
      if (rounded > MAX_WORD) {
        flush();
        const double bounded = std::min(rounded, static_cast<double>(MAX_PAUSE_TSTATES));
        Pause(static_cast<std::uint64_t>(bounded + TSTATES_PER_MS / 2));
        continue;
      }
      list.push_back(static_cast<std::uint32_t>(rounded));
      if (list.size() == MAX_PULSES_PER_LIST) flush();
    }
    flush();
  }

  static std::uint32_t Bounded(std::uint32_t value) {
    return std::min<std::uint32_t>(std::max<std::uint32_t>(value, 1), MAX_WORD);
  }

  // Writes the held block and starts block `id`.
  void Begin(std::uint8_t id) {
    Flush();
    m_block.push_back(id);
  }

  void Flush() {
    if (!m_block.empty()) m_out.Write(m_block.data(), m_block.size());
    m_block.clear();
    m_pauseField = 0;
  }

  void Word(std::uint32_t value) {
    m_block.push_back(static_cast<std::uint8_t>(value));
    m_block.push_back(static_cast<std::uint8_t>(value >> 8));
  }

  void Dword(std::uint32_t value) {
    Word(value & 0xFFFF);
    Word(value >> 16);
  }

  void Data(const std::vector<std::uint8_t>& bytes, std::size_t count) {
    m_block.insert(m_block.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(count));
  }

  ByteSink& m_out;
  CPartLayout m_layout;
  std::vector<std::uint8_t> m_block;  // the held block
  std::size_t m_pauseField = 0;       // its pause field's offset, 0 when it has none
};

}  // namespace

std::unique_ptr<TapeWriter> MakeTzxWriter(ByteSink& out, const TapeContext& context) {
  return std::make_unique<TzxWriter>(out, context);
}

}  // namespace tapedecoder
