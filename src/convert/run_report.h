// The machine-readable report of a run (TITLE.json): what each recording
// is, how much of it the blocks, tones and pauses account for, and every
// block with its timings, verdict and CRC-32. Pure functions from the run's
// report to text; the front end adds the file to the output set and gives
// the warnings in its own words.
#ifndef TAPEDECODER_CONVERT_RUN_REPORT_H_
#define TAPEDECODER_CONVERT_RUN_REPORT_H_

#include <string>
#include <vector>

#include "convert/merge_run.h"
#include "convert/robust_run.h"

namespace tapedecoder {

// `text` as a JSON string literal, quotes included: ", \ and control
// characters escaped, invalid UTF-8 replaced by U+FFFD.
std::string JsonString(const std::string& text);

// The report of one robust conversion of `recording` into `title`.
std::string RobustReportJson(const std::string& title, const std::string& recording,
                             const RobustReport& report, const std::vector<std::string>& warnings);

// The report of a merge of `takes` into `title`; warnings[t] are take t's.
std::string MergeReportJson(const std::string& title, const std::vector<std::string>& takes,
                            const MergeReport& report,
                            const std::vector<std::vector<std::string>>& warnings);

}  // namespace tapedecoder

#endif  // TAPEDECODER_CONVERT_RUN_REPORT_H_
