#pragma once
// Manifest records of the overlay plan: subtitles, image/text/blur overlays,
// annotations, filler cards and the background picture paths. Overlay times are
// seconds of output time; annotation times are milliseconds.

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "manifest/scene.h"

namespace vantrel::exporter {

struct NativeSubtitleWord {
  std::string id;
  std::string text;
  double timelineStart = 0;
  double timelineEnd = 0;
};

struct NativeSubtitleCaption {
  std::string id;
  double startTime = 0;
  double endTime = 0;
  std::vector<std::vector<NativeSubtitleWord>> lines;
};

struct NativeSubtitlePreset {
  std::string id;
  std::string name;
  double fontSize = 0;
  std::optional<std::string> fontFamily;
  std::optional<double> fontWeight;
  std::string color;
  std::optional<bool> uppercase;
  std::string highlightColor;
  std::optional<bool> highlightEnabled;
  std::optional<std::string> highlightMode;
  std::string strokeColor;
  double strokeWidth = 0;
  std::optional<bool> strokeEnabled;
  double bottomMargin = 0;
  double maxWidth = 0;
  double letterSpacing = 0;
  double lineHeight = 0;
  std::optional<bool> backgroundEnabled;
  std::optional<std::string> backgroundColor;
  std::optional<double> backgroundOpacity;
  std::optional<double> positionX;
  std::optional<double> positionY;
};

struct NativeImageCrop {
  double x = 0;
  double y = 0;
  double width = 1;
  double height = 1;
};

struct NativeImageAnimationSettings {
  std::optional<double> delay;
  std::optional<double> duration;
  std::optional<double> blur;
  std::optional<double> offsetY;
  std::optional<double> scaleFrom;
  std::optional<double> shakeIntensity;
  std::optional<double> shakeFrequency;
};

struct NativeImageOverlay {
  std::string id;
  double startTime = 0;
  double endTime = 0;
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;
  std::optional<std::string> src;
  std::optional<double> sourceWidth;
  std::optional<double> sourceHeight;
  std::optional<NativeImageCrop> crop;
  std::optional<std::string> animation;
  std::optional<double> animationDuration;
  std::optional<NativeImageAnimationSettings> animationSettings;
};

struct NativeTextOverlay {
  std::string id;
  double startTime = 0;
  double endTime = 0;
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;
  std::optional<double> textWidth;
  std::optional<std::string> text;
  std::optional<std::string> color;
  std::optional<double> opacity;
  std::optional<std::string> fontFamily;
  std::optional<double> fontWeight;
  std::optional<double> fontSize;
  std::optional<std::string> textAlign;
  std::optional<std::string> animationStyle;
  std::optional<bool> backgroundEnabled;
  std::optional<std::string> backgroundColor;
  std::optional<double> backgroundOpacity;
  std::optional<double> backgroundRadius;
  std::optional<double> backgroundPadding;
};

struct NativeBlurOverlay {
  std::string id;
  double startTime = 0;
  double endTime = 0;
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;
  std::optional<double> pixelSize;
  std::optional<double> cornerRadius;
  std::optional<std::string> animationStyle;
};

struct NativeAnnotationBrushSettings {
  double radius = 0;
  double fadeDelayMs = 0;
  double fadeDurationMs = 0;
  double lerp = 0;
  double minDistance = 0;
};

struct NativeAnnotationPoint {
  double x = 0;
  double y = 0;
  double timestamp = 0;  // ms
};

struct NativeAnnotationStroke {
  std::string id;
  std::string color;
  std::vector<NativeAnnotationPoint> points;
  double startedAt = 0;                       // ms
  std::optional<double> completedAt;          // ms
  std::optional<double> forceFadeStartedAt;   // ms
};

struct NativeAnnotationData {
  std::int64_t version = 0;
  std::string coordinateSpace;
  NativeAnnotationBrushSettings brush;
  std::optional<double> sourceWidth;
  std::optional<double> sourceHeight;
  std::vector<NativeAnnotationStroke> strokes;
};

struct NativeTextAnimationSettings {
  std::optional<double> delay;
  std::optional<double> duration;
  std::optional<double> blur;
  std::optional<double> offsetY;
  std::optional<std::string> unit;
  std::optional<double> stagger;
  std::optional<double> scaleFrom;
  std::optional<double> shakeIntensity;
  std::optional<double> shakeFrequency;
};

struct NativeFillerTextLayer {
  std::string id;
  std::string type;  // "text"
  std::optional<std::string> text;
  std::optional<std::string> verticalAlignment;
  std::optional<std::string> horizontalAlignment;
  std::optional<std::string> textAlign;
  std::optional<std::string> color;
  std::optional<double> opacity;
  std::optional<std::string> fontFamily;
  std::optional<double> fontWeight;
  std::optional<double> fontSize;
  std::optional<std::string> animation;
  std::optional<double> animationDuration;
  std::optional<NativeTextAnimationSettings> animationSettings;
  std::optional<double> positionX;
  std::optional<double> positionY;
  std::optional<double> width;
};

struct NativeFillerImageLayer {
  std::string id;
  std::string type;  // "image"
  std::optional<std::string> src;
  double width = 0;
  double height = 0;
  std::optional<double> sourceWidth;
  std::optional<double> sourceHeight;
  std::optional<NativeImageCrop> crop;
  std::optional<std::string> animation;
  std::optional<double> animationDuration;
  std::optional<NativeImageAnimationSettings> animationSettings;
  std::optional<double> positionX;
  std::optional<double> positionY;
  std::optional<std::string> verticalAlignment;
  std::optional<std::string> horizontalAlignment;
};

// A filler card layer, chosen by its "type" key.
using NativeFillerLayer = std::variant<NativeFillerTextLayer, NativeFillerImageLayer>;

struct NativeFillerBlock {
  std::string id;
  double duration = 0;
  std::int64_t sequenceIndex = 0;
  std::optional<std::int64_t> sequenceOrder;
  double startOutputTime = 0;
  double endOutputTime = 0;
  bool disableEnterAnimation = false;
  bool disableExitAnimation = false;
  std::optional<std::string> backgroundMode;
  std::optional<std::string> backgroundColor;
  std::optional<std::string> backgroundSecondaryColor;
  std::optional<double> backgroundGradientAngle;
  std::optional<std::vector<NativeGradientStop>> backgroundGradientStops;
  std::optional<std::string> backgroundUploadUrl;
  std::optional<std::string> animationStyle;
  std::optional<double> animationDuration;
  std::optional<double> padding;
  std::optional<std::vector<NativeFillerLayer>> layers;
  // The single-text form, used only when `layers` is absent.
  std::optional<std::string> text;
  std::optional<std::string> textVerticalAlignment;
  std::optional<std::string> textHorizontalAlignment;
  std::optional<std::string> textAlign;
  std::optional<std::string> textColor;
  std::optional<double> textOpacity;
  std::optional<std::string> textFontFamily;
  std::optional<double> textFontWeight;
  std::optional<double> textFontSize;
  std::optional<std::string> textAnimation;
  std::optional<double> textAnimationDuration;
  std::optional<NativeTextAnimationSettings> textAnimationSettings;
  std::optional<double> textPositionX;
  std::optional<double> textPositionY;
  std::optional<double> textWidth;

  // The card's contents: `layers` when given (an empty list means none);
  // otherwise one text layer made from the single-text fields, whose id is the
  // block's id followed by "-default-text".
  std::vector<NativeFillerLayer> effectiveLayers() const;
};

struct NativeOverlayPlan {
  std::vector<NativeSubtitleCaption> subtitleCaptions;
  std::optional<NativeSubtitlePreset> subtitlePreset;
  std::vector<NativeImageOverlay> imageOverlays;
  std::vector<NativeTextOverlay> textOverlays;
  std::vector<NativeBlurOverlay> blurOverlays;
  std::optional<NativeAnnotationData> annotationData;
  std::vector<NativeFillerBlock> fillerBlocks;
  std::optional<std::string> wallpaperPath;
  std::optional<std::string> backgroundRasterPath;
};

}  // namespace vantrel::exporter
