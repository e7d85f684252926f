#pragma once
// Manifest records: the scene payload (canvas, video frame styling, background)
// and the quality plan. Values are exactly what the host wrote; no defaults are
// applied and nothing is clamped here. Readers apply fallbacks and clamping.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vantrel::exporter {

struct NativeCanvasReferenceDimensions {
  double width = 0;
  double height = 0;
};

struct NativeStrokeSettings {
  bool enabled = false;
  double width = 0;       // reference-canvas pixels
  std::string color;
  double opacity = 0;     // percent
  std::string position;   // "inside", anything else outside
};

struct NativeShadowSettings {
  bool enabled = false;
  std::string color;
  double opacity = 0;               // percent
  std::optional<double> size;       // 0..100 strength; absent means 50 to the renderer
};

struct NativeVideoSettings {
  std::string aspectRatio;
  double padding = 0;               // reference-canvas pixels
  double customCanvasWidth = 0;
  double customCanvasHeight = 0;
  std::string verticalAlignment;
  std::string horizontalAlignment;
  double videoScale = 100;          // percent of the fitted size ("custom" only)
  double borderRadius = 0;          // pixels of a 1080-pixel-high frame
  NativeStrokeSettings stroke;
  NativeShadowSettings shadow;

  // Canvas width/height ratio for `aspectRatio`; exact string matches, and
  // anything unknown (including "fit") takes the source's own shape.
  double aspectRatioValue(double sourceWidth, double sourceHeight) const;
};

struct NativeGradientStop {
  std::string color;
  double position = 0;
};

struct NativeWallpaperTransform {
  std::optional<double> scale;
  std::optional<double> focalX;
  std::optional<double> focalY;
};

struct NativeBackgroundSettings {
  std::string type;
  std::string color;
  std::string secondaryColor;
  double gradientAngle = 0;  // degrees
  std::optional<std::vector<NativeGradientStop>> gradientStops;
  std::string pattern;
  double patternOpacity = 0;
  std::optional<std::string> wallpaperId;
  std::optional<std::string> wallpaperUploadUrl;
  std::optional<std::string> wallpaperUploadSource;
  std::optional<NativeWallpaperTransform> wallpaperTransform;
};

struct NativeProjectSettings {
  NativeVideoSettings video;
  NativeBackgroundSettings background;
};

struct NativeScenePayload {
  NativeProjectSettings settings;
  std::optional<NativeCanvasReferenceDimensions> canvasReferenceDimensions;
};

struct NativeQualityPlan {
  std::string format;  // "mp4" or "gif"
  std::string videoCodec;
  std::string audioCodec;
  std::int64_t frameRate = 0;
  std::string resolution;
  std::string compression;
  std::string profile;
  std::string pixelFormat;
  std::string colorSpace;
  double estimatedVideoBitrateMbps = 0;
  double keyFrameIntervalSeconds = 0;
  bool allowHardwareEncode = false;
};

}  // namespace vantrel::exporter
