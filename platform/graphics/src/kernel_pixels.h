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

inline int16_t weightedSumQ15(const uint8_t* const* rows, const int16_t* weights, int taps, int i) {
  int16_t acc = 0;
  for (int k = 0; k < taps; ++k)
    acc = static_cast<int16_t>(acc + mulQ15(static_cast<int16_t>(rows[k][i] << 6), weights[k]));
  return acc;
}

// Q6 levels times Q14 weights, summed exactly in 32 bits, back to 8 bits.
inline uint32_t finishQ20(const int32_t acc[4]) {
  auto level = [](int32_t v) { return (v + (1 << 19)) >> 20; };
  const int32_t a = std::clamp(level(acc[3]), 0, 255);
  uint32_t o = static_cast<uint32_t>(a) << 24;
  for (int c = 0; c < 3; ++c) o |= static_cast<uint32_t>(std::clamp(level(acc[c]), 0, a)) << (8 * c);
  return o;
}

inline uint32_t resamplePixelQ14(const int16_t* pairs, const int* start, const int16_t* weights, int taps, int n,
                                 int x) {
  int32_t acc[4] = {0, 0, 0, 0};
  for (int j = 0; j < taps / 2; ++j) {
    const int16_t* p = pairs + static_cast<std::ptrdiff_t>(start[x] + 2 * j) * 8;
    const int16_t* w = weights + (static_cast<std::ptrdiff_t>(j) * n + x) * 8;
    for (int c = 0; c < 4; ++c) acc[c] += p[2 * c] * w[2 * c] + p[2 * c + 1] * w[2 * c + 1];
  }
  return finishQ20(acc);
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

// Bilinear tap of AffineRow p for output pixel i, in 8-bit weights.
inline uint32_t affinePixel(const AffineRow& p, int i) {
  const int32_t u = p.u0 + i * p.du, v = p.v0 + i * p.dv;
  const int32_t x0 = u >> 16, y0 = v >> 16;  // floor
  const uint32_t wx = ((static_cast<uint32_t>(u) & 0xffff) + 128) >> 8;
  const uint32_t wy = ((static_cast<uint32_t>(v) & 0xffff) + 128) >> 8;
  auto tap = [&](int32_t x, int32_t y) -> uint32_t {
    if (x < 0 || y < 0 || x >= p.width || y >= p.height) return 0;
    return reinterpret_cast<const uint32_t*>(p.src + y * p.stride)[x];
  };
  const uint32_t p00 = tap(x0, y0), p10 = tap(x0 + 1, y0), p01 = tap(x0, y0 + 1), p11 = tap(x0 + 1, y0 + 1);
  uint32_t o = 0;
  for (int c = 0; c < 32; c += 8) {
    const uint32_t top = ((p00 >> c) & 255) * (256 - wx) + ((p10 >> c) & 255) * wx;
    const uint32_t bottom = ((p01 >> c) & 255) * (256 - wx) + ((p11 >> c) & 255) * wx;
    o |= ((top * (256 - wy) + bottom * wy + 32768) >> 16) << c;
  }
  return o;
}

// Straight colour from premultiplied bytes by one division (r = R / A), the
// dot products as a chain of fused multiply-adds starting from the bias.
inline uint32_t colorMatrixPixel(uint32_t p, const float m[20]) {
  const float A = static_cast<float>(p >> 24);
  const float inv = A > 0.f ? 1.f / A : 0.f;
  const float in[4] = {static_cast<float>((p >> 16) & 255) * inv, static_cast<float>((p >> 8) & 255) * inv,
                       static_cast<float>(p & 255) * inv, A * (1.f / 255.f)};
  float out[4];
  for (int c = 0; c < 4; ++c) {
    float v = m[16 + c];
    for (int k = 0; k < 4; ++k) v = std::fma(m[4 * c + k], in[k], v);
    out[c] = std::clamp(v, 0.f, 1.f);
  }
  const float al = out[3] * 255.f;
  auto byte = [](float v) { return static_cast<uint32_t>(std::nearbyint(v)); };
  return byte(out[2] * al) | (byte(out[1] * al) << 8) | (byte(out[0] * al) << 16) | (byte(al) << 24);
}

}  // namespace vantrel::graphics::kernels::detail
