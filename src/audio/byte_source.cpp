#include "audio/byte_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

namespace tapedecoder {

std::size_t CMemoryByteSource::ReadAt(std::uint64_t offset, std::uint8_t* out, std::size_t count) {
  if (offset >= m_size) return 0;
  const std::size_t n = count < m_size - offset ? count : static_cast<std::size_t>(m_size - offset);
  if (n > 0) std::memcpy(out, m_bytes + offset, n);
  return n;
}

std::unique_ptr<CFileByteSource> CFileByteSource::Open(const std::string& path, Failure& error) {
  error.path = path;
  // Non-blocking, so that opening a FIFO with no writer returns at once.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    error.kind = FailureKind::CANNOT_OPEN;
    error.osError = errno;
    return nullptr;
  }
  struct stat status {};
  if (fstat(fd, &status) != 0) {
    error.kind = FailureKind::CANNOT_OPEN;
    error.osError = errno;
  } else if (!S_ISREG(status.st_mode)) {
    error.kind = FailureKind::NOT_A_FILE;
    error.osError = S_ISDIR(status.st_mode) ? EISDIR : 0;
  } else {
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0) {
      std::unique_ptr<CFileByteSource> source(
          new (std::nothrow) CFileByteSource(fd, static_cast<std::uint64_t>(status.st_size)));
      if (source) return source;
      error.kind = FailureKind::NO_MEMORY;
    } else {
      error.kind = FailureKind::CANNOT_OPEN;
      error.osError = errno;
    }
  }
  close(fd);
  return nullptr;
}

CFileByteSource::~CFileByteSource() { close(m_fd); }

std::size_t CFileByteSource::ReadAt(std::uint64_t offset, std::uint8_t* out, std::size_t count) {
  std::size_t done = 0;
  while (done < count && m_osError == 0) {
    const ssize_t n = pread(m_fd, out + done, count - done, static_cast<off_t>(offset + done));
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      m_osError = errno;
    }
  }
  return done;
}

}  // namespace tapedecoder
