#include "audio/sample_input.h"

#include <algorithm>
#include <cmath>
#include <new>

#include "audio/upsampler.h"

namespace tapedecoder {

namespace {

constexpr std::size_t CHUNK_SAMPLES = 32768;  // per read from the source, all channels
constexpr std::size_t DRAIN_FRAMES = 8192;    // held-back frames mixed per step

unsigned UpFactor(double rate) {
  return rate >= INPUT_MIN_OUTPUT_RATE ? 1u
                                       : static_cast<unsigned>(std::ceil(INPUT_MIN_OUTPUT_RATE / rate));
}

}  // namespace

CSampleInput::CSampleInput(std::unique_ptr<CSampleSource> source) : m_source(std::move(source)) {
  m_up = UpFactor(m_source->Rate());
  m_outputRate = m_source->Rate() * m_up;
}

CSampleInput::~CSampleInput() = default;

std::unique_ptr<CSampleInput> CSampleInput::Open(const std::string& path, Failure& error) {
  std::unique_ptr<CSampleSource> source = OpenSampleSource(path, error);
  if (!source) return nullptr;
  std::unique_ptr<CSampleInput> input(new (std::nothrow) CSampleInput(std::move(source)));
  if (!input) {
    error.kind = FailureKind::NO_MEMORY;
    return nullptr;
  }
  input->m_error.path = path;
  return input;
}

void CSampleInput::Fail(FailureKind failure, int osError) {
  if (m_error.kind != FailureKind::NONE) return;
  m_error.kind = failure;
  m_error.osError = osError;
}

bool CSampleInput::Select(const std::vector<ChannelChoice>& choices) {
  if (choices.empty() || m_started || Failed()) return false;
  const std::size_t n = choices.size();
  try {
    m_ready.assign(n, {});
    m_mixed.assign(n, {});
    const int channels = m_source->Info().channels;
    const std::size_t perFrame = static_cast<std::size_t>(channels);
    m_chunk.assign(std::max<std::size_t>(1, CHUNK_SAMPLES / perFrame) * perFrame, 0.0f);
    if (!m_mixer.Start(channels, m_source->Rate(), choices)) throw std::bad_alloc();
    m_upsamplers.clear();
    if (m_up > 1) {
      for (std::size_t i = 0; i < n; ++i) {
        m_upsamplers.push_back(std::make_unique<CUpsampler>());
        if (!m_upsamplers.back()->Start(m_source->Rate(), m_up)) {
          m_error.libraryMessage = m_upsamplers.back()->ErrorText() ? m_upsamplers.back()->ErrorText() : "";
          throw std::bad_alloc();
        }
      }
    }
  } catch (const std::bad_alloc&) {
    Fail(FailureKind::NO_MEMORY);
    return false;
  }
  m_choices = choices;
  m_started = true;
  return true;
}

bool CSampleInput::DropChannelsWhenCoherent() {
  if (!m_started || m_choices.front() != ChannelChoice::MIX || m_source->Info().channels < 2 ||
      m_chunkFrames > 0 || m_inputEnded)
    return false;
  m_mixer.DropChannelsWhenCoherent();
  return true;
}

bool CSampleInput::Pump() {
  if (m_ended) return false;  // a read error still drains what came before it
  const std::size_t live = Live();
  if (m_readyBegin > 0) {
    for (std::size_t i = 0; i < live; ++i)
      m_ready[i].erase(m_ready[i].begin(), m_ready[i].begin() + static_cast<std::ptrdiff_t>(m_readyBegin));
    m_readyBegin = 0;
  }
  // One step: drain held-back frames, or hand the mixer the rest of the
  // chunk, or read the next chunk; each bounded, so that m_ready stays small.
  // Without rate raising the mixer writes straight to m_ready.
  const std::size_t channels = static_cast<std::size_t>(m_source->Info().channels);
  std::vector<std::vector<float>>& mixed = m_upsamplers.empty() ? m_ready : m_mixed;
  if (m_mixer.Draining()) {
    m_mixer.Drain(mixed, DRAIN_FRAMES);
  } else if (m_chunkBegin < m_chunkFrames) {
    m_chunkBegin += m_mixer.Push(m_chunk.data() + m_chunkBegin * channels, m_chunkFrames - m_chunkBegin, mixed);
  } else if (!m_inputEnded) {
    m_chunkBegin = 0;
    m_chunkFrames = m_source->Read(m_chunk.data(), m_chunk.size() / channels);
    if (m_chunkFrames == 0) EndInput();
  } else {
    m_ended = true;
  }
  for (std::size_t i = 0; i < std::min(Live(), m_upsamplers.size()); ++i) {
    bool ok = m_upsamplers[i]->Process(m_mixed[i].data(), m_mixed[i].size(), m_ready[i]);
    if (ok && m_ended) ok = m_upsamplers[i]->Finish(m_ready[i]);
    if (!ok) {
      Fail(FailureKind::READ_ERROR);
      if (m_upsamplers[i]->ErrorText() != nullptr) m_error.libraryMessage = m_upsamplers[i]->ErrorText();
      m_ended = true;
    }
    m_mixed[i].clear();
  }
  return !m_ended;
}

void CSampleInput::EndInput() {
  if (m_source->Failed() && !Failed()) {
    const Failure& error = m_source->Error();
    Fail(error.kind, error.osError);
    m_error.libraryMessage = error.libraryMessage;
  }
  m_inputEnded = true;
  m_mixer.Finish();
}

bool CSampleInput::Seek(std::uint64_t sample) {
  if (!m_started || m_mixer.Draining() || !m_mixer.Decided() || Failed() || sample % m_up != 0 ||
      !m_source->Seek(sample / m_up))
    return false;
  m_chunkBegin = m_chunkFrames = 0;
  m_inputEnded = m_ended = false;
  m_sought = true;
  for (std::vector<float>& r : m_ready) r.clear();
  m_readyBegin = 0;
  for (std::size_t i = 0; i < m_upsamplers.size(); ++i) {
    m_mixed[i].clear();
    if (!m_upsamplers[i]->Start(m_source->Rate(), m_up)) {
      Fail(FailureKind::NO_MEMORY);
      return false;
    }
  }
  return true;
}

std::size_t CSampleInput::ReadDirect(std::vector<std::vector<float>>& out, std::size_t max) {
  const std::size_t channels = static_cast<std::size_t>(m_source->Info().channels);
  if (channels == 1 && out.size() == 1) {
    // One channel read as one stream needs neither mixing nor a copy: the
    // source writes straight into the stream (grown, and so zeroed, once).
    std::vector<float>& o = out[0];
    if (o.size() < max) {
      o.clear();  // so that a failed growth leaves nothing stale
      o.resize(max);
    }
    std::size_t filled = 0;
    while (filled < max && !m_inputEnded) {
      const std::size_t got = m_source->Read(o.data() + filled, max - filled);
      if (got == 0) EndInput();
      filled += got;
    }
    m_ended = m_inputEnded;
    o.resize(filled);
    return filled;
  }
  for (std::vector<float>& o : out) o.clear();
  while (out[0].size() < max && !m_ended) {
    const std::size_t room = max - out[0].size();
    if (m_mixer.Draining()) {
      m_mixer.Drain(out, room);
    } else if (m_chunkBegin < m_chunkFrames) {
      m_chunkBegin += m_mixer.Push(m_chunk.data() + m_chunkBegin * channels,
                                   std::min(room, m_chunkFrames - m_chunkBegin), out);
    } else if (m_inputEnded) {
      m_ended = true;
    } else {
      m_chunkBegin = 0;
      m_chunkFrames = m_source->Read(m_chunk.data(), m_chunk.size() / channels);
      if (m_chunkFrames == 0) EndInput();
    }
  }
  return out[0].size();
}

std::size_t CSampleInput::Read(std::vector<std::vector<float>>& out, std::size_t max) {
  if (!m_started && !Select({ChannelChoice::LEFT})) return 0;
  out.resize(m_ready.size());
  if (m_upsamplers.empty()) {
    // Without rate raising the mixer writes straight to the caller's
    // streams (the one copy from the interleaved frames).
    try {
      return ReadDirect(out, max);
    } catch (const std::bad_alloc&) {  // a buffer could not grow: end with what is there
      Fail(FailureKind::NO_MEMORY);
      m_ended = true;
      std::size_t n = out[0].size();
      for (std::size_t i = 0; i < Live(); ++i) n = std::min(n, out[i].size());
      for (std::size_t i = 0; i < Live(); ++i) out[i].resize(n);
      return n;
    }
  }
  const auto available = [this] {
    std::size_t n = m_ready[0].size();
    for (std::size_t i = 0; i < Live(); ++i) n = std::min(n, m_ready[i].size());
    return n - m_readyBegin;
  };
  try {
    while (available() < max && Pump()) {
    }
  } catch (const std::bad_alloc&) {  // a buffer could not grow: end here
    Fail(FailureKind::NO_MEMORY);
    m_ended = true;
  }
  const std::size_t n = std::min(available(), max);
  for (std::size_t i = Live(); i < m_ready.size(); ++i) out[i].clear();
  for (std::size_t i = 0; i < Live(); ++i) {
    const auto from = m_ready[i].begin() + static_cast<std::ptrdiff_t>(m_readyBegin);
    out[i].assign(from, from + static_cast<std::ptrdiff_t>(n));
  }
  m_readyBegin += n;
  return n;
}

}  // namespace tapedecoder
