#include "audio/csw_reader.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "audio/little_endian.h"
#include "audio/sample_source.h"

namespace tapedecoder {

namespace {

constexpr std::size_t BUFFER_SIZE = 16384;
constexpr std::uint32_t MIN_OUTPUT_RATE = INPUT_MIN_OUTPUT_RATE;
constexpr std::uint32_t MAX_OUTPUT_RATE = INPUT_MAX_RATE;

}  // namespace

bool HasCswSignature(const std::uint8_t* bytes, std::size_t size) {
  return size >= CSW_SIGNATURE_SIZE && std::memcmp(bytes, CSW_SIGNATURE, CSW_SIGNATURE_SIZE) == 0;
}

// The zlib state of a Z-RLE stream and the compressed bytes not yet inflated.
struct CCswReader::Inflater {
  z_stream stream{};
  bool initialised = false;
  bool sourceEnded = false;
  bool started = false;  // some compressed bytes were read
  std::uint8_t input[BUFFER_SIZE];
  ~Inflater() {
    if (initialised) inflateEnd(&stream);
  }
};

CCswReader::CCswReader(CByteSource& source) : m_source(source) {}

CCswReader::~CCswReader() = default;

bool CCswReader::Fail(FailureKind failure) {
  if (m_failure == FailureKind::NONE) m_failure = failure;
  m_dataEnded = true;
  return false;
}

std::size_t CCswReader::ReadBytes(std::uint8_t* out, std::size_t count) {
  const std::size_t n = m_source.ReadAt(m_consumed, out, count);
  m_consumed += n;
  return n;
}

bool CCswReader::HeaderBytes(std::uint8_t* out, std::size_t count) {
  if (ReadBytes(out, count) == count) return true;
  if (m_source.OsError() != 0) return Fail(FailureKind::READ_ERROR);
  return Fail(FailureKind::CSW_TRUNCATED_HEADER);
}

bool CCswReader::Open() {
  std::uint8_t head[CSW_SIGNATURE_SIZE + 2];
  if (!HeaderBytes(head, sizeof head)) {
    // Too short to hold a signature is no CSW file at all.
    if (m_failure == FailureKind::CSW_TRUNCATED_HEADER &&
        !HasCswSignature(head, std::min<std::uint64_t>(sizeof head, m_consumed)))
      m_failure = FailureKind::CSW_NO_SIGNATURE;
    return false;
  }
  if (!HasCswSignature(head, sizeof head)) return Fail(FailureKind::CSW_NO_SIGNATURE);
  m_header.major = head[CSW_SIGNATURE_SIZE];
  m_header.minor = head[CSW_SIGNATURE_SIZE + 1];
  std::uint8_t flags = 0;
  if (m_header.major == 1) {
    std::uint8_t rest[7];  // rate (2), compression, flags, 3 reserved
    if (!HeaderBytes(rest, sizeof rest)) return false;
    m_header.rate = Le16(rest);
    m_header.compression = rest[2];
    flags = rest[3];
    if (m_header.compression != 1) return Fail(FailureKind::CSW_BAD_COMPRESSION);
  } else if (m_header.major == 2) {
    std::uint8_t rest[27];  // rate (4), pulses (4), compression, flags, extension length, writer (16)
    if (!HeaderBytes(rest, sizeof rest)) return false;
    m_header.rate = Le32(rest);
    m_header.declaredPulses = Le32(rest + 4);
    m_header.compression = rest[8];
    flags = rest[9];
    std::size_t extension = rest[10];
    std::uint8_t skip[255];
    if (!HeaderBytes(skip, extension)) return false;
    if (m_header.compression != 1 && m_header.compression != 2)
      return Fail(FailureKind::CSW_BAD_COMPRESSION);
  } else {
    return Fail(FailureKind::CSW_BAD_VERSION);
  }
  m_header.firstHigh = (flags & 1) != 0;
  if (m_header.rate == 0) return Fail(FailureKind::CSW_ZERO_RATE);

  m_buffer.reset(new (std::nothrow) std::uint8_t[BUFFER_SIZE]);
  if (!m_buffer) return Fail(FailureKind::NO_MEMORY);
  if (m_header.compression == 2) {
    m_inflater.reset(new (std::nothrow) Inflater);
    if (!m_inflater) return Fail(FailureKind::NO_MEMORY);
    const int status = inflateInit(&m_inflater->stream);
    if (status == Z_MEM_ERROR) return Fail(FailureKind::NO_MEMORY);
    if (status != Z_OK) return Fail(FailureKind::CSW_BAD_ZLIB);
    m_inflater->initialised = true;
  }
  m_open = true;
  return true;
}

bool CCswReader::Refill() {
  m_begin = 0;
  m_end = 0;
  if (m_pendingFault != FailureKind::NONE) return Fail(m_pendingFault);
  if (m_dataEnded) return false;
  if (!m_inflater) {
    m_end = ReadBytes(m_buffer.get(), BUFFER_SIZE);
    if (m_end == 0) {
      if (m_source.OsError() != 0) return Fail(FailureKind::READ_ERROR);
      m_dataEnded = true;
    }
    return m_end > 0;
  }
  Inflater& z = *m_inflater;
  z.stream.next_out = m_buffer.get();
  z.stream.avail_out = BUFFER_SIZE;
  while (z.stream.avail_out == BUFFER_SIZE) {
    if (z.stream.avail_in == 0 && !z.sourceEnded) {
      const std::size_t n = ReadBytes(z.input, BUFFER_SIZE);
      if (m_source.OsError() != 0) return Fail(FailureKind::READ_ERROR);
      if (n < BUFFER_SIZE) z.sourceEnded = true;
      if (n > 0) z.started = true;
      z.stream.next_in = z.input;
      z.stream.avail_in = static_cast<uInt>(n);
    }
    if (!z.started) {  // no compressed data at all: no pulses
      m_dataEnded = true;
      return false;
    }
    const int status = inflate(&z.stream, Z_NO_FLUSH);
    m_end = BUFFER_SIZE - z.stream.avail_out;
    if (status == Z_STREAM_END) {
      m_dataEnded = true;  // whatever follows the stream is not read
      break;
    }
    if (status == Z_MEM_ERROR) return Fail(FailureKind::NO_MEMORY);
    if (status == Z_NEED_DICT || status == Z_DATA_ERROR || status == Z_STREAM_ERROR) {
      // The bytes inflated before the damage are delivered first.
      if (m_end == 0) return Fail(FailureKind::CSW_BAD_ZLIB);
      m_pendingFault = FailureKind::CSW_BAD_ZLIB;
      break;
    }
    if (m_end == 0 && z.stream.avail_in == 0 && z.sourceEnded)
      return Fail(FailureKind::CSW_TRUNCATED_DATA);
  }
  return m_end > 0;
}

bool CCswReader::NextByte(std::uint8_t& byte) {
  if (m_begin == m_end && !Refill()) return false;
  byte = m_buffer[m_begin++];
  return true;
}

bool CCswReader::Next(CswPulse& pulse) {
  if (!m_open || m_failure != FailureKind::NONE) return false;
  std::uint8_t first = 0;
  if (!NextByte(first)) return false;
  std::uint32_t samples = first;
  if (first == 0) {
    std::uint8_t count[4];
    for (std::uint8_t& b : count) {
      if (!NextByte(b)) {
        return m_failure != FailureKind::NONE ? false
                                               : Fail(FailureKind::CSW_TRUNCATED_DATA);
      }
    }
    samples = Le32(count);
    if (samples == 0) return Fail(FailureKind::CSW_ZERO_PULSE);
    if (samples > static_cast<std::uint64_t>(m_header.rate) * CSW_MAX_PULSE_SECONDS)
      return Fail(FailureKind::CSW_PULSE_TOO_LONG);
  }
  pulse.samples = samples;
  pulse.high = m_header.firstHigh != ((m_pulses & 1) != 0);
  ++m_pulses;
  return true;
}

std::unique_ptr<CCswFile> CCswFile::Open(const std::string& path, Failure& error) {
  error = Failure{};
  std::unique_ptr<CFileByteSource> bytes = CFileByteSource::Open(path, error);
  return bytes ? Open(std::move(bytes), error) : nullptr;
}

std::unique_ptr<CCswFile> CCswFile::Open(std::unique_ptr<CByteSource> bytes, Failure& error) {
  std::unique_ptr<CCswFile> file(new (std::nothrow) CCswFile(std::move(bytes)));
  if (!file) {
    error.kind = FailureKind::NO_MEMORY;
    return nullptr;
  }
  if (!file->m_reader.Open()) {
    error.kind = file->m_reader.Failure();
    error.osError = file->m_reader.OsError();
    return nullptr;
  }
  return file;
}

CCswSamples::CCswSamples(CCswReader& reader) : m_reader(reader) {
  const std::uint32_t rate = reader.Header().rate;
  if (rate > 0 && rate < MIN_OUTPUT_RATE) m_up = (MIN_OUTPUT_RATE + rate - 1) / rate;
  if (rate > MAX_OUTPUT_RATE)  // in 64 bits: the sum would wrap near the largest rates
    m_down = static_cast<std::uint32_t>((std::uint64_t{rate} + MAX_OUTPUT_RATE - 1) / MAX_OUTPUT_RATE);
}

double CCswSamples::OutputRate() const {
  return static_cast<double>(m_reader.Header().rate) * m_up / m_down;
}

std::size_t CCswSamples::Read(float* out, std::size_t max) {
  std::size_t n = 0;
  while (n < max && !m_done) {
    if (m_left == 0) {
      CswPulse pulse;
      if (!m_reader.Next(pulse)) {
        m_done = true;
        if (m_accCount > 0) out[n++] = 0.5f * static_cast<float>(static_cast<double>(m_accSum) / m_accCount);
        break;
      }
      m_left = static_cast<std::uint64_t>(pulse.samples) * m_up;
      m_level = pulse.high ? 1 : -1;
    }
    const float value = 0.5f * static_cast<float>(m_level);
    if (m_down == 1) {
      const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(m_left, max - n));
      std::fill(out + n, out + n + take, value);
      n += take;
      m_left -= take;
      continue;
    }
    if (m_accCount == 0 && m_left >= m_down) {
      const std::size_t whole = static_cast<std::size_t>(std::min<std::uint64_t>(m_left / m_down, max - n));
      std::fill(out + n, out + n + whole, value);
      n += whole;
      m_left -= static_cast<std::uint64_t>(whole) * m_down;
      continue;
    }
    const std::uint32_t take = static_cast<std::uint32_t>(std::min<std::uint64_t>(m_left, m_down - m_accCount));
    m_accSum += static_cast<std::int64_t>(m_level) * take;
    m_accCount += take;
    m_left -= take;
    if (m_accCount == m_down) {
      out[n++] = 0.5f * static_cast<float>(static_cast<double>(m_accSum) / m_down);
      m_accCount = 0;
      m_accSum = 0;
    }
  }
  return n;
}

namespace {

// A CSW file as a sample source: its pulses as a mono square wave (CCswSamples).
class CCswSource : public CSampleSource {
 public:
  CCswSource(std::unique_ptr<CCswFile> file, std::uint64_t fileBytes)
      : m_file(std::move(file)), m_samples(m_file->Reader()) {
    const CswHeader& header = m_file->Reader().Header();
    m_info.kind = InputKind::CSW;
    m_info.csw = header;
    m_info.rate = static_cast<int>(std::min<std::uint32_t>(header.rate, 0x7FFFFFFF));
    m_info.channels = 1;
    m_info.fileBytes = fileBytes;
    m_rate = m_samples.OutputRate();
    m_raised = m_samples.Upsampling();
  }
  std::size_t Read(float* frames, std::size_t maxFrames) override {
    const std::size_t n = m_samples.Read(frames, maxFrames);
    const CCswReader& reader = m_file->Reader();
    if (n == 0 && reader.Failure() != FailureKind::NONE && !Failed()) {
      m_error.kind = reader.Failure();
      m_error.osError = reader.OsError();
    }
    return n;
  }
  InputProgress Progress() const override { return {m_file->Reader().BytesConsumed(), m_info.fileBytes}; }

 private:
  std::unique_ptr<CCswFile> m_file;
  CCswSamples m_samples;
};

}  // namespace

std::unique_ptr<CSampleSource> OpenCswSource(std::unique_ptr<CByteSource> bytes, Failure& error) {
  const std::uint64_t size = bytes->Size();
  std::unique_ptr<CCswFile> file = CCswFile::Open(std::move(bytes), error);
  if (!file) return nullptr;
  std::unique_ptr<CSampleSource> source(new (std::nothrow) CCswSource(std::move(file), size));
  if (!source) error.kind = FailureKind::NO_MEMORY;
  return source;
}

}  // namespace tapedecoder
