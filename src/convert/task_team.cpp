#include "convert/task_team.h"

namespace tapedecoder {

CTaskTeam::CTaskTeam(std::size_t threads) { Grow(threads); }

void CTaskTeam::Grow(std::size_t threads) {
  // A thread added after some steps finds the last one over and waits.
  while (m_threads.size() < threads) m_threads.emplace_back([this] { Work(); });
}

CTaskTeam::~CTaskTeam() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stop = true;
  }
  m_wake.notify_all();
  for (std::thread& thread : m_threads) thread.join();
}

void CTaskTeam::Run(std::size_t count, const std::function<void(std::size_t)>& task) {
  if (count == 0) return;
  std::unique_lock<std::mutex> lock(m_mutex);
  m_task = &task;
  m_count = count;
  m_next = 0;
  m_finished = 0;
  m_failures.assign(count, nullptr);
  ++m_step;
  if (count > 1) m_wake.notify_all();
  Drain(lock);
  m_done.wait(lock, [this] { return m_finished == m_count; });
  m_task = nullptr;
  for (const std::exception_ptr& failure : m_failures)
    if (failure) std::rethrow_exception(failure);
}

void CTaskTeam::Drain(std::unique_lock<std::mutex>& lock) {
  while (m_next < m_count) {
    const std::size_t index = m_next++;
    const std::function<void(std::size_t)>& task = *m_task;
    lock.unlock();
    std::exception_ptr failure;
    try {
      task(index);
    } catch (...) {
      failure = std::current_exception();
    }
    lock.lock();
    m_failures[index] = failure;
    if (++m_finished == m_count) m_done.notify_all();
  }
}

void CTaskTeam::Work() {
  std::size_t seen = 0;
  std::unique_lock<std::mutex> lock(m_mutex);
  for (;;) {
    m_wake.wait(lock, [&] { return m_stop || m_step != seen; });
    if (m_stop) return;
    seen = m_step;
    Drain(lock);
  }
}

CChunkStage::CChunkStage(Work work, bool threaded) : m_work(std::move(work)) {
  if (threaded) Thread();
}

CChunkStage::~CChunkStage() {
  if (!m_thread.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stop = true;
  }
  m_changed.notify_all();
  m_thread.join();
}

void CChunkStage::Thread() {
  if (m_thread.joinable()) return;
  m_queued = m_done = m_pushed;
  m_thread = std::thread([this] { Run(); });
}

bool CChunkStage::Ready() {
  if (!Pending()) return false;
  if (!m_thread.joinable() || Full()) return true;
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_done > m_taken;
}

void CChunkStage::Push(const float* samples, std::size_t count) {
  Slot& slot = m_slots[m_pushed % DEPTH];
  if (!m_thread.joinable()) {
    // Worked on at once, as a serial run does it.
    slot.failure = nullptr;
    try {
      slot.outcome = m_work(samples, count);
    } catch (...) {
      slot.failure = std::current_exception();
    }
    ++m_pushed;
    return;
  }
  // The slot is free: its last outcome has been taken.
  slot.samples.assign(samples, samples + count);
  slot.count = count;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_queued = ++m_pushed;
  }
  m_changed.notify_all();
}

CChunkStage::Outcome CChunkStage::Take() {
  Slot& slot = m_slots[m_taken % DEPTH];
  if (m_thread.joinable()) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [this] { return m_done > m_taken; });
  }
  ++m_taken;
  Outcome outcome = std::move(slot.outcome);
  slot.outcome = nullptr;
  if (slot.failure) {
    std::exception_ptr failure = slot.failure;
    slot.failure = nullptr;
    std::rethrow_exception(failure);
  }
  return outcome;
}

void CChunkStage::Run() {
  std::unique_lock<std::mutex> lock(m_mutex);
  for (;;) {
    m_changed.wait(lock, [this] { return m_stop || m_queued > m_done; });
    if (m_stop) return;
    Slot& slot = m_slots[m_done % DEPTH];
    lock.unlock();
    slot.failure = nullptr;
    try {
      slot.outcome = m_work(slot.samples.data(), slot.count);
    } catch (...) {
      slot.failure = std::current_exception();
    }
    lock.lock();
    ++m_done;
    m_changed.notify_all();
  }
}

}  // namespace tapedecoder
