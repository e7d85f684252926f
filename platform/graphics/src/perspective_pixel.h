#pragma once
// One-pixel form of the perspective kernel: the scalar reference, and the
// tails of the SIMD rows, so that both round the same way. Internal.
//
// Every step is written as the SIMD path computes it (fused multiply-adds in
// the same places, the same bit tricks), so the two agree to one step of the
// 8-bit output.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "vantrel/graphics/perspective.h"

namespace vantrel::graphics::kernels::detail {

// log2 of a positive float from its bits: exponent plus the mantissa taken as
// linear. Off by at most 0.09, monotone, and exact on powers of two (an
// identity view lands exactly on level 0). Good enough to pick mip levels.
inline float log2Approx(float v) {
  int32_t bits;
  std::memcpy(&bits, &v, 4);
  return static_cast<float>(bits) * (1.f / 8388608.f) - 127.f;
}

inline float powerOfTwoInverse(int32_t k) {  // 2^-k for 0 <= k < 127
  const int32_t bits = (127 - k) << 23;
  float f;
  std::memcpy(&f, &bits, 4);
  return f;
}

// Kernel constants of one row, worked out once per row.
struct PerspectiveRowSetup {
  float h[9];
  float bx, by, bz;     // the q.y terms of H's rows
  float left, top, right, bottom;
  float edge[4];        // left, top, right, bottom
  float depth[3];
  float focus, invSpan, blurRadius, invRamp;
};

inline PerspectiveRowSetup setupRow(const PerspectiveRow& r) {
  const PerspectiveParams& p = *r.params;
  PerspectiveRowSetup s{};
  std::copy(p.inverse, p.inverse + 9, s.h);
  s.bx = std::fma(p.inverse[1], r.qy, p.inverse[2]);
  s.by = std::fma(p.inverse[4], r.qy, p.inverse[5]);
  s.bz = std::fma(p.inverse[7], r.qy, p.inverse[8]);
  // The plane is the viewport within the scene picture's own bounds.
  const PerspectiveTextureView& t = *r.image;
  const float scale = static_cast<float>(1 << t.baseLevel);
  float l = t.originX, tp = t.originY, rt = t.originX + static_cast<float>(t.width) * scale,
        b = t.originY + static_cast<float>(t.height) * scale;
  if (p.viewport[2] > 0 && p.viewport[3] > 0) {
    l = std::max(l, p.viewport[0]);
    tp = std::max(tp, p.viewport[1]);
    rt = std::min(rt, p.viewport[0] + p.viewport[2]);
    b = std::min(b, p.viewport[1] + p.viewport[3]);
  }
  s.left = l;
  s.top = tp;
  s.right = rt;
  s.bottom = b;
  for (int e = 0; e < 4; ++e) s.edge[e] = std::max(p.edgeBlur[e], 0.f);
  std::copy(p.depth, p.depth + 3, s.depth);
  s.focus = p.focusDepth;
  s.invSpan = p.blurSpan > 0 ? 1.f / p.blurSpan : 1e30f;
  s.blurRadius = std::max(p.blurRadius, 0.f);
  s.invRamp = p.blurRadius > 0.5f ? 1.f / (p.blurRadius - 0.5f) : 0.f;
  return s;
}

inline float clamp01(float v) { return std::min(v > 0.f ? v : 0.f, 1.f); }

// Colour arithmetic is fixed point: a channel is carried in 1/128 steps
// (0...32640, so two fit a 32-bit lane as the SIMD rows keep them) and a weight
// w in [0, 1] as -w in 1.15 (-32768...0, so that 1 is exact and mixes all the
// way). mulFixed15 is the SIMD rows' rounded 16-bit fixed-point product.
inline int32_t fixedWeight(float w) { return -static_cast<int32_t>(w * 32768.f); }
inline int32_t mulFixed15(int32_t a, int32_t b) { return (a * b + 16384) >> 15; }
// a + w (b - a), rounded; w = 0 gives a and w = 1 gives b exactly.
inline int32_t lerpFixed(int32_t a, int32_t b, int32_t negWeight) { return a + mulFixed15(a - b, negWeight); }

// Bilinear sample of level `level` of a texture at kernel-space scene point
// (sx, sy), clamped to the level's pixels; channels B, G, R, A in 1/128 steps.
inline void sampleLevel(const PerspectiveTextureView& t, int level, float sx, float sy, int32_t out[4]) {
  const float scale = powerOfTwoInverse(t.baseLevel + level);
  const int w = (t.width + (1 << level) - 1) >> level, h = (t.height + (1 << level) - 1) >> level;
  float u = std::fma(sx - t.originX, scale, -0.5f), v = std::fma(sy - t.originY, scale, -0.5f);
  // Written so that a NaN lands on 0: no index can leave the level.
  u = std::min(u >= 0.f ? u : 0.f, static_cast<float>(w - 1));
  v = std::min(v >= 0.f ? v : 0.f, static_cast<float>(h - 1));
  // In 1/32768 pixel steps: the whole part is the pixel, the rest its weight.
  const int32_t ux = static_cast<int32_t>(u * 32768.f), vy = static_cast<int32_t>(v * 32768.f);
  const int x0 = ux >> 15, y0 = vy >> 15;
  // On the last column or row the weight of the next one is 0, so the SIMD
  // rows may read the pixel past it (still inside the buffer) instead.
  const int x1 = std::min(x0 + 1, w - 1), y1 = std::min(y0 + 1, h - 1);
  const int32_t wx = -(ux & 32767), wy = -(vy & 32767);
  const auto* base = reinterpret_cast<const uint32_t*>(t.data) + t.offsets[level];
  const std::ptrdiff_t sp = t.stride / 4;
  const uint32_t p00 = base[y0 * sp + x0], p10 = base[y0 * sp + x1], p01 = base[y1 * sp + x0],
                 p11 = base[y1 * sp + x1];
  for (int c = 0; c < 4; ++c) {
    auto ch = [&](uint32_t px) { return static_cast<int32_t>((px >> (8 * c)) & 255) << 7; };
    out[c] = lerpFixed(lerpFixed(ch(p00), ch(p10), wx), lerpFixed(ch(p01), ch(p11), wx), wy);
  }
}

// Mip level lambda (scene pixels per output pixel, as log2) mapped onto a
// texture. Two levels are mixed only over the middle quarter of the step from
// one to the next and each is read alone elsewhere, so most pixels make one
// bilinear read instead of two, with no step in sharpness that shows.
inline void trilinear(const PerspectiveTextureView& t, float lambda, float sx, float sy, int32_t out[4]) {
  const float top = static_cast<float>(t.levels - 1);
  const float above = lambda - static_cast<float>(t.baseLevel);
  const float l = std::min(above >= 0.f ? above : 0.f, top);
  const int l0 = static_cast<int>(l);
  const int l1 = std::min(l0 + 1, t.levels - 1);
  const int32_t f = fixedWeight(clamp01(std::fma(4.f, l - static_cast<float>(l0), -1.5f)));
  if (f == -32768) return sampleLevel(t, l1, sx, sy, out);
  sampleLevel(t, l0, sx, sy, out);
  if (f == 0) return;
  int32_t b[4];
  sampleLevel(t, l1, sx, sy, b);
  for (int c = 0; c < 4; ++c) out[c] = lerpFixed(out[c], b[c], f);
}

// The softened copy is smooth at its own scale, so one level, the nearest,
// read bilinearly is enough: the step between neighbouring levels is far
// below what shows.
inline void softSample(const PerspectiveTextureView& t, float lambda, float sx, float sy, int32_t out[4]) {
  const float above = lambda - static_cast<float>(t.baseLevel) + 0.5f;
  const float l = std::min(above >= 0.f ? above : 0.f, static_cast<float>(t.levels - 1));
  sampleLevel(t, static_cast<int>(l), sx, sy, out);
}

// Where an output point lands in the scene, and how much scene its pixel covers.
struct ScenePoint {
  bool valid;        // in front of the eye
  float sx, sy;
  float jxx, jyx, jxy, jyy;  // derivatives of the scene point along the output's axes
  float lambda;      // log2 of the longer output-pixel side mapped into the scene
};

inline ScenePoint mapPoint(const PerspectiveRowSetup& s, float qx) {
  const float* h = s.h;
  ScenePoint p{};
  const float Z = std::fma(h[6], qx, s.bz);
  p.valid = Z > 1e-6f;
  if (!p.valid) return p;
  const float inv = 1.f / Z;
  p.sx = std::fma(h[0], qx, s.bx) * inv;
  p.sy = std::fma(h[3], qx, s.by) * inv;
  p.jxx = std::fma(-p.sx, h[6], h[0]) * inv;
  p.jyx = std::fma(-p.sy, h[6], h[3]) * inv;
  p.jxy = std::fma(-p.sx, h[7], h[1]) * inv;
  p.jyy = std::fma(-p.sy, h[7], h[4]) * inv;
  const float fx2 = std::fma(p.jxx, p.jxx, p.jyx * p.jyx), fy2 = std::fma(p.jxy, p.jxy, p.jyy * p.jyy);
  p.lambda = 0.5f * log2Approx(std::max(std::max(fx2, fy2), 1e-30f));
  return p;
}

// The softened copy holds nothing finer than its own pixels, 2^baseLevel
// scene pixels apart, so along a row it is read at knots that many output
// pixels apart (at most 4) and mixed linearly between them: a quarter of the
// reads for a blur of up to a pixel more, well under the softening itself.
inline int softKnotShift(const PerspectiveTextureView& soft) { return std::min(soft.baseLevel, 2); }

// Knot k sits on the centre of output pixel k << shift; clear behind the eye.
inline void softKnot(const PerspectiveRow& r, const PerspectiveRowSetup& s, int32_t k, int shift, int32_t out[4]) {
  const ScenePoint p = mapPoint(s, static_cast<float>(k * (1 << shift)) + 0.5f);
  if (!p.valid) {
    std::fill(out, out + 4, 0);
    return;
  }
  softSample(*r.softened, p.lambda, p.sx, p.sy, out);
}

inline uint32_t perspectivePixel(const PerspectiveRow& r, const PerspectiveRowSetup& s, float qx) {
  const ScenePoint p = mapPoint(s, qx);
  if (!p.valid) return 0;
  const float sx = p.sx, sy = p.sy;
  // Scene distance per output pixel across vertical (x) and horizontal (y) edges.
  const float gx = std::sqrt(std::fma(p.jxx, p.jxx, p.jxy * p.jxy));
  const float gy = std::sqrt(std::fma(p.jyx, p.jyx, p.jyy * p.jyy));
  auto ramp = [](float d, float g, float e) { return clamp01(std::fma(0.5f, g, d) / std::max(e + g, 1e-6f)); };
  const float coverage = ramp(sx - s.left, gx, s.edge[0]) * ramp(s.right - sx, gx, s.edge[2]) *
                         (ramp(sy - s.top, gy, s.edge[1]) * ramp(s.bottom - sy, gy, s.edge[3]));
  if (!(coverage > 0.f)) return 0;
  const float d = std::fma(s.depth[0], sx, std::fma(s.depth[1], sy, s.depth[2]));
  const float c = s.blurRadius * std::min(std::abs(d - s.focus) * s.invSpan, 1.f);
  float m = clamp01((c - 0.5f) * s.invRamp);
  m = m * m * std::fma(-2.f, m, 3.f);
  int32_t colour[4] = {0, 0, 0, 0};
  if (m < 1.f) trilinear(*r.image, p.lambda, sx, sy, colour);
  if (m > 0.f) {
    const int shift = softKnotShift(*r.softened);
    int32_t soft[4], next[4];
    if (shift == 0) {
      softSample(*r.softened, p.lambda, sx, sy, soft);
    } else {
      const int32_t x = static_cast<int32_t>(std::floor(qx));
      softKnot(r, s, x >> shift, shift, soft);
      const int32_t along = (x & ((1 << shift) - 1)) << (15 - shift);
      if (along != 0) {
        softKnot(r, s, (x >> shift) + 1, shift, next);
        for (int k = 0; k < 4; ++k) soft[k] = lerpFixed(soft[k], next[k], -along);
      }
    }
    const int32_t wm = fixedWeight(m);
    for (int k = 0; k < 4; ++k) colour[k] = lerpFixed(colour[k], soft[k], wm);
  }
  const int32_t wc = fixedWeight(coverage);
  uint32_t o = 0;
  for (int k = 0; k < 4; ++k) o |= static_cast<uint32_t>((lerpFixed(0, colour[k], wc) + 64) >> 7) << (8 * k);
  return o;
}

inline uint32_t mipReducePixel(uint32_t p, uint32_t q, uint32_t r, uint32_t s) {
  constexpr uint32_t M = 0x00ff00ffu, R = 0x00020002u;
  const uint32_t e = (p & M) + (q & M) + (r & M) + (s & M) + R;
  const uint32_t o = ((p >> 8) & M) + ((q >> 8) & M) + ((r >> 8) & M) + ((s >> 8) & M) + R;
  return ((e >> 2) & M) | (((o >> 2) & M) << 8);
}

}  // namespace vantrel::graphics::kernels::detail
