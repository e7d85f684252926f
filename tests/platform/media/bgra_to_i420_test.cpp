#include "vantrel/media/bgra_to_i420.h"
#include "vantrel/media/frame.h"

extern "C" {
#include <libswscale/swscale.h>
}

#include <gtest/gtest.h>
#include <hwy/targets.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <string>

namespace vantrel::media {
namespace {

struct Planes {
  I420Buffer buf;
  explicit Planes(int w, int h) : buf(w, h) {}
  I420Planes view() { return {buf.y.data(), buf.strideY, buf.u.data(), buf.strideU, buf.v.data(), buf.strideV}; }
};

std::unique_ptr<PixelBuffer> randomImage(int w, int h, unsigned seed) {
  auto out = std::make_unique<PixelBuffer>(w, h);
  PixelBuffer& img = *out;
  std::mt19937 rng(seed);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w * 4; ++x) img.row(y)[x] = static_cast<std::uint8_t>(x % 4 == 3 ? 255 : rng());
  }
  return out;
}

TEST(BgraToI420, VectorKernelMatchesScalarReferenceExactly) {
  // Widths around the vector width exercise the scalar tail and odd columns;
  // every instruction set compiled in and supported here is checked.
  const std::pair<int, int> sizes[] = {{1, 1}, {2, 2}, {3, 3}, {17, 5}, {31, 2}, {64, 4}, {65, 7}, {321, 241}, {1920, 8}};
  const auto targets = hwy::SupportedAndGeneratedTargets();
  ASSERT_FALSE(targets.empty());
  for (const std::int64_t target : targets) {
    hwy::SetSupportedTargetsForTest(target);
    unsigned seed = 1;
    for (auto [w, h] : sizes) {
      const auto image = randomImage(w, h, seed++);
      const PixelBuffer& img = *image;
      Planes simd(w, h), ref(w, h);
      convertBgraToI420Bt709(img.data(), img.stride(), w, h, simd.view());
      convertBgraToI420Bt709Reference(img.data(), img.stride(), w, h, ref.view());
      EXPECT_EQ(simd.buf.y, ref.buf.y) << hwy::TargetName(target) << " " << w << "x" << h;
      EXPECT_EQ(simd.buf.u, ref.buf.u) << w << "x" << h;
      EXPECT_EQ(simd.buf.v, ref.buf.v) << w << "x" << h;
    }
  }
  hwy::SetSupportedTargetsForTest(0);
}

// swscale with the BT.709 matrix and limited range is the independent judge.
Planes convertWithSwscale(const PixelBuffer& img) {
  const int w = img.width(), h = img.height();
  Planes out(w, h);
  SwsContext* sws = sws_getContext(w, h, AV_PIX_FMT_BGRA, w, h, AV_PIX_FMT_YUV420P,
                                   SWS_POINT | SWS_ACCURATE_RND, nullptr, nullptr, nullptr);
  const int* bt709 = sws_getCoefficients(SWS_CS_ITU709);
  sws_setColorspaceDetails(sws, bt709, 1, bt709, 0, 0, 1 << 16, 1 << 16);
  const std::uint8_t* src[4] = {img.data(), nullptr, nullptr, nullptr};
  const int srcStride[4] = {img.stride(), 0, 0, 0};
  std::uint8_t* dst[4] = {out.buf.y.data(), out.buf.u.data(), out.buf.v.data(), nullptr};
  const int dstStride[4] = {out.buf.strideY, out.buf.strideU, out.buf.strideV, 0};
  sws_scale(sws, src, srcStride, 0, h, dst, dstStride);
  sws_freeContext(sws);
  return out;
}

int maxDiff(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b) {
  int m = 0;
  for (size_t i = 0; i < a.size(); ++i) m = std::max(m, std::abs(int(a[i]) - int(b[i])));
  return m;
}

TEST(BgraToI420, AgreesWithSwscaleBt709LimitedRange) {
  struct Colour {
    std::uint8_t b, g, r;
    std::uint8_t y, u, v;  // BT.709 limited-range values
  } colours[] = {
      {0, 0, 0, 16, 128, 128},    {255, 255, 255, 235, 128, 128}, {0, 0, 255, 63, 102, 240},
      {0, 255, 0, 173, 42, 26},   {255, 0, 0, 32, 240, 118},      {128, 128, 128, 126, 128, 128},
  };
  for (const auto& c : colours) {
    PixelBuffer img(6, 4);
    img.fill(c.b, c.g, c.r, 255);
    Planes ours(6, 4);
    convertBgraToI420Bt709(img.data(), img.stride(), 6, 4, ours.view());
    const Planes theirs = convertWithSwscale(img);
    EXPECT_NEAR(ours.buf.y[0], c.y, 1) << int(c.r) << "," << int(c.g) << "," << int(c.b);
    EXPECT_NEAR(ours.buf.u[0], c.u, 1);
    EXPECT_NEAR(ours.buf.v[0], c.v, 1);
    EXPECT_LE(maxDiff(ours.buf.y, theirs.buf.y), 1);
    EXPECT_LE(maxDiff(ours.buf.u, theirs.buf.u), 1);
    EXPECT_LE(maxDiff(ours.buf.v, theirs.buf.v), 1);
  }
  // A smooth picture: every sample within one step of swscale's.
  PixelBuffer grad(128, 64);
  for (int y = 0; y < 64; ++y) {
    for (int x = 0; x < 128; ++x) {
      std::uint8_t* p = grad.row(y) + 4 * x;
      p[0] = static_cast<std::uint8_t>(2 * x);
      p[1] = static_cast<std::uint8_t>(4 * y);
      p[2] = static_cast<std::uint8_t>(255 - x - y);
      p[3] = 255;
    }
  }
  Planes ours(128, 64);
  convertBgraToI420Bt709(grad.data(), grad.stride(), 128, 64, ours.view());
  const Planes theirs = convertWithSwscale(grad);
  EXPECT_LE(maxDiff(ours.buf.y, theirs.buf.y), 1);
  EXPECT_LE(maxDiff(ours.buf.u, theirs.buf.u), 2);
  EXPECT_LE(maxDiff(ours.buf.v, theirs.buf.v), 2);
}

TEST(I420ToBgra, VectorKernelMatchesScalarReferenceExactly) {
  // Widths around the vector width (the scalar tail, an odd last pixel), odd heights, random levels (clipping).
  const int sizes[][2] = {{1920, 4}, {37, 9}, {1, 1}, {2, 3}, {65, 2}};
  for (const std::int64_t target : hwy::SupportedAndGeneratedTargets()) {
    hwy::SetSupportedTargetsForTest(target);
    unsigned seed = 3;
    for (const auto& size : sizes) {
      const int w = size[0], h = size[1];
      SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h) + " on " + hwy::TargetName(target));
      I420Buffer in(w, h);
      std::mt19937 rng(seed++);
      for (auto* plane : {&in.y, &in.u, &in.v}) {
        for (auto& b : *plane) b = static_cast<std::uint8_t>(rng());
      }
      for (const YuvMatrix matrix : {YuvMatrix::bt709, YuvMatrix::bt601}) {
        PixelBuffer vec(w, h), ref(w, h);
        vec.fill(1, 2, 3, 4);
        ref.fill(1, 2, 3, 4);
        convertI420ToBgra(matrix, in.y.data(), in.strideY, in.u.data(), in.strideU, in.v.data(), in.strideV,
                          vec.data(), vec.stride(), w, h);
        convertI420ToBgraReference(matrix, in.y.data(), in.strideY, in.u.data(), in.strideU, in.v.data(), in.strideV,
                                   ref.data(), ref.stride(), w, h);
        for (int y = 0; y < h; ++y) {
          ASSERT_EQ(std::memcmp(vec.row(y), ref.row(y), 4 * static_cast<std::size_t>(w)), 0);
        }
      }
    }
  }
  hwy::SetSupportedTargetsForTest(0);
}

TEST(I420ToBgra, WithinRoundingOfTheExactMatrixAndBackToTheSameLevels) {
  // Every (Y, U, V) of a grid through the limited range: within one level of
  // the exact BT.709 and BT.601 inverses (clipped), and colours that came from
  // RGB return to it within the rounding of their 8-bit YUV (2 levels of blue,
  // whose coefficient is the largest), where 8-bit coefficient tables miss by a dozen.
  I420Buffer in(2 * 56, 2 * 56);
  for (int j = 0; j < 56; ++j) {
    for (int i = 0; i < 56; ++i) {
      in.u[static_cast<std::size_t>(j) * in.strideU + i] = static_cast<std::uint8_t>(16 + 4 * i);
      in.v[static_cast<std::size_t>(j) * in.strideV + i] = static_cast<std::uint8_t>(16 + 4 * j);
      for (int k = 0; k < 4; ++k) {
        in.y[static_cast<std::size_t>(2 * j + k / 2) * in.strideY + 2 * i + k % 2] =
            static_cast<std::uint8_t>(16 + (i * 7 + j * 13 + k * 53) % 220);
      }
    }
  }
  struct Matrix {
    YuvMatrix matrix;
    double bu, gu, gv, rv;
  } const matrices[] = {{YuvMatrix::bt709, 2.112402, 0.213249, 0.532909, 1.792741},
                        {YuvMatrix::bt601, 2.017232, 0.391762, 0.812968, 1.596027}};
  for (const Matrix& m : matrices) {
    PixelBuffer out(in.width, in.height);
    convertI420ToBgra(m.matrix, in.y.data(), in.strideY, in.u.data(), in.strideU, in.v.data(), in.strideV, out.data(),
                      out.stride(), in.width, in.height);
    int worst = 0;
    for (int y = 0; y < in.height; ++y) {
      for (int x = 0; x < in.width; ++x) {
        const double Y = 1.164383 * (in.y[static_cast<std::size_t>(y) * in.strideY + x] - 16);
        const double U = in.u[static_cast<std::size_t>(y / 2) * in.strideU + x / 2] - 128.0;
        const double V = in.v[static_cast<std::size_t>(y / 2) * in.strideV + x / 2] - 128.0;
        const double exact[3] = {Y + m.bu * U, Y - m.gu * U - m.gv * V, Y + m.rv * V};
        for (int c = 0; c < 3; ++c) {
          const double clipped = std::clamp(exact[c], 0.0, 255.0);
          worst = std::max(worst, static_cast<int>(std::ceil(std::abs(out.row(y)[4 * x + c] - clipped) - 1e-9)));
        }
        ASSERT_EQ(out.row(y)[4 * x + 3], 255);
      }
    }
    EXPECT_LE(worst, 1) << (m.matrix == YuvMatrix::bt601 ? "BT.601" : "BT.709");
  }

  // RGB -> YUV -> RGB on colours away from the cube's faces.
  auto img = randomImage(64, 32, 9);
  for (int y = 0; y < 32; ++y) {
    for (int x = 0; x < 64 * 4; ++x) {
      if (x % 4 != 3) img->row(y)[x] = static_cast<std::uint8_t>(24 + img->row(y)[x] * 200 / 255);
    }
  }
  // One colour per 2x2 block, so that chroma is not averaged between colours.
  for (int y = 0; y < 32; ++y) {
    for (int x = 0; x < 64; ++x) std::memcpy(img->row(y) + 4 * x, img->row(y & ~1) + 4 * (x & ~1), 4);
  }
  Planes planes(64, 32);
  convertBgraToI420Bt709(img->data(), img->stride(), 64, 32, planes.view());
  PixelBuffer back(64, 32);
  convertI420ToBgraBt709(planes.buf, back);
  int worstBack = 0;
  for (int y = 0; y < 32; ++y) {
    for (int x = 0; x < 64 * 4; ++x) worstBack = std::max(worstBack, std::abs(back.row(y)[x] - img->row(y)[x]));
  }
  EXPECT_LE(worstBack, 2);
}

}  // namespace
}  // namespace vantrel::media
