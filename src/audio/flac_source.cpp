// A native FLAC file decoded by libFLAC straight into the float frames the
// robust decoder reads: each decoded block is scaled and interleaved once,
// into the caller's buffer where it fits. The same floats the sound
// library gives for the same file (an integer of b bits times 2^(1-b) is
// exact in a float for b <= 24), at a fraction of its cost: the library
// copies every block into buffers of its own and converts it sample by
// sample.
#include "audio/flac_source.h"

#include <FLAC/stream_decoder.h>
#include <sndfile.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "base/vector_clones.h"

namespace tapedecoder {

namespace {

std::string FormatName(int format) {
  SF_FORMAT_INFO info{};
  info.format = format;
  if (sf_command(nullptr, SFC_GET_FORMAT_INFO, &info, sizeof info) != 0 || info.name == nullptr) return {};
  return info.name;
}

// The sound library's encoding for the sample widths read here; 0 for the
// others (left to the library).
int EncodingFor(unsigned bits) {
  switch (bits) {
    case 8: return SF_FORMAT_PCM_S8;
    case 16: return SF_FORMAT_PCM_16;
    case 24: return SF_FORMAT_PCM_24;
    default: return 0;
  }
}

// `count` samples of one channel of `bits` bits as floats of full scale 1,
// every `stride`-th float of `out`.
void Scale(const FLAC__int32* in, std::size_t count, unsigned bits, float* out, std::size_t stride) {
  const float scale = 1.0f / static_cast<float>(1u << (bits - 1));
  for (std::size_t i = 0; i < count; ++i) out[i * stride] = static_cast<float>(in[i]) * scale;
}

// Frames i0..i0+count of a decoded block (`channels` channels) into
// interleaved floats. Mono and stereo, nearly every recording, go four
// frames at a time in vector instructions.
void Interleave(const FLAC__int32* const* block, std::size_t i0, std::size_t count, std::size_t channels,
                unsigned bits, float* out) {
  std::size_t i = 0;
#if TAPEDECODER_HAVE_SSE2
  const __m128 scale = _mm_set1_ps(1.0f / static_cast<float>(1u << (bits - 1)));
  const auto load = [&](std::size_t c, std::size_t at) {
    return _mm_mul_ps(_mm_cvtepi32_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(block[c] + i0 + at))), scale);
  };
  if (channels == 1) {
    for (; i + 4 <= count; i += 4) _mm_storeu_ps(out + i, load(0, i));
  } else if (channels == 2) {
    for (; i + 4 <= count; i += 4) {
      const __m128 left = load(0, i);
      const __m128 right = load(1, i);
      _mm_storeu_ps(out + 2 * i, _mm_unpacklo_ps(left, right));
      _mm_storeu_ps(out + 2 * i + 4, _mm_unpackhi_ps(left, right));
    }
  }
#endif
  if (i == count) return;
  for (std::size_t c = 0; c < channels; ++c)
    Scale(block[c] + i0 + i, count - i, bits, out + i * channels + c, channels);
}

class CFlacSource : public CSampleSource {
 public:
  explicit CFlacSource(CFileByteSource& file) : m_file(file) {}
  ~CFlacSource() override {
    if (m_decoder != nullptr) FLAC__stream_decoder_delete(m_decoder);
  }
  // True when the file is read here; false when the sound library should
  // read it, or (error.kind set) on a failure.
  bool Open(Failure& error);
  void Adopt(std::unique_ptr<CFileByteSource> file) { m_owned = std::move(file); }

  std::size_t Read(float* frames, std::size_t maxFrames) override;
  InputProgress Progress() const override { return {m_framesRead, m_total}; }
  bool Seek(std::uint64_t frame) override;

 private:
  static FLAC__StreamDecoderReadStatus OnRead(const FLAC__StreamDecoder*, FLAC__byte* buffer, std::size_t* bytes,
                                              void* self);
  static FLAC__StreamDecoderSeekStatus OnSeek(const FLAC__StreamDecoder*, FLAC__uint64 offset, void* self);
  static FLAC__StreamDecoderTellStatus OnTell(const FLAC__StreamDecoder*, FLAC__uint64* offset, void* self);
  static FLAC__StreamDecoderLengthStatus OnLength(const FLAC__StreamDecoder*, FLAC__uint64* length, void* self);
  static FLAC__bool OnEof(const FLAC__StreamDecoder*, void* self);
  static FLAC__StreamDecoderWriteStatus OnWrite(const FLAC__StreamDecoder*, const FLAC__Frame* frame,
                                                const FLAC__int32* const* block, void* self);
  static void OnMetadata(const FLAC__StreamDecoder*, const FLAC__StreamMetadata* metadata, void* self);
  static void OnError(const FLAC__StreamDecoder*, FLAC__StreamDecoderErrorStatus status, void* self);

  FLAC__StreamDecoderWriteStatus Take(const FLAC__Frame& frame, const FLAC__int32* const* block);
  // Why reading ended early, once it has: set in m_error.
  void SayWhyEnded();

  CFileByteSource& m_file;
  std::unique_ptr<CFileByteSource> m_owned;
  FLAC__StreamDecoder* m_decoder = nullptr;
  std::uint64_t m_offset = 0;      // the decoder's reading position in the file, bytes
  std::uint64_t m_total = 0;       // frames the stream declares; 0 when unknown
  std::uint64_t m_framesRead = 0;  // frames handed out (from the start)
  std::uint64_t m_decoded = 0;     // frames decoded: handed out or pending
  std::size_t m_channels = 0;
  bool m_haveInfo = false;
  unsigned m_bits = 0;
  bool m_damaged = false;          // the decoder met a damaged or unreadable frame
  bool m_ended = false;            // no more frames come
  int m_osError = 0;               // a failed read of the file
  // Where the block being decoded goes first (the caller's buffer), and how
  // many frames of it have come; the rest of a block waits in m_pending.
  float* m_out = nullptr;
  std::size_t m_room = 0;
  std::size_t m_wrote = 0;
  std::vector<float> m_pending;    // interleaved frames decoded, not yet handed out
  std::size_t m_pendingAt = 0;     // frames of m_pending already handed out
  std::size_t m_pendingFrames = 0;
};

FLAC__StreamDecoderReadStatus CFlacSource::OnRead(const FLAC__StreamDecoder*, FLAC__byte* buffer,
                                                  std::size_t* bytes, void* self) {
  CFlacSource& s = *static_cast<CFlacSource*>(self);
  const std::size_t got = s.m_file.ReadAt(s.m_offset, buffer, *bytes);
  s.m_offset += got;
  *bytes = got;
  if (got > 0) return FLAC__STREAM_DECODER_READ_STATUS_CONTINUE;
  if (s.m_file.OsError() != 0) {
    s.m_osError = s.m_file.OsError();
    return FLAC__STREAM_DECODER_READ_STATUS_ABORT;
  }
  return FLAC__STREAM_DECODER_READ_STATUS_END_OF_STREAM;
}

FLAC__StreamDecoderSeekStatus CFlacSource::OnSeek(const FLAC__StreamDecoder*, FLAC__uint64 offset, void* self) {
  CFlacSource& s = *static_cast<CFlacSource*>(self);
  if (offset > s.m_file.Size()) return FLAC__STREAM_DECODER_SEEK_STATUS_ERROR;
  s.m_offset = offset;
  return FLAC__STREAM_DECODER_SEEK_STATUS_OK;
}

FLAC__StreamDecoderTellStatus CFlacSource::OnTell(const FLAC__StreamDecoder*, FLAC__uint64* offset, void* self) {
  *offset = static_cast<CFlacSource*>(self)->m_offset;
  return FLAC__STREAM_DECODER_TELL_STATUS_OK;
}

FLAC__StreamDecoderLengthStatus CFlacSource::OnLength(const FLAC__StreamDecoder*, FLAC__uint64* length,
                                                      void* self) {
  *length = static_cast<CFlacSource*>(self)->m_file.Size();
  return FLAC__STREAM_DECODER_LENGTH_STATUS_OK;
}

FLAC__bool CFlacSource::OnEof(const FLAC__StreamDecoder*, void* self) {
  const CFlacSource& s = *static_cast<CFlacSource*>(self);
  return s.m_offset >= s.m_file.Size();
}

FLAC__StreamDecoderWriteStatus CFlacSource::OnWrite(const FLAC__StreamDecoder*, const FLAC__Frame* frame,
                                                    const FLAC__int32* const* block, void* self) {
  return static_cast<CFlacSource*>(self)->Take(*frame, block);
}

void CFlacSource::OnMetadata(const FLAC__StreamDecoder*, const FLAC__StreamMetadata* metadata, void* self) {
  CFlacSource& s = *static_cast<CFlacSource*>(self);
  if (metadata->type != FLAC__METADATA_TYPE_STREAMINFO) return;
  const FLAC__StreamMetadata_StreamInfo& info = metadata->data.stream_info;
  s.m_info.rate = static_cast<int>(info.sample_rate);
  s.m_info.channels = static_cast<int>(info.channels);
  s.m_bits = info.bits_per_sample;
  s.m_total = info.total_samples;
  s.m_haveInfo = true;
}

void CFlacSource::OnError(const FLAC__StreamDecoder*, FLAC__StreamDecoderErrorStatus, void* self) {
  // Lost sync, a broken frame header, a frame failing its checksum: the
  // recording is damaged here, and reading stops before it (the decoder's
  // stand-in for the frame, silence, is no recording).
  static_cast<CFlacSource*>(self)->m_damaged = true;
}

FLAC__StreamDecoderWriteStatus CFlacSource::Take(const FLAC__Frame& frame, const FLAC__int32* const* block) {
  const unsigned bits = frame.header.bits_per_sample;
  if (m_damaged || frame.header.channels != m_channels || EncodingFor(bits) == 0) {
    m_damaged = true;
    return FLAC__STREAM_DECODER_WRITE_STATUS_ABORT;
  }
  std::size_t count = frame.header.blocksize;
  // Frames past the length the stream declares are not read (as the sound
  // library reads it).
  if (m_total > 0) count = static_cast<std::size_t>(std::min<std::uint64_t>(count, m_total - std::min(m_total, m_decoded)));
  const std::size_t direct = std::min(count, m_room - m_wrote);
  if (direct > 0) Interleave(block, 0, direct, m_channels, bits, m_out + m_wrote * m_channels);
  m_wrote += direct;
  if (direct < count) {
    // m_pending is empty here: Read takes it all before decoding more.
    try {
      m_pending.resize((count - direct) * m_channels);
    } catch (const std::bad_alloc&) {
      m_error.kind = FailureKind::NO_MEMORY;
      return FLAC__STREAM_DECODER_WRITE_STATUS_ABORT;
    }
    Interleave(block, direct, count - direct, m_channels, bits, m_pending.data());
    m_pendingAt = 0;
    m_pendingFrames = count - direct;
  }
  m_decoded += count;
  return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
}

bool CFlacSource::Open(Failure& error) {
  m_decoder = FLAC__stream_decoder_new();
  if (m_decoder == nullptr) {
    error.kind = FailureKind::NO_MEMORY;
    return false;
  }
  if (FLAC__stream_decoder_init_stream(m_decoder, OnRead, OnSeek, OnTell, OnLength, OnEof, OnWrite, OnMetadata,
                                       OnError, this) != FLAC__STREAM_DECODER_INIT_STATUS_OK ||
      !FLAC__stream_decoder_process_until_end_of_metadata(m_decoder))
    return false;
  // Anything unusual (damaged headers, a width or rate the library reads
  // its own way or refuses with its own message) is left to the library.
  const int encoding = EncodingFor(m_bits);
  if (!m_haveInfo || m_damaged || m_osError != 0 || encoding == 0 || m_info.channels < 1 ||
      m_info.rate < INPUT_MIN_RATE || m_info.rate > INPUT_MAX_RATE)
    return false;
  m_channels = static_cast<std::size_t>(m_info.channels);
  m_info.kind = InputKind::AUDIO;
  m_info.format = SF_FORMAT_FLAC | encoding;
  m_info.container = FormatName(SF_FORMAT_FLAC);
  m_info.encoding = FormatName(encoding);
  if (m_total > 0) {
    m_info.frames = static_cast<std::int64_t>(m_total);
    m_info.seconds = static_cast<double>(m_total) / m_info.rate;
  }
  m_info.fileBytes = m_file.Size();
  m_rate = m_info.rate;
  return true;
}

std::size_t CFlacSource::Read(float* frames, std::size_t maxFrames) {
  if (Failed()) return 0;
  std::size_t done = 0;
  if (m_pendingAt < m_pendingFrames) {
    done = std::min(maxFrames, m_pendingFrames - m_pendingAt);
    std::memcpy(frames, m_pending.data() + m_pendingAt * m_channels, done * m_channels * sizeof(float));
    m_pendingAt += done;
  }
  m_out = frames;
  m_room = maxFrames;
  m_wrote = done;
  while (m_wrote < maxFrames && !m_ended) {
    if (!FLAC__stream_decoder_process_single(m_decoder) || m_damaged || m_error.kind != FailureKind::NONE ||
        FLAC__stream_decoder_get_state(m_decoder) == FLAC__STREAM_DECODER_END_OF_STREAM ||
        (m_total > 0 && m_decoded >= m_total))
      m_ended = true;
  }
  done = m_wrote;
  m_out = nullptr;
  m_room = m_wrote = 0;
  m_framesRead += done;
  if (done == 0) SayWhyEnded();
  return done;
}

void CFlacSource::SayWhyEnded() {
  if (m_error.kind != FailureKind::NONE) return;
  if (m_osError != 0) {
    m_error.kind = FailureKind::READ_ERROR;
    m_error.osError = m_osError;
  } else if (FLAC__stream_decoder_get_state(m_decoder) == FLAC__STREAM_DECODER_MEMORY_ALLOCATION_ERROR) {
    m_error.kind = FailureKind::NO_MEMORY;
  } else if (m_total > 0 && m_framesRead < m_total) {
    // Damage, or a file cut short: fewer frames than the stream declares.
    m_error.kind = FailureKind::ENDS_EARLY;
  } else if (m_damaged) {
    m_error.kind = FailureKind::MALFORMED_AUDIO;  // of a stream that declares no length
  }
}

bool CFlacSource::Seek(std::uint64_t frame) {
  if (Failed() || (m_total > 0 && frame > m_total)) return false;
  const auto go = [this](std::uint64_t to) {
    m_pendingAt = m_pendingFrames = 0;
    m_damaged = m_ended = false;
    m_decoded = to;
    // The decoder hands over the block holding `to` from there on (into
    // m_pending, as no read is waiting).
    if (m_total > 0 && to == m_total) {
      m_ended = true;
      return true;
    }
    if (FLAC__stream_decoder_seek_absolute(m_decoder, to) && !m_damaged) return true;
    FLAC__stream_decoder_flush(m_decoder);
    return false;
  };
  if (go(frame)) {
    m_framesRead = frame;
    return true;
  }
  // Reading goes on where it was, if it can.
  if (!go(m_framesRead)) m_error.kind = FailureKind::READ_ERROR;
  return false;
}

}  // namespace

bool StartsAsFlac(CByteSource& bytes) {
  std::uint8_t head[4];
  return bytes.ReadAt(0, head, sizeof head) == sizeof head && std::memcmp(head, "fLaC", 4) == 0;
}

std::unique_ptr<CSampleSource> OpenFlacSource(std::unique_ptr<CFileByteSource>& file, Failure& error) {
  std::unique_ptr<CFlacSource> source(new (std::nothrow) CFlacSource(*file));
  if (!source) {
    error.kind = FailureKind::NO_MEMORY;
    return nullptr;
  }
  if (!source->Open(error)) return nullptr;
  source->Adopt(std::move(file));
  return source;
}

}  // namespace tapedecoder
