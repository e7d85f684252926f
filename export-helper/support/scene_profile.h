#pragma once
// The scene classification written into the performance report of every video
// export: which features the scene uses, and the tags that summarise them.

#include <string>
#include <vector>

#include "vantrel/common/json_out.h"

namespace vantrel::exporter {

struct HelperSceneProfile {
  std::string sceneClass;  // "simple-passthrough" or "custom-compositor"
  bool usesSimplePassThrough = false;
  bool requiresCustomCompositor = false;
  bool hasAudio = false;
  bool hasCamera = false;
  bool hasCursor = false;
  bool hasZoom = false;
  bool hasSubtitles = false;
  bool hasImageOverlays = false;
  bool hasTextOverlays = false;
  bool hasBlurOverlays = false;
  bool hasAnnotations = false;
  bool hasFillers = false;
  bool hasWallpaper = false;
  bool hasCrop = false;
  bool hasStyledVideo = false;
  bool hasMultiSegment = false;
  bool hasMultiSource = false;
  std::vector<std::string> featureTags;

  json::OrderedJson toJson() const;
};

}  // namespace vantrel::exporter

#include "manifest/manifest.h"
#include "plan/geometry.h"

namespace vantrel::exporter {

// True when the project's look differs from a plain recording on a plain canvas.
bool isStyledVideoScene(const NativeExportManifestV1& manifest);

HelperSceneProfile buildSceneProfile(const NativeExportManifestV1& manifest, Size renderSize,
                                     bool usesSimplePassThrough, bool cursorRuntimeEnabled, bool zoomRuntimeEnabled);

}  // namespace vantrel::exporter
