#include "convert/output_formats.h"

#include "tape/tape_output.h"
#include "tapefile/tape_image.h"

namespace tapedecoder {

namespace {

// The .tap and the listing: the block sinks of the classic outputs.
template <typename Sink>
class BlockWriter : public TapeWriter {
 public:
  BlockWriter(COutputSet& set, int index, bool onlyDecoded)
      : m_sink(set, index), m_onlyDecoded(onlyDecoded) {}
  void Block(const TapeBlock& block, bool decoded) override {
    if (decoded || !m_onlyDecoded) m_sink.Take(block);
  }
  bool Finish(double) override { return true; }

 private:
  Sink m_sink;
  bool m_onlyDecoded;
};

std::unique_ptr<TapeWriter> MakeTap(const OutputTarget& target, const TapeContext&) {
  return std::make_unique<BlockWriter<CTapImageWriter>>(target.set, target.index, true);
}

std::unique_ptr<TapeWriter> MakeListing(const OutputTarget& target, const TapeContext&) {
  return std::make_unique<BlockWriter<CListingWriter>>(target.set, target.index, false);
}

template <std::unique_ptr<TapeWriter> (*Make)(ByteSink&, const TapeContext&)>
std::unique_ptr<TapeWriter> MakeImage(const OutputTarget& target, const TapeContext& context) {
  return Make(target.sink, context);
}

}  // namespace

const std::vector<OutputFormat>& AllFormats() {
  static const std::vector<OutputFormat> formats = {
      {"tap", "tap", TapeNeeds::BLOCKS, false, &MakeTap},
      {"txt", "txt", TapeNeeds::BLOCKS, true, &MakeListing},
      {"tzx", "tzx", TapeNeeds::PARTS, false, &MakeImage<&MakeTzxWriter>},
      {"pzx", "pzx", TapeNeeds::PARTS, false, &MakeImage<&MakePzxWriter>},
      {"csw", "csw", TapeNeeds::PARTS, false, &MakeImage<&MakeCswWriter>},
  };
  return formats;
}

const OutputFormat* FindFormat(const std::string& name) {
  for (const OutputFormat& format : AllFormats())
    if (name == format.name) return &format;
  return nullptr;
}

OutputFormats::OutputFormats() { Add("tap"); }

OutputFormats OutputFormats::None() {
  OutputFormats none;
  none.m_chosen = 0;
  return none;
}

bool OutputFormats::Add(const std::string& name) {
  const OutputFormat* format = FindFormat(name);
  if (format == nullptr || format->always) return false;
  m_chosen |= 1u << (format - AllFormats().data());
  return true;
}

bool OutputFormats::Has(const std::string& name) const {
  const OutputFormat* format = FindFormat(name);
  return format != nullptr && Writes(*format);
}

bool OutputFormats::Writes(const OutputFormat& format) const {
  return format.always || (m_chosen >> (&format - AllFormats().data()) & 1u) != 0;
}

bool OutputFormats::Need(TapeNeeds needs) const {
  for (const OutputFormat& format : AllFormats())
    if (format.needs == needs && Writes(format)) return true;
  return false;
}

std::string OutputFormats::AllNames() {
  OutputFormats all = None();
  for (const OutputFormat& format : AllFormats()) all.Add(format.name);
  return all.Names();
}

std::string OutputFormats::Names() const {
  std::string names;
  for (const OutputFormat& format : AllFormats()) {
    if (format.always || !Writes(format)) continue;
    names += (names.empty() ? "" : ",") + std::string(format.name);
  }
  return names;
}

}  // namespace tapedecoder
