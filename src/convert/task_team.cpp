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

}  // namespace tapedecoder
