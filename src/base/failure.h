// Why something failed, in one vocabulary for every layer: a kind, and the
// detail that kind needs (the file, the system's errno, a library's own
// diagnosis, the offending number, where in the recording). The core holds
// no words for these; each front end phrases them (cli/messages,
// front/dialog_messages).
#ifndef TAPEDECODER_BASE_FAILURE_H_
#define TAPEDECODER_BASE_FAILURE_H_

#include <cstdint>
#include <string>
#include <utility>

namespace tapedecoder {

enum class FailureKind : std::uint8_t {
  NONE,
  // A recording that cannot be had at all.
  CANNOT_OPEN,           // the file could not be opened (osError says why, when known)
  NOT_A_FILE,            // a folder, FIFO, device or socket (osError EISDIR for a folder)
  NO_TAKES,              // a merge was given no recording
  // The classic reader's checks of an 8-bit WAV file, in the order they run.
  WAVE_NO_RIFF_WAVE,     // no RIFF chunk of form type "WAVE"
  WAVE_NO_FORMAT,        // no "fmt " chunk inside it
  WAVE_SHORT_FORMAT,     // fewer than 18 bytes from the format data onward
  WAVE_NOT_PCM,          // format tag other than 1
  WAVE_FORMAT_END,       // the end of the format chunk lies past the file
  WAVE_NO_DATA,          // no "data" chunk after the format chunk
  WAVE_BAD_RATE,         // sample rate other than 44100
  WAVE_BAD_BLOCK_ALIGN,  // block align differs from the channel count
  WAVE_BAD_CHANNELS,     // neither mono nor stereo
  // The robust reader's.
  UNKNOWN_FORMAT,        // neither CSW nor a sound format the library knows
  MALFORMED_AUDIO,       // a known sound format whose headers are broken
  UNSUPPORTED_ENCODING,  // a known container holding an encoding not supported
  BAD_RATE,              // sample rate outside 8000..192000 Hz (value: the rate)
  BAD_CHANNELS,          // no channels
  // A CSW file that breaks its format.
  CSW_NO_SIGNATURE,      // the first 23 bytes are not "Compressed Square Wave" 0x1A
  CSW_TRUNCATED_HEADER,  // the file ends inside the header or its extension
  CSW_BAD_VERSION,       // major version other than 1 or 2
  CSW_ZERO_RATE,         // sample rate 0
  CSW_BAD_COMPRESSION,   // compression other than 1 (RLE), or 2 (Z-RLE) in version 2
  CSW_ZERO_PULSE,        // a pulse of 0 samples (a 0 byte with a 32-bit count of 0)
  CSW_PULSE_TOO_LONG,    // a pulse longer than CSW_MAX_PULSE_SECONDS
  CSW_BAD_ZLIB,          // the Z-RLE data is no valid zlib stream
  CSW_TRUNCATED_DATA,    // the file ends inside a 32-bit count or the zlib stream
  READ_ERROR,            // reading failed after a successful open (osError, libraryMessage)
  ENDS_EARLY,            // the samples end before the length the file declares (cut short
                         // or damaged)
  // The outputs (path: the final name).
  OUTPUT_PROTECTED,      // the name holds a folder, a special file or a file nobody may
                         // write; it is never replaced
  OUTPUT_CANNOT_CREATE,  // the file to write could not be made (no folder, no permission,
                         // outputs in different folders...)
  OUTPUT_CANNOT_WRITE,   // a write, flush, fsync or close failed (full disk, file-size
                         // limit, I/O error), or a writer could not finish its file
  OUTPUT_CANNOT_REPLACE, // giving the files their final names failed
  OUTPUT_IS_INPUT,       // the name is a recording being converted; never replaced
  NO_MEMORY,             // memory for samples, a block or a buffer ran out
  // What was read is not written, as asked.
  NOTHING_FOUND,         // no block was found, and nothing was written
  TAKES_DIFFER,          // takes to merge share no verified block: different tapes
  CANCELLED,             // the run was stopped as asked, part way
};

// What a failure stops: reading the recording, writing the outputs,
// anything (memory), or writing what was read (TAPE: nothing found, takes
// of different tapes, a cancelled run). The kinds are ordered so that
// every kind before OUTPUT_PROTECTED is an input's, every kind from it up
// to NO_MEMORY an output's, and every kind after NO_MEMORY the tape's.
enum class FailureClass : std::uint8_t { NONE, INPUT, OUTPUT, MEMORY, TAPE };

constexpr FailureClass ClassOf(FailureKind kind) {
  if (kind == FailureKind::NONE) return FailureClass::NONE;
  if (kind == FailureKind::NO_MEMORY) return FailureClass::MEMORY;
  if (kind > FailureKind::NO_MEMORY) return FailureClass::TAPE;
  if (kind >= FailureKind::OUTPUT_PROTECTED) return FailureClass::OUTPUT;
  return FailureClass::INPUT;
}

struct Failure {
  FailureKind kind = FailureKind::NONE;
  std::string path;            // the file it concerns, when one does
  int osError = 0;             // errno of the failing call, 0 when none
  std::string libraryMessage;  // a library's own diagnosis, when it gave one
  std::int64_t value = 0;      // BAD_RATE: the rate
  double seconds = -1.0;       // where in the recording reading stopped; -1 when that does not apply

  Failure() = default;
  Failure(FailureKind kind, std::string path, int osError = 0)
      : kind(kind), path(std::move(path)), osError(osError) {}
  explicit operator bool() const { return kind != FailureKind::NONE; }
  FailureClass Class() const { return ClassOf(kind); }
};

}  // namespace tapedecoder

#endif  // TAPEDECODER_BASE_FAILURE_H_
