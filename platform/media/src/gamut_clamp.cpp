// Highway compiles this file once per instruction set.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "src/gamut_clamp.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "pair_mul_add-inl.h"

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
// a clipping error of e moves luma by at most 0.86 e (Q6, plus 1.5 from the
// three products' rounding) and chroma by at most 0.88 e before its one
// rounding to a level, which rounds to nothing below 32. The vector kernel
// copies such blocks without the sums.
constexpr int kSlack = 32;

struct Errors {
  int r, g, b;  // Q6, what clipping adds to each channel
};

// One pixel's clipping error (Q6) and the luma move (Q6) it makes.
inline Errors pixelErrors(int y, const yuvq6::ChromaQ6& c, int& lumaMove) {
  using yuvq6::fp15;
  using yuvq6::sat16;
  const int y6 = yuvq6::lumaQ6(y);
  const int qb = sat16(y6 + c.b), qg = sat16(y6 + c.g), qr = sat16(y6 + c.r);
  const Errors e{std::clamp(qr, 0, yuvq6::kTopQ6) - qr, std::clamp(qg, 0, yuvq6::kTopQ6) - qg,
                 std::clamp(qb, 0, yuvq6::kTopQ6) - qb};
  lumaMove = fp15(e.r, kYR) + fp15(e.g, kYG) + fp15(e.b, kYB);
  return e;
}

inline std::uint8_t moved(int level, int q6) { return static_cast<std::uint8_t>(std::clamp(level + ((q6 + 32) >> 6), 0, 255)); }

// A chroma level moved by the chroma of a block's mean error: the three
// products summed exactly, then rounded once to Q6 and once to a level, which
// is one rounding shift (the vector kernel does the same in 32 bits).
inline std::uint8_t chromaMoved(int level, const Errors& mean, int kr, int kg, int kb) {
  const int delta = (kr * mean.r + kg * mean.g + kb * mean.b + (1 << 20) + (1 << 14)) >> 21;
  return static_cast<std::uint8_t>(std::clamp(level + delta, 0, 255));
}

// Chroma columns [from, end) of one row pair (`y1` null: a single last row).
inline void rowPairScalar(const std::uint8_t* y0, const std::uint8_t* y1, const std::uint8_t* u,
                          const std::uint8_t* v, std::uint8_t* oy0, std::uint8_t* oy1, std::uint8_t* ou,
                          std::uint8_t* ov, int width, int from, int end) {
  for (int x = from; x < end; ++x) {
    const yuvq6::ChromaQ6 c = yuvq6::chromaQ6(u[x], v[x]);
    Errors sum{0, 0, 0};
    int count = 0;
    for (int i = 2 * x; i < std::min(2 * x + 2, width); ++i) {
      for (int row = 0; row < (y1 ? 2 : 1); ++row) {
        const std::uint8_t level = (row ? y1 : y0)[i];
        int lumaMove = 0;
        const Errors e = pixelErrors(level, c, lumaMove);
        (row ? oy1 : oy0)[i] = moved(level, lumaMove);
        sum.r += e.r, sum.g += e.g, sum.b += e.b, ++count;
      }
    }
    // The mean over the block's pixels, rounded.
    const auto mean = [&](int total) {
      return count == 4 ? (total + 2) >> 2 : count == 2 ? (total + 1) >> 1 : total;
    };
    const Errors m{mean(sum.r), mean(sum.g), mean(sum.b)};
    ou[x] = chromaMoved(u[x], m, kUR, kUG, kUB);
    ov[x] = chromaMoved(v[x], m, kVR, kVG, kVB);
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
                 std::uint8_t* oy0, std::uint8_t* oy1, std::uint8_t* ou, std::uint8_t* ov, int chromaCount,
                 bool check, int* copied) {
#if HWY_TARGET == HWY_SCALAR
  (void)y0, (void)y1, (void)u, (void)v, (void)oy0, (void)oy1, (void)ou, (void)ov, (void)chromaCount, (void)check,
      (void)copied;
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
  const auto kYR = k(gamut::kYR), kYG = k(gamut::kYG), kYB = k(gamut::kYB);
  const auto sixteen = k(16), half = k(32), grey = k(128), ones = k(1);
  // (r, g) and (b, rounding) weight pairs of the chroma moves.
  const auto pairOf = [&](int a, int b) HWY_ATTR {
    return hn::BitCast(d, hn::Set(d32, static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::uint16_t>(a)) |
                                                                 (static_cast<std::uint32_t>(static_cast<std::uint16_t>(b)) << 16))));
  };
  const auto kURG = pairOf(gamut::kUR, gamut::kUG), kUB1 = pairOf(gamut::kUB, 1 << 14);
  const auto kVRG = pairOf(gamut::kVR, gamut::kVG), kVB1 = pairOf(gamut::kVB, 1 << 14);
  const auto twice = [&](const std::uint8_t* p) HWY_ATTR {
    const auto w = hn::PromoteTo(dc16, hn::LoadU(dc8, p));
    return hn::ShiftLeft<8>(hn::Sub(hn::PromoteTo(d, hn::BitCast(d8, hn::Or(w, hn::ShiftLeft<8>(w)))), grey));
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
    if (check) {
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
        ++*copied;
        continue;
      }
    }
    // Errors summed over each block in 32 bits (one multiply-add by ones
    // adds the two pixels of a pair), luma moved per pixel.
    auto sr = hn::Zero(d32), sg = hn::Zero(d32), sb = hn::Zero(d32);
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
      sr = PairMulAdd(d32, er, ones, sr), sg = PairMulAdd(d32, eg, ones, sg), sb = PairMulAdd(d32, eb, ones, sb);
      hn::StoreU(hn::DemoteTo(d8, hn::Add(luma, hn::ShiftRight<6>(hn::Add(my, half)))), d8,
                 (row ? oy1 : oy0) + 2 * x);
    }
    // Mean errors (they fit 16 bits) paired as (r, g) and (b, 65): two more
    // multiply-adds give each chroma move with its rounding terms.
    const auto low16 = hn::Set(d32, 0xFFFF);
    const auto mean = [&](hn::Vec<decltype(d32)> sum) HWY_ATTR {
      return hn::And(hn::ShiftRight<2>(hn::Add(sum, hn::Set(d32, 2))), low16);
    };
    const auto rg = hn::BitCast(d, hn::Or(mean(sr), hn::ShiftLeft<16>(mean(sg))));
    const auto b1 = hn::BitCast(d, hn::Or(mean(sb), hn::Set(d32, 65 << 16)));
    const auto delta = [&](hn::Vec<decltype(d)> krg, hn::Vec<decltype(d)> kb1) HWY_ATTR {
      return hn::ShiftRight<21>(PairMulAdd(d32, rg, krg, PairMulAdd(d32, b1, kb1, hn::Zero(d32))));
    };
    const auto uLevel = hn::BitCast(d32, hn::PromoteTo(hn::RebindToUnsigned<decltype(d32)>(), hn::LoadU(d32to8, u + x)));
    const auto vLevel = hn::BitCast(d32, hn::PromoteTo(hn::RebindToUnsigned<decltype(d32)>(), hn::LoadU(d32to8, v + x)));
    const auto levels = [&](hn::Vec<decltype(d32)> level, hn::Vec<decltype(d32)> move) HWY_ATTR {
      return hn::DemoteTo(d32to8, hn::Min(hn::Max(hn::Add(level, move), hn::Zero(d32)), hn::Set(d32, 255)));
    };
    hn::StoreU(levels(uLevel, delta(kURG, kUB1)), d32to8, ou + x);
    hn::StoreU(levels(vLevel, delta(kVRG, kVB1)), d32to8, ov + x);
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
  bool check = true;
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
    // Blocks near the cube are copied without the sums, but in a picture
    // where such blocks and others alternate, guessing which comes next costs
    // more than the sums: the test is made while the row pair above found
    // mostly such blocks, and again every eighth row pair.
    int copied = 0;
    const int done = pair ? kernel(y0, y1, u, v, oy0, oy1, ou, ov, whole, check, &copied) : 0;
    check = (check && 4 * copied >= 3 * done) || (y & 15) == 14;
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
               std::uint8_t*, std::uint8_t*, std::uint8_t*, int, bool, int*) { return 0; });
}

}  // namespace vantrel::media
#endif
