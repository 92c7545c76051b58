// TZX and PZX tape images of a decoded tape, built in memory so that the
// caller commits them with the rest of its output.
//
// TZX goes through libspectrum (the format's reference library here:
// block layout, checksums of nothing, field limits). libspectrum reads PZX
// but cannot write it, so PZX is written directly.
//
// Part mapping (both formats keep every part, in order):
//   ROM-timed block  -> TZX 0x10 (pause field = the measured silence after
//                       it); PZX PULS (pilot, syncs) + DATA (+ PAUS)
//   other block      -> TZX 0x11 with the measured pilot, syncs, bit
//                       lengths, pilot count and used bits of the last
//                       byte; PZX the same as PULS + DATA
//   tone stretch     -> TZX 0x12; PZX PULS with a repeat count
//   other stretches  -> TZX 0x13 (up to 255 pulses each); PZX PULS
//   silence          -> the previous block's pause field, else TZX 0x20;
//                       PZX PAUS (exact to the T-state)
// Long irregular stretches stay pulse lists too: 0x13 keeps every pulse to
// the T-state, while a direct recording (0x15) would round each edge to
// its sample grid, and libspectrum has no CSW-block (0x18) writer (its
// RLE blocks are written as 0x15).
// Every image starts with an archive-info (TZX 0x32, one comment) / PZXT
// block (empty title, a "Comment" pair) that names the tool and the source
// recording, and nothing else. (libspectrum 1.5 reads only a PZXT's title,
// so its tools show the PZX comment as nothing.)
#ifndef TAPEDECODER_TAPEFILE_TAPE_IMAGE_H_
#define TAPEDECODER_TAPEFILE_TAPE_IMAGE_H_

#include <cstdint>
#include <string>
#include <vector>

#include "base/failure.h"
#include "tape/tape_block.h"

namespace tapedecoder {

struct ImageInfo {
  std::string tool;        // e.g. "tapedecoder 1.0.0"
  std::string sourceName;  // the recording's file name (UTF-8), may be empty
};

struct ImageResult {
  // NONE, IMAGE_LIBRARY_INIT (libspectrum_init failed) or IMAGE_LIBRARY (a
  // libspectrum call failed; value: its libspectrum_error). No path: the
  // caller knows where the image goes.
  Failure failure;
  std::vector<std::uint8_t> bytes;  // the image; empty on failure
  bool Ok() const { return !failure; }
};

// The TZX image of `parts` (recording order, as SegmentEdges or
// MergeRobustBlocks give them) from a recording `recordingSeconds` long.
// Silence is timed in whole milliseconds (the format's unit), each pause
// rounded to the nearest and at least 1 ms; the image's clock is kept on
// the recording's, so rounding does not accumulate. On playback an edge
// ends every pause, where the recording's next part starts. A pause over
// 65535 ms is split, which adds an edge at each split.
ImageResult WriteTzx(const std::vector<TapePart>& parts, double recordingSeconds,
                     const ImageInfo& info);

// The TZX image of blocks decoded without timings: each a standard-speed
// block (0x10) with a pause of 1000 ms after it. Blocks without bytes are
// left out.
ImageResult WriteTzxBlocks(const std::vector<TapeBlock>& blocks, const ImageInfo& info);

// The PZX image of blocks decoded without timings, as WriteTzxBlocks.
// Never fails.
ImageResult WritePzxBlocks(const std::vector<TapeBlock>& blocks, const ImageInfo& info);

// The PZX image (version 1.0) of `parts`, as WriteTzx but with pauses exact
// to the T-state. Levels alternate at every edge, starting low. Never
// fails (the status is always OK).
ImageResult WritePzx(const std::vector<TapePart>& parts, double recordingSeconds,
                     const ImageInfo& info);

// The info text of the header: "Created by TOOL from SOURCE" (without
// " from SOURCE" when the name is empty), cut to at most `limit` bytes
// at a UTF-8 character boundary.
std::string ImageInfoText(const ImageInfo& info, std::size_t limit);

}  // namespace tapedecoder

#endif  // TAPEDECODER_TAPEFILE_TAPE_IMAGE_H_
