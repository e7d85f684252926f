#pragma once
// Small helpers shared by the graphics tests.

#include <cmath>
#include <cstdint>
#include <random>

#include "vantrel/graphics/pixel_buffer.h"

namespace vantrel::graphics::testutil {

inline int channel(uint32_t p, int c) { return static_cast<int>((p >> (8 * c)) & 255); }

// Pixel at drawing-space (x, y) of a buffer placed at the origin (row 0 is the top).
inline uint32_t at(const PixelBuffer& b, int x, int y) { return b.pixelRow(b.height() - 1 - y)[x]; }

// PSNR in dB over all four channels of two same-sized buffers.
inline double psnr(const PixelBuffer& a, const PixelBuffer& b) {
  double se = 0;
  for (int y = 0; y < a.height(); ++y)
    for (int x = 0; x < a.width(); ++x)
      for (int c = 0; c < 4; ++c) {
        const double d = channel(a.pixelRow(y)[x], c) - channel(b.pixelRow(y)[x], c);
        se += d * d;
      }
  const double mse = se / (4.0 * a.width() * a.height());
  return mse == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 / mse);
}

// A screen-like opaque test picture: flat panels, hard edges, fine lines and a smooth ramp.
inline BufferRef screenLike(int w, int h, uint32_t seed = 1) {
  auto b = makeBuffer(w, h, PixelFormat::bgra8);
  std::mt19937 rng(seed);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      uint32_t v;
      if (y < h / 8) v = 0xff202830;                                   // title bar
      else if (x < w / 5) v = 0xff3a3f4a;                              // side bar
      else if ((y / 3) % 7 == 0 && (x / 5) % 3 != 0) v = 0xff101010;   // text-like strokes
      else {
        const uint32_t g = static_cast<uint32_t>(255.0 * x / w);
        v = 0xff000000u | (g << 16) | ((255 - g) << 8) | 0xe0;
      }
      b->pixelRow(y)[x] = v;
    }
  return b;
}

}  // namespace vantrel::graphics::testutil
