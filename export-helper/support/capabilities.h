#pragma once
// What this build of the export program can do, as reported to the host before
// it plans an export.

#include <optional>
#include <string>
#include <vector>

#include "vantrel/common/json_out.h"

namespace vantrel::exporter {

struct HelperCapabilities {
  std::string version;
  std::string platform;
  bool available = true;
  bool supportsPerspective3D = false;
  bool supportsNativeExport = true;
  bool supportsVideoToolbox = false;
  bool supportsMetal = false;
  std::vector<std::string> supportedOutputModes;
  std::optional<std::string> reason;

  json::OrderedJson toJson() const;
};

// The values of NativeSupportedOutputMode, in their reporting order.
const std::vector<std::string>& nativeSupportedOutputModes();

// The truth about this build on Linux: frames are composed on the CPU (no GPU
// device, no hardware video encoder); the perspective effect is reported when
// its compiled kernel passes its check on this machine.
HelperCapabilities currentCapabilities();

}  // namespace vantrel::exporter
