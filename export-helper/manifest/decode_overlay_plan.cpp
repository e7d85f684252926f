#include "manifest/decode_support.h"

namespace vantrel {

BEGIN_RECORD(NativeSubtitleWord)
REQ(id);
REQ(text);
REQ(timelineStart);
REQ(timelineEnd);
END_RECORD

BEGIN_RECORD(NativeSubtitleCaption)
REQ(id);
REQ(startTime);
REQ(endTime);
REQ(lines);
END_RECORD

BEGIN_RECORD(NativeSubtitlePreset)
REQ(id);
REQ(name);
REQ(fontSize);
OPT(fontFamily);
OPT(fontWeight);
REQ(color);
OPT(uppercase);
REQ(highlightColor);
OPT(highlightEnabled);
OPT(highlightMode);
REQ(strokeColor);
REQ(strokeWidth);
OPT(strokeEnabled);
REQ(bottomMargin);
REQ(maxWidth);
REQ(letterSpacing);
REQ(lineHeight);
OPT(backgroundEnabled);
OPT(backgroundColor);
OPT(backgroundOpacity);
OPT(positionX);
OPT(positionY);
END_RECORD

BEGIN_RECORD(NativeImageCrop)
REQ(x);
REQ(y);
REQ(width);
REQ(height);
END_RECORD

BEGIN_RECORD(NativeImageAnimationSettings)
OPT(delay);
OPT(duration);
OPT(blur);
OPT(offsetY);
OPT(scaleFrom);
OPT(shakeIntensity);
OPT(shakeFrequency);
END_RECORD

BEGIN_RECORD(NativeImageOverlay)
REQ(id);
REQ(startTime);
REQ(endTime);
REQ(x);
REQ(y);
REQ(width);
REQ(height);
OPT(src);
OPT(sourceWidth);
OPT(sourceHeight);
OPT(crop);
OPT(animation);
OPT(animationDuration);
OPT(animationSettings);
END_RECORD

BEGIN_RECORD(NativeTextOverlay)
REQ(id);
REQ(startTime);
REQ(endTime);
REQ(x);
REQ(y);
REQ(width);
REQ(height);
OPT(textWidth);
OPT(text);
OPT(color);
OPT(opacity);
OPT(fontFamily);
OPT(fontWeight);
OPT(fontSize);
OPT(textAlign);
OPT(animationStyle);
OPT(backgroundEnabled);
OPT(backgroundColor);
OPT(backgroundOpacity);
OPT(backgroundRadius);
OPT(backgroundPadding);
END_RECORD

BEGIN_RECORD(NativeBlurOverlay)
REQ(id);
REQ(startTime);
REQ(endTime);
REQ(x);
REQ(y);
REQ(width);
REQ(height);
OPT(pixelSize);
OPT(cornerRadius);
OPT(animationStyle);
END_RECORD

BEGIN_RECORD(NativeAnnotationBrushSettings)
REQ(radius);
REQ(fadeDelayMs);
REQ(fadeDurationMs);
REQ(lerp);
REQ(minDistance);
END_RECORD

BEGIN_RECORD(NativeAnnotationPoint)
REQ(x);
REQ(y);
REQ(timestamp);
END_RECORD

BEGIN_RECORD(NativeAnnotationStroke)
REQ(id);
REQ(color);
REQ(points);
REQ(startedAt);
OPT(completedAt);
OPT(forceFadeStartedAt);
END_RECORD

BEGIN_RECORD(NativeAnnotationData)
REQ(version);
REQ(coordinateSpace);
REQ(brush);
OPT(sourceWidth);
OPT(sourceHeight);
REQ(strokes);
END_RECORD

BEGIN_RECORD(NativeTextAnimationSettings)
OPT(delay);
OPT(duration);
OPT(blur);
OPT(offsetY);
OPT(unit);
OPT(stagger);
OPT(scaleFrom);
OPT(shakeIntensity);
OPT(shakeFrequency);
END_RECORD

BEGIN_RECORD(NativeFillerTextLayer)
REQ(id);
REQ(type);
OPT(text);
OPT(verticalAlignment);
OPT(horizontalAlignment);
OPT(textAlign);
OPT(color);
OPT(opacity);
OPT(fontFamily);
OPT(fontWeight);
OPT(fontSize);
OPT(animation);
OPT(animationDuration);
OPT(animationSettings);
OPT(positionX);
OPT(positionY);
OPT(width);
END_RECORD

BEGIN_RECORD(NativeFillerImageLayer)
REQ(id);
REQ(type);
OPT(src);
REQ(width);
REQ(height);
OPT(sourceWidth);
OPT(sourceHeight);
OPT(crop);
OPT(animation);
OPT(animationDuration);
OPT(animationSettings);
OPT(positionX);
OPT(positionY);
OPT(verticalAlignment);
OPT(horizontalAlignment);
END_RECORD

// The layer's own "type" key picks the record; the chosen record then decodes
// the whole object again, "type" included.
exporter::NativeFillerLayer json::JsonDecode<exporter::NativeFillerLayer>::decode(const json::Value& value,
                                                                                 const json::Path& path) {
  json::ObjectReader reader(value, path);
  auto type = reader.required<std::string>("type");
  if (type == "text") return JsonDecode<exporter::NativeFillerTextLayer>::decode(value, path);
  if (type == "image") return JsonDecode<exporter::NativeFillerImageLayer>::decode(value, path);
  json::fail(path, "Unsupported filler layer type");
}

BEGIN_RECORD(NativeFillerBlock)
REQ(id);
REQ(duration);
REQ(sequenceIndex);
OPT(sequenceOrder);
REQ(startOutputTime);
REQ(endOutputTime);
REQ(disableEnterAnimation);
REQ(disableExitAnimation);
OPT(backgroundMode);
OPT(backgroundColor);
OPT(backgroundSecondaryColor);
OPT(backgroundGradientAngle);
OPT(backgroundGradientStops);
OPT(backgroundUploadUrl);
OPT(animationStyle);
OPT(animationDuration);
OPT(padding);
OPT(layers);
OPT(text);
OPT(textVerticalAlignment);
OPT(textHorizontalAlignment);
OPT(textAlign);
OPT(textColor);
OPT(textOpacity);
OPT(textFontFamily);
OPT(textFontWeight);
OPT(textFontSize);
OPT(textAnimation);
OPT(textAnimationDuration);
OPT(textAnimationSettings);
OPT(textPositionX);
OPT(textPositionY);
OPT(textWidth);
END_RECORD

BEGIN_RECORD(NativeOverlayPlan)
REQ(subtitleCaptions);
OPT(subtitlePreset);
REQ(imageOverlays);
REQ(textOverlays);
REQ(blurOverlays);
OPT(annotationData);
REQ(fillerBlocks);
OPT(wallpaperPath);
OPT(backgroundRasterPath);
END_RECORD

BEGIN_RECORD(NativeExportManifestV1)
REQ(manifestVersion);
REQ(architectureVersion);
REQ(projectName);
REQ(scene);
REQ(qualityPlan);
REQ(videoPlan);
REQ(audioPlan);
REQ(overlayPlan);
REQ(cameraPlan);
END_RECORD

}  // namespace vantrel
