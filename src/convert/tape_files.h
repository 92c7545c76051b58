// Writing one tape's output set: the one path every run (classic, robust,
// merge) and the front ends take to files.
#ifndef TAPEDECODER_CONVERT_TAPE_FILES_H_
#define TAPEDECODER_CONVERT_TAPE_FILES_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/failure.h"
#include "convert/output_formats.h"
#include "io/output_set.h"
#include "tapefile/tape_writer.h"

namespace tapedecoder {

// What every run reports (the classic, robust and merge reports build on
// it), for the front ends to put into words: how it ended and the files it
// wrote.
struct RunReport {
  // NONE when every output is written; otherwise why not. Its class says
  // what stopped the run: the recording (INPUT), the outputs (OUTPUT),
  // memory, or what was read (TAPE: nothing found, different tapes).
  Failure failure;
  std::vector<std::string> outputs;  // every file written, in the formats' order

  bool Written() const { return !failure; }
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
  // whatever the spelling) fails the run with OUTPUT_IS_INPUT before
  // anything is made.
  std::vector<std::string> inputs;
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
  // cannot be made: the producer returns Error() then.
  bool Start(const TapeContext& context);
  // Why the output set failed (NONE while it has not).
  const Failure& Error() const { return m_set.Error(); }
  bool Started() const { return m_started; }

  void Block(const TapeBlock& block, bool decoded = true);
  void Part(const TapePart& part);
  // The tape's length, for the writers' last pause (0: untimed).
  void End(double recordingSeconds) { m_seconds = recordingSeconds; }
  // The outputs' paths, in the table's order (after Start).
  std::vector<std::string> Paths() const;
  // Called once every writer has finished, before the set commits: it may
  // add outputs of its own (a report). False fails the run with the set's
  // failure.
  std::function<bool(COutputSet&)> beforeCommit;
  // Sets beforeCommit to call `add` (when there is one) with the run's
  // report, its outputs filled in: a report file describes the whole set.
  // `report` and `add` must outlive the commit.
  template <typename Report>
  void ReportBeforeCommit(Report& report, const std::function<bool(COutputSet&, const Report&)>& add) {
    if (!add) return;
    beforeCommit = [this, &report, &add](COutputSet& set) {
      report.outputs = Paths();
      return add(set, report);
    };
  }

 private:
  friend RunReport WriteTape(const TapeRequest&, const std::function<Failure(CTapeFeed&)>&);
  struct Output;
  bool Finish(Failure& failure);

  const TapeRequest& m_request;
  COutputSet& m_set;
  std::vector<std::unique_ptr<Output>> m_outputs;
  bool m_started = false;
  double m_seconds = 0.0;
};

// Writes one tape: refuses outputs named like an input, calls `produce`
// (which opens its input, calls feed.Start, feeds the tape and returns
// no failure, or the one it failed with), finishes every writer and
// commits the set. Any earlier files of the outputs' names stay untouched
// unless the whole new set is written; running out of memory anywhere
// (std::bad_alloc) gives NO_MEMORY with the earlier files kept. Prints
// nothing; progress is the producer's to report.
RunReport WriteTape(const TapeRequest& request, const std::function<Failure(CTapeFeed&)>& produce);

}  // namespace tapedecoder

#endif  // TAPEDECODER_CONVERT_TAPE_FILES_H_
