#include "vantrel/media/bgra_to_i420.h"
#include "vantrel/media/errors.h"
#include "vantrel/media/frame.h"
#include "vantrel/media/gamut_clamp.h"

#include <gtest/gtest.h>
#include <hwy/targets.h>

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>

namespace vantrel::media {
namespace {

// Limited-range levels, most combinations of which lie outside the RGB cube;
// `wild` < 1 keeps the other chroma samples near grey (inside the cube), so
// that runs of blocks inside it meet blocks outside.
I420Buffer randomPicture(int w, int h, unsigned seed, double wild = 1) {
  I420Buffer p(w, h);
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> luma(16, 235), chroma(16, 240), nearGrey(118, 138);
  std::bernoulli_distribution isWild(wild);
  for (auto& b : p.y) b = static_cast<std::uint8_t>(luma(rng));
  for (std::size_t i = 0; i < p.u.size(); ++i) {
    const bool w = isWild(rng);
    p.u[i] = static_cast<std::uint8_t>(w ? chroma(rng) : nearGrey(rng));
    p.v[i] = static_cast<std::uint8_t>(w ? chroma(rng) : nearGrey(rng));
  }
  return p;
}

I420Buffer filled(int w, int h, std::uint8_t level) {
  I420Buffer p(w, h);
  std::fill(p.y.begin(), p.y.end(), level);
  std::fill(p.u.begin(), p.u.end(), level);
  std::fill(p.v.begin(), p.v.end(), level);
  return p;
}

TEST(GamutClamp, VectorKernelMatchesScalarReferenceExactly) {
  constexpr int kAll = std::numeric_limits<int>::max();
  struct Case {
    int w, h, rowBegin, rowEnd, colBegin, colEnd;
    double wild;
  } const cases[] = {{1920, 8, 0, 8, 0, kAll, 1},    {1920, 8, 0, 8, 0, kAll, 0.01}, {37, 9, 0, 9, 0, kAll, 1},
                     {1, 1, 0, 1, 0, kAll, 1},       {2, 2, 0, 2, 0, kAll, 1},       {33, 1, 0, 1, 0, kAll, 1},
                     {64, 12, 3, 7, 0, kAll, 1},     {70, 11, 9, 11, 0, kAll, 0.05}, {1920, 8, 0, 8, 101, 1333, 1},
                     {37, 9, 2, 7, 5, 37, 1},        {64, 12, 3, 7, 0, 17, 0.5}};
  const auto targets = hwy::SupportedAndGeneratedTargets();
  for (const std::int64_t target : targets) {
    hwy::SetSupportedTargetsForTest(target);
    unsigned seed = 1;
    for (const Case& c : cases) {
      SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h) + " columns from " + std::to_string(c.colBegin) +
                   " on " + hwy::TargetName(target));
      const I420Buffer in = randomPicture(c.w, c.h, seed++, c.wild);
      I420Buffer vec = filled(c.w, c.h, 7), ref = filled(c.w, c.h, 7), full = filled(c.w, c.h, 7);
      clampI420ToRgbGamutBt709(in, vec, c.rowBegin, c.rowEnd, c.colBegin, c.colEnd);
      clampI420ToRgbGamutBt709Reference(in, ref, c.rowBegin, c.rowEnd, c.colBegin, c.colEnd);
      clampI420ToRgbGamutBt709Reference(in, full, 0, c.h);
      EXPECT_EQ(vec.y, ref.y);
      EXPECT_EQ(vec.u, ref.u);
      EXPECT_EQ(vec.v, ref.v);
      // Inside the area (widened to whole 2x2 blocks) as for the whole
      // picture, outside it left alone.
      const int top = c.rowBegin & ~1, bottom = std::min(c.h, (c.rowEnd + 1) & ~1);
      const int left = c.colBegin & ~1, right = std::min(c.w, (std::min(c.colEnd, c.w) + 1) & ~1);
      for (int y = 0; y < c.h; ++y) {
        for (int x = 0; x < c.w; ++x) {
          const bool inside = y >= top && y < bottom && x >= left && x < right;
          const std::size_t at = static_cast<std::size_t>(y) * vec.strideY + x;
          ASSERT_EQ(vec.y[at], inside ? full.y[at] : 7) << "pixel " << x << "," << y;
          if (y % 2 || x % 2) continue;
          const std::size_t cat = static_cast<std::size_t>(y / 2) * vec.strideU + x / 2;
          ASSERT_EQ(vec.u[cat], inside ? full.u[cat] : 7) << "block " << x << "," << y;
          ASSERT_EQ(vec.v[cat], inside ? full.v[cat] : 7) << "block " << x << "," << y;
        }
      }
    }
  }
  hwy::SetSupportedTargetsForTest(0);
}

TEST(GamutClamp, ColoursInsideTheCubeKeepTheirExactLevels) {
  // Every 2x2 block one RGB colour, so its averaged chroma is its own, and
  // every component a few levels away from the cube's faces, so rounding to
  // 8-bit YUV cannot push it outside: the whole picture lies inside the cube.
  const int w = 256, h = 64;
  PixelBuffer bgra(w, h);
  std::mt19937 rng(7);
  for (int y = 0; y < h; y += 2) {
    for (int x = 0; x < w; x += 2) {
      const std::uint32_t c = (rng() & 0x00F0F0F0u) | 0x00080808u;  // components 8 ... 248
      for (int j = 0; j < 2; ++j) {
        for (int i = 0; i < 2; ++i) {
          std::uint8_t* p = bgra.row(y + j) + 4 * (x + i);
          p[0] = static_cast<std::uint8_t>(c), p[1] = static_cast<std::uint8_t>(c >> 8);
          p[2] = static_cast<std::uint8_t>(c >> 16), p[3] = 255;
        }
      }
    }
  }
  I420Buffer in(w, h);
  convertBgraToI420Bt709(bgra.data(), bgra.stride(), w, h,
                         I420Planes{in.y.data(), in.strideY, in.u.data(), in.strideU, in.v.data(), in.strideV});
  I420Buffer out(w, h);
  clampI420ToRgbGamutBt709(in, out, 0, h);
  EXPECT_EQ(out.y, in.y);
  EXPECT_EQ(out.u, in.u);
  EXPECT_EQ(out.v, in.v);
}

TEST(GamutClamp, AgreesWithATripThroughRgbWithinALevel) {
  const int w = 320, h = 96;
  const I420Buffer in = randomPicture(w, h, 11);
  I420Buffer out(w, h);
  clampI420ToRgbGamutBt709(in, out, 0, h);
  PixelBuffer bgra(w, h);
  convertI420ToBgraBt709(in, bgra);
  I420Buffer trip(w, h);
  convertBgraToI420Bt709(bgra.data(), bgra.stride(), w, h,
                         I420Planes{trip.y.data(), trip.strideY, trip.u.data(), trip.strideU, trip.v.data(),
                                    trip.strideV});
  // The trip rounds twice (to 8-bit RGB and back), the clamp not at all:
  // even on noise clipped hard on every side they part by a level at most.
  int moved = 0, worstY = 0, worstC = 0;
  double sum = 0;
  for (std::size_t i = 0; i < in.y.size(); ++i) {
    moved += out.y[i] != in.y[i];
    worstY = std::max(worstY, std::abs(out.y[i] - trip.y[i]));
    sum += std::abs(out.y[i] - trip.y[i]);
  }
  for (std::size_t i = 0; i < in.u.size(); ++i) {
    worstC = std::max({worstC, std::abs(out.u[i] - trip.u[i]), std::abs(out.v[i] - trip.v[i])});
    sum += std::abs(out.u[i] - trip.u[i]) + std::abs(out.v[i] - trip.v[i]);
  }
  EXPECT_GT(moved, static_cast<int>(in.y.size()) / 4) << "random levels should mostly lie outside the cube";
  EXPECT_LE(worstY, 1);
  EXPECT_LE(worstC, 1);
  EXPECT_LT(sum / static_cast<double>(in.y.size() + 2 * in.u.size()), 0.25);
}

TEST(GamutClamp, RefusesInPlaceAndMismatchedSizes) {
  I420Buffer a = filled(8, 8, 100), b(6, 8);
  EXPECT_THROW(clampI420ToRgbGamutBt709(a, a, 0, 8), MediaError);
  EXPECT_THROW(clampI420ToRgbGamutBt709(a, b, 0, 8), MediaError);
}

}  // namespace
}  // namespace vantrel::media
