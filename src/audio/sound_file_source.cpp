// A sound file read through the sound library: every format it knows, as
// float frames of full scale 1, bounded to ±SAMPLE_LIMIT.
#include <sndfile.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

#include "audio/flac_source.h"
#include "audio/little_endian.h"
#include "base/vector_clones.h"
#include "audio/sample_source.h"

namespace tapedecoder {

namespace {

FailureKind SoundFileFailure(int code) {
  switch (code) {
    case SF_ERR_UNRECOGNISED_FORMAT: return FailureKind::UNKNOWN_FORMAT;
    case SF_ERR_SYSTEM: return FailureKind::READ_ERROR;
    case SF_ERR_UNSUPPORTED_ENCODING: return FailureKind::UNSUPPORTED_ENCODING;
    default: return FailureKind::MALFORMED_AUDIO;  // the format-specific complaints
  }
}

// True when `file` is a RIFF WAVE file whose data chunk declares more bytes
// than the file holds: a recording cut short (the sound library quietly
// reads what is there). A size of 0 or 0xFFFFFFFF is what a recorder
// writes before it knows the length, no promise.
bool WaveDataCutShort(CByteSource& file) {
  const std::uint64_t fileBytes = file.Size();
  const auto readAt = [&file](std::uint64_t offset, std::uint8_t* out, std::size_t count) {
    return file.ReadAt(offset, out, count) == count;
  };
  std::uint8_t riff[12];
  if (!readAt(0, riff, sizeof riff) || std::memcmp(riff, "RIFF", 4) != 0 ||
      std::memcmp(riff + 8, "WAVE", 4) != 0)
    return false;
  std::uint64_t at = sizeof riff;
  for (int chunks = 0; chunks < 1000 && at + 8 <= fileBytes; ++chunks) {
    std::uint8_t chunk[8];
    if (!readAt(at, chunk, sizeof chunk)) return false;
    const std::uint32_t size = Le32(chunk + 4);
    if (std::memcmp(chunk, "data", 4) == 0)
      return size != 0 && size != 0xFFFFFFFFu && at + 8 + size > fileBytes;
    at += 8 + static_cast<std::uint64_t>(size) + (size & 1u);
  }
  return false;
}

class CSoundFileSource : public CSampleSource {
 public:
  explicit CSoundFileSource(std::unique_ptr<CFileByteSource> file) : m_file(std::move(file)) {}
  ~CSoundFileSource() override {
    if (m_sound != nullptr) sf_close(m_sound);  // before the descriptor under it closes
  }
  bool Open(Failure& error);
  std::size_t Read(float* frames, std::size_t maxFrames) override;
  void AllowHelperThread() override { m_streaming = true; }
  InputProgress Progress() const override {
    return {m_framesRead, m_info.frames > 0 ? static_cast<std::uint64_t>(m_info.frames) : 0};
  }
  bool Seek(std::uint64_t frame) override {
    if (Failed() || !m_seekable || sf_seek(m_sound, static_cast<sf_count_t>(frame), SEEK_SET) < 0) return false;
    m_framesRead = frame;
    return true;
  }

 private:
  std::unique_ptr<CFileByteSource> m_file;
  SNDFILE* m_sound = nullptr;
  std::uint64_t m_framesRead = 0;
  bool m_cutShort = false;  // a WAV whose data chunk runs past the end of the file
  bool m_seekable = false;
  bool m_bounded = false;  // the encoding's samples lie within ±1 (integers)

  std::size_t Counted(sf_count_t got);
  // sf_readf_float, or for 16-bit samples (m_shorts) the same floats from
  // sf_readf_short through m_shortRun.
  sf_count_t ReadFloats(float* frames, std::size_t maxFrames);

  // Samples a time: a read call of 64 KiB, few enough per chunk that the
  // calls cost little.
  static constexpr std::size_t SHORT_RUN = 32768;
  bool m_shorts = false;
  std::vector<short> m_shortRun;
  bool m_streaming = false;  // read on a thread of its own (AllowHelperThread)
};

bool CSoundFileSource::Open(Failure& error) {
  // The library reads the descriptor from its offset, 0 (the file source's
  // reads leave it there); the descriptor stays the file source's.
  m_cutShort = WaveDataCutShort(*m_file);
  SF_INFO sfInfo{};
  m_sound = sf_open_fd(m_file->Descriptor(), SFM_READ, &sfInfo, SF_FALSE);
  if (m_sound == nullptr) {
    const int code = sf_error(nullptr);
    error.kind = SoundFileFailure(code);
    if (code == SF_ERR_SYSTEM) error.osError = errno;
    error.libraryMessage = sf_strerror(nullptr);
    return false;
  }
  if (sfInfo.samplerate < INPUT_MIN_RATE || sfInfo.samplerate > INPUT_MAX_RATE) {
    error.kind = FailureKind::BAD_RATE;
    error.value = sfInfo.samplerate;
    return false;
  }
  if (sfInfo.channels < 1) {
    error.kind = FailureKind::BAD_CHANNELS;
    return false;
  }
  // Integer samples arrive as floats of full scale 1; float samples as stored.
  sf_command(m_sound, SFC_SET_NORM_FLOAT, nullptr, SF_TRUE);
  sf_command(m_sound, SFC_SET_SCALE_FLOAT_INT_READ, nullptr, SF_FALSE);
  m_info.kind = InputKind::AUDIO;
  m_info.rate = sfInfo.samplerate;
  m_info.channels = sfInfo.channels;
  m_info.format = sfInfo.format;
  m_info.container = FormatName(sfInfo.format & SF_FORMAT_TYPEMASK);
  m_info.encoding = FormatName(sfInfo.format & SF_FORMAT_SUBMASK);
  if (sfInfo.frames >= 0 && sfInfo.frames != SF_COUNT_MAX) {
    m_info.frames = sfInfo.frames;
    m_info.seconds = static_cast<double>(sfInfo.frames) / sfInfo.samplerate;
  }
  m_info.fileBytes = m_file->Size();
  m_seekable = sfInfo.seekable != 0;
  // Integer samples normalised to full scale 1 can be neither louder than
  // SAMPLE_LIMIT nor NaN.
  switch (sfInfo.format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_PCM_S8: case SF_FORMAT_PCM_U8: case SF_FORMAT_PCM_16: case SF_FORMAT_PCM_24:
    case SF_FORMAT_PCM_32: case SF_FORMAT_ULAW: case SF_FORMAT_ALAW:
      m_bounded = true;
      break;
    default: break;
  }
  if ((sfInfo.format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_16 && sfInfo.channels <= static_cast<int>(SHORT_RUN)) {
    m_shortRun.resize(SHORT_RUN);
    m_shorts = true;
  }
  m_rate = sfInfo.samplerate;
  return true;
}

sf_count_t CSoundFileSource::ReadFloats(float* frames, std::size_t maxFrames) {
  if (!m_shorts) return sf_readf_float(m_sound, frames, static_cast<sf_count_t>(maxFrames));
  // 16-bit samples read as integers and scaled here, a run at a time in
  // vector instructions: the same floats the library's own conversion
  // gives (an integer times 2^-15 is exact), at a fraction of its cost.
  const std::size_t channels = static_cast<std::size_t>(m_info.channels);
  const std::size_t most = std::max<std::size_t>(1, SHORT_RUN / channels);
  sf_count_t total = 0;
  while (static_cast<std::size_t>(total) < maxFrames) {
    const std::size_t want = std::min(most, maxFrames - static_cast<std::size_t>(total));
    const sf_count_t got = sf_readf_short(m_sound, m_shortRun.data(), static_cast<sf_count_t>(want));
    if (got <= 0) return total > 0 ? total : got;
    float* out = frames + static_cast<std::size_t>(total) * channels;
    const short* in = m_shortRun.data();
    const std::size_t count = static_cast<std::size_t>(got) * channels;
    std::size_t i = 0;
#if TAPEDECODER_HAVE_SSE2
    const __m128 scale = _mm_set1_ps(1.0f / 32768.0f);
    const auto convert = [&](auto store) {
      for (; i + 8 <= count; i += 8) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
        // Each 16-bit sample into the top of a 32-bit lane, shifted down with its sign.
        const __m128i low = _mm_srai_epi32(_mm_unpacklo_epi16(v, v), 16);
        const __m128i high = _mm_srai_epi32(_mm_unpackhi_epi16(v, v), 16);
        store(out + i, _mm_mul_ps(_mm_cvtepi32_ps(low), scale));
        store(out + i + 4, _mm_mul_ps(_mm_cvtepi32_ps(high), scale));
      }
    };
    if (m_streaming && reinterpret_cast<std::uintptr_t>(out) % 16 == 0) {
      // Read ahead on a thread of its own, the samples are read on other
      // cores, whose caches hold the buffer from its last round: stores
      // that bypass the cache save fetching it back to overwrite it.
      convert([](float* at, __m128 v) { _mm_stream_ps(at, v); });
      _mm_sfence();
    } else {
      convert([](float* at, __m128 v) { _mm_storeu_ps(at, v); });
    }
#endif
    for (; i < count; ++i) out[i] = static_cast<float>(in[i]) * (1.0f / 32768.0f);
    total += got;
    if (static_cast<std::size_t>(got) < want) break;
  }
  return total;
}

std::size_t CSoundFileSource::Read(float* frames, std::size_t maxFrames) {
  if (Failed()) return 0;
  const sf_count_t got = ReadFloats(frames, maxFrames);
  if (got <= 0) {
    if (sf_error(m_sound) != SF_ERR_NO_ERROR) {
      m_error.kind = FailureKind::READ_ERROR;
      m_error.osError = errno;
      m_error.libraryMessage = sf_strerror(m_sound);
    } else if (m_cutShort ||
               (m_info.frames > 0 && m_framesRead < static_cast<std::uint64_t>(m_info.frames) &&
                (m_info.format & SF_FORMAT_TYPEMASK) != SF_FORMAT_MPEG)) {
      // A decoder that meets damage (a FLAC frame that fails its CRC, a
      // file cut short) may simply stop: fewer frames than the header
      // declares is the sign. An MP3's count is an estimate (from the bit
      // rate and the file's size, encoder delay and padding included), so
      // falling short of it means nothing.
      m_error.kind = FailureKind::ENDS_EARLY;
    }
    return 0;
  }
  // Integer encodings arrive within ±1 already. Other samples are checked
  // a run at a time with a cheap reduction (NaN fails the comparison) and
  // bounded only in a run that needs it: NaN reads as 0, the rest is
  // clipped. Runs of a fixed count, which the compiler turns into vector
  // instructions.
  if (m_bounded) return Counted(got);
  const std::size_t samples = static_cast<std::size_t>(got) * static_cast<std::size_t>(m_info.channels);
  const auto bound = [](float v) {
    v = v == v ? v : 0.0f;
    v = v < -SAMPLE_LIMIT ? -SAMPLE_LIMIT : v;
    return v > SAMPLE_LIMIT ? SAMPLE_LIMIT : v;
  };
  constexpr std::size_t RUN = 64;
  std::size_t i = 0;
  for (; i + RUN <= samples; i += RUN) {
    int inside = 1;
    for (std::size_t k = 0; k < RUN; ++k) inside &= std::fabs(frames[i + k]) <= SAMPLE_LIMIT ? 1 : 0;
    if (inside == 0)
      for (std::size_t k = 0; k < RUN; ++k) frames[i + k] = bound(frames[i + k]);
  }
  for (; i < samples; ++i) frames[i] = bound(frames[i]);
  return Counted(got);
}

std::size_t CSoundFileSource::Counted(sf_count_t got) {
  m_framesRead += static_cast<std::uint64_t>(got);
  return static_cast<std::size_t>(got);
}

}  // namespace

std::string FormatName(int format) {
  SF_FORMAT_INFO info{};
  info.format = format;
  if (sf_command(nullptr, SFC_GET_FORMAT_INFO, &info, sizeof info) != 0 || info.name == nullptr) return {};
  return info.name;
}

std::unique_ptr<CSampleSource> OpenSoundFileSource(std::unique_ptr<CFileByteSource> file, Failure& error) {
  if (StartsAsFlac(*file)) {
    if (std::unique_ptr<CSampleSource> flac = OpenFlacSource(file, error)) return flac;
    if (error.kind != FailureKind::NONE) return nullptr;
  }
  std::unique_ptr<CSoundFileSource> source(new (std::nothrow) CSoundFileSource(std::move(file)));
  if (!source) {
    error.kind = FailureKind::NO_MEMORY;
    return nullptr;
  }
  if (!source->Open(error)) return nullptr;
  return source;
}

}  // namespace tapedecoder
