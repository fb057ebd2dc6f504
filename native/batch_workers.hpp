// A few threads that share out one batch of items at a time with the thread
// that hands it over. Each item goes to whichever thread claims it first,
// and the caller works too while it waits, so with a single thread there is
// no other and nothing is shared.
//
// The caller may do other work between start and finish; the helpers never
// touch anything but the job and the items it is given.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace sorvane::toolkit {

class BatchWorkers {
 public:
  // `threads` counts the caller's own: threads - 1 helpers, started on
  // first use. Where the system refuses a thread, fewer do the work.
  explicit BatchWorkers(size_t threads);
  ~BatchWorkers();
  BatchWorkers(const BatchWorkers&) = delete;
  BatchWorkers& operator=(const BatchWorkers&) = delete;

  // How many threads may run a job at once, the caller's included.
  size_t threads() const { return threads_; }

  // Sets job(item, thread) going on the helpers for every item in [0, n);
  // returns at once. `thread` is 0 for the caller and 1 .. threads() - 1
  // for the helpers, so a job can keep scratch space per thread. Every
  // start must be followed by finish before the next.
  void start(size_t n, std::function<void(size_t, size_t)> job);

  // Runs items until none is left, then waits until every helper is done
  // with this batch. Rethrows the first exception a job threw; the other
  // items still ran.
  void finish();

 private:
  void helper(size_t thread);
  void work(size_t thread);

  size_t threads_;
  std::vector<std::thread> helpers_;
  std::mutex mutex_;
  size_t helper_count_ = 0;  // helpers_.size(), read under the mutex
  std::condition_variable wake_;
  std::condition_variable checked_in_all_;
  // The batch, written by start under the mutex before the generation moves.
  std::function<void(size_t, size_t)> job_;
  size_t n_ = 0;
  std::atomic<size_t> next_{0};
  uint64_t generation_ = 0;
  // Helpers that have finished with the current generation: finish waits
  // for all of them, so that none is still inside a job when the next batch
  // is set up.
  size_t checked_in_ = 0;
  bool stop_ = false;
  std::exception_ptr error_;
};

}  // namespace sorvane::toolkit
