// A few threads that run the tasks of one step side by side: Run(count, f)
// calls f(0) ... f(count - 1), each once, on the team's threads and the
// caller's, and returns when all are done. Tasks of one step must not
// touch each other's data; what they leave is then the same whatever the
// threads' timing.
#ifndef TAPEDECODER_CONVERT_TASK_TEAM_H_
#define TAPEDECODER_CONVERT_TASK_TEAM_H_

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace tapedecoder {

class CTaskTeam {
 public:
  // `threads` besides the caller's; 0 runs every task in the caller's.
  explicit CTaskTeam(std::size_t threads);
  ~CTaskTeam();
  CTaskTeam(const CTaskTeam&) = delete;
  CTaskTeam& operator=(const CTaskTeam&) = delete;

  // Rethrows the first exception a task threw (by task number), once all
  // have ended.
  void Run(std::size_t count, const std::function<void(std::size_t)>& task);
  // Adds threads until there are `threads` besides the caller's. Called
  // from the caller's thread between steps.
  void Grow(std::size_t threads);

 private:
  void Work();
  // Runs tasks of the current step until none is left.
  void Drain(std::unique_lock<std::mutex>& lock);

  std::vector<std::thread> m_threads;
  std::mutex m_mutex;
  std::condition_variable m_wake;  // a step has begun, or the team ends
  std::condition_variable m_done;  // a task of the step has ended
  const std::function<void(std::size_t)>* m_task = nullptr;
  std::size_t m_count = 0;
  std::size_t m_next = 0;      // the next task to start
  std::size_t m_finished = 0;  // tasks of the step ended
  std::size_t m_step = 0;      // steps begun, so that a thread joins each once
  std::vector<std::exception_ptr> m_failures;
  bool m_stop = false;
};

// The spare cores of conversions run side by side: each run holds one
// core for its own thread and takes a spare one for its helper threads
// (reading ahead, a team) only while one is free, so that runs in
// parallel keep to the cores they were given rather than crowd them, and
// a run left alone at the end of a batch takes up the cores freed.
// Thread-safe.
class CCoreBudget {
 public:
  explicit CCoreBudget(int spare) : m_spare(spare) {}
  // Takes a spare core; false when none is free.
  bool Take() {
    int spare = m_spare.load(std::memory_order_relaxed);
    while (spare > 0)
      if (m_spare.compare_exchange_weak(spare, spare - 1, std::memory_order_relaxed)) return true;
    return false;
  }
  // Hands a core back (one taken, or a run's own once it is done).
  void Give() { m_spare.fetch_add(1, std::memory_order_relaxed); }

 private:
  std::atomic<int> m_spare;
};

}  // namespace tapedecoder

#endif  // TAPEDECODER_CONVERT_TASK_TEAM_H_
