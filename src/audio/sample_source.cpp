#include "audio/sample_source.h"

namespace tapedecoder {

std::unique_ptr<CSampleSource> OpenSampleSource(const std::string& path, Failure& error) {
  error = Failure{};
  std::unique_ptr<CFileByteSource> file = CFileByteSource::Open(path, error);
  if (!file) return nullptr;
  std::uint8_t head[CSW_SIGNATURE_SIZE];
  const std::size_t got = file->ReadAt(0, head, sizeof head);
  if (file->OsError() != 0) {
    error.kind = FailureKind::READ_ERROR;
    error.osError = file->OsError();
    return nullptr;
  }
  if (HasCswSignature(head, got)) return OpenCswSource(std::move(file), error);
  return OpenSoundFileSource(std::move(file), error);
}

}  // namespace tapedecoder
