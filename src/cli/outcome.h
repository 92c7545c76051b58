// What a conversion came to, and the exit status of a whole run: the one
// place that maps the core's outcomes onto the program's exit statuses.
#ifndef TAPEDECODER_CLI_OUTCOME_H_
#define TAPEDECODER_CLI_OUTCOME_H_

#include <cstdint>
#include <vector>

#include "convert/conversion_run.h"

namespace tapedecoder {

// Ordered from best to worst: a run ends with the worst of its recordings'.
enum class Outcome : std::uint8_t {
  ALL_GOOD,       // written, every block good
  DAMAGED,        // written, but some block bad or cut short, or reading stopped early
  NOTHING_FOUND,  // no block found: nothing written
  NOT_CONVERTED,  // the recording could not be read, or the outputs not written
  REFUSED,        // refused as asked (takes of different tapes): a usage error
};

// The outcome of one conversion (or merge) that ended with `failure`.
Outcome OutcomeOf(const Failure& failure, int badBlocks, bool readStopped);

// The exit status of a run whose recordings ended with `outcomes` (none:
// all good): the worst outcome's status.
int ExitStatus(const std::vector<Outcome>& outcomes);

}  // namespace tapedecoder

#endif  // TAPEDECODER_CLI_OUTCOME_H_
