// The output formats, in one table: each row names a format, its file
// extension, what of the tape its writer needs and how to make the writer.
// Adding a format is one writer (tapefile/tape_writer.h) and one row.
#ifndef TAPEDECODER_CONVERT_OUTPUT_FORMATS_H_
#define TAPEDECODER_CONVERT_OUTPUT_FORMATS_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "io/output_set.h"
#include "tapefile/tape_writer.h"

namespace tapedecoder {

// What a writer consumes of the tape.
enum class TapeNeeds : std::uint8_t {
  BLOCKS,  // the decoded blocks (TapeWriter::Block)
  PARTS,   // the tape's parts: with the robust method every stretch of the
           // recording (turbo blocks, tones, pulses, pauses) in its timing
};

// Where a writer writes: output `index` of `set`, also as a byte sink.
struct OutputTarget {
  COutputSet& set;
  int index;
  ByteSink& sink;
};

struct OutputFormat {
  const char* name;       // as --format takes it
  const char* extension;  // TITLE.extension
  TapeNeeds needs;
  bool always;            // written whatever is chosen (the listing)
  std::unique_ptr<TapeWriter> (*make)(const OutputTarget& target, const TapeContext& context);
};

// Every format, in the order the outputs are made and reported.
const std::vector<OutputFormat>& AllFormats();

// The row named `name`; null when there is none.
const OutputFormat* FindFormat(const std::string& name);

// The formats a run writes besides those always written; TITLE.tap by
// default.
class OutputFormats {
 public:
  OutputFormats();
  static OutputFormats None();
  // Adds the format `name`; false when there is no such format.
  bool Add(const std::string& name);
  bool Has(const std::string& name) const;
  // True when `format` is written: chosen, or always written.
  bool Writes(const OutputFormat& format) const;
  // True when some format written needs `needs`.
  bool Need(TapeNeeds needs) const;
  // The chosen names, comma-separated in table order ("tap,tzx").
  std::string Names() const;
  // Every name --format takes, comma-separated in table order.
  static std::string AllNames();

 private:
  std::uint32_t m_chosen = 0;  // bit k: row k of AllFormats()
};

}  // namespace tapedecoder

#endif  // TAPEDECODER_CONVERT_OUTPUT_FORMATS_H_
