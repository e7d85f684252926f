// SIMD versions of the raster kernels, compiled once per target and chosen at
// run time. The scalar references live in kernels_scalar.cpp; every function
// here must agree with its reference (see tests).
#include <algorithm>
#include <array>
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
void WeightedRowSumQ15(const uint8_t* const* rows, const int16_t* weights, int taps, int16_t* out, int n) {
  scalar::weightedRowSumQ15(rows, weights, taps, out, n);
}
void PairPixels(const int16_t* in, int16_t* out, int n) { scalar::pairPixels(in, out, n); }
void ResampleRowQ14(const int16_t* pairs, const int* start, const int16_t* weights, int taps, uint32_t* out, int n) {
  scalar::resampleRowQ14(pairs, start, weights, taps, out, n);
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
void AffineRowBilinear(const AffineRow& p, uint32_t* out, int n) { scalar::affineRowBilinear(p, out, n); }
void LerpRows(const uint16_t* a, const uint16_t* b, uint32_t w, uint8_t* out, int n) {
  scalar::lerpRows(a, b, w, out, n);
}
void ColorMatrixRow(uint32_t* row, int n, const float m[20]) { scalar::colorMatrixRow(row, n, m); }
void AddChannelSums(const uint32_t* p, int n, uint64_t sums[4]) { scalar::addChannelSums(p, n, sums); }
void TransposePixels(const uint8_t* in, std::ptrdiff_t inStride, uint8_t* out, std::ptrdiff_t outStride, int width,
                     int height) {
  scalar::transposePixels(in, inStride, out, outStride, width, height);
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
  const auto op = [](auto d16, auto s, auto d, auto) {
    const auto inv = hn::Sub(hn::Set(d16, 255), AlphaOf(d16, s));
    return hn::Add(s, Div255(d16, hn::Mul(d, inv)));
  };
  // Layers are mostly opaque (a video frame) or clear (around a shape): an
  // opaque source replaces the destination and a clear one leaves it, which
  // is exactly what the blend would compute, so those vectors skip it.
  const hn::ScalableTag<uint32_t> d32;
  const int N = static_cast<int>(hn::Lanes(d32));
  const auto colour = hn::Set(d32, 0x00ffffffu), all = hn::Set(d32, 0xffffffffu), zero = hn::Zero(d32);
  int i = 0;
  for (; i + N <= n; i += N) {
    const auto s = hn::LoadU(d32, src + i);
    if (hn::AllTrue(d32, hn::Eq(hn::Or(s, colour), all))) {
      hn::StoreU(s, d32, dst + i);
    } else if (!hn::AllTrue(d32, hn::Eq(s, zero))) {
      Blend16<0>(dst + i, src + i, nullptr, N, op);
    }
  }
  if (i < n) Blend16<0>(dst + i, src + i, nullptr, n - i, op);
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

void WeightedRowSumQ15(const uint8_t* const* rows, const int16_t* weights, int taps, int16_t* out, int n) {
  const hn::ScalableTag<int16_t> d16;
  const hn::RebindToUnsigned<decltype(d16)> du16;
  const hn::Rebind<uint8_t, decltype(d16)> d8;
  const int N = static_cast<int>(hn::Lanes(d16));
  int i = 0;
  for (; i + N <= n; i += N) {
    auto acc = hn::Zero(d16);
    for (int k = 0; k < taps; ++k) {
      const auto v = hn::ShiftLeft<6>(hn::BitCast(d16, hn::PromoteTo(du16, hn::LoadU(d8, rows[k] + i))));
      acc = hn::Add(acc, hn::MulFixedPoint15(v, hn::Set(d16, weights[k])));
    }
    hn::StoreU(acc, d16, out + i);
  }
  for (; i < n; ++i) out[i] = detail::weightedSumQ15(rows, weights, taps, i);
}

namespace {
// The widest vector whose 128-bit blocks each hold one pixel pair (or one output pixel).
#if HWY_ARCH_X86 && HWY_TARGET <= HWY_AVX3
constexpr int kBlocks = 4;
using BlockTag = hn::Full512<int16_t>;
#elif HWY_ARCH_X86 && HWY_TARGET <= HWY_AVX2
constexpr int kBlocks = 2;
using BlockTag = hn::Full256<int16_t>;
#else
constexpr int kBlocks = 1;
using BlockTag = hn::Full128<int16_t>;
#endif

// A vector whose block b is the 8 values at ptr(b).
template <class D, class F>
HWY_INLINE hn::Vec<D> LoadBlocks(D d, F ptr) {
  if constexpr (hn::MaxLanes(D()) == 8) {
    return hn::LoadU(d, ptr(0));
  } else if constexpr (hn::MaxLanes(D()) == 16) {
    const hn::Full128<int16_t> d1;
    return hn::Combine(d, hn::LoadU(d1, ptr(1)), hn::LoadU(d1, ptr(0)));
  } else {
    const hn::Full128<int16_t> d1;
    const hn::Half<D> d2;
    return hn::Combine(d, hn::Combine(d2, hn::LoadU(d1, ptr(3)), hn::LoadU(d1, ptr(2))),
                       hn::Combine(d2, hn::LoadU(d1, ptr(1)), hn::LoadU(d1, ptr(0))));
  }
}

// acc lane i += a[2i] b[2i] + a[2i+1] b[2i+1], exact in 32 bits.
template <class D32, class V16>
HWY_INLINE hn::Vec<D32> PairMulAdd(D32 d32, V16 a, V16 b, hn::Vec<D32> acc) {
#if HWY_ARCH_X86
  auto unused = hn::Zero(d32);
  return hn::ReorderWidenMulAccumulate(d32, a, b, acc, unused);
#else
  const auto a32 = hn::BitCast(d32, a), b32 = hn::BitCast(d32, b);
  const auto lo = hn::Mul(hn::ShiftRight<16>(hn::ShiftLeft<16>(a32)), hn::ShiftRight<16>(hn::ShiftLeft<16>(b32)));
  return hn::Add(acc, hn::Add(lo, hn::Mul(hn::ShiftRight<16>(a32), hn::ShiftRight<16>(b32))));
#endif
}

// Output pixels x ... x + blocks - 1, one per 128-bit block of d16.
template <class D16>
HWY_INLINE void ResampleQ14Pixels(D16 d16, const int16_t* pairs, const int* start, const int16_t* weights, int taps,
                                  uint32_t* out, int n, int x) {
  const hn::Repartition<int32_t, D16> d32;
  const hn::Rebind<uint8_t, decltype(d32)> d8;
  auto acc = hn::Zero(d32);
  for (int j = 0; j < taps / 2; ++j) {
    const auto px = LoadBlocks(d16, [&](int b) { return pairs + static_cast<std::ptrdiff_t>(start[x + b] + 2 * j) * 8; });
    const auto w = hn::LoadU(d16, weights + (static_cast<std::ptrdiff_t>(j) * n + x) * 8);
    acc = PairMulAdd(d32, px, w, acc);
  }
  const auto v = hn::ShiftRight<20>(hn::Add(acc, hn::Set(d32, 1 << 19)));
  const auto zero = hn::Zero(d32);
  const auto a = hn::Min(hn::Max(hn::Broadcast<3>(v), zero), hn::Set(d32, 255));
  hn::StoreU(hn::DemoteTo(d8, hn::Min(hn::Max(v, zero), a)), d8, reinterpret_cast<uint8_t*>(out + x));
}
}  // namespace

void PairPixels(const int16_t* in, int16_t* out, int n) {
  const BlockTag d16;
  const hn::Repartition<uint8_t, decltype(d16)> d8;
  alignas(16) static constexpr uint8_t kIdx[16] = {0, 1, 8, 9, 2, 3, 10, 11, 4, 5, 12, 13, 6, 7, 14, 15};
  const auto idx = hn::LoadDup128(d8, kIdx);
  int p = 0;
  for (; p + kBlocks <= n; p += kBlocks) {
    const auto v = LoadBlocks(d16, [&](int b) { return in + static_cast<std::ptrdiff_t>(p + b) * 4; });
    hn::StoreU(hn::BitCast(d16, hn::TableLookupBytes(hn::BitCast(d8, v), idx)), d16, out + static_cast<std::ptrdiff_t>(p) * 8);
  }
  scalar::pairPixels(in + static_cast<std::ptrdiff_t>(p) * 4, out + static_cast<std::ptrdiff_t>(p) * 8, n - p);
}

void ResampleRowQ14(const int16_t* pairs, const int* start, const int16_t* weights, int taps, uint32_t* out, int n) {
  int x = 0;
  for (; x + kBlocks <= n; x += kBlocks) ResampleQ14Pixels(BlockTag(), pairs, start, weights, taps, out, n, x);
  for (; x < n; ++x) ResampleQ14Pixels(hn::Full128<int16_t>(), pairs, start, weights, taps, out, n, x);
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
  const hn::RebindToUnsigned<decltype(df)> du;
  const int N = static_cast<int>(hn::Lanes(df));
  const auto vdt = hn::Set(df, dt), vt0 = hn::Set(df, t0), zero = hn::Zero(df), one = hn::Set(df, 1.f);
  const auto step = hn::Set(df, static_cast<float>(N));
  decltype(hn::Zero(df)) span[4], base[4];
  for (int c = 0; c < 4; ++c) {
    span[c] = hn::Set(df, c1[c] - c0[c]);
    base[c] = hn::Set(df, c0[c]);
  }
  // With t in [0, 1] each channel is a convex mix of two values in [0, 255];
  // the fused result rounds to a float between them, so the reference's clamp
  // to [0, 255] never changes it and is left out. Channels are packed into
  // whole pixels with shifts: no 8-bit demotion or interleaving shuffles.
  auto idx = hn::ConvertTo(df, hn::Iota(di, 0));
  int i = 0;
  for (; i + N <= n; i += N, idx = hn::Add(idx, step)) {
    const auto t = hn::Min(hn::Max(hn::MulAdd(idx, vdt, vt0), zero), one);
    const auto b = hn::BitCast(du, hn::NearestInt(hn::MulAdd(span[0], t, base[0])));
    const auto g = hn::BitCast(du, hn::NearestInt(hn::MulAdd(span[1], t, base[1])));
    const auto r = hn::BitCast(du, hn::NearestInt(hn::MulAdd(span[2], t, base[2])));
    const auto a = hn::BitCast(du, hn::NearestInt(hn::MulAdd(span[3], t, base[3])));
    const auto px = hn::Or(hn::Or(b, hn::ShiftLeft<8>(g)), hn::Or(hn::ShiftLeft<16>(r), hn::ShiftLeft<24>(a)));
    hn::StoreU(px, du, dst + i);
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
void AffineRowBilinear(const AffineRow& p, uint32_t* out, int n) {
  const hn::ScalableTag<int32_t> di;
  const hn::RebindToUnsigned<decltype(di)> du;
  const int N = static_cast<int>(hn::Lanes(di));
  const auto* base = reinterpret_cast<const int32_t*>(p.src);
  const auto strideP = hn::Set(di, static_cast<int32_t>(p.stride / 4));
  const auto W = hn::Set(di, p.width), H = hn::Set(di, p.height), minus1 = hn::Set(di, -1), one = hn::Set(di, 1);
  const auto c255 = hn::Set(du, 255u), c256 = hn::Set(du, 256u), frac = hn::Set(du, 0xffffu), half = hn::Set(du, 128u);
  // A tap: the source pixel where (x, y) is inside, clear elsewhere (gathered from a clamped index).
  auto tap = [&](hn::Vec<decltype(di)> x, hn::Vec<decltype(di)> y) {
    const auto inside = hn::And(hn::And(hn::Gt(x, minus1), hn::Lt(x, W)), hn::And(hn::Gt(y, minus1), hn::Lt(y, H)));
    const auto index = hn::IfThenElseZero(inside, hn::Add(hn::Mul(y, strideP), x));
    return hn::BitCast(du, hn::IfThenElseZero(inside, hn::GatherIndex(di, base, index)));
  };
  int i = 0;
  for (; i + N <= n; i += N) {
    const auto idx = hn::Iota(di, i);
    const auto u = hn::Add(hn::Set(di, p.u0), hn::Mul(idx, hn::Set(di, p.du)));
    const auto v = hn::Add(hn::Set(di, p.v0), hn::Mul(idx, hn::Set(di, p.dv)));
    const auto x0 = hn::ShiftRight<16>(u), y0 = hn::ShiftRight<16>(v);
    const auto wx = hn::ShiftRight<8>(hn::Add(hn::And(hn::BitCast(du, u), frac), half));
    const auto wy = hn::ShiftRight<8>(hn::Add(hn::And(hn::BitCast(du, v), frac), half));
    const auto x1 = hn::Add(x0, one), y1 = hn::Add(y0, one);
    const auto p00 = tap(x0, y0), p10 = tap(x1, y0), p01 = tap(x0, y1), p11 = tap(x1, y1);
    const auto iwx = hn::Sub(c256, wx), iwy = hn::Sub(c256, wy);
    auto channel = [&](auto a, auto b, auto c, auto d) {
      const auto top = hn::Add(hn::Mul(hn::And(a, c255), iwx), hn::Mul(hn::And(b, c255), wx));
      const auto bottom = hn::Add(hn::Mul(hn::And(c, c255), iwx), hn::Mul(hn::And(d, c255), wx));
      return hn::ShiftRight<16>(hn::Add(hn::Add(hn::Mul(top, iwy), hn::Mul(bottom, wy)), hn::Set(du, 32768u)));
    };
    const auto b = channel(p00, p10, p01, p11);
    const auto g = channel(hn::ShiftRight<8>(p00), hn::ShiftRight<8>(p10), hn::ShiftRight<8>(p01), hn::ShiftRight<8>(p11));
    const auto r = channel(hn::ShiftRight<16>(p00), hn::ShiftRight<16>(p10), hn::ShiftRight<16>(p01), hn::ShiftRight<16>(p11));
    const auto a = channel(hn::ShiftRight<24>(p00), hn::ShiftRight<24>(p10), hn::ShiftRight<24>(p01), hn::ShiftRight<24>(p11));
    hn::StoreU(hn::Or(hn::Or(b, hn::ShiftLeft<8>(g)), hn::Or(hn::ShiftLeft<16>(r), hn::ShiftLeft<24>(a))), du, out + i);
  }
  for (; i < n; ++i) out[i] = detail::affinePixel(p, i);
}

void ColorMatrixRow(uint32_t* row, int n, const float m[20]) {
  const hn::ScalableTag<float> df;
  const hn::RebindToUnsigned<decltype(df)> du;
  const hn::RebindToSigned<decltype(df)> di;
  const int N = static_cast<int>(hn::Lanes(df));
  using VF = hn::Vec<decltype(df)>;
  const VF zero = hn::Zero(df), one = hn::Set(df, 1.f);
  const auto mask = hn::Set(du, 255u);
  auto channel = [&](hn::Vec<decltype(du)> p, int shift) {
    return hn::ConvertTo(df, hn::BitCast(di, hn::And(hn::ShiftRightSame(p, shift), mask)));
  };
  auto byte = [&](VF v) { return hn::BitCast(du, hn::NearestInt(v)); };
  int i = 0;
  for (; i + N <= n; i += N) {
    const auto p = hn::LoadU(du, row + i);
    const auto A = hn::ConvertTo(df, hn::BitCast(di, hn::ShiftRight<24>(p)));
    const auto opaque = hn::Gt(A, zero);
    // Clear pixels divide by one instead; their colour is masked to zero.
    const auto inv = hn::IfThenElseZero(opaque, hn::Div(one, hn::IfThenElse(opaque, A, one)));
    const VF in[4] = {hn::Mul(channel(p, 16), inv), hn::Mul(channel(p, 8), inv),
                                  hn::Mul(channel(p, 0), inv), hn::Mul(A, hn::Set(df, 1.f / 255.f))};
    VF out[4] = {zero, zero, zero, zero};
    for (int c = 0; c < 4; ++c) {
      VF v = hn::Set(df, m[16 + c]);
      for (int k = 0; k < 4; ++k) v = hn::MulAdd(hn::Set(df, m[4 * c + k]), in[k], v);
      out[c] = hn::Min(hn::Max(v, zero), one);
    }
    const auto al = hn::Mul(out[3], hn::Set(df, 255.f));
    const auto px = hn::Or(hn::Or(byte(hn::Mul(out[2], al)), hn::ShiftLeft<8>(byte(hn::Mul(out[1], al)))),
                           hn::Or(hn::ShiftLeft<16>(byte(hn::Mul(out[0], al))), hn::ShiftLeft<24>(byte(al))));
    hn::StoreU(px, du, row + i);
  }
  for (; i < n; ++i) row[i] = detail::colorMatrixPixel(row[i], m);
}
void AddChannelSums(const uint32_t* p, int n, uint64_t sums[4]) {
  const hn::ScalableTag<uint32_t> du;
  const int N = static_cast<int>(hn::Lanes(du));
  const auto mask = hn::Set(du, 255u);
  int i = 0;
  while (i + N <= n) {
    // 32-bit lanes hold the sums of at most 2^16 vectors (< 2^24) before they
    // are folded into the 64-bit totals.
    const int end = i + std::min((n - i) / N, 1 << 16) * N;
    auto b = hn::Zero(du), g = hn::Zero(du), r = hn::Zero(du), a = hn::Zero(du);
    for (; i < end; i += N) {
      const auto v = hn::LoadU(du, p + i);
      b = hn::Add(b, hn::And(v, mask));
      g = hn::Add(g, hn::And(hn::ShiftRight<8>(v), mask));
      r = hn::Add(r, hn::And(hn::ShiftRight<16>(v), mask));
      a = hn::Add(a, hn::ShiftRight<24>(v));
    }
    sums[0] += hn::GetLane(hn::SumOfLanes(du, b));
    sums[1] += hn::GetLane(hn::SumOfLanes(du, g));
    sums[2] += hn::GetLane(hn::SumOfLanes(du, r));
    sums[3] += hn::GetLane(hn::SumOfLanes(du, a));
  }
  scalar::addChannelSums(p + i, n - i, sums);
}
// 4 x 4 pixel blocks through two rounds of interleaving in 128-bit vectors;
// the ragged right and bottom edges go through the reference.
void TransposePixels(const uint8_t* in, std::ptrdiff_t inStride, uint8_t* out, std::ptrdiff_t outStride, int width,
                     int height) {
  const hn::Full128<uint32_t> d32;
  const hn::Full128<uint64_t> d64;
  auto rowIn = [&](int y) { return reinterpret_cast<const uint32_t*>(in + y * inStride); };
  auto rowOut = [&](int x) { return reinterpret_cast<uint32_t*>(out + x * outStride); };
  const int w4 = width & ~3, h4 = height & ~3;
  for (int y = 0; y < h4; y += 4) {
    for (int x = 0; x < w4; x += 4) {
      const auto r0 = hn::LoadU(d32, rowIn(y) + x), r1 = hn::LoadU(d32, rowIn(y + 1) + x);
      const auto r2 = hn::LoadU(d32, rowIn(y + 2) + x), r3 = hn::LoadU(d32, rowIn(y + 3) + x);
      const auto t0 = hn::BitCast(d64, hn::InterleaveLower(d32, r0, r1));
      const auto t1 = hn::BitCast(d64, hn::InterleaveUpper(d32, r0, r1));
      const auto t2 = hn::BitCast(d64, hn::InterleaveLower(d32, r2, r3));
      const auto t3 = hn::BitCast(d64, hn::InterleaveUpper(d32, r2, r3));
      hn::StoreU(hn::BitCast(d32, hn::InterleaveLower(d64, t0, t2)), d32, rowOut(x) + y);
      hn::StoreU(hn::BitCast(d32, hn::InterleaveUpper(d64, t0, t2)), d32, rowOut(x + 1) + y);
      hn::StoreU(hn::BitCast(d32, hn::InterleaveLower(d64, t1, t3)), d32, rowOut(x + 2) + y);
      hn::StoreU(hn::BitCast(d32, hn::InterleaveUpper(d64, t1, t3)), d32, rowOut(x + 3) + y);
    }
  }
  if (w4 < width) scalar::transposePixels(in + w4 * 4, inStride, out + w4 * outStride, outStride, width - w4, height);
  if (h4 < height)
    scalar::transposePixels(in + h4 * inStride, inStride, out + h4 * 4, outStride, w4, height - h4);
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
HWY_EXPORT(PairPixels);
HWY_EXPORT(ResampleRowQ14);
HWY_EXPORT(BoxBlurColumns);
HWY_EXPORT(GradientRow);
HWY_EXPORT(AccumulateRow);
HWY_EXPORT(LerpRows);
HWY_EXPORT(WarpRowAntialiased);
HWY_EXPORT(AffineRowBilinear);
HWY_EXPORT(ColorMatrixRow);
HWY_EXPORT(AddChannelSums);
HWY_EXPORT(TransposePixels);

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
void weightedRowSumQ15(const uint8_t* const* rows, const int16_t* weights, int taps, int16_t* out, int n) {
  HWY_DYNAMIC_DISPATCH(WeightedRowSumQ15)(rows, weights, taps, out, n);
}
void pairPixels(const int16_t* in, int16_t* out, int n) { HWY_DYNAMIC_DISPATCH(PairPixels)(in, out, n); }
void resampleRowQ14(const int16_t* pairs, const int* start, const int16_t* weights, int taps, uint32_t* out, int n) {
  HWY_DYNAMIC_DISPATCH(ResampleRowQ14)(pairs, start, weights, taps, out, n);
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

void affineRowBilinear(const AffineRow& p, uint32_t* out, int n) { HWY_DYNAMIC_DISPATCH(AffineRowBilinear)(p, out, n); }

void colorMatrixRow(uint32_t* row, int n, const float m[20]) { HWY_DYNAMIC_DISPATCH(ColorMatrixRow)(row, n, m); }

void addChannelSums(const uint32_t* p, int n, uint64_t sums[4]) { HWY_DYNAMIC_DISPATCH(AddChannelSums)(p, n, sums); }

void transposePixels(const uint8_t* in, std::ptrdiff_t inStride, uint8_t* out, std::ptrdiff_t outStride, int width,
                     int height) {
  HWY_DYNAMIC_DISPATCH(TransposePixels)(in, inStride, out, outStride, width, height);
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
