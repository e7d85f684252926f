#include "vantrel/common/line_writer.h"

#include <cerrno>
#include <string>
#include <unistd.h>

namespace vantrel {

bool writeAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

bool LineWriter::writeLine(std::string_view text) {
  std::string line;
  line.reserve(text.size() + 1);
  line.append(text);
  line.push_back('\n');
  std::lock_guard<std::mutex> lock(mutex_);
  return writeAll(fd_, line);
}

}  // namespace vantrel
