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
#include <utility>
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

// One stage of a pipeline over a stream of sample chunks: Push() hands a
// chunk to the stage's work, which runs on a thread of its own up to DEPTH
// chunks behind the caller (or at once in the caller's, without a
// thread), and Take() gives back, in the order the chunks were pushed,
// what the caller's thread is to do with each chunk's outcome. The work
// sees its chunks in order, one at a time, and must touch nothing the
// caller touches meanwhile; the outcomes reach the caller in the same
// order whatever the timing, so the result never depends on it. Memory:
// DEPTH copies of a chunk.
class CChunkStage {
 public:
  using Outcome = std::function<void()>;
  using Work = std::function<Outcome(const float*, std::size_t)>;
  static constexpr std::size_t DEPTH = 4;

  // `threaded` false works in the caller's thread, in Push().
  CChunkStage(Work work, bool threaded);
  ~CChunkStage();
  CChunkStage(const CChunkStage&) = delete;
  CChunkStage& operator=(const CChunkStage&) = delete;

  // From the next chunk on, works on a thread of its own. Called between
  // chunks, once every outcome pushed so far has been taken.
  void Thread();
  // True when a chunk pushed has not been taken yet.
  bool Pending() const { return m_taken < m_pushed; }
  // True when the oldest chunk not taken yet has been worked on (or when
  // the stage is full, so that the next Push() would have to wait).
  bool Ready();
  // Queues a chunk (copied). REQUIRES: fewer than DEPTH pending.
  void Push(const float* samples, std::size_t count);
  bool Full() const { return m_pushed - m_taken >= DEPTH; }
  // The outcome of the oldest chunk not taken yet, waiting for it.
  // REQUIRES: Pending(). Rethrows what the work threw.
  Outcome Take();

 private:
  struct Slot {
    std::vector<float> samples;
    std::size_t count = 0;
    Outcome outcome;
    std::exception_ptr failure;
  };
  void Run();

  Work m_work;
  Slot m_slots[DEPTH];
  std::size_t m_pushed = 0;  // the caller's
  std::size_t m_taken = 0;   // the caller's
  std::size_t m_queued = 0;  // chunks pushed, as the thread sees them
  std::size_t m_done = 0;    // chunks worked on
  bool m_stop = false;
  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::thread m_thread;
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
