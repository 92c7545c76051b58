// Compressed Square Wave pulse files, read as a stream: the header, then
// one pulse at a time (its length in samples at the file's rate and its
// level), and the same pulses rendered as a square wave for the decoder.
//
// Layout: "Compressed Square Wave" 0x1A (23 bytes), major and minor version.
// Version 1: 16-bit rate, compression (1 = RLE), flags (bit 0: the first
// pulse is high), 3 reserved bytes, data. Version 2: 32-bit rate, 32-bit
// pulse count, compression (1 = RLE, 2 = Z-RLE: the RLE bytes deflated in a
// zlib stream), flags, extension length, 16 bytes naming the writer, the
// extension, data. All numbers little-endian. RLE data: a byte 1..255 is a
// pulse of that many samples; a 0 byte is followed by a 32-bit count.
#ifndef TAPEDECODER_AUDIO_CSW_READER_H_
#define TAPEDECODER_AUDIO_CSW_READER_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "audio/byte_source.h"
#include "base/failure.h"

namespace tapedecoder {

constexpr std::size_t CSW_SIGNATURE_SIZE = 23;
constexpr char CSW_SIGNATURE[] = "Compressed Square Wave\x1A";
// A longer pulse is taken for damage: at 44100 Hz, 158.76 million samples.
constexpr std::uint64_t CSW_MAX_PULSE_SECONDS = 3600;

// True when `bytes` (at least CSW_SIGNATURE_SIZE of them) start a CSW file.
bool HasCswSignature(const std::uint8_t* bytes, std::size_t size);

struct CswHeader {
  std::uint8_t major = 0;
  std::uint8_t minor = 0;
  std::uint32_t rate = 0;            // samples per second, > 0
  std::uint8_t compression = 0;      // 1 RLE, 2 Z-RLE
  bool firstHigh = false;            // the level of the first pulse
  std::uint32_t declaredPulses = 0;  // version 2's pulse count (unchecked); 0 in version 1
};

struct CswPulse {
  std::uint32_t samples = 0;  // 1 .. rate * CSW_MAX_PULSE_SECONDS
  bool high = false;          // the first pulse has the header's level; then they alternate
};

// Reads one CSW stream from the start of a source, front to back. Not
// copyable. The source must outlive the reader.
class CCswReader {
 public:
  explicit CCswReader(CByteSource& source);
  ~CCswReader();
  CCswReader(const CCswReader&) = delete;
  CCswReader& operator=(const CCswReader&) = delete;

  // Reads and checks the header from the source's current position. Returns
  // true when the pulses can be read; false with Failure() set otherwise
  // (a CSW_* kind, READ_ERROR with OsError(), NO_MEMORY).
  // REQUIRES: called once, before Next.
  bool Open();
  const CswHeader& Header() const { return m_header; }

  // The next pulse. False at the end of the data, and on damage found there
  // (Failure() set; the pulses before it stay valid). Memory stays bounded
  // whatever the counts say.
  bool Next(CswPulse& pulse);

  FailureKind Failure() const { return m_failure; }
  int OsError() const { return m_source.OsError(); }
  std::uint64_t PulsesRead() const { return m_pulses; }
  // File bytes consumed so far, for progress.
  std::uint64_t BytesConsumed() const { return m_consumed; }

 private:
  struct Inflater;
  bool Fail(FailureKind failure);
  // Reads the next bytes of the source; fewer than `count` at its end or on
  // an error.
  std::size_t ReadBytes(std::uint8_t* out, std::size_t count);
  // Reads exactly `count` header bytes; false (CSW_TRUNCATED_HEADER or
  // READ_ERROR set) when they are not all there.
  bool HeaderBytes(std::uint8_t* out, std::size_t count);
  // The next RLE byte: false at the end of the data or on a failure.
  bool NextByte(std::uint8_t& byte);
  bool Refill();

  CByteSource& m_source;
  std::uint64_t m_consumed = 0;  // the source's bytes read so far
  CswHeader m_header;
  std::unique_ptr<Inflater> m_inflater;   // for Z-RLE
  std::unique_ptr<std::uint8_t[]> m_buffer;  // RLE bytes not yet parsed
  std::size_t m_begin = 0;
  std::size_t m_end = 0;
  bool m_dataEnded = false;
  FailureKind m_pendingFault = FailureKind::NONE;  // found behind the bytes in m_buffer
  bool m_open = false;
  std::uint64_t m_pulses = 0;
  FailureKind m_failure = FailureKind::NONE;
};

// A CSW file and its reader, for callers that want the pulses. Not copyable.
class CCswFile {
 public:
  // Opens `path` (a regular file, see CFileByteSource::Open) and reads its
  // header. Returns nullptr with `error` set (CANNOT_OPEN, NOT_A_FILE,
  // a CSW_* kind, READ_ERROR, NO_MEMORY) when either fails.
  static std::unique_ptr<CCswFile> Open(const std::string& path, Failure& error);
  // As Open, from bytes already opened; `error.path` is left as it is.
  static std::unique_ptr<CCswFile> Open(std::unique_ptr<CByteSource> bytes, Failure& error);
  CCswReader& Reader() { return m_reader; }

 private:
  explicit CCswFile(std::unique_ptr<CByteSource> bytes) : m_bytes(std::move(bytes)), m_reader(*m_bytes) {}
  std::unique_ptr<CByteSource> m_bytes;
  CCswReader m_reader;
};

// Renders a reader's pulses as a square wave of +0.5 (high) and -0.5 (low):
// each sample repeated Upsampling() times below 40 kHz (a whole number, so
// every edge stays on a sample boundary), and above 192 kHz each output
// sample the mean level over Downsampling() samples (edges fall between as
// intermediate values). The reader must stay alive and opened.
class CCswSamples {
 public:
  explicit CCswSamples(CCswReader& reader);
  // Writes up to `max` samples to `out`; returns how many, 0 at the end of
  // the pulses or on a failure (the reader's Failure() says which).
  std::size_t Read(float* out, std::size_t max);
  double OutputRate() const;
  std::uint32_t Upsampling() const { return m_up; }
  std::uint32_t Downsampling() const { return m_down; }

 private:
  CCswReader& m_reader;
  std::uint32_t m_up = 1;
  std::uint32_t m_down = 1;
  std::uint64_t m_left = 0;  // input samples (times m_up) left of the current pulse
  int m_level = 0;           // +1 or -1
  std::uint32_t m_accCount = 0;  // input samples gathered for the next output sample
  std::int64_t m_accSum = 0;     // their levels summed
  bool m_done = false;
};

}  // namespace tapedecoder

#endif  // TAPEDECODER_AUDIO_CSW_READER_H_
