#include "support/speed_gate.h"

#include <algorithm>

namespace vantrel::exporter {

double SpeedGateEvaluator::expectedTargetMs(const std::string& resolution, double outputDurationSeconds,
                                            const HelperSceneProfile& s) {
  double perSecond = 150;
  double fixed = 500;
  if (resolution == "4k") {
    perSecond = 370;
    fixed = 900;
  } else if (resolution == "1440p") {
    perSecond = 240;
    fixed = 650;
  } else if (resolution == "720p") {
    perSecond = 70;
    fixed = 350;
  }
  // Short exports are budgeted as if they lasted 10 s: fixed costs dominate.
  const double x = std::max(outputDurationSeconds, 10.0);
  struct Cost {
    bool on;
    double perSecond;
    double fixed;
  };
  const Cost costs[] = {
      {s.hasAudio, 0, 500},
      {s.hasCamera, 40, 2000 + 5000},
      {s.requiresCustomCompositor, 80, 250},
      {s.hasCursor, 80, 750},
      {s.hasZoom, 50, 500},
      {s.hasSubtitles, 15, 250},
      {s.hasImageOverlays, 10, 200},
      {s.hasTextOverlays, 10, 200},
      {s.hasBlurOverlays, 20, 300},
      {s.hasFillers, 5, 150},
      {s.hasWallpaper, 5, 100},
      {s.hasCrop, 10, 100},
      {s.hasStyledVideo, 10, 150},
      {s.hasMultiSegment, 3, 100},
      {s.hasMultiSource, 5, 150},
      {s.hasZoom && s.hasCursor && x >= 20, 0, 4000},
  };
  for (const auto& c : costs) {
    if (!c.on) continue;
    perSecond += c.perSecond;
    fixed += c.fixed;
  }
  return x * perSecond + fixed;
}

}  // namespace vantrel::exporter
