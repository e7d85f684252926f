#include "vantrel/desktop/control.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "vantrel/common/text.h"

namespace vantrel::desktop {

bool isStopChunk(std::string_view chunk) {
  return text::trimWhiteSpace(chunk) == "stop";
}

namespace {

enum class InputState { Quiet, Stop };

// Reads what is available now; Stop at end of input or on a stop chunk.
InputState readAvailable(int fd) {
  char buffer[4096];
  ssize_t n;
  do {
    n = ::read(fd, buffer, sizeof buffer);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return InputState::Stop;
  return isStopChunk(std::string_view(buffer, static_cast<std::size_t>(n))) ? InputState::Stop : InputState::Quiet;
}

}  // namespace

void runTicking(int fd, std::chrono::nanoseconds interval, const std::function<void()>& tick) {
  using Clock = std::chrono::steady_clock;
  auto deadline = Clock::now();
  bool inputOpen = true;
  for (;;) {
    auto now = Clock::now();
    if (now >= deadline) {
      tick();
      deadline += interval;
      now = Clock::now();
      if (deadline < now) deadline = now;
    }
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
    if (!inputOpen) {
      // A descriptor that reports POLLNVAL (never opened) must not spin.
      ::usleep(static_cast<useconds_t>(wait * 1000));
      continue;
    }
    pollfd p{fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(wait));
    if (ready < 0 && errno != EINTR) return;
    if (ready > 0) {
      if (p.revents & POLLNVAL) {
        inputOpen = false;
      } else if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
        if (readAvailable(fd) == InputState::Stop) return;
      }
    }
  }
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
