// A set of output files that replaces its earlier set whole or not at all.
#ifndef TAPEDECODER_IO_OUTPUT_SET_H_
#define TAPEDECODER_IO_OUTPUT_SET_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/failure.h"

namespace tapedecoder {

// N files written unseen and then committed under their final names.
//
// Add registers each output; Write appends to it; Commit names them all.
// Until Commit succeeds nothing in the folder changes: each output is an
// unnamed file (O_TMPFILE) where the filesystem has them, else a hidden,
// uniquely named temporary that InstallInterruptCleanup's handler removes
// when SIGINT, SIGTERM or SIGHUP stops the process.
//
// Commit, in the folder of the outputs (all outputs share one folder):
//  - flushes and fsyncs every file, so a name never points at data that a
//    power cut could still lose;
//  - holds an exclusive flock on the folder itself, so that commits of
//    several processes into one folder never interleave (the last one to
//    commit wins with its whole set; nothing visible is created for it);
//  - keeps each earlier file reachable under a hidden backup name (a hard
//    link, or a rename where the filesystem has no hard links) while the
//    new files take the final names one by one;
//  - when any step fails, puts every earlier file back and removes the new
//    files that had no earlier one, so the folder holds exactly the earlier
//    set; otherwise fsyncs the folder, removes the backups and fsyncs the
//    folder again;
//  - blocks SIGINT, SIGTERM and SIGHUP in its thread while it renames, and
//    makes the cleanup handler (in any thread) wait until it is done, so an
//    interruption ends with either the earlier set or the new set whole.
// A SIGKILL, a crash or a power cut inside Commit's rename window (a few
// link and rename calls and one folder sync) can leave the folder with
// part of the new set, the earlier versions of the files it replaced under
// hidden ".NAME.tapedecoder-*.old" names (no earlier data is lost) and at most
// one hidden ".new" link. At any other moment it leaves the earlier set or
// the new set whole, plus, only where O_TMPFILE was not available, hidden
// ".tapedecoder-*.tmp" temporaries (nothing can remove those after a
// SIGKILL or a power cut). Where a folder cannot be flocked (NFS), commits
// of several processes are not serialised.
//
// Rules for what is replaced: a final name holding a folder, a special file
// or a regular file without any write permission bit is refused (PROTECTED)
// at Add, and again at Commit; a symbolic link is replaced by the new file,
// never followed. New files get mode 0666 less the umask.
//
// Not for use from several threads at once; several sets may live at once.
class COutputSet {
 public:
  COutputSet() = default;
  // Discards unless Commit succeeded.
  ~COutputSet();
  COutputSet(const COutputSet&) = delete;
  COutputSet& operator=(const COutputSet&) = delete;

  // Registers an output to be named `finalPath` at Commit and creates the
  // file it is written to. `finalPath` may hold a folder ("out/game.tap");
  // without one, the current directory. Returns the output's index (0, 1,
  // ... in the order added), or -1 when the set has failed, the target is
  // protected (nothing is created then), the folder cannot be opened, the
  // folder differs from that of the first output (CANNOT_CREATE, EXDEV), or
  // the file cannot be created. A failure here fails the set (Failed()).
  // REQUIRES: finalPath names a file (not empty, not ending in '/').
  int Add(const std::string& finalPath);

  // Appends `count` bytes to output `index`, buffered. A failed write fails
  // the set; later writes are then skipped. An unknown index fails the set
  // (OUTPUT_CANNOT_WRITE, EBADF).
  void Write(int index, const void* bytes, std::size_t count);

  // Replaces `count` bytes of output `index` at `offset` (a header field
  // known only at the end). Fails the set as Write does.
  // REQUIRES: offset + count <= the bytes written to it so far.
  void Overwrite(int index, std::uint64_t offset, const void* bytes, std::size_t count);

  // Flushes, syncs and names every output; see the class comment. Returns
  // true when every output stands under its final name and the folder is
  // synced (an empty set commits nothing and returns true); false
  // (Error() says why) when the set had failed or any step failed: the earlier set is then in place and no
  // file of this set remains. Either way the set is finished and empty
  // afterwards (Add starts a new one); the failure stays readable.
  bool Commit();

  // Closes and removes every output; the earlier files stay as they were.
  // Clears the failure. Does nothing to an empty set.
  void Discard();

  bool Failed() const { return m_failure.kind != FailureKind::NONE; }
  // Why the set failed: an OUTPUT_* kind, the final path and errno.
  const Failure& Error() const { return m_failure; }

 private:
  struct Output {
    std::string finalPath;
    std::string name;      // the final name inside the folder
    int fd = -1;
    bool unnamed = false;  // an O_TMPFILE file; else `tempName` names it
    std::string tempName;  // the hidden temporary, in the folder
    int slot = -1;         // its entry in the interrupt cleanup list
    std::vector<std::uint8_t> buffer;
    // Commit's progress on this output.
    std::string backupName;  // the earlier file's hidden name, when any
    bool backupIsLink = false;
    bool named = false;      // the new file stands under `name`
  };

  void Fail(FailureKind kind, const std::string& path, int error);
  bool Flush(Output& output);
  bool Install(Output& output);
  void RollBack();
  void Release(Output& output);
  void Reset();

  std::vector<Output> m_outputs;
  int m_dirFd = -1;  // the folder of every output
  bool m_finished = false;  // Commit has run; the next Add starts a new set
  Failure m_failure;
};

// Installs the handlers that remove every live set's hidden temporaries on
// SIGINT, SIGTERM and SIGHUP and then end the process by the same signal
// with its default action (a shell sees status 128+signal). A signal that
// was ignored when this is called stays ignored. Also ignores SIGXFSZ, so
// that a file-size limit fails a write (EFBIG) instead of killing the
// process. The front ends call it once, early; later calls do nothing.
// Returns false when a handler could not be installed.
bool InstallInterruptCleanup();

// Test hooks. ForceNamedTemporaries(true) makes later Adds use named hidden
// temporaries even where O_TMPFILE works. FsyncCount is how many fsyncs the
// sets of this process have made.
namespace output_set_testing {
void ForceNamedTemporaries(bool force);
unsigned long FsyncCount();
// Called inside Commit after each output gets its final name, with the
// index of that output; null for none.
void SetAfterInstallHook(void (*hook)(int index));
}  // namespace output_set_testing

}  // namespace tapedecoder

#endif  // TAPEDECODER_IO_OUTPUT_SET_H_
