#include "cli/parallel_runs.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <iostream>
#include <memory>
#include <mutex>
#include <streambuf>
#include <string>
#include <thread>
#include <utility>

namespace tapedecoder {

namespace {

// What one run printed: pieces of text, each for standard output (false)
// or standard error (true), in the order written.
using Pieces = std::vector<std::pair<bool, std::string>>;

// A stream buffer that appends to a run's pieces.
class CPieceBuffer : public std::streambuf {
 public:
  CPieceBuffer(Pieces& pieces, bool error) : m_pieces(pieces), m_error(error) {}

 protected:
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    const char ch = traits_type::to_char_type(c);
    xsputn(&ch, 1);
    return c;
  }
  std::streamsize xsputn(const char* text, std::streamsize count) override {
    if (m_pieces.empty() || m_pieces.back().first != m_error) m_pieces.emplace_back(m_error, std::string());
    m_pieces.back().second.append(text, static_cast<std::size_t>(count));
    return count;
  }

 private:
  Pieces& m_pieces;
  bool m_error;
};

// The held lines of the run on this thread, if any.
struct Held {
  Pieces pieces;
  CPieceBuffer outBuffer{pieces, false};
  CPieceBuffer errBuffer{pieces, true};
  std::ostream out{&outBuffer};
  std::ostream err{&errBuffer};
};
thread_local Held* t_held = nullptr;
thread_local CCoreBudget* t_cores = nullptr;

}  // namespace

std::ostream& Out() { return t_held != nullptr ? t_held->out : std::cout; }
std::ostream& Err() { return t_held != nullptr ? t_held->err : std::cerr; }
bool HoldingLines() { return t_held != nullptr; }
CCoreBudget* SpareCores() { return t_cores; }

std::vector<int> RunInOrder(std::size_t count, int jobs, const std::function<int(std::size_t)>& run) {
  std::vector<int> results(count, 0);
  jobs = std::max(jobs, 1);
  const std::size_t workers = std::min(count, static_cast<std::size_t>(jobs));
  CCoreBudget cores(jobs - static_cast<int>(workers));
  if (workers <= 1) {
    t_cores = &cores;
    for (std::size_t i = 0; i < count; ++i) results[i] = run(i);
    t_cores = nullptr;
    return results;
  }
  std::vector<std::unique_ptr<Held>> held(count);
  std::vector<bool> done(count, false);
  std::mutex mutex;
  std::condition_variable finished;
  std::atomic<std::size_t> next{0};
  const auto work = [&] {
    t_cores = &cores;
    for (std::size_t i = next++; i < count; i = next++) {
      auto lines = std::make_unique<Held>();
      t_held = lines.get();
      const int result = run(i);
      t_held = nullptr;
      std::lock_guard<std::mutex> lock(mutex);
      results[i] = result;
      held[i] = std::move(lines);
      done[i] = true;
      finished.notify_all();
    }
    // No run left for this worker: its core goes to the runs still under way.
    cores.Give();
    t_cores = nullptr;
  };
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < workers; ++t) threads.emplace_back(work);
  // Each run's lines as soon as it and every run before it have ended.
  for (std::size_t i = 0; i < count; ++i) {
    std::unique_ptr<Held> lines;
    {
      std::unique_lock<std::mutex> lock(mutex);
      finished.wait(lock, [&] { return done[i]; });
      lines = std::move(held[i]);
    }
    for (const auto& [error, text] : lines->pieces) {
      std::ostream& stream = error ? std::cerr : std::cout;
      stream << text;
      stream.flush();
    }
  }
  for (std::thread& thread : threads) thread.join();
  return results;
}

}  // namespace tapedecoder
