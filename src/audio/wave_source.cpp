#include "audio/wave_source.h"

namespace tapedecoder {

bool CWaveSource::Open(const std::string& fileName) {
  Release();
  Failure error;
  const std::unique_ptr<CFileByteSource> file = CFileByteSource::Open(fileName, error);
  if (!file) {
    m_lastError = FailureKind::CANNOT_OPEN;
    return false;
  }
  return OpenReader(*file);
}

bool CWaveSource::OpenMemory(const std::uint8_t* bytes, std::size_t size) {
  CMemoryByteSource reader(bytes, size);
  return OpenReader(reader);
}

bool CWaveSource::OpenReader(Reader& reader) {
  Release();
  m_lastError = LoadWave(reader, m_frames);
  if (m_lastError != FailureKind::NONE) Release();
  return m_lastError == FailureKind::NONE;
}

void CWaveSource::Release() {
  std::vector<std::uint8_t>().swap(m_frames.bytes);
  m_frames.frameCount = 0;
  m_cursor.Rewind();
  m_level.Reset();
}

void CWaveSource::SetChannels(std::uint8_t useLeft, std::uint8_t useRight) {
  m_frames.useLeft = useLeft;
  m_frames.useRight = useRight;
  m_level.Reset();
}

}  // namespace tapedecoder
