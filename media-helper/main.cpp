// vantrel-media-helper: one media preparation command per run.

extern "C" {
#include <libavutil/log.h>
}

#include <cstdarg>
#include <exception>
#include <string>
#include <system_error>
#include <type_traits>
#include <variant>
#include <vector>

#include "vantrel/common/line_writer.h"
#include "vantrel/common/watchdog.h"
#include "vantrel/mediahelper/arguments.h"
#include "vantrel/mediahelper/camera.h"
#include "vantrel/mediahelper/proxy.h"
#include "vantrel/mediahelper/wav.h"
#include "vantrel/mediahelper/waveform.h"

using namespace vantrel;
using namespace vantrel::mediahelper;

namespace {

// FFmpeg's diagnostics ("moov atom not found") would precede our error line;
// every failure already reaches the caller with FFmpeg's text in the error.
void discardLibraryLog(void*, int, const char*, va_list) {}

void run(const Command& command) {
  std::visit(
      [](const auto& c) {
        using T = std::decay_t<decltype(c)>;
        if constexpr (std::is_same_v<T, ExtractAudioCommand>) {
          extractAudio(c.inputPath, c.outputPath);
        } else if constexpr (std::is_same_v<T, ExtractWaveformCommand>) {
          extractWaveform(c.inputPath, c.outputPath, c.sourceFingerprint);
        } else if constexpr (std::is_same_v<T, CreateProxyCommand>) {
          createProxy(c.inputPath, c.outputPath, c.maxLongEdge, c.maxFps, c.keyframeIntervalSeconds);
        } else {
          normalizeCamera(c.inputPath, c.outputPath, c.wallDurationSeconds);
        }
      },
      command);
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  av_log_set_callback(discardLibraryLog);
  // An orphaned helper must not go on writing files nobody will read.
  ParentWatchdog watchdog;
  watchdog.start();
  try {
    run(parseCommand(args));
  } catch (const std::exception& e) {
    // MediaHelperError, MediaError and std::system_error all carry their full
    // text in what(); anything else is a fault worth the same single line.
    writeAll(2, std::string("vantrel-media-helper: ") + e.what() + "\n");
    return 1;
  }
  return 0;
}
