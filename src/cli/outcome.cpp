#include "cli/outcome.h"

#include <algorithm>

#include "cli/cli_options.h"

namespace tapedecoder {

Outcome OutcomeOf(const Failure& failure, int badBlocks, bool readStopped) {
  switch (failure.kind) {
    case FailureKind::NONE: return badBlocks > 0 || readStopped ? Outcome::DAMAGED : Outcome::ALL_GOOD;
    case FailureKind::NOTHING_FOUND: return Outcome::NOTHING_FOUND;
    case FailureKind::TAKES_DIFFER: return Outcome::REFUSED;
    default: return Outcome::NOT_CONVERTED;
  }
}

int ExitStatus(const std::vector<Outcome>& outcomes) {
  const Outcome worst =
      outcomes.empty() ? Outcome::ALL_GOOD : *std::max_element(outcomes.begin(), outcomes.end());
  switch (worst) {
    case Outcome::ALL_GOOD: return EXIT_ALL_GOOD;
    case Outcome::DAMAGED: return EXIT_DAMAGED;
    case Outcome::NOTHING_FOUND: return EXIT_NOTHING_FOUND;
    case Outcome::NOT_CONVERTED: return EXIT_NOT_CONVERTED;
    case Outcome::REFUSED: return EXIT_USAGE;
  }
  return EXIT_NOT_CONVERTED;
}

}  // namespace tapedecoder
