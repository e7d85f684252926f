#pragma once
// The recording configuration (the program's one argument) and the pure
// geometry and rate rules applied to it.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vantrel::recorder {

enum class RecordingBackendKind { legacyAssetWriter, scRecordingOutput };
const char* backendText(RecordingBackendKind kind);

struct CropRect {
  double x = 0, y = 0, width = 0, height = 0;
};

struct RecordingConfig {
  std::string type;
  std::optional<std::uint32_t> displayId;
  std::optional<std::uint32_t> windowId;
  std::string outputPath;
  std::optional<std::int64_t> fps;
  std::optional<std::string> resolution;
  std::optional<CropRect> cropRect;
  std::optional<std::string> microphoneDeviceId;
  std::optional<std::string> backendPreference;

  bool isWindowCapture() const { return type == "window" && windowId.has_value(); }
  int effectiveFps() const { return fps ? static_cast<int>(*fps) : 30; }
  // The trimmed id, or nothing when absent or blank.
  std::optional<std::string> requestedMicrophoneDeviceId() const;
  RecordingBackendKind resolveBackend() const;
  bool fallbackAllowed() const;
};

// Throws json::DecodeError with a description of the first problem. Values
// outside what a recording can use (fps outside 1..240, a crop that is not
// finite or not positive) are refused here too.
RecordingConfig decodeRecordingConfig(std::string_view text);

inline constexpr int kMaxFps = 240;

int ensureEven(int n);
std::optional<int> resolutionLongEdge(const std::optional<std::string>& resolution);
struct PixelSize {
  int width = 0, height = 0;
  bool operator==(const PixelSize&) const = default;
};
PixelSize applyResolutionLock(int width, int height, const std::optional<std::string>& resolution);
std::int64_t recordingVideoBitrate(int width, int height, int fps);
int queueDepthForFps(int fps);

// Segment file n of `outputPath`: <dir>/<base>-seg<n>.mp4 ("sck" when the
// name has no base).
std::string segmentPath(const std::string& outputPath, int n);

}  // namespace vantrel::recorder
