// Sequential byte streams for the pulse-file reader: a file descriptor or a
// block of memory, read front to back once.
#ifndef TAPEDECODER_AUDIO_BYTE_SOURCE_H_
#define TAPEDECODER_AUDIO_BYTE_SOURCE_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "audio/input_error.h"

namespace tapedecoder {

class CByteSource {
 public:
  virtual ~CByteSource() = default;
  // Reads up to `count` bytes into `out` and returns how many it read; fewer
  // than asked only at the end of the stream or on an error (then Failed()).
  virtual std::size_t Read(std::uint8_t* out, std::size_t count) = 0;
  // True after a read failed; OsError() is its errno.
  virtual bool Failed() const { return false; }
  virtual int OsError() const { return 0; }
  // Bytes delivered so far.
  std::uint64_t Consumed() const { return m_consumed; }

 protected:
  std::uint64_t m_consumed = 0;
};

// Reads from memory the caller keeps alive for the source's lifetime.
class CMemoryByteSource : public CByteSource {
 public:
  CMemoryByteSource(const std::uint8_t* bytes, std::size_t size) : m_bytes(bytes), m_size(size) {}
  std::size_t Read(std::uint8_t* out, std::size_t count) override;

 private:
  const std::uint8_t* m_bytes;
  std::size_t m_size;
  std::size_t m_offset = 0;
};

// Reads an open file descriptor from its current offset and closes it when
// destroyed. Not copyable.
class CFileByteSource : public CByteSource {
 public:
  // Takes ownership of `fd` (REQUIRES: an open, readable descriptor).
  explicit CFileByteSource(int fd) : m_fd(fd) {}
  ~CFileByteSource() override;
  CFileByteSource(const CFileByteSource&) = delete;
  CFileByteSource& operator=(const CFileByteSource&) = delete;
  std::size_t Read(std::uint8_t* out, std::size_t count) override;
  bool Failed() const override { return m_osError != 0; }
  int OsError() const override { return m_osError; }

 private:
  int m_fd;
  int m_osError = 0;
};

// Opens `path` for reading when it is a regular file, without blocking on
// a FIFO. Returns the descriptor (blocking reads, close-on-exec; the caller
// closes it) and sets `bytes` to the file's size; returns -1 with `error`
// set to CANNOT_OPEN (osError) or NOT_A_FILE (osError EISDIR for a folder).
int OpenRegularFile(const std::string& path, InputError& error, std::uint64_t& bytes);

}  // namespace tapedecoder

#endif  // TAPEDECODER_AUDIO_BYTE_SOURCE_H_
