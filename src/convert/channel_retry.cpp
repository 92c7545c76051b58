#include "convert/channel_retry.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <vector>

namespace tapedecoder {

namespace {

// Samples per channel read at a time.
constexpr std::size_t RETRY_CHUNK = 1 << 14;

void ShiftTimes(TapeBlock& block, double seconds) {
  block.startSeconds += seconds;
  block.dataSeconds += seconds;
  block.endSeconds += seconds;
  for (double& bit : block.bitSeconds) bit += seconds;
}

}  // namespace

CChannelRetry::CChannelRetry(std::unique_ptr<CSampleInput> input, const RobustOptions& options, bool threads)
    : m_input(std::move(input)), m_options(options), m_team(threads ? 1 : 0) {}

std::unique_ptr<CChannelRetry> CChannelRetry::Open(const std::string& fileName, const RobustOptions& options,
                                                   bool threads) {
  Failure error;
  std::unique_ptr<CSampleInput> input = CSampleInput::Open(fileName, error);
  if (!input || input->Info().channels < 2 || !input->Select({ChannelChoice::LEFT, ChannelChoice::RIGHT}) ||
      !input->Seek(0))
    return nullptr;
  return std::unique_ptr<CChannelRetry>(new (std::nothrow) CChannelRetry(std::move(input), options, threads));
}

bool CChannelRetry::Retry(const TapeBlock& failed, const std::function<void(int, TapeBlock&&)>& add) {
  const double rate = m_input->OutputRate();
  const double from = std::max({0.0, failed.startSeconds - RETRY_LEAD_SECONDS, m_readUntil});
  if (from >= failed.endSeconds) return true;  // read already
  // A whole frame of the file, so that raised rates seek too.
  const std::uint64_t up = m_input->Upsampling();
  const std::uint64_t sample = static_cast<std::uint64_t>(std::floor(from * rate)) / up * up;
  if (!m_input->Seek(sample)) return false;
  const double offset = static_cast<double>(sample) / rate;

  std::vector<TapeBlock> found[2];
  std::vector<std::unique_ptr<CRobustDecoder>> decoders;
  for (int c = 0; c < 2; ++c)
    decoders.push_back(std::make_unique<CRobustDecoder>(
        rate, [&found, c](TapeBlock&& block) { found[c].push_back(std::move(block)); }, m_options));
  std::vector<std::vector<float>> chunk;
  std::uint64_t read = 0;
  for (;;) {
    const std::size_t count = m_input->Read(chunk, RETRY_CHUNK);
    if (count == 0) break;
    m_team.Run(2, [&](std::size_t c) { decoders[c]->Feed(chunk[c].data(), count); });
    read += count;
    const double at = offset + static_cast<double>(read) / rate;
    // Past the block, and no channel still reading a block begun in it.
    if (at >= failed.endSeconds + RETRY_TAIL_SECONDS &&
        offset + std::min(decoders[0]->PendingFrom(), decoders[1]->PendingFrom()) >= failed.endSeconds)
      break;
  }
  m_team.Run(2, [&](std::size_t c) { decoders[c]->Finish(); });
  // A read that failed part way keeps the blocks before it.
  m_readUntil = failed.endSeconds;
  for (int c = 0; c < 2; ++c) {
    for (TapeBlock& block : found[c]) {
      ShiftTimes(block, offset);
      if (block.endSeconds <= failed.startSeconds || block.startSeconds >= failed.endSeconds ||
          block.startSeconds < m_handedUntil[c])
        continue;
      m_handedUntil[c] = block.endSeconds;
      m_readUntil = std::max(m_readUntil, block.endSeconds);
      add(c, std::move(block));
    }
  }
  return true;
}

}  // namespace tapedecoder
