// Turning measured pulses into the blocks of the standard ZX Spectrum tape
// encoding: pilot tone, sync pulse, then one bit per pulse.
#ifndef TAPEDECODER_TAPE_BLOCK_DECODER_H_
#define TAPEDECODER_TAPE_BLOCK_DECODER_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "audio/wave_source.h"
#include "convert/decode_settings.h"

namespace tapedecoder {

// The class of one measured pulse.
enum PulseClass : std::uint8_t {
  PULSE_NONE = 0,   // in no range, or a run that is not classified
  PULSE_PILOT = 1,  // in the pilot range
  PULSE_ONE = 2,    // in the one range
  PULSE_ZERO = 3,   // in the zero range
};

// The decoder's phase.
enum DecodePhase : std::int32_t {
  PHASE_SEARCH = 0,  // waiting for the first pulse of a pilot tone
  PHASE_PILOT = 1,   // inside a pilot tone, counting its pulses
  PHASE_DATA = 2,    // after the sync pulse: each classified pulse is a bit
};

// Classifies a pulse length against the settings' three inclusive ranges,
// tested pilot, one, zero with a later hit overriding an earlier one: where
// ranges overlap, zero wins over one and one over pilot.
PulseClass ClassifyPulse(const DecodeSettings& settings, std::int32_t length);

// Why DecodeToFiles failed.
enum DecodeFailure : std::uint8_t {
  DECODE_OK = 0,
  DECODE_CANNOT_CREATE,  // the output files could not be created
  DECODE_CANNOT_WRITE,   // a write, close or rename of the outputs failed
  DECODE_NO_MEMORY,      // the block buffer could not grow
};

// What one decoding did.
struct DecodeReport {
  DecodeFailure failure = DECODE_OK;
  int blocks = 0;      // blocks written (a block may take several records)
  int goodBlocks = 0;  // ... whose checksum agrees
  int badBlocks = 0;   // ... whose checksum does not
  std::size_t largestBuffer = 0;  // the block buffer's largest capacity
  std::string detail;  // why it failed, in English; empty on success
};

// Decodes `source` from its cursor to its end into `title`.tap and
// `title`.txt (see CTapeOutput; `title` may name a folder).
//
// Only high runs are classified (the level state is 0 after the
// measurement). A pilot tone needs more than 100 counted pilot pulses
// before a zero-class sync pulse starts a block; the sync yields no bit.
// In a block each zero-class pulse is a 0 bit, each one- or pilot-class
// pulse a 1 bit, most significant first, and other pulses are skipped. A
// failed measurement (a pause of 500 steps on one side, or the end of the
// data) ends the block: a block with at least one completed byte is
// written, bits of an incomplete byte are dropped.
//
// Returns true when both outputs are completely written, whether or not any
// block was found (no block gives two empty files). Returns false when the
// outputs cannot be created or written, or memory for a block runs out; any
// earlier pair of outputs is then left untouched. `report`, when given,
// receives the counts and the reason for a failure.
//
// REQUIRES: source.GetStep() > 0 (a conversion uses 0.2).
bool DecodeToFiles(const std::string& title, CWaveSource& source,
                   const DecodeSettings& settings, DecodeReport* report = nullptr);

// A measurement of one run with MeasurePulse's contract.
using PulseMeasure = std::int32_t (*)(const DecodeSettings& settings, CWaveSource& source,
                                      std::uint8_t& levelState);

// As DecodeToFiles, with `measure` in place of MeasurePulse; lets another
// measurement of the same runs be compared output for output.
bool DecodeToFilesWith(const std::string& title, CWaveSource& source,
                       const DecodeSettings& settings, PulseMeasure measure,
                       DecodeReport* report = nullptr);

}  // namespace tapedecoder

#endif  // TAPEDECODER_TAPE_BLOCK_DECODER_H_
