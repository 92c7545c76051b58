// The run of one robust conversion: stream a recording in any format
// through the robust decoder (each channel and the mix side by side when
// asked), then write the output set.
#ifndef TAPEDECODER_CONVERT_ROBUST_RUN_H_
#define TAPEDECODER_CONVERT_ROBUST_RUN_H_

#include <atomic>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "audio/sample_input.h"
#include "convert/conversion_run.h"
#include "io/output_set.h"
#include "robust/robust_decoder.h"
#include "tapefile/part_merge.h"
#include "tape/tape_block.h"

namespace tapedecoder {

class CCoreBudget;

// Which streams of the recording are decoded.
enum class ChannelMode : std::uint8_t {
  AUTO,   // each channel and the mix; per stretch of tape the best reading
  MIX,    // the channels averaged, an inverted one turned round first
  LEFT,   // the first channel
  RIGHT,  // the second channel (the only one of a mono recording)
};

// What cut a block short.
enum class BlockCut : std::uint8_t {
  NONE,
  RECORDING_END,  // the recording ends inside the block
  READ_STOPPED,   // reading stopped there (damaged or truncated input)
};

// What share of a recording's time is taken by what: blocks (pilot to last
// bit), tones (pilot or other tones with no block after them), pauses
// (silence), the rest being pulses the segmenter kept as they were.
struct SignalShares {
  bool measured = false;
  double blocks = 0.0;  // 0..1
  double tones = 0.0;
  double pauses = 0.0;
};

// What the report keeps of one block for the front ends.
struct BlockSummary {
  int number = 0;             // 1-based, in tape order
  double startSeconds = 0.0;  // the first pilot edge
  double endSeconds = 0.0;
  std::size_t length = 0;     // bytes
  std::uint8_t flag = 0;      // the first byte
  bool good = false;          // the checksum verifies
  std::optional<RomHeader> header;
  double speed = 0.0;         // measured from the pilot: 1.0 is nominal, 0 unknown
  BlockOrigin origin = BlockOrigin::DECODED;
  int mendedBits = 0;         // restored from the checksum (origin MENDED) ...
  std::size_t mendedAt = 0;   // ... from this bit on ...
  int mendedGaps = 0;         // ... lost in this many dropouts
  int unmendedGaps = 0;       // dropouts whose bits could not be restored
  bool mendedFromCopy = false;  // restored from the block's copy on the tape instead
  bool mendGuessed = false;     // the likeliest of the fills the checksum allows (not good)
  bool romTiming = true;      // false: a turbo block, found only for TZX/PZX output
  BlockTiming timing;         // measured, in T-states
  std::uint32_t crc32 = 0;    // of the bytes (zlib's CRC-32)
  // The length the header before it announces (its data length plus the
  // flag and checksum bytes); none when no header announces this block.
  std::optional<std::size_t> announced;
  float weakest = -1.0f;      // the least bit confidence, -1 when not measured
  // Where the signal broke in a bad block: the start of its first run of
  // weak bits (else its one weak bit), or its end when every bit read
  // clearly but fewer came than announced; none for a good block.
  std::optional<double> brokeSeconds;
  BlockCut cut = BlockCut::NONE;  // a bad block cut short by the end of what was read
  int stream = -1;            // the stream of RobustReport::streams that gave it, -1 unknown
  // In TITLE.tap: false for a turbo block only the pulse segmenter found
  // (kept in TZX/PZX and the listing), and when no .tap is written.
  bool inTap = true;
};

struct RobustReport;

struct RobustRunOptions {
  ChannelMode channels = ChannelMode::AUTO;
  RobustOptions decoder;  // the decoder's tunables
  // Called now and then while the recording is read; may be empty.
  std::function<void(const InputProgress&)> progress;
  // Called once the recording is open, before anything is decoded; false
  // stops the run (it then sets the report's failure). May be empty.
  std::function<bool(RobustReport&)> beforeDecoding;
  // Measures the report's shares (blocks, tones, pauses): the signal is
  // then segmented as for TZX/PZX, without changing the blocks listed.
  bool measureShares = false;
  // Reads a loader's block that the segmenter's edges did not read whole
  // again with the box trackers at its measured timing (robust/
  // turbo_reread), from a history of the samples since the last pause
  // (at most CSampleHistory's capacity: 16 MiB).
  bool rereadLoaderBlocks = true;
  // Without it, a recording in which no block is found writes nothing
  // (NOTHING_FOUND) and earlier outputs stay as they were.
  bool writeEmpty = false;
  // Called once every output is written, before the set is committed, to
  // add more outputs (a report); false fails the run with the set's
  // failure. May be empty.
  std::function<bool(COutputSet&, const RobustReport&)> beforeCommit;
  // Called with every chunk of the first stream's samples, in order; may
  // be empty. With helper threads it runs on a thread of its own, up to a
  // few chunks ahead of the decoders (one pipeline stage): it must then
  // touch nothing the run's other callbacks touch. It returns what is to
  // be done with its outcome (may be empty), which runs in the caller's
  // thread in chunk order, after the decoders have read that chunk and
  // before its blocks are handed over, whatever the threads.
  std::function<std::function<void()>(const float*, std::size_t)> onSamples;
  // Called in the caller's thread when the helper threads start (at the
  // start, or part way once a spare core is free; never without them),
  // between chunks, while no onSamples runs; may be empty.
  std::function<void()> onHelpers;
  // Called after every chunk with the time (seconds) before which no block
  // handed over later starts; may be empty.
  std::function<void(double)> onSettled;
  // Read before every chunk of samples (about 65536 per stream) from any
  // thread; once true the run stops there (failure CANCELLED) and writes
  // nothing. May be null.
  const std::atomic<bool>* cancel = nullptr;
  // Reads ahead on a thread of its own and decodes the streams side by
  // side, one thread each; false does everything in the caller's thread.
  // The result is the same either way.
  bool threads = true;
  // When set, `threads` is not read: the helper threads (reading ahead,
  // the team) start only once a spare core can be taken from it, which
  // may be part way through, and the core is handed back at the end.
  CCoreBudget* cores = nullptr;
  // Where the recording can be read again exactly (a seekable file of
  // plain samples at 40 kHz or more, one channel per stream), the retry
  // readers read a block again from it only when the first readers fail
  // it, instead of reading every block side by side with them. The blocks
  // are the same either way; false keeps them side by side.
  bool rereadRetries = true;
  // The files to write besides the listing. With a format that keeps the
  // tape's parts (TZX, PZX, CSW) its other parts (turbo blocks, tones,
  // pulse sequences, pauses) are found too: turbo blocks then also appear
  // in the listing and the report.
  OutputFormats formats;
};

struct RobustReport : RunReport {
  // Reading failed part way (its seconds say where): the outputs hold what
  // came before. NONE when the whole recording was read.
  Failure readStop;
  InputInfo info;         // what the recording is
  double sampleRate = 0.0;  // the rate the streams are decoded at
  double seconds = 0.0;   // how much of it was decoded
  std::vector<ChannelChoice> streams;  // the streams decoded, as BlockSummary::stream counts them
  std::vector<BlockSummary> blocks;
  int goodBlocks = 0;
  int badBlocks = 0;
  // With TZX or PZX output: what the tape holds, as the images keep it.
  bool structured = false;
  PartTally tally;
  SignalShares shares;
};

// The report's view of one block, numbered `number`: everything but what
// depends on its neighbours (announced, cut).
BlockSummary SummariseBlock(const TapeBlock& block, int number);
// Fills what depends on neighbours and on where reading ended: the length
// each header announces for the block after it, and the bad blocks that
// the end of the recording (or of what could be read) cut short.
void ExplainBlocks(std::vector<BlockSummary>& blocks, double endSeconds, bool readStopped);
// The shares of a tape's parts, added one at a time in recording order.
class CShareMeter {
 public:
  void Add(const TapePart& part);
  // The shares in a recording `seconds` long.
  SignalShares Shares(double seconds) const;

 private:
  double m_blocks = 0.0, m_tones = 0.0, m_pauses = 0.0;
  double m_at = 0.0;  // the furthest end so far
};

// The shares of `parts` (a whole tape in recording order) in a recording
// of `seconds`.
SignalShares MeasureShares(const std::vector<TapePart>& parts, double seconds);

// Decodes `fileName` with the robust method, handing every block with
// bytes to `onBlock` in tape order and summarising it in report.blocks.
// Returns false when the recording cannot be opened or decoded (the
// report's failure says why) or when options.cancel stopped it
// (CANCELLED; the blocks handed over so far stay in the report); a
// read error part way through keeps what came before (readStop) and
// returns true.
bool DecodeRecording(const std::string& fileName, const RobustRunOptions& options,
                     const std::function<void(TapeBlock&&)>& onBlock, RobustReport& report);

// Converts `fileName` into TITLE.txt (the listing in the classic format)
// and the images options.formats asks for (TITLE.tap by default), all
// written as the recording streams: memory does not grow with it. Any
// earlier files of those names stay untouched unless the new set is
// complete; a recording named like one of its outputs is refused
// (OUTPUT_IS_INPUT). A read error part way through keeps what was
// decoded before it (readStop).
RobustReport RunRobustConversion(const std::string& fileName, const std::string& title,
                                 const RobustRunOptions& options);

}  // namespace tapedecoder

#endif  // TAPEDECODER_CONVERT_ROBUST_RUN_H_
