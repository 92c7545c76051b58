#include "audio/upsampler.h"

#include <soxr.h>

namespace tapedecoder {

namespace {

constexpr std::size_t OUTPUT_SLACK = 256;

soxr_t Handle(void* p) { return static_cast<soxr_t>(p); }

}  // namespace

CUpsampler::~CUpsampler() {
  if (m_soxr != nullptr) soxr_delete(Handle(m_soxr));
}

bool CUpsampler::Start(double inputRate, unsigned factor) {
  if (m_soxr != nullptr) soxr_delete(Handle(m_soxr));
  m_soxr = nullptr;
  m_factor = factor;
  m_finished = false;
  const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
  const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, SOXR_LINEAR_PHASE);
  const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
  soxr_error_t error = nullptr;
  m_soxr = soxr_create(inputRate, inputRate * factor, 1, &error, &io, &quality, &runtime);
  m_error = error;
  if (error != nullptr && m_soxr != nullptr) {
    soxr_delete(Handle(m_soxr));
    m_soxr = nullptr;
  }
  return m_soxr != nullptr;
}

bool CUpsampler::Process(const float* in, std::size_t count, std::vector<float>& out) {
  if (m_soxr == nullptr || m_finished) return false;
  while (count > 0) {
    const std::size_t room = count * m_factor + OUTPUT_SLACK;
    const std::size_t start = out.size();
    out.resize(start + room);
    std::size_t used = 0;
    std::size_t made = 0;
    m_error = soxr_process(Handle(m_soxr), in, count, &used, out.data() + start, room, &made);
    out.resize(start + made);
    if (m_error != nullptr) return false;
    if (used == 0 && made == 0) return false;  // no progress: the state is broken
    in += used;
    count -= used;
  }
  return true;
}

bool CUpsampler::Finish(std::vector<float>& out) {
  if (m_soxr == nullptr) return false;
  if (m_finished) return true;
  m_finished = true;
  for (;;) {
    const std::size_t start = out.size();
    out.resize(start + 4096);
    std::size_t made = 0;
    m_error = soxr_process(Handle(m_soxr), nullptr, 0, nullptr, out.data() + start, 4096, &made);
    out.resize(start + made);
    if (m_error != nullptr) return false;
    if (made == 0) return true;
  }
}

}  // namespace tapedecoder
