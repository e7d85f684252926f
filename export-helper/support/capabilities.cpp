#include "support/capabilities.h"

#include "job/helper_event.h"
#include "vantrel/graphics/perspective.h"

namespace vantrel::exporter {

json::OrderedJson HelperCapabilities::toJson() const {
  json::OrderedJson o;
  o["version"] = version;
  o["platform"] = platform;
  o["available"] = available;
  o["supportsPerspective3D"] = supportsPerspective3D;
  o["supportsNativeExport"] = supportsNativeExport;
  o["supportsVideoToolbox"] = supportsVideoToolbox;
  o["supportsMetal"] = supportsMetal;
  o["supportedOutputModes"] = supportedOutputModes;
  json::putOptional<std::string>(o, "reason", reason);
  return o;
}

const std::vector<std::string>& nativeSupportedOutputModes() {
  static const std::vector<std::string> modes = {
      "single-source-segment-video", "single-source-source-audio", "single-source-smooth-cursor",
      "single-source-zoom", "animated-gif"};
  return modes;
}

HelperCapabilities currentCapabilities() {
  HelperCapabilities c;
  c.version = kHelperVersion;
  c.platform = "linux";
  c.available = true;
  // The kernel is compiled in; it counts as present once it has drawn a probe
  // picture correctly with this CPU's code path (no GPU is involved here).
  c.supportsPerspective3D = graphics::perspectiveKernelAvailable();
  c.supportsNativeExport = true;
  c.supportsVideoToolbox = false;
  c.supportsMetal = false;
  c.supportedOutputModes = nativeSupportedOutputModes();
  return c;
}

}  // namespace vantrel::exporter
