// The tape image writers (TZX, PZX, CSW) and whole images of a tape in
// memory. Every writer streams: it writes each part as it comes.
//
// Part mapping (both formats keep every part, in order):
//   ROM-timed block  -> TZX 0x10 (pause field = the measured silence after
//                       it; over 65535 bytes, 0x11 at ROM timing); PZX
//                       PULS (pilot, syncs) + DATA (+ PAUS)
//   other block      -> TZX 0x11 with the measured pilot, syncs, bit
//                       lengths, pilot count and used bits of the last
//                       byte; PZX the same as PULS + DATA. A sync of
//                       one pulse: TZX 0x12 (pilot) + 0x13 (sync) + 0x14
//   block without pilot -> TZX 0x14 with the measured bit lengths and
//                       used bits; PZX DATA
//   tone stretch     -> TZX 0x12; PZX PULS with a repeat count
//   other stretches  -> TZX 0x13 (up to 255 pulses each); PZX PULS
//   silence          -> the previous block's pause field, else TZX 0x20;
//                       PZX PAUS (exact to the T-state)
// PZX (and CSW) play a measured block in step with a drifting tape: its
// pilot in runs of the two whole-T lengths around the mean, its data in
// DATA pieces whose bit lengths keep each byte's start within 30 us of the
// recording's (see CPartLayout). TZX keeps one record a block.
// Long irregular stretches stay pulse lists too: 0x13 keeps every pulse to
// the T-state, while a direct recording (0x15) would round each edge to
// its sample grid. The signal as sampled is the CSW file's to keep.
// Every image starts with an archive-info (TZX 0x32, one comment) / PZXT
// block (empty title, a "Comment" pair) that names the tool and the source
// recording, and nothing else. (libspectrum 1.5 reads only a PZXT's title,
// so its tools show the PZX comment as nothing.)
//
// CSW: version 2, Z-RLE (the run lengths deflated in one zlib stream), at
// the recording's own sample rate (44100 Hz when unknown): the parts
// played as the PZX image plays them, each edge on its nearest sample,
// except that every block keeps its measured timings, so that a fast or
// slow tape keeps its length. So every stretch between blocks keeps the
// recording's edges as the edge extractor found them, and every block is
// played clean in its own timing: the blocks the decoder recovered from
// the waveform read back from the file even where the trigger's edges
// alone would not give them. Untimed blocks play at ROM timing. Two edges that fall on one sample cancel (a pulse
// shorter than a sample is not kept). The pulse count goes into the header
// when the file ends; the header names the tool.
#ifndef TAPEDECODER_TAPEFILE_TAPE_IMAGE_H_
#define TAPEDECODER_TAPEFILE_TAPE_IMAGE_H_

#include <cstdint>
#include <string>
#include <vector>

#include <memory>

#include "tape/tape_block.h"
#include "tapefile/tape_writer.h"

namespace tapedecoder {

// The writers of the image formats, writing into `out` (which must outlive
// them).
std::unique_ptr<TapeWriter> MakeTzxWriter(ByteSink& out, const TapeContext& context);
std::unique_ptr<TapeWriter> MakePzxWriter(ByteSink& out, const TapeContext& context);
std::unique_ptr<TapeWriter> MakeCswWriter(ByteSink& out, const TapeContext& context);

// A whole image in memory (writing into memory never fails).
struct ImageResult {
  std::vector<std::uint8_t> bytes;
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
ImageResult WritePzxBlocks(const std::vector<TapeBlock>& blocks, const ImageInfo& info);

// The PZX image (version 1.0) of `parts`, as WriteTzx but with pauses exact
// to the T-state. Levels alternate at every edge, starting low.
ImageResult WritePzx(const std::vector<TapePart>& parts, double recordingSeconds,
                     const ImageInfo& info);

// The info text of the header: "Created by TOOL from SOURCE" (without
// " from SOURCE" when the name is empty), cut to at most `limit` bytes
// at a UTF-8 character boundary.
std::string ImageInfoText(const ImageInfo& info, std::size_t limit);

}  // namespace tapedecoder

#endif  // TAPEDECODER_TAPEFILE_TAPE_IMAGE_H_
