#include "support/capabilities.h"

#include "job/helper_event.h"

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
  c.supportsPerspective3D = false;
  c.supportsNativeExport = true;
  c.supportsVideoToolbox = false;
  c.supportsMetal = false;
  c.supportedOutputModes = nativeSupportedOutputModes();
  return c;
}

}  // namespace vantrel::exporter
