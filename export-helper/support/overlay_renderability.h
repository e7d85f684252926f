#pragma once
// Which kinds of overlay will visibly appear in some frame of this export.

#include "manifest/manifest.h"
#include "plan/geometry.h"

namespace vantrel::exporter {

struct NativeRenderableOverlaySummary {
  bool hasImageOverlays = false;
  bool hasTextOverlays = false;
  bool hasBlurOverlays = false;
};

struct NativeOverlayRenderability {
  static NativeRenderableOverlaySummary summarize(const NativeExportManifestV1& manifest, Size renderSize);
};

}  // namespace vantrel::exporter
