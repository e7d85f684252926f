#pragma once
// The wall-clock budget an export is expected to meet, from its resolution,
// length and the features of its scene. Milliseconds.

#include <string>

#include "support/scene_profile.h"

namespace vantrel::exporter {

struct SpeedGateEvaluator {
  static double expectedTargetMs(const std::string& resolution, double outputDurationSeconds,
                                 const HelperSceneProfile& sceneProfile);
};

}  // namespace vantrel::exporter
