// Streaming whole-number rate increase of one mono float stream through the
// sound resampling library (high quality, linear phase, one thread).
#ifndef TAPEDECODER_AUDIO_UPSAMPLER_H_
#define TAPEDECODER_AUDIO_UPSAMPLER_H_

#include <cstddef>
#include <vector>

namespace tapedecoder {

// Not copyable: it owns the resampler's state.
class CUpsampler {
 public:
  CUpsampler() = default;
  ~CUpsampler();
  CUpsampler(const CUpsampler&) = delete;
  CUpsampler& operator=(const CUpsampler&) = delete;

  // Prepares a resampler from `inputRate` to `factor` times it. Returns
  // false when the library refuses or has no memory (ErrorText() says what
  // it said). REQUIRES: inputRate > 0, factor >= 2.
  bool Start(double inputRate, unsigned factor);

  // Appends to `out` what the `count` input samples yield so far: about
  // factor * count samples, the filter's delay held back until Finish.
  // Returns false when the library reports an error.
  bool Process(const float* in, std::size_t count, std::vector<float>& out);
  // Appends the held-back tail, so that the whole output is factor times
  // the input's length. Further calls append nothing.
  bool Finish(std::vector<float>& out);

  const char* ErrorText() const { return m_error; }

 private:
  void* m_soxr = nullptr;  // soxr_t
  unsigned m_factor = 1;
  const char* m_error = nullptr;
  bool m_finished = false;
};

}  // namespace tapedecoder

#endif  // TAPEDECODER_AUDIO_UPSAMPLER_H_
