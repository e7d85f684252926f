#pragma once
// The standard-input protocol of the long-running helpers: the host ends them
// by writing "stop" or by closing their input.
//
// Threads: runTicking reads the input on a thread of its own, so that a tick
// stuck in an X request (a grabbed or frozen server answers nobody) cannot
// delay the stop. Ticks run on the calling thread only. LineReader is used
// from one thread.

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace vantrel::desktop {

// True when a chunk of input, trimmed of white space and line breaks, is
// exactly "stop" (invalid UTF-8 never is).
bool isStopChunk(std::string_view chunk);

// How long a stop waits for a running tick to return before the process is
// ended from the input thread with status 0.
inline constexpr std::chrono::milliseconds kStopGrace{200};

// Calls `tick` at once and then every `interval` (measured from the previous
// deadline, so a slow tick does not shift the schedule) until the input on `fd`
// ends or a whole available chunk says stop; then returns. Other input is
// ignored. A tick that overruns is followed at once by the next one, never by
// a burst of missed ones. When the stop comes while a tick has been running
// for longer than kStopGrace (blocked in a request to a grabbed server), the
// input thread ends the process with _exit(0): every line is written with one
// write, so output is never cut in half. A descriptor that is not open never
// stops the loop.
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
