#pragma once
// The styled scene several render tests share: gradient background, padding,
// rounded corners, drop shadow and an outside stroke, at 30 fps, one segment
// of the recording from 0 to `seconds`.

#include "manifest/manifest.h"

namespace vantrel::exporter::testing_scenes {

inline NativeExportManifestV1 styledScene(double seconds) {
  NativeExportManifestV1 m;
  auto& video = m.scene.settings.video;
  video.aspectRatio = "16:9";
  video.videoScale = 100;
  video.padding = 120;
  video.borderRadius = 48;
  video.shadow = {true, "#000000", 70, 80.0};
  video.stroke = {true, 6, "#FFE080", 90, "outside"};
  auto& background = m.scene.settings.background;
  background.type = "gradient";
  background.color = "#FF3060";
  background.secondaryColor = "#2040FF";
  background.gradientAngle = 135;
  background.pattern = "none";
  m.qualityPlan.frameRate = 30;
  m.qualityPlan.compression = "high";
  NativeVideoSegmentPlan s;
  s.segmentId = "s1";
  s.sourceEndTime = seconds;
  s.outputEndTime = seconds;
  m.videoPlan.segments = {s};
  m.videoPlan.durationSeconds = seconds;
  return m;
}

}  // namespace vantrel::exporter::testing_scenes
