#pragma once
// Strict JSON decoding of every manifest record (keys equal field names,
// required vs optional, exact JSON types). Exposed per record so tests and
// tools can decode a single record.

#include "manifest/manifest.h"
#include "vantrel/common/strict_json.h"

#define VANTREL_DECLARE_MANIFEST_RECORD(T)                                  \
  template <>                                                               \
  struct JsonDecode<::vantrel::exporter::T> {                               \
    static ::vantrel::exporter::T decode(const Value& value, const Path& path); \
  };

namespace vantrel::json {

VANTREL_DECLARE_MANIFEST_RECORD(NativeExportManifestV1)
VANTREL_DECLARE_MANIFEST_RECORD(NativeScenePayload)
VANTREL_DECLARE_MANIFEST_RECORD(NativeCanvasReferenceDimensions)
VANTREL_DECLARE_MANIFEST_RECORD(NativeProjectSettings)
VANTREL_DECLARE_MANIFEST_RECORD(NativeVideoSettings)
VANTREL_DECLARE_MANIFEST_RECORD(NativeStrokeSettings)
VANTREL_DECLARE_MANIFEST_RECORD(NativeShadowSettings)
VANTREL_DECLARE_MANIFEST_RECORD(NativeBackgroundSettings)
VANTREL_DECLARE_MANIFEST_RECORD(NativeWallpaperTransform)
VANTREL_DECLARE_MANIFEST_RECORD(NativeGradientStop)
VANTREL_DECLARE_MANIFEST_RECORD(NativeQualityPlan)

VANTREL_DECLARE_MANIFEST_RECORD(NativeVideoPlan)
VANTREL_DECLARE_MANIFEST_RECORD(NativeVideoSegmentPlan)
VANTREL_DECLARE_MANIFEST_RECORD(NativeCropRegion)
VANTREL_DECLARE_MANIFEST_RECORD(NativeZoomPoint)
VANTREL_DECLARE_MANIFEST_RECORD(NativeResolvedZoomFrame)
VANTREL_DECLARE_MANIFEST_RECORD(NativePerspectiveFrame)
VANTREL_DECLARE_MANIFEST_RECORD(NativePerspectiveMotionSample)
VANTREL_DECLARE_MANIFEST_RECORD(NativeResolvedVideoStyleFrame)
VANTREL_DECLARE_MANIFEST_RECORD(NativeCursorData)
VANTREL_DECLARE_MANIFEST_RECORD(NativeCursorPosition)
VANTREL_DECLARE_MANIFEST_RECORD(NativeResolvedCursorFrame)
VANTREL_DECLARE_MANIFEST_RECORD(NativeCursorSettings)

VANTREL_DECLARE_MANIFEST_RECORD(NativeAudioPlan)
VANTREL_DECLARE_MANIFEST_RECORD(NativeAudioTrackSettings)
VANTREL_DECLARE_MANIFEST_RECORD(NativeVoiceoverSegment)
VANTREL_DECLARE_MANIFEST_RECORD(NativeCameraPlan)
VANTREL_DECLARE_MANIFEST_RECORD(NativeCameraSegment)
VANTREL_DECLARE_MANIFEST_RECORD(NativeCameraSettings)

VANTREL_DECLARE_MANIFEST_RECORD(NativeOverlayPlan)
VANTREL_DECLARE_MANIFEST_RECORD(NativeSubtitleCaption)
VANTREL_DECLARE_MANIFEST_RECORD(NativeSubtitleWord)
VANTREL_DECLARE_MANIFEST_RECORD(NativeSubtitlePreset)
VANTREL_DECLARE_MANIFEST_RECORD(NativeImageOverlay)
VANTREL_DECLARE_MANIFEST_RECORD(NativeImageCrop)
VANTREL_DECLARE_MANIFEST_RECORD(NativeImageAnimationSettings)
VANTREL_DECLARE_MANIFEST_RECORD(NativeTextOverlay)
VANTREL_DECLARE_MANIFEST_RECORD(NativeBlurOverlay)
VANTREL_DECLARE_MANIFEST_RECORD(NativeAnnotationData)
VANTREL_DECLARE_MANIFEST_RECORD(NativeAnnotationBrushSettings)
VANTREL_DECLARE_MANIFEST_RECORD(NativeAnnotationStroke)
VANTREL_DECLARE_MANIFEST_RECORD(NativeAnnotationPoint)
VANTREL_DECLARE_MANIFEST_RECORD(NativeFillerBlock)
VANTREL_DECLARE_MANIFEST_RECORD(NativeFillerLayer)
VANTREL_DECLARE_MANIFEST_RECORD(NativeFillerTextLayer)
VANTREL_DECLARE_MANIFEST_RECORD(NativeFillerImageLayer)
VANTREL_DECLARE_MANIFEST_RECORD(NativeTextAnimationSettings)

}  // namespace vantrel::json

#undef VANTREL_DECLARE_MANIFEST_RECORD
