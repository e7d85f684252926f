#pragma once
// Runs one export job: announces it, loads and checks the manifest, and hands
// it to the video or GIF export path.

#include <cstdint>
#include <string>

#include "job/arguments.h"
#include "job/progress_reporter.h"

namespace vantrel::exporter {

class JobRunner {
 public:
  JobRunner(std::string helperVersion, ProgressReporter& reporter)
      : helperVersion_(std::move(helperVersion)), reporter_(reporter) {}

  // Returns the size in bytes of the finished output file. Throws
  // JobRunnerError (or the export path's own errors) on failure. Runs on the
  // job thread; emits events through the reporter.
  std::int64_t run(const JobArguments& arguments);

 private:
  std::string helperVersion_;
  ProgressReporter& reporter_;
};

}  // namespace vantrel::exporter
