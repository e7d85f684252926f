#pragma once
// The standard-input protocol of the long-running helpers: the host ends them
// by writing "stop" or by closing their input.
//
// Threads: everything here runs on the calling (main) thread; input is
// watched with poll(2) between ticks instead of on a second thread, so a tick
// never races with the exit.

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace vantrel::desktop {

// True when a chunk of input, trimmed of white space and line breaks, is
// exactly "stop" (invalid UTF-8 never is).
bool isStopChunk(std::string_view chunk);

// Calls `tick` at once and then every `interval` (measured from the previous
// deadline, so a slow tick does not shift the schedule) until the input on `fd`
// ends or a whole available chunk says stop; then returns. Other input is
// ignored. A tick that overruns is followed at once by the next one, never by
// a burst of missed ones.
void runTicking(int fd, std::chrono::nanoseconds interval, const std::function<void()>& tick);

// Splits input into lines (without "\n" or "\r\n"). The last line is returned
// even without a line break at the end of input.
class LineReader {
 public:
  explicit LineReader(int fd) : fd_(fd) {}
  // Next line, or nothing at end of input (or a read error).
  std::optional<std::string> next();

 private:
  int fd_;
  std::string buffer_;
  bool eof_ = false;
};

}  // namespace vantrel::desktop
