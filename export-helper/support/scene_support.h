#pragma once
// Whether the export program renders a decoded manifest at all.

#include <optional>
#include <string>

#include "manifest/manifest.h"

namespace vantrel::exporter {

struct NativeSceneSupportCheck {
  bool isSupported = true;
  std::optional<std::string> reason;  // reason code when not supported
};

// First failing rule wins: output format, presence of sources and segments,
// each segment's source index, then the cursor mode.
NativeSceneSupportCheck evaluateNativeSceneSupport(const NativeExportManifestV1& manifest);

}  // namespace vantrel::exporter
