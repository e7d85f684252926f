// vantrel-sck-recorder '<json-config>': records a display or window under the
// host's commands on standard input. `--list-displays` prints the displays the
// recorder can capture (their ids are the `displayId` values it accepts).

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <string_view>
#include <thread>

#include "config.h"
#include "recorder.h"
#include "status.h"
#include "vantrel/common/strict_json.h"
#include "vantrel/common/text.h"
#include "vantrel/desktop/capture.h"
#include "vantrel/desktop/portal_capture.h"
#include "vantrel/desktop/session.h"

using namespace vantrel;
using namespace vantrel::recorder;

namespace {

int listDisplays() {
  try {
    // Under Wayland only the portal can say, and it lists what the user shares.
    const bool wayland = desktop::detectSession(nullptr) == desktop::SessionType::Wayland;
    const auto content = (wayland ? desktop::openPortalCaptureSource(desktop::PortalSourceType::monitor)
                                  : desktop::openX11CaptureSource())
                             ->shareableContent();
    json::OrderedJson list = json::OrderedJson::array();
    for (const auto& d : content.displays) {
      json::OrderedJson o = json::OrderedJson::object();
      o["id"] = d.id;
      o["name"] = d.name;
      o["x"] = d.frame.x;
      o["y"] = d.frame.y;
      o["width"] = d.frame.width;
      o["height"] = d.frame.height;
      o["isPrimary"] = d.primary;
      list.push_back(std::move(o));
    }
    writeStatus(list);
    return 0;
  } catch (const desktop::CaptureError& e) {
    writeFatal("content_enumeration_failed", e.text());
    return 1;
  }
}

std::string trimCommand(std::string_view s) { return std::string(text::trimWhiteSpace(s)); }

// Well-formed UTF-8: no stray continuation bytes, no overlong forms, no
// surrogates, nothing above U+10FFFF.
bool isValidUtf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    int extra = 0;
    std::uint32_t cp = 0;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      extra = 1;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + static_cast<std::size_t>(extra) >= s.size()) return false;
    for (int k = 1; k <= extra; ++k) {
      const auto cc = static_cast<unsigned char>(s[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    static constexpr std::uint32_t kMin[4] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += static_cast<std::size_t>(extra) + 1;
  }
  return true;
}

// The first stop, discard or end of input owns the end of the process: later
// ones wait, so the process never exits before the first one has written its
// final line.
std::atomic<bool> finishing{false};

void runCommand(Recorder& recorder, const std::string& command) {
  if (command == "pause") {
    recorder.pause();
  } else if (command == "resume") {
    recorder.unpause();
  } else if (command == "stop" || command == "discard") {
    if (finishing.exchange(true)) return;
    if (command == "stop") {
      recorder.stop();
    } else {
      recorder.discard();
    }
    exitProcess(0);
  }
}

}  // namespace

int main(int argc, char** argv) {
  // A host that stops reading must not kill the recorder in the middle of
  // finishing its files.
  signal(SIGPIPE, SIG_IGN);
  if (argc < 2) {
    writeFatal("invalid_args", "Usage: vantrel-sck-recorder '<json-config>'");
    return 1;
  }
  const std::string arg = argv[1];
  if (arg == "--list-displays") return listDisplays();
  if (!isValidUtf8(arg)) {
    writeFatal("invalid_json", "Failed to parse config as UTF-8");
    return 1;
  }
  RecordingConfig config;
  try {
    config = decodeRecordingConfig(arg);
  } catch (const json::DecodeError& e) {
    writeFatal("invalid_json", std::string("Failed to decode config: ") + e.what());
    return 1;
  }

  static Recorder recorder(config);
  std::thread([] { recorder.start(); }).detach();

  char buffer[4096];
  while (true) {
    const ssize_t n = read(0, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    std::string_view chunk(buffer, static_cast<std::size_t>(n));
    std::size_t pos = 0;
    while (pos <= chunk.size()) {
      const std::size_t nl = chunk.find('\n', pos);
      const std::string_view piece = chunk.substr(pos, nl == std::string_view::npos ? std::string_view::npos : nl - pos);
      const std::string command = trimCommand(piece);
      if (command == "pause" || command == "resume" || command == "stop" || command == "discard") {
        std::thread([command] { runCommand(recorder, command); }).detach();
      }
      if (nl == std::string_view::npos) break;
      pos = nl + 1;
    }
  }
  // End of input (or an unreadable input) is a stop, handled once.
  std::thread([] { runCommand(recorder, "stop"); }).detach();
  while (true) pause();
}
