#pragma once
// The media helper's command line: `<command> <flags>`, flags anywhere after
// the command, unknown arguments ignored. Pure functions; any thread.

#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace vantrel::mediahelper {

inline constexpr int kDefaultMaxLongEdge = 1920;
inline constexpr int kDefaultMaxFps = 30;
inline constexpr double kDefaultKeyframeIntervalSeconds = 0.25;

struct ExtractAudioCommand {
  std::string inputPath, outputPath;
};
struct ExtractWaveformCommand {
  std::string inputPath, outputPath, sourceFingerprint;
};
struct CreateProxyCommand {
  std::string inputPath, outputPath;
  long long maxLongEdge = kDefaultMaxLongEdge;  // may be <= 0: the proxy is then 2 x 2
  long long maxFps = kDefaultMaxFps;            // unchecked here; the proxy refuses < 1
  double keyframeIntervalSeconds = kDefaultKeyframeIntervalSeconds;
};
struct NormalizeCameraCommand {
  std::string inputPath, outputPath;
  double wallDurationSeconds = 0;
};
using Command = std::variant<ExtractAudioCommand, ExtractWaveformCommand, CreateProxyCommand, NormalizeCameraCommand>;

// Value after the first argument equal to `flag` (the command word included in
// the search); nothing when absent or when that occurrence is the last argument.
std::optional<std::string> flagValue(const std::vector<std::string>& args, const std::string& flag);

// Strict number syntax: optional sign and digits only (no blanks), fitting 64 bits.
std::optional<long long> parseInteger(const std::string& text);
// A whole-string floating-point number ("1.5", "2e3", "inf", "nan" included).
std::optional<double> parseDouble(const std::string& text);

// `args` excludes the program name. Throws MediaHelperError(missingArgument)
// for the first flag without a value in each command's lookup order, or for an
// unknown command ("extract-audio or normalize-camera").
Command parseCommand(const std::vector<std::string>& args);

}  // namespace vantrel::mediahelper
