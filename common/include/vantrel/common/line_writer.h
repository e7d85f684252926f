#pragma once
// Writes whole lines to a file descriptor from any thread. Each line (text plus
// "\n") goes out under one lock in as few write(2) calls as the kernel allows,
// so lines from different threads never interleave.

#include <mutex>
#include <string_view>

namespace vantrel {

class LineWriter {
 public:
  explicit LineWriter(int fd) : fd_(fd) {}
  LineWriter(const LineWriter&) = delete;
  LineWriter& operator=(const LineWriter&) = delete;

  // Blocks until the line is written. Returns false when the descriptor is
  // closed or broken (the reader went away); the caller decides what that means.
  bool writeLine(std::string_view text);

 private:
  int fd_;
  std::mutex mutex_;
};

// Writes all of `data` to `fd`, retrying short writes and EINTR. False on error.
bool writeAll(int fd, std::string_view data);

}  // namespace vantrel
