// Test helpers around libspectrum: building tapes block by block, reading
// images back, playing them as edges, and rendering those as samples.
#ifndef TAPEDECODER_TESTS_TAPEFILE_TZX_BUILDER_H_
#define TAPEDECODER_TESTS_TAPEFILE_TZX_BUILDER_H_

#include <libspectrum.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace testing_support {

// Owns a libspectrum tape.
class LsTape {
 public:
  LsTape();
  ~LsTape();
  LsTape(const LsTape&) = delete;
  LsTape& operator=(const LsTape&) = delete;
  libspectrum_tape* Get() const { return m_tape; }

  // Builders (each appends one block).
  void Pause(unsigned ms);
  void Rom(const std::vector<std::uint8_t>& bytes, unsigned pauseMs);
  void Turbo(const std::vector<std::uint8_t>& bytes, unsigned pilot, unsigned pilots, unsigned sync1,
             unsigned sync2, unsigned zero, unsigned one, unsigned usedBits, unsigned pauseMs);
  void Tone(unsigned length, unsigned count);
  void Pulses(const std::vector<unsigned>& lengths);

  // The TZX image; empty on failure.
  std::vector<std::uint8_t> Tzx() const;
  // Reads an image of any kind libspectrum knows; false on failure.
  bool Read(const std::vector<std::uint8_t>& image);
  // The blocks, in order.
  std::vector<libspectrum_tape_block*> Blocks() const;

 private:
  libspectrum_tape* m_tape;
};

// Edges as a player sees them: every edge event libspectrum reports
// (except those flagged as no edge), in T-states from the start, and the
// tape's total playing time.
struct Played {
  std::vector<double> edges;
  double total = 0.0;
};
Played Play(LsTape& tape);

// A square wave of `played` at `rate`, levels +-amplitude, each edge at the
// sample nearest its exact time; digital silence (0) before the first edge.
std::vector<float> Render(const Played& played, double rate, float amplitude);

// Writes / reads mono WAV files through libsndfile (float samples, 16-bit
// PCM on disk). Read returns false on failure.
bool WriteWav(const std::string& path, const std::vector<float>& samples, int rate);
bool ReadWav(const std::string& path, std::vector<float>* samples, int* rate);

}  // namespace testing_support

#endif  // TAPEDECODER_TESTS_TAPEFILE_TZX_BUILDER_H_
