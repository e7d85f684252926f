#include "vantrel/common/watchdog.h"

#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace vantrel {

struct ParentWatchdog::State {
  std::chrono::milliseconds interval;
  std::function<void()> onParentGone;
  pid_t parent = 0;
  std::mutex mutex;
  std::condition_variable wake;
  bool stopping = false;
  std::thread thread;
};

ParentWatchdog::ParentWatchdog(std::chrono::milliseconds interval, std::function<void()> onParentGone)
    : state_(std::make_unique<State>()) {
  state_->interval = interval;
  state_->onParentGone = onParentGone ? std::move(onParentGone) : [] { ::_exit(1); };
  state_->parent = ::getppid();
}

ParentWatchdog::~ParentWatchdog() { stop(); }

bool ParentWatchdog::parentAlive() const {
  if (::getppid() != state_->parent) return false;
  // EPERM still proves that the process exists.
  return ::kill(state_->parent, 0) == 0 || errno == EPERM;
}

void ParentWatchdog::start() {
  if (state_->thread.joinable()) return;
  state_->thread = std::thread([this] {
    std::unique_lock<std::mutex> lock(state_->mutex);
    auto next = std::chrono::steady_clock::now() + state_->interval;
    while (!state_->stopping) {
      if (state_->wake.wait_until(lock, next, [this] { return state_->stopping; })) break;
      next += state_->interval;
      if (!parentAlive()) {
        lock.unlock();
        state_->onParentGone();
        lock.lock();
      }
    }
  });
}

void ParentWatchdog::stop() {
  if (!state_ || !state_->thread.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->stopping = true;
  }
  state_->wake.notify_all();
  state_->thread.join();
}

}  // namespace vantrel
