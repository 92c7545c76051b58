// Writing one tape's output set: the one path every run (classic, robust,
// merge) and the front ends take to files.
#ifndef TAPEDECODER_CONVERT_TAPE_FILES_H_
#define TAPEDECODER_CONVERT_TAPE_FILES_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "convert/output_formats.h"
#include "io/output_set.h"
#include "tapefile/tape_writer.h"

namespace tapedecoder {

// How a conversion ended.
enum class ConversionStatus : std::uint8_t {
  COMPLETE,       // both outputs are completely written
  CANNOT_OPEN,    // the recording cannot be opened or is not accepted
  CANNOT_WRITE,   // the outputs cannot be created or completely written
  NO_MEMORY,      // memory for the samples or for a block ran out
  NOTHING_FOUND,  // no block was found, and nothing was written (when asked)
  TAKES_DIFFER,   // takes to merge share no verified block: different tapes
};

// The name of output `extension` ("tap") of `title` (which may name a
// folder, "out/game"): "out/game.tap".
std::string OutputPath(const std::string& title, const char* extension);

// The name the tape images give as the tool that made them.
std::string ToolName();

struct TapeRequest {
  std::string title;                // the outputs are TITLE.EXTENSION
  OutputFormats formats;
  // Files never replaced: an output named like one of them (the same file,
  // whatever the spelling) fails the run with IS_INPUT before anything is
  // made.
  std::vector<std::string> inputs;
};

struct TapeResult {
  // COMPLETE, CANNOT_WRITE (output says why), NO_MEMORY, or what the
  // producer returned.
  ConversionStatus status = ConversionStatus::CANNOT_WRITE;
  OutputFailure output;
  std::vector<std::string> outputs;  // the files written, in the table's order
};

// What a producer hands the tape to: Start once, then the tape in order,
// then End.
class CTapeFeed {
 public:
  CTapeFeed(const TapeRequest& request, COutputSet& set);
  ~CTapeFeed();

  // True when a format written consumes `needs` (the producer need not
  // make what nobody takes).
  bool Needs(TapeNeeds needs) const { return m_request.formats.Need(needs); }
  // Creates the outputs (after the producer opened its input, so that an
  // input that cannot be opened is reported as such). False when one
  // cannot be made: the producer returns CANNOT_WRITE then.
  bool Start(const TapeContext& context);
  bool Started() const { return m_started; }

  void Block(const TapeBlock& block, bool decoded = true);
  void Part(const TapePart& part);
  // The tape's length, for the writers' last pause (0: untimed).
  void End(double recordingSeconds) { m_seconds = recordingSeconds; }
  // The outputs' paths, in the table's order (after Start).
  std::vector<std::string> Paths() const;
  // Called once every writer has finished, before the set commits: it may
  // add outputs of its own (a report). False fails the run (CANNOT_WRITE).
  std::function<bool(COutputSet&)> beforeCommit;

 private:
  friend TapeResult WriteTape(const TapeRequest&, const std::function<ConversionStatus(CTapeFeed&)>&);
  struct Output;
  bool Finish(OutputFailure& failure);

  const TapeRequest& m_request;
  COutputSet& m_set;
  std::vector<std::unique_ptr<Output>> m_outputs;
  bool m_started = false;
  double m_seconds = 0.0;
};

// Writes one tape: refuses outputs named like an input, calls `produce`
// (which opens its input, calls feed.Start, feeds the tape and returns
// COMPLETE, or the status it failed with), finishes every writer and
// commits the set. Any earlier files of the outputs' names stay untouched
// unless the whole new set is written; running out of memory anywhere
// (std::bad_alloc) gives NO_MEMORY with the earlier files kept. Prints
// nothing; progress is the producer's to report.
TapeResult WriteTape(const TapeRequest& request,
                     const std::function<ConversionStatus(CTapeFeed&)>& produce);

}  // namespace tapedecoder

#endif  // TAPEDECODER_CONVERT_TAPE_FILES_H_
