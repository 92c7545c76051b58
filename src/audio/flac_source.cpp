// A native FLAC file decoded by libFLAC straight into the float frames the
// robust decoder reads: each decoded block is scaled and interleaved once,
// into the caller's buffer where it fits. The same floats the sound
// library gives for the same file (an integer of b bits times 2^(1-b) is
// exact in a float for b <= 24), at a fraction of its cost: the library
// copies every block into buffers of its own and converts it sample by
// sample.
//
// With a helper thread allowed, decoding is shared: while the reader
// decodes a stretch, the helper decodes the stretch after it (from a byte
// offset, where it finds the next block by its sync code), and the reader
// hands that out and goes on past it. The blocks are the same either way:
// the reader decodes everything up to the helper's first block itself and
// takes the helper's stretch only when its own decoding lands exactly on
// that block's first frame; the helper's stretch ends before any damage,
// which the reader then meets itself, as it would alone.
#include "audio/flac_source.h"

#include <FLAC/stream_decoder.h>
#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "base/vector_clones.h"

namespace tapedecoder {

namespace {

// Frames per stretch the helper decodes (about 3 s at 44.1 kHz), and the
// stretches it may hold decoded ahead. Its memory: two stretches of floats.
constexpr std::uint64_t STRETCH_FRAMES = std::uint64_t{1} << 17;
constexpr std::size_t STRETCHES = 2;

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
// frames at a time in vector instructions; mono `stream`ed past the cache
// (see CopyOut) where `out` is aligned for it.
void Interleave(const FLAC__int32* const* block, std::size_t i0, std::size_t count, std::size_t channels,
                unsigned bits, float* out, bool stream = false) {
  std::size_t i = 0;
#if TAPEDECODER_HAVE_SSE2
  const __m128 scale = _mm_set1_ps(1.0f / static_cast<float>(1u << (bits - 1)));
  const auto load = [&](std::size_t c, std::size_t at) {
    return _mm_mul_ps(_mm_cvtepi32_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(block[c] + i0 + at))), scale);
  };
  if (channels == 1 && stream && reinterpret_cast<std::uintptr_t>(out) % 16 == 0) {
    for (; i + 4 <= count; i += 4) _mm_stream_ps(out + i, load(0, i));
    _mm_sfence();
  } else if (channels == 1) {
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

// `count` floats from `from` to `to`; `stream`ed past the cache when read
// ahead on a thread of its own: the samples are read on other cores,
// whose caches hold the buffer from its last round, and fetching it back
// to overwrite it costs more than the copy.
void CopyOut(float* to, const float* from, std::size_t count, bool stream) {
#if TAPEDECODER_HAVE_SSE2
  if (stream) {
    std::size_t i = 0;
    for (; i < count && reinterpret_cast<std::uintptr_t>(to + i) % 16 != 0; ++i) to[i] = from[i];
    for (; i + 4 <= count; i += 4) _mm_stream_ps(to + i, _mm_loadu_ps(from + i));
    _mm_sfence();
    for (; i < count; ++i) to[i] = from[i];
    return;
  }
#endif
  std::memcpy(to, from, count * sizeof(float));
}

// The first frame of a decoded block, counted from the start.
std::uint64_t FirstFrame(const FLAC__Frame& frame) {
  return frame.header.number_type == FLAC__FRAME_NUMBER_TYPE_SAMPLE_NUMBER
             ? frame.header.number.sample_number
             : static_cast<std::uint64_t>(frame.header.number.frame_number) * frame.header.blocksize;
}

// Where a decoder's blocks go.
class CBlockSink {
 public:
  virtual ~CBlockSink() = default;
  virtual bool Take(const FLAC__Frame& frame, const FLAC__int32* const* block) = 0;
  virtual void Damaged() = 0;
};

// One libFLAC decoder over the file, reading at a position of its own.
class CFlacDecoder {
 public:
  CFlacDecoder(int fd, std::uint64_t size, CBlockSink& sink) : m_fd(fd), m_size(size), m_sink(sink) {}
  ~CFlacDecoder() {
    if (m_decoder != nullptr) FLAC__stream_decoder_delete(m_decoder);
  }
  CFlacDecoder(const CFlacDecoder&) = delete;
  CFlacDecoder& operator=(const CFlacDecoder&) = delete;

  // False when libFLAC cannot start (memory). `metadata` sees the headers.
  bool Init(FLAC__StreamDecoderMetadataCallback metadata, void* metadataData) {
    m_metadata = metadata;
    m_metadataData = metadataData;
    m_decoder = FLAC__stream_decoder_new();
    return m_decoder != nullptr &&
           FLAC__stream_decoder_init_stream(m_decoder, OnRead, OnSeek, OnTell, OnLength, OnEof, OnWrite,
                                            OnMetadata, OnError, this) == FLAC__STREAM_DECODER_INIT_STATUS_OK;
  }
  FLAC__StreamDecoder* Get() const { return m_decoder; }
  // Goes on from byte `offset`, at the first block found from there.
  void Jump(std::uint64_t offset) {
    FLAC__stream_decoder_flush(m_decoder);
    m_offset = offset;
  }
  // The byte offset after the last block decoded.
  std::uint64_t Position() const {
    FLAC__uint64 at = 0;
    return FLAC__stream_decoder_get_decode_position(m_decoder, &at) ? at : m_offset;
  }
  bool Ended() const { return FLAC__stream_decoder_get_state(m_decoder) == FLAC__STREAM_DECODER_END_OF_STREAM; }
  std::uint64_t Size() const { return m_size; }
  int OsError() const { return m_osError; }

 private:
  static FLAC__StreamDecoderReadStatus OnRead(const FLAC__StreamDecoder*, FLAC__byte* buffer, std::size_t* bytes,
                                              void* self) {
    CFlacDecoder& d = *static_cast<CFlacDecoder*>(self);
    std::size_t done = 0;
    while (done < *bytes && d.m_offset < d.m_size) {
      const ssize_t n = pread(d.m_fd, buffer + done, *bytes - done, static_cast<off_t>(d.m_offset));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        d.m_osError = errno;
        *bytes = done;
        return FLAC__STREAM_DECODER_READ_STATUS_ABORT;
      }
      if (n == 0) break;
      done += static_cast<std::size_t>(n);
      d.m_offset += static_cast<std::uint64_t>(n);
    }
    *bytes = done;
    return done > 0 ? FLAC__STREAM_DECODER_READ_STATUS_CONTINUE : FLAC__STREAM_DECODER_READ_STATUS_END_OF_STREAM;
  }
  static FLAC__StreamDecoderSeekStatus OnSeek(const FLAC__StreamDecoder*, FLAC__uint64 offset, void* self) {
    CFlacDecoder& d = *static_cast<CFlacDecoder*>(self);
    if (offset > d.m_size) return FLAC__STREAM_DECODER_SEEK_STATUS_ERROR;
    d.m_offset = offset;
    return FLAC__STREAM_DECODER_SEEK_STATUS_OK;
  }
  static FLAC__StreamDecoderTellStatus OnTell(const FLAC__StreamDecoder*, FLAC__uint64* offset, void* self) {
    *offset = static_cast<CFlacDecoder*>(self)->m_offset;
    return FLAC__STREAM_DECODER_TELL_STATUS_OK;
  }
  static FLAC__StreamDecoderLengthStatus OnLength(const FLAC__StreamDecoder*, FLAC__uint64* length, void* self) {
    *length = static_cast<CFlacDecoder*>(self)->m_size;
    return FLAC__STREAM_DECODER_LENGTH_STATUS_OK;
  }
  static FLAC__bool OnEof(const FLAC__StreamDecoder*, void* self) {
    const CFlacDecoder& d = *static_cast<CFlacDecoder*>(self);
    return d.m_offset >= d.m_size;
  }
  static FLAC__StreamDecoderWriteStatus OnWrite(const FLAC__StreamDecoder*, const FLAC__Frame* frame,
                                                const FLAC__int32* const* block, void* self) {
    return static_cast<CFlacDecoder*>(self)->m_sink.Take(*frame, block) ? FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE
                                                                       : FLAC__STREAM_DECODER_WRITE_STATUS_ABORT;
  }
  static void OnMetadata(const FLAC__StreamDecoder* decoder, const FLAC__StreamMetadata* metadata, void* self) {
    const CFlacDecoder& d = *static_cast<CFlacDecoder*>(self);
    if (d.m_metadata != nullptr) d.m_metadata(decoder, metadata, d.m_metadataData);
  }
  static void OnError(const FLAC__StreamDecoder*, FLAC__StreamDecoderErrorStatus, void* self) {
    static_cast<CFlacDecoder*>(self)->m_sink.Damaged();
  }

  int m_fd;
  std::uint64_t m_size;
  CBlockSink& m_sink;
  FLAC__StreamDecoder* m_decoder = nullptr;
  FLAC__StreamDecoderMetadataCallback m_metadata = nullptr;
  void* m_metadataData = nullptr;
  std::uint64_t m_offset = 0;
  int m_osError = 0;
};

// A stretch of blocks the helper decoded.
struct Stretch {
  std::uint64_t from = 0;     // byte offset the helper started searching at
  bool found = false;         // its first block is known: `first`
  bool done = false;          // decoding it has ended
  std::uint64_t first = 0;    // its first frame
  std::uint64_t frames = 0;   // frames decoded
  std::uint64_t end = 0;      // byte offset after its last block
  std::vector<float> samples; // interleaved
};

// The helper: decodes stretches ahead of the reader on a thread of its own.
class CFlacHelper : public CBlockSink {
 public:
  CFlacHelper(int fd, std::uint64_t size, std::size_t channels) : m_decoder(fd, size, *this), m_channels(channels) {}
  ~CFlacHelper() override { Stop(); }
  bool Start(std::uint64_t from) {
    // The headers first, so that the decoder numbers blocks as the stream does.
    if (!m_decoder.Init(nullptr, nullptr) || !FLAC__stream_decoder_process_until_end_of_metadata(m_decoder.Get()))
      return false;
    try {
      for (Stretch& s : m_stretches) s.samples.resize(static_cast<std::size_t>(STRETCH_FRAMES) * m_channels);
      m_next = from;
      m_thread = std::thread([this] { Run(); });
    } catch (...) {
      return false;
    }
    return true;
  }
  void Stop() {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_stop = true;
    }
    m_changed.notify_all();
    if (m_thread.joinable()) m_thread.join();
  }

  // The reader's side. The stretch next in line once its first block is
  // known; nullptr when the helper found none.
  const Stretch* Next() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [&] { return m_finished || (m_queued > 0 && Head().found); });
    return m_queued > 0 && Head().found ? &Head() : nullptr;
  }
  // The head stretch once decoded.
  const Stretch& Whole() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [&] { return Head().done; });
    return Head();
  }
  // The reader is done with the head stretch (handed out or passed).
  void Release() {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_head = (m_head + 1) % STRETCHES;
      --m_queued;
    }
    m_changed.notify_all();
  }
  // True when the helper has started searching at or before `offset` for
  // the head stretch (so the reader, at `offset`, waits for it).
  bool HeadFrom(std::uint64_t offset) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_queued > 0 && Head().from <= offset;
  }

 private:
  Stretch& Head() { return m_stretches[m_head]; }

  bool Take(const FLAC__Frame& frame, const FLAC__int32* const* block) override {
    Stretch& s = *m_filling;
    const std::uint64_t first = FirstFrame(frame);
    const bool suspect = m_damaged;
    m_damaged = false;
    if (!s.found) {
      // Anything met before the first sound block is the search's.
      if (suspect || frame.header.channels != m_channels || EncodingFor(frame.header.bits_per_sample) == 0)
        return true;
      std::lock_guard<std::mutex> lock(m_mutex);
      s.found = true;
      s.first = first;
      m_changed.notify_all();
    } else if (suspect || frame.header.channels != m_channels || EncodingFor(frame.header.bits_per_sample) == 0 ||
               first != s.first + s.frames || s.frames + frame.header.blocksize > STRETCH_FRAMES) {
      m_full = true;  // the stretch ends before this block
      return false;
    }
    Interleave(block, 0, frame.header.blocksize, m_channels, frame.header.bits_per_sample,
               s.samples.data() + s.frames * m_channels);
    s.frames += frame.header.blocksize;
    m_end = m_decoder.Position();
    // Full once a block as long would not fit (rather than decode it in vain).
    m_full = s.frames + frame.header.blocksize > STRETCH_FRAMES;
    return true;
  }
  void Damaged() override { m_damaged = true; }

  void Run() {
    for (;;) {
      {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [&] { return m_stop || m_queued < STRETCHES; });
        if (m_stop) return;
        m_filling = &m_stretches[(m_head + m_queued) % STRETCHES];
        m_filling->from = m_next;
        m_filling->found = m_filling->done = false;
        m_filling->frames = 0;
        ++m_queued;
      }
      Stretch& s = *m_filling;
      m_decoder.Jump(s.from);
      m_damaged = m_full = false;
      m_end = s.from;
      bool stop = false;
      while (!m_full) {
        {
          std::lock_guard<std::mutex> lock(m_mutex);
          stop = m_stop;
        }
        if (stop || !FLAC__stream_decoder_process_single(m_decoder.Get()) || m_decoder.Ended()) break;
        if (s.found && m_damaged) break;
      }
      const bool nothing = !s.found;
      {
        std::lock_guard<std::mutex> lock(m_mutex);
        s.end = m_end;
        s.done = true;
        if (nothing) m_finished = true;  // no block from there on: the reader reads the rest alone
      }
      m_changed.notify_all();
      if (nothing || stop) return;
      // The next stretch starts as far past this one's end as this one is
      // long, so that the reader's stretch between them is about as long.
      m_next = s.end + (s.end - s.from);
      if (m_next >= m_decoder.Size()) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_finished = true;
        m_changed.notify_all();
        return;
      }
    }
  }

  CFlacDecoder m_decoder;
  std::size_t m_channels;
  Stretch m_stretches[STRETCHES];
  std::size_t m_head = 0;    // the stretch the reader meets next
  std::size_t m_queued = 0;  // stretches being decoded or decoded, not released
  bool m_finished = false;   // no stretch comes after the queued ones
  bool m_stop = false;
  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::thread m_thread;
  // The helper thread's own.
  Stretch* m_filling = nullptr;
  std::uint64_t m_next = 0;  // byte offset of the next stretch's search
  std::uint64_t m_end = 0;
  bool m_damaged = false;
  bool m_full = false;
};

class CFlacSource : public CSampleSource, public CBlockSink {
 public:
  explicit CFlacSource(CFileByteSource& file) : m_file(file), m_decoder(file.Descriptor(), file.Size(), *this) {}
  ~CFlacSource() override { m_helper.reset(); }
  // True when the file is read here; false when the sound library should
  // read it, or (error.kind set) on a failure.
  bool Open(Failure& error);
  void Adopt(std::unique_ptr<CFileByteSource> file) { m_owned = std::move(file); }

  std::size_t Read(float* frames, std::size_t maxFrames) override;
  InputProgress Progress() const override { return {m_framesRead, m_total}; }
  bool Seek(std::uint64_t frame) override;
  void AllowHelperThread() override { m_helperAllowed = true; }

 private:
  static void OnMetadata(const FLAC__StreamDecoder*, const FLAC__StreamMetadata* metadata, void* self);
  bool Take(const FLAC__Frame& frame, const FLAC__int32* const* block) override;
  // Lost sync, a broken frame header, a frame failing its checksum: the
  // recording is damaged here, and reading stops before it (the decoder's
  // stand-in for the frame, silence, is no recording).
  void Damaged() override { m_damaged = true; }
  // Decodes one block (or hands out the helper's stretch, where the reader
  // has come to it); false once no more come.
  bool Step();
  // Why reading ended early, once it has: set in m_error.
  void SayWhyEnded();
  void StopHelper() { m_helper.reset(); }

  CFileByteSource& m_file;
  std::unique_ptr<CFileByteSource> m_owned;
  CFlacDecoder m_decoder;
  std::uint64_t m_total = 0;       // frames the stream declares; 0 when unknown
  std::uint64_t m_framesRead = 0;  // frames handed out (from the start)
  std::uint64_t m_decoded = 0;     // frames decoded: handed out or pending
  std::size_t m_channels = 0;
  bool m_haveInfo = false;
  unsigned m_bits = 0;
  bool m_damaged = false;          // the decoder met a damaged or unreadable frame
  bool m_ended = false;            // no more frames come
  // Where the block being decoded goes first (the caller's buffer), and how
  // many frames of it have come; the rest of a block waits in m_pending.
  float* m_out = nullptr;
  std::size_t m_room = 0;
  std::size_t m_wrote = 0;
  std::vector<float> m_pending;    // interleaved frames decoded, not yet handed out
  const float* m_waiting = nullptr;  // m_pending's data, or the helper's stretch being handed out
  std::size_t m_pendingAt = 0;     // frames of m_waiting already handed out
  std::size_t m_pendingFrames = 0;
  // The helper, once allowed and started; m_handing while its head stretch
  // is being handed out, after which the reader goes on from `resume`.
  bool m_helperAllowed = false;
  bool m_helperTried = false;
  std::unique_ptr<CFlacHelper> m_helper;
  bool m_handing = false;
  std::uint64_t m_resumeAt = 0;
  bool m_checkFirst = false;       // the reader's next block must start at m_decoded
  std::uint64_t m_numberedTo = 0;  // the frame after the reader's last block, by its number
};

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

bool CFlacSource::Take(const FLAC__Frame& frame, const FLAC__int32* const* block) {
  const unsigned bits = frame.header.bits_per_sample;
  if (m_damaged || frame.header.channels != m_channels || EncodingFor(bits) == 0) {
    m_damaged = true;
    return false;
  }
  // The block after a helper's stretch is the one after it in the file; a
  // number that says otherwise means the stream numbers its blocks its own
  // way, and the helper stops.
  if (m_checkFirst && FirstFrame(frame) != m_decoded) StopHelper();
  m_checkFirst = false;
  m_numberedTo = FirstFrame(frame) + frame.header.blocksize;
  std::size_t count = frame.header.blocksize;
  // Frames past the length the stream declares are not read (as the sound
  // library reads it).
  if (m_total > 0) count = static_cast<std::size_t>(std::min<std::uint64_t>(count, m_total - std::min(m_total, m_decoded)));
  const std::size_t direct = std::min(count, m_room - m_wrote);
  if (direct > 0) Interleave(block, 0, direct, m_channels, bits, m_out + m_wrote * m_channels, m_helperAllowed);
  m_wrote += direct;
  if (direct < count) {
    // Nothing waits here: Read hands it all out before decoding more.
    try {
      m_pending.resize((count - direct) * m_channels);
    } catch (const std::bad_alloc&) {
      m_error.kind = FailureKind::NO_MEMORY;
      return false;
    }
    Interleave(block, direct, count - direct, m_channels, bits, m_pending.data());
    m_waiting = m_pending.data();
    m_pendingAt = 0;
    m_pendingFrames = count - direct;
  }
  m_decoded += count;
  return true;
}

bool CFlacSource::Open(Failure& error) {
  if (!m_decoder.Init(OnMetadata, this)) {
    error.kind = FailureKind::NO_MEMORY;
    return false;
  }
  if (!FLAC__stream_decoder_process_until_end_of_metadata(m_decoder.Get())) return false;
  // Anything unusual (damaged headers, a width or rate the library reads
  // its own way or refuses with its own message) is left to the library.
  const int encoding = EncodingFor(m_bits);
  if (!m_haveInfo || m_damaged || m_decoder.OsError() != 0 || encoding == 0 || m_info.channels < 1 ||
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

bool CFlacSource::Step() {
  if (m_handing) {
    // The helper's stretch is handed out: the reader goes on after it.
    m_handing = false;
    m_helper->Release();
    m_decoder.Jump(m_resumeAt);
    m_checkFirst = true;
    if (m_total > 0 && m_decoded >= m_total) return false;
  }
  if (m_helper && m_helper->HeadFrom(m_decoder.Position())) {
    // The reader has read up to where the helper searched from: the
    // helper's first block is the reader's next one, or one a little later
    // (the helper's search may have taken a false sync code inside the
    // reader's block for a block and read past the block after it). The
    // reader takes the stretch where it lands on that block; one it has
    // passed is dropped.
    const Stretch* next = m_helper->Next();
    if (next == nullptr || m_numberedTo != m_decoded) {
      // The helper found no block from there on, or the stream numbers its
      // blocks otherwise than they count: the reader reads the rest alone.
      StopHelper();
    } else if (next->first < m_decoded) {
      m_helper->Whole();
      m_helper->Release();
    } else if (next->first == m_decoded) {
      const Stretch& whole = m_helper->Whole();
      std::uint64_t frames = whole.frames;
      if (m_total > 0) frames = std::min(frames, m_total - std::min(m_total, m_decoded));
      const std::size_t direct = static_cast<std::size_t>(std::min<std::uint64_t>(frames, m_room - m_wrote));
      CopyOut(m_out + m_wrote * m_channels, whole.samples.data(), direct * m_channels, m_helperAllowed);
      m_wrote += direct;
      m_waiting = whole.samples.data();
      m_pendingAt = direct;
      m_pendingFrames = static_cast<std::size_t>(frames);
      m_decoded += frames;
      m_numberedTo = m_decoded;
      m_resumeAt = whole.end;
      m_handing = true;
      return m_pendingAt < m_pendingFrames || Step();
    }
  }
  return FLAC__stream_decoder_process_single(m_decoder.Get()) && !m_damaged && m_error.kind == FailureKind::NONE &&
         !m_decoder.Ended() && !(m_total > 0 && m_decoded >= m_total);
}

std::size_t CFlacSource::Read(float* frames, std::size_t maxFrames) {
  if (Failed()) return 0;
  if (m_helperAllowed && !m_helperTried) {
    m_helperTried = true;
    // A helper for files long enough to share (four stretches at least); its
    // first stretch starts about a stretch's bytes ahead of the reader.
    const std::uint64_t start = m_decoder.Position();
    const std::uint64_t bytes = m_file.Size() - std::min(start, m_file.Size());
    const std::uint64_t ahead = m_total > 0 ? bytes / (m_total / STRETCH_FRAMES + 1) : STRETCH_FRAMES * 2 * m_channels;
    if (m_total == 0 || m_total >= 4 * STRETCH_FRAMES) {
      m_helper.reset(new (std::nothrow) CFlacHelper(m_file.Descriptor(), m_file.Size(), m_channels));
      if (m_helper && !m_helper->Start(start + ahead)) m_helper.reset();
    }
  }
  std::size_t done = 0;
  if (m_pendingAt < m_pendingFrames) {
    done = std::min(maxFrames, m_pendingFrames - m_pendingAt);
    CopyOut(frames, m_waiting + m_pendingAt * m_channels, done * m_channels, m_helperAllowed);
    m_pendingAt += done;
  }
  m_out = frames;
  m_room = maxFrames;
  m_wrote = done;
  while (m_wrote < maxFrames && !m_ended)
    if (!Step()) m_ended = true;
  done = m_wrote;
  m_out = nullptr;
  m_room = m_wrote = 0;
  m_framesRead += done;
  if (done == 0) {
    StopHelper();
    SayWhyEnded();
  }
  return done;
}

void CFlacSource::SayWhyEnded() {
  if (m_error.kind != FailureKind::NONE) return;
  if (m_decoder.OsError() != 0) {
    m_error.kind = FailureKind::READ_ERROR;
    m_error.osError = m_decoder.OsError();
  } else if (FLAC__stream_decoder_get_state(m_decoder.Get()) == FLAC__STREAM_DECODER_MEMORY_ALLOCATION_ERROR) {
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
  StopHelper();
  m_helperTried = true;  // reading that seeks stays in its thread
  const auto go = [this](std::uint64_t to) {
    m_pendingAt = m_pendingFrames = 0;
    m_damaged = m_ended = m_handing = m_checkFirst = false;
    m_decoded = to;
    // The decoder hands over the block holding `to` from there on (into
    // m_pending, as no read is waiting).
    if (m_total > 0 && to == m_total) {
      m_ended = true;
      return true;
    }
    if (FLAC__stream_decoder_seek_absolute(m_decoder.Get(), to) && !m_damaged) return true;
    FLAC__stream_decoder_flush(m_decoder.Get());
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
