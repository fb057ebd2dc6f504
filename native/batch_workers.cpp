#include "batch_workers.hpp"

#include <system_error>

namespace sorvane::toolkit {

BatchWorkers::BatchWorkers(size_t threads) : threads_(threads == 0 ? 1 : threads) {}

BatchWorkers::~BatchWorkers() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  for (std::thread& t : helpers_) t.join();
}

void BatchWorkers::start(size_t n, std::function<void(size_t, size_t)> job) {
  if (helpers_.empty() && threads_ > 1) {
    try {
      for (size_t k = 1; k < threads_; ++k) helpers_.emplace_back([this, k] { helper(k); });
    } catch (const std::system_error&) {
      // Fewer helpers than asked for; the caller's thread alone will do.
    }
    threads_ = helpers_.size() + 1;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    helper_count_ = helpers_.size();
    job_ = std::move(job);
    n_ = n;
    next_.store(0, std::memory_order_relaxed);
    checked_in_ = 0;
    ++generation_;
  }
  wake_.notify_all();
}

void BatchWorkers::finish() {
  work(0);
  std::unique_lock<std::mutex> lock(mutex_);
  checked_in_all_.wait(lock, [this] { return checked_in_ == helper_count_; });
  job_ = nullptr;
  if (error_) {
    std::exception_ptr error = error_;
    error_ = nullptr;
    std::rethrow_exception(error);
  }
}

void BatchWorkers::helper(size_t thread) {
  uint64_t seen = 0;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [&] { return stop_ || generation_ != seen; });
    if (stop_) return;
    seen = generation_;
    lock.unlock();
    work(thread);
    lock.lock();
    if (++checked_in_ == helper_count_) checked_in_all_.notify_one();
  }
}

void BatchWorkers::work(size_t thread) {
  // job_ and n_ were written before the generation this thread saw (or, for
  // the caller, by its own start), under the mutex it has taken since.
  for (;;) {
    const size_t item = next_.fetch_add(1, std::memory_order_relaxed);
    if (item >= n_) return;
    try {
      job_(item, thread);
    } catch (...) {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!error_) error_ = std::current_exception();
    }
  }
}

}  // namespace sorvane::toolkit
