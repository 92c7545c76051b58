// Typed outcomes of opening and reading a recording for the robust decoder:
// what failed, on which file, and the system's or the sound library's own
// diagnosis. Callers turn these into words; nothing here holds message text
// of its own.
#ifndef TAPEDECODER_AUDIO_INPUT_ERROR_H_
#define TAPEDECODER_AUDIO_INPUT_ERROR_H_

#include <cstdint>
#include <string>

namespace tapedecoder {

enum class InputFailure : std::uint8_t {
  NONE,
  CANNOT_OPEN,           // the file could not be opened (osError says why)
  NOT_A_FILE,            // a folder, FIFO, device or socket (osError EISDIR for a folder)
  UNKNOWN_FORMAT,        // neither CSW nor a sound format the library knows
  MALFORMED_AUDIO,       // a known sound format whose headers are broken
  UNSUPPORTED_ENCODING,  // a known container holding an encoding not supported
  BAD_RATE,              // sample rate outside 8000..192000 Hz (CSW: zero)
  BAD_CHANNELS,          // no channels
  BAD_CSW,               // a CSW file that breaks its format (cswFault says how)
  READ_ERROR,            // reading failed after a successful open
  ENDS_EARLY,            // the samples end before the length the file declares (cut short or damaged)
  NO_MEMORY,             // a buffer or the compression state could not be had
};

// How a CSW file breaks its format.
enum class CswFault : std::uint8_t {
  NONE,
  NO_SIGNATURE,      // the first 23 bytes are not "Compressed Square Wave" 0x1A
  TRUNCATED_HEADER,  // the file ends inside the header or its extension
  BAD_VERSION,       // major version other than 1 or 2
  ZERO_RATE,         // sample rate 0
  BAD_COMPRESSION,   // compression other than 1 (RLE), or 2 (Z-RLE) in version 2
  ZERO_PULSE,        // a pulse of 0 samples (a 0 byte with a 32-bit count of 0)
  PULSE_TOO_LONG,    // a pulse longer than CSW_MAX_PULSE_SECONDS
  BAD_ZLIB,          // the Z-RLE data is no valid zlib stream
  TRUNCATED_DATA,    // the file ends inside a 32-bit count or the zlib stream
};

struct InputError {
  InputFailure failure = InputFailure::NONE;
  CswFault cswFault = CswFault::NONE;  // set with BAD_CSW
  std::string path;                    // the file as given to Open
  int osError = 0;                     // errno of the failing call, 0 when none
  std::string libraryMessage;          // the sound library's diagnosis, when it gave one
  std::int64_t rate = 0;               // the offending rate, with BAD_RATE
  explicit operator bool() const { return failure != InputFailure::NONE; }
};

}  // namespace tapedecoder

#endif  // TAPEDECODER_AUDIO_INPUT_ERROR_H_
