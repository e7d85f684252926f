#pragma once
// Ends the process when the parent that started it has gone. The host starts
// every long-running program as a child; if the host dies, an orphaned export
// or media job must not keep running and writing files.

#include <chrono>
#include <functional>
#include <memory>

namespace vantrel {

class ParentWatchdog {
 public:
  // Reads the parent pid now. Once started, a background thread checks every
  // `interval` (first check one interval after start) that the parent pid is
  // unchanged and the process still exists; when not, it calls `onParentGone`,
  // which by default ends the process at once with status 1 without running
  // destructors or flushing anything.
  explicit ParentWatchdog(std::chrono::milliseconds interval = std::chrono::seconds(1),
                          std::function<void()> onParentGone = {});
  ~ParentWatchdog();
  ParentWatchdog(const ParentWatchdog&) = delete;
  ParentWatchdog& operator=(const ParentWatchdog&) = delete;

  void start();
  void stop();

  // True while the process that was the parent at construction is still our parent.
  bool parentAlive() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace vantrel
