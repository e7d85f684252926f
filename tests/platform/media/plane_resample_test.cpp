#include "vantrel/media/errors.h"
#include "vantrel/media/plane_resample.h"

#include <gtest/gtest.h>
#include <hwy/targets.h>

#include <algorithm>
#include <random>
#include <vector>

namespace vantrel::media {
namespace {

struct Plane {
  int width, height, stride;
  std::vector<std::uint8_t> bytes;
  Plane(int w, int h, std::uint8_t fill = 0) : width(w), height(h), stride(w + 13), bytes(static_cast<std::size_t>(stride) * h, fill) {}
  std::uint8_t* data() { return bytes.data(); }
  std::uint8_t at(int x, int y) const { return bytes[static_cast<std::size_t>(y) * stride + x]; }
};

Plane randomPlane(int w, int h, unsigned seed) {
  Plane p(w, h);
  std::mt19937 rng(seed);
  for (auto& b : p.bytes) b = static_cast<std::uint8_t>(rng());
  return p;
}

PlaneAxis fit(int src, int dstStart, int dstCount, double offset) {
  return {src, dstStart, dstCount, static_cast<double>(dstCount) / src, dstStart + offset};
}

struct Case {
  const char* name;
  int srcW, srcH, dstW, dstH;  // destination plane
  PlaneAxis x, y;
  PlaneFilter filter;
};

TEST(PlaneResample, VectorKernelMatchesScalarReferenceExactly) {
  // Down- and upscales, sizes around the vector width (the scalar tails), a
  // one-pixel source (every tap on the edge), fractional placement, 8, 16 and
  // more taps than the column kernel keeps in registers, a
  // destination window that starts inside the rectangle, and the triangle filter.
  const Case cases[] = {
      {"downscale", 1920, 64, 1600, 60, fit(1920, 0, 1600, 0), fit(64, 4, 50, 0.25), PlaneFilter::lanczos3},
      {"upscale", 33, 17, 120, 80, fit(33, 3, 101, 0.5), fit(17, 1, 77, 0.3), PlaneFilter::lanczos3},
      {"odd tails", 37, 9, 61, 13, fit(37, 1, 59, 0.1), fit(9, 0, 13, 0), PlaneFilter::lanczos3},
      {"one pixel", 1, 1, 20, 20, fit(1, 2, 15, 0.7), fit(1, 2, 15, 0.7), PlaneFilter::lanczos3},
      {"window", 200, 100, 300, 150, {200, 40, 90, 1.3, -10.4}, {100, 20, 30, 1.3, -6.2}, PlaneFilter::lanczos3},
      {"half size (16 taps)", 640, 360, 300, 170, fit(640, 0, 290, 0), fit(360, 3, 160, 0), PlaneFilter::lanczos3},
      {"more taps than the vector kernels take", 2000, 300, 30, 10, fit(2000, 0, 19, 0), fit(300, 0, 3, 0),
       PlaneFilter::lanczos3},
      {"strong downscale", 960, 540, 100, 60, fit(960, 0, 97, 0.6), fit(540, 0, 55, 0.6), PlaneFilter::lanczos3},
      {"bilinear", 150, 40, 200, 70, fit(150, 5, 181, 0.5), fit(40, 2, 61, 0.5), PlaneFilter::bilinear},
      {"chroma on the luma grid", 50, 23, 70, 40, {50, 3, 60, 1.37, 4.6, 99}, {23, 1, 35, 1.5, 2.2, 45},
       PlaneFilter::lanczos3},
  };
  const auto targets = hwy::SupportedAndGeneratedTargets();
  ASSERT_FALSE(targets.empty());
  for (const std::int64_t target : targets) {
    hwy::SetSupportedTargetsForTest(target);
    unsigned seed = 1;
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + " on " + hwy::TargetName(target));
      Plane src = randomPlane(c.srcW, c.srcH, seed++);
      // Random content also keeps the fixed-point headroom honest: Lanczos overshoots on noise.
      Plane vec(c.dstW, c.dstH, 7), ref(c.dstW, c.dstH, 7);
      const PlaneResampler r(c.x, c.y, c.filter, seed % 2 ? 16 : 0, seed % 2 ? 235 : 255);
      r.run(src.data(), src.stride, vec.data(), vec.stride);
      r.runReference(src.data(), src.stride, ref.data(), ref.stride);
      ASSERT_EQ(vec.bytes, ref.bytes);
      // Redoing only the outputs that read a changed source box gives what
      // redoing everything gives, and touches nothing else.
      Plane changed = src;
      const int x0 = c.srcW / 3, x1 = std::max(x0 + 1, c.srcW / 2), y0 = c.srcH / 3, y1 = std::max(y0 + 1, c.srcH / 2);
      for (int y = y0; y < y1; ++y) {
        for (int x = x0; x < x1; ++x) changed.bytes[static_cast<std::size_t>(y) * changed.stride + x] ^= 0x5A;
      }
      Plane whole(c.dstW, c.dstH, 7), part = vec;
      r.run(changed.data(), changed.stride, whole.data(), whole.stride);
      const auto rows = r.rowsReading(y0, y1), cols = r.columnsReading(x0, x1);
      r.runRect(changed.data(), changed.stride, part.data(), part.stride, rows.first, rows.second, cols.first,
                cols.second);
      ASSERT_EQ(part.bytes, whole.bytes);
      // The other way: outputs read nothing outside the source pixels
      // rowsReadBy/columnsReadBy name for them.
      const int ox0 = c.x.outStart + c.x.outCount / 4, ox1 = c.x.outStart + std::max(1, c.x.outCount / 2);
      const int oy0 = c.y.outStart + c.y.outCount / 4, oy1 = c.y.outStart + std::max(1, c.y.outCount / 2);
      const auto readRows = r.rowsReadBy(oy0, oy1), readCols = r.columnsReadBy(ox0, ox1);
      ASSERT_LT(readRows.first, readRows.second);
      ASSERT_LT(readCols.first, readCols.second);
      Plane outside = src;
      for (int y = 0; y < c.srcH; ++y) {
        for (int x = 0; x < c.srcW; ++x) {
          const bool inside = y >= readRows.first && y < readRows.second && x >= readCols.first && x < readCols.second;
          if (!inside) outside.bytes[static_cast<std::size_t>(y) * outside.stride + x] ^= 0x33;
        }
      }
      Plane moved(c.dstW, c.dstH, 7);
      r.run(outside.data(), outside.stride, moved.data(), moved.stride);
      for (int y = oy0; y < oy1; ++y) {
        for (int x = ox0; x < ox1; ++x) {
          ASSERT_EQ(moved.bytes[static_cast<std::size_t>(y) * moved.stride + x],
                    vec.bytes[static_cast<std::size_t>(y) * vec.stride + x])
              << x << "," << y;
        }
      }
    }
  }
  hwy::SetSupportedTargetsForTest(0);
}

TEST(PlaneResample, FlatStaysFlatAndIdentityCopies) {
  Plane flat(300, 200, 77), out(250, 150, 0);
  const PlaneResampler down(fit(300, 10, 230, 0.37), fit(200, 5, 140, 0.61));
  down.run(flat.data(), flat.stride, out.data(), out.stride);
  for (int y = 0; y < out.height; ++y) {
    for (int x = 0; x < out.width; ++x) {
      const bool inside = x >= 10 && x < 240 && y >= 5 && y < 145;
      ASSERT_EQ(out.at(x, y), inside ? 77 : 0) << x << "," << y;  // nothing outside the rectangle is written
    }
  }
  Plane src = randomPlane(64, 31, 9), copy(64, 31);
  const PlaneResampler same(fit(64, 0, 64, 0), fit(31, 0, 31, 0));
  same.run(src.data(), src.stride, copy.data(), copy.stride);
  for (int y = 0; y < 31; ++y)
    for (int x = 0; x < 64; ++x) ASSERT_EQ(copy.at(x, y), src.at(x, y));
}

TEST(PlaneResample, RefusesUnboundedGeometry) {
  const PlaneAxis ok = fit(10, 0, 10, 0);
  const PlaneAxis bad[] = {{0, 0, 10, 1, 0}, {10, 0, 10, 0, 0}, {10, 0, 10, -1, 0}, {10, 0, 10, 1e300 * 1e300, 0},
                           {10, -1, 10, 1, 0}, {kMaxPlaneSide + 1, 0, 10, 1, 0}, {10, 0, 10, 1, 1e300 * 1e300},
                           {10, 0, 10, 1, 0, 30}};
  for (const PlaneAxis& a : bad) {
    EXPECT_THROW(PlaneResampler(a, ok), MediaError);
    EXPECT_THROW(PlaneResampler(ok, a), MediaError);
  }
}

}  // namespace
}  // namespace vantrel::media
