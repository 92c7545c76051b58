#include "audio/byte_source.h"

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
