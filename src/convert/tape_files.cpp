#include "convert/tape_files.h"

#include <filesystem>
#include <new>

namespace tapedecoder {

std::string OutputPath(const std::string& title, const char* extension) {
  return title + "." + extension;
}

std::string ToolName() { return std::string("tapedecoder ") + TAPEDECODER_VERSION; }

// One output: its writer and the sink into the set.
struct CTapeFeed::Output : ByteSink {
  Output(COutputSet& set, int index, TapeNeeds needs) : set(set), index(index), needs(needs) {}
  void Write(const void* bytes, std::size_t count) override { set.Write(index, bytes, count); }
  void Overwrite(std::uint64_t offset, const void* bytes, std::size_t count) override {
    set.Overwrite(index, offset, bytes, count);
  }
  COutputSet& set;
  int index;
  TapeNeeds needs;
  std::string path;
  std::unique_ptr<TapeWriter> writer;
};

CTapeFeed::CTapeFeed(const TapeRequest& request, COutputSet& set) : m_request(request), m_set(set) {}

CTapeFeed::~CTapeFeed() = default;

bool CTapeFeed::Start(const TapeContext& context) {
  m_started = true;
  for (const OutputFormat& format : AllFormats()) {
    if (!m_request.formats.Writes(format)) continue;
    const std::string path = OutputPath(m_request.title, format.extension);
    const int index = m_set.Add(path);
    if (index < 0) return false;
    auto output = std::make_unique<Output>(m_set, index, format.needs);
    output->path = path;
    output->writer = format.make(OutputTarget{m_set, index, *output}, context);
    m_outputs.push_back(std::move(output));
  }
  return true;
}

void CTapeFeed::Block(const TapeBlock& block, bool decoded) {
  for (auto& output : m_outputs)
    if (output->needs == TapeNeeds::BLOCKS) output->writer->Block(block, decoded);
}

void CTapeFeed::Part(const TapePart& part) {
  for (auto& output : m_outputs)
    if (output->needs == TapeNeeds::PARTS) output->writer->Part(part);
}

std::vector<std::string> CTapeFeed::Paths() const {
  std::vector<std::string> paths;
  for (const auto& output : m_outputs) paths.push_back(output->path);
  return paths;
}

bool CTapeFeed::Finish(Failure& failure) {
  for (auto& output : m_outputs) {
    if (!output->writer->Finish(m_seconds)) {
      failure = Failure(FailureKind::OUTPUT_CANNOT_WRITE, output->path);
      return false;
    }
  }
  return true;
}

RunReport WriteTape(const TapeRequest& request, const std::function<Failure(CTapeFeed&)>& produce) {
  RunReport result;
  try {
    // An output named like an input would replace it, and the input be lost.
    for (const OutputFormat& format : AllFormats()) {
      if (!request.formats.Writes(format)) continue;
      const std::string path = OutputPath(request.title, format.extension);
      for (const std::string& input : request.inputs) {
        std::error_code error;
        if (std::filesystem::equivalent(input, path, error)) {
          result.failure = Failure(FailureKind::OUTPUT_IS_INPUT, path);
          return result;
        }
      }
    }
    COutputSet set;
    CTapeFeed feed(request, set);
    result.failure = produce(feed);
    if (result.failure) return result;
    if ((!feed.Started() && !feed.Start(TapeContext())) || !feed.Finish(result.failure) ||
        (feed.beforeCommit && !feed.beforeCommit(set)) || !set.Commit()) {
      if (!result.failure) result.failure = set.Error();
      // A set that failed without saying why is still not written.
      if (!result.failure) result.failure.kind = FailureKind::OUTPUT_CANNOT_WRITE;
      return result;
    }
    result.outputs = feed.Paths();
    return result;
  } catch (const std::bad_alloc&) {
    // The output set is gone with its temporaries; earlier files stay.
    result.failure = Failure(FailureKind::NO_MEMORY, std::string());
    result.outputs.clear();
    return result;
  }
}

}  // namespace tapedecoder
