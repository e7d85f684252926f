// vantrel-input-event-helper: clicks, scrolls and pointer hiding from JSON
// command lines on standard input. Writes nothing.
//
// Standard input is read on a thread of its own and the commands run in order
// on the main thread: a command stuck in a request to a grabbed X server must
// not keep the host's "stop" (or the end of input) from ending the helper.

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "vantrel/desktop/control.h"
#include "vantrel/desktop/input.h"
#include "vantrel/desktop/session.h"

namespace desktop = vantrel::desktop;

namespace {

// Lines read ahead of the commands; beyond this the reader waits.
constexpr std::size_t kMaxQueuedLines = 1024;

struct Inbox {
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<std::string> lines;
  bool ended = false;  // "stop" or end of input was read; nothing follows
  bool done = false;   // the main thread has finished
  std::optional<std::chrono::steady_clock::time_point> busySince;  // a command is running
};

void readInput(Inbox& inbox) {
  desktop::LineReader reader(0);
  for (;;) {
    std::optional<std::string> line = reader.next();
    std::unique_lock lock(inbox.mutex);
    inbox.changed.wait(lock, [&] { return inbox.done || inbox.lines.size() < kMaxQueuedLines; });
    if (inbox.done) return;
    if (!line || desktop::isStopChunk(*line)) {
      inbox.ended = true;
      break;
    }
    inbox.lines.push_back(std::move(*line));
    inbox.changed.notify_all();
  }
  inbox.changed.notify_all();
  // Commands read before the stop still run; one that hangs ends the process.
  std::unique_lock lock(inbox.mutex);
  while (!inbox.done) {
    inbox.changed.wait_for(lock, std::chrono::milliseconds(20));
    if (!inbox.done && inbox.busySince && std::chrono::steady_clock::now() - *inbox.busySince > desktop::kStopGrace) {
      ::_exit(0);
    }
  }
}

// Never freed: the reader may outlive main's return, blocked in a read. Held
// here so that it stays reachable to the end of the process.
Inbox* gInbox = nullptr;

}  // namespace

int main() {
  // The connection stays open for the whole run: the server forgets a hidden
  // pointer when the client that hid it disconnects. Under Wayland synthetic
  // X input would reach only X11 windows: commands are then ignored.
  gInbox = new Inbox;
  Inbox& inbox = *gInbox;
  inbox.busySince = std::chrono::steady_clock::now();  // connecting to a grabbed server waits as well
  std::thread reader(readInput, std::ref(inbox));
  auto x = desktop::openX11Desktop();
  {
    std::lock_guard lock(inbox.mutex);
    inbox.busySince.reset();
  }
  desktop::XInputSink sink(x.get());
  desktop::InputCommandRunner runner(sink);
  for (;;) {
    std::string line;
    {
      std::unique_lock lock(inbox.mutex);
      inbox.changed.wait(lock, [&] { return !inbox.lines.empty() || inbox.ended; });
      if (inbox.lines.empty()) break;
      line = std::move(inbox.lines.front());
      inbox.lines.pop_front();
      inbox.busySince = std::chrono::steady_clock::now();
    }
    inbox.changed.notify_all();
    const bool more = runner.handleLine(line);
    {
      std::lock_guard lock(inbox.mutex);
      inbox.busySince.reset();
    }
    if (!more) break;
  }
  {
    std::lock_guard lock(inbox.mutex);
    inbox.busySince = std::chrono::steady_clock::now();  // showing the pointer may hang as well
  }
  runner.finish();
  {
    std::lock_guard lock(inbox.mutex);
    inbox.done = true;
  }
  inbox.changed.notify_all();
  // The reader may still be waiting for input that never comes (the loop
  // ended on a "stop" command it passed on); the process ends regardless.
  reader.detach();
  return 0;
}
