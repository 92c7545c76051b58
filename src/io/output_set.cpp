#include "io/output_set.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>

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

COutputSet::COutputSet() = default;

COutputSet::~COutputSet() { Discard(); }

void COutputSet::Fail(OutputFailure::What what, const std::string& path, int error) {
  if (Failed()) return;
  m_failure.what = what;
  m_failure.path = path;
  m_failure.error = error;
}

int COutputSet::Add(const std::string& finalPath) {
  if (Failed()) return -1;
  if (const int error = ProtectedTarget(finalPath)) {
    Fail(OutputFailure::PROTECTED, finalPath, error);
    Discard();
    return -1;
  }
  File file;
  file.finalPath = finalPath;
  file.stream = CreateTemporary(finalPath, file.tempPath);
  if (file.stream == nullptr) {
    Fail(OutputFailure::CANNOT_CREATE, finalPath, errno);
    Discard();
    return -1;
  }
  m_files.push_back(file);
  return static_cast<int>(m_files.size()) - 1;
}

void COutputSet::Write(int index, const void* bytes, std::size_t count) {
  if (Failed() || index < 0 || static_cast<std::size_t>(index) >= m_files.size() || count == 0)
    return;
  File& file = m_files[static_cast<std::size_t>(index)];
  if (file.stream == nullptr) return;
  if (std::fwrite(bytes, 1, count, file.stream) != count)
    Fail(OutputFailure::CANNOT_WRITE, file.finalPath, errno);
}

bool COutputSet::Commit() {
  if (m_files.empty() && !Failed()) return true;
  // The last file added first; a buffered write that fails only shows when
  // the stream is flushed here.
  for (auto file = m_files.rbegin(); file != m_files.rend(); ++file) {
    if (file->stream == nullptr) continue;
    const bool flushed = std::fflush(file->stream) == 0 && !std::ferror(file->stream);
    if (!flushed) Fail(OutputFailure::CANNOT_WRITE, file->finalPath, errno);
    if (std::fclose(file->stream) != 0) Fail(OutputFailure::CANNOT_WRITE, file->finalPath, errno);
    file->stream = nullptr;
  }
  if (Failed()) {
    Discard();
    return false;
  }
  for (File& file : m_files) {
    if (std::rename(file.tempPath.c_str(), file.finalPath.c_str()) != 0) {
      Fail(OutputFailure::CANNOT_REPLACE, file.finalPath, errno);
      Discard();
      return false;
    }
    file.tempPath.clear();
  }
  m_files.clear();
  return true;
}

void COutputSet::Discard() {
  for (auto file = m_files.rbegin(); file != m_files.rend(); ++file) {
    if (file->stream != nullptr) std::fclose(file->stream);
    if (!file->tempPath.empty()) unlink(file->tempPath.c_str());
  }
  m_files.clear();
}

}  // namespace tapedecoder
