#include "tzx_builder.h"

#include <sndfile.h>

#include <algorithm>
#include <cmath>

namespace testing_support {

namespace {
libspectrum_tape_block* Append(libspectrum_tape* tape, libspectrum_tape_type type) {
  libspectrum_tape_block* block = libspectrum_tape_block_alloc(type);
  libspectrum_tape_append_block(tape, block);
  return block;
}
void SetData(libspectrum_tape_block* block, const std::vector<std::uint8_t>& bytes) {
  auto* data = libspectrum_new(libspectrum_byte, bytes.size());
  std::copy(bytes.begin(), bytes.end(), data);
  libspectrum_tape_block_set_data_length(block, bytes.size());
  libspectrum_tape_block_set_data(block, data);
}
void SetPause(libspectrum_tape_block* block, unsigned ms) {
  libspectrum_tape_block_set_pause(block, ms);
  libspectrum_tape_block_set_pause_tstates(block, ms * 3500);
}
}  // namespace

LsTape::LsTape() {
  libspectrum_init();
  m_tape = libspectrum_tape_alloc();
}
LsTape::~LsTape() { libspectrum_tape_free(m_tape); }

void LsTape::Pause(unsigned ms) {
  libspectrum_tape_block* block = Append(m_tape, LIBSPECTRUM_TAPE_BLOCK_PAUSE);
  libspectrum_tape_block_set_level(block, 0);
  SetPause(block, ms);
}

void LsTape::Rom(const std::vector<std::uint8_t>& bytes, unsigned pauseMs) {
  libspectrum_tape_block* block = Append(m_tape, LIBSPECTRUM_TAPE_BLOCK_ROM);
  SetData(block, bytes);
  SetPause(block, pauseMs);
}

void LsTape::Turbo(const std::vector<std::uint8_t>& bytes, unsigned pilot, unsigned pilots,
                   unsigned sync1, unsigned sync2, unsigned zero, unsigned one, unsigned usedBits,
                   unsigned pauseMs) {
  libspectrum_tape_block* block = Append(m_tape, LIBSPECTRUM_TAPE_BLOCK_TURBO);
  libspectrum_tape_block_set_pilot_length(block, pilot);
  libspectrum_tape_block_set_pilot_pulses(block, pilots);
  libspectrum_tape_block_set_sync1_length(block, sync1);
  libspectrum_tape_block_set_sync2_length(block, sync2);
  libspectrum_tape_block_set_bit0_length(block, zero);
  libspectrum_tape_block_set_bit1_length(block, one);
  libspectrum_tape_block_set_bits_in_last_byte(block, usedBits);
  SetData(block, bytes);
  SetPause(block, pauseMs);
}

void LsTape::Tone(unsigned length, unsigned count) {
  libspectrum_tape_block* block = Append(m_tape, LIBSPECTRUM_TAPE_BLOCK_PURE_TONE);
  libspectrum_tape_block_set_pulse_length(block, length);
  libspectrum_tape_block_set_count(block, count);
}

void LsTape::Pulses(const std::vector<unsigned>& lengths) {
  libspectrum_tape_block* block = Append(m_tape, LIBSPECTRUM_TAPE_BLOCK_PULSES);
  auto* list = libspectrum_new(libspectrum_dword, lengths.size());
  std::copy(lengths.begin(), lengths.end(), list);
  libspectrum_tape_block_set_count(block, lengths.size());
  libspectrum_tape_block_set_pulse_lengths(block, list);
}

std::vector<std::uint8_t> LsTape::Tzx() const {
  libspectrum_byte* buffer = nullptr;
  std::size_t length = 0;
  std::vector<std::uint8_t> out;
  if (libspectrum_tape_write(&buffer, &length, m_tape, LIBSPECTRUM_ID_TAPE_TZX) ==
      LIBSPECTRUM_ERROR_NONE)
    out.assign(buffer, buffer + length);
  libspectrum_free(buffer);
  return out;
}

bool LsTape::Read(const std::vector<std::uint8_t>& image) {
  return libspectrum_tape_read(m_tape, image.data(), image.size(), LIBSPECTRUM_ID_UNKNOWN,
                               nullptr) == LIBSPECTRUM_ERROR_NONE;
}

std::vector<libspectrum_tape_block*> LsTape::Blocks() const {
  std::vector<libspectrum_tape_block*> blocks;
  libspectrum_tape_iterator it;
  for (libspectrum_tape_block* b = libspectrum_tape_iterator_init(&it, m_tape); b;
       b = libspectrum_tape_iterator_next(&it))
    blocks.push_back(b);
  return blocks;
}

Played Play(LsTape& tape) {
  Played played;
  libspectrum_tape_nth_block(tape.Get(), 0);
  double t = 0.0;
  for (int guard = 0; guard < 50000000; ++guard) {
    libspectrum_dword tstates = 0;
    int flags = 0;
    if (libspectrum_tape_get_next_edge(&tstates, &flags, tape.Get()) != LIBSPECTRUM_ERROR_NONE)
      break;
    t += tstates;
    if (!(flags & LIBSPECTRUM_TAPE_FLAGS_NO_EDGE) && tstates > 0) played.edges.push_back(t);
    if (flags & LIBSPECTRUM_TAPE_FLAGS_TAPE) break;
  }
  played.total = t;
  return played;
}

std::vector<float> Render(const Played& played, double rate, float amplitude) {
  const auto count = static_cast<std::size_t>(std::llround(played.total * rate / 3500000.0)) + 1;
  std::vector<float> samples(count, 0.0f);
  float level = 0.0f;
  bool high = false;
  std::size_t at = 0;
  for (double edge : played.edges) {
    const auto next = std::min<std::size_t>(count, std::llround(edge * rate / 3500000.0));
    for (; at < next; ++at) samples[at] = level;
    high = !high;
    level = high ? amplitude : -amplitude;
  }
  for (; at < count; ++at) samples[at] = level;
  return samples;
}

bool WriteWav(const std::string& path, const std::vector<float>& samples, int rate) {
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = 1;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  if (!file) return false;
  const sf_count_t n = static_cast<sf_count_t>(samples.size());
  const bool ok = sf_writef_float(file, samples.data(), n) == n;
  return sf_close(file) == 0 && ok;
}

bool ReadWav(const std::string& path, std::vector<float>* samples, int* rate) {
  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (!file) return false;
  std::vector<float> all(static_cast<std::size_t>(info.frames * info.channels));
  const bool ok = sf_readf_float(file, all.data(), info.frames) == info.frames;
  sf_close(file);
  samples->clear();
  for (std::size_t k = 0; k < all.size(); k += static_cast<std::size_t>(info.channels))
    samples->push_back(all[k]);
  *rate = info.samplerate;
  return ok;
}

}  // namespace testing_support
