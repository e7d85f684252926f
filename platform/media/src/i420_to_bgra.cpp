// Highway compiles this file once per instruction set.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "src/i420_to_bgra.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "vantrel/media/bgra_to_i420.h"
#include "yuv_q6.h"

#ifndef VANTREL_MEDIA_I420_TO_BGRA_SHARED
#define VANTREL_MEDIA_I420_TO_BGRA_SHARED
namespace vantrel::media::yuvq6 {

// Pixels [from, width) of one row.
inline void rowScalar(const std::uint8_t* y, const std::uint8_t* u, const std::uint8_t* v, std::uint8_t* bgra,
                      int from, int width, const Coefficients& k) {
  for (int x = from; x < width; ++x) {
    const ChromaQ6 c = chromaQ6(u[x / 2], v[x / 2], k);
    const int y6 = lumaQ6(y[x]);
    std::uint8_t* p = bgra + 4 * x;
    p[0] = level(sat16(y6 + c.b));
    p[1] = level(sat16(y6 + c.g));
    p[2] = level(sat16(y6 + c.r));
    p[3] = 255;
  }
}

}  // namespace vantrel::media::yuvq6
#endif

HWY_BEFORE_NAMESPACE();
namespace vantrel::media::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Whole pixel pairs of one row, 16-bit lanes; returns how many pixels it did.
#if HWY_TARGET != HWY_SCALAR
template <class DW>
HWY_INLINE hn::Repartition<std::uint8_t, DW> d8x4(DW) {
  return {};
}
#endif

int ConvertRow(const std::uint8_t* y, const std::uint8_t* u, const std::uint8_t* v, std::uint8_t* bgra, int width,
               const yuvq6::Coefficients& k) {
#if HWY_TARGET == HWY_SCALAR
  (void)y, (void)u, (void)v, (void)bgra, (void)width, (void)k;
  return 0;
#else
  const hn::ScalableTag<std::int16_t> d;
  const hn::Rebind<std::uint8_t, decltype(d)> d8;   // one pixel per lane
  const hn::Half<decltype(d8)> dc8;                 // one chroma sample per pixel pair
  const hn::Rebind<std::uint16_t, decltype(dc8)> dc16;
  const int n = static_cast<int>(hn::Lanes(d));
  // The chroma of a run of pixel pairs, each sample twice, in pixel order.
  const auto twice = [&](const std::uint8_t* p) HWY_ATTR {
    const auto w = hn::PromoteTo(dc16, hn::LoadU(dc8, p));
    return hn::Sub(hn::PromoteTo(d, hn::BitCast(d8, hn::Or(w, hn::ShiftLeft<8>(w)))), hn::Set(d, 128));
  };
  const auto round = hn::Set(d, 32);
  const auto level = [&](hn::Vec<decltype(d)> q6) HWY_ATTR {
    return hn::DemoteTo(d8, hn::ShiftRight<6>(hn::SaturatedAdd(q6, round)));
  };
  const auto opaque = hn::Set(d8, 255);
  const auto kY = hn::Set(d, static_cast<std::int16_t>(k.y)), kBU = hn::Set(d, static_cast<std::int16_t>(k.bu)),
             kGU = hn::Set(d, static_cast<std::int16_t>(k.gu)), kGV = hn::Set(d, static_cast<std::int16_t>(k.gv)),
             kRV = hn::Set(d, static_cast<std::int16_t>(k.rv));
  int x = 0;
  for (; x + n <= width; x += n) {
    const auto us = hn::ShiftLeft<8>(twice(u + x / 2)), vs = hn::ShiftLeft<8>(twice(v + x / 2));
    const auto luma = hn::Sub(hn::PromoteTo(d, hn::LoadU(d8, y + x)), hn::Set(d, 16));
    const auto y6 = hn::MulFixedPoint15(hn::ShiftLeft<7>(luma), kY);
    const auto b = hn::SaturatedAdd(y6, hn::MulFixedPoint15(us, kBU));
    const auto g = hn::SaturatedAdd(
        y6, hn::Neg(hn::SaturatedAdd(hn::MulFixedPoint15(us, kGU),
                                     hn::MulFixedPoint15(vs, kGV))));
    const auto r = hn::SaturatedAdd(y6, hn::MulFixedPoint15(vs, kRV));
    std::uint8_t* out = bgra + 4 * static_cast<std::ptrdiff_t>(x);
#if HWY_TARGET == HWY_AVX2 || HWY_TARGET == HWY_SSE4 || HWY_TARGET == HWY_SSSE3
    // Pixels as B | G << 8 and R | 255 << 8 in 16-bit lanes, zipped into
    // 32-bit BGRA: cheaper than three narrowings and a four-way interleave.
    // Zipping works within 128-bit blocks; with two blocks (AVX2) the halves
    // are put back in pixel order.
    const hn::RebindToUnsigned<decltype(d)> du;
    const hn::RepartitionToWide<decltype(du)> dw;
    const auto byte = [&](hn::Vec<decltype(d)> q6) HWY_ATTR {
      return hn::BitCast(du, hn::Min(hn::Max(hn::ShiftRight<6>(hn::SaturatedAdd(q6, round)), hn::Zero(d)),
                                     hn::Set(d, 255)));
    };
    const auto bg = hn::Or(byte(b), hn::ShiftLeft<8>(byte(g)));
    const auto ra = hn::Or(byte(r), hn::Set(du, 0xFF00));
    const auto lower = hn::ZipLower(dw, bg, ra), upper = hn::ZipUpper(dw, bg, ra);
#if HWY_TARGET == HWY_AVX2
    hn::StoreU(hn::BitCast(d8x4(dw), hn::ConcatLowerLower(dw, upper, lower)), d8x4(dw), out);
    hn::StoreU(hn::BitCast(d8x4(dw), hn::ConcatUpperUpper(dw, upper, lower)), d8x4(dw), out + 4 * n / 2);
#else
    hn::StoreU(hn::BitCast(d8x4(dw), lower), d8x4(dw), out);
    hn::StoreU(hn::BitCast(d8x4(dw), upper), d8x4(dw), out + 4 * n / 2);
#endif
#else
    hn::StoreInterleaved4(level(b), level(g), level(r), opaque, d8, out);
#endif
  }
  return x;
#endif
}

}  // namespace vantrel::media::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
#include "vantrel/media/errors.h"

namespace vantrel::media {

HWY_EXPORT(ConvertRow);

namespace {
const yuvq6::Coefficients& coefficientsOf(YuvMatrix matrix) {
  return matrix == YuvMatrix::bt601 ? yuvq6::kBt601 : yuvq6::kBt709;
}

template <class Kernel>
void convertRows(const std::uint8_t* y, int strideY, const std::uint8_t* u, int strideU, const std::uint8_t* v,
                 int strideV, std::uint8_t* bgra, int stride, int width, int height, YuvMatrix matrix,
                 Kernel kernel) {
  const yuvq6::Coefficients& k = coefficientsOf(matrix);
  for (int row = 0; row < height; ++row) {
    const std::uint8_t* ry = y + static_cast<std::ptrdiff_t>(row) * strideY;
    const std::uint8_t* ru = u + static_cast<std::ptrdiff_t>(row / 2) * strideU;
    const std::uint8_t* rv = v + static_cast<std::ptrdiff_t>(row / 2) * strideV;
    std::uint8_t* out = bgra + static_cast<std::ptrdiff_t>(row) * stride;
    yuvq6::rowScalar(ry, ru, rv, out, kernel(ry, ru, rv, out, width, k), width, k);
  }
}
}  // namespace

void convertI420ToBgra(YuvMatrix matrix, const std::uint8_t* y, int strideY, const std::uint8_t* u, int strideU,
                       const std::uint8_t* v, int strideV, std::uint8_t* bgra, int stride, int width, int height) {
  convertRows(y, strideY, u, strideU, v, strideV, bgra, stride, width, height, matrix,
              HWY_DYNAMIC_DISPATCH(ConvertRow));
}

void convertI420ToBgraReference(YuvMatrix matrix, const std::uint8_t* y, int strideY, const std::uint8_t* u,
                                int strideU, const std::uint8_t* v, int strideV, std::uint8_t* bgra, int stride,
                                int width, int height) {
  convertRows(y, strideY, u, strideU, v, strideV, bgra, stride, width, height, matrix,
              [](const std::uint8_t*, const std::uint8_t*, const std::uint8_t*, std::uint8_t*, int,
                 const yuvq6::Coefficients&) { return 0; });
}

}  // namespace vantrel::media
#endif
