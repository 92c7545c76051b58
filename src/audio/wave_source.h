// One recording held in memory, read at a fractional cursor with linear
// interpolation and channel mixing: the classic method's sample source.
#ifndef TAPEDECODER_AUDIO_WAVE_SOURCE_H_
#define TAPEDECODER_AUDIO_WAVE_SOURCE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "audio/auto_level.h"
#include "audio/read_cursor.h"
#include "audio/sample_frames.h"
#include "audio/wave_file.h"

namespace tapedecoder {

// Units: frames are sample periods (one byte per channel). The cursor and
// window sizes count frames; a read step is one Advance of GetStep() frames.
//
// A source is empty (no frames; reads fail) after construction, Release and
// a failed Open, and loaded after a successful Open. Not copyable.
class CWaveSource {
 public:
  using Reader = CByteSource;

  CWaveSource() = default;
  CWaveSource(const CWaveSource&) = delete;
  CWaveSource& operator=(const CWaveSource&) = delete;

  // Loads an 8-bit PCM WAV file of 44100 Hz, mono or stereo, into memory
  // (see LoadWave); a name without a folder is found in the current
  // directory. Releases any earlier data first, so on failure the source is
  // empty and LastError() says why. The file is closed before Open returns.
  // Memory taken never exceeds what the file holds.
  bool Open(const std::string& fileName);

  // As Open, from a WAV file image in memory. *bytes need not outlive the
  // call: the samples are copied.
  bool OpenMemory(const std::uint8_t* bytes, std::size_t size);

  // As Open, from any reader. `reader` is used only during the call.
  bool OpenReader(Reader& reader);

  FailureKind LastError() const { return m_lastError; }

  // Frees the samples and puts the cursor at 0.0. The step, channel count
  // and channel flags stay.
  void Release();

  // Which channels of a stereo recording reads use; a flag counts only when
  // it is 1. Mono reads ignore both. Open does not change them.
  void SetChannels(std::uint8_t useLeft, std::uint8_t useRight);

  // Stores the step (in frames) and returns true when it is greater than
  // 0.0; otherwise changes nothing and returns false.
  bool SetStep(double step) { return m_cursor.SetStep(step); }
  double GetStep() const { return m_cursor.Step(); }

  // Puts the cursor at 0.0.
  void Rewind() { m_cursor.Rewind(); }

  // The value at the cursor: the frame under it interpolated toward the
  // next frame by the cursor's fraction, in double arithmetic, truncated.
  // Stereo averages the selected channels (none selected reads 0). Fails
  // when the cursor stands at/after the frame count.
  bool ReadSample(std::uint8_t& value) const { return m_cursor.ReadSample(m_frames, value); }

  // Adds the step to the cursor (a running sum, so rounding errors
  // accumulate) and returns whether the new cursor is still inside the data.
  // The cursor moves even when the result is false.
  bool Advance() { return m_cursor.Advance(m_frames); }

  // True when ReadSample at the cursor would fail.
  bool IsAtEnd() const {
    std::uint8_t scratch;
    return !ReadSample(scratch);
  }

  // The automatic threshold from a window of `count` frames at the cursor
  // (CAutoLevel::Level). The cursor does not move. An empty source gives 63.
  std::uint8_t GetAutoLevel(std::uint32_t count) const {
    return m_level.Level(m_frames, m_cursor.Position(), count);
  }

  // CReadCursor::ScanForSideChange at the cursor.
  std::int32_t ScanForSideChange(std::uint8_t level, std::uint8_t& state, std::int32_t limit) {
    return m_cursor.ScanForSideChange(m_frames, level, state, limit);
  }

  std::uint32_t FrameCount() const { return m_frames.frameCount; }
  std::uint32_t Channels() const { return m_frames.channels; }
  double Position() const { return m_cursor.Position(); }
  // The loaded sample bytes: frames of Channels() bytes, left first.
  const std::vector<std::uint8_t>& Data() const { return m_frames.bytes; }

 private:
  SampleFrames m_frames;
  CReadCursor m_cursor;
  // The sliding window of the automatic level follows the cursor between
  // calls; it is not part of the source's observable state.
  mutable CAutoLevel m_level;
  FailureKind m_lastError = FailureKind::NONE;
};

}  // namespace tapedecoder

#endif  // TAPEDECODER_AUDIO_WAVE_SOURCE_H_
