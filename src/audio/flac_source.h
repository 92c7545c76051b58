// Native FLAC files read by libFLAC itself rather than through the sound
// library, for speed, and once a helper thread is allowed
// (AllowHelperThread) by two decoders side by side; the samples, the
// file's description (InputInfo, in the sound library's terms) and the
// failures are the ones the library's reading gives (but for a file whose
// very first block is damaged or cut: ENDS_EARLY here, the library's
// READ_ERROR "lost sync" there).
#ifndef TAPEDECODER_AUDIO_FLAC_SOURCE_H_
#define TAPEDECODER_AUDIO_FLAC_SOURCE_H_

#include <memory>

#include "audio/sample_source.h"

namespace tapedecoder {

// The bytes begin with the FLAC signature.
bool StartsAsFlac(CByteSource& bytes);

// Opens `file` as a FLAC stream of 8-, 16- or 24-bit samples at a rate the
// robust decoder takes, taking the file over. nullptr, the file left with
// the caller, when the stream is anything else or its headers are damaged
// (error untouched: the sound library reads it, or says what is wrong) or
// on a failure (error.kind set: NO_MEMORY).
std::unique_ptr<CSampleSource> OpenFlacSource(std::unique_ptr<CFileByteSource>& file, Failure& error);

}  // namespace tapedecoder

#endif  // TAPEDECODER_AUDIO_FLAC_SOURCE_H_
