#include "io/output_set.h"

#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

namespace tapedecoder {
namespace {

// Bytes an output gathers before they go to the file in one write.
constexpr std::size_t BUFFER_BYTES = 16 * 1024;

// The signals whose default action ends the process and that an
// interrupted conversion must clean up after.
constexpr int INTERRUPT_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};

// ---- The process-wide list of named temporaries -------------------------
//
// A fixed table that a signal handler can walk without allocating: each
// slot holds the folder (an open descriptor that the owning set keeps open
// while the slot is in use), the temporary's name in it and the process
// that made it, so that a forked child never removes its parent's files.

constexpr int MAX_TEMPORARIES = 256;
constexpr std::size_t NAME_CAPACITY = 96;

enum SlotState : int { SLOT_FREE = 0, SLOT_FILLING = 1, SLOT_LIVE = 2 };

struct CleanupSlot {
  std::atomic<int> state;
  int dirFd;
  pid_t pid;
  char name[NAME_CAPACITY];
};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs lock-free atomics");

CleanupSlot g_slots[MAX_TEMPORARIES];           // static: all SLOT_FREE
std::atomic<int> g_commitsInProgress{0};        // commits inside their rename window
std::atomic<int> g_terminating{0};              // a cleanup handler has started
std::atomic<bool> g_forceNamed{false};
std::atomic<unsigned long> g_fsyncs{0};
std::atomic<void (*)(int)> g_afterInstall{nullptr};
std::atomic<unsigned> g_counter{0};

// Takes a slot for `name` in `dirFd`; returns its index, or -1 when the
// table is full or the name too long.
int Register(int dirFd, const std::string& name) {
  if (name.size() >= NAME_CAPACITY) return -1;
  for (int i = 0; i < MAX_TEMPORARIES; ++i) {
    int expected = SLOT_FREE;
    if (!g_slots[i].state.compare_exchange_strong(expected, SLOT_FILLING)) continue;
    g_slots[i].dirFd = dirFd;
    g_slots[i].pid = getpid();
    std::memcpy(g_slots[i].name, name.c_str(), name.size() + 1);
    g_slots[i].state.store(SLOT_LIVE);
    return i;
  }
  return -1;
}

void Deregister(int slot) {
  if (slot >= 0) g_slots[slot].state.store(SLOT_FREE);
}

extern "C" void OnInterrupt(int signo) {
  const int savedErrno = errno;
  g_terminating.store(1);
  // A commit in another thread finishes its renames first (its own thread
  // has these signals blocked), so the folder never holds half of it.
  while (g_commitsInProgress.load() > 0) {
    const timespec pause = {0, 1000000};
    nanosleep(&pause, nullptr);
  }
  const pid_t self = getpid();
  for (CleanupSlot& slot : g_slots)
    if (slot.state.load() == SLOT_LIVE && slot.pid == self) unlinkat(slot.dirFd, slot.name, 0);

  struct sigaction byDefault;
  std::memset(&byDefault, 0, sizeof byDefault);
  byDefault.sa_handler = SIG_DFL;
  sigemptyset(&byDefault.sa_mask);
  sigaction(signo, &byDefault, nullptr);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signo);
  sigprocmask(SIG_UNBLOCK, &only, nullptr);
  raise(signo);
  errno = savedErrno;
  _exit(128 + signo);  // not reached: the default action ends the process
}

// ---- Names and files ----------------------------------------------------

// A hidden name no other process or set picks: pid, a counter and 64
// random bits. `suffix` tells what it is (".tmp", ".new", ".old").
std::string UniqueName(const char* suffix) {
  unsigned long long random = 0;
  if (getrandom(&random, sizeof random, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof random)) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    random = static_cast<unsigned long long>(now.tv_nsec) * 0x9E3779B97F4A7C15ull ^
             static_cast<unsigned long long>(now.tv_sec);
  }
  char name[NAME_CAPACITY];
  std::snprintf(name, sizeof name, ".tapedecoder-%ld-%u-%016llx%s", static_cast<long>(getpid()),
                g_counter.fetch_add(1), random, suffix);
  return name;
}

// What keeps an existing entry from being replaced: a folder, a special
// file, or a regular file whose permission bits let no one write it (its
// owner protected it, even where this process could replace it). A link is
// replaced, never followed. Returns 0 when replaceable, else an errno.
int ProtectedMode(const struct stat& status) {
  if (S_ISDIR(status.st_mode)) return EISDIR;
  if (S_ISLNK(status.st_mode)) return 0;
  if (!S_ISREG(status.st_mode)) return EINVAL;
  if ((status.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return EACCES;
  return 0;
}

int Fsync(int fd) {
  g_fsyncs.fetch_add(1);
  int result;
  do result = fsync(fd);
  while (result != 0 && errno == EINTR);
  return result;
}

// Syncs a folder; filesystems that cannot sync a folder (EINVAL) count as
// synced.
bool FsyncFolder(int dirFd) { return Fsync(dirFd) == 0 || errno == EINVAL; }

// Writes all of `bytes`; false with errno set when the file takes fewer.
bool WriteAll(int fd, const std::uint8_t* bytes, std::size_t count) {
  while (count > 0) {
    const ssize_t done = write(fd, bytes, count);
    if (done < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (done == 0) {
      errno = ENOSPC;
      return false;
    }
    bytes += done;
    count -= static_cast<std::size_t>(done);
  }
  return true;
}

// Gives the unnamed file `fd` the name `name` in `dirFd`. AT_EMPTY_PATH
// needs a capability on older kernels; /proc/self/fd works for anyone.
int LinkUnnamed(int fd, int dirFd, const std::string& name) {
  if (linkat(fd, "", dirFd, name.c_str(), AT_EMPTY_PATH) == 0) return 0;
  if (errno != ENOENT && errno != EPERM && errno != EINVAL) return -1;
  char proc[40];
  std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
  return linkat(AT_FDCWD, proc, dirFd, name.c_str(), AT_SYMLINK_FOLLOW);
}

// True when /proc/self/fd/N exists, so LinkUnnamed can fall back on it.
bool ProcLinkable(int fd) {
  char proc[40];
  std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
  struct stat status;
  return lstat(proc, &status) == 0;
}

// Blocks the interrupt signals in this thread for a scope and marks a
// commit in progress, which a cleanup handler in another thread waits for.
class CRenameWindow {
 public:
  CRenameWindow() {
    sigset_t block;
    sigemptyset(&block);
    for (int signo : INTERRUPT_SIGNALS) sigaddset(&block, signo);
    pthread_sigmask(SIG_BLOCK, &block, &m_saved);
    g_commitsInProgress.fetch_add(1);
    m_open = g_terminating.load() == 0;
  }
  ~CRenameWindow() {
    g_commitsInProgress.fetch_sub(1);
    pthread_sigmask(SIG_SETMASK, &m_saved, nullptr);  // a pending signal lands here
  }
  CRenameWindow(const CRenameWindow&) = delete;
  CRenameWindow& operator=(const CRenameWindow&) = delete;
  // False when the process is already being ended by a signal.
  bool Open() const { return m_open; }

 private:
  sigset_t m_saved;
  bool m_open = false;
};

// Holds an exclusive flock on the folder for a scope. Filesystems without
// flock on folders leave commits unserialised rather than failing them.
class CFolderLock {
 public:
  explicit CFolderLock(int dirFd) : m_fd(dirFd) {
    while (flock(m_fd, LOCK_EX) != 0) {
      if (errno != EINTR) {
        m_fd = -1;
        break;
      }
    }
  }
  ~CFolderLock() {
    if (m_fd >= 0) flock(m_fd, LOCK_UN);
  }
  CFolderLock(const CFolderLock&) = delete;
  CFolderLock& operator=(const CFolderLock&) = delete;

 private:
  int m_fd;
};

}  // namespace

// ---- COutputSet ---------------------------------------------------------

COutputSet::~COutputSet() { Discard(); }

void COutputSet::Fail(FailureKind kind, const std::string& path, int error) {
  if (Failed()) return;
  m_failure.kind = kind;
  m_failure.path = path;
  m_failure.osError = error;
}

int COutputSet::Add(const std::string& finalPath) {
  if (m_finished) Discard();  // the first Add after a Commit starts afresh
  if (Failed()) return -1;
  const std::size_t slash = finalPath.rfind('/');
  const std::string folder =
      slash == std::string::npos ? "" : slash == 0 ? "/" : finalPath.substr(0, slash);
  const std::string name = slash == std::string::npos ? finalPath : finalPath.substr(slash + 1);
  if (name.empty() || name == "." || name == "..") {
    Fail(FailureKind::OUTPUT_CANNOT_CREATE, finalPath, EINVAL);
    return -1;
  }

  // Every output lives in one folder: one lock, one folder sync.
  const int dirFd = open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd < 0) {
    Fail(FailureKind::OUTPUT_CANNOT_CREATE, finalPath, errno);
    return -1;
  }
  if (m_dirFd < 0) {
    m_dirFd = dirFd;
  } else {
    struct stat first, other;
    const bool same = fstat(m_dirFd, &first) == 0 && fstat(dirFd, &other) == 0 &&
                      first.st_dev == other.st_dev && first.st_ino == other.st_ino;
    close(dirFd);
    if (!same) {
      Fail(FailureKind::OUTPUT_CANNOT_CREATE, finalPath, EXDEV);
      return -1;
    }
  }
  for (const Output& output : m_outputs) {
    if (output.name == name) {
      Fail(FailureKind::OUTPUT_CANNOT_CREATE, finalPath, EEXIST);
      return -1;
    }
  }

  struct stat status;
  if (fstatat(m_dirFd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0) {
    if (const int error = ProtectedMode(status)) {
      Fail(FailureKind::OUTPUT_PROTECTED, finalPath, error);
      return -1;
    }
  }

  Output output;
  output.finalPath = finalPath;
  output.name = name;
  if (!g_forceNamed.load()) {
    // Mode 0666 lets the umask decide, as for any new file.
    output.fd = openat(m_dirFd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    if (output.fd >= 0 && !ProcLinkable(output.fd)) {
      close(output.fd);
      output.fd = -1;
    }
    output.unnamed = output.fd >= 0;
  }
  // Where O_TMPFILE is refused (EOPNOTSUPP, EISDIR, EINVAL...), a hidden
  // temporary, listed for the interrupt handler before it exists.
  int error = 0;
  for (int attempt = 0; output.fd < 0 && attempt < 100; ++attempt) {
    std::string temp = UniqueName(".tmp");
    const int slot = Register(m_dirFd, temp);
    if (slot < 0) {
      error = EMFILE;
      break;
    }
    output.fd = openat(m_dirFd, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (output.fd >= 0) {
      output.tempName = std::move(temp);
      output.slot = slot;
      break;
    }
    error = errno;
    Deregister(slot);
    if (error != EEXIST) break;
  }
  if (output.fd < 0) {
    Fail(FailureKind::OUTPUT_CANNOT_CREATE, finalPath, error != 0 ? error : EEXIST);
    return -1;
  }
  output.buffer.reserve(BUFFER_BYTES);
  m_outputs.push_back(std::move(output));
  return static_cast<int>(m_outputs.size()) - 1;
}

void COutputSet::Write(int index, const void* bytes, std::size_t count) {
  if (Failed()) return;
  if (index < 0 || static_cast<std::size_t>(index) >= m_outputs.size()) {
    Fail(FailureKind::OUTPUT_CANNOT_WRITE, "", EBADF);
    return;
  }
  if (count == 0) return;
  Output& output = m_outputs[static_cast<std::size_t>(index)];
  const auto* data = static_cast<const std::uint8_t*>(bytes);
  if (output.buffer.size() + count > BUFFER_BYTES) {
    if (!Flush(output)) return;
    if (count >= BUFFER_BYTES) {
      if (!WriteAll(output.fd, data, count)) Fail(FailureKind::OUTPUT_CANNOT_WRITE, output.finalPath, errno);
      return;
    }
  }
  output.buffer.insert(output.buffer.end(), data, data + count);
}

void COutputSet::Overwrite(int index, std::uint64_t offset, const void* bytes, std::size_t count) {
  if (Failed()) return;
  if (index < 0 || static_cast<std::size_t>(index) >= m_outputs.size()) {
    Fail(FailureKind::OUTPUT_CANNOT_WRITE, "", EBADF);
    return;
  }
  Output& output = m_outputs[static_cast<std::size_t>(index)];
  if (!Flush(output)) return;
  const auto* data = static_cast<const std::uint8_t*>(bytes);
  while (count > 0) {
    const ssize_t done = pwrite(output.fd, data, count, static_cast<off_t>(offset));
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) {
      Fail(FailureKind::OUTPUT_CANNOT_WRITE, output.finalPath, done < 0 ? errno : EIO);
      return;
    }
    data += done;
    offset += static_cast<std::uint64_t>(done);
    count -= static_cast<std::size_t>(done);
  }
}

bool COutputSet::Flush(Output& output) {
  const bool written = WriteAll(output.fd, output.buffer.data(), output.buffer.size());
  output.buffer.clear();
  if (!written) Fail(FailureKind::OUTPUT_CANNOT_WRITE, output.finalPath, errno);
  return written;
}

bool COutputSet::Commit() {
  m_finished = true;
  if (Failed()) {
    Reset();
    return false;
  }
  if (m_outputs.empty()) {
    Reset();
    return true;
  }

  // Every byte on disk before any name points at it.
  for (Output& output : m_outputs) {
    if (!Flush(output)) break;
    if (Fsync(output.fd) != 0) {
      Fail(FailureKind::OUTPUT_CANNOT_WRITE, output.finalPath, errno);
      break;
    }
    if (!output.unnamed) {
      const int closed = close(output.fd);
      output.fd = -1;
      if (closed != 0) {
        Fail(FailureKind::OUTPUT_CANNOT_WRITE, output.finalPath, errno);
        break;
      }
    }
  }
  if (Failed()) {
    Reset();
    return false;
  }

  {
    // The lock is taken with the signals still deliverable, so a commit
    // waiting on another process's commit can be interrupted.
    CFolderLock lock(m_dirFd);
    CRenameWindow window;
    if (!window.Open()) Fail(FailureKind::OUTPUT_CANNOT_REPLACE, m_outputs.front().finalPath, EINTR);
    for (std::size_t i = 0; !Failed() && i < m_outputs.size(); ++i) {
      if (!Install(m_outputs[i])) break;
      if (void (*hook)(int) = g_afterInstall.load()) hook(static_cast<int>(i));
    }
    // An unnamed file's descriptor is closed only now that it has a name.
    for (Output& output : m_outputs) {
      if (output.fd < 0) continue;
      const int closed = close(output.fd);
      output.fd = -1;
      if (closed != 0) Fail(FailureKind::OUTPUT_CANNOT_WRITE, output.finalPath, errno);
    }
    // The new names are on disk before the backups go.
    if (!Failed() && !FsyncFolder(m_dirFd))
      Fail(FailureKind::OUTPUT_CANNOT_REPLACE, m_outputs.front().finalPath, errno);
    if (Failed()) {
      RollBack();
    } else {
      for (Output& output : m_outputs) {
        if (!output.backupName.empty()) unlinkat(m_dirFd, output.backupName.c_str(), 0);
        output.backupName.clear();
      }
    }
    FsyncFolder(m_dirFd);
  }
  const bool committed = !Failed();
  Reset();
  m_finished = true;
  return committed;
}

// Moves the earlier file (if any) to a hidden backup name and gives the
// new file the final name. Runs inside the rename window.
bool COutputSet::Install(Output& output) {
  const char* name = output.name.c_str();
  struct stat status;
  const bool exists = fstatat(m_dirFd, name, &status, AT_SYMLINK_NOFOLLOW) == 0;
  if (!exists && errno != ENOENT) {
    Fail(FailureKind::OUTPUT_CANNOT_REPLACE, output.finalPath, errno);
    return false;
  }
  if (exists) {
    // What stands there now may have changed since Add.
    if (const int error = ProtectedMode(status)) {
      Fail(FailureKind::OUTPUT_PROTECTED, output.finalPath, error);
      return false;
    }
    // Named after the file it keeps, for whoever finds it after a crash.
    std::string backup = UniqueName(".old");
    if (output.name.size() + backup.size() < NAME_MAX) backup = "." + output.name + backup;
    if (linkat(m_dirFd, name, m_dirFd, backup.c_str(), 0) == 0) {
      output.backupIsLink = true;
    } else if (errno == EPERM || errno == EOPNOTSUPP || errno == EMLINK || errno == ENOSYS) {
      // No hard links here: the earlier file moves aside instead, and the
      // final name is empty until the new file takes it.
      if (renameat(m_dirFd, name, m_dirFd, backup.c_str()) != 0) {
        Fail(FailureKind::OUTPUT_CANNOT_REPLACE, output.finalPath, errno);
        return false;
      }
      output.backupIsLink = false;
    } else {
      Fail(FailureKind::OUTPUT_CANNOT_REPLACE, output.finalPath, errno);
      return false;
    }
    output.backupName = std::move(backup);
  }

  if (!output.unnamed) {
    if (renameat(m_dirFd, output.tempName.c_str(), m_dirFd, name) != 0) {
      Fail(FailureKind::OUTPUT_CANNOT_REPLACE, output.finalPath, errno);
      return false;
    }
    Deregister(output.slot);
    output.slot = -1;
    output.tempName.clear();
  } else if (!exists || !output.backupIsLink) {
    // The final name is free: the file gets it directly. Something that
    // appeared there meanwhile (EEXIST) is left alone.
    if (LinkUnnamed(output.fd, m_dirFd, output.name) != 0) {
      Fail(FailureKind::OUTPUT_CANNOT_REPLACE, output.finalPath, errno);
      return false;
    }
  } else {
    const std::string fresh = UniqueName(".new");
    if (LinkUnnamed(output.fd, m_dirFd, fresh) != 0) {
      Fail(FailureKind::OUTPUT_CANNOT_REPLACE, output.finalPath, errno);
      return false;
    }
    if (renameat(m_dirFd, fresh.c_str(), m_dirFd, name) != 0) {
      Fail(FailureKind::OUTPUT_CANNOT_REPLACE, output.finalPath, errno);
      unlinkat(m_dirFd, fresh.c_str(), 0);
      return false;
    }
  }
  output.named = true;
  return true;
}

// Puts back every earlier file and removes the new files that had none.
// A backup that cannot be put back stays under its hidden name, so no
// earlier data is lost.
void COutputSet::RollBack() {
  for (auto it = m_outputs.rbegin(); it != m_outputs.rend(); ++it) {
    Output& output = *it;
    const char* name = output.name.c_str();
    if (!output.backupName.empty()) {
      const char* backup = output.backupName.c_str();
      // A link to a file still under its final name is merely dropped
      // (renaming one link over another of the same file does nothing).
      const bool restored = output.backupIsLink && !output.named
                                ? unlinkat(m_dirFd, backup, 0) == 0
                                : renameat(m_dirFd, backup, m_dirFd, name) == 0;
      if (restored) output.backupName.clear();
    } else if (output.named) {
      unlinkat(m_dirFd, name, 0);
    }
    output.named = false;
  }
}

void COutputSet::Release(Output& output) {
  if (output.fd >= 0) close(output.fd);
  output.fd = -1;
  if (!output.tempName.empty()) unlinkat(m_dirFd, output.tempName.c_str(), 0);
  output.tempName.clear();
  Deregister(output.slot);
  output.slot = -1;
}

void COutputSet::Reset() {
  for (Output& output : m_outputs) Release(output);
  m_outputs.clear();
  if (m_dirFd >= 0) close(m_dirFd);
  m_dirFd = -1;
}

void COutputSet::Discard() {
  Reset();
  m_failure = Failure();
  m_finished = false;
}

bool InstallInterruptCleanup() {
  bool installed = true;
  for (int signo : INTERRUPT_SIGNALS) {
    struct sigaction current;
    if (sigaction(signo, nullptr, &current) != 0) {
      installed = false;
      continue;
    }
    // An ignored signal (nohup) stays ignored; a second call changes nothing.
    if (current.sa_handler == SIG_IGN || current.sa_handler == OnInterrupt) continue;
    struct sigaction handler;
    std::memset(&handler, 0, sizeof handler);
    handler.sa_handler = OnInterrupt;
    sigemptyset(&handler.sa_mask);
    for (int other : INTERRUPT_SIGNALS) sigaddset(&handler.sa_mask, other);
    handler.sa_flags = SA_RESTART;
    if (sigaction(signo, &handler, nullptr) != 0) installed = false;
  }
  struct sigaction ignore;
  std::memset(&ignore, 0, sizeof ignore);
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  if (sigaction(SIGXFSZ, &ignore, nullptr) != 0) installed = false;
  return installed;
}

namespace output_set_testing {
void ForceNamedTemporaries(bool force) { g_forceNamed.store(force); }
unsigned long FsyncCount() { return g_fsyncs.load(); }
void SetAfterInstallHook(void (*hook)(int index)) { g_afterInstall.store(hook); }
}  // namespace output_set_testing

}  // namespace tapedecoder
