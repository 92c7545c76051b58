// Whole images in memory, through the streaming writers.
#include "tapefile/tape_image.h"

#include <cstring>

namespace tapedecoder {

void CMemorySink::Write(const void* bytes, std::size_t count) {
  const auto* data = static_cast<const std::uint8_t*>(bytes);
  m_bytes.insert(m_bytes.end(), data, data + count);
}

void CMemorySink::Overwrite(std::uint64_t offset, const void* bytes, std::size_t count) {
  std::memcpy(m_bytes.data() + offset, bytes, count);
}

namespace {

using Maker = std::unique_ptr<TapeWriter> (*)(ByteSink&, const TapeContext&);

template <typename Part>
ImageResult WholeImage(Maker make, const std::vector<Part>& parts, double seconds,
                       const ImageInfo& info, bool timed) {
  CMemorySink sink;
  TapeContext context;
  context.info = info;
  context.timed = timed;
  std::unique_ptr<TapeWriter> writer = make(sink, context);
  for (const Part& part : parts) writer->Part(TapePart(part));
  writer->Finish(seconds);
  ImageResult result;
  result.bytes = std::move(sink.Bytes());
  return result;
}

}  // namespace

ImageResult WriteTzx(const std::vector<TapePart>& parts, double recordingSeconds,
                     const ImageInfo& info) {
  return WholeImage(&MakeTzxWriter, parts, recordingSeconds, info, true);
}

ImageResult WritePzx(const std::vector<TapePart>& parts, double recordingSeconds,
                     const ImageInfo& info) {
  return WholeImage(&MakePzxWriter, parts, recordingSeconds, info, true);
}

ImageResult WriteTzxBlocks(const std::vector<TapeBlock>& blocks, const ImageInfo& info) {
  return WholeImage(&MakeTzxWriter, blocks, 0.0, info, false);
}

ImageResult WritePzxBlocks(const std::vector<TapeBlock>& blocks, const ImageInfo& info) {
  return WholeImage(&MakePzxWriter, blocks, 0.0, info, false);
}

std::string ImageInfoText(const ImageInfo& info, std::size_t limit) {
  std::string text = "Created by " + info.tool;
  if (!info.sourceName.empty()) text += " from " + info.sourceName;
  if (text.size() > limit) {
    std::size_t cut = limit;
    // Back off continuation bytes so no character is split.
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    text.resize(cut);
  }
  return text;
}

}  // namespace tapedecoder
