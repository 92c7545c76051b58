#include "audio/byte_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tapedecoder {

std::size_t CMemoryByteSource::Read(std::uint8_t* out, std::size_t count) {
  const std::size_t n = count < m_size - m_offset ? count : m_size - m_offset;
  if (n > 0) std::memcpy(out, m_bytes + m_offset, n);
  m_offset += n;
  m_consumed += n;
  return n;
}

int OpenRegularFile(const std::string& path, InputError& error, std::uint64_t& bytes) {
  error.path = path;
  // Non-blocking, so that opening a FIFO with no writer returns at once.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    error.failure = InputFailure::CANNOT_OPEN;
    error.osError = errno;
    return -1;
  }
  struct stat status {};
  if (fstat(fd, &status) != 0) {
    error.failure = InputFailure::CANNOT_OPEN;
    error.osError = errno;
  } else if (!S_ISREG(status.st_mode)) {
    error.failure = InputFailure::NOT_A_FILE;
    error.osError = S_ISDIR(status.st_mode) ? EISDIR : 0;
  } else {
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0) {
      bytes = static_cast<std::uint64_t>(status.st_size);
      return fd;
    }
    error.failure = InputFailure::CANNOT_OPEN;
    error.osError = errno;
  }
  close(fd);
  return -1;
}

CFileByteSource::~CFileByteSource() {
  if (m_fd >= 0) close(m_fd);
}

std::size_t CFileByteSource::Read(std::uint8_t* out, std::size_t count) {
  std::size_t done = 0;
  while (done < count && m_osError == 0) {
    const ssize_t n = read(m_fd, out + done, count - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      m_osError = errno;
    }
  }
  m_consumed += done;
  return done;
}

}  // namespace tapedecoder
