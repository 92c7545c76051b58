// Cassette-like recordings synthesised in memory for the robust decoder's
// tests: ROM-timed blocks rendered at any rate with exact (area-sampled)
// edges, then put through what a tape path and a capture do to them.
// Deterministic: the same recipe and seed give the same samples.
#ifndef TAPEDECODER_TESTS_ROBUST_TAPE_SYNTH_H_
#define TAPEDECODER_TESTS_ROBUST_TAPE_SYNTH_H_

#include <cstdint>
#include <string>
#include <vector>

namespace testing_support {

using TapeBytes = std::vector<std::uint8_t>;

// A ROM header (flag 0, type 3, length `length`) and a data block (flag
// 0xFF) of `length` pseudo-random bytes; both with their checksums.
TapeBytes RomHeader(const std::string& name, int length);
TapeBytes DataBlock(int length, std::uint32_t seed);

// What happens to the blocks on their way to the samples.
struct TapePath {
  double rate = 44100.0;
  double speed = 1.0;       // tape speed (2 = twice as fast)
  double drift = 0.0;       // relative speed change per second
  double wowDepth = 0.0;    // relative speed modulation ...
  double wowHz = 0.0;       // ... at this frequency
  double jitter = 0.0;      // rms edge displacement, seconds
  bool wholeSamples = false;  // each pulse a whole number of samples long, as tools write them
  double asymmetry = 0.0;   // seconds added to high half-waves, taken from low
  double highpassHz = 0.0;  // first-order high-pass (the differentiated shape)
  bool highpassSecondOrder = false;  // ... Butterworth of second order instead (overshoots each edge)
  double lowpassHz = 0.0;   // second-order Butterworth low-pass ...
  int lowpassSections = 1;  // ... this many in a row (2: 24 dB an octave)
  double noise = 0.0;       // white noise rms, relative to the wave's amplitude
  double dropEvery = 0.0;   // seconds between amplitude dips ...
  double dropSeconds = 0.0;  // ... this long ...
  double dropGain = 1.0;    // ... down to this gain (0: silence) ...
  double dropFirst = 0.0;   // ... the first at this time (seconds)
  // All-pass sections (a deck's phase error), each at this centre
  // frequency with Q 1: every frequency passes, the edges smear.
  std::vector<double> allpassHz;
  double gain = 0.5;        // amplitude of the wave at full scale 1
  double dc = 0.0;
  double clip = 0.0;        // clip at ± this (full scale), 0 = none
  bool invert = false;
  double pauseSeconds = 1.0;  // silence after each block (0 = straight on)
  std::string soxCodec;     // e.g. "mp3": round trip through sox (empty = none)
  std::string soxOptions;   // sox's output options for it, e.g. "-C 32" (an MP3's bit rate)
};

// Renders the blocks (headers get 8063 pilot pulses, others 3223) and the
// path. `trailer` T-state pulses follow the last block with no pause (a
// loader running on into other data). Returns an empty vector when a sox
// round trip was asked for and failed.
std::vector<float> RenderTape(const std::vector<TapeBytes>& blocks, const TapePath& path,
                              std::uint32_t seed, const std::vector<double>& trailer = {});

// A block as a loader saves it, for the structures beyond the ROM's:
// T-state lengths at nominal speed.
struct LoaderBlock {
  TapeBytes bytes;
  int usedBits = 8;           // bits of the last byte played
  double pilot = 2168.0;
  int pilotPulses = 0;        // 0: data with no pilot and no sync
  double sync1 = 667.0, sync2 = 735.0;  // sync2 0: a sync of one pulse
  int bitPulses = 2;                // pulses a bit, up to 4
  double zero[4] = {855.0, 855.0};  // a zero bit's pulses
  double one[4] = {1710.0, 1710.0};
  int clickEvery = 0;         // a pulse of `click` after every that many pilot pulses
  double click = 0.0;
  int mergedBit = -1;         // that bit played as one pulse: the polarity flips there
  double pauseSeconds = 1.0;  // silence after it (0: the next block straight on)
};

// Renders the blocks through `path` (its pauseSeconds unused) as
// RenderTape does.
std::vector<float> RenderLoaderTape(const std::vector<LoaderBlock>& blocks, const TapePath& path,
                                    std::uint32_t seed);

}  // namespace testing_support

#endif  // TAPEDECODER_TESTS_ROBUST_TAPE_SYNTH_H_
