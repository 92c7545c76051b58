// Several recordings converted at once, printed as one after the other:
// each run writes to Out() and Err(), which hold its lines back while runs
// overlap; they are printed run by run in the order of the runs, standard
// output and standard error interleaved as the run wrote them.
#ifndef TAPEDECODER_CLI_PARALLEL_RUNS_H_
#define TAPEDECODER_CLI_PARALLEL_RUNS_H_

#include <cstddef>
#include <functional>
#include <ostream>
#include <vector>

#include "convert/task_team.h"

namespace tapedecoder {

// Where the current run prints: std::cout and std::cerr, or its held lines.
std::ostream& Out();
std::ostream& Err();
// True while the current run's lines are held back (a progress line would
// then mix with other runs').
bool HoldingLines();

// The spare cores the current run may take for its helper threads (see
// CCoreBudget); null outside RunInOrder.
CCoreBudget* SpareCores();

// Runs run(0) ... run(count - 1), up to `jobs` at once (serially, printing
// straight away, when jobs <= 1 or count <= 1), and returns their results
// in order. The runs must share nothing but what they print and
// SpareCores(): `jobs` cores in all, one held by each run under way.
std::vector<int> RunInOrder(std::size_t count, int jobs, const std::function<int(std::size_t)>& run);

}  // namespace tapedecoder

#endif  // TAPEDECODER_CLI_PARALLEL_RUNS_H_
