#include "plan/quality_plan_support.h"

namespace vantrel::exporter {

json::OrderedJson HelperQualityPlanSupport::toJson() const {
  json::OrderedJson o;
  o["requestedVideoCodec"] = requestedVideoCodec;
  o["requestedResolution"] = requestedResolution;
  o["requestedCompression"] = requestedCompression;
  o["requestedProfile"] = requestedProfile;
  o["requestedEstimatedVideoBitrateMbps"] = requestedEstimatedVideoBitrateMbps;
  o["requestedAllowHardwareEncode"] = requestedAllowHardwareEncode;
  o["selectedVideoPreset"] = selectedVideoPreset;
  o["optimizeForNetworkUse"] = optimizeForNetworkUse;
  o["honorsVideoCodec"] = honorsVideoCodec;
  o["honorsResolution"] = honorsResolution;
  o["honorsFrameRate"] = honorsFrameRate;
  o["honorsCompression"] = honorsCompression;
  o["honorsEstimatedVideoBitrate"] = honorsEstimatedVideoBitrate;
  o["honorsProfile"] = honorsProfile;
  o["honorsAllowHardwareEncode"] = honorsAllowHardwareEncode;
  o["notes"] = notes;
  return o;
}

}  // namespace vantrel::exporter
