#include "config.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "vantrel/common/strict_json.h"
#include "vantrel/common/text.h"

namespace vantrel::recorder {

const char* backendText(RecordingBackendKind kind) {
  return kind == RecordingBackendKind::legacyAssetWriter ? "legacy-avassetwriter" : "sc-recording-output";
}

namespace {

std::string trim(std::string_view s) { return std::string(text::trimWhiteSpace(s)); }

std::optional<std::uint32_t> readId(const json::ObjectReader& r, std::string_view key) {
  const auto v = r.optional<std::int64_t>(key);
  if (!v) return std::nullopt;
  if (*v < 0 || *v > std::numeric_limits<std::uint32_t>::max()) {
    json::fail(r.path().key(key), "expected an unsigned 32-bit integer");
  }
  return static_cast<std::uint32_t>(*v);
}

}  // namespace

std::optional<std::string> RecordingConfig::requestedMicrophoneDeviceId() const {
  if (!microphoneDeviceId) return std::nullopt;
  std::string id = trim(*microphoneDeviceId);
  if (id.empty()) return std::nullopt;
  return id;
}

RecordingBackendKind RecordingConfig::resolveBackend() const {
  return backendPreference && *backendPreference == "legacy-avassetwriter" ? RecordingBackendKind::legacyAssetWriter
                                                                           : RecordingBackendKind::scRecordingOutput;
}

bool RecordingConfig::fallbackAllowed() const { return !backendPreference || *backendPreference == "auto"; }

RecordingConfig decodeRecordingConfig(std::string_view text) {
  const json::Value root = json::parseDocument(text);
  const json::ObjectReader r(root, json::Path());
  RecordingConfig c;
  c.type = r.required<std::string>("type");
  c.displayId = readId(r, "displayId");
  c.windowId = readId(r, "windowId");
  c.outputPath = r.required<std::string>("outputPath");
  c.fps = r.optional<std::int64_t>("fps");
  if (c.fps && (*c.fps < 1 || *c.fps > kMaxFps)) json::fail(r.path().key("fps"), "expected 1 to 240 frames per second");
  c.resolution = r.optional<std::string>("resolution");
  if (const json::Value* crop = root.contains("cropRect") ? &root["cropRect"] : nullptr; crop && !crop->is_null()) {
    const json::ObjectReader cr(*crop, json::Path("cropRect"));
    CropRect rect{cr.required<double>("x"), cr.required<double>("y"), cr.required<double>("width"),
                  cr.required<double>("height")};
    constexpr double kLimit = 1e6;  // far beyond any screen, small enough to stay exact in int
    for (double v : {rect.x, rect.y, rect.width, rect.height}) {
      if (!std::isfinite(v) || std::fabs(v) > kLimit) json::fail(cr.path(), "coordinates out of range");
    }
    if (rect.width <= 0 || rect.height <= 0) json::fail(cr.path(), "width and height must be positive");
    c.cropRect = rect;
  }
  c.microphoneDeviceId = r.optional<std::string>("microphoneDeviceId");
  c.backendPreference = r.optional<std::string>("backendPreference");
  if (c.outputPath.empty()) json::fail(r.path().key("outputPath"), "must not be empty");
  return c;
}

int ensureEven(int n) { return n & ~1; }

std::optional<int> resolutionLongEdge(const std::optional<std::string>& resolution) {
  if (!resolution) return std::nullopt;
  if (*resolution == "4k") return 3840;
  if (*resolution == "1440p") return 2560;
  if (*resolution == "1080p") return 1920;
  if (*resolution == "720p") return 1280;
  return std::nullopt;
}

PixelSize applyResolutionLock(int width, int height, const std::optional<std::string>& resolution) {
  const auto edge = resolutionLongEdge(resolution);
  const int longest = std::max(width, height);
  if (!edge || longest <= 0) return {width, height};
  const double factor = static_cast<double>(std::min(*edge, longest)) / longest;
  return {ensureEven(static_cast<int>(factor * width)), ensureEven(static_cast<int>(factor * height))};
}

std::int64_t recordingVideoBitrate(int width, int height, int fps) {
  const double f = fps < 2 ? 1.0 : fps;
  const auto raw = static_cast<std::int64_t>(static_cast<double>(width) * height * f * 0.25);
  return std::clamp<std::int64_t>(raw, 18'000'000, 140'000'000);
}

int queueDepthForFps(int fps) {
  return std::clamp(static_cast<int>(std::ceil(static_cast<double>(fps) / 30.0 * 6.0)), 5, 12);
}

std::string segmentPath(const std::string& outputPath, int n) {
  const std::size_t slash = outputPath.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : outputPath.substr(0, slash);
  std::string name = slash == std::string::npos ? outputPath : outputPath.substr(slash + 1);
  const std::size_t dot = name.rfind('.');
  if (dot != std::string::npos && dot > 0) name = name.substr(0, dot);
  if (name.empty() || name == ".") name = "sck";
  return (slash == 0 ? std::string() : dir) + "/" + name + "-seg" + std::to_string(n) + ".mp4";
}

}  // namespace vantrel::recorder
