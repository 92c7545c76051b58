#include "audio/wave_file.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "audio/little_endian.h"

namespace tapedecoder {

namespace {

constexpr std::uint32_t kFormatPcm = 1;
// The format fields read at the start of the format data, whatever the
// chunk's own size: tag, channels, rate, bytes per second, block align,
// bits per sample and the size of extra bytes.
constexpr std::size_t kFormatBytes = 18;
constexpr std::size_t kChunkHeaderBytes = 8;

// Where a chunk's data starts and how long it says it is.
struct Chunk {
  std::uint64_t dataStart = 0;
  std::uint32_t size = 0;
  // The position after the data and its pad byte, when the size is odd.
  std::uint64_t End() const { return dataStart + size + (size & 1u); }
};

// Skips chunks from `pos` until one with the id `id` starts before `limit`
// (the end of the parent chunk or of the file). Each skip moves forward by
// at least a header, so the walk always ends.
bool FindChunk(CByteSource& reader, std::uint64_t pos,
               std::uint64_t limit, const char* id, Chunk& found) {
  std::uint8_t header[kChunkHeaderBytes];
  while (pos + kChunkHeaderBytes <= limit) {
    if (reader.ReadAt(pos, header, sizeof header) != sizeof header) return false;
    Chunk chunk;
    chunk.dataStart = pos + kChunkHeaderBytes;
    chunk.size = Le32(header + 4);
    if (std::memcmp(header, id, 4) == 0) {
      found = chunk;
      return true;
    }
    pos = chunk.End();
  }
  return false;
}

// Finds the first top-level RIFF chunk of form type "WAVE", skipping any
// other chunk (a RIFF chunk of another form type included).
bool FindRiffWave(CByteSource& reader, Chunk& riff) {
  const std::uint64_t fileSize = reader.Size();
  std::uint64_t pos = 0;
  while (FindChunk(reader, pos, fileSize, "RIFF", riff)) {
    std::uint8_t form[4];
    if (riff.size >= 4 && reader.ReadAt(riff.dataStart, form, 4) == 4 &&
        std::memcmp(form, "WAVE", 4) == 0) {
      return true;
    }
    pos = riff.End();
  }
  return false;
}

}  // namespace

FailureKind LoadWave(CByteSource& reader, SampleFrames& frames) {
  std::vector<std::uint8_t>().swap(frames.bytes);
  frames.frameCount = 0;
  const std::uint64_t fileSize = reader.Size();

  Chunk riff;
  if (!FindRiffWave(reader, riff)) return FailureKind::WAVE_NO_RIFF_WAVE;
  // Sub-chunks are searched inside the RIFF chunk, and never past the file.
  const std::uint64_t riffEnd = std::min<std::uint64_t>(riff.dataStart + riff.size, fileSize);
  const std::uint64_t firstSubChunk = riff.dataStart + 4;  // after the form type

  Chunk format;
  if (!FindChunk(reader, firstSubChunk, riffEnd, "fmt ", format)) return FailureKind::WAVE_NO_FORMAT;
  std::uint8_t fields[kFormatBytes];
  if (reader.ReadAt(format.dataStart, fields, kFormatBytes) != kFormatBytes)
    return FailureKind::WAVE_SHORT_FORMAT;
  if (Le16(fields) != kFormatPcm) return FailureKind::WAVE_NOT_PCM;
  if (format.End() > fileSize) return FailureKind::WAVE_FORMAT_END;

  Chunk data;
  if (!FindChunk(reader, format.End(), riffEnd, "data", data)) return FailureKind::WAVE_NO_DATA;
  const std::uint32_t channels = Le16(fields + 2);
  // The channel count is kept even when a later check fails.
  frames.channels = channels;
  if (Le32(fields + 4) != WAVE_SAMPLE_RATE) return FailureKind::WAVE_BAD_RATE;
  if (Le16(fields + 12) != channels) return FailureKind::WAVE_BAD_BLOCK_ALIGN;
  if (channels != 1 && channels != 2) return FailureKind::WAVE_BAD_CHANNELS;

  // Only the bytes the file really holds are taken, whatever the declared
  // size says (a recording cut short, or a size of 0xFFFFFFFF).
  const std::uint64_t present = data.dataStart < fileSize ? fileSize - data.dataStart : 0;
  const std::uint64_t wanted = std::min<std::uint64_t>(data.size, present);
  try {
    frames.bytes.resize(static_cast<std::size_t>(wanted));
  } catch (const std::bad_alloc&) {
    return FailureKind::NO_MEMORY;
  }
  const std::size_t got =
      wanted == 0 ? 0 : reader.ReadAt(data.dataStart, frames.bytes.data(), frames.bytes.size());
  frames.bytes.resize(got);  // the file may have shrunk while it was read
  frames.frameCount = static_cast<std::uint32_t>(got / channels);
  return FailureKind::NONE;
}

}  // namespace tapedecoder
