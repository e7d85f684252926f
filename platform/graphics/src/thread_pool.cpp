#include "vantrel/graphics/thread_pool.h"

#include <algorithm>

namespace vantrel::graphics {

ThreadPool::ThreadPool(int threads) {
  for (int i = 1; i < std::max(threads, 1); ++i) workers_.emplace_back([this, i] { workerLoop(i); });
}

ThreadPool::~ThreadPool() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  for (auto& t : workers_) t.join();
}

void ThreadPool::parallelFor(int count, const std::function<void(int, int)>& fn, int minBand) {
  if (count <= 0) return;
  const int maxBands = std::max(1, count / std::max(minBand, 1));
  const int bands = std::min(threadCount(), maxBands);
  std::unique_lock lock(mutex_);
  if (bands <= 1 || busy_) {
    lock.unlock();
    fn(0, count);
    return;
  }
  busy_ = true;
  job_ = &fn;
  jobCount_ = count;
  bands_ = bands;
  nextBand_ = 0;
  pendingBands_ = bands;
  error_ = nullptr;
  ++generation_;
  wake_.notify_all();
  // The caller works too.
  while (nextBand_ < bands_) {
    const int band = nextBand_++;
    lock.unlock();
    std::exception_ptr err;
    try {
      fn(static_cast<int>(static_cast<long long>(count) * band / bands),
         static_cast<int>(static_cast<long long>(count) * (band + 1) / bands));
    } catch (...) {
      err = std::current_exception();
    }
    lock.lock();
    if (err && !error_) error_ = err;
    --pendingBands_;
  }
  done_.wait(lock, [this] { return pendingBands_ == 0; });
  job_ = nullptr;
  busy_ = false;
  if (error_) {
    auto e = error_;
    error_ = nullptr;
    std::rethrow_exception(e);
  }
}

void ThreadPool::workerLoop(int) {
  unsigned seen = 0;
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [&] { return stop_ || (generation_ != seen && job_ && nextBand_ < bands_); });
    if (stop_) return;
    seen = generation_;
    while (job_ && nextBand_ < bands_) {
      const int band = nextBand_++;
      const auto* fn = job_;
      const int count = jobCount_, bands = bands_;
      lock.unlock();
      std::exception_ptr err;
      try {
        (*fn)(static_cast<int>(static_cast<long long>(count) * band / bands),
              static_cast<int>(static_cast<long long>(count) * (band + 1) / bands));
      } catch (...) {
        err = std::current_exception();
      }
      lock.lock();
      if (err && !error_) error_ = err;
      if (--pendingBands_ == 0) done_.notify_all();
    }
  }
}

}  // namespace vantrel::graphics
