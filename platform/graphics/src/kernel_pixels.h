#pragma once
// One-element forms of the float kernels, shared by the scalar references and
// the tails of the SIMD loops so that both round the same way. Internal.

#include <algorithm>
#include <cmath>
#include <cstdint>

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

inline uint8_t boxAverage(int32_t sum, float inverseWidth) {
  return static_cast<uint8_t>(std::clamp(std::nearbyint(static_cast<float>(sum) * inverseWidth), 0.f, 255.f));
}

inline uint8_t lerp88(uint16_t a, uint16_t b, uint32_t w) {
  return static_cast<uint8_t>((a * (256 - w) + b * w + 32768) >> 16);
}

}  // namespace vantrel::graphics::kernels::detail
