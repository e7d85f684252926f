#pragma once
// Whether a scene is a plain recording that can be copied without re-encoding.

#include "manifest/manifest.h"
#include "plan/geometry.h"

namespace vantrel::exporter {

// `baseTrackMetadata` is the first source's video track; only its display size
// is used. The twelve conditions are checked in order, first failure wins.
bool isSimpleVideoPassThroughCandidate(const NativeExportManifestV1& manifest,
                                       const VideoTrackMetadata& baseTrackMetadata, Size renderSize);

}  // namespace vantrel::exporter
