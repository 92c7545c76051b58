#include "audio/sample_input.h"

#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <new>

#include "audio/little_endian.h"

#include "audio/upsampler.h"

namespace tapedecoder {

namespace {

constexpr std::size_t CHUNK_SAMPLES = 32768;  // per read from the file, all channels
constexpr std::size_t CSW_CHUNK = 16384;
constexpr std::size_t DRAIN_FRAMES = 8192;  // held-back frames mixed per step
// Samples beyond this are taken for damage rather than loudness; not-a-number
// reads as silence.
constexpr float SAMPLE_LIMIT = 16.0f;

// Closes a descriptor when it goes.
class CDescriptor {
 public:
  explicit CDescriptor(int fd) : m_fd(fd) {}
  ~CDescriptor() {
    if (m_fd >= 0) close(m_fd);
  }
  CDescriptor(const CDescriptor&) = delete;
  CDescriptor& operator=(const CDescriptor&) = delete;
  int Get() const { return m_fd; }
  int Release() {
    const int fd = m_fd;
    m_fd = -1;
    return fd;
  }

 private:
  int m_fd;
};

InputFailure SoundFileFailure(int code) {
  switch (code) {
    case SF_ERR_UNRECOGNISED_FORMAT: return InputFailure::UNKNOWN_FORMAT;
    case SF_ERR_SYSTEM: return InputFailure::READ_ERROR;
    case SF_ERR_UNSUPPORTED_ENCODING: return InputFailure::UNSUPPORTED_ENCODING;
    default: return InputFailure::MALFORMED_AUDIO;  // the format-specific complaints
  }
}

std::string FormatName(int format) {
  SF_FORMAT_INFO info{};
  info.format = format;
  if (sf_command(nullptr, SFC_GET_FORMAT_INFO, &info, sizeof info) != 0 || info.name == nullptr) return {};
  return info.name;
}

unsigned UpFactor(int rate) {
  return rate >= INPUT_MIN_OUTPUT_RATE ? 1u
                                       : static_cast<unsigned>((INPUT_MIN_OUTPUT_RATE + rate - 1) / rate);
}

// True when `fd` is a RIFF WAVE file whose data chunk declares more bytes
// than the file holds: a recording cut short (the sound library quietly
// reads what is there). A size of 0 or 0xFFFFFFFF is what a recorder
// writes before it knows the length, no promise.
bool WaveDataCutShort(int fd, std::uint64_t fileBytes) {
  const auto readAt = [fd](std::uint64_t offset, std::uint8_t* out, std::size_t count) {
    ssize_t got = 0;
    do got = pread(fd, out, count, static_cast<off_t>(offset));
    while (got < 0 && errno == EINTR);
    return got == static_cast<ssize_t>(count);
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

}  // namespace

// The sound library's handle and the descriptor under it, closed in that order.
struct CSampleInput::SoundFile {
  explicit SoundFile(int fd) : descriptor(fd) {}
  ~SoundFile() {
    if (file != nullptr) sf_close(file);
  }
  CDescriptor descriptor;
  SNDFILE* file = nullptr;
};

CSampleInput::CSampleInput() = default;
CSampleInput::~CSampleInput() = default;

std::unique_ptr<CSampleInput> CSampleInput::Open(const std::string& path, InputError& error) {
  error = InputError{};
  error.path = path;
  std::uint64_t fileBytes = 0;
  CDescriptor fd(OpenRegularFile(path, error, fileBytes));
  if (fd.Get() < 0) return nullptr;

  std::unique_ptr<CSampleInput> input(new (std::nothrow) CSampleInput);
  if (!input) {
    error.failure = InputFailure::NO_MEMORY;
    return nullptr;
  }
  input->m_error.path = path;
  InputInfo& info = input->m_info;
  info.fileBytes = fileBytes;

  std::uint8_t head[CSW_SIGNATURE_SIZE];
  ssize_t got = 0;
  do got = pread(fd.Get(), head, sizeof head, 0);
  while (got < 0 && errno == EINTR);
  if (got < 0) {
    error.failure = InputFailure::READ_ERROR;
    error.osError = errno;
    return nullptr;
  }
  if (HasCswSignature(head, static_cast<std::size_t>(got))) {
    input->m_bytes.reset(new (std::nothrow) CFileByteSource(fd.Release()));
    if (input->m_bytes) input->m_csw.reset(new (std::nothrow) CCswReader(*input->m_bytes));
    if (!input->m_csw) {
      error.failure = InputFailure::NO_MEMORY;
      return nullptr;
    }
    if (!input->m_csw->Open()) {
      error.failure = input->m_csw->Failure();
      error.cswFault = input->m_csw->Fault();
      error.osError = input->m_csw->OsError();
      return nullptr;
    }
    input->m_square.reset(new (std::nothrow) CCswSamples(*input->m_csw));
    if (!input->m_square) {
      error.failure = InputFailure::NO_MEMORY;
      return nullptr;
    }
    info.kind = InputKind::CSW;
    info.csw = input->m_csw->Header();
    info.rate = static_cast<int>(std::min<std::uint32_t>(info.csw.rate, 0x7FFFFFFF));
    info.channels = 1;
    input->m_up = input->m_square->Upsampling();
    input->m_outputRate = input->m_square->OutputRate();
    return input;
  }

  input->m_cutShort = WaveDataCutShort(fd.Get(), fileBytes);
  // The sound library reads the descriptor from offset 0 (pread left it
  // there); the descriptor stays ours and closes after the library's handle.
  input->m_sound.reset(new (std::nothrow) SoundFile(fd.Release()));
  if (!input->m_sound) {
    error.failure = InputFailure::NO_MEMORY;
    return nullptr;
  }
  SF_INFO sfInfo{};
  input->m_sound->file = sf_open_fd(input->m_sound->descriptor.Get(), SFM_READ, &sfInfo, SF_FALSE);
  if (input->m_sound->file == nullptr) {
    const int code = sf_error(nullptr);
    error.failure = SoundFileFailure(code);
    if (code == SF_ERR_SYSTEM) error.osError = errno;
    error.libraryMessage = sf_strerror(nullptr);
    return nullptr;
  }
  if (sfInfo.samplerate < INPUT_MIN_RATE || sfInfo.samplerate > INPUT_MAX_RATE) {
    error.failure = InputFailure::BAD_RATE;
    error.rate = sfInfo.samplerate;
    return nullptr;
  }
  if (sfInfo.channels < 1) {
    error.failure = InputFailure::BAD_CHANNELS;
    return nullptr;
  }
  SNDFILE* file = input->m_sound->file;
  // Integer samples arrive as floats of full scale 1; float samples as stored.
  sf_command(file, SFC_SET_NORM_FLOAT, nullptr, SF_TRUE);
  sf_command(file, SFC_SET_SCALE_FLOAT_INT_READ, nullptr, SF_FALSE);
  info.kind = InputKind::AUDIO;
  info.rate = sfInfo.samplerate;
  info.channels = sfInfo.channels;
  info.format = sfInfo.format;
  info.container = FormatName(sfInfo.format & SF_FORMAT_TYPEMASK);
  info.encoding = FormatName(sfInfo.format & SF_FORMAT_SUBMASK);
  if (sfInfo.frames >= 0 && sfInfo.frames != SF_COUNT_MAX) {
    info.frames = sfInfo.frames;
    info.seconds = static_cast<double>(sfInfo.frames) / sfInfo.samplerate;
  }
  input->m_up = UpFactor(sfInfo.samplerate);
  input->m_outputRate = static_cast<double>(sfInfo.samplerate) * input->m_up;
  return input;
}

void CSampleInput::Fail(InputFailure failure, int osError) {
  if (m_error.failure != InputFailure::NONE) return;
  m_error.failure = failure;
  m_error.osError = osError;
}

bool CSampleInput::Select(const std::vector<ChannelChoice>& choices) {
  if (choices.empty() || m_started || Failed()) return false;
  const std::size_t n = choices.size();
  try {
    m_ready.assign(n, {});
    m_mixed.assign(n, {});
    if (m_sound) {
      const std::size_t channels = static_cast<std::size_t>(m_info.channels);
      m_chunk.assign(std::max<std::size_t>(1, CHUNK_SAMPLES / channels) * channels, 0.0f);
      if (!m_mixer.Start(m_info.channels, m_info.rate, choices)) throw std::bad_alloc();
      m_upsamplers.clear();
      if (m_up > 1) {
        for (std::size_t i = 0; i < n; ++i) {
          m_upsamplers.push_back(std::make_unique<CUpsampler>());
          if (!m_upsamplers.back()->Start(m_info.rate, m_up)) {
            m_error.libraryMessage = m_upsamplers.back()->ErrorText() ? m_upsamplers.back()->ErrorText() : "";
            throw std::bad_alloc();
          }
        }
      }
    } else {
      m_chunk.assign(CSW_CHUNK, 0.0f);
    }
  } catch (const std::bad_alloc&) {
    Fail(InputFailure::NO_MEMORY);
    return false;
  }
  m_choices = choices;
  m_started = true;
  return true;
}

bool CSampleInput::Pump() {
  if (m_ended) return false;  // a read error still drains what came before it
  if (m_readyBegin > 0) {
    for (std::vector<float>& r : m_ready) r.erase(r.begin(), r.begin() + static_cast<std::ptrdiff_t>(m_readyBegin));
    m_readyBegin = 0;
  }
  if (m_csw) {
    const std::size_t n = m_square->Read(m_chunk.data(), m_chunk.size());
    for (std::vector<float>& r : m_ready) r.insert(r.end(), m_chunk.begin(), m_chunk.begin() + static_cast<std::ptrdiff_t>(n));
    if (n == 0) {
      m_ended = true;
      if (m_csw->Failure() != InputFailure::NONE) {
        Fail(m_csw->Failure(), m_csw->OsError());
        m_error.cswFault = m_csw->Fault();
      }
    }
    return n > 0;
  }

  // One step: drain held-back frames, or hand the mixer the rest of the
  // chunk, or read the next chunk; each bounded, so that m_ready stays small.
  const std::size_t channels = static_cast<std::size_t>(m_info.channels);
  if (m_mixer.Draining()) {
    m_mixer.Drain(m_mixed, DRAIN_FRAMES);
  } else if (m_chunkBegin < m_chunkFrames) {
    m_chunkBegin += m_mixer.Push(m_chunk.data() + m_chunkBegin * channels, m_chunkFrames - m_chunkBegin, m_mixed);
  } else if (!m_inputEnded) {
    const sf_count_t got = sf_readf_float(m_sound->file, m_chunk.data(),
                                          static_cast<sf_count_t>(m_chunk.size() / channels));
    if (got > 0) {
      const std::size_t samples = static_cast<std::size_t>(got) * channels;
      for (std::size_t i = 0; i < samples; ++i) {
        float& v = m_chunk[i];
        if (std::isnan(v)) v = 0.0f;
        v = std::clamp(v, -SAMPLE_LIMIT, SAMPLE_LIMIT);
      }
      m_framesRead += static_cast<std::uint64_t>(got);
      m_chunkBegin = 0;
      m_chunkFrames = static_cast<std::size_t>(got);
    } else {
      if (sf_error(m_sound->file) != SF_ERR_NO_ERROR) {
        Fail(InputFailure::READ_ERROR, errno);
        m_error.libraryMessage = sf_strerror(m_sound->file);
      } else if (m_cutShort ||
                 (m_info.frames > 0 && m_framesRead < static_cast<std::uint64_t>(m_info.frames) &&
                  (m_info.format & SF_FORMAT_TYPEMASK) != SF_FORMAT_MPEG)) {
        // A decoder that meets damage (a FLAC frame that fails its CRC, a
        // file cut short) may simply stop: fewer frames than the header
        // declares is the sign. An MP3's count is an estimate (from the
        // bit rate and the file's size, encoder delay and padding
        // included), so falling short of it means nothing.
        Fail(InputFailure::ENDS_EARLY);
      }
      m_inputEnded = true;
      m_mixer.Finish();
    }
  } else {
    m_ended = true;
  }
  for (std::size_t i = 0; i < m_mixed.size(); ++i) {
    if (m_upsamplers.empty()) {
      m_ready[i].insert(m_ready[i].end(), m_mixed[i].begin(), m_mixed[i].end());
    } else {
      bool ok = m_upsamplers[i]->Process(m_mixed[i].data(), m_mixed[i].size(), m_ready[i]);
      if (ok && m_ended) ok = m_upsamplers[i]->Finish(m_ready[i]);
      if (!ok) {
        Fail(InputFailure::READ_ERROR);
        if (m_upsamplers[i]->ErrorText() != nullptr) m_error.libraryMessage = m_upsamplers[i]->ErrorText();
        m_ended = true;
      }
    }
    m_mixed[i].clear();
  }
  return !m_ended;
}

std::size_t CSampleInput::Read(std::vector<std::vector<float>>& out, std::size_t max) {
  if (!m_started && !Select({ChannelChoice::LEFT})) return 0;
  out.resize(m_ready.size());
  const auto available = [this] {
    std::size_t n = m_ready[0].size();
    for (const std::vector<float>& r : m_ready) n = std::min(n, r.size());
    return n - m_readyBegin;
  };
  try {
    while (available() < max && Pump()) {
    }
  } catch (const std::bad_alloc&) {  // a buffer could not grow: end here
    Fail(InputFailure::NO_MEMORY);
    m_ended = true;
  }
  const std::size_t n = std::min(available(), max);
  for (std::size_t i = 0; i < m_ready.size(); ++i) {
    const auto from = m_ready[i].begin() + static_cast<std::ptrdiff_t>(m_readyBegin);
    out[i].assign(from, from + static_cast<std::ptrdiff_t>(n));
  }
  m_readyBegin += n;
  return n;
}

InputProgress CSampleInput::Progress() const {
  InputProgress progress;
  if (m_csw) {
    progress.done = m_csw->BytesConsumed();
    progress.total = m_info.fileBytes;
  } else {
    progress.done = m_framesRead;
    progress.total = m_info.frames > 0 ? static_cast<std::uint64_t>(m_info.frames) : 0;
  }
  return progress;
}

}  // namespace tapedecoder
