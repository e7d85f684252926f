// vantrel-export-helper: capabilities, one export job, or one thumbnail.

#include <csignal>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "encode/thumbnail.h"
#include "job/arguments.h"
#include "job/job_errors.h"
#include "job/job_runner.h"
#include "job/progress_reporter.h"
#include "support/capabilities.h"
#include "vantrel/common/json_out.h"
#include "vantrel/common/line_writer.h"
#include "vantrel/common/watchdog.h"

using namespace vantrel;
using namespace vantrel::exporter;

namespace {

int capabilitiesMode() {
  LineWriter out(1);
  out.writeLine(json::encodeCompact(currentCapabilities().toJson()));
  return 0;
}

int thumbnailMode(const std::vector<std::string>& args) {
  auto source = flagValue(args, "--source-path");
  auto output = flagValue(args, "--output-path");
  if (!source || !output) {
    writeAll(2, kThumbnailUsage);
    return 1;
  }
  std::optional<std::string> failure;
  std::thread task([&] {
    try {
      ThumbnailExtractor::extract(*source, *output);
    } catch (const std::exception& e) {
      failure = e.what();
    }
  });
  task.join();
  if (failure) {
    writeAll(2, "Thumbnail extraction failed: " + *failure + "\n");
    return 1;
  }
  return 0;
}

int runMode(const std::vector<std::string>& args) {
  // Stays armed for the whole run: an orphaned export must not go on writing.
  ParentWatchdog watchdog;
  watchdog.start();

  ProgressReporter reporter;
  JobRunner runner(kHelperVersion, reporter);

  std::optional<std::int64_t> fileSize;
  std::string errorText;
  try {
    JobArguments arguments = parseArguments(args);
    // The job runs on its own thread; its result is stored before the thread
    // ends and read after join, so no further locking is needed.
    std::thread job([&] {
      try {
        fileSize = runner.run(arguments);
      } catch (const std::exception& e) {
        errorText = e.what();
      }
    });
    job.join();
    if (fileSize) {
      reporter.emit(CompletedEvent{arguments.finalOutputPath, *fileSize, kHelperVersion, "Export complete."});
      return 0;
    }
  } catch (const JobRunnerError& e) {
    errorText = e.text();
  }
  reporter.emit(FailedEvent{errorText, kHelperVersion, errorText, "Native export helper failed."});
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  // A host that closes its end of a pipe must not kill us mid-write; writes
  // then fail with EPIPE instead.
  std::signal(SIGPIPE, SIG_IGN);
  std::vector<std::string> args(argv + 1, argv + argc);
  switch (dispatchMode(args)) {
    case ProgramMode::capabilities:
      return capabilitiesMode();
    case ProgramMode::run:
      return runMode(args);
    case ProgramMode::thumbnail:
      return thumbnailMode(args);
    case ProgramMode::usage:
      break;
  }
  writeAll(2, kFullUsage);
  return 1;
}
