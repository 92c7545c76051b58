// The seam every output format plugs into: a writer takes the tape in
// order -- its decoded blocks or its parts, whichever it needs -- and
// writes its bytes as they come, so that no format holds the tape in
// memory.
#ifndef TAPEDECODER_TAPEFILE_TAPE_WRITER_H_
#define TAPEDECODER_TAPEFILE_TAPE_WRITER_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tape/tape_block.h"

namespace tapedecoder {

// Where a writer's bytes go: appended in order; a header field known only
// at the end may be overwritten in place.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  virtual void Write(const void* bytes, std::size_t count) = 0;
  // REQUIRES: offset + count <= the bytes written so far.
  virtual void Overwrite(std::uint64_t offset, const void* bytes, std::size_t count) = 0;
};

// A sink that keeps the bytes in memory.
class CMemorySink : public ByteSink {
 public:
  void Write(const void* bytes, std::size_t count) override;
  void Overwrite(std::uint64_t offset, const void* bytes, std::size_t count) override;
  std::vector<std::uint8_t>& Bytes() { return m_bytes; }

 private:
  std::vector<std::uint8_t> m_bytes;
};

struct ImageInfo {
  std::string tool;        // e.g. "tapedecoder 1.0.0"
  std::string sourceName;  // the recording's file name (UTF-8), may be empty
};

// What a writer is told about the tape before the first call.
struct TapeContext {
  ImageInfo info;
  // True: the parts carry measured times (the robust method). False: the parts are blocks without
  // timings (the classic method, a merge of several takes), laid out at
  // ROM timing with a pause of 1000 ms after each.
  bool timed = false;
  // The recording's own sample rate, 0 when unknown (a merge of takes at
  // different rates).
  double sampleRate = 0.0;
};

// One output format's writer. Calls come in tape order; which kinds a
// writer is given depends on what its format needs (convert/output_formats.h).
class TapeWriter {
 public:
  virtual ~TapeWriter() = default;
  // A block for the listing and the .tap. `decoded` is false for a block
  // only the pulse segmenter found (a turbo block: listed, not in the .tap).
  virtual void Block(const TapeBlock& block, bool decoded) {
    (void)block;
    (void)decoded;
  }
  // A part of the tape image (timed or not, as the context says).
  virtual void Part(const TapePart& part) { (void)part; }
  // The tape has ended, `recordingSeconds` long (0 when untimed). False
  // when the output cannot be made.
  virtual bool Finish(double recordingSeconds) = 0;
};

}  // namespace tapedecoder

#endif  // TAPEDECODER_TAPEFILE_TAPE_WRITER_H_
