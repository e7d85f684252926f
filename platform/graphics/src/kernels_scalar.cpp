#include <algorithm>
#include <cmath>

#include "kernel_pixels.h"
#include "vantrel/graphics/kernels.h"

namespace vantrel::graphics::kernels::scalar {
namespace {
inline uint32_t div255(uint32_t x) {
  x += 128;
  return (x + (x >> 8)) >> 8;
}
inline uint32_t chan(uint32_t p, int c) { return (p >> (8 * c)) & 255u; }
}  // namespace

void sourceOverRow(uint32_t* dst, const uint32_t* src, int n) {
  for (int i = 0; i < n; ++i) {
    const uint32_t s = src[i], d = dst[i], inv = 255 - chan(s, 3);
    uint32_t o = 0;
    for (int c = 0; c < 4; ++c) o |= ((chan(s, c) + div255(chan(d, c) * inv)) & 255u) << (8 * c);
    dst[i] = o;
  }
}

void sourceOverMaskedRow(uint32_t* dst, const uint32_t* src, const uint8_t* mask, int n) {
  for (int i = 0; i < n; ++i) {
    const uint32_t s = src[i], d = dst[i], m = mask[i];
    const uint32_t inv = 255 - div255(chan(s, 3) * m);
    uint32_t o = 0;
    for (int c = 0; c < 4; ++c) o |= ((div255(chan(s, c) * m) + div255(chan(d, c) * inv)) & 255u) << (8 * c);
    dst[i] = o;
  }
}

void blendWithMaskRow(uint32_t* dst, const uint32_t* src, const uint8_t* mask, int n) {
  for (int i = 0; i < n; ++i) {
    const uint32_t s = src[i], d = dst[i], m = mask[i];
    uint32_t o = 0;
    for (int c = 0; c < 4; ++c) o |= div255(chan(s, c) * m + chan(d, c) * (255 - m)) << (8 * c);
    dst[i] = o;
  }
}

void scaleRow(uint32_t* dst, const uint32_t* src, uint8_t factor, int n) {
  for (int i = 0; i < n; ++i) {
    uint32_t o = 0;
    for (int c = 0; c < 4; ++c) o |= div255(chan(src[i], c) * factor) << (8 * c);
    dst[i] = o;
  }
}

void weightedRowSum(const uint8_t* const* rows, const float* weights, int taps, float* out, int n) {
  for (int i = 0; i < n; ++i) out[i] = detail::weightedSum(rows, weights, taps, i);
}

void weightedRowSumQ15(const uint8_t* const* rows, const int16_t* weights, int taps, int16_t* out, int n) {
  for (int i = 0; i < n; ++i) out[i] = detail::weightedSumQ15(rows, weights, taps, i);
}

void pairPixels(const int16_t* in, int16_t* out, int n) {
  for (int p = 0; p < n; ++p)
    for (int c = 0; c < 4; ++c)
      for (int h = 0; h < 2; ++h) out[8 * p + 2 * c + h] = in[4 * (p + h) + c];
}

void resampleRowQ14(const int16_t* pairs, const int* start, const int16_t* weights, int taps, uint32_t* out, int n) {
  for (int x = 0; x < n; ++x) out[x] = detail::resamplePixelQ14(pairs, start, weights, taps, n, x);
}

void boxBlurColumns(const uint8_t* in, std::ptrdiff_t inStride, uint8_t* out, std::ptrdiff_t outStride,
                    int n, int height, int radius, int32_t* sums) {
  const float inv = 1.0f / static_cast<float>(2 * radius + 1);
  std::fill(sums, sums + n, 0);
  for (int y = 0; y < std::min(radius, height); ++y)
    for (int i = 0; i < n; ++i) sums[i] += in[y * inStride + i];
  for (int y = 0; y < height; ++y) {
    const int add = y + radius, sub = y - radius - 1;
    for (int i = 0; i < n; ++i) {
      if (add < height) sums[i] += in[add * inStride + i];
      if (sub >= 0) sums[i] -= in[sub * inStride + i];
      out[y * outStride + i] = detail::boxAverage(sums[i], inv);
    }
  }
}

void gradientRow(uint32_t* dst, int n, float t0, float dt, const float c0[4], const float c1[4]) {
  for (int i = 0; i < n; ++i) dst[i] = detail::gradientPixel(i, t0, dt, c0, c1);
}

void accumulateRow(uint16_t* acc, const uint8_t* in, int n) {
  for (int i = 0; i < n; ++i) acc[i] = static_cast<uint16_t>(acc[i] + in[i]);
}

void lerpRows(const uint16_t* a, const uint16_t* b, uint32_t w, uint8_t* out, int n) {
  for (int i = 0; i < n; ++i) out[i] = detail::lerp88(a[i], b[i], w);
}

void warpRowAntialiased(const WarpRow& p, uint32_t* out, int n) {
  for (int i = 0; i < n; ++i) out[i] = detail::warpPixel(p, p.x0 + static_cast<float>(i));
}

void affineRowBilinear(const AffineRow& p, uint32_t* out, int n) {
  for (int i = 0; i < n; ++i) out[i] = detail::affinePixel(p, i);
}

void colorMatrixRow(uint32_t* row, int n, const float m[20]) {
  for (int i = 0; i < n; ++i) row[i] = detail::colorMatrixPixel(row[i], m);
}

void addChannelSums(const uint32_t* p, int n, uint64_t sums[4]) {
  for (int i = 0; i < n; ++i)
    for (int c = 0; c < 4; ++c) sums[c] += (p[i] >> (8 * c)) & 255;
}

void transposePixels(const uint8_t* in, std::ptrdiff_t inStride, uint8_t* out, std::ptrdiff_t outStride, int width,
                     int height) {
  for (int x = 0; x < width; ++x) {
    auto* o = reinterpret_cast<uint32_t*>(out + x * outStride);
    for (int y = 0; y < height; ++y) o[y] = reinterpret_cast<const uint32_t*>(in + y * inStride)[x];
  }
}

}  // namespace vantrel::graphics::kernels::scalar
