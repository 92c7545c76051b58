// A set of output files committed together: all of them take their names,
// or none does.
#ifndef TAPEDECODER_IO_OUTPUT_SET_H_
#define TAPEDECODER_IO_OUTPUT_SET_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace tapedecoder {

// Why a set failed, on which file, with the OS error (errno). No text: the
// front ends phrase it.
struct OutputFailure {
  enum What : std::uint8_t {
    NONE = 0,
    PROTECTED,       // the name is taken by a read-only file, a folder or a special file
    CANNOT_CREATE,   // the file could not be created in its folder
    CANNOT_WRITE,    // a write, flush or close failed
    CANNOT_REPLACE,  // the file could not be given its name
    IS_INPUT,        // the name is the recording being converted
  };
  What what = NONE;
  std::string path;  // the final name of the file concerned
  int error = 0;     // errno, 0 when none applies
};

// Each output is written to a temporary in the folder of its final name
// and named only by a Commit that finds every write successful. Until then,
// and whenever anything fails, existing files of those names stay as they
// were and no temporary is left.
class COutputSet {
 public:
  COutputSet();
  // Discards the temporaries unless Commit has named them.
  ~COutputSet();
  COutputSet(const COutputSet&) = delete;
  COutputSet& operator=(const COutputSet&) = delete;

  // Registers an output to be named `finalPath` and creates its temporary.
  // Returns its index, or -1 when the set has failed (Failure() says why;
  // the set is then discarded). An existing `finalPath` that is read-only
  // for everyone, a folder or a special file is not replaced: Add fails
  // with PROTECTED and creates nothing. A link is replaced, not followed.
  int Add(const std::string& finalPath);

  // Appends bytes to output `index`. A failure is remembered: later writes
  // are skipped and Commit reports false. REQUIRES: index from Add.
  void Write(int index, const void* bytes, std::size_t count);

  // Completes every file and gives each its final name. Returns true when
  // all are in place; on failure the temporaries are removed.
  bool Commit();

  // Removes the temporaries; files of the final names stay as they were.
  void Discard();

  bool Failed() const { return m_failure.what != OutputFailure::NONE; }
  const OutputFailure& Failure() const { return m_failure; }
  // Marks the set failed with `failure` (the first failure is kept).
  void Fail(OutputFailure::What what, const std::string& path, int error);

 private:
  struct File {
    std::FILE* stream = nullptr;
    std::string tempPath;
    std::string finalPath;
  };
  std::vector<File> m_files;
  OutputFailure m_failure;
};

}  // namespace tapedecoder

#endif  // TAPEDECODER_IO_OUTPUT_SET_H_
