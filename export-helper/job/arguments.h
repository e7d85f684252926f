#pragma once
// The export program's command line: mode dispatch and the flag rule (a flag's
// value is the argument right after its first occurrence).

#include <optional>
#include <string>
#include <vector>

namespace vantrel::exporter {

inline constexpr const char* kFullUsage =
    "Usage: vantrel-export-helper --capabilities | run --job-id <id> --manifest-path <path> "
    "--temp-output-path <path> --final-output-path <path> | thumbnail --source-path <mp4> --output-path <jpg>\n";
inline constexpr const char* kThumbnailUsage =
    "Usage: vantrel-export-helper thumbnail --source-path <mp4> --output-path <jpg>\n";

enum class ProgramMode { capabilities, run, thumbnail, usage };

// `args` excludes the program name.
ProgramMode dispatchMode(const std::vector<std::string>& args);

// Value after the first occurrence of `flag`; nothing when the flag is absent
// or is the last argument. Values are taken as they stand, even "--x".
std::optional<std::string> flagValue(const std::vector<std::string>& args, const std::string& flag);

struct JobArguments {
  std::string jobId;
  std::string manifestPath;
  std::string tempOutputPath;
  std::string finalOutputPath;
};

// Throws JobRunnerError::missingArgument for the first flag without a value,
// in the order --job-id, --manifest-path, --temp-output-path, --final-output-path.
JobArguments parseArguments(const std::vector<std::string>& args);

}  // namespace vantrel::exporter
