// Every SIMD kernel against its scalar reference, on every SIMD target this
// machine can run, over widths that exercise the vector tails.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "vantrel/graphics/kernels.h"

namespace vantrel::graphics {
namespace {

namespace k = kernels;

// Random premultiplied pixels, with a share of fully opaque and fully clear ones.
std::vector<uint32_t> randomPixels(int n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint32_t> v(n);
  for (auto& p : v) {
    const uint32_t kind = rng() % 4;
    const uint32_t a = kind == 0 ? 0 : kind == 1 ? 255 : rng() % 256;
    uint32_t px = a << 24;
    for (int c = 0; c < 3; ++c) px |= (a ? rng() % (a + 1) : 0) << (8 * c);
    p = px;
  }
  return v;
}

std::vector<uint8_t> randomBytes(int n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(rng() % 4 == 0 ? (rng() % 2) * 255 : rng() % 256);
  return v;
}

// A 37 x 23 source with rows 40 pixels apart, for the warping kernels.
struct SmallSource {
  std::vector<uint32_t> pixels;
  const uint8_t* data() const { return reinterpret_cast<const uint8_t*>(pixels.data()); }
  static constexpr std::ptrdiff_t stride = 40 * 4;
  static constexpr int width = 37, height = 23;
};
SmallSource smallSource(uint32_t seed) { return {randomPixels(40 * 23, seed)}; }

int maxChannelDiff(const std::vector<uint32_t>& a, const std::vector<uint32_t>& b) {
  int worst = 0;
  for (size_t i = 0; i < a.size(); ++i)
    for (int c = 0; c < 4; ++c)
      worst = std::max(worst, std::abs(static_cast<int>((a[i] >> (8 * c)) & 255) - static_cast<int>((b[i] >> (8 * c)) & 255)));
  return worst;
}

// Each case runs one kernel through both paths and returns the largest byte difference.
struct KernelCase {
  const char* name;
  int tolerance;  // 0 for integer kernels; 1 for float kernels (FMA vs separate multiply-add)
  std::function<int(int n, uint32_t seed)> run;
};

std::vector<KernelCase> cases() {
  return {
      {"sourceOver", 0,
       [](int n, uint32_t seed) {
         auto src = randomPixels(n, seed), a = randomPixels(n, seed + 1), b = a;
         k::sourceOverRow(a.data(), src.data(), n);
         k::scalar::sourceOverRow(b.data(), src.data(), n);
         return maxChannelDiff(a, b);
       }},
      {"sourceOverRuns", 0,
       [](int n, uint32_t seed) {
         // Long opaque and clear runs (copied or skipped by wide paths) between
         // runs of mixed pixels.
         auto src = randomPixels(n, seed), a = randomPixels(n, seed + 1), b = a;
         std::mt19937 rng(seed);
         for (int i = 0; i < n;) {
           const int len = 1 + static_cast<int>(rng() % 40), kind = static_cast<int>(rng() % 3);
           for (int j = i; j < std::min(n, i + len); ++j) {
             if (kind == 0) src[j] |= 0xff000000u;
             if (kind == 1) src[j] = 0;
           }
           i += len;
         }
         k::sourceOverRow(a.data(), src.data(), n);
         k::scalar::sourceOverRow(b.data(), src.data(), n);
         return maxChannelDiff(a, b);
       }},
      {"sourceOverMasked", 0,
       [](int n, uint32_t seed) {
         auto src = randomPixels(n, seed), a = randomPixels(n, seed + 1), b = a;
         auto m = randomBytes(n, seed + 2);
         k::sourceOverMaskedRow(a.data(), src.data(), m.data(), n);
         k::scalar::sourceOverMaskedRow(b.data(), src.data(), m.data(), n);
         return maxChannelDiff(a, b);
       }},
      {"blendWithMask", 0,
       [](int n, uint32_t seed) {
         auto src = randomPixels(n, seed), a = randomPixels(n, seed + 1), b = a;
         auto m = randomBytes(n, seed + 2);
         k::blendWithMaskRow(a.data(), src.data(), m.data(), n);
         k::scalar::blendWithMaskRow(b.data(), src.data(), m.data(), n);
         return maxChannelDiff(a, b);
       }},
      {"scale", 0,
       [](int n, uint32_t seed) {
         auto src = randomPixels(n, seed), a = src, b = src;
         const auto f = static_cast<uint8_t>(seed * 37);
         k::scaleRow(a.data(), src.data(), f, n);
         k::scalar::scaleRow(b.data(), src.data(), f, n);
         return maxChannelDiff(a, b);
       }},
      {"gradient", 1,
       [](int n, uint32_t seed) {
         std::vector<uint32_t> a(n), b(n);
         const float c0[4] = {10, 200, 30, 255}, c1[4] = {0, 0, 128, 128};
         const float t0 = -0.2f + 0.01f * static_cast<float>(seed % 7), dt = 1.4f / static_cast<float>(n);
         k::gradientRow(a.data(), n, t0, dt, c0, c1);
         k::scalar::gradientRow(b.data(), n, t0, dt, c0, c1);
         return maxChannelDiff(a, b);
       }},
      {"colorMatrix", 1,
       [](int n, uint32_t seed) {
         // Random premultiplied pixels (clear ones included) through a matrix
         // that mixes channels, pushes some out of range and changes alpha.
         auto src = randomPixels(n, seed);
         for (int i = 0; i < n; i += 5) src[i] = 0;
         const float m[20] = {0.39f, 0.77f, 0.19f, 0, 0.35f, 0.69f, 0.17f, 0,
                              0.27f, 0.53f, 0.13f, 0.1f, 0, 0, 0.2f, 0.8f, 0.05f, -0.02f, 0, 0.1f};
         auto a = src, b = src;
         k::colorMatrixRow(a.data(), n, m);
         k::scalar::colorMatrixRow(b.data(), n, m);
         return maxChannelDiff(a, b);
       }},
      {"addChannelSums", 0,
       [](int n, uint32_t seed) {
         // Added onto running totals, which must be kept rather than replaced.
         const auto src = randomPixels(n, seed);
         uint64_t a[4] = {1, 2, 3, uint64_t{1} << 40}, b[4] = {1, 2, 3, uint64_t{1} << 40};
         k::addChannelSums(src.data(), n, a);
         k::scalar::addChannelSums(src.data(), n, b);
         return std::equal(a, a + 4, b) ? 0 : 99;
       }},
      {"transposePixels", 0,
       [](int n, uint32_t seed) {
         // An n x h block with ragged edges on both sides, strides wider than the rows.
         const int h = 1 + static_cast<int>(seed % 11);
         const auto src = randomPixels(n * h, seed);
         std::vector<uint32_t> in(static_cast<size_t>(h) * (n + 3)), a(static_cast<size_t>(n) * (h + 5)), b = a;
         for (int y = 0; y < h; ++y) std::copy_n(src.begin() + static_cast<std::ptrdiff_t>(y) * n, n, in.begin() + y * (n + 3));
         auto bytes = [](std::vector<uint32_t>& v) { return reinterpret_cast<uint8_t*>(v.data()); };
         k::transposePixels(bytes(in), (n + 3) * 4, bytes(a), (h + 5) * 4, n, h);
         k::scalar::transposePixels(bytes(in), (n + 3) * 4, bytes(b), (h + 5) * 4, n, h);
         return a == b ? 0 : 99;
       }},
      {"weightedRowSum", 0,
       [](int n, uint32_t seed) {
         // Vertical pass over 5 rows: floats within rounding, the fixed-point form
         // exactly as its reference and within a fraction of a level of the floats.
         const int taps = 5;
         std::vector<std::vector<uint32_t>> rows;
         std::vector<const uint8_t*> ptrs;
         for (int r = 0; r < taps; ++r) rows.push_back(randomPixels(n + 4, seed + r));
         for (auto& r : rows) ptrs.push_back(reinterpret_cast<const uint8_t*>(r.data()));
         const float w[taps] = {-0.05f, 0.2f, 0.7f, 0.2f, -0.05f};
         const int bytes = (n + 4) * 4;
         std::vector<float> fa(bytes), fb(bytes);
         k::weightedRowSum(ptrs.data(), w, taps, fa.data(), bytes);
         k::scalar::weightedRowSum(ptrs.data(), w, taps, fb.data(), bytes);
         for (int i = 0; i < bytes; ++i)
           if (std::abs(fa[i] - fb[i]) > 1e-3f) return 99;
         const int16_t q[taps] = {-1638, 6554, 22938, 6554, -1638};
         std::vector<int16_t> qa(bytes), qb(bytes);
         k::weightedRowSumQ15(ptrs.data(), q, taps, qa.data(), bytes);
         k::scalar::weightedRowSumQ15(ptrs.data(), q, taps, qb.data(), bytes);
         if (qa != qb) return 98;
         for (int i = 0; i < bytes; ++i)
           if (std::abs(qa[i] / 64.f - fb[i]) > 0.1f) return 97;
         return 0;
       }},
      {"pairPixels+resampleRowQ14", 0,
       [](int n, uint32_t seed) {
         // Levels in 1/64 beyond [0, 255] on both sides (lobes overshoot), over
         // a row longer than the output, with several tap counts; first taps
         // at random, and rising as a shrink by about 0.9 or 0.5 makes them.
         const int inPixels = 2 * n + 20;
         std::mt19937 rng(seed);
         std::vector<int16_t> mid(static_cast<size_t>(inPixels + 1) * 4);
         for (auto& v : mid) v = static_cast<int16_t>(static_cast<int>(rng() % 22000) - 2000);
         std::vector<int16_t> pa(static_cast<size_t>(inPixels) * 8), pb(pa.size());
         k::pairPixels(mid.data(), pa.data(), inPixels);
         k::scalar::pairPixels(mid.data(), pb.data(), inPixels);
         if (pa != pb) return 99;
         for (int taps : {2, 4, 6, 8, 12, 18}) {
          for (int step16 : {0, 18, 31}) {
           std::vector<int> start(n);
           std::vector<int16_t> w(static_cast<size_t>(n) * taps * 4);
           for (int x = 0; x < n; ++x) {
             start[x] = step16 ? std::min(x * step16 / 16, inPixels - taps)
                               : static_cast<int>(rng() % static_cast<uint32_t>(inPixels - taps + 1));
             for (int t = 0; t < taps; ++t) {
               const auto q = static_cast<int16_t>(t == taps / 2 ? 16384 + 3000 : static_cast<int>(rng() % 3000) - 1500);
               for (int c = 0; c < 4; ++c)
                 w[(static_cast<size_t>(t / 2) * n + x) * 8 + 2 * c + t % 2] = q;
             }
           }
           std::vector<uint32_t> a(n), b(n);
           k::resampleRowQ14(pa.data(), start.data(), w.data(), taps, a.data(), n);
           k::scalar::resampleRowQ14(pa.data(), start.data(), w.data(), taps, b.data(), n);
           if (a != b) return 98;
          }
         }
         return 0;
       }},
      {"affineRowBilinear", 0,
       [](int n, uint32_t seed) {
         // A 37x23 source under rotations, enlargements and shrinks, rows that
         // start outside it on either side and cross its edges.
         const SmallSource src = smallSource(seed);
         const struct { double u0, du, v0, dv; } maps[] = {
             {-3.7, 0.83, 4.2, 0.31}, {40.5, -0.6, 25.1, -0.2}, {5.25, 0.1, -1.6, 0.05}, {-1.0, 1.0, 11.5, 0.0}, {0.3, 0.0, 0.7, 0.9}};
         int worst = 0;
         for (const auto& m : maps) {
           const k::AffineRow row{src.data(), src.stride, src.width, src.height,
                                  static_cast<int32_t>(m.u0 * 65536), static_cast<int32_t>(m.du * 65536),
                                  static_cast<int32_t>(m.v0 * 65536), static_cast<int32_t>(m.dv * 65536)};
           std::vector<uint32_t> a(n), b(n);
           k::affineRowBilinear(row, a.data(), n);
           k::scalar::affineRowBilinear(row, b.data(), n);
           worst = std::max(worst, maxChannelDiff(a, b));
         }
         return worst;
       }},
      {"boxBlurColumns", 0,
       [](int n, uint32_t seed) {
         const int height = 23, radius = 1 + static_cast<int>(seed % 9);
         auto in = randomBytes(n * height, seed);
         std::vector<uint8_t> a(n * height), b(n * height);
         std::vector<int32_t> sums(n);
         k::boxBlurColumns(in.data(), n, a.data(), n, n, height, radius, sums.data());
         k::scalar::boxBlurColumns(in.data(), n, b.data(), n, n, height, radius, sums.data());
         int worst = 0;
         for (size_t i = 0; i < a.size(); ++i) worst = std::max(worst, std::abs(a[i] - b[i]));
         return worst;
       }},
      {"accumulateRow", 0,
       [](int n, uint32_t seed) {
         auto in = randomBytes(n, seed);
         std::vector<uint16_t> a(n), b(n);
         for (int i = 0; i < n; ++i) a[i] = b[i] = static_cast<uint16_t>(i * 97 % 60000);
         k::accumulateRow(a.data(), in.data(), n);
         k::scalar::accumulateRow(b.data(), in.data(), n);
         return a == b ? 0 : 99;
       }},
      {"lerpRows", 0,
       [](int n, uint32_t seed) {
         std::vector<uint16_t> a(n), b(n);
         for (int i = 0; i < n; ++i) {
           a[i] = static_cast<uint16_t>((i * 7919 + seed) % 65281);
           b[i] = static_cast<uint16_t>((i * 104729 + seed * 3) % 65281);
         }
         int worst = 0;
         for (uint32_t w : {0u, 1u, 77u, 128u, 255u, 256u}) {
           std::vector<uint8_t> x(n), y(n);
           k::lerpRows(a.data(), b.data(), w, x.data(), n);
           k::scalar::lerpRows(a.data(), b.data(), w, y.data(), n);
           for (int i = 0; i < n; ++i) worst = std::max(worst, std::abs(x[i] - y[i]));
         }
         return worst;
       }},
      {"warpRowAntialiased", 1,
       [](int n, uint32_t seed) {
         // A 37x23 source under a few projective maps, including edges, folds behind the eye and shrinking.
         const SmallSource src = smallSource(seed);
         const struct { float ax, bx, ay, by, aw, bw; } maps[] = {
             {1, 0, 0, 5, 0, 1}, {0.7f, 3, 0.2f, 8, 0.01f, 0.9f}, {2.5f, -9, -0.4f, 30, 0.03f, -0.2f}, {0.1f, 2, 0, 11, 0, 0.5f}};
         int worst = 0;
         for (const auto& m : maps) {
           kernels::WarpRow row;
           row.src = src.data();
           row.stride = src.stride;
           row.width = src.width;
           row.height = src.height;
           row.ax = m.ax; row.bx = m.bx; row.ay = m.ay; row.by = m.by; row.aw = m.aw; row.bw = m.bw;
           row.absDet = std::abs(m.ax * m.bw - m.bx * m.aw) + 0.3f;
           row.x0 = -3.5f;
           std::vector<uint32_t> a(n), b(n);
           k::warpRowAntialiased(row, a.data(), n);
           k::scalar::warpRowAntialiased(row, b.data(), n);
           worst = std::max(worst, maxChannelDiff(a, b));
         }
         return worst;
       }},
  };
}

TEST(Kernels, SimdAgreesWithScalarOnEveryTarget) {
  const int64_t all = k::availableTargetBits();
  ASSERT_NE(all, 0);
  for (int64_t bits = all; bits; bits &= bits - 1) {
    const int64_t target = bits & -bits;
    k::restrictTargetsForTest(target);
    for (const auto& kc : cases()) {
      for (int n : {1, 3, 7, 8, 15, 16, 17, 33, 64, 101, 1920}) {
        SCOPED_TRACE(std::string(k::currentTargetName()) + " " + kc.name + " n=" + std::to_string(n));
        EXPECT_LE(kc.run(n, static_cast<uint32_t>(n * 13 + 1)), kc.tolerance);
      }
    }
  }
  k::restrictTargetsForTest(0);
}

// Known answers for the premultiplied source-over arithmetic.
TEST(Kernels, SourceOverKnownAnswers) {
  struct Case { uint32_t src, dst, expected; };
  const Case table[] = {
      {0x00000000, 0xff336699, 0xff336699},  // clear source leaves the destination
      {0xff102030, 0xff336699, 0xff102030},  // opaque source replaces it
      {0x80400000, 0xff0000ff, 0xff40007f},  // half-transparent red-ish over opaque blue
      {0x80000080, 0x80008000, 0xc0004080},  // two half-transparent layers: alpha 0.5 + 0.25
  };
  for (const auto& c : table) {
    uint32_t d = c.dst;
    k::sourceOverRow(&d, &c.src, 1);
    EXPECT_EQ(d, c.expected) << std::hex << c.src << " over " << c.dst;
  }
}

}  // namespace
}  // namespace vantrel::graphics
