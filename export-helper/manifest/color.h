#pragma once
// The colour text grammar shared by every reader of the manifest: six or eight
// hexadecimal digits (RRGGBB or RRGGBBAA), "#" optional, white space and line
// breaks around ignored (Unicode's, as vantrel/common/text.h trims them).

#include <optional>
#include <string>

namespace vantrel::exporter {

// Straight (not premultiplied) sRGB colour, components in 0..1.
struct RgbaColor {
  double red = 0;
  double green = 0;
  double blue = 0;
  double alpha = 1;

  bool operator==(const RgbaColor&) const = default;
};

// No text, or text that is not a colour, gives nothing; each caller has its
// own fallback colour.
std::optional<RgbaColor> parseColor(const std::optional<std::string>& text);

}  // namespace vantrel::exporter
