#pragma once
// A small fixed pool of worker threads that runs index ranges in bands.
// Results never depend on the number of threads: callers split work so that
// each output element is written by exactly one band with the same arithmetic.

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace vantrel::graphics {

class ThreadPool {
 public:
  // threads = total number of threads that work, the caller included (>= 1).
  explicit ThreadPool(int threads);
  ~ThreadPool();
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  int threadCount() const { return static_cast<int>(workers_.size()) + 1; }

  // Calls fn(begin, end) over [0, count) split into contiguous bands, on the
  // pool and the calling thread; returns when all are done. Bands are at least
  // `minBand` long. Not re-entrant: a band must not call parallelFor on the
  // same pool (it then runs inline). Exceptions from fn are rethrown here.
  void parallelFor(int count, const std::function<void(int, int)>& fn, int minBand = 8);

 private:
  void workerLoop(int index);
  std::vector<std::thread> workers_;
  std::mutex mutex_;
  std::condition_variable wake_, done_;
  const std::function<void(int, int)>* job_ = nullptr;
  int jobCount_ = 0, bands_ = 0, nextBand_ = 0, pendingBands_ = 0;
  unsigned generation_ = 0;
  bool stop_ = false, busy_ = false;
  std::exception_ptr error_;
};

}  // namespace vantrel::graphics
