// Highway compiles this file once per instruction set.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "src/gamut_clamp.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "vantrel/media/gamut_clamp.h"

#include <algorithm>
#include <cstdint>

#include "vantrel/media/errors.h"
#include "yuv_q6.h"

#ifndef VANTREL_MEDIA_GAMUT_CLAMP_SHARED
#define VANTREL_MEDIA_GAMUT_CLAMP_SHARED
namespace vantrel::media::gamut {

// RGB clipping error (Q6) back to YUV, Q15: the RGB->YUV rows times 219/255
// (luma) and 224/255 (chroma).
constexpr int kYR = 5983, kYG = 20127, kYB = 2032;
constexpr int kUR = -3299, kUG = -11093, kUB = 14392;  // rows sum to 0: a grey error moves no chroma
constexpr int kVR = 14392, kVG = -13074, kVB = -1318;

// No block whose RGB lies within this much (Q6) of the cube moves a level:
// a clipping error of e moves luma by at most 0.86 e and chroma by at most
// 0.88 e (Q6, plus 1.5 from the three products' rounding), which rounds to
// nothing below 32. The vector kernel copies such blocks without the sums.
constexpr int kSlack = 32;

struct Moves {
  int y, u, v;  // Q6
};

// One pixel's luma and chroma moves (Q6) from its clipping error.
inline Moves pixelMoves(int y, const yuvq6::ChromaQ6& c) {
  using yuvq6::fp15;
  using yuvq6::sat16;
  const int y6 = yuvq6::lumaQ6(y);
  const int qb = sat16(y6 + c.b), qg = sat16(y6 + c.g), qr = sat16(y6 + c.r);
  const int eb = std::clamp(qb, 0, yuvq6::kTopQ6) - qb, eg = std::clamp(qg, 0, yuvq6::kTopQ6) - qg,
            er = std::clamp(qr, 0, yuvq6::kTopQ6) - qr;
  return {fp15(er, kYR) + fp15(eg, kYG) + fp15(eb, kYB), fp15(er, kUR) + fp15(eg, kUG) + fp15(eb, kUB),
          fp15(er, kVR) + fp15(eg, kVG) + fp15(eb, kVB)};
}

inline std::uint8_t moved(int level, int q6) { return static_cast<std::uint8_t>(std::clamp(level + ((q6 + 32) >> 6), 0, 255)); }

// Chroma columns [from, end) of one row pair (`y1` null: a single last row).
inline void rowPairScalar(const std::uint8_t* y0, const std::uint8_t* y1, const std::uint8_t* u,
                          const std::uint8_t* v, std::uint8_t* oy0, std::uint8_t* oy1, std::uint8_t* ou,
                          std::uint8_t* ov, int width, int from, int end) {
  for (int x = from; x < end; ++x) {
    const yuvq6::ChromaQ6 c = yuvq6::chromaQ6(u[x], v[x]);
    int su = 0, sv = 0, count = 0;
    for (int i = 2 * x; i < std::min(2 * x + 2, width); ++i) {
      for (int row = 0; row < (y1 ? 2 : 1); ++row) {
        const std::uint8_t level = (row ? y1 : y0)[i];
        const Moves m = pixelMoves(level, c);
        (row ? oy1 : oy0)[i] = moved(level, m.y);
        su += m.u, sv += m.v, ++count;
      }
    }
    // The mean over the block's pixels, rounded.
    const int mu = count == 4 ? (su + 2) >> 2 : count == 2 ? (su + 1) >> 1 : su;
    const int mv = count == 4 ? (sv + 2) >> 2 : count == 2 ? (sv + 1) >> 1 : sv;
    ou[x] = moved(u[x], mu);
    ov[x] = moved(v[x], mv);
  }
}

}  // namespace vantrel::media::gamut
#endif

HWY_BEFORE_NAMESPACE();
namespace vantrel::media::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Whole 2x2 blocks of a full row pair, in 16-bit lanes (one pixel each, the
// chroma terms repeated for both pixels of a pair); returns how many chroma
// columns it did.
int ClampRowPair(const std::uint8_t* y0, const std::uint8_t* y1, const std::uint8_t* u, const std::uint8_t* v,
                 std::uint8_t* oy0, std::uint8_t* oy1, std::uint8_t* ou, std::uint8_t* ov, int chromaCount) {
#if HWY_TARGET == HWY_SCALAR
  (void)y0, (void)y1, (void)u, (void)v, (void)oy0, (void)oy1, (void)ou, (void)ov, (void)chromaCount;
  return 0;
#else
  const hn::ScalableTag<std::int16_t> d;
  const hn::Rebind<std::uint8_t, decltype(d)> d8;  // one pixel per lane
  const hn::Half<decltype(d8)> dc8;                // one chroma sample per pixel pair
  const hn::Rebind<std::uint16_t, decltype(dc8)> dc16;
  const hn::Repartition<std::int32_t, decltype(d)> d32;  // one pixel pair per lane
  const hn::Rebind<std::uint8_t, decltype(d32)> d32to8;
  const int pairs = static_cast<int>(hn::Lanes(d)) / 2;

  const auto zero = hn::Zero(d), top = hn::Set(d, yuvq6::kTopQ6);
  const auto slackLow = hn::Set(d, -gamut::kSlack), slackHigh = hn::Set(d, yuvq6::kTopQ6 + gamut::kSlack);
  const auto k = [&](int c) HWY_ATTR { return hn::Set(d, static_cast<std::int16_t>(c)); };
  // Made once: rebuilt inside the loop they cost two instructions each.
  const auto kY = k(yuvq6::kY), kBU = k(yuvq6::kBU), kGU = k(yuvq6::kGU), kGV = k(yuvq6::kGV),
             kRV = k(yuvq6::kRV);
  const auto kYR = k(gamut::kYR), kYG = k(gamut::kYG), kYB = k(gamut::kYB), kUR = k(gamut::kUR),
             kUG = k(gamut::kUG), kUB = k(gamut::kUB), kVR = k(gamut::kVR), kVG = k(gamut::kVG),
             kVB = k(gamut::kVB);
  const auto sixteen = k(16), half = k(32), grey = k(128);
  const auto twice = [&](const std::uint8_t* p) HWY_ATTR {
    const auto w = hn::PromoteTo(dc16, hn::LoadU(dc8, p));
    return hn::ShiftLeft<8>(hn::Sub(hn::PromoteTo(d, hn::BitCast(d8, hn::Or(w, hn::ShiftLeft<8>(w)))), grey));
  };
  // Both pixels of each pair added, in 32 bits.
  const auto pairSums = [&](hn::Vec<decltype(d)> q) HWY_ATTR {
    const auto w = hn::BitCast(d32, q);
    return hn::Add(hn::ShiftRight<16>(hn::ShiftLeft<16>(w)), hn::ShiftRight<16>(w));
  };
  const auto movedLevels = [&](hn::Vec<decltype(d32)> level, hn::Vec<decltype(d32)> sum4) HWY_ATTR {
    const auto mean = hn::ShiftRight<2>(hn::Add(sum4, hn::Set(d32, 2)));
    const auto out = hn::Add(level, hn::ShiftRight<6>(hn::Add(mean, hn::Set(d32, 32))));
    return hn::DemoteTo(d32to8, hn::Min(hn::Max(out, hn::Zero(d32)), hn::Set(d32, 255)));
  };
  int x = 0;
  for (; x + pairs <= chromaCount; x += pairs) {
    const auto us = twice(u + x), vs = twice(v + x);
    const auto cb = hn::MulFixedPoint15(us, kBU);
    const auto cg = hn::Neg(hn::SaturatedAdd(hn::MulFixedPoint15(us, kGU), hn::MulFixedPoint15(vs, kGV)));
    const auto cr = hn::MulFixedPoint15(vs, kRV);
    const auto y6Of = [&](hn::Vec<decltype(d)> luma) HWY_ATTR {
      return hn::MulFixedPoint15(hn::ShiftLeft<7>(hn::Sub(luma, sixteen)), kY);
    };
    const auto luma0 = hn::PromoteTo(d, hn::LoadU(d8, y0 + 2 * x)), luma1 = hn::PromoteTo(d, hn::LoadU(d8, y1 + 2 * x));
    {
      const auto a = y6Of(luma0), b = y6Of(luma1);
      const auto ab = hn::SaturatedAdd(a, cb), ag = hn::SaturatedAdd(a, cg), ar = hn::SaturatedAdd(a, cr);
      const auto bb = hn::SaturatedAdd(b, cb), bg = hn::SaturatedAdd(b, cg), br = hn::SaturatedAdd(b, cr);
      const auto low = hn::Min(hn::Min(hn::Min(ab, ag), hn::Min(ar, bb)), hn::Min(bg, br));
      const auto high = hn::Max(hn::Max(hn::Max(ab, ag), hn::Max(ar, bb)), hn::Max(bg, br));
      // Most blocks lie inside the cube, or so little outside that no level
      // moves (see kSlack): they are copied.
      if (hn::AllFalse(d, hn::Or(hn::Lt(low, slackLow), hn::Gt(high, slackHigh)))) {
        hn::StoreU(hn::LoadU(d8, y0 + 2 * x), d8, oy0 + 2 * x);
        hn::StoreU(hn::LoadU(d8, y1 + 2 * x), d8, oy1 + 2 * x);
        hn::StoreU(hn::LoadU(dc8, u + x), dc8, ou + x);
        hn::StoreU(hn::LoadU(dc8, v + x), dc8, ov + x);
        continue;
      }
    }
    auto su = hn::Zero(d32), sv = hn::Zero(d32);
    for (int row = 0; row < 2; ++row) {
      const auto luma = row ? luma1 : luma0;
      const auto y6 = y6Of(luma);
      const auto clip = [&](hn::Vec<decltype(d)> c) HWY_ATTR {
        const auto q = hn::SaturatedAdd(y6, c);
        return hn::Sub(hn::Min(hn::Max(q, zero), top), q);
      };
      const auto eb = clip(cb), eg = clip(cg), er = clip(cr);
      const auto my = hn::Add(hn::Add(hn::MulFixedPoint15(er, kYR), hn::MulFixedPoint15(eg, kYG)),
                              hn::MulFixedPoint15(eb, kYB));
      const auto mu = hn::Add(hn::Add(hn::MulFixedPoint15(er, kUR), hn::MulFixedPoint15(eg, kUG)),
                              hn::MulFixedPoint15(eb, kUB));
      const auto mv = hn::Add(hn::Add(hn::MulFixedPoint15(er, kVR), hn::MulFixedPoint15(eg, kVG)),
                              hn::MulFixedPoint15(eb, kVB));
      su = hn::Add(su, pairSums(mu)), sv = hn::Add(sv, pairSums(mv));
      hn::StoreU(hn::DemoteTo(d8, hn::Add(luma, hn::ShiftRight<6>(hn::Add(my, half)))), d8,
                 (row ? oy1 : oy0) + 2 * x);
    }
    const auto uLevel = hn::BitCast(d32, hn::PromoteTo(hn::RebindToUnsigned<decltype(d32)>(), hn::LoadU(d32to8, u + x)));
    const auto vLevel = hn::BitCast(d32, hn::PromoteTo(hn::RebindToUnsigned<decltype(d32)>(), hn::LoadU(d32to8, v + x)));
    hn::StoreU(movedLevels(uLevel, su), d32to8, ou + x);
    hn::StoreU(movedLevels(vLevel, sv), d32to8, ov + x);
  }
  return x;
#endif
}

}  // namespace vantrel::media::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace vantrel::media {

HWY_EXPORT(ClampRowPair);

namespace {

template <class Kernel>
void clampRows(const I420Buffer& in, I420Buffer& out, int rowBegin, int rowEnd, int colBegin, int colEnd,
               Kernel kernel) {
  if (&in == &out) throw makeMediaError(MediaErrorCode::invalidArgument, "gamut clamp in place");
  if (out.width != in.width || out.height != in.height) {
    throw makeMediaError(MediaErrorCode::invalidArgument, "gamut clamp into a picture of another size");
  }
  rowBegin = std::max(rowBegin, 0) & ~1;
  rowEnd = std::min(rowEnd, in.height);
  // Whole blocks: columns from an even one, pointers moved there.
  const int left = std::max(colBegin, 0) & ~1;
  const int right = std::min((std::min(colEnd, in.width) + 1) & ~1, in.width);
  const int width = right - left, chromaCount = (width + 1) / 2, whole = width / 2;
  if (width <= 0) return;
  const auto at = [](const std::vector<std::uint8_t>& p, int stride, int r) {
    return p.data() + static_cast<std::ptrdiff_t>(r) * stride;
  };
  const auto atOut = [](std::vector<std::uint8_t>& p, int stride, int r) {
    return p.data() + static_cast<std::ptrdiff_t>(r) * stride;
  };
  for (int y = rowBegin; y < rowEnd; y += 2) {
    const bool pair = y + 1 < in.height;
    const int c = left / 2;
    const std::uint8_t* y0 = at(in.y, in.strideY, y) + left;
    const std::uint8_t* y1 = pair ? at(in.y, in.strideY, y + 1) + left : nullptr;
    const std::uint8_t* u = at(in.u, in.strideU, y / 2) + c;
    const std::uint8_t* v = at(in.v, in.strideV, y / 2) + c;
    std::uint8_t* oy0 = atOut(out.y, out.strideY, y) + left;
    std::uint8_t* oy1 = pair ? atOut(out.y, out.strideY, y + 1) + left : nullptr;
    std::uint8_t* ou = atOut(out.u, out.strideU, y / 2) + c;
    std::uint8_t* ov = atOut(out.v, out.strideV, y / 2) + c;
    const int done = pair ? kernel(y0, y1, u, v, oy0, oy1, ou, ov, whole) : 0;
    gamut::rowPairScalar(y0, y1, u, v, oy0, oy1, ou, ov, width, done, chromaCount);
  }
}

}  // namespace

void clampI420ToRgbGamutBt709(const I420Buffer& in, I420Buffer& out, int rowBegin, int rowEnd, int colBegin,
                              int colEnd) {
  clampRows(in, out, rowBegin, rowEnd, colBegin, colEnd, HWY_DYNAMIC_DISPATCH(ClampRowPair));
}

void clampI420ToRgbGamutBt709Reference(const I420Buffer& in, I420Buffer& out, int rowBegin, int rowEnd,
                                       int colBegin, int colEnd) {
  clampRows(in, out, rowBegin, rowEnd, colBegin, colEnd,
            [](const std::uint8_t*, const std::uint8_t*, const std::uint8_t*, const std::uint8_t*, std::uint8_t*,
               std::uint8_t*, std::uint8_t*, std::uint8_t*, int) { return 0; });
}

}  // namespace vantrel::media
#endif
