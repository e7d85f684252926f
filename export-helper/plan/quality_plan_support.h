#pragma once
// What the host asked of the encoder and how far the chosen path honours it;
// reported back inside the performance report.

#include <string>
#include <vector>

#include "vantrel/common/json_out.h"

namespace vantrel::exporter {

struct HelperQualityPlanSupport {
  std::string requestedVideoCodec;
  std::string requestedResolution;
  std::string requestedCompression;
  std::string requestedProfile;
  double requestedEstimatedVideoBitrateMbps = 0;
  bool requestedAllowHardwareEncode = false;
  std::string selectedVideoPreset;
  bool optimizeForNetworkUse = true;
  bool honorsVideoCodec = false;
  bool honorsResolution = false;
  bool honorsFrameRate = false;
  bool honorsCompression = false;
  bool honorsEstimatedVideoBitrate = false;
  bool honorsProfile = false;
  bool honorsAllowHardwareEncode = false;
  std::vector<std::string> notes;

  json::OrderedJson toJson() const;
};

}  // namespace vantrel::exporter
