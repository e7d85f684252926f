#pragma once
// The fuzz input as a file that path-based readers can open: an anonymous
// memory file named by its /proc/self/fd path, so no run leaves anything on
// disk. One per call; not shared between threads.

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace vantrel::fuzzing {

class MemoryFile {
 public:
  MemoryFile(const std::uint8_t* data, std::size_t size) : fd_(::memfd_create("fuzz-input", MFD_CLOEXEC)) {
    if (fd_ < 0) return;
    std::size_t done = 0;
    while (done < size) {
      const ssize_t n = ::write(fd_, data + done, size - done);
      if (n <= 0) {
        ::close(fd_);
        fd_ = -1;
        return;
      }
      done += static_cast<std::size_t>(n);
    }
    ::lseek(fd_, 0, SEEK_SET);
  }
  ~MemoryFile() {
    if (fd_ >= 0) ::close(fd_);
  }
  MemoryFile(const MemoryFile&) = delete;
  MemoryFile& operator=(const MemoryFile&) = delete;

  bool ok() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  std::string path() const { return "/proc/self/fd/" + std::to_string(fd_); }

 private:
  int fd_;
};

}  // namespace vantrel::fuzzing
