#include "support/scene_profile.h"

namespace vantrel::exporter {

json::OrderedJson HelperSceneProfile::toJson() const {
  json::OrderedJson o;
  o["sceneClass"] = sceneClass;
  o["usesSimplePassThrough"] = usesSimplePassThrough;
  o["requiresCustomCompositor"] = requiresCustomCompositor;
  o["hasAudio"] = hasAudio;
  o["hasCamera"] = hasCamera;
  o["hasCursor"] = hasCursor;
  o["hasZoom"] = hasZoom;
  o["hasSubtitles"] = hasSubtitles;
  o["hasImageOverlays"] = hasImageOverlays;
  o["hasTextOverlays"] = hasTextOverlays;
  o["hasBlurOverlays"] = hasBlurOverlays;
  o["hasAnnotations"] = hasAnnotations;
  o["hasFillers"] = hasFillers;
  o["hasWallpaper"] = hasWallpaper;
  o["hasCrop"] = hasCrop;
  o["hasStyledVideo"] = hasStyledVideo;
  o["hasMultiSegment"] = hasMultiSegment;
  o["hasMultiSource"] = hasMultiSource;
  o["featureTags"] = featureTags;
  return o;
}

}  // namespace vantrel::exporter

#include <cmath>

#include "support/overlay_renderability.h"

namespace vantrel::exporter {

bool isStyledVideoScene(const NativeExportManifestV1& manifest) {
  const auto& v = manifest.scene.settings.video;
  const auto& bg = manifest.scene.settings.background;
  return std::abs(v.padding) > 0.0001 || std::abs(v.videoScale - 100) > 0.0001 || std::abs(v.borderRadius) > 0.0001 ||
         v.stroke.enabled || v.shadow.enabled || bg.type != "color" || bg.pattern != "none";
}

HelperSceneProfile buildSceneProfile(const NativeExportManifestV1& manifest, Size renderSize,
                                     bool usesSimplePassThrough, bool cursorRuntimeEnabled, bool zoomRuntimeEnabled) {
  const auto& video = manifest.videoPlan;
  const auto& overlays = manifest.overlayPlan;
  const auto& background = manifest.scene.settings.background;
  auto summary = NativeOverlayRenderability::summarize(manifest, renderSize);

  HelperSceneProfile p;
  p.usesSimplePassThrough = usesSimplePassThrough;
  p.requiresCustomCompositor = !usesSimplePassThrough;
  p.sceneClass = usesSimplePassThrough ? "simple-passthrough" : "custom-compositor";
  p.hasAudio = manifest.audioPlan.includeAudioTrack;
  p.hasCamera = !manifest.cameraPlan.cameraSegments.empty();
  p.hasCursor = cursorRuntimeEnabled || video.cursorSettings.enabled ||
                (video.resolvedCursorFrames && !video.resolvedCursorFrames->empty()) ||
                (video.cursorData && !video.cursorData->positions.empty()) || !video.hiddenCursorSegmentIds.empty();
  p.hasZoom = zoomRuntimeEnabled || !video.zoomPoints.empty() ||
              (video.resolvedZoomFrames && !video.resolvedZoomFrames->empty());
  p.hasSubtitles = !overlays.subtitleCaptions.empty();
  p.hasImageOverlays = summary.hasImageOverlays;
  p.hasTextOverlays = summary.hasTextOverlays;
  p.hasBlurOverlays = summary.hasBlurOverlays;
  p.hasAnnotations = overlays.annotationData && !overlays.annotationData->strokes.empty();
  p.hasFillers = !overlays.fillerBlocks.empty();
  p.hasWallpaper = overlays.wallpaperPath.has_value() || background.wallpaperId.has_value() ||
                   background.wallpaperUploadUrl.has_value();
  p.hasCrop = video.cropRegion.has_value();
  p.hasStyledVideo = isStyledVideoScene(manifest);
  p.hasMultiSegment = video.segments.size() > 1;
  p.hasMultiSource = video.sourceVideoPaths.size() >= 2 ||
                     std::any_of(video.segments.begin(), video.segments.end(),
                                 [](const auto& s) { return s.sourceIndex != 0; });

  const std::pair<bool, const char*> tags[] = {
      {p.requiresCustomCompositor, "custom-compositor"},
      {p.hasCursor, "cursor"},
      {p.hasZoom, "zoom"},
      {p.hasCamera, "camera"},
      {p.hasAudio, "audio"},
      {p.hasSubtitles, "subtitles"},
      {p.hasImageOverlays, "image-overlays"},
      {p.hasTextOverlays, "text-overlays"},
      {p.hasBlurOverlays, "blur-overlays"},
      {p.hasAnnotations, "annotations"},
      {p.hasFillers, "fillers"},
      {p.hasWallpaper, "wallpaper"},
      {p.hasCrop, "crop"},
      {p.hasStyledVideo, "styled-video"},
      {p.hasMultiSegment, "multi-segment"},
      {p.hasMultiSource, "multi-source"},
  };
  for (const auto& [on, tag] : tags) {
    if (on) p.featureTags.emplace_back(tag);
  }
  return p;
}

}  // namespace vantrel::exporter
