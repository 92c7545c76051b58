// A stereo recording's channels read one by one only where its mix failed.
// When the mix carries what both channels carry (CChannelMixer::Coherent),
// a single channel reads a stretch better than the mix only where one
// channel is damaged, and the mix's block there fails its checksum: each
// channel is then read again over that block's stretch, from the file by
// seeking, instead of decoding every channel beside the mix the whole way.
#ifndef TAPEDECODER_CONVERT_CHANNEL_RETRY_H_
#define TAPEDECODER_CONVERT_CHANNEL_RETRY_H_

#include <functional>
#include <memory>
#include <string>

#include "audio/sample_input.h"
#include "convert/task_team.h"
#include "robust/robust_decoder.h"
#include "tape/tape_block.h"

namespace tapedecoder {

// Not copyable; owns a second opening of the recording.
class CChannelRetry {
 public:
  // Opens `fileName` again for its LEFT and RIGHT channels; nullptr when it
  // cannot be opened or cannot seek (the caller then decodes the channels
  // side by side). `threads` reads the two channels side by side.
  static std::unique_ptr<CChannelRetry> Open(const std::string& fileName, const RobustOptions& options,
                                             bool threads);
  CChannelRetry(const CChannelRetry&) = delete;
  CChannelRetry& operator=(const CChannelRetry&) = delete;

  // `failed`: a block of the mix that does not verify, the mix's blocks
  // given in recording order. Decodes each channel from RETRY_LEAD_SECONDS
  // before it (or from where the last retry ended) until past its end and
  // past any block a channel is still reading there, and hands each
  // channel's blocks that overlap it to add(0 for LEFT or 1 for RIGHT,
  // block), in each channel's order, none twice. Returns false when the
  // recording could not be read there (nothing is handed over then).
  bool Retry(const TapeBlock& failed, const std::function<void(int, TapeBlock&&)>& add);
  // Reads the two channels side by side from now on.
  void Thread() { m_team.Grow(1); }

 private:
  CChannelRetry(std::unique_ptr<CSampleInput> input, const RobustOptions& options, bool threads);

  std::unique_ptr<CSampleInput> m_input;
  RobustOptions m_options;
  CTaskTeam m_team;
  double m_readUntil = 0.0;           // seconds: no retry reads before this again
  double m_handedUntil[2] = {-1.0, -1.0};  // per channel, the end of the last block handed over
};

// Seconds read before a failed block's first pilot edge: the decoder's
// pilot search needs a little signal before the tone to settle.
constexpr double RETRY_LEAD_SECONDS = 2.0;
// Seconds read after its end before a channel may stop.
constexpr double RETRY_TAIL_SECONDS = 0.1;

}  // namespace tapedecoder

#endif  // TAPEDECODER_CONVERT_CHANNEL_RETRY_H_
