#include "tape/tape_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "tape/tape_format.h"

namespace tapedecoder {

namespace {

// Creates a new file next to `finalPath` (same folder, so that a rename
// replaces the final name atomically) and opens it for binary writing. The
// name is hidden and unique; mode 0666 lets the umask decide, as for any
// newly created file. Returns null with errno set when it cannot.
std::FILE* CreateTemporary(const std::string& finalPath, std::string& tempPath) {
  static std::atomic<unsigned> counter{0};
  const std::filesystem::path folder = std::filesystem::path(finalPath).parent_path();
  const std::string extension = std::filesystem::path(finalPath).extension().string();
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string name = ".tapedecoder-" + std::to_string(getpid()) + "-" +
                             std::to_string(counter++) + extension;
    const std::string path = folder.empty() ? name : (folder / name).string();
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return nullptr;
    }
    std::FILE* stream = fdopen(fd, "wb");
    if (stream == nullptr) {
      const int error = errno;
      close(fd);
      unlink(path.c_str());
      errno = error;
      return nullptr;
    }
    tempPath = path;
    return stream;
  }
  errno = EEXIST;
  return nullptr;
}

const char HEX_DIGITS[] = "0123456789abcdef";

// An existing output that must not be replaced: a file whose permission
// bits allow no one to write it (its owner protected it), or something that
// is not a regular file or a link. Returns 0 when the name is free or
// replaceable, else the errno that describes the problem.
int ProtectedTarget(const std::string& path) {
  struct stat status;
  if (lstat(path.c_str(), &status) != 0) return 0;
  if (S_ISDIR(status.st_mode)) return EISDIR;
  // A link is replaced by the new file; what it points to is untouched.
  if (S_ISLNK(status.st_mode)) return 0;
  if (!S_ISREG(status.st_mode)) return EINVAL;
  if ((status.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return EACCES;
  return 0;
}

}  // namespace

CTapeOutput::CTapeOutput()
    : m_blockStart(ToWindows1251(LISTING_BLOCK_START)),
      m_blockEndHead(ToWindows1251(LISTING_BLOCK_END_HEAD)),
      m_blockEndTail(ToWindows1251(LISTING_BLOCK_END_TAIL)),
      m_verdictGood(ToWindows1251(LISTING_VERDICT_GOOD)),
      m_verdictBad(ToWindows1251(LISTING_VERDICT_BAD)) {}

CTapeOutput::~CTapeOutput() { Discard(); }

bool CTapeOutput::Open(const std::string& title) {
  Discard();
  m_column = 0;
  m_failed = false;
  m_errorDetail.clear();
  m_goodBlocks = 0;
  m_badBlocks = 0;
  m_tape.finalPath = title + ".tap";
  m_listing.finalPath = title + ".txt";

  // A read-only output is kept, even where the process could replace it.
  for (const File* file : {&m_tape, &m_listing}) {
    if (const int error = ProtectedTarget(file->finalPath)) {
      Fail("cannot replace " + file->finalPath, error);
      return false;
    }
  }

  // Both are attempted before either result is looked at.
  m_tape.stream = CreateTemporary(m_tape.finalPath, m_tape.tempPath);
  const int tapeError = errno;
  m_listing.stream = CreateTemporary(m_listing.finalPath, m_listing.tempPath);
  const int listingError = errno;
  if (m_tape.stream != nullptr && m_listing.stream != nullptr) return true;

  if (m_tape.stream == nullptr) Fail("cannot create " + m_tape.finalPath, tapeError);
  else Fail("cannot create " + m_listing.finalPath, listingError);
  Discard();
  return false;
}

void CTapeOutput::Fail(const std::string& what, int error) {
  if (!m_failed) m_errorDetail = what + ": " + std::strerror(error);
  m_failed = true;
}

void CTapeOutput::Write(File& file, const void* bytes, std::size_t count) {
  if (m_failed || file.stream == nullptr || count == 0) return;
  if (std::fwrite(bytes, 1, count, file.stream) != count)
    Fail("cannot write " + file.finalPath, errno);
}

void CTapeOutput::WriteTape(const void* bytes, std::size_t count) {
  Write(m_tape, bytes, count);
}

void CTapeOutput::WriteListing(std::string_view text) {
  Write(m_listing, text.data(), text.size());
}

void CTapeOutput::BeginBlock() {
  WriteListing(m_blockStart);
  m_column = 0;
}

void CTapeOutput::ListByte(std::uint8_t value) {
  if (m_column == LISTING_BYTES_PER_LINE) {
    WriteListing(LISTING_LINE_BREAK);
    m_column = 0;
  }
  const char entry[3] = {HEX_DIGITS[value >> 4], HEX_DIGITS[value & 0x0F], ' '};
  WriteListing(std::string_view(entry, sizeof entry));
  ++m_column;
}

void CTapeOutput::EndBlock(const std::uint8_t* bytes, std::size_t count) {
  if (count == 0) return;
  WriteListing(m_blockEndHead + std::to_string(count) + m_blockEndTail);

  // The 16-bit length of a record cannot hold more than 65535 bytes, so a
  // longer block goes out as consecutive records: no byte is lost and the
  // records after it stay readable.
  for (std::size_t done = 0; done < count;) {
    const std::size_t part = std::min(count - done, TAP_RECORD_MAX_BYTES);
    const std::uint8_t length[2] = {static_cast<std::uint8_t>(part & 0xFF),
                                    static_cast<std::uint8_t>(part >> 8)};
    WriteTape(length, sizeof length);
    WriteTape(bytes + done, part);
    done += part;
  }

  std::uint8_t checksum = 0;
  for (std::size_t i = 0; i + 1 < count; ++i) checksum ^= bytes[i];
  if (checksum == bytes[count - 1]) {
    WriteListing(m_verdictGood);
    ++m_goodBlocks;
  } else {
    WriteListing(m_verdictBad);
    ++m_badBlocks;
  }
}

bool CTapeOutput::Close() {
  if (m_tape.stream == nullptr || m_listing.stream == nullptr) {
    Discard();
    return false;
  }
  // The listing first, then the tape image; a buffered write that fails
  // only shows when the stream is flushed here.
  const bool listingFlushed = std::fflush(m_listing.stream) == 0 && !std::ferror(m_listing.stream);
  if (!listingFlushed) Fail("cannot write " + m_listing.finalPath, errno);
  if (std::fclose(m_listing.stream) != 0) Fail("cannot close " + m_listing.finalPath, errno);
  m_listing.stream = nullptr;
  const bool tapeFlushed = std::fflush(m_tape.stream) == 0 && !std::ferror(m_tape.stream);
  if (!tapeFlushed) Fail("cannot write " + m_tape.finalPath, errno);
  if (std::fclose(m_tape.stream) != 0) Fail("cannot close " + m_tape.finalPath, errno);
  m_tape.stream = nullptr;
  if (m_failed) {
    Discard();
    return false;
  }

  if (std::rename(m_tape.tempPath.c_str(), m_tape.finalPath.c_str()) != 0) {
    Fail("cannot replace " + m_tape.finalPath, errno);
    Discard();
    return false;
  }
  m_tape.tempPath.clear();
  if (std::rename(m_listing.tempPath.c_str(), m_listing.finalPath.c_str()) != 0) {
    Fail("cannot replace " + m_listing.finalPath, errno);
    Discard();
    return false;
  }
  m_listing.tempPath.clear();
  return true;
}

void CTapeOutput::Discard() {
  for (File* file : {&m_listing, &m_tape}) {
    if (file->stream != nullptr) {
      std::fclose(file->stream);
      file->stream = nullptr;
    }
    if (!file->tempPath.empty()) {
      unlink(file->tempPath.c_str());
      file->tempPath.clear();
    }
  }
}

}  // namespace tapedecoder
