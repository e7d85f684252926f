#include "manifest/manifest.h"

#include <algorithm>

#include "manifest/color.h"
#include "manifest/decode.h"
#include "vantrel/common/text.h"

namespace vantrel::exporter {

NativeExportManifestV1 decodeManifest(std::string_view bytes) {
  return json::decodeDocument<NativeExportManifestV1>(bytes);
}

double NativeVideoSettings::aspectRatioValue(double sourceWidth, double sourceHeight) const {
  if (aspectRatio == "9:16") return 0.5625;
  if (aspectRatio == "1:1") return 1.0;
  if (aspectRatio == "16:9") return 16.0 / 9.0;
  if (aspectRatio == "16:10") return 1.6;
  if (aspectRatio == "4:5") return 0.8;
  if (aspectRatio == "custom") return std::max(customCanvasWidth, 1.0) / std::max(customCanvasHeight, 1.0);
  return std::max(sourceWidth, 1.0) / std::max(sourceHeight, 1.0);
}

std::vector<NativeFillerLayer> NativeFillerBlock::effectiveLayers() const {
  if (layers) return *layers;
  NativeFillerTextLayer layer;
  layer.id = id + "-default-text";
  layer.type = "text";
  layer.text = text;
  layer.verticalAlignment = textVerticalAlignment;
  layer.horizontalAlignment = textHorizontalAlignment;
  layer.textAlign = textAlign;
  layer.color = textColor;
  layer.opacity = textOpacity;
  layer.fontFamily = textFontFamily;
  layer.fontWeight = textFontWeight;
  layer.fontSize = textFontSize;
  layer.animation = textAnimation;
  layer.animationDuration = textAnimationDuration;
  layer.animationSettings = textAnimationSettings;
  layer.positionX = textPositionX;
  layer.positionY = textPositionY;
  layer.width = textWidth;
  return {layer};
}

namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::optional<RgbaColor> parseColor(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  const std::string_view s = vantrel::text::trimWhiteSpace(*text);
  std::string digits;
  for (char c : s) {
    if (c != '#') digits.push_back(c);
  }
  if (digits.size() == 6) digits += "FF";
  if (digits.size() != 8) return std::nullopt;
  std::uint32_t v = 0;
  for (char c : digits) {
    int h = hexValue(c);
    if (h < 0) return std::nullopt;
    v = (v << 4) | static_cast<std::uint32_t>(h);
  }
  return RgbaColor{static_cast<double>(v >> 24) / 255.0, static_cast<double>((v >> 16) & 255) / 255.0,
                   static_cast<double>((v >> 8) & 255) / 255.0, static_cast<double>(v & 255) / 255.0};
}

}  // namespace vantrel::exporter
