#include "job/arguments.h"

#include <algorithm>

#include "job/job_errors.h"

namespace vantrel::exporter {

ProgramMode dispatchMode(const std::vector<std::string>& args) {
  if (std::find(args.begin(), args.end(), "--capabilities") != args.end()) return ProgramMode::capabilities;
  if (!args.empty() && args[0] == "run") return ProgramMode::run;
  if (!args.empty() && args[0] == "thumbnail") return ProgramMode::thumbnail;
  return ProgramMode::usage;
}

std::optional<std::string> flagValue(const std::vector<std::string>& args, const std::string& flag) {
  auto it = std::find(args.begin(), args.end(), flag);
  if (it == args.end() || std::next(it) == args.end()) return std::nullopt;
  return *std::next(it);
}

JobArguments parseArguments(const std::vector<std::string>& args) {
  auto need = [&](const char* flag) {
    auto value = flagValue(args, flag);
    if (!value) throw JobRunnerError::missingArgument(flag);
    return *value;
  };
  JobArguments parsed;
  parsed.jobId = need("--job-id");
  parsed.manifestPath = need("--manifest-path");
  parsed.tempOutputPath = need("--temp-output-path");
  parsed.finalOutputPath = need("--final-output-path");
  return parsed;
}

}  // namespace vantrel::exporter
