// The picture's stream of a recording, apart from its decode: the channels
// averaged, at the rate the sample source gives (the file's own; a CSW
// file's square wave at the rate it is rendered at). Summarised in one pass
// front to back, and read again at any point for close-up views.
#ifndef TAPEDECODER_WORKBENCH_RECORDING_PASS_H_
#define TAPEDECODER_WORKBENCH_RECORDING_PASS_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "audio/sample_source.h"
#include "workbench/wave_store.h"

namespace tapedecoder {

// Reads the stream of a recording again from any sample: by seeking where
// the source can, else (a CSW file) by rendering it again from the start
// when a read goes back. Opens the recording at the first read.
class RecordingReader : public SampleReader {
 public:
  explicit RecordingReader(std::string path) : m_path(std::move(path)) {}
  std::size_t ReadAt(std::uint64_t first, float* out, std::size_t count) override;

 private:
  bool MoveTo(std::uint64_t first);

  std::string m_path;
  std::mutex m_mutex;
  std::unique_ptr<CSampleSource> m_source;
  std::uint64_t m_at = 0;  // the frame the source reads next
  std::vector<float> m_frames;
};

// Reads `path` once, front to back in large blocks, into a new store that
// `ready` receives (with what the recording is) before the first sample, so
// that it can be drawn while it fills. The store reads samples back from
// the recording when its source can seek or is a CSW file, else from a
// spill file in `spillFolder`. `progress` gets 0..1 now and then. Stops
// early once *cancel is true, or where reading fails (the decode reports
// why); the store is finished either way. Returns null with `error` filled
// in when the recording cannot be opened.
std::shared_ptr<WaveStore> SummariseRecording(
    const std::string& path, const std::string& spillFolder, const std::atomic<bool>* cancel,
    const std::function<void(const std::shared_ptr<WaveStore>&, const InputInfo&)>& ready,
    const std::function<void(double)>& progress, Failure& error);

}  // namespace tapedecoder

#endif  // TAPEDECODER_WORKBENCH_RECORDING_PASS_H_
