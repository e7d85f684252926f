// The perspective kernel (see perspective.h for what each argument means):
// SIMD rows compiled once per target and chosen at run time, the scalar
// reference they are tested against, the textures it samples and the image
// node that runs it.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <optional>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "perspective_kernel.cpp"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"
#include "perspective_pixel.h"
#include "vantrel/graphics/perspective.h"

HWY_BEFORE_NAMESPACE();
namespace vantrel::graphics::kernels::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

#if HWY_TARGET == HWY_SCALAR
void PerspectiveRowImpl(const PerspectiveRow& r, uint32_t* out, int n) { scalar::perspectiveRow(r, out, n); }
void MipReduceRowImpl(const uint32_t* in0, const uint32_t* in1, uint32_t* out, int inWidth) {
  scalar::mipReduceRow(in0, in1, out, inWidth);
}
#else
namespace {
using DF = hn::ScalableTag<float>;
using DI = hn::RebindToSigned<DF>;
using DU = hn::RebindToUnsigned<DF>;
using VF = hn::Vec<DF>;
using VI = hn::Vec<DI>;
using VU = hn::Vec<DU>;

HWY_INLINE VF Clamp01(VF v) {
  const DF df;
  return hn::Min(hn::IfThenElse(hn::Gt(v, hn::Zero(df)), v, hn::Zero(df)), hn::Set(df, 1.f));
}

// A vector of pixels in the fixed point of detail::lerpFixed: B and R of each
// pixel in the 16-bit halves of one lane, G and A in the other's.
struct Pixels {
  VU even, odd;
};

// Weights w in [0, 1] as detail::fixedWeight, repeated in both 16-bit halves.
HWY_INLINE VU WeightPairs(VF w) {
  const DF df;
  const DI di;
  const DU du;
  const VU n = hn::BitCast(du, hn::Neg(hn::ConvertTo(di, hn::Mul(w, hn::Set(df, 32768.f)))));
  return hn::Or(hn::And(n, hn::Set(du, 0xffffu)), hn::ShiftLeft<16>(n));
}

HWY_INLINE VU LerpPairs(VU a, VU b, VU negWeight) {
  const DU du;
  const hn::Repartition<int16_t, DU> d16;
  const auto a16 = hn::BitCast(d16, a);
  return hn::BitCast(du, hn::Add(a16, hn::MulFixedPoint15(hn::Sub(a16, hn::BitCast(d16, b)), hn::BitCast(d16, negWeight))));
}

HWY_INLINE Pixels LerpPixels(const Pixels& a, const Pixels& b, VU negWeight) {
  return {LerpPairs(a.even, b.even, negWeight), LerpPairs(a.odd, b.odd, negWeight)};
}

// Each pixel and the one to its right, read as one 64-bit word from the
// pixel index `index`: (left, right) in pixel order.
HWY_INLINE void GatherPairs(const uint8_t* base, VI index, VU& left, VU& right) {
  const DU du;
  const hn::Half<DI> dh;
  const hn::Repartition<int64_t, DF> d64;
  const hn::Repartition<uint64_t, DF> du64;
  const VI bytes = hn::ShiftLeft<2>(index);
  const auto* words = reinterpret_cast<const uint64_t*>(base);
  const VU lo = hn::BitCast(du, hn::GatherOffset(du64, words, hn::PromoteTo(d64, hn::LowerHalf(dh, bytes))));
  const VU hi = hn::BitCast(du, hn::GatherOffset(du64, words, hn::PromoteTo(d64, hn::UpperHalf(dh, bytes))));
  left = hn::ConcatEven(du, hi, lo);
  right = hn::ConcatOdd(du, hi, lo);
}

// Weights already in 1.15 fixed point and below 1 (0...32767), repeated in
// both 16-bit halves.
HWY_INLINE VU PositivePairs(VI w) {
  const DU du;
  const VU u = hn::BitCast(du, w);
  return hn::Or(u, hn::ShiftLeft<16>(u));
}

// a + w (b - a) for positive weights: rounds exactly as LerpPairs(a, b, -w).
HWY_INLINE VU LerpPositive(VU a, VU b, VU weight) {
  const DU du;
  const hn::Repartition<int16_t, DU> d16;
  const auto a16 = hn::BitCast(d16, a);
  return hn::BitCast(du, hn::Add(a16, hn::MulFixedPoint15(hn::Sub(hn::BitCast(d16, b), a16), hn::BitCast(d16, weight))));
}

// Two adjacent rows' horizontal mixes, then the vertical one.
HWY_INLINE Pixels Bilinear(VU p00, VU p10, VU p01, VU p11, VU wx, VU wy) {
  const DU du;
  const VU M = hn::Set(du, 0x7f807f80u);  // both channels of a half, in 1/128 steps
  auto even = [&](VU p) { return hn::And(hn::ShiftLeft<7>(p), M); };
  auto odd = [&](VU p) { return hn::And(hn::ShiftRight<1>(p), M); };
  const VU te = LerpPositive(even(p00), even(p10), wx), to = LerpPositive(odd(p00), odd(p10), wx);
  const VU be = LerpPositive(even(p01), even(p11), wx), bo = LerpPositive(odd(p01), odd(p11), wx);
  return {LerpPositive(te, be, wy), LerpPositive(to, bo, wy)};
}

// detail::sampleLevel for a vector of points, with the level's scale, last
// column and row, and start (in pixels) per lane.
HWY_INLINE Pixels SampleAt(const PerspectiveTextureView& t, VF scale, VI lastX, VI lastY, VI offset, VF sx, VF sy) {
  const DF df;
  const DI di;
  const VF zero = hn::Zero(df);
  VF u = hn::MulAdd(hn::Sub(sx, hn::Set(df, t.originX)), scale, hn::Set(df, -0.5f));
  VF v = hn::MulAdd(hn::Sub(sy, hn::Set(df, t.originY)), scale, hn::Set(df, -0.5f));
  u = hn::Min(hn::IfThenElse(hn::Ge(u, zero), u, zero), hn::ConvertTo(df, lastX));
  v = hn::Min(hn::IfThenElse(hn::Ge(v, zero), v, zero), hn::ConvertTo(df, lastY));
  const VF fixed = hn::Set(df, 32768.f);
  const VI ux = hn::ConvertTo(di, hn::Mul(u, fixed)), vy = hn::ConvertTo(di, hn::Mul(v, fixed));
  const VI fraction = hn::Set(di, 32767);
  const VI x0 = hn::ShiftRight<15>(ux), y0 = hn::ShiftRight<15>(vy);
  const VI y1 = hn::Min(hn::Add(y0, hn::Set(di, 1)), lastY);
  const VU wx = PositivePairs(hn::And(ux, fraction)), wy = PositivePairs(hn::And(vy, fraction));
  const VI sp = hn::Set(di, static_cast<int32_t>(t.stride / 4));
  const VI r0 = hn::Add(hn::Add(offset, hn::Mul(y0, sp)), x0), r1 = hn::Add(hn::Add(offset, hn::Mul(y1, sp)), x0);
  // Past a level's last column lies padding, the next level or the buffer's
  // spare row: readable, and weighted 0.
  VU p00, p10, p01, p11;
  GatherPairs(t.data, r0, p00, p10);
  GatherPairs(t.data, r1, p01, p11);
  return Bilinear(p00, p10, p01, p11, wx, wy);
}

// Each lane at its own level.
HWY_INLINE Pixels SampleLevel(const PerspectiveTextureView& t, VI level, VF sx, VF sy) {
  const DF df;
  const DI di;
  // One level across the vector is the rule (the footprint changes slowly).
  const int32_t first = hn::GetLane(level);
  if (hn::AllTrue(di, hn::Eq(level, hn::Set(di, first)))) {
    const int w = (t.width + (1 << first) - 1) >> first, h = (t.height + (1 << first) - 1) >> first;
    return SampleAt(t, hn::Set(df, detail::powerOfTwoInverse(t.baseLevel + first)), hn::Set(di, w - 1),
                    hn::Set(di, h - 1), hn::Set(di, t.offsets[first]), sx, sy);
  }
  const VI one = hn::Set(di, 1);
  const VF scale = hn::BitCast(df, hn::ShiftLeft<23>(hn::Sub(hn::Set(di, 127 - t.baseLevel), level)));
  const VI round = hn::Sub(hn::Shl(one, level), one);
  const VI w = hn::Shr(hn::Add(hn::Set(di, t.width), round), level);
  const VI h = hn::Shr(hn::Add(hn::Set(di, t.height), round), level);
  return SampleAt(t, scale, hn::Sub(w, one), hn::Sub(h, one), hn::GatherIndex(di, t.offsets, level), sx, sy);
}

HWY_INLINE Pixels Trilinear(const PerspectiveTextureView& t, VF lambda, VF sx, VF sy) {
  const DF df;
  const DI di;
  const VF zero = hn::Zero(df), one = hn::Set(df, 1.f);
  const VF above = hn::Sub(lambda, hn::Set(df, static_cast<float>(t.baseLevel)));
  const VF l = hn::Min(hn::IfThenElse(hn::Ge(above, zero), above, zero), hn::Set(df, static_cast<float>(t.levels - 1)));
  const VI l0 = hn::ConvertTo(di, l);
  const VF f = Clamp01(hn::MulAdd(hn::Set(df, 4.f), hn::Sub(l, hn::ConvertTo(df, l0)), hn::Set(df, -1.5f)));
  const VI l1 = hn::Min(hn::Add(l0, hn::Set(di, 1)), hn::Set(di, t.levels - 1));
  if (hn::AllTrue(df, hn::Eq(f, one))) return SampleLevel(t, l1, sx, sy);
  const Pixels a = SampleLevel(t, l0, sx, sy);
  if (hn::AllTrue(df, hn::Eq(f, zero))) return a;
  return LerpPixels(a, SampleLevel(t, l1, sx, sy), WeightPairs(f));
}

HWY_INLINE Pixels SoftSample(const PerspectiveTextureView& t, VF lambda, VF sx, VF sy) {
  const DF df;
  const DI di;
  const VF zero = hn::Zero(df);
  const VF above = hn::Add(hn::Sub(lambda, hn::Set(df, static_cast<float>(t.baseLevel))), hn::Set(df, 0.5f));
  const VF l = hn::Min(hn::IfThenElse(hn::Ge(above, zero), above, zero), hn::Set(df, static_cast<float>(t.levels - 1)));
  return SampleLevel(t, hn::ConvertTo(di, l), sx, sy);
}

// detail::mapPoint for a vector of output points on the row.
struct ScenePoints {
  hn::Mask<DF> valid;
  VF sx, sy, jxx, jyx, jxy, jyy;
};

HWY_INLINE ScenePoints MapPoints(const detail::PerspectiveRowSetup& s, VF qx) {
  const DF df;
  const VF one = hn::Set(df, 1.f);
  const float* h = s.h;
  ScenePoints p;
  const VF Z = hn::MulAdd(hn::Set(df, h[6]), qx, hn::Set(df, s.bz));
  p.valid = hn::Gt(Z, hn::Set(df, 1e-6f));
  const VF inv = hn::Div(one, hn::IfThenElse(p.valid, Z, one));
  p.sx = hn::Mul(hn::MulAdd(hn::Set(df, h[0]), qx, hn::Set(df, s.bx)), inv);
  p.sy = hn::Mul(hn::MulAdd(hn::Set(df, h[3]), qx, hn::Set(df, s.by)), inv);
  const VF h6 = hn::Set(df, h[6]), h7 = hn::Set(df, h[7]);
  p.jxx = hn::Mul(hn::NegMulAdd(p.sx, h6, hn::Set(df, h[0])), inv);
  p.jyx = hn::Mul(hn::NegMulAdd(p.sy, h6, hn::Set(df, h[3])), inv);
  p.jxy = hn::Mul(hn::NegMulAdd(p.sx, h7, hn::Set(df, h[1])), inv);
  p.jyy = hn::Mul(hn::NegMulAdd(p.sy, h7, hn::Set(df, h[4])), inv);
  return p;
}

HWY_INLINE VF Lambda(const ScenePoints& p) {
  const DF df;
  const DI di;
  const VF fx2 = hn::MulAdd(p.jxx, p.jxx, hn::Mul(p.jyx, p.jyx)), fy2 = hn::MulAdd(p.jxy, p.jxy, hn::Mul(p.jyy, p.jyy));
  const VF rho2 = hn::Max(hn::Max(fx2, fy2), hn::Set(df, 1e-30f));
  const VF log2 = hn::Sub(hn::Mul(hn::ConvertTo(df, hn::BitCast(di, rho2)), hn::Set(df, 1.f / 8388608.f)),
                          hn::Set(df, 127.f));
  return hn::Mul(hn::Set(df, 0.5f), log2);
}

// The softened copy's knots along part of one row (detail::softKnot), worked
// out a vector at a time as blocks first need them, left to right.
class SoftKnots {
 public:
  // Rows are handed over in parts of at most this many pixels.
  static constexpr int kMaxPixels = 2048;

  SoftKnots(const PerspectiveRow& r, const detail::PerspectiveRowSetup& s, int shift, int32_t firstPixel)
      : r_(r), s_(s), shift_(shift), first_(firstPixel >> shift), done_(first_) {}

  // The soft colour of the N pixels from absolute pixel `x` on.
  HWY_INLINE Pixels At(int32_t x) {
    const DI di;
    const DU du;
    const int32_t k = x >> shift_;
    Ensure(k, k + static_cast<int32_t>(hn::Lanes(du)));
    const VI pixel = hn::Iota(di, x);
    const VI index = hn::Sub(hn::ShiftRightSame(pixel, shift_), hn::Set(di, k));
    const VI along = hn::ShiftLeftSame(hn::And(pixel, hn::Set(di, (1 << shift_) - 1)), 15 - shift_);
    const auto ia = hn::IndicesFromVec(du, index), ib = hn::IndicesFromVec(du, hn::Add(index, hn::Set(di, 1)));
    const VU e = hn::LoadU(du, even_ + (k - first_)), o = hn::LoadU(du, odd_ + (k - first_));
    const VU w = PositivePairs(along);
    return {LerpPositive(hn::TableLookupLanes(e, ia), hn::TableLookupLanes(e, ib), w),
            LerpPositive(hn::TableLookupLanes(o, ia), hn::TableLookupLanes(o, ib), w)};
  }

 private:
  // Knots [from, to) ready; those before `from` are past every later block.
  HWY_INLINE void Ensure(int32_t from, int32_t to) {
    const DF df;
    const DI di;
    const DU du;
    const int32_t N = static_cast<int32_t>(hn::Lanes(du));
    if (done_ < from) done_ = from;
    for (; done_ < to; done_ += N) {
      const VF qx = hn::Add(hn::ConvertTo(df, hn::ShiftLeftSame(hn::Iota(di, done_), shift_)), hn::Set(df, 0.5f));
      const ScenePoints p = MapPoints(s_, qx);
      const VF zero = hn::Zero(df), lambda = Lambda(p);
      const Pixels c = SoftSample(*r_.softened, lambda, hn::IfThenElse(p.valid, p.sx, zero),
                                  hn::IfThenElse(p.valid, p.sy, zero));
      const auto valid = hn::RebindMask(du, p.valid);
      hn::StoreU(hn::IfThenElseZero(valid, c.even), du, even_ + (done_ - first_));
      hn::StoreU(hn::IfThenElseZero(valid, c.odd), du, odd_ + (done_ - first_));
    }
  }

  static constexpr int kCapacity = kMaxPixels / 2 + 4 * HWY_MAX_BYTES / 4;
  const PerspectiveRow& r_;
  const detail::PerspectiveRowSetup& s_;
  int shift_;
  int32_t first_, done_;
  uint32_t even_[kCapacity], odd_[kCapacity];
};

// N output pixels starting at row pixel i; lanes are independent, so a pixel
// comes out the same whichever block it falls in.
HWY_INLINE VU PerspectiveBlock(const PerspectiveRow& r, const detail::PerspectiveRowSetup& s, int i, int32_t x,
                               SoftKnots* knots) {
  const DF df;
  const DI di;
  const DU du;
  const VF zero = hn::Zero(df), one = hn::Set(df, 1.f), half = hn::Set(df, 0.5f);
  const VF qx = hn::Add(hn::ConvertTo(df, hn::Iota(di, i)), hn::Set(df, r.x0));
  const ScenePoints p = MapPoints(s, qx);
  const auto valid = p.valid;
  if (hn::AllFalse(df, valid)) return hn::Zero(du);
  const VF sx = p.sx, sy = p.sy;
  const VF dl = hn::Sub(sx, hn::Set(df, s.left)), dr = hn::Sub(hn::Set(df, s.right), sx);
  const VF dt = hn::Sub(sy, hn::Set(df, s.top)), db = hn::Sub(hn::Set(df, s.bottom), sy);
  const VF gx2 = hn::MulAdd(p.jxx, p.jxx, hn::Mul(p.jxy, p.jxy)), gy2 = hn::MulAdd(p.jyx, p.jyx, hn::Mul(p.jyy, p.jyy));
  // Well inside every edge, each ramp is clamped to 1: with g <= (g^2 + 1) / 2,
  // a distance of twice (edge + g^2) + 2 is past the ramp's end with room for
  // any rounding, so the divisions can be skipped without changing a bit.
  const VF two = hn::Set(df, 2.f);
  auto deep = [&](VF d, VF g2, float e) { return hn::Ge(d, hn::MulAdd(two, hn::Add(hn::Set(df, e), g2), two)); };
  const auto inside = hn::And(hn::And(deep(dl, gx2, s.edge[0]), deep(dr, gx2, s.edge[2])),
                              hn::And(deep(dt, gy2, s.edge[1]), deep(db, gy2, s.edge[3])));
  VF coverage = one;
  if (!hn::AllTrue(df, hn::Or(inside, hn::Not(valid)))) {
    const VF gx = hn::Sqrt(gx2), gy = hn::Sqrt(gy2);
    const VF tiny = hn::Set(df, 1e-6f);
    auto ramp = [&](VF d, VF g, float e) {
      return Clamp01(hn::Div(hn::MulAdd(half, g, d), hn::Max(hn::Add(hn::Set(df, e), g), tiny)));
    };
    coverage = hn::Mul(hn::Mul(ramp(dl, gx, s.edge[0]), ramp(dr, gx, s.edge[2])),
                       hn::Mul(ramp(dt, gy, s.edge[1]), ramp(db, gy, s.edge[3])));
  }
  const auto keep = hn::And(valid, hn::Gt(coverage, zero));
  if (hn::AllFalse(df, keep)) return hn::Zero(du);
  const VF lambda = Lambda(p);
  // Lanes that are dropped sample a safe point.
  const VF px = hn::IfThenElse(keep, sx, zero), py = hn::IfThenElse(keep, sy, zero);
  const VF d = hn::MulAdd(hn::Set(df, s.depth[0]), px, hn::MulAdd(hn::Set(df, s.depth[1]), py, hn::Set(df, s.depth[2])));
  const VF c = hn::Mul(hn::Set(df, s.blurRadius),
                       hn::Min(hn::Mul(hn::Abs(hn::Sub(d, hn::Set(df, s.focus))), hn::Set(df, s.invSpan)), one));
  VF m = Clamp01(hn::Mul(hn::Sub(c, half), hn::Set(df, s.invRamp)));
  m = hn::Mul(hn::Mul(m, m), hn::MulAdd(hn::Set(df, -2.f), m, hn::Set(df, 3.f)));
  Pixels colour{hn::Zero(du), hn::Zero(du)};
  // Wholly out of focus: the sharp scene would be mixed away.
  if (!hn::AllFalse(df, hn::And(keep, hn::Lt(m, one)))) colour = Trilinear(*r.image, lambda, px, py);
  if (!hn::AllFalse(df, hn::And(keep, hn::Gt(m, zero)))) {
    const Pixels soft = knots ? knots->At(x) : SoftSample(*r.softened, lambda, px, py);
    colour = LerpPixels(colour, soft, WeightPairs(m));
  }
  const VU wc = WeightPairs(coverage);
  const hn::Repartition<int16_t, DU> d16;
  auto bytes = [&](VU v) {
    return hn::BitCast(du, hn::ShiftRight<7>(hn::Add(hn::BitCast(d16, LerpPairs(hn::Zero(du), v, wc)), hn::Set(d16, 64))));
  };
  const VU px32 = hn::Or(bytes(colour.even), hn::ShiftLeft<8>(bytes(colour.odd)));
  return hn::IfThenElseZero(hn::RebindMask(du, keep), px32);
}

// One part of a row, at most SoftKnots::kMaxPixels long.
HWY_INLINE void PerspectiveSpan(const PerspectiveRow& r, const detail::PerspectiveRowSetup& s, uint32_t* out, int n) {
  const DU du;
  const int N = static_cast<int>(hn::Lanes(du));
  const int32_t x = static_cast<int32_t>(std::floor(r.x0));
  const int shift = detail::softKnotShift(*r.softened);
  std::optional<SoftKnots> knots;
  if (shift > 0) knots.emplace(r, s, shift, x);
  SoftKnots* k = knots ? &*knots : nullptr;
  int i = 0;
  for (; i + N <= n; i += N) hn::StoreU(PerspectiveBlock(r, s, i, x + i, k), du, out + i);
  if (i < n) {
    // The tail is a whole block too (lanes past the row are computed and dropped).
    HWY_ALIGN uint32_t tail[HWY_MAX_BYTES / 4];
    hn::Store(PerspectiveBlock(r, s, i, x + i, k), du, tail);
    std::memcpy(out + i, tail, static_cast<size_t>(n - i) * 4);
  }
}
}  // namespace

void PerspectiveRowImpl(const PerspectiveRow& r, uint32_t* out, int n) {
  const detail::PerspectiveRowSetup s = detail::setupRow(r);
  for (int i = 0; i < n; i += SoftKnots::kMaxPixels) {
    PerspectiveRow part = r;
    part.x0 = r.x0 + static_cast<float>(i);
    PerspectiveSpan(part, s, out + i, std::min(n - i, SoftKnots::kMaxPixels));
  }
}

void MipReduceRowImpl(const uint32_t* in0, const uint32_t* in1, uint32_t* out, int inWidth) {
  const DU du;
  const int N = static_cast<int>(hn::Lanes(du));
  const VU M = hn::Set(du, 0x00ff00ffu), R = hn::Set(du, 0x00020002u);
  int j = 0;
  for (; 2 * (j + N) <= inWidth; j += N) {
    const VU a0 = hn::LoadU(du, in0 + 2 * j), b0 = hn::LoadU(du, in0 + 2 * j + N);
    const VU a1 = hn::LoadU(du, in1 + 2 * j), b1 = hn::LoadU(du, in1 + 2 * j + N);
    const VU p = hn::ConcatEven(du, b0, a0), q = hn::ConcatOdd(du, b0, a0);
    const VU r = hn::ConcatEven(du, b1, a1), s = hn::ConcatOdd(du, b1, a1);
    const VU e = hn::Add(hn::Add(hn::Add(hn::And(p, M), hn::And(q, M)), hn::Add(hn::And(r, M), hn::And(s, M))), R);
    const VU o = hn::Add(hn::Add(hn::Add(hn::And(hn::ShiftRight<8>(p), M), hn::And(hn::ShiftRight<8>(q), M)),
                                 hn::Add(hn::And(hn::ShiftRight<8>(r), M), hn::And(hn::ShiftRight<8>(s), M))),
                         R);
    hn::StoreU(hn::Or(hn::And(hn::ShiftRight<2>(e), M), hn::ShiftLeft<8>(hn::And(hn::ShiftRight<2>(o), M))), du,
               out + j);
  }
  const int outWidth = (inWidth + 1) / 2;
  for (; j < outWidth; ++j) {
    const int a = 2 * j, b = std::min(2 * j + 1, inWidth - 1);
    out[j] = detail::mipReducePixel(in0[a], in0[b], in1[a], in1[b]);
  }
}
#endif  // HWY_TARGET == HWY_SCALAR
}  // namespace vantrel::graphics::kernels::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace vantrel::graphics {
namespace kernels {
HWY_EXPORT(PerspectiveRowImpl);
HWY_EXPORT(MipReduceRowImpl);

void perspectiveRow(const PerspectiveRow& row, uint32_t* out, int n) {
  HWY_DYNAMIC_DISPATCH(PerspectiveRowImpl)(row, out, n);
}
void mipReduceRow(const uint32_t* in0, const uint32_t* in1, uint32_t* out, int inWidth) {
  HWY_DYNAMIC_DISPATCH(MipReduceRowImpl)(in0, in1, out, inWidth);
}

namespace scalar {
void perspectiveRow(const PerspectiveRow& row, uint32_t* out, int n) {
  const detail::PerspectiveRowSetup s = detail::setupRow(row);
  for (int i = 0; i < n; ++i) out[i] = detail::perspectivePixel(row, s, row.x0 + static_cast<float>(i));
}
void mipReduceRow(const uint32_t* in0, const uint32_t* in1, uint32_t* out, int inWidth) {
  const int outWidth = (inWidth + 1) / 2;
  for (int j = 0; j < outWidth; ++j) {
    const int a = 2 * j, b = std::min(2 * j + 1, inWidth - 1);
    out[j] = detail::mipReducePixel(in0[a], in0[b], in1[a], in1[b]);
  }
}
}  // namespace scalar
}  // namespace kernels

namespace {

constexpr int kMaxTextureSide = 8192;
// Floats the kernel computes with stay far from overflow below this.
constexpr double kMaxArgument = 1e18;

int levelSize(int size, int level) { return (size + (1 << level) - 1) >> level; }

}  // namespace

// Level 0 at the top left; every smaller level in one column to its right
// (starting on a 64-byte boundary so each level can be read as an image), one
// under the other.
struct PerspectiveTextureLayout {
  static BufferRef allocate(BufferPool& pool, int width, int height, kernels::PerspectiveTextureView& view) {
    int levels = 1;
    while ((levelSize(width, levels - 1) > 1 || levelSize(height, levels - 1) > 1) &&
           levels < kernels::kPerspectiveMaxLevels)
      ++levels;
    const int column = (width + 15) / 16 * 16;
    int rows = 0;
    int rowOf[kernels::kPerspectiveMaxLevels] = {};
    for (int k = 1; k < levels; ++k) {
      rowOf[k] = rows;
      rows += levelSize(height, k);
    }
    const int atlasWidth = levels > 1 ? column + levelSize(width, 1) : width;
    const int atlasHeight = std::max(height, rows);
    // A pool buffer has a spare row past its last: the SIMD rows read one
    // pixel past a level's last column (weighted 0), which on the bottom row
    // of the atlas lands there.
    BufferRef buffer = pool.acquire(atlasWidth, atlasHeight, PixelFormat::bgra8, false);
    view.data = buffer->data();
    view.stride = buffer->stride();
    view.width = width;
    view.height = height;
    view.levels = levels;
    const std::ptrdiff_t pitch = buffer->stride() / 4;
    for (int k = 0; k < kernels::kPerspectiveMaxLevels; ++k)
      view.offsets[k] = k == 0 || k >= levels ? 0 : static_cast<int32_t>(rowOf[k] * pitch + column);
    return buffer;
  }
};

void PerspectiveTexture::buildChain(ThreadPool& pool) {
  auto* base = reinterpret_cast<uint32_t*>(buffer_->data());
  const std::ptrdiff_t pitch = view_.stride / 4;
  for (int k = 1; k < view_.levels; ++k) {
    const int inW = levelSize(view_.width, k - 1), inH = levelSize(view_.height, k - 1);
    const uint32_t* in = base + view_.offsets[k - 1];
    uint32_t* out = base + view_.offsets[k];
    pool.parallelFor(levelSize(view_.height, k), [&](int j0, int j1) {
      for (int j = j0; j < j1; ++j) {
        const uint32_t* r0 = in + 2 * j * pitch;
        const uint32_t* r1 = in + std::min(2 * j + 1, inH - 1) * pitch;
        kernels::mipReduceRow(r0, r1, out + j * pitch, inW);
      }
    }, 16);
  }
}

std::shared_ptr<const PerspectiveTexture> PerspectiveTexture::make(Renderer& renderer, const Image& scene,
                                                                   const Rect& rect, double outputHeight) {
  if (!rect.isFinite() || rect.isEmpty() || !std::isfinite(outputHeight)) return nullptr;
  const Rect r = rect.integral();
  if (r.width > kMaxTextureSide || r.height > kMaxTextureSide || std::abs(r.x) > 1e6 || std::abs(r.y) > 1e6)
    return nullptr;
  std::shared_ptr<PerspectiveTexture> t(new PerspectiveTexture());
  t->rect_ = r;
  const int w = static_cast<int>(r.width), h = static_cast<int>(r.height);
  t->buffer_ = PerspectiveTextureLayout::allocate(*renderer.buffers(), w, h, t->view_);
  // Level 0 first: the renderer may clear the bytes past a row's end, where the smaller levels go.
  renderer.render(scene, t->buffer_->data(), w, h, t->buffer_->stride(), Point{r.x, r.y});
  t->view_.originX = static_cast<float>(r.x);
  t->view_.originY = static_cast<float>(outputHeight - r.maxY());
  t->buildChain(renderer.pool());
  return t;
}

std::shared_ptr<const PerspectiveTexture> PerspectiveTexture::softenedFrom(Renderer& renderer,
                                                                           const PerspectiveTexture& sharp,
                                                                           double sigma) {
  if (!std::isfinite(sigma)) return nullptr;
  sigma = std::clamp(sigma, 0.0, 500.0);
  // A blur of sigma hides detail finer than about sigma / 2, so it is worked
  // out that many times smaller (the box filter and the bilinear read-back add
  // at most a quarter of sigma) and costs a fraction of a full-size blur.
  int reduce = 0;
  while (reduce < 3 && reduce + 1 < sharp.view_.levels && (2 << reduce) * 2 <= sigma) ++reduce;
  const int w = levelSize(sharp.view_.width, reduce), h = levelSize(sharp.view_.height, reduce);
  const Image blurred = sharp.levelImage(reduce).gaussianBlur(sigma / (1 << reduce));
  std::shared_ptr<PerspectiveTexture> t(new PerspectiveTexture());
  t->rect_ = sharp.rect_;
  t->buffer_ = PerspectiveTextureLayout::allocate(*renderer.buffers(), w, h, t->view_);
  renderer.render(blurred, t->buffer_->data(), w, h, t->buffer_->stride(), Point{0, 0});
  t->view_.baseLevel = sharp.view_.baseLevel + reduce;
  t->view_.originX = sharp.view_.originX;
  t->view_.originY = sharp.view_.originY;
  t->buildChain(renderer.pool());
  return t;
}

Image PerspectiveTexture::levelImage(int level) const {
  level = std::clamp(level, 0, view_.levels - 1);
  return Image::fromExternalBGRA(view_.data + static_cast<std::ptrdiff_t>(view_.offsets[level]) * 4,
                                 levelSize(view_.width, level), levelSize(view_.height, level), view_.stride,
                                 buffer_);
}

bool PerspectiveKernelArguments::isFinite() const {
  auto ok = [](const auto& values) {
    return std::all_of(values.begin(), values.end(), [](double v) { return std::isfinite(v); });
  };
  return ok(inverseRow0) && ok(inverseRow1) && ok(inverseRow2) && ok(depth) && std::isfinite(focusDepth) &&
         std::isfinite(blurSpan) && std::isfinite(blurRadius) && ok(viewport) && ok(edgeBlur) && ok(outputSize);
}

namespace {

class PerspectiveKernel final : public CustomKernel {
 public:
  PerspectiveKernel(std::shared_ptr<const PerspectiveTexture> image, std::shared_ptr<const PerspectiveTexture> softened,
                    const kernels::PerspectiveParams& params)
      : image_(std::move(image)), softened_(std::move(softened)), params_(params) {}

  // The kernel reads its textures directly; it has no image inputs.
  Rect regionOfInterest(int, const Rect& outputRect) const override { return outputRect; }

  void apply(const std::vector<RasterView>&, const IRect& outRect, uint8_t* out,
             std::ptrdiff_t outStride) const override {
    const double outputHeight = params_.outputHeight;
    for (int k = 0; k < outRect.height; ++k) {
      const int y = outRect.maxY() - 1 - k;
      const kernels::PerspectiveRow row{&image_->view(), &softened_->view(), &params_,
                                        static_cast<float>(outRect.x + 0.5),
                                        static_cast<float>(outputHeight - (y + 0.5))};
      kernels::perspectiveRow(row, reinterpret_cast<uint32_t*>(out + k * outStride), outRect.width);
    }
  }

 private:
  std::shared_ptr<const PerspectiveTexture> image_, softened_;
  kernels::PerspectiveParams params_;
};

}  // namespace

Image perspectiveKernelImage(std::shared_ptr<const PerspectiveTexture> image,
                             std::shared_ptr<const PerspectiveTexture> softened,
                             const PerspectiveKernelArguments& a, const Rect& extent) {
  if (!image || !softened || !a.isFinite() || extent.isEmpty() || !extent.isFinite()) return Image();
  kernels::PerspectiveParams p;
  bool inRange = true;
  auto put = [&](float* dst, const double* src, int n) {
    for (int i = 0; i < n; ++i) {
      inRange = inRange && std::abs(src[i]) < kMaxArgument;
      dst[i] = static_cast<float>(src[i]);
    }
  };
  put(p.inverse, a.inverseRow0.data(), 3);
  put(p.inverse + 3, a.inverseRow1.data(), 3);
  put(p.inverse + 6, a.inverseRow2.data(), 3);
  put(p.depth, a.depth.data(), 3);
  put(&p.focusDepth, &a.focusDepth, 1);
  put(&p.blurSpan, &a.blurSpan, 1);
  put(&p.blurRadius, &a.blurRadius, 1);
  put(p.viewport, a.viewport.data(), 4);
  put(p.edgeBlur, a.edgeBlur.data(), 4);
  put(&p.outputWidth, &a.outputSize[0], 1);
  put(&p.outputHeight, &a.outputSize[1], 1);
  if (!inRange) return Image();
  return Image::custom(std::make_shared<PerspectiveKernel>(std::move(image), std::move(softened), p), extent, {});
}

namespace {

bool runProbe() {
  constexpr int W = 37, H = 13;
  Renderer renderer(1);
  auto picture = makeBuffer(W, H, PixelFormat::bgra8);
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x) {
      const uint32_t a = 128 + static_cast<uint32_t>((x * 7 + y * 3) % 128);
      const uint32_t c = static_cast<uint32_t>((x * 29 + y * 53) % 256) * a / 255;
      picture->pixelRow(y)[x] = a << 24 | c << 16 | (a - c / 2) << 8 | c / 3;
    }
  auto texture = PerspectiveTexture::make(renderer, Image::fromBuffer(picture), Rect{0, 0, W, H}, H);
  if (!texture) return false;
  kernels::PerspectiveParams identity;
  identity.outputWidth = W;
  identity.outputHeight = H;
  // A tilted, blurred view that reaches into the smaller levels and past the edges.
  kernels::PerspectiveParams tilted = identity;
  const float h[9] = {1.3f, 0.2f, -4.f, 0.05f, 1.1f, -2.f, 0.004f, 0.06f, 0.7f};
  std::copy(h, h + 9, tilted.inverse);
  tilted.depth[1] = 1;
  tilted.focusDepth = 2;
  tilted.blurSpan = 8;
  tilted.blurRadius = 6;
  tilted.edgeBlur[1] = 3;
  std::vector<uint32_t> fast(W), reference(W);
  for (int y = 0; y < H; ++y) {
    const float qy = static_cast<float>(y) + 0.5f;
    kernels::perspectiveRow({&texture->view(), &texture->view(), &identity, 0.5f, qy}, fast.data(), W);
    if (std::memcmp(fast.data(), picture->pixelRow(y), W * 4) != 0) return false;
    kernels::perspectiveRow({&texture->view(), &texture->view(), &tilted, 0.5f, qy}, fast.data(), W);
    kernels::scalar::perspectiveRow({&texture->view(), &texture->view(), &tilted, 0.5f, qy}, reference.data(), W);
    for (int x = 0; x < W; ++x)
      for (int c = 0; c < 32; c += 8)
        if (std::abs(static_cast<int>((fast[x] >> c) & 255) - static_cast<int>((reference[x] >> c) & 255)) > 1)
          return false;
  }
  return true;
}

}  // namespace

bool perspectiveKernelAvailable() {
  static const bool available = [] {
    try {
      return runProbe();
    } catch (const std::bad_alloc&) {
      // Buffers for the probe could not be had: the kernel cannot run either.
      return false;
    }
  }();
  return available;
}

}  // namespace vantrel::graphics
#endif  // HWY_ONCE
