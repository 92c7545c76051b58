#include "audio/read_ahead.h"

namespace tapedecoder {

CReadAhead::CReadAhead(CSampleInput& input, std::size_t chunkSamples, bool threaded)
    : m_input(input), m_chunkSamples(chunkSamples), m_chunks(1) {
  if (threaded) Thread();
}

void CReadAhead::Thread() {
  if (m_thread.joinable() || m_ended) return;
  // The ring starts afresh: the chunk handed out last is no longer held.
  m_chunks.resize(CHUNKS);
  m_read = m_taken = 0;
  // Threads are welcome: the source may share its decoding too.
  m_input.AllowHelperThread();
  m_thread = std::thread([this] { Run(); });
}

CReadAhead::~CReadAhead() {
  if (!m_thread.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stop = true;
  }
  m_changed.notify_all();
  m_thread.join();
}

void CReadAhead::ReadInto(SampleChunk& chunk) {
  chunk.count = m_input.Read(chunk.streams, m_chunkSamples);
  chunk.progress = m_input.Progress();
  chunk.mixAlone = m_input.MixAlone();
  chunk.mixFixed = m_input.MixFixed();
}

SampleChunk& CReadAhead::Next() {
  if (!m_thread.joinable()) {
    SampleChunk& chunk = m_chunks.front();
    if (!m_ended) {
      ReadInto(chunk);
      m_ended = chunk.count == 0;
    }
    return chunk;
  }
  std::unique_lock<std::mutex> lock(m_mutex);
  // The chunk of count 0 is the last: it is handed out again.
  if (m_taken > 0 && m_chunks[(m_taken - 1) % CHUNKS].count == 0) return m_chunks[(m_taken - 1) % CHUNKS];
  ++m_taken;  // frees the chunk handed out before
  m_changed.notify_all();
  m_changed.wait(lock, [this] { return m_read >= m_taken || m_failure; });
  if (m_read < m_taken) std::rethrow_exception(m_failure);
  return m_chunks[(m_taken - 1) % CHUNKS];
}

void CReadAhead::Run() {
  for (;;) {
    std::size_t slot = 0;
    {
      std::unique_lock<std::mutex> lock(m_mutex);
      // The chunk the caller holds (the last handed out) stays untouched.
      m_changed.wait(lock, [this] {
        return m_stop || m_read < m_taken + CHUNKS - (m_taken > 0 ? 1 : 0);
      });
      if (m_stop) return;
      slot = m_read % CHUNKS;
    }
    SampleChunk& chunk = m_chunks[slot];
    std::exception_ptr failure;
    try {
      ReadInto(chunk);
    } catch (...) {
      failure = std::current_exception();
    }
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      if (failure) {
        m_failure = failure;
      } else {
        ++m_read;
      }
      m_ended = failure || chunk.count == 0;
    }
    m_changed.notify_all();
    if (m_ended) return;
  }
}

}  // namespace tapedecoder
