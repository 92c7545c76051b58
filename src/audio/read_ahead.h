// Reading a recording ahead of its decoding: a thread of its own reads the
// input (the sound library's decoding, mixing, rate raising) into a few
// chunks while the caller decodes the one before. The chunks come out in
// the order they were read, with the same samples a plain loop of
// CSampleInput::Read gives, so the result never depends on the timing.
#ifndef TAPEDECODER_AUDIO_READ_AHEAD_H_
#define TAPEDECODER_AUDIO_READ_AHEAD_H_

#include <condition_variable>
#include <cstddef>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "audio/sample_input.h"

namespace tapedecoder {

// One chunk as CSampleInput::Read delivered it.
struct SampleChunk {
  std::vector<std::vector<float>> streams;  // `count` samples each
  std::size_t count = 0;                    // 0: the recording has ended (or failed)
  InputProgress progress;                   // the input's progress once it was read
  bool mixAlone = false;                    // the input's MixAlone() once it was read
  bool mixFixed = false;                    // the input's MixFixed() once it was read
};

// Not copyable. While it lives the input belongs to it; once Next() has
// returned the chunk of count 0 (or the reader is gone) the input is the
// caller's again, Failed() and Error() included.
class CReadAhead {
 public:
  // Chunks read ahead at most: memory stays CHUNKS·chunkSamples per stream.
  static constexpr std::size_t CHUNKS = 3;

  // `threaded` false reads in the caller's thread, on demand.
  CReadAhead(CSampleInput& input, std::size_t chunkSamples, bool threaded);
  ~CReadAhead();
  CReadAhead(const CReadAhead&) = delete;
  CReadAhead& operator=(const CReadAhead&) = delete;

  // The next chunk, valid until the next call (or Thread()); after the
  // chunk of count 0 it stays at count 0. The caller may take a stream's
  // buffer and leave another in its place (the chunk is read into whatever
  // buffers it holds). Rethrows what reading threw (std::bad_alloc).
  SampleChunk& Next();
  // From the next chunk on, reads ahead on a thread of its own (when it
  // read in the caller's so far and the recording has not ended). The
  // chunks are the same either way. Invalidates the chunk last handed out.
  void Thread();

 private:
  void ReadInto(SampleChunk& chunk);
  void Run();

  CSampleInput& m_input;
  std::size_t m_chunkSamples;
  std::vector<SampleChunk> m_chunks;  // a ring of CHUNKS
  std::size_t m_read = 0;             // chunks read so far (the reader's)
  std::size_t m_taken = 0;            // chunks handed out so far (the caller's)
  bool m_ended = false;               // the reader has read the last chunk
  bool m_stop = false;                // the caller is gone
  std::exception_ptr m_failure;
  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::thread m_thread;
};

}  // namespace tapedecoder

#endif  // TAPEDECODER_AUDIO_READ_AHEAD_H_
