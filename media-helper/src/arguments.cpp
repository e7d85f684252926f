#include "vantrel/mediahelper/arguments.h"

#include <cerrno>
#include <cstdlib>

#include "vantrel/mediahelper/errors.h"

namespace vantrel::mediahelper {

namespace {

std::string required(const std::vector<std::string>& args, const std::string& flag) {
  auto value = flagValue(args, flag);
  if (!value) throw makeError(MediaHelperErrorCode::missingArgument, flag);
  return *value;
}

}  // namespace

std::optional<std::string> flagValue(const std::vector<std::string>& args, const std::string& flag) {
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == flag) {
      if (i + 1 < args.size()) return args[i + 1];
      return std::nullopt;
    }
  }
  return std::nullopt;
}

std::optional<long long> parseInteger(const std::string& text) {
  size_t i = 0;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  if (i == text.size()) return std::nullopt;
  for (size_t k = i; k < text.size(); ++k) {
    if (text[k] < '0' || text[k] > '9') return std::nullopt;
  }
  errno = 0;
  char* end = nullptr;
  const long long v = std::strtoll(text.c_str(), &end, 10);
  if (errno == ERANGE || end != text.c_str() + text.size()) return std::nullopt;
  return v;
}

std::optional<double> parseDouble(const std::string& text) {
  // strtod would skip leading blanks and accept a prefix; neither is a number here.
  if (text.empty() || text.front() == ' ' || text.front() == '\t' || text.front() == '\n') return std::nullopt;
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size()) return std::nullopt;
  return v;
}

Command parseCommand(const std::vector<std::string>& args) {
  const std::string command = args.empty() ? std::string() : args.front();
  if (command == "extract-audio") {
    ExtractAudioCommand c;
    c.inputPath = required(args, "--input-path");
    c.outputPath = required(args, "--output-path");
    return c;
  }
  if (command == "extract-waveform") {
    ExtractWaveformCommand c;
    c.inputPath = required(args, "--input-path");
    c.outputPath = required(args, "--output-path");
    c.sourceFingerprint = required(args, "--source-fingerprint");
    return c;
  }
  if (command == "create-proxy") {
    CreateProxyCommand c;
    c.maxLongEdge = parseInteger(required(args, "--max-long-edge")).value_or(kDefaultMaxLongEdge);
    c.maxFps = parseInteger(required(args, "--max-fps")).value_or(kDefaultMaxFps);
    c.keyframeIntervalSeconds =
        parseDouble(required(args, "--keyframe-interval")).value_or(kDefaultKeyframeIntervalSeconds);
    c.inputPath = required(args, "--input-path");
    c.outputPath = required(args, "--output-path");
    return c;
  }
  if (command == "normalize-camera") {
    NormalizeCameraCommand c;
    auto wall = parseDouble(required(args, "--wall-duration"));
    if (!wall) throw makeError(MediaHelperErrorCode::missingArgument, "--wall-duration");
    c.wallDurationSeconds = *wall;
    c.inputPath = required(args, "--input-path");
    c.outputPath = required(args, "--output-path");
    return c;
  }
  throw makeError(MediaHelperErrorCode::missingArgument, "extract-audio or normalize-camera");
}

}  // namespace vantrel::mediahelper
