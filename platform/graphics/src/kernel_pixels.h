#pragma once
// One-element forms of the float kernels, shared by the scalar references and
// the tails of the SIMD loops so that both round the same way. Internal.

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "vantrel/graphics/kernels.h"

namespace vantrel::graphics::kernels::detail {

inline uint32_t gradientPixel(int i, float t0, float dt, const float c0[4], const float c1[4]) {
  const float t = std::clamp(std::fma(static_cast<float>(i), dt, t0), 0.f, 1.f);
  uint32_t o = 0;
  for (int c = 0; c < 4; ++c) {
    const float v = std::fma(c1[c] - c0[c], t, c0[c]);
    o |= static_cast<uint32_t>(std::nearbyint(std::clamp(v, 0.f, 255.f))) << (8 * c);
  }
  return o;
}

inline float weightedSum(const uint8_t* const* rows, const float* weights, int taps, int i) {
  float acc = 0.f;
  for (int k = 0; k < taps; ++k) acc = std::fma(weights[k], static_cast<float>(rows[k][i]), acc);
  return acc;
}

// Rounding Q15 multiply: ((a * b >> 14) + 1) >> 1.
inline int16_t mulQ15(int16_t a, int16_t b) {
  return static_cast<int16_t>(((static_cast<int32_t>(a) * b >> 14) + 1) >> 1);
}

inline float weightedSumQ15(const uint8_t* const* rows, const int16_t* weights, int taps, int i) {
  int16_t acc = 0;
  for (int k = 0; k < taps; ++k)
    acc = static_cast<int16_t>(acc + mulQ15(static_cast<int16_t>(rows[k][i] << 6), weights[k]));
  return static_cast<float>(acc) * (1.f / 64.f);
}

inline uint8_t boxAverage(int32_t sum, float inverseWidth) {
  return static_cast<uint8_t>(std::clamp(std::nearbyint(static_cast<float>(sum) * inverseWidth), 0.f, 255.f));
}

inline uint8_t lerp88(uint16_t a, uint16_t b, uint32_t w) {
  return static_cast<uint8_t>((a * (256 - w) + b * w + 32768) >> 16);
}

inline uint32_t warpPixel(const WarpRow& p, float x) {
  const float w = std::fma(p.aw, x, p.bw);
  if (!(w > 1e-6f)) return 0;
  const float inv = 1.f / w;
  float sx = std::fma(p.ax, x, p.bx) * inv, sy = std::fma(p.ay, x, p.by) * inv;
  const float W = static_cast<float>(p.width), H = static_cast<float>(p.height);
  const float unit = std::sqrt(std::max(p.absDet * inv * inv * inv, 1e-12f));
  const float inside = std::min(std::min(sx, W - sx), std::min(sy, H - sy));
  const float c = std::min(std::max(inside / unit + 0.5f, 0.f), 1.f);
  if (!(c > 0.f)) return 0;
  const auto coverage = static_cast<uint32_t>(c * 256.f + 0.5f);
  sx = std::min(std::max(sx, 0.5f), W - 0.5f);
  sy = std::min(std::max(sy, 0.5f), H - 0.5f);
  const float u = sx - 0.5f, v = (H - sy) - 0.5f;
  const int x0 = static_cast<int>(u), y0 = static_cast<int>(v);
  const int x1 = std::min(x0 + 1, p.width - 1), y1 = std::min(y0 + 1, p.height - 1);
  const auto wx = static_cast<uint32_t>((u - static_cast<float>(x0)) * 256.f + 0.5f);
  const auto wy = static_cast<uint32_t>((v - static_cast<float>(y0)) * 256.f + 0.5f);
  const auto* r0 = reinterpret_cast<const uint32_t*>(p.src + y0 * p.stride);
  const auto* r1 = reinterpret_cast<const uint32_t*>(p.src + y1 * p.stride);
  const uint32_t p00 = r0[x0], p10 = r0[x1], p01 = r1[x0], p11 = r1[x1];
  uint32_t o = 0;
  for (int s = 0; s < 32; s += 8) {
    const uint32_t top = ((p00 >> s) & 255) * (256 - wx) + ((p10 >> s) & 255) * wx;
    const uint32_t bottom = ((p01 >> s) & 255) * (256 - wx) + ((p11 >> s) & 255) * wx;
    const uint32_t value = (top * (256 - wy) + bottom * wy + 32768) >> 16;
    o |= ((value * coverage + 128) >> 8) << s;
  }
  return o;
}

}  // namespace vantrel::graphics::kernels::detail
