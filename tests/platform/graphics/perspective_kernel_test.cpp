// The perspective kernel: SIMD rows against the scalar reference on every
// target, the identity view, the mip chain, and moiré on a steep plane
// measured against a supersampled reference.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "test_util.h"
#include "vantrel/graphics/kernels.h"
#include "vantrel/graphics/perspective.h"

namespace vantrel::graphics {
namespace {

namespace k = kernels;
using testutil::channel;

BufferRef randomPicture(int w, int h, uint32_t seed) {
  std::mt19937 rng(seed);
  auto b = makeBuffer(w, h, PixelFormat::bgra8);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const uint32_t a = rng() % 3 == 0 ? 255 : rng() % 256;
      uint32_t p = a << 24;
      for (int c = 0; c < 3; ++c) p |= (a ? rng() % (a + 1) : 0) << (8 * c);
      b->pixelRow(y)[x] = p;
    }
  return b;
}

// A floor seen from above its near edge: output row qy (kernel space, top-left
// origin) shows scene row qy / Z with Z = z0 + (1 - z0) qy / H, so the top of
// the output packs 1 / z0 scene pixels into each output pixel both ways.
k::PerspectiveParams floorView(float W, float H, float z0) {
  k::PerspectiveParams p;
  const float a = (1 - z0) / H, cx = W / 2;
  const float h[9] = {1, cx * a, cx * (z0 - 1), 0, 1, 0, 0, a, z0};
  std::copy(h, h + 9, p.inverse);
  p.outputWidth = W;
  p.outputHeight = H;
  return p;
}

struct ParamCase {
  const char* name;
  k::PerspectiveParams params;
};

std::vector<ParamCase> paramCases() {
  std::vector<ParamCase> cases;
  k::PerspectiveParams identity;
  identity.outputWidth = 61;
  identity.outputHeight = 29;
  cases.push_back({"identity", identity});
  k::PerspectiveParams floor = floorView(61, 29, 0.08f);
  cases.push_back({"steep floor", floor});
  k::PerspectiveParams blurred = floor;
  blurred.depth[1] = 1;  // depth grows down the scene
  blurred.focusDepth = 20;
  blurred.blurSpan = 6;
  blurred.blurRadius = 9;
  cases.push_back({"depth of field", blurred});
  k::PerspectiveParams edges = identity;
  const float h[9] = {1.2f, 0.3f, -5, -0.1f, 0.9f, 3, 0.002f, -0.004f, 1.1f};
  std::copy(h, h + 9, edges.inverse);
  const float viewport[4] = {3, 2, 50, 22}, soft[4] = {0, 4, 2.5f, 7};
  std::copy(viewport, viewport + 4, edges.viewport);
  std::copy(soft, soft + 4, edges.edgeBlur);
  edges.blurRadius = 3;
  edges.blurSpan = 0;  // any depth off focus is fully soft
  edges.depth[0] = 0.5f;
  cases.push_back({"viewport, soft edges, stepped blur", edges});
  k::PerspectiveParams behind = identity;
  const float hb[9] = {1, 0, 0, 0, 1, 0, 0.05f, 0, -1};  // the left part lies behind the eye
  std::copy(hb, hb + 9, behind.inverse);
  cases.push_back({"partly behind the eye", behind});
  return cases;
}

int maxDiff(const std::vector<uint32_t>& a, const std::vector<uint32_t>& b) {
  int worst = 0;
  for (size_t i = 0; i < a.size(); ++i)
    for (int c = 0; c < 4; ++c) worst = std::max(worst, std::abs(channel(a[i], c) - channel(b[i], c)));
  return worst;
}

TEST(PerspectiveKernel, SimdAgreesWithScalarOnEveryTarget) {
  Renderer renderer(1);
  auto picture = randomPicture(61, 29, 3);
  auto sharp = PerspectiveTexture::make(renderer, Image::fromBuffer(picture), Rect{0, 0, 61, 29}, 29);
  ASSERT_TRUE(sharp);
  // A softened copy stored at reduced size exercises the level offsets.
  auto soft = PerspectiveTexture::softenedFrom(renderer, *sharp, 5);
  ASSERT_TRUE(soft);
  ASSERT_GT(soft->view().baseLevel, 0);
  const int64_t all = k::availableTargetBits();
  for (int64_t bits = all; bits; bits &= bits - 1) {
    k::restrictTargetsForTest(bits & -bits);
    for (const auto& pc : paramCases()) {
      for (int n : {1, 3, 7, 8, 15, 16, 17, 33, 61}) {
        for (float qy : {0.5f, 7.5f, 28.5f}) {
          // Rows that start off the left edge or part way along read the
          // softened copy's knots at other phases.
          for (float x0 : {0.5f, 13.5f, -6.5f}) {
            SCOPED_TRACE(std::string(k::currentTargetName()) + " " + pc.name + " n=" + std::to_string(n) +
                         " x0=" + std::to_string(x0));
            std::vector<uint32_t> fast(n), reference(n);
            const k::PerspectiveRow row{&sharp->view(), &soft->view(), &pc.params, x0, qy};
            k::perspectiveRow(row, fast.data(), n);
            k::scalar::perspectiveRow(row, reference.data(), n);
            EXPECT_LE(maxDiff(fast, reference), 1);
          }
        }
      }
    }
    for (int w : {1, 2, 5, 16, 33, 64, 101}) {
      auto a = randomPicture(w, 2, static_cast<uint32_t>(w));
      std::vector<uint32_t> fast((w + 1) / 2), reference((w + 1) / 2);
      k::mipReduceRow(a->pixelRow(0), a->pixelRow(1), fast.data(), w);
      k::scalar::mipReduceRow(a->pixelRow(0), a->pixelRow(1), reference.data(), w);
      EXPECT_EQ(fast, reference) << k::currentTargetName() << " mip w=" << w;
    }
  }
  k::restrictTargetsForTest(0);
}

// The renderer cuts rows into tiles anywhere: a pixel must not depend on
// where its part of the row starts or how long the row is (the softened copy
// is read at knots fixed to the output grid, and long rows are worked in
// parts).
TEST(PerspectiveKernel, ARowCutIntoPartsGivesTheSamePixels) {
  Renderer renderer(1);
  auto picture = randomPicture(97, 41, 11);
  auto sharp = PerspectiveTexture::make(renderer, Image::fromBuffer(picture), Rect{0, 0, 97, 41}, 41);
  ASSERT_TRUE(sharp);
  auto soft = PerspectiveTexture::softenedFrom(renderer, *sharp, 9);
  ASSERT_TRUE(soft);
  ASSERT_GE(soft->view().baseLevel, 2);
  // The small picture stretched over 5000 output pixels (50 to 75 per scene
  // pixel across, with some perspective), in focus at its left edge and
  // wholly blurred from two thirds of the way along.
  constexpr int W = 5000;
  k::PerspectiveParams p;
  const float h[9] = {0.02f, 0, 0, 0, 1, 0, 0.0001f, 0.001f, 1};
  std::copy(h, h + 9, p.inverse);
  p.outputWidth = W;
  p.outputHeight = 41;
  p.depth[0] = 1;
  p.blurSpan = 40;
  p.blurRadius = 8;
  for (float qy : {3.5f, 30.5f}) {
    std::vector<uint32_t> whole(W), reference(W);
    k::perspectiveRow({&sharp->view(), &soft->view(), &p, 0.5f, qy}, whole.data(), W);
    k::scalar::perspectiveRow({&sharp->view(), &soft->view(), &p, 0.5f, qy}, reference.data(), W);
    EXPECT_LE(maxDiff(whole, reference), 1) << "qy " << qy;
    EXPECT_GT(std::count_if(whole.begin(), whole.end(), [](uint32_t v) { return v >> 24 != 0; }), W / 2);
    for (int cut : {1, 15, 17, 1000, 2047, 2049, 4099}) {
      std::vector<uint32_t> parts(W);
      k::perspectiveRow({&sharp->view(), &soft->view(), &p, 0.5f, qy}, parts.data(), cut);
      k::perspectiveRow({&sharp->view(), &soft->view(), &p, 0.5f + static_cast<float>(cut), qy}, parts.data() + cut,
                        W - cut);
      EXPECT_EQ(parts, whole) << "cut at " << cut << ", qy " << qy;
    }
  }
}

TEST(PerspectiveKernel, MipLevelIsTheRoundedMeanWithTheEdgeRepeated) {
  const uint32_t top[3] = {0xff000000, 0xff030201, 0x80402010};
  const uint32_t bottom[3] = {0xff000000, 0xff000000, 0x00000000};
  uint32_t out[2];
  k::mipReduceRow(top, bottom, out, 3);
  // Blue (1 + 2) >> 2 = 0, green (2 + 2) >> 2 = 1, red (3 + 2) >> 2 = 1; alpha stays 255.
  EXPECT_EQ(out[0], 0xff010100u);
  // The last pixel pairs with itself: (2 * 0x80 + 2) >> 2 = 0x40 alpha.
  EXPECT_EQ(out[1], 0x40201008u);
}

Image kernelOver(const std::shared_ptr<const PerspectiveTexture>& sharp,
                 const std::shared_ptr<const PerspectiveTexture>& soft, const k::PerspectiveParams& p) {
  PerspectiveKernelArguments a;
  a.inverseRow0 = {p.inverse[0], p.inverse[1], p.inverse[2]};
  a.inverseRow1 = {p.inverse[3], p.inverse[4], p.inverse[5]};
  a.inverseRow2 = {p.inverse[6], p.inverse[7], p.inverse[8]};
  a.depth = {p.depth[0], p.depth[1], p.depth[2]};
  a.focusDepth = p.focusDepth;
  a.blurSpan = p.blurSpan;
  a.blurRadius = p.blurRadius;
  a.viewport = {p.viewport[0], p.viewport[1], p.viewport[2], p.viewport[3]};
  a.edgeBlur = {p.edgeBlur[0], p.edgeBlur[1], p.edgeBlur[2], p.edgeBlur[3]};
  a.outputSize = {p.outputWidth, p.outputHeight};
  return perspectiveKernelImage(sharp, soft, a, Rect{0, 0, p.outputWidth, p.outputHeight});
}

TEST(PerspectiveKernel, IdentityViewGivesThePictureBackOnAnyThreadCount) {
  auto picture = testutil::screenLike(203, 117);
  k::PerspectiveParams identity;
  identity.outputWidth = 203;
  identity.outputHeight = 117;
  for (int threads : {1, 2}) {
    Renderer renderer(threads);
    auto sharp = PerspectiveTexture::make(renderer, Image::fromBuffer(picture), Rect{0, 0, 203, 117}, 117);
    ASSERT_TRUE(sharp);
    auto out = renderer.makeBitmap(kernelOver(sharp, sharp, identity), Rect{0, 0, 203, 117});
    ASSERT_TRUE(out);
    int differing = 0;
    for (int y = 0; y < 117; ++y)
      for (int x = 0; x < 203; ++x) differing += out->pixelRow(y)[x] != picture->pixelRow(y)[x];
    EXPECT_EQ(differing, 0) << threads << " threads";
  }
}

TEST(PerspectiveKernel, ArgumentsThatCannotBeDrawnGiveNoImage) {
  Renderer renderer(1);
  auto sharp = PerspectiveTexture::make(renderer, Image::solid(Color{1, 0, 0, 1}), Rect{0, 0, 8, 8}, 8);
  ASSERT_TRUE(sharp);
  PerspectiveKernelArguments nan;
  nan.outputSize = {8, 8};
  nan.inverseRow2[1] = std::nan("");
  PerspectiveKernelArguments huge = nan;
  huge.inverseRow2 = {0, 0, 1e300};
  EXPECT_TRUE(perspectiveKernelImage(sharp, sharp, nan, Rect{0, 0, 8, 8}).isEmpty());
  EXPECT_TRUE(perspectiveKernelImage(sharp, sharp, huge, Rect{0, 0, 8, 8}).isEmpty());
  EXPECT_TRUE(perspectiveKernelImage(nullptr, sharp, PerspectiveKernelArguments{}, Rect{0, 0, 8, 8}).isEmpty());
  EXPECT_FALSE(PerspectiveTexture::make(renderer, Image::solid(Color{1, 0, 0, 1}), Rect{0, 0, 9000, 8}, 8));
  EXPECT_TRUE(perspectiveKernelAvailable());
}

// Checkerboard of 3-pixel squares (black and white, opaque) in kernel space.
bool checkerWhite(double sx, double sy) {
  return (static_cast<long>(std::floor(sx / 3)) + static_cast<long>(std::floor(sy / 3))) % 2 != 0;
}

// Separable Gaussian of a W x H plane of values, edges clamped.
std::vector<double> lowPass(const std::vector<double>& in, int W, int H, double sigma) {
  const int R = static_cast<int>(std::ceil(3 * sigma));
  std::vector<double> k(2 * R + 1);
  double sum = 0;
  for (int i = -R; i <= R; ++i) sum += k[i + R] = std::exp(-i * i / (2 * sigma * sigma));
  for (auto& v : k) v /= sum;
  std::vector<double> mid(in.size()), out(in.size());
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x) {
      double a = 0;
      for (int i = -R; i <= R; ++i) a += k[i + R] * in[y * W + std::clamp(x + i, 0, W - 1)];
      mid[y * W + x] = a;
    }
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x) {
      double a = 0;
      for (int i = -R; i <= R; ++i) a += k[i + R] * mid[std::clamp(y + i, 0, H - 1) * W + x];
      out[y * W + x] = a;
    }
  return out;
}

// Moiré is a false pattern coarser than the pixels: after a low-pass of two
// output pixels the filtered plane must match a 16 x 16 supersampled
// reference, where one sample per pixel (what a plain warp of the full-size
// picture shows at these footprints) leaves bands of false contrast.
TEST(PerspectiveKernel, SteepCheckerboardHasNoMoire) {
  constexpr int W = 480, H = 240;
  auto board = makeBuffer(W, H, PixelFormat::bgra8);
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x) board->pixelRow(y)[x] = checkerWhite(x + 0.5, y + 0.5) ? 0xffffffffu : 0xff000000u;
  Renderer renderer(2);
  auto sharp = PerspectiveTexture::make(renderer, Image::fromBuffer(board), Rect{0, 0, W, H}, H);
  ASSERT_TRUE(sharp);
  const k::PerspectiveParams p = floorView(W, H, 0.1f);
  auto out = renderer.makeBitmap(kernelOver(sharp, sharp, p), Rect{0, 0, W, H});
  ASSERT_TRUE(out);
  const float* h = p.inverse;
  auto map = [&](double qx, double qy, double& sx, double& sy) {
    const double z = h[6] * qx + h[7] * qy + h[8];
    sx = (h[0] * qx + h[1] * qy + h[2]) / z;
    sy = (h[3] * qx + h[4] * qy + h[5]) / z;
  };
  auto board01 = [&](double sx, double sy) {
    return sx >= 0 && sx < W && sy >= 0 && sy < H && checkerWhite(sx, sy) ? 255.0 : 0.0;
  };
  std::vector<double> reference(W * H), got(W * H), point(W * H);
  for (int row = 0; row < H; ++row)
    for (int x = 0; x < W; ++x) {
      double sum = 0, sx, sy;
      for (int j = 0; j < 16; ++j)
        for (int i = 0; i < 16; ++i) {
          map(x + (i + 0.5) / 16, row + (j + 0.5) / 16, sx, sy);
          sum += board01(sx, sy);
        }
      reference[row * W + x] = sum / 256;
      map(x + 0.5, row + 0.5, sx, sy);
      point[row * W + x] = board01(sx, sy);
      got[row * W + x] = channel(out->pixelRow(row)[x], 1);
    }
  const auto lr = lowPass(reference, W, H, 2), lg = lowPass(got, W, H, 2), lp = lowPass(point, W, H, 2);
  // Bands from the far edge (footprint 10 scene pixels) to the near one (1).
  for (int band = 0; band < H; band += 40) {
    double errKernel = 0, errPoint = 0;
    long count = 0;
    for (int row = band; row < band + 40; ++row)
      for (int x = 0; x < W; ++x) {
        double left, right, unused;  // well inside the plane's slanted sides
        map(x - 3, row + 1, left, unused);
        map(x + 4, row + 1, right, unused);
        if (left < 1 || right > W - 1) continue;
        const size_t i = static_cast<size_t>(row * W + x);
        errKernel += (lg[i] - lr[i]) * (lg[i] - lr[i]);
        errPoint += (lp[i] - lr[i]) * (lp[i] - lr[i]);
        ++count;
      }
    const double rmsKernel = std::sqrt(errKernel / count), rmsPoint = std::sqrt(errPoint / count);
    EXPECT_GT(rmsPoint, 4) << "rows " << band << ": the board should alias when point sampled";
    EXPECT_LT(rmsKernel, 2) << "rows " << band << ": point sampling gives " << rmsPoint;
  }
}

}  // namespace
}  // namespace vantrel::graphics
