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

// One stage of a pipeline over a stream of chunks (of samples, edges,
// ...): Push() hands a chunk to the stage's work, which runs on a thread
// of its own up to DEPTH chunks behind (or at once in the pushing thread,
// without a thread of its own), and Take() gives back, in the order the
// chunks were pushed, what the taker's thread is to do with each chunk's
// outcome. The work sees its chunks in order, one at a time, and must
// touch nothing the other threads touch meanwhile; the outcomes come back
// in the same order whatever the timing, so the result never depends on
// it. One thread pushes and one takes (they may be the same, or the work
// of a stage before). Memory: DEPTH copies of a chunk.
template <typename T>
class CPipeStage {
 public:
  using Outcome = std::function<void()>;
  using Work = std::function<Outcome(const T*, std::size_t)>;
  // Deep enough that the taker runs on while the work lingers over a
  // chunk that ends a long stretch (the segmenter concludes a run then),
  // shallow enough to keep a stage of samples' chunks small in memory.
  static constexpr std::size_t DEPTH = 6;

  // `threaded` false works in the pushing thread, in Push().
  CPipeStage(Work work, bool threaded) : m_work(std::move(work)) {
    if (threaded) Thread();
  }
  ~CPipeStage() {
    if (!m_thread.joinable()) return;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_stop = true;
    }
    m_changed.notify_all();
    m_thread.join();
  }
  CPipeStage(const CPipeStage&) = delete;
  CPipeStage& operator=(const CPipeStage&) = delete;

  // From the next chunk on, works on a thread of its own. Called between
  // chunks, while nothing is pushed.
  void Thread() {
    if (!m_thread.joinable()) m_thread = std::thread([this] { Run(); });
  }
  // True when the stage works on a thread of its own.
  bool Threaded() const { return m_thread.joinable(); }
  // True when DEPTH chunks wait to be taken: a Push() would wait.
  bool Full() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_pushed - m_taken >= DEPTH;
  }
  // True when the oldest chunk not taken yet has been worked on.
  bool Ready() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_done > m_taken;
  }
  // Queues a chunk (copied), first waiting until fewer than DEPTH wait to
  // be taken (or the stage is being destroyed: the chunk is then dropped).
  void Push(const T* items, std::size_t count) {
    Queue([&](std::vector<T>& slotItems) { slotItems.assign(items, items + count); }, items, count);
  }
  // The same, but the stage takes the chunk's buffer for its own instead
  // of a copy, and hands `items` a buffer of its own to fill again (what
  // it holds is unspecified). Without a thread of its own the stage works
  // on `items` at once and leaves them as they were.
  void Push(std::vector<T>& items) {
    Queue([&](std::vector<T>& slotItems) { slotItems.swap(items); }, items.data(), items.size());
  }
  // The outcome of the oldest chunk not taken yet, waiting for it.
  // REQUIRES: a chunk was pushed and not taken. Rethrows what the work
  // threw.
  Outcome Take() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [this] { return m_done > m_taken; });
    Slot& slot = m_slots[m_taken % DEPTH];
    Outcome outcome = std::move(slot.outcome);
    slot.outcome = nullptr;
    std::exception_ptr failure = slot.failure;
    slot.failure = nullptr;
    ++m_taken;
    lock.unlock();
    m_changed.notify_all();
    if (failure) std::rethrow_exception(failure);
    return outcome;
  }

 private:
  struct Slot {
    std::vector<T> items;
    Outcome outcome;
    std::exception_ptr failure;
  };
  // Waits for a free slot, then fills it with `fill` (threaded) or works
  // on `items` at once.
  template <typename Fill>
  void Queue(const Fill& fill, const T* items, std::size_t count) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [this] { return m_stop || m_pushed - m_taken < DEPTH; });
    if (m_stop) return;
    Slot& slot = m_slots[m_pushed % DEPTH];
    if (!m_thread.joinable()) {
      // Worked on at once, as a serial run does it.
      lock.unlock();
      WorkOn(slot, items, count);
      lock.lock();
      m_done = ++m_pushed;
      return;
    }
    // The slot is free: its last outcome has been taken.
    lock.unlock();
    fill(slot.items);
    lock.lock();
    ++m_pushed;
    lock.unlock();
    m_changed.notify_all();
  }
  void WorkOn(Slot& slot, const T* items, std::size_t count) {
    try {
      slot.outcome = m_work(items, count);
    } catch (...) {
      slot.failure = std::current_exception();
    }
  }
  void Run() {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
      m_changed.wait(lock, [this] { return m_stop || m_pushed > m_done; });
      if (m_stop) return;
      Slot& slot = m_slots[m_done % DEPTH];
      lock.unlock();
      WorkOn(slot, slot.items.data(), slot.items.size());
      lock.lock();
      ++m_done;
      m_changed.notify_all();
    }
  }

  Work m_work;
  Slot m_slots[DEPTH];
  std::size_t m_pushed = 0;  // chunks pushed
  std::size_t m_done = 0;    // chunks worked on
  std::size_t m_taken = 0;   // outcomes taken
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
