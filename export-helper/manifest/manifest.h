#pragma once
// The export manifest: the one document that describes an export job. It is
// decoded once per job and then shared read-only by every stage.

#include <cstdint>
#include <string>
#include <string_view>

#include "manifest/audio_plan.h"
#include "manifest/camera_plan.h"
#include "manifest/overlay_plan.h"
#include "manifest/scene.h"
#include "manifest/video_plan.h"

namespace vantrel::exporter {

struct NativeExportManifestV1 {
  std::int64_t manifestVersion = 0;
  std::string architectureVersion;
  std::string projectName;
  NativeScenePayload scene;
  NativeQualityPlan qualityPlan;
  NativeVideoPlan videoPlan;
  NativeAudioPlan audioPlan;
  NativeOverlayPlan overlayPlan;
  NativeCameraPlan cameraPlan;
};

// Decodes a whole manifest from the file's bytes. Throws json::DecodeError
// (with the location of the first problem) for any syntax error, missing
// required key, wrong type or unknown filler layer type.
NativeExportManifestV1 decodeManifest(std::string_view bytes);

}  // namespace vantrel::exporter
