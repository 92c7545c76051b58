// One recording held in memory, read at a fractional cursor with linear
// interpolation and channel mixing.
#ifndef TAPEDECODER_AUDIO_WAVE_SOURCE_H_
#define TAPEDECODER_AUDIO_WAVE_SOURCE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tapedecoder {

// Why the last Open failed, in the order the checks run.
enum WaveError : std::uint8_t {
  WAVE_OK = 0,
  WAVE_CANNOT_OPEN,        // missing, unreadable, or not a regular file
  WAVE_NO_RIFF_WAVE,       // no RIFF chunk of form type "WAVE"
  WAVE_NO_FORMAT,          // no "fmt " chunk inside it
  WAVE_SHORT_FORMAT,       // fewer than 18 bytes from the format data onward
  WAVE_NOT_PCM,            // format tag other than 1
  WAVE_FORMAT_END,         // the end of the format chunk lies past the file
  WAVE_NO_DATA,            // no "data" chunk after the format chunk
  WAVE_BAD_RATE,           // sample rate other than 44100
  WAVE_BAD_BLOCK_ALIGN,    // block align differs from the channel count
  WAVE_BAD_CHANNELS,       // neither mono nor stereo
  WAVE_NO_MEMORY,          // the samples could not be held in memory
};

// The only sample rate the source accepts.
constexpr std::uint32_t WAVE_SAMPLE_RATE = 44100;

// Units: frames are sample periods (one byte per channel). The cursor and
// window sizes count frames; a read step is one Advance of m_step frames.
//
// A source is empty (no frames; reads fail) after construction, Release and
// a failed Open, and loaded after a successful Open. Not copyable.
class CWaveSource {
 public:
  CWaveSource();
  ~CWaveSource();
  CWaveSource(const CWaveSource&) = delete;
  CWaveSource& operator=(const CWaveSource&) = delete;

  // Loads an 8-bit PCM WAV file of 44100 Hz, mono or stereo, into memory;
  // a name without a folder is found in the current directory. Releases any
  // earlier data first, so on failure the source is empty and LastError()
  // says why. The file is closed before Open returns.
  // A data chunk that the file holds only in part (a truncated recording)
  // loads the whole frames that are present; memory taken never exceeds
  // what the file holds.
  bool Open(const std::string& fileName);

  // As Open, from a WAV file image in memory. *bytes need not outlive the
  // call: the samples are copied.
  bool OpenMemory(const std::uint8_t* bytes, std::size_t size);

  // Random access to the bytes of a WAV file: Size() is fixed when the
  // reader is made; ReadAt returns how many bytes it read at `offset`, which
  // may be fewer than asked (the end of the file, or a file that shrank).
  class Reader {
   public:
    virtual ~Reader() = default;
    virtual std::uint64_t Size() const = 0;
    virtual std::size_t ReadAt(std::uint64_t offset, std::uint8_t* out,
                               std::size_t count) = 0;
  };

  // As Open, from any reader. `reader` is used only during the call.
  bool OpenReader(Reader& reader);

  WaveError LastError() const { return m_lastError; }

  // Frees the samples and puts the cursor at 0.0. The step, channel count
  // and channel flags stay.
  void Release();

  // Which channels of a stereo recording reads use; a flag counts only when
  // it is 1. Mono reads ignore both. Open does not change them. Always true.
  bool SetChannels(std::uint8_t useLeft, std::uint8_t useRight);

  // Stores the step (in frames) and returns true when the step in force is
  // greater than 0.0; otherwise changes nothing and returns false.
  bool SetStep(double step);
  double GetStep() const { return m_step; }

  // Puts the cursor at 0.0. Always true.
  bool Rewind();

  // The value at the cursor: the frame under it interpolated toward the
  // next frame by the cursor's fraction, in double arithmetic, truncated.
  // Stereo averages the selected channels (none selected reads 0). Fails
  // when the cursor stands before the data or at/after the frame count.
  bool ReadSample(std::uint8_t& value) const;

  // Adds the step to the cursor (a running sum, so rounding errors
  // accumulate) and returns whether the new cursor is still inside the data.
  // The cursor moves even when the result is false.
  bool Advance();

  // True when ReadSample at the cursor would fail.
  bool IsAtEnd() const;

  // The automatic threshold from a window of `count` frames that starts at
  // the frame under the cursor, moved back to end at the last frame when it
  // would run past it, and the whole data when that is shorter: halfway
  // (rounded down) between the window's mean and the middle of its range,
  // each rounded down. Raw frame values, never interpolated. The cursor
  // does not move. An empty source gives 63.
  // Successive calls at a cursor that moves forward slide one window along
  // the data instead of summing it afresh, so a call costs the frames the
  // cursor passed since the last one rather than the window's length.
  std::uint8_t GetAutoLevel(std::uint32_t count) const;

  // Moves the cursor exactly as this loop does and returns what it returns:
  //
  //   for (i = 0; i < limit; ++i) {
  //     if (!ReadSample(v)) return -1;      // no step taken
  //     side = v > level ? 1 : 0;
  //     Advance();
  //     if (side != state) { state = side; return i; }
  //   }
  //   return -1;                             // state unchanged
  //
  // It gets there faster: frames whose every interpolated value lies on the
  // state's side are crossed in one jump, computed so that the cursor lands
  // bit for bit where the running sum of steps would put it.
  std::int32_t ScanForSideChange(std::uint8_t level, std::uint8_t& state,
                                 std::int32_t limit);

  std::uint32_t FrameCount() const { return m_frameCount; }
  std::uint32_t Channels() const { return m_channels; }
  double Position() const { return m_position; }
  // The loaded sample bytes: frames of m_channels bytes, left first.
  const std::vector<std::uint8_t>& Data() const { return m_data; }

 private:
  // The value read at fraction f (0 <= f < 1) of frame i < m_frameCount:
  // interpolated toward the next frame (the last frame toward itself) in
  // double arithmetic and truncated; stereo sums the selected channels
  // unrounded and truncates their average once.
  std::uint8_t ValueInFrame(std::uint32_t i, double f) const {
    const std::uint32_t j = i + 1 < m_frameCount ? i + 1 : i;
    const std::uint8_t* s = m_data.data();
    if (m_channels == 1)
      return static_cast<std::uint8_t>(s[i] + f * static_cast<double>(s[j] - s[i]));
    const std::uint8_t* a = s + 2 * static_cast<std::size_t>(i);
    const std::uint8_t* b = s + 2 * static_cast<std::size_t>(j);
    double sum = 0.0;
    int n = 0;
    if (m_useLeft == 1) {
      sum = (a[0] + f * static_cast<double>(b[0] - a[0])) + sum;
      ++n;
    }
    if (m_useRight == 1) {
      sum = (a[1] + f * static_cast<double>(b[1] - a[1])) + sum;
      ++n;
    }
    if (n == 0) n = 1;
    return static_cast<std::uint8_t>(sum / n);
  }
  // The first frame in [frame, end) in which some read may fall on the
  // other side of `level` than `state`, or `end` when there is none.
  // REQUIRES: frame < end <= m_frameCount.
  std::uint32_t FirstFrameOffSide(std::uint32_t frame, std::uint32_t end,
                                  std::uint8_t level, std::uint8_t state) const;
  // Takes up to maxSteps steps while the cursor is below `target`, and
  // returns how many it took. Same arithmetic result as that many Advance().
  std::int32_t AdvanceBelow(double target, std::int32_t maxSteps);

  // The automatic level's sliding window: frames [start, start + length),
  // their sum and a histogram of their values for the minimum and maximum.
  struct LevelWindow {
    bool valid = false;
    std::uint64_t start = 0;
    std::uint64_t length = 0;
    std::uint64_t sum = 0;
    unsigned minimum = 255;
    unsigned maximum = 0;
    std::uint32_t histogram[256] = {};
  };
  void AddToWindow(std::uint64_t from, std::uint64_t to) const;
  void RemoveFromWindow(std::uint64_t from, std::uint64_t to) const;

  std::uint32_t m_frameCount = 0;
  std::vector<std::uint8_t> m_data;
  double m_step = 1.0;
  double m_position = 0.0;
  std::uint32_t m_channels = 0;
  std::uint8_t m_useLeft = 1;
  std::uint8_t m_useRight = 1;
  WaveError m_lastError = WAVE_OK;
  mutable LevelWindow m_window;
  // The cursor's binade [start, end) with its unit, and the step rounded to
  // that unit (in units): AdvanceBelow's arithmetic, kept between calls.
  struct Binade {
    double start = 0.0;
    double end = 0.0;
    double unit = 0.0;
    double step = 0.0;
    double increment = 0.0;
    bool tie = false;
    void For(double position, double step);
  };
  Binade m_binade;  // a cache: invalid after any load or channel change
};

}  // namespace tapedecoder

#endif  // TAPEDECODER_AUDIO_WAVE_SOURCE_H_
