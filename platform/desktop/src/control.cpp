#include "vantrel/desktop/control.h"

#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "vantrel/common/text.h"

namespace vantrel::desktop {

bool isStopChunk(std::string_view chunk) {
  return text::trimWhiteSpace(chunk) == "stop";
}

namespace {

// The state shared between the ticking thread and the input thread.
struct StopSignal {
  std::mutex mutex;
  std::condition_variable changed;
  bool stopRequested = false;  // set by the input thread
  bool loopDone = false;       // set by the ticking thread once it has left the loop
};

// Blocks on the input until it ends or a chunk says stop, then asks the loop
// to stop and gives it kStopGrace to do so before ending the process.
void watchInput(int fd, StopSignal& signal) {
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EBADF) return;  // no input at all: the loop runs until killed
    if (n > 0 && !isStopChunk(std::string_view(buffer, static_cast<std::size_t>(n)))) continue;
    break;  // end of input, a read error, or stop
  }
  std::unique_lock lock(signal.mutex);
  signal.stopRequested = true;
  signal.changed.notify_all();
  if (!signal.changed.wait_for(lock, kStopGrace, [&] { return signal.loopDone; })) ::_exit(0);
}

}  // namespace

void runTicking(int fd, std::chrono::nanoseconds interval, const std::function<void()>& tick) {
  using Clock = std::chrono::steady_clock;
  StopSignal signal;
  std::thread input(watchInput, fd, std::ref(signal));
  auto deadline = Clock::now();
  std::unique_lock lock(signal.mutex);
  while (!signal.stopRequested) {
    lock.unlock();
    tick();
    deadline += interval;
    if (const auto now = Clock::now(); deadline < now) deadline = now;
    lock.lock();
    signal.changed.wait_until(lock, deadline, [&] { return signal.stopRequested; });
  }
  signal.loopDone = true;
  signal.changed.notify_all();
  lock.unlock();
  input.join();
}

std::optional<std::string> LineReader::next() {
  for (;;) {
    if (auto nl = buffer_.find('\n'); nl != std::string::npos) {
      std::string line = buffer_.substr(0, nl);
      buffer_.erase(0, nl + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      return line;
    }
    if (eof_) {
      if (buffer_.empty()) return std::nullopt;
      std::string line = std::move(buffer_);
      buffer_.clear();
      if (!line.empty() && line.back() == '\r') line.pop_back();
      return line;
    }
    char chunk[4096];
    const ssize_t n = ::read(fd_, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      eof_ = true;
    } else {
      buffer_.append(chunk, static_cast<std::size_t>(n));
    }
  }
}

}  // namespace vantrel::desktop
