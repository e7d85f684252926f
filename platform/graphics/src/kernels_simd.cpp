// SIMD versions of the raster kernels, compiled once per target and chosen at
// run time. The scalar references live in kernels_scalar.cpp; every function
// here must agree with its reference (see tests).
#include <algorithm>
#include <cmath>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "kernels_simd.cpp"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"
#include "kernel_pixels.h"
#include "vantrel/graphics/kernels.h"

HWY_BEFORE_NAMESPACE();
namespace vantrel::graphics::kernels::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

#if HWY_TARGET == HWY_SCALAR
// Single-lane builds have no vectors to work with: they are the references.
void SourceOverRow(uint32_t* dst, const uint32_t* src, int n) { scalar::sourceOverRow(dst, src, n); }
void SourceOverMaskedRow(uint32_t* dst, const uint32_t* src, const uint8_t* mask, int n) {
  scalar::sourceOverMaskedRow(dst, src, mask, n);
}
void BlendWithMaskRow(uint32_t* dst, const uint32_t* src, const uint8_t* mask, int n) {
  scalar::blendWithMaskRow(dst, src, mask, n);
}
void ScaleRow(uint32_t* dst, const uint32_t* src, uint8_t factor, int n) { scalar::scaleRow(dst, src, factor, n); }
void WeightedRowSum(const uint8_t* const* rows, const float* weights, int taps, float* out, int n) {
  scalar::weightedRowSum(rows, weights, taps, out, n);
}
void WeightedRowSumQ15(const uint8_t* const* rows, const int16_t* weights, int taps, float* out, int n) {
  scalar::weightedRowSumQ15(rows, weights, taps, out, n);
}
void ResampleRow(const float* in, const int* start, const float* weights, int taps, uint32_t* out, int n) {
  scalar::resampleRow(in, start, weights, taps, out, n);
}
void BoxBlurColumns(const uint8_t* in, std::ptrdiff_t inStride, uint8_t* out, std::ptrdiff_t outStride, int n,
                    int height, int radius, int32_t* sums) {
  scalar::boxBlurColumns(in, inStride, out, outStride, n, height, radius, sums);
}
void GradientRow(uint32_t* dst, int n, float t0, float dt, const float c0[4], const float c1[4]) {
  scalar::gradientRow(dst, n, t0, dt, c0, c1);
}
void AccumulateRow(uint16_t* acc, const uint8_t* in, int n) { scalar::accumulateRow(acc, in, n); }
void WarpRowAntialiased(const WarpRow& p, uint32_t* out, int n) { scalar::warpRowAntialiased(p, out, n); }
void LerpRows(const uint16_t* a, const uint16_t* b, uint32_t w, uint8_t* out, int n) {
  scalar::lerpRows(a, b, w, out, n);
}
#else
namespace {
// Exact x / 255 rounded, for x <= 65280 + 127, in 16-bit lanes.
template <class D16, class V16>
HWY_INLINE V16 Div255(D16 d16, V16 x) {
  x = hn::Add(x, hn::Set(d16, 128));
  return hn::ShiftRight<8>(hn::Add(x, hn::ShiftRight<8>(x)));
}

// Runs op(s16, d16, m16) -> o16 over 16-bit widened lanes of n pixels.
// maskMode: 0 none, 1 per-pixel A8 mask broadcast to the pixel's 4 channels.
template <int kMaskMode, class Op>
HWY_INLINE void Blend16(uint32_t* dst, const uint32_t* src, const uint8_t* mask, int n, Op op) {
  const hn::ScalableTag<uint8_t> d8;
  const hn::Half<decltype(d8)> dh8;
  const hn::RepartitionToWide<decltype(d8)> d16;
  const hn::RebindToSigned<decltype(d16)> di16;
  const hn::Repartition<uint32_t, decltype(d8)> d32;
  const hn::Rebind<uint8_t, decltype(d32)> dq8;
  const int perVec = static_cast<int>(hn::Lanes(d32));
  auto* dst8 = reinterpret_cast<uint8_t*>(dst);
  const auto* src8 = reinterpret_cast<const uint8_t*>(src);
  int i = 0;
  for (; i + perVec <= n; i += perVec) {
    const auto s = hn::LoadU(d8, src8 + i * 4);
    const auto d = hn::LoadU(d8, dst8 + i * 4);
    auto m = hn::Zero(d8);
    if constexpr (kMaskMode == 1) {
      const auto m32 = hn::Mul(hn::PromoteTo(d32, hn::LoadU(dq8, mask + i)), hn::Set(d32, 0x01010101u));
      m = hn::BitCast(d8, m32);
    }
    const auto sLo = hn::PromoteTo(d16, hn::LowerHalf(dh8, s)), sHi = hn::PromoteTo(d16, hn::UpperHalf(dh8, s));
    const auto dLo = hn::PromoteTo(d16, hn::LowerHalf(dh8, d)), dHi = hn::PromoteTo(d16, hn::UpperHalf(dh8, d));
    const auto mLo = hn::PromoteTo(d16, hn::LowerHalf(dh8, m)), mHi = hn::PromoteTo(d16, hn::UpperHalf(dh8, m));
    const auto oLo = op(d16, sLo, dLo, mLo), oHi = op(d16, sHi, dHi, mHi);
    const auto out = hn::Combine(d8, hn::DemoteTo(dh8, hn::BitCast(di16, oHi)),
                                 hn::DemoteTo(dh8, hn::BitCast(di16, oLo)));
    hn::StoreU(out, d8, dst8 + i * 4);
  }
  // Tail through the same lane arithmetic on a padded copy.
  if (i < n) {
    HWY_ALIGN uint32_t sBuf[HWY_MAX_BYTES / 4] = {}, dBuf[HWY_MAX_BYTES / 4] = {};
    HWY_ALIGN uint8_t mBuf[HWY_MAX_BYTES / 4 + 16] = {};
    const int rest = n - i;
    std::copy(src + i, src + n, sBuf);
    std::copy(dst + i, dst + n, dBuf);
    if (kMaskMode == 1) std::copy(mask + i, mask + n, mBuf);
    Blend16<kMaskMode>(dBuf, sBuf, mBuf, perVec, op);
    std::copy(dBuf, dBuf + rest, dst + i);
  }
}

// Broadcasts each pixel's alpha (lane 3 of every group of four 16-bit lanes).
template <class D16, class V16>
HWY_INLINE V16 AlphaOf(D16 d16, V16 v) {
  const hn::Repartition<uint8_t, D16> d8;
  alignas(16) static constexpr uint8_t kIdx[16] = {6, 7, 6, 7, 6, 7, 6, 7, 14, 15, 14, 15, 14, 15, 14, 15};
  return hn::BitCast(d16, hn::TableLookupBytes(hn::BitCast(d8, v), hn::LoadDup128(d8, kIdx)));
}
}  // namespace

void SourceOverRow(uint32_t* dst, const uint32_t* src, int n) {
  Blend16<0>(dst, src, nullptr, n, [](auto d16, auto s, auto d, auto) {
    const auto inv = hn::Sub(hn::Set(d16, 255), AlphaOf(d16, s));
    return hn::Add(s, Div255(d16, hn::Mul(d, inv)));
  });
}

void SourceOverMaskedRow(uint32_t* dst, const uint32_t* src, const uint8_t* mask, int n) {
  Blend16<1>(dst, src, mask, n, [](auto d16, auto s, auto d, auto m) {
    const auto inv = hn::Sub(hn::Set(d16, 255), Div255(d16, hn::Mul(AlphaOf(d16, s), m)));
    return hn::Add(Div255(d16, hn::Mul(s, m)), Div255(d16, hn::Mul(d, inv)));
  });
}

void BlendWithMaskRow(uint32_t* dst, const uint32_t* src, const uint8_t* mask, int n) {
  Blend16<1>(dst, src, mask, n, [](auto d16, auto s, auto d, auto m) {
    const auto inv = hn::Sub(hn::Set(d16, 255), m);
    return Div255(d16, hn::Add(hn::Mul(s, m), hn::Mul(d, inv)));
  });
}

void ScaleRow(uint32_t* dst, const uint32_t* src, uint8_t factor, int n) {
  if (dst != src) std::copy(src, src + n, dst);
  const uint16_t f = factor;
  Blend16<0>(dst, dst, nullptr, n, [f](auto d16, auto s, auto, auto) { return Div255(d16, hn::Mul(s, hn::Set(d16, f))); });
}

void WeightedRowSum(const uint8_t* const* rows, const float* weights, int taps, float* out, int n) {
  const hn::ScalableTag<float> df;
  const hn::RebindToSigned<decltype(df)> di;
  const hn::Rebind<uint8_t, decltype(df)> d8;
  const int N = static_cast<int>(hn::Lanes(df));
  int i = 0;
  for (; i + N <= n; i += N) {
    auto acc = hn::Zero(df);
    for (int k = 0; k < taps; ++k) {
      const auto v = hn::ConvertTo(df, hn::PromoteTo(di, hn::LoadU(d8, rows[k] + i)));
      acc = hn::MulAdd(hn::Set(df, weights[k]), v, acc);
    }
    hn::StoreU(acc, df, out + i);
  }
  for (; i < n; ++i) out[i] = detail::weightedSum(rows, weights, taps, i);
}

void WeightedRowSumQ15(const uint8_t* const* rows, const int16_t* weights, int taps, float* out, int n) {
  const hn::ScalableTag<int16_t> d16;
  const hn::RebindToUnsigned<decltype(d16)> du16;
  const hn::Rebind<uint8_t, decltype(d16)> d8;
  const hn::Half<decltype(d16)> dh16;
  const hn::RepartitionToWide<decltype(d16)> d32;
  const hn::RebindToFloat<decltype(d32)> df;
  const int N = static_cast<int>(hn::Lanes(d16));
  const int H = static_cast<int>(hn::Lanes(d32));
  const auto scale = hn::Set(df, 1.f / 64.f);
  int i = 0;
  for (; i + N <= n; i += N) {
    auto acc = hn::Zero(d16);
    for (int k = 0; k < taps; ++k) {
      const auto v = hn::ShiftLeft<6>(hn::BitCast(d16, hn::PromoteTo(du16, hn::LoadU(d8, rows[k] + i))));
      acc = hn::Add(acc, hn::MulFixedPoint15(v, hn::Set(d16, weights[k])));
    }
    hn::StoreU(hn::Mul(hn::ConvertTo(df, hn::PromoteTo(d32, hn::LowerHalf(dh16, acc))), scale), df, out + i);
    hn::StoreU(hn::Mul(hn::ConvertTo(df, hn::PromoteTo(d32, hn::UpperHalf(dh16, acc))), scale), df, out + i + H);
  }
  for (; i < n; ++i) out[i] = detail::weightedSumQ15(rows, weights, taps, i);
}

void ResampleRow(const float* in, const int* start, const float* weights, int taps, uint32_t* out, int n) {
  const hn::Full128<float> df;
  const hn::Rebind<uint8_t, decltype(df)> d8;
  // Clamped to [0, 255] with colour bounded by the pixel's own alpha, then rounded.
  auto finish = [&](decltype(hn::Zero(df)) acc, uint32_t* o) {
    const auto a = hn::Min(hn::Max(hn::Broadcast<3>(acc), hn::Zero(df)), hn::Set(df, 255.f));
    const auto v = hn::Min(hn::Max(acc, hn::Zero(df)), a);
    hn::StoreU(hn::DemoteTo(d8, hn::NearestInt(v)), d8, reinterpret_cast<uint8_t*>(o));
  };
  // Two pixels at a time with two accumulators each: four independent
  // multiply-add chains instead of one long dependent one.
  int x = 0;
  for (; x + 2 <= n; x += 2) {
    const float* w0 = weights + static_cast<std::ptrdiff_t>(x) * taps;
    const float* w1 = w0 + taps;
    const float* p0 = in + static_cast<std::ptrdiff_t>(start[x]) * 4;
    const float* p1 = in + static_cast<std::ptrdiff_t>(start[x + 1]) * 4;
    auto a0 = hn::Zero(df), b0 = hn::Zero(df), a1 = hn::Zero(df), b1 = hn::Zero(df);
    int k = 0;
    for (; k + 2 <= taps; k += 2) {
      a0 = hn::MulAdd(hn::Set(df, w0[k]), hn::LoadU(df, p0 + k * 4), a0);
      a1 = hn::MulAdd(hn::Set(df, w1[k]), hn::LoadU(df, p1 + k * 4), a1);
      b0 = hn::MulAdd(hn::Set(df, w0[k + 1]), hn::LoadU(df, p0 + k * 4 + 4), b0);
      b1 = hn::MulAdd(hn::Set(df, w1[k + 1]), hn::LoadU(df, p1 + k * 4 + 4), b1);
    }
    if (k < taps) {
      a0 = hn::MulAdd(hn::Set(df, w0[k]), hn::LoadU(df, p0 + k * 4), a0);
      a1 = hn::MulAdd(hn::Set(df, w1[k]), hn::LoadU(df, p1 + k * 4), a1);
    }
    finish(hn::Add(a0, b0), out + x);
    finish(hn::Add(a1, b1), out + x + 1);
  }
  for (; x < n; ++x) {
    const float* w = weights + static_cast<std::ptrdiff_t>(x) * taps;
    const float* p = in + static_cast<std::ptrdiff_t>(start[x]) * 4;
    auto a = hn::Zero(df), b = hn::Zero(df);
    int k = 0;
    for (; k + 2 <= taps; k += 2) {
      a = hn::MulAdd(hn::Set(df, w[k]), hn::LoadU(df, p + k * 4), a);
      b = hn::MulAdd(hn::Set(df, w[k + 1]), hn::LoadU(df, p + k * 4 + 4), b);
    }
    if (k < taps) a = hn::MulAdd(hn::Set(df, w[k]), hn::LoadU(df, p + k * 4), a);
    finish(hn::Add(a, b), out + x);
  }
}

void BoxBlurColumns(const uint8_t* in, std::ptrdiff_t inStride, uint8_t* out, std::ptrdiff_t outStride, int n,
                    int height, int radius, int32_t* sums) {
  const hn::ScalableTag<int32_t> di;
  const hn::RebindToFloat<decltype(di)> df;
  const hn::Rebind<uint8_t, decltype(di)> d8;
  const int N = static_cast<int>(hn::Lanes(di));
  const float invS = 1.0f / static_cast<float>(2 * radius + 1);
  const auto inv = hn::Set(df, invS);
  std::fill(sums, sums + n, 0);
  for (int y = 0; y < std::min(radius, height); ++y)
    for (int i = 0; i < n; ++i) sums[i] += in[y * inStride + i];
  for (int y = 0; y < height; ++y) {
    const int add = y + radius, sub = y - radius - 1;
    const uint8_t* addRow = add < height ? in + add * inStride : nullptr;
    const uint8_t* subRow = sub >= 0 ? in + sub * inStride : nullptr;
    uint8_t* o = out + y * outStride;
    int i = 0;
    for (; i + N <= n; i += N) {
      auto s = hn::LoadU(di, sums + i);
      if (addRow) s = hn::Add(s, hn::PromoteTo(di, hn::LoadU(d8, addRow + i)));
      if (subRow) s = hn::Sub(s, hn::PromoteTo(di, hn::LoadU(d8, subRow + i)));
      hn::StoreU(s, di, sums + i);
      const auto q = hn::NearestInt(hn::Mul(hn::ConvertTo(df, s), inv));
      hn::StoreU(hn::DemoteTo(d8, q), d8, o + i);
    }
    for (; i < n; ++i) {
      if (addRow) sums[i] += addRow[i];
      if (subRow) sums[i] -= subRow[i];
      o[i] = detail::boxAverage(sums[i], invS);
    }
  }
}

void GradientRow(uint32_t* dst, int n, float t0, float dt, const float c0[4], const float c1[4]) {
  const hn::ScalableTag<float> df;
  const hn::RebindToSigned<decltype(df)> di;
  const hn::Rebind<uint8_t, decltype(df)> d8;
  const int N = static_cast<int>(hn::Lanes(df));
  int i = 0;
  for (; i + N <= n; i += N) {
    const auto idx = hn::ConvertTo(df, hn::Iota(di, i));
    const auto t = hn::Min(hn::Max(hn::MulAdd(idx, hn::Set(df, dt), hn::Set(df, t0)), hn::Zero(df)), hn::Set(df, 1.f));
    decltype(hn::Zero(d8)) ch[4];
    for (int c = 0; c < 4; ++c) {
      auto v = hn::MulAdd(hn::Set(df, c1[c] - c0[c]), t, hn::Set(df, c0[c]));
      v = hn::Min(hn::Max(v, hn::Zero(df)), hn::Set(df, 255.f));
      ch[c] = hn::DemoteTo(d8, hn::NearestInt(v));
    }
    hn::StoreInterleaved4(ch[0], ch[1], ch[2], ch[3], d8, reinterpret_cast<uint8_t*>(dst + i));
  }
  for (; i < n; ++i) dst[i] = detail::gradientPixel(i, t0, dt, c0, c1);
}

void AccumulateRow(uint16_t* acc, const uint8_t* in, int n) {
  const hn::ScalableTag<uint16_t> d16;
  const hn::Rebind<uint8_t, decltype(d16)> d8;
  const int N = static_cast<int>(hn::Lanes(d16));
  int i = 0;
  for (; i + N <= n; i += N)
    hn::StoreU(hn::Add(hn::LoadU(d16, acc + i), hn::PromoteTo(d16, hn::LoadU(d8, in + i))), d16, acc + i);
  for (; i < n; ++i) acc[i] = static_cast<uint16_t>(acc[i] + in[i]);
}

void LerpRows(const uint16_t* a, const uint16_t* b, uint32_t w, uint8_t* out, int n) {
  const hn::ScalableTag<uint32_t> d32;
  const hn::Rebind<uint16_t, decltype(d32)> d16;
  const hn::Rebind<uint8_t, decltype(d32)> d8;
  const hn::RebindToSigned<decltype(d32)> di32;
  const int N = static_cast<int>(hn::Lanes(d32));
  const auto wb = hn::Set(d32, w), wa = hn::Set(d32, 256 - w), half = hn::Set(d32, 32768);
  int i = 0;
  for (; i + N <= n; i += N) {
    const auto va = hn::PromoteTo(d32, hn::LoadU(d16, a + i)), vb = hn::PromoteTo(d32, hn::LoadU(d16, b + i));
    const auto v = hn::ShiftRight<16>(hn::Add(hn::Add(hn::Mul(va, wa), hn::Mul(vb, wb)), half));
    hn::StoreU(hn::DemoteTo(d8, hn::BitCast(di32, v)), d8, out + i);
  }
  for (; i < n; ++i) out[i] = detail::lerp88(a[i], b[i], w);
}
void WarpRowAntialiased(const WarpRow& p, uint32_t* out, int n) {
  const hn::ScalableTag<float> df;
  const hn::RebindToSigned<decltype(df)> di;
  const hn::RebindToUnsigned<decltype(df)> du;
  const int N = static_cast<int>(hn::Lanes(df));
  const float W = static_cast<float>(p.width), H = static_cast<float>(p.height);
  const auto zero = hn::Zero(df), one = hn::Set(df, 1.f), half = hn::Set(df, 0.5f), k256 = hn::Set(df, 256.f);
  const auto vW = hn::Set(df, W), vH = hn::Set(df, H);
  const auto strideP = hn::Set(di, static_cast<int32_t>(p.stride / 4));
  const auto* base = reinterpret_cast<const int32_t*>(p.src);
  const auto c255 = hn::Set(du, 255u), c256 = hn::Set(du, 256u);
  int i = 0;
  for (; i + N <= n; i += N) {
    const auto x = hn::Add(hn::ConvertTo(df, hn::Iota(di, i)), hn::Set(df, p.x0));
    const auto w = hn::MulAdd(hn::Set(df, p.aw), x, hn::Set(df, p.bw));
    const auto valid = hn::Gt(w, hn::Set(df, 1e-6f));
    const auto inv = hn::Div(one, hn::IfThenElse(valid, w, one));
    auto sx = hn::Mul(hn::MulAdd(hn::Set(df, p.ax), x, hn::Set(df, p.bx)), inv);
    auto sy = hn::Mul(hn::MulAdd(hn::Set(df, p.ay), x, hn::Set(df, p.by)), inv);
    const auto unit = hn::Sqrt(hn::Max(hn::Mul(hn::Mul(hn::Mul(hn::Set(df, p.absDet), inv), inv), inv), hn::Set(df, 1e-12f)));
    const auto inside = hn::Min(hn::Min(sx, hn::Sub(vW, sx)), hn::Min(sy, hn::Sub(vH, sy)));
    const auto c = hn::Min(hn::Max(hn::Add(hn::Div(inside, unit), half), zero), one);
    const auto keep = hn::And(valid, hn::Gt(c, zero));
    const auto coverage = hn::BitCast(du, hn::ConvertTo(di, hn::MulAdd(c, k256, half)));
    sx = hn::IfThenElse(keep, hn::Min(hn::Max(sx, half), hn::Sub(vW, half)), half);
    sy = hn::IfThenElse(keep, hn::Min(hn::Max(sy, half), hn::Sub(vH, half)), half);
    const auto u = hn::Sub(sx, half), v = hn::Sub(hn::Sub(vH, sy), half);
    const auto x0 = hn::ConvertTo(di, u), y0 = hn::ConvertTo(di, v);
    const auto x1 = hn::Min(hn::Add(x0, hn::Set(di, 1)), hn::Set(di, p.width - 1));
    const auto y1 = hn::Min(hn::Add(y0, hn::Set(di, 1)), hn::Set(di, p.height - 1));
    const auto wx = hn::BitCast(du, hn::ConvertTo(di, hn::MulAdd(hn::Sub(u, hn::ConvertTo(df, x0)), k256, half)));
    const auto wy = hn::BitCast(du, hn::ConvertTo(di, hn::MulAdd(hn::Sub(v, hn::ConvertTo(df, y0)), k256, half)));
    const auto row0 = hn::Mul(y0, strideP), row1 = hn::Mul(y1, strideP);
    const auto p00 = hn::BitCast(du, hn::GatherIndex(di, base, hn::Add(row0, x0)));
    const auto p10 = hn::BitCast(du, hn::GatherIndex(di, base, hn::Add(row0, x1)));
    const auto p01 = hn::BitCast(du, hn::GatherIndex(di, base, hn::Add(row1, x0)));
    const auto p11 = hn::BitCast(du, hn::GatherIndex(di, base, hn::Add(row1, x1)));
    const auto iwx = hn::Sub(c256, wx), iwy = hn::Sub(c256, wy);
    auto channel = [&](auto a, auto b, auto cc, auto d) {
      const auto top = hn::Add(hn::Mul(hn::And(a, c255), iwx), hn::Mul(hn::And(b, c255), wx));
      const auto bottom = hn::Add(hn::Mul(hn::And(cc, c255), iwx), hn::Mul(hn::And(d, c255), wx));
      const auto value = hn::ShiftRight<16>(hn::Add(hn::Add(hn::Mul(top, iwy), hn::Mul(bottom, wy)), hn::Set(du, 32768u)));
      return hn::ShiftRight<8>(hn::Add(hn::Mul(value, coverage), hn::Set(du, 128u)));
    };
    const auto b0 = channel(p00, p10, p01, p11);
    const auto g0 = channel(hn::ShiftRight<8>(p00), hn::ShiftRight<8>(p10), hn::ShiftRight<8>(p01), hn::ShiftRight<8>(p11));
    const auto r0 = channel(hn::ShiftRight<16>(p00), hn::ShiftRight<16>(p10), hn::ShiftRight<16>(p01), hn::ShiftRight<16>(p11));
    const auto a0 = channel(hn::ShiftRight<24>(p00), hn::ShiftRight<24>(p10), hn::ShiftRight<24>(p01), hn::ShiftRight<24>(p11));
    auto px = hn::Or(hn::Or(b0, hn::ShiftLeft<8>(g0)), hn::Or(hn::ShiftLeft<16>(r0), hn::ShiftLeft<24>(a0)));
    px = hn::IfThenElseZero(hn::RebindMask(du, keep), px);
    hn::StoreU(px, du, out + i);
  }
  for (; i < n; ++i) out[i] = detail::warpPixel(p, p.x0 + static_cast<float>(i));
}
#endif  // HWY_TARGET == HWY_SCALAR
}  // namespace vantrel::graphics::kernels::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace vantrel::graphics::kernels {
HWY_EXPORT(SourceOverRow);
HWY_EXPORT(SourceOverMaskedRow);
HWY_EXPORT(BlendWithMaskRow);
HWY_EXPORT(ScaleRow);
HWY_EXPORT(WeightedRowSum);
HWY_EXPORT(WeightedRowSumQ15);
HWY_EXPORT(ResampleRow);
HWY_EXPORT(BoxBlurColumns);
HWY_EXPORT(GradientRow);
HWY_EXPORT(AccumulateRow);
HWY_EXPORT(LerpRows);
HWY_EXPORT(WarpRowAntialiased);

void sourceOverRow(uint32_t* dst, const uint32_t* src, int n) { HWY_DYNAMIC_DISPATCH(SourceOverRow)(dst, src, n); }
void sourceOverMaskedRow(uint32_t* dst, const uint32_t* src, const uint8_t* mask, int n) {
  HWY_DYNAMIC_DISPATCH(SourceOverMaskedRow)(dst, src, mask, n);
}
void blendWithMaskRow(uint32_t* dst, const uint32_t* src, const uint8_t* mask, int n) {
  HWY_DYNAMIC_DISPATCH(BlendWithMaskRow)(dst, src, mask, n);
}
void scaleRow(uint32_t* dst, const uint32_t* src, uint8_t factor, int n) {
  HWY_DYNAMIC_DISPATCH(ScaleRow)(dst, src, factor, n);
}
void weightedRowSum(const uint8_t* const* rows, const float* weights, int taps, float* out, int n) {
  HWY_DYNAMIC_DISPATCH(WeightedRowSum)(rows, weights, taps, out, n);
}
void weightedRowSumQ15(const uint8_t* const* rows, const int16_t* weights, int taps, float* out, int n) {
  HWY_DYNAMIC_DISPATCH(WeightedRowSumQ15)(rows, weights, taps, out, n);
}
void resampleRow(const float* in, const int* start, const float* weights, int taps, uint32_t* out, int n) {
  HWY_DYNAMIC_DISPATCH(ResampleRow)(in, start, weights, taps, out, n);
}
void boxBlurColumns(const uint8_t* in, std::ptrdiff_t inStride, uint8_t* out, std::ptrdiff_t outStride, int n,
                    int height, int radius, int32_t* sums) {
  HWY_DYNAMIC_DISPATCH(BoxBlurColumns)(in, inStride, out, outStride, n, height, radius, sums);
}
void gradientRow(uint32_t* dst, int n, float t0, float dt, const float c0[4], const float c1[4]) {
  HWY_DYNAMIC_DISPATCH(GradientRow)(dst, n, t0, dt, c0, c1);
}

void accumulateRow(uint16_t* acc, const uint8_t* in, int n) { HWY_DYNAMIC_DISPATCH(AccumulateRow)(acc, in, n); }
void lerpRows(const uint16_t* a, const uint16_t* b, uint32_t w, uint8_t* out, int n) {
  HWY_DYNAMIC_DISPATCH(LerpRows)(a, b, w, out, n);
}

void warpRowAntialiased(const WarpRow& p, uint32_t* out, int n) {
  HWY_DYNAMIC_DISPATCH(WarpRowAntialiased)(p, out, n);
}

const char* currentTargetName() {
  const int64_t targets = hwy::SupportedTargets();
  return hwy::TargetName(targets & -targets);
}
void restrictTargetsForTest(int64_t targetBits) { hwy::SetSupportedTargetsForTest(targetBits); }
int64_t availableTargetBits() {
  int64_t bits = 0;
  for (int64_t t : hwy::SupportedAndGeneratedTargets()) bits |= t;
  return bits;
}
}  // namespace vantrel::graphics::kernels
#endif
