// Highway compiles this file once per instruction set.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "src/bgra_to_i420.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "vantrel/media/bgra_to_i420.h"

#include <cstddef>

#ifndef VANTREL_MEDIA_BGRA_TO_I420_CONSTANTS
#define VANTREL_MEDIA_BGRA_TO_I420_CONSTANTS
namespace vantrel::media::bt709 {
// Luma weights x 219/255 (limited range) x 65536, applied to value << 6.
constexpr std::uint16_t kYR = 11966, kYG = 40254, kYB = 4064;
// Chroma weights x 224/255 x 32768, applied to (2x2 sum) << 3; each row sums to 0
// so grey stays exactly at 128.
constexpr std::int16_t kUR = -3298, kUG = -11094, kUB = 14392;
constexpr std::int16_t kVR = 14392, kVG = -13072, kVB = -1320;

inline std::uint8_t lumaOf(unsigned r, unsigned g, unsigned b) {
  const unsigned y = ((r << 6) * kYR >> 16) + ((g << 6) * kYG >> 16) + ((b << 6) * kYB >> 16);
  return static_cast<std::uint8_t>((y + 16 * 64 + 32) >> 6);
}
inline int mulHigh(int a, int b) { return (a * b) >> 16; }
inline std::uint8_t chromaOf(int sr, int sg, int sb, int kr, int kg, int kb) {
  const int c = mulHigh(sr << 3, kr) + mulHigh(sg << 3, kg) + mulHigh(sb << 3, kb);
  int v = (c + 128 * 16 + 8) >> 4;
  return static_cast<std::uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v));
}

// Columns [x0, width) of one pair of rows; x0 is even.
inline void convertTail(const std::uint8_t* r0, const std::uint8_t* r1, int x0, int width, std::uint8_t* y0,
                        std::uint8_t* y1, std::uint8_t* u, std::uint8_t* v) {
  for (int x = x0; x < width; x += 2) {
    const int x2 = x + 1 < width ? x + 1 : x;
    const std::uint8_t* p[4] = {r0 + 4 * x, r0 + 4 * x2, r1 + 4 * x, r1 + 4 * x2};
    y0[x] = lumaOf(p[0][2], p[0][1], p[0][0]);
    y1[x] = lumaOf(p[2][2], p[2][1], p[2][0]);
    if (x2 != x) {
      y0[x2] = lumaOf(p[1][2], p[1][1], p[1][0]);
      y1[x2] = lumaOf(p[3][2], p[3][1], p[3][0]);
    }
    const int sb = p[0][0] + p[1][0] + p[2][0] + p[3][0];
    const int sg = p[0][1] + p[1][1] + p[2][1] + p[3][1];
    const int sr = p[0][2] + p[1][2] + p[2][2] + p[3][2];
    u[x / 2] = chromaOf(sr, sg, sb, kUR, kUG, kUB);
    v[x / 2] = chromaOf(sr, sg, sb, kVR, kVG, kVB);
  }
}
}  // namespace vantrel::media::bt709
#endif

HWY_BEFORE_NAMESPACE();
namespace vantrel::media::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Converts one pair of rows; returns how many leading columns it handled (a
// multiple of the vector width), leaving the rest to the scalar tail.
int ConvertRowPair(const std::uint8_t* HWY_RESTRICT r0, const std::uint8_t* HWY_RESTRICT r1, int width,
                   std::uint8_t* HWY_RESTRICT y0, std::uint8_t* HWY_RESTRICT y1, std::uint8_t* HWY_RESTRICT u,
                   std::uint8_t* HWY_RESTRICT v) {
#if HWY_TARGET == HWY_SCALAR
  (void)r0, (void)r1, (void)width, (void)y0, (void)y1, (void)u, (void)v;
  return 0;
#else
  const hn::ScalableTag<std::uint8_t> d8;
  const hn::RepartitionToWide<decltype(d8)> d16;
  const hn::RebindToSigned<decltype(d16)> di16;
  const hn::Rebind<std::uint8_t, decltype(di16)> d8h;
  const int n = static_cast<int>(hn::Lanes(d8));
  const auto lowMask = hn::Set(d16, 0x00FF);
  const auto yr = hn::Set(d16, bt709::kYR), yg = hn::Set(d16, bt709::kYG), yb = hn::Set(d16, bt709::kYB);
  const auto yOffset = hn::Set(d16, 16 * 64 + 32);
  const auto ur = hn::Set(di16, bt709::kUR), ug = hn::Set(di16, bt709::kUG), ub = hn::Set(di16, bt709::kUB);
  const auto vr = hn::Set(di16, bt709::kVR), vg = hn::Set(di16, bt709::kVG), vb = hn::Set(di16, bt709::kVB);
  const auto cOffset = hn::Set(di16, 128 * 16 + 8);

  auto luma = [&](auto r, auto g, auto b) {
    auto y = hn::Add(hn::Add(hn::MulHigh(hn::ShiftLeft<6>(r), yr), hn::MulHigh(hn::ShiftLeft<6>(g), yg)),
                     hn::MulHigh(hn::ShiftLeft<6>(b), yb));
    return hn::ShiftRight<6>(hn::Add(y, yOffset));
  };
  auto chroma = [&](auto sr, auto sg, auto sb, auto kr, auto kg, auto kb) {
    auto c = hn::Add(hn::Add(hn::MulHigh(hn::ShiftLeft<3>(sr), kr), hn::MulHigh(hn::ShiftLeft<3>(sg), kg)),
                     hn::MulHigh(hn::ShiftLeft<3>(sb), kb));
    return hn::DemoteTo(d8h, hn::ShiftRight<4>(hn::Add(c, cOffset)));
  };

  int x = 0;
  for (; x + n <= width; x += n) {
    hn::Vec<decltype(d8)> b0, g0, rr0, a0, b1, g1, rr1, a1;
    hn::LoadInterleaved4(d8, r0 + 4 * x, b0, g0, rr0, a0);
    hn::LoadInterleaved4(d8, r1 + 4 * x, b1, g1, rr1, a1);
    // Even pixels sit in the low byte of each 16-bit lane, odd ones in the high.
    const auto be0 = hn::And(hn::BitCast(d16, b0), lowMask), bo0 = hn::ShiftRight<8>(hn::BitCast(d16, b0));
    const auto ge0 = hn::And(hn::BitCast(d16, g0), lowMask), go0 = hn::ShiftRight<8>(hn::BitCast(d16, g0));
    const auto re0 = hn::And(hn::BitCast(d16, rr0), lowMask), ro0 = hn::ShiftRight<8>(hn::BitCast(d16, rr0));
    const auto be1 = hn::And(hn::BitCast(d16, b1), lowMask), bo1 = hn::ShiftRight<8>(hn::BitCast(d16, b1));
    const auto ge1 = hn::And(hn::BitCast(d16, g1), lowMask), go1 = hn::ShiftRight<8>(hn::BitCast(d16, g1));
    const auto re1 = hn::And(hn::BitCast(d16, rr1), lowMask), ro1 = hn::ShiftRight<8>(hn::BitCast(d16, rr1));

    const auto yRow0 = hn::Or(luma(re0, ge0, be0), hn::ShiftLeft<8>(luma(ro0, go0, bo0)));
    const auto yRow1 = hn::Or(luma(re1, ge1, be1), hn::ShiftLeft<8>(luma(ro1, go1, bo1)));
    hn::StoreU(hn::BitCast(d8, yRow0), d8, y0 + x);
    hn::StoreU(hn::BitCast(d8, yRow1), d8, y1 + x);

    const auto sb = hn::BitCast(di16, hn::Add(hn::Add(be0, bo0), hn::Add(be1, bo1)));
    const auto sg = hn::BitCast(di16, hn::Add(hn::Add(ge0, go0), hn::Add(ge1, go1)));
    const auto sr = hn::BitCast(di16, hn::Add(hn::Add(re0, ro0), hn::Add(re1, ro1)));
    hn::StoreU(chroma(sr, sg, sb, ur, ug, ub), d8h, u + x / 2);
    hn::StoreU(chroma(sr, sg, sb, vr, vg, vb), d8h, v + x / 2);
  }
  return x;
#endif
}

}  // namespace vantrel::media::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
#include <algorithm>

#include "vantrel/media/errors.h"
#include "vantrel/media/frame.h"

namespace vantrel::media {

void convertI420ToBgraBt709(const I420Buffer& planes, PixelBuffer& out) {
  if (out.width() != planes.width || out.height() != planes.height) {
    throw makeMediaError(MediaErrorCode::invalidArgument, "frame size does not match the buffer");
  }
  convertI420ToBgra(YuvMatrix::bt709, planes.y.data(), planes.strideY, planes.u.data(), planes.strideU,
                    planes.v.data(), planes.strideV, out.data(), out.stride(), planes.width, planes.height);
}

HWY_EXPORT(ConvertRowPair);

namespace {
template <class RowPair>
void convertRows(const std::uint8_t* bgra, int stride, int width, int height, const I420Planes& out, RowPair pair) {
  for (int y = 0; y < height; y += 2) {
    const int y2 = y + 1 < height ? y + 1 : y;
    const std::uint8_t* r0 = bgra + static_cast<std::ptrdiff_t>(y) * stride;
    const std::uint8_t* r1 = bgra + static_cast<std::ptrdiff_t>(y2) * stride;
    std::uint8_t* y0 = out.y + static_cast<std::ptrdiff_t>(y) * out.strideY;
    std::uint8_t* y1 = out.y + static_cast<std::ptrdiff_t>(y2) * out.strideY;
    std::uint8_t* u = out.u + static_cast<std::ptrdiff_t>(y / 2) * out.strideU;
    std::uint8_t* v = out.v + static_cast<std::ptrdiff_t>(y / 2) * out.strideV;
    const int done = pair(r0, r1, width, y0, y1, u, v);
    bt709::convertTail(r0, r1, done, width, y0, y1, u, v);
  }
}
}  // namespace

void convertBgraToI420Bt709(const std::uint8_t* bgra, int stride, int width, int height, const I420Planes& out) {
  convertRows(bgra, stride, width, height, out,
              [](const std::uint8_t* r0, const std::uint8_t* r1, int w, std::uint8_t* y0, std::uint8_t* y1,
                 std::uint8_t* u, std::uint8_t* v) { return HWY_DYNAMIC_DISPATCH(ConvertRowPair)(r0, r1, w, y0, y1, u, v); });
}

void convertBgraToI420Bt709Reference(const std::uint8_t* bgra, int stride, int width, int height,
                                     const I420Planes& out) {
  convertRows(bgra, stride, width, height, out,
              [](const std::uint8_t*, const std::uint8_t*, int, std::uint8_t*, std::uint8_t*, std::uint8_t*,
                 std::uint8_t*) { return 0; });
}

}  // namespace vantrel::media
#endif
