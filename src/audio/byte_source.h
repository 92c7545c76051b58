// The bytes of a file or of a block of memory, read at any offset: the one
// way every reader here gets at a file's contents (the WAV walk of the
// classic method, the CSW pulse reader).
#ifndef TAPEDECODER_AUDIO_BYTE_SOURCE_H_
#define TAPEDECODER_AUDIO_BYTE_SOURCE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "base/failure.h"

namespace tapedecoder {

class CByteSource {
 public:
  virtual ~CByteSource() = default;
  // The size in bytes, fixed when the source is made.
  virtual std::uint64_t Size() const = 0;
  // Reads up to `count` bytes at `offset` into `out` and returns how many it
  // read: fewer than asked only at the end (a file may also have shrunk
  // since) or on an error, which OsError() then names.
  virtual std::size_t ReadAt(std::uint64_t offset, std::uint8_t* out, std::size_t count) = 0;
  // The errno of the first failed read; 0 while none failed.
  virtual int OsError() const { return 0; }
};

// Reads from memory the caller keeps alive for the source's lifetime.
class CMemoryByteSource : public CByteSource {
 public:
  CMemoryByteSource(const std::uint8_t* bytes, std::size_t size)
      : m_bytes(bytes), m_size(bytes == nullptr ? 0 : size) {}
  std::uint64_t Size() const override { return m_size; }
  std::size_t ReadAt(std::uint64_t offset, std::uint8_t* out, std::size_t count) override;

 private:
  const std::uint8_t* m_bytes;
  std::size_t m_size;
};

// A regular file, open while the source lives. Not copyable.
class CFileByteSource : public CByteSource {
 public:
  // Opens `path` for reading when it is a regular file, without blocking on
  // a FIFO and without taking a terminal. Returns nullptr with `error` set
  // to CANNOT_OPEN (osError), NOT_A_FILE (osError EISDIR for a folder) or
  // NO_MEMORY; `error.path` is `path` either way.
  static std::unique_ptr<CFileByteSource> Open(const std::string& path, Failure& error);
  ~CFileByteSource() override;
  CFileByteSource(const CFileByteSource&) = delete;
  CFileByteSource& operator=(const CFileByteSource&) = delete;

  std::uint64_t Size() const override { return m_size; }
  std::size_t ReadAt(std::uint64_t offset, std::uint8_t* out, std::size_t count) override;
  int OsError() const override { return m_osError; }
  // The descriptor (blocking reads, close-on-exec), for a library that reads
  // it itself; it stays the source's and closes with it. ReadAt leaves its
  // offset where it was.
  int Descriptor() const { return m_fd; }

 private:
  CFileByteSource(int fd, std::uint64_t size) : m_fd(fd), m_size(size) {}
  int m_fd;
  std::uint64_t m_size;
  int m_osError = 0;
};

}  // namespace tapedecoder

#endif  // TAPEDECODER_AUDIO_BYTE_SOURCE_H_
