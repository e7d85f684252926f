#pragma once
// Manifest records of the camera plan. Times are seconds of output time except
// the positions inside the camera recording.

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vantrel::exporter {

struct NativeCameraSegment {
  std::string id;
  double startTime = 0;
  double endTime = 0;
  std::string videoUrl;
  double recordingStartTime = 0;
  double originalStartTime = 0;
  double originalEndTime = 0;
  std::optional<std::string> splitBoundaryRight;
  std::optional<std::string> splitBoundaryLeft;
  std::optional<std::string> voiceoverSegmentId;
};

struct NativeCameraSettings {
  bool showCamera = true;
  double scale = 100;
  std::string shape = "1:1";
  std::string verticalAlignment = "bottom";
  std::string horizontalAlignment = "right";
  std::string positionMode = "canvas";
  std::string positionTransitionStyle = "ease";
  double padding = 32;
  double radius = 16;
  double animationDuration = 0.4;
  std::optional<bool> mirrored;

  // The layout used for a camera segment that has no entry of its own. Only
  // this function applies these values; decoding never does.
  static NativeCameraSettings defaults() { return NativeCameraSettings{}; }
};

struct NativeCameraPlan {
  std::vector<NativeCameraSegment> cameraSegments;
  std::map<std::string, NativeCameraSettings> cameraSettingsById;
  std::vector<std::string> hiddenCameraSegmentIds;
};

}  // namespace vantrel::exporter
