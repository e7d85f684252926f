// Highway compiles this file once per instruction set.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "src/plane_resample.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "pair_mul_add-inl.h"

#include "vantrel/media/plane_resample.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <numbers>
#include <utility>

#include "vantrel/media/errors.h"

#ifndef VANTREL_MEDIA_PLANE_RESAMPLE_SHARED
#define VANTREL_MEDIA_PLANE_RESAMPLE_SHARED
namespace vantrel::media::planes {

// Down the columns: Q14 weights on 8-bit samples, kept in 1/64 levels.
inline std::int16_t columnLevel(std::int32_t acc) {
  return static_cast<std::int16_t>(std::clamp((acc + 128) >> 8, -32768, 32767));
}
// Across the row: Q14 weights on 1/64 levels, back to 8 bits.
inline std::uint8_t rowValue(std::int32_t acc, int low, int high) {
  return static_cast<std::uint8_t>(std::clamp((acc + (1 << 19)) >> 20, low, high));
}

inline void columnPassScalar(const std::uint8_t* const* rows, const std::int16_t* w, int taps, std::int16_t* mid,
                             int from, int width) {
  for (int x = from; x < width; ++x) {
    std::int32_t acc = 0;
    for (int t = 0; t < taps; ++t) acc += static_cast<std::int32_t>(w[t]) * rows[t][x];
    mid[x] = columnLevel(acc);
  }
}

// Weights of output pixel i: `taps` int16 at q14 + i * taps (a multiple of 8).
inline void rowPassScalar(const std::int16_t* mid, const int* start, const std::int16_t* q14, int taps, int count,
                          std::uint8_t* out, int from, int low, int high) {
  for (int i = from; i < count; ++i) {
    std::int32_t acc = 0;
    const std::int16_t* w = q14 + static_cast<std::size_t>(i) * taps;
    const std::int16_t* p = mid + start[i];
    for (int k = 0; k < taps; ++k) acc += static_cast<std::int32_t>(p[k]) * w[k];
    out[i] = rowValue(acc, low, high);
  }
}

}  // namespace vantrel::media::planes
#endif

HWY_BEFORE_NAMESPACE();
namespace vantrel::media::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Both return how many leading pixels they handled; the scalar code does the rest.
#if HWY_ARCH_X86 && HWY_TARGET != HWY_SCALAR
// Two source rows at a time: their samples interleaved as 16-bit pairs meet
// the pair of weights in one multiply-add (exact in 32 bits). Interleaving and
// packing both work within 128-bit blocks, so the pixels come out in order.
int ColumnPass(const std::uint8_t* const* rows, const std::int16_t* w, int taps, std::int16_t* mid, int width) {
  const hn::ScalableTag<std::int16_t> d16;
  const hn::Repartition<std::int32_t, decltype(d16)> d32;
  const hn::Rebind<std::uint8_t, decltype(d16)> d8;
  const int n = static_cast<int>(hn::Lanes(d16));
  const auto round = hn::Set(d32, 128);
  constexpr int kMaxPairs = 32;
  if (taps > 2 * kMaxPairs) return 0;
  hn::Vec<decltype(d16)> pairWeights[kMaxPairs];
  const std::uint8_t* pairRows[2 * kMaxPairs];
  const int pairs = (taps + 1) / 2;
  for (int p = 0; p < pairs; ++p) {
    const int t = 2 * p;
    const std::int16_t second = t + 1 < taps ? w[t + 1] : 0;
    const std::uint32_t both = static_cast<std::uint16_t>(w[t]) | (static_cast<std::uint32_t>(static_cast<std::uint16_t>(second)) << 16);
    pairWeights[p] = hn::BitCast(d16, hn::Set(d32, static_cast<std::int32_t>(both)));
    pairRows[t] = rows[t];
    pairRows[t + 1] = t + 1 < taps ? rows[t + 1] : rows[t];  // read, weighted 0
  }
  int x = 0;
  for (; x + n <= width; x += n) {
    auto lo = hn::Zero(d32), hi = hn::Zero(d32);
    for (int p = 0; p < pairs; ++p) {
      const auto a = hn::PromoteTo(d16, hn::LoadU(d8, pairRows[2 * p] + x));
      const auto b = hn::PromoteTo(d16, hn::LoadU(d8, pairRows[2 * p + 1] + x));
      auto unused = hn::Zero(d32);
      lo = hn::ReorderWidenMulAccumulate(d32, hn::InterleaveLower(d16, a, b), pairWeights[p], lo, unused);
      hi = hn::ReorderWidenMulAccumulate(d32, hn::InterleaveUpper(d16, a, b), pairWeights[p], hi, unused);
    }
    lo = hn::ShiftRight<8>(hn::Add(lo, round));
    hi = hn::ShiftRight<8>(hn::Add(hi, round));
    hn::StoreU(hn::ReorderDemote2To(d16, lo, hi), d16, mid + x);
  }
  return x;
}
#else
int ColumnPass(const std::uint8_t* const* rows, const std::int16_t* w, int taps, std::int16_t* mid, int width) {
#if HWY_TARGET == HWY_SCALAR
  (void)rows, (void)w, (void)taps, (void)mid, (void)width;
  return 0;
#else
  const hn::ScalableTag<std::int32_t> d32;
  const hn::Rebind<std::uint8_t, decltype(d32)> d8;
  const hn::Rebind<std::int16_t, decltype(d32)> d16;
  const int n = static_cast<int>(hn::Lanes(d32));
  const auto round = hn::Set(d32, 128);
  int x = 0;
  for (; x + n <= width; x += n) {
    auto acc = hn::Zero(d32);
    for (int t = 0; t < taps; ++t) {
      const auto p = hn::PromoteTo(d32, hn::LoadU(d8, rows[t] + x));
      acc = hn::Add(acc, hn::Mul(p, hn::Set(d32, w[t])));
    }
    hn::StoreU(hn::DemoteTo(d16, hn::ShiftRight<8>(hn::Add(acc, round))), d16, mid + x);
  }
  return x;
#endif
}
#endif

#if HWY_TARGET != HWY_SCALAR
// The widest vector whose 128-bit blocks each hold the eight taps of one output pixel.
#if HWY_ARCH_X86 && HWY_TARGET <= HWY_AVX3
constexpr int kBlocks = 4;
using BlockTag = hn::Full512<std::int16_t>;
#elif HWY_ARCH_X86 && HWY_TARGET <= HWY_AVX2
constexpr int kBlocks = 2;
using BlockTag = hn::Full256<std::int16_t>;
#else
constexpr int kBlocks = 1;
using BlockTag = hn::Full128<std::int16_t>;
#endif

// A vector whose block b is the 8 values at ptr(b).
template <class D, class F>
HWY_INLINE hn::Vec<D> LoadBlocks(D d, F ptr) {
  const hn::Full128<std::int16_t> d1;
  if constexpr (hn::MaxLanes(D()) == 8) {
    return hn::LoadU(d, ptr(0));
  } else if constexpr (hn::MaxLanes(D()) == 16) {
    return hn::Combine(d, hn::LoadU(d1, ptr(1)), hn::LoadU(d1, ptr(0)));
  } else {
    const hn::Half<D> d2;
    return hn::Combine(d, hn::Combine(d2, hn::LoadU(d1, ptr(3)), hn::LoadU(d1, ptr(2))),
                       hn::Combine(d2, hn::LoadU(d1, ptr(1)), hn::LoadU(d1, ptr(0))));
  }
}

#endif

#if HWY_TARGET != HWY_SCALAR
// 4 x kBlocks output pixels at a time: accumulator g holds pixel 4b + g in its
// block b (the taps of one pixel are neighbours in the row, so each block is
// one plain load), and one transposition per block adds up the four partial
// sums of four pixels, leaving them in order. kTapBlocks > 0: taps is exactly
// 8 x kTapBlocks, so the whole step stays in registers; 0: any multiple of 8.
// The sum for pixel i + 4b + g in block b of the result.
template <int kTapBlocks, class D16, class D32>
HWY_INLINE hn::Vec<D32> RowGroup(D16 d16, D32 d32, const std::int16_t* mid, const int* start,
                                 const std::int16_t* q14, int taps, int i, int g) {
  auto acc = hn::Zero(d32);
  const int blocks = kTapBlocks > 0 ? kTapBlocks : taps / 8;
  for (int kb = 0; kb < blocks; ++kb) {
    const int k = 8 * kb;
    hn::Vec<D16> v, w;
    const hn::Full128<std::int16_t> d1;
    if constexpr (kBlocks == 1) {
      v = hn::LoadU(d16, mid + start[i + g] + k);
      w = hn::LoadU(d16, q14 + static_cast<std::size_t>(i + g) * taps + k);
    } else if constexpr (kBlocks == 2) {
      v = hn::Combine(d16, hn::LoadU(d1, mid + start[i + 4 + g] + k), hn::LoadU(d1, mid + start[i + g] + k));
      w = hn::Combine(d16, hn::LoadU(d1, q14 + static_cast<std::size_t>(i + 4 + g) * taps + k),
                      hn::LoadU(d1, q14 + static_cast<std::size_t>(i + g) * taps + k));
    } else {
      v = LoadBlocks(d16, [&](int b) { return mid + start[i + 4 * b + g] + k; });
      w = LoadBlocks(d16, [&](int b) { return q14 + static_cast<std::size_t>(i + 4 * b + g) * taps + k; });
    }
    acc = PairMulAdd(d32, v, w, acc);
  }
  return acc;
}

// 4 x kBlocks output pixels at a time: accumulator g holds pixel 4b + g in its
// block b (the taps of one pixel are neighbours in the row, so each block is
// one plain load), and one transposition per block adds up the four partial
// sums of four pixels, leaving them in order. kTapBlocks > 0: taps is exactly
// 8 x kTapBlocks, so the whole step stays in registers; 0: any multiple of 8.
template <int kTapBlocks>
int RowPassT(const std::int16_t* mid, const int* start, const std::int16_t* q14, int taps, int count,
             std::uint8_t* out, int low, int high) {
  const BlockTag d16;
  const hn::Repartition<std::int32_t, decltype(d16)> d32;
  const hn::Repartition<std::int64_t, decltype(d16)> d64;
  const hn::Rebind<std::uint8_t, decltype(d32)> d8;
  const auto round = hn::Set(d32, 1 << 19);
  const auto lo = hn::Set(d32, low), hi = hn::Set(d32, high);
  constexpr int kPixels = 4 * kBlocks;
  if constexpr (kTapBlocks > 0) taps = 8 * kTapBlocks;
  int i = 0;
  for (; i + kPixels <= count; i += kPixels) {
    const auto acc0 = RowGroup<kTapBlocks>(d16, d32, mid, start, q14, taps, i, 0);
    const auto acc1 = RowGroup<kTapBlocks>(d16, d32, mid, start, q14, taps, i, 1);
    const auto acc2 = RowGroup<kTapBlocks>(d16, d32, mid, start, q14, taps, i, 2);
    const auto acc3 = RowGroup<kTapBlocks>(d16, d32, mid, start, q14, taps, i, 3);
    const auto t0 = hn::Add(hn::InterleaveLower(d32, acc0, acc1), hn::InterleaveUpper(d32, acc0, acc1));
    const auto t1 = hn::Add(hn::InterleaveLower(d32, acc2, acc3), hn::InterleaveUpper(d32, acc2, acc3));
    const auto a = hn::BitCast(d64, t0), b = hn::BitCast(d64, t1);
    const auto sum =
        hn::Add(hn::BitCast(d32, hn::InterleaveLower(d64, a, b)), hn::BitCast(d32, hn::InterleaveUpper(d64, a, b)));
    const auto v = hn::Min(hn::Max(hn::ShiftRight<20>(hn::Add(sum, round)), lo), hi);
    hn::StoreU(hn::DemoteTo(d8, v), d8, out + i);
  }
  return i;
}
#endif

int RowPass(const std::int16_t* mid, const int* start, const std::int16_t* q14, int taps, int count,
            std::uint8_t* out, int low, int high) {
#if HWY_TARGET == HWY_SCALAR
  (void)mid, (void)start, (void)q14, (void)taps, (void)count, (void)out, (void)low, (void)high;
  return 0;
#else
  switch (taps) {
    case 8: return RowPassT<1>(mid, start, q14, taps, count, out, low, high);
    case 16: return RowPassT<2>(mid, start, q14, taps, count, out, low, high);
    default: return RowPassT<0>(mid, start, q14, taps, count, out, low, high);
  }
#endif
}

}  // namespace vantrel::media::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace vantrel::media {

HWY_EXPORT(ColumnPass);
HWY_EXPORT(RowPass);

namespace {

double lanczos3(double x) {
  x = std::abs(x);
  if (x < 1e-9) return 1.0;
  if (x >= 3.0) return 0.0;
  const double px = std::numbers::pi * x;
  return 3.0 * std::sin(px) * std::sin(px / 3.0) / (px * px);
}

// Q14 weights summing to exactly 16384; the rounding error goes to the largest.
void roundToQ14(const std::vector<double>& w, std::int16_t* q) {
  int sum = 0;
  std::size_t largest = 0;
  for (std::size_t k = 0; k < w.size(); ++k) {
    q[k] = static_cast<std::int16_t>(std::clamp(std::lround(w[k] * 16384.0), -32767L, 32767L));
    sum += q[k];
    if (std::abs(q[k]) > std::abs(q[largest])) largest = k;
  }
  q[largest] = static_cast<std::int16_t>(std::clamp(q[largest] + 16384 - sum, -32767, 32767));
}

// Normalised weights of output coordinate `o` (absolute) over `count` source
// pixels, edges folded: (source index, weight) pairs.
void pixelWeights(double o, double scale, double offset, int count, PlaneFilter filter,
                  std::vector<std::pair<int, double>>& out) {
  const double support = filter == PlaneFilter::lanczos3 ? 3.0 : 1.0;
  const double s = std::min(1.0, scale);
  const double reach = support / s;
  const double centre = (o + 0.5 - offset) / scale - 0.5;
  const int jlo = static_cast<int>(std::clamp(std::ceil(centre - reach), -1e9, 1e9));
  const int jhi = static_cast<int>(std::clamp(std::floor(centre + reach), -1e9, 1e9));
  out.clear();
  double sum = 0;
  const int span = static_cast<int>(std::ceil(2 * reach)) + 2;
  // Far outside the source every tap lands on an edge pixel: only the span that can matter is walked.
  for (int j = std::max(jlo, -span); j <= std::min(jhi, count + span); ++j) {
    const double d = (centre - j) * s;
    const double k = filter == PlaneFilter::lanczos3 ? lanczos3(d) : std::max(0.0, 1.0 - std::abs(d));
    out.emplace_back(std::clamp(j, 0, count - 1), k);
    sum += k;
  }
  if (std::abs(sum) < 1e-9) {
    out.assign(1, {static_cast<int>(std::clamp(std::round(centre), 0.0, static_cast<double>(count - 1))), 1.0});
    return;
  }
  for (auto& p : out) p.second /= sum;
}

// Normalised weights of every output pixel; `taps` and `start` filled in.
std::vector<std::vector<double>> axisWeights(const PlaneAxis& a, PlaneFilter filter, PlaneResampler::Table& t) {
  std::vector<std::map<int, double>> sparse(static_cast<std::size_t>(a.outCount));
  std::vector<std::pair<int, double>> w;
  for (int i = 0; i < a.outCount; ++i) {
    auto& m = sparse[static_cast<std::size_t>(i)];
    if (a.lumaSrcCount > 0) {
      for (int half = 0; half < 2; ++half) {
        pixelWeights(2.0 * (a.outStart + i) + half, a.scale, a.offset, a.lumaSrcCount, filter, w);
        for (const auto& [j, k] : w) m[std::min(j / 2, a.srcCount - 1)] += 0.5 * k;
      }
    } else {
      pixelWeights(a.outStart + i, a.scale, a.offset, a.srcCount, filter, w);
      for (const auto& [j, k] : w) m[j] += k;
    }
  }
  int taps = 1;
  for (const auto& m : sparse) {
    if (!m.empty()) taps = std::max(taps, m.rbegin()->first - m.begin()->first + 1);
  }
  t.taps = std::min(taps, a.srcCount);
  t.start.assign(static_cast<std::size_t>(a.outCount), 0);
  std::vector<std::vector<double>> all(static_cast<std::size_t>(a.outCount), std::vector<double>(t.taps, 0.0));
  for (int i = 0; i < a.outCount; ++i) {
    const auto& m = sparse[static_cast<std::size_t>(i)];
    const int first = std::clamp(m.empty() ? 0 : m.begin()->first, 0, a.srcCount - t.taps);
    for (const auto& [j, k] : m) all[static_cast<std::size_t>(i)][static_cast<std::size_t>(j - first)] += k;
    t.start[static_cast<std::size_t>(i)] = first;
  }
  return all;
}

void checkAxis(const PlaneAxis& a) {
  if (a.srcCount < 1 || a.srcCount > kMaxPlaneSide || a.outCount < 0 || a.outCount > kMaxPlaneSide ||
      a.outStart < 0 || a.outStart > kMaxPlaneSide || !std::isfinite(a.scale) || !(a.scale > 1e-4) ||
      a.scale > 1e4 || !std::isfinite(a.offset) || std::abs(a.offset) > 1e6 || a.lumaSrcCount < 0 ||
      a.lumaSrcCount > kMaxPlaneSide || (a.lumaSrcCount > 0 && (a.lumaSrcCount + 1) / 2 != a.srcCount)) {
    throw makeMediaError(MediaErrorCode::invalidArgument, "plane resampling geometry");
  }
}

template <class Columns, class Rows>
void runPasses(const PlaneResampler& r, const PlaneResampler::Table& tx, const PlaneResampler::Table& ty,
               const std::uint8_t* src, std::ptrdiff_t srcStride, std::uint8_t* dst, std::ptrdiff_t dstStride,
               int low, int high, Columns columns, Rows rows, int firstRow, int endRow, int firstCol, int endCol) {
  const PlaneAxis& x = r.xAxis();
  const PlaneAxis& y = r.yAxis();
  firstRow = std::max(firstRow, 0);
  endRow = std::min(endRow, y.outCount);
  firstCol = std::max(firstCol, 0);
  endCol = std::min(endCol, x.outCount);
  if (firstRow >= endRow || firstCol >= endCol) return;
  // The source columns those output columns read (starts never decrease
  // along the row); every pixel is computed exactly as for the whole row.
  const int srcBegin = tx.start[static_cast<std::size_t>(firstCol)];
  const int srcEnd = std::min(x.srcCount, tx.start[static_cast<std::size_t>(endCol - 1)] + tx.taps);
  const int span = srcEnd - srcBegin;
  const int count = endCol - firstCol;
  const int* start = tx.start.data() + firstCol;
  const std::int16_t* q14 = tx.q14.data() + static_cast<std::size_t>(firstCol) * tx.taps;
  // Spare levels past the row: taps are padded to whole vectors by zero weights that read there.
  std::vector<std::int16_t> mid(static_cast<std::size_t>(x.srcCount) + 16, 0);
  std::vector<const std::uint8_t*> taps(static_cast<std::size_t>(ty.taps));
  for (int i = firstRow; i < endRow; ++i) {
    const int first = ty.start[static_cast<std::size_t>(i)];
    for (int t = 0; t < ty.taps; ++t) taps[static_cast<std::size_t>(t)] = src + (first + t) * srcStride + srcBegin;
    const std::int16_t* w = ty.q14.data() + static_cast<std::size_t>(i) * ty.taps;
    const int done = columns(taps.data(), w, ty.taps, mid.data() + srcBegin, span);
    planes::columnPassScalar(taps.data(), w, ty.taps, mid.data() + srcBegin, done, span);
    std::uint8_t* out = dst + (y.outStart + i) * dstStride + x.outStart + firstCol;
    const int across = rows(mid.data(), start, q14, tx.taps, count, out, low, high);
    planes::rowPassScalar(mid.data(), start, q14, tx.taps, count, out, across, low, high);
  }
}

}  // namespace

PlaneResampler::PlaneResampler(const PlaneAxis& x, const PlaneAxis& y, PlaneFilter filter, std::uint8_t low,
                               std::uint8_t high)
    : x_(x), y_(y), low_(low), high_(high) {
  checkAxis(x);
  checkAxis(y);
  if (low > high) throw makeMediaError(MediaErrorCode::invalidArgument, "plane resampling range");
  {
    const auto w = axisWeights(y, filter, ty_);
    ty_.q14.assign(static_cast<std::size_t>(y.outCount) * ty_.taps, 0);
    for (int i = 0; i < y.outCount; ++i) roundToQ14(w[static_cast<std::size_t>(i)], ty_.q14.data() + i * ty_.taps);
  }
  {
    const auto w = axisWeights(x, filter, tx_);
    const int padded = (tx_.taps + 7) & ~7;
    tx_.q14.assign(static_cast<std::size_t>(x.outCount) * padded, 0);
    for (int i = 0; i < x.outCount; ++i) roundToQ14(w[static_cast<std::size_t>(i)], tx_.q14.data() + i * padded);
    tx_.taps = padded;
  }
}

void PlaneResampler::run(const std::uint8_t* src, std::ptrdiff_t srcStride, std::uint8_t* dst,
                         std::ptrdiff_t dstStride) const {
  runPasses(*this, tx_, ty_, src, srcStride, dst, dstStride, low_, high_, HWY_DYNAMIC_DISPATCH(ColumnPass),
            HWY_DYNAMIC_DISPATCH(RowPass), 0, y_.outCount, 0, x_.outCount);
}

void PlaneResampler::runRows(const std::uint8_t* src, std::ptrdiff_t srcStride, std::uint8_t* dst,
                             std::ptrdiff_t dstStride, int rowBegin, int rowEnd) const {
  runPasses(*this, tx_, ty_, src, srcStride, dst, dstStride, low_, high_, HWY_DYNAMIC_DISPATCH(ColumnPass),
            HWY_DYNAMIC_DISPATCH(RowPass), rowBegin - y_.outStart, rowEnd - y_.outStart, 0, x_.outCount);
}

void PlaneResampler::runRect(const std::uint8_t* src, std::ptrdiff_t srcStride, std::uint8_t* dst,
                             std::ptrdiff_t dstStride, int rowBegin, int rowEnd, int colBegin, int colEnd) const {
  runPasses(*this, tx_, ty_, src, srcStride, dst, dstStride, low_, high_, HWY_DYNAMIC_DISPATCH(ColumnPass),
            HWY_DYNAMIC_DISPATCH(RowPass), rowBegin - y_.outStart, rowEnd - y_.outStart, colBegin - x_.outStart,
            colEnd - x_.outStart);
}

namespace {

// The outputs (absolute, [first, second)) of one axis whose taps read any of
// source pixels [srcBegin, srcEnd). Each output reads [start, start + taps),
// and starts never decrease along the axis, so those outputs are one run.
std::pair<int, int> outputsReading(const PlaneAxis& axis, const PlaneResampler::Table& t, int srcBegin, int srcEnd) {
  int first = -1, end = -1;
  for (int i = 0; i < axis.outCount && srcBegin < srcEnd; ++i) {
    const int start = t.start[static_cast<std::size_t>(i)];
    if (start < srcEnd && start + t.taps > srcBegin) {
      if (first < 0) first = i;
      end = i + 1;
    }
  }
  if (first < 0) return {axis.outStart, axis.outStart};
  return {axis.outStart + first, axis.outStart + end};
}

// The inverse: the source pixels read by outputs [begin, end) (absolute).
std::pair<int, int> inputsReadBy(const PlaneAxis& axis, const PlaneResampler::Table& t, int begin, int end) {
  begin = std::max(begin - axis.outStart, 0);
  end = std::min(end - axis.outStart, axis.outCount);
  if (begin >= end) return {0, 0};
  return {t.start[static_cast<std::size_t>(begin)],
          std::min(axis.srcCount, t.start[static_cast<std::size_t>(end - 1)] + t.taps)};
}

}  // namespace

std::pair<int, int> PlaneResampler::rowsReadBy(int rowBegin, int rowEnd) const {
  return inputsReadBy(y_, ty_, rowBegin, rowEnd);
}

std::pair<int, int> PlaneResampler::columnsReadBy(int colBegin, int colEnd) const {
  return inputsReadBy(x_, tx_, colBegin, colEnd);
}

std::pair<int, int> PlaneResampler::rowsReading(int srcBegin, int srcEnd) const {
  return outputsReading(y_, ty_, srcBegin, srcEnd);
}

std::pair<int, int> PlaneResampler::columnsReading(int srcBegin, int srcEnd) const {
  // Taps padded with zero weights count as read: a few columns too many at worst.
  return outputsReading(x_, tx_, srcBegin, srcEnd);
}

void PlaneResampler::runReference(const std::uint8_t* src, std::ptrdiff_t srcStride, std::uint8_t* dst,
                                  std::ptrdiff_t dstStride) const {
  runPasses(
      *this, tx_, ty_, src, srcStride, dst, dstStride, low_, high_,
      [](const std::uint8_t* const*, const std::int16_t*, int, std::int16_t*, int) { return 0; },
      [](const std::int16_t*, const int*, const std::int16_t*, int, int, std::uint8_t*, int, int) { return 0; }, 0,
      y_.outCount, 0, x_.outCount);
}

}  // namespace vantrel::media
#endif
