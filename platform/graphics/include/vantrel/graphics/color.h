#pragma once
// Colours: straight (not premultiplied) sRGB components in 0...1. Pixels in
// buffers are premultiplied BGRA8; conversion happens at the edge.

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace vantrel::graphics {

struct Color {
  double r = 0, g = 0, b = 0, a = 1;

  static Color clear() { return {0, 0, 0, 0}; }
  Color withAlpha(double alpha) const { return {r, g, b, alpha}; }
  bool isFinite() const {
    return std::isfinite(r) && std::isfinite(g) && std::isfinite(b) && std::isfinite(a);
  }
  // Premultiplied BGRA bytes packed little-endian (B in the low byte).
  uint32_t premultipliedBGRA() const {
    auto c01 = [](double v) { return std::isfinite(v) ? std::clamp(v, 0.0, 1.0) : 0.0; };
    const double al = c01(a);
    auto byte = [&](double v) { return static_cast<uint32_t>(std::lround(c01(v) * al * 255.0)); };
    return byte(b) | (byte(g) << 8) | (byte(r) << 16) | (static_cast<uint32_t>(std::lround(al * 255.0)) << 24);
  }
};

// Colour description attached to frames for the encoder: which primaries,
// transfer function and YCbCr matrix the pixels are meant in.
enum class ColorPrimaries { bt709 };
enum class TransferFunction { bt709, sRGB };
enum class YCbCrMatrix { bt709 };

struct ColorTags {
  ColorPrimaries primaries = ColorPrimaries::bt709;
  TransferFunction transfer = TransferFunction::bt709;
  YCbCrMatrix matrix = YCbCrMatrix::bt709;
  bool operator==(const ColorTags&) const = default;
};

}  // namespace vantrel::graphics
