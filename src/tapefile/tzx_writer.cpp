// TZX images through libspectrum.
#include <libspectrum.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>

#include "tapefile/image_layout.h"
#include "tapefile/tape_image.h"

namespace tapedecoder {

namespace {

constexpr std::uint32_t TSTATES_PER_MS = 3500;
constexpr std::uint32_t MAX_WORD = 65535;
constexpr std::size_t MAX_PULSES_PER_LIST = 255;
constexpr std::uint32_t CLASSIC_PAUSE_MS = 1000;
// A pause without a level. (libspectrum 1.5 writes a pause with a level as
// a pure tone, with a set-signal-level block first for level 1.)
constexpr int NO_LEVEL = 0;
constexpr std::size_t MAX_INFO_TEXT = 255;  // archive-info strings: 1-byte length

libspectrum_error InitLibrary() {
  static std::once_flag once;
  static libspectrum_error result = LIBSPECTRUM_ERROR_NONE;
  std::call_once(once, [] { result = libspectrum_init(); });
  return result;
}

struct TapeDeleter {
  void operator()(libspectrum_tape* tape) const { libspectrum_tape_free(tape); }
};

// Builds a tape block by block, remembering the first libspectrum error.
class TzxBuilder {
 public:
  TzxBuilder() : m_tape(libspectrum_tape_alloc()) {}

  libspectrum_error Error() const { return m_error; }

  void ArchiveInfo(const ImageInfo& info) {
    libspectrum_tape_block* block = Append(LIBSPECTRUM_TAPE_BLOCK_ARCHIVE_INFO);
    const std::string text = ImageInfoText(info, MAX_INFO_TEXT);
    int* ids = libspectrum_new(int, 1);
    ids[0] = 0xFF;  // comment
    char** texts = libspectrum_new(char*, 1);
    texts[0] = libspectrum_new(char, text.size() + 1);
    std::memcpy(texts[0], text.c_str(), text.size() + 1);
    Check(libspectrum_tape_block_set_count(block, 1));
    Check(libspectrum_tape_block_set_ids(block, ids));
    Check(libspectrum_tape_block_set_texts(block, texts));
  }

  // Silence of `tstates` (a whole number of milliseconds, at least one).
  void Pause(std::uint64_t tstates) {
    std::uint64_t ms = std::max<std::uint64_t>(1, tstates / TSTATES_PER_MS);
    if (m_pausable) {
      const std::uint64_t here = std::min<std::uint64_t>(ms, MAX_WORD);
      SetPause(m_pausable, here);
      ms -= here;
      m_pausable = nullptr;
    }
    while (ms > 0) {
      const std::uint64_t here = std::min<std::uint64_t>(ms, MAX_WORD);
      libspectrum_tape_block* block = Append(LIBSPECTRUM_TAPE_BLOCK_PAUSE);
      // No level: blocks come from libspectrum's allocator uncleared, and a
      // stray level turns the pause into something else when written.
      Check(libspectrum_tape_block_set_level(block, NO_LEVEL));
      SetPause(block, here);
      ms -= here;
    }
  }

  void Rom(const TapeBlock& source) {
    libspectrum_tape_block* block = Append(LIBSPECTRUM_TAPE_BLOCK_ROM);
    SetData(block, source.bytes);
    SetPause(block, 0);
    m_pausable = block;
  }

  void Turbo(const ImageItem& item) {
    std::uint32_t pilots = item.pilotCount;
    if (pilots > MAX_WORD) {
      Tone(item.pilot, pilots - MAX_WORD);
      pilots = MAX_WORD;
    }
    libspectrum_tape_block* block = Append(LIBSPECTRUM_TAPE_BLOCK_TURBO);
    Check(libspectrum_tape_block_set_pilot_length(block, Word(item.pilot)));
    Check(libspectrum_tape_block_set_pilot_pulses(block, pilots));
    Check(libspectrum_tape_block_set_sync1_length(block, Word(item.sync1)));
    Check(libspectrum_tape_block_set_sync2_length(block, Word(item.sync2)));
    Check(libspectrum_tape_block_set_bit0_length(block, Word(item.zero)));
    Check(libspectrum_tape_block_set_bit1_length(block, Word(item.one)));
    const std::size_t used = item.bits - (item.block->bytes.size() - 1) * 8;
    Check(libspectrum_tape_block_set_bits_in_last_byte(block, used));
    SetData(block, item.block->bytes);
    SetPause(block, 0);
    m_pausable = block;
  }

  void Tone(std::uint32_t length, std::uint64_t count) {
    while (count > 0) {
      const std::uint64_t here = std::min<std::uint64_t>(count, MAX_WORD);
      libspectrum_tape_block* block = Append(LIBSPECTRUM_TAPE_BLOCK_PURE_TONE);
      Check(libspectrum_tape_block_set_pulse_length(block, Word(length)));
      Check(libspectrum_tape_block_set_count(block, here));
      count -= here;
    }
  }

  // Pulses in lists of up to 255; a pulse too long for a list (over
  // 65535 T-states) is played as a pause, which ends in an edge as well.
  void Pulses(const std::vector<double>& pulses) {
    std::vector<libspectrum_dword> list;
    auto flush = [&] {
      if (list.empty()) return;
      libspectrum_tape_block* block = Append(LIBSPECTRUM_TAPE_BLOCK_PULSES);
      libspectrum_dword* lengths = libspectrum_new(libspectrum_dword, list.size());
      std::copy(list.begin(), list.end(), lengths);
      Check(libspectrum_tape_block_set_count(block, list.size()));
      Check(libspectrum_tape_block_set_pulse_lengths(block, lengths));
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
      list.push_back(static_cast<libspectrum_dword>(rounded));
      if (list.size() == MAX_PULSES_PER_LIST) flush();
    }
    flush();
  }

  ImageResult Finish() {
    ImageResult result;
    if (m_error == LIBSPECTRUM_ERROR_NONE) {
      libspectrum_byte* buffer = nullptr;
      std::size_t length = 0;
      Check(libspectrum_tape_write(&buffer, &length, m_tape.get(), LIBSPECTRUM_ID_TAPE_TZX));
      if (m_error == LIBSPECTRUM_ERROR_NONE) result.bytes.assign(buffer, buffer + length);
      libspectrum_free(buffer);
    }
    if (m_error != LIBSPECTRUM_ERROR_NONE) {
      result.failure.kind = FailureKind::IMAGE_LIBRARY;
      result.failure.value = m_error;
      result.bytes.clear();
    }
    return result;
  }

 private:
  static libspectrum_dword Word(std::uint32_t value) {
    return std::min<std::uint32_t>(std::max<std::uint32_t>(value, 1), MAX_WORD);
  }

  void Check(libspectrum_error error) {
    if (m_error == LIBSPECTRUM_ERROR_NONE && error != LIBSPECTRUM_ERROR_NONE) m_error = error;
  }

  // A new block at the end of the tape, which owns it from here on.
  libspectrum_tape_block* Append(libspectrum_tape_type type) {
    libspectrum_tape_block* block = libspectrum_tape_block_alloc(type);
    libspectrum_tape_append_block(m_tape.get(), block);
    m_pausable = nullptr;
    return block;
  }

  void SetPause(libspectrum_tape_block* block, std::uint64_t ms) {
    Check(libspectrum_tape_block_set_pause(block, static_cast<libspectrum_dword>(ms)));
    Check(libspectrum_tape_block_set_pause_tstates(
        block, static_cast<libspectrum_dword>(ms * TSTATES_PER_MS)));
  }

  void SetData(libspectrum_tape_block* block, const std::vector<std::uint8_t>& bytes) {
    libspectrum_byte* data = libspectrum_new(libspectrum_byte, bytes.size());
    std::copy(bytes.begin(), bytes.end(), data);
    Check(libspectrum_tape_block_set_data_length(block, bytes.size()));
    Check(libspectrum_tape_block_set_data(block, data));
  }

  std::unique_ptr<libspectrum_tape, TapeDeleter> m_tape;
  libspectrum_tape_block* m_pausable = nullptr;  // last block, when it has a pause field
  libspectrum_error m_error = LIBSPECTRUM_ERROR_NONE;
};

ImageResult InitFailure(libspectrum_error error) {
  ImageResult result;
  result.failure.kind = FailureKind::IMAGE_LIBRARY_INIT;
  result.failure.value = error;
  return result;
}

}  // namespace

std::string ImageInfoText(const ImageInfo& info, std::size_t limit) {
  std::string text = "Created by " + info.tool;
  if (!info.sourceName.empty()) text += " from " + info.sourceName;
  if (text.size() > limit) {
    std::size_t cut = limit;
    // Back off continuation bytes so no character is split.
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    text.resize(cut);
  }
  return text;
}

ImageResult WriteTzx(const std::vector<TapePart>& parts, double recordingSeconds,
                     const ImageInfo& info) {
  if (libspectrum_error error = InitLibrary()) return InitFailure(error);
  const ImageLayout layout = LayOutParts(parts, recordingSeconds, TSTATES_PER_MS);
  TzxBuilder tzx;
  tzx.ArchiveInfo(info);
  for (const ImageItem& item : layout.items) {
    if (item.pauseBefore > 0) tzx.Pause(item.pauseBefore);
    switch (item.kind) {
      case ImageKind::ROM: tzx.Rom(*item.block); break;
      case ImageKind::TURBO: tzx.Turbo(item); break;
      case ImageKind::TONE: tzx.Tone(item.pilot, item.pilotCount); break;
      case ImageKind::PULSES: tzx.Pulses(item.stretch->pulses); break;
    }
  }
  if (layout.pauseAfter > 0) tzx.Pause(layout.pauseAfter);
  return tzx.Finish();
}

ImageResult WriteTzxBlocks(const std::vector<TapeBlock>& blocks, const ImageInfo& info) {
  if (libspectrum_error error = InitLibrary()) return InitFailure(error);
  TzxBuilder tzx;
  tzx.ArchiveInfo(info);
  for (const TapeBlock& block : blocks) {
    if (block.bytes.empty()) continue;
    tzx.Rom(block);
    tzx.Pause(static_cast<std::uint64_t>(CLASSIC_PAUSE_MS) * TSTATES_PER_MS);
  }
  return tzx.Finish();
}

}  // namespace tapedecoder
