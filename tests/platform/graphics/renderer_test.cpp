// The recipe graph rendered through the renderer: known answers, resampling
// quality against a float reference, blur properties and thread independence.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <numbers>
#include <vector>

#include "test_util.h"
#include "vantrel/graphics/drawing.h"
#include "vantrel/graphics/renderer.h"

namespace vantrel::graphics {
namespace {

using testutil::at;
using testutil::channel;

BufferRef render(const Image& img, int w, int h, int threads = 1, Point origin = {0, 0}) {
  Renderer r(threads);
  auto out = makeBuffer(w, h, PixelFormat::bgra8);
  r.render(img, *out, origin);
  return out;
}

TEST(Renderer, SolidCropAndCompositeKnownAnswers) {
  const Image red = Image::solid({1, 0, 0, 1}).cropped({0, 0, 4, 4});
  const Image halfBlue = Image::solid({0, 0, 1, 0.5}).cropped({2, 2, 4, 4});
  const auto out = render(halfBlue.composited(red), 8, 8);
  EXPECT_EQ(at(*out, 0, 0), 0xffff0000u);           // red alone
  EXPECT_EQ(at(*out, 3, 3), 0xff7f0080u);           // half blue over red
  EXPECT_EQ(at(*out, 5, 5), 0x80000080u);           // half blue alone
  EXPECT_EQ(at(*out, 7, 7), 0x00000000u);           // nothing
  EXPECT_EQ(at(*out, 1, 5), 0x00000000u);
  EXPECT_EQ(halfBlue.composited(red).extent().width, 6);
}

TEST(Renderer, GradientEndColoursAndDirection) {
  // Geometry of a background gradient: centre, half diagonal, angle; 0 degrees runs left to
  // right and 90 degrees bottom to top, clamped beyond both ends.
  const int w = 64, h = 32;
  struct Case { double degrees; int x0, y0, x1, y1; };
  const Case table[] = {{0, 0, 16, 63, 16}, {90, 32, 0, 32, 31}, {180, 63, 16, 0, 16}};
  for (const auto& c : table) {
    const double th = c.degrees * std::numbers::pi / 180, hd = std::hypot(w, h) / 2;
    const Point p0{w / 2.0 - hd * std::cos(th), h / 2.0 - hd * std::sin(th)};
    const Point p1{w / 2.0 + hd * std::cos(th), h / 2.0 + hd * std::sin(th)};
    const auto out = render(Image::linearGradient(p0, {0, 0, 0, 1}, p1, {1, 1, 1, 1}).cropped({0, 0, w, h}), w, h);
    SCOPED_TRACE(c.degrees);
    // Expected level: the projection of the pixel centre onto p0 -> p1.
    auto expected = [&](int x, int y) {
      const double dx = p1.x - p0.x, dy = p1.y - p0.y;
      return 255.0 * ((x + 0.5 - p0.x) * dx + (y + 0.5 - p0.y) * dy) / (dx * dx + dy * dy);
    };
    EXPECT_NEAR(channel(at(*out, c.x0, c.y0), 2), expected(c.x0, c.y0), 1.0);
    EXPECT_NEAR(channel(at(*out, c.x1, c.y1), 2), expected(c.x1, c.y1), 1.0);
    EXPECT_LT(expected(c.x0, c.y0), 100);
    EXPECT_GT(expected(c.x1, c.y1), 155);
    EXPECT_EQ(channel(at(*out, c.x0, c.y0), 3), 255);
    // Monotonic along the direction.
    int prev = -1;
    for (int s = 0; s <= 16; ++s) {
      const int x = c.x0 + (c.x1 - c.x0) * s / 16, y = c.y0 + (c.y1 - c.y0) * s / 16;
      const int v = channel(at(*out, x, y), 1);
      EXPECT_GE(v, prev);
      prev = v;
    }
  }
  // Points beyond the ends take the end colours exactly.
  const auto out = render(Image::linearGradient({10, 0}, {1, 0, 0, 1}, {20, 0}, {0, 0, 1, 1}), 32, 1);
  EXPECT_EQ(at(*out, 0, 0), 0xffff0000u);
  EXPECT_EQ(at(*out, 31, 0), 0xff0000ffu);
}

// Direct 2-D evaluation in double precision: the reference the separable passes must meet.
BufferRef floatLanczosReference(const PixelBuffer& src, double sx, double sy, double tx, double ty, int w, int h) {
  auto out = makeBuffer(w, h, PixelFormat::bgra8);
  auto lz = [](double x) {
    x = std::abs(x);
    if (x < 1e-9) return 1.0;
    if (x >= 3) return 0.0;
    const double p = std::numbers::pi * x;
    return 3 * std::sin(p) * std::sin(p / 3) / (p * p);
  };
  auto weights = [&](double centre, double scale, int n, std::vector<std::pair<int, double>>& ws) {
    const double s = std::min(1.0, scale), reach = 3 / s;
    ws.clear();
    double sum = 0;
    for (int j = static_cast<int>(std::ceil(centre - reach)); j <= static_cast<int>(std::floor(centre + reach)); ++j) {
      const double k = lz((centre - j) * s);
      ws.push_back({std::clamp(j, 0, n - 1), k});
      sum += k;
    }
    for (auto& p : ws) p.second /= sum;
  };
  std::vector<std::pair<int, double>> wx, wy;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      weights((x + 0.5 - tx) / sx - 0.5, sx, src.width(), wx);
      weights((y + 0.5 - ty) / sy - 0.5, sy, src.height(), wy);
      double acc[4] = {0, 0, 0, 0};
      for (auto [j, wj] : wy)
        for (auto [i, wi] : wx)
          for (int c = 0; c < 4; ++c) acc[c] += wj * wi * channel(testutil::at(src, i, j), c);
      uint32_t v = 0;
      const double a = std::clamp(acc[3], 0.0, 255.0);
      for (int c = 0; c < 4; ++c)
        v |= static_cast<uint32_t>(std::lround(c == 3 ? a : std::clamp(acc[c], 0.0, a))) << (8 * c);
      out->pixelRow(h - 1 - y)[x] = v;
    }
  return out;
}

TEST(Renderer, LanczosScaleMatchesFloatReference) {
  // Shrinking (the 2880x1800 -> 1632x918 case in miniature) and enlarging, both at sub-pixel offsets.
  struct Case { int sw, sh; double scaleY, aspect, tx, ty; };
  const Case table[] = {{360, 225, 0.51, 1.11, 0.37, 0.61}, {90, 60, 2.3, 1.0, 0.25, 0.75}};
  for (const auto& c : table) {
    const auto src = testutil::screenLike(c.sw, c.sh);
    const double sx = c.scaleY * c.aspect, sy = c.scaleY;
    const int w = static_cast<int>(c.sw * sx) - 2, h = static_cast<int>(c.sh * sy) - 2;
    const Image img = Image::fromBuffer(src).lanczosScaled(c.scaleY, c.aspect).translated(c.tx, c.ty);
    const auto out = render(img, w, h);
    const auto ref = floatLanczosReference(*src, sx, sy, c.tx, c.ty, w, h);
    // The first row and column are partly covered: compare the interior.
    double worst = 0;
    auto crop = [](const PixelBuffer& b) {
      auto o = makeBuffer(b.width() - 2, b.height() - 2, PixelFormat::bgra8);
      for (int y = 0; y < o->height(); ++y)
        for (int x = 0; x < o->width(); ++x) o->pixelRow(y)[x] = b.pixelRow(y + 1)[x + 1];
      return o;
    };
    worst = testutil::psnr(*crop(*out), *crop(*ref));
    EXPECT_GE(worst, 45.0) << "scale " << c.scaleY;
  }
}

TEST(Renderer, ChainedTransformsResampleOnce) {
  // Two halvings folded into one quarter scale equal a single quarter scale.
  const auto src = testutil::screenLike(200, 120);
  const Image base = Image::fromBuffer(src);
  const auto twice = render(base.lanczosScaled(0.5, 1).lanczosScaled(0.5, 1), 50, 30);
  const auto once = render(base.lanczosScaled(0.25, 1), 50, 30);
  EXPECT_EQ(0, std::memcmp(twice->data(), once->data(), once->byteSize()));
}

TEST(Renderer, BlurConservesEnergyAndSpreads) {
  for (double sigma : {1.5, 6.0, 40.0}) {
    SCOPED_TRACE(sigma);
    const int n = 400;
    const Image square = Image::solid({1, 1, 1, 1}).cropped({180, 180, 40, 40});
    const auto out = render(square.gaussianBlur(sigma), n, n);
    double total = 0;
    for (int y = 0; y < n; ++y)
      for (int x = 0; x < n; ++x) total += channel(at(*out, x, y), 3);
    EXPECT_NEAR(total / (40.0 * 40.0 * 255.0), 1.0, 0.02);
    // Symmetric about the square's centre, and spread out.
    EXPECT_NEAR(channel(at(*out, 200 - 30, 200), 3), channel(at(*out, 199 + 30, 200), 3), 3);
    EXPECT_NEAR(channel(at(*out, 200, 200 - 30), 3), channel(at(*out, 200, 199 + 30), 3), 3);
    EXPECT_LT(channel(at(*out, 200, 200), 3), sigma > 20 ? 200 : 256);
  }
}

TEST(Renderer, BlurOfSolidStaysSolidAndWidthMatchesSigma) {
  // An edge blurred with sigma s rises from 16 % to 84 % over about 2 s.
  const double sigma = 10;
  const Image half = Image::solid({0, 0, 0, 1}).cropped({-1000, -1000, 1200, 3000});
  const auto out = render(half.gaussianBlur(sigma), 400, 4);
  int x16 = -1, x84 = -1;
  for (int x = 399; x >= 0; --x) {
    const int a = channel(at(*out, x, 2), 3);
    if (x16 < 0 && a >= 0.16 * 255) x16 = x;
    if (x84 < 0 && a >= 0.84 * 255) x84 = x;
  }
  EXPECT_NEAR(x16 - x84, 2 * sigma, 2.5);
  EXPECT_EQ(channel(at(*out, 20, 2), 3), 255);
}

TEST(Renderer, BlendWithMaskMixesByMaskGreen) {
  const Image fg = Image::solid({1, 0, 0, 1});
  const Image bg = Image::solid({0, 0, 1, 1});
  const Image mask = Image::solid({0, 0, 0, 1}).cropped({0, 0, 2, 1})
                         .composited(Image::solid({0.5, 0.5, 0.5, 1}).cropped({2, 0, 2, 1}))
                         .composited(Image::solid({1, 1, 1, 1}).cropped({4, 0, 2, 1}));
  const auto out = render(fg.blendedWithMask(bg, mask).cropped({0, 0, 8, 1}), 8, 1);
  EXPECT_EQ(at(*out, 0, 0), 0xff0000ffu);  // black mask: background
  EXPECT_EQ(at(*out, 2, 0), 0xff80007fu);  // grey 128: half and half
  EXPECT_EQ(at(*out, 4, 0), 0xffff0000u);  // white: foreground
  EXPECT_EQ(at(*out, 6, 0), 0xff0000ffu);  // outside the mask: background
}

TEST(Renderer, RoundedClipMatchesTheFilledShape) {
  // A white area cut to a rounded rectangle at fractional coordinates, against
  // the same shape filled by the vector engine: the outline's coverage agrees
  // to within a few levels, the inside is untouched and the corners are cut.
  const Rect R{3.3, 4.6, 41.5, 30.2};
  const double radius = 9.5;
  const Image clip = Image::solid({1, 1, 1, 1}).cropped({0, 0, 50, 40}).clippedToRoundedRect(R, radius);
  const auto clipped = render(clip, 50, 40);
  auto shape = BitmapContext::create(50, 40, BitmapKind::rgba);
  ASSERT_TRUE(shape);
  shape->setFillColor({1, 1, 1, 1});
  shape->addRoundedRect(R, radius);
  shape->fillPath();
  const auto filled = render(shape->makeImage(), 50, 40);
  int worst = 0;
  double total = 0;
  for (int y = 0; y < 40; ++y)
    for (int x = 0; x < 50; ++x) {
      const int d = std::abs(channel(at(*clipped, x, y), 3) - channel(at(*filled, x, y), 3));
      worst = std::max(worst, d);
      total += d;
    }
  EXPECT_LE(worst, 24);
  EXPECT_LT(total / (50 * 40), 0.5);
  EXPECT_EQ(at(*clipped, 25, 20), 0xffffffffu);
  EXPECT_EQ(at(*clipped, 4, 5), 0u);   // inside the bounds, outside the arc
  EXPECT_EQ(at(*clipped, 1, 20), 0u);  // outside the bounds
  // Any region on any thread count gives the same pixels.
  const auto part = render(clip, 17, 13, 2, {30, 3});
  for (int y = 0; y < 13; ++y)
    for (int x = 0; x < 17; ++x) ASSERT_EQ(at(*part, x, y), at(*clipped, x + 30, y + 3)) << x << "," << y;
}

TEST(Renderer, ColorMatrixAlphaAndPixellate) {
  const auto faded = render(Image::solid({1, 1, 1, 1}).alphaMultiplied(0.5).cropped({0, 0, 2, 2}), 2, 2);
  EXPECT_EQ(at(*faded, 0, 0), 0x80808080u);
  // Pixellating a two-colour split with 4-pixel cells centred at (4, 0): each cell takes its mean.
  auto src = makeBuffer(8, 1, PixelFormat::bgra8);
  for (int x = 0; x < 8; ++x) src->pixelRow(0)[x] = x < 3 ? 0xff000000u : 0xffffffffu;
  const auto out = render(Image::fromBuffer(src).pixellated(4, {4, 0.5}), 8, 1);
  EXPECT_EQ(at(*out, 2, 0), 0xffbfbfbfu);  // cell [2, 6): one black, three white
  EXPECT_EQ(at(*out, 5, 0), 0xffbfbfbfu);
  EXPECT_EQ(at(*out, 0, 0), 0xff000000u);  // cell [-2, 2) holds only black pixels of the image
  EXPECT_EQ(at(*out, 7, 0), 0xffffffffu);
}

TEST(Renderer, IdenticalForOneAndTwoThreadsAndAnyOrigin) {
  const auto src = testutil::screenLike(640, 400);
  const Image frame = Image::fromBuffer(src);
  const Image scene =
      Image::solid({0.2, 0.3, 0.4, 1})
          .cropped({0, 0, 500, 300})
          .composited(Image::linearGradient({0, 0}, {1, 0, 0, 1}, {500, 300}, {0, 0, 1, 1}))
          .cropped({0, 0, 500, 300});
  const Image shadow = Image::solid({0, 0, 0, 0.6}).cropped({60, 40, 380, 220}).gaussianBlur(12);
  const Image video = frame.lanczosScaled(0.55, 1.02).translated(60.3, 40.7);
  const Image rotated = frame.cropped({0, 0, 64, 64}).transformed(Affine::rotation(0.4)).translated(300, 100);
  const Image pix = video.cropped({100, 100, 80, 60}).pixellated(9, {140, 130});
  const Image all = pix.composited(rotated.composited(video.alphaMultiplied(0.9).composited(shadow.composited(scene))))
                        .gaussianBlur(0.8);
  const auto one = render(all, 500, 300, 1);
  const auto two = render(all, 500, 300, 2);
  EXPECT_EQ(0, std::memcmp(one->data(), two->data(), one->byteSize()));
  // A sub-rectangle rendered on its own equals the same pixels of the whole.
  const auto part = render(all, 123, 77, 2, {211, 97});
  for (int y = 0; y < 77; ++y)
    for (int x = 0; x < 123; ++x) ASSERT_EQ(at(*part, x, y), at(*one, x + 211, y + 97)) << x << "," << y;
}

// A user kernel: each output pixel is the input pixel one to the left, inverted.
class ShiftInvert : public CustomKernel {
 public:
  Rect regionOfInterest(int, const Rect& r) const override { return {r.x - 1, r.y, r.width + 1, r.height}; }
  void apply(const std::vector<RasterView>& in, const IRect& outRect, uint8_t* out, std::ptrdiff_t stride) const override {
    for (int y = outRect.y; y < outRect.maxY(); ++y) {
      auto* row = reinterpret_cast<uint32_t*>(out + (outRect.maxY() - 1 - y) * stride);
      for (int x = outRect.x; x < outRect.maxX(); ++x) {
        const uint32_t p = in[0].pixel(x - 1, y);
        row[x - outRect.x] = (p & 0xff000000u) | (~p & 0x00ffffffu & ((p >> 24) * 0x010101u));
      }
    }
  }
};

TEST(Renderer, CustomKernelSeesItsRegionOfInterestInEveryBand) {
  const auto src = testutil::screenLike(64, 48);
  const Image img = Image::custom(std::make_shared<ShiftInvert>(), {0, 0, 64, 48}, {Image::fromBuffer(src)});
  const auto one = render(img, 64, 48, 1), two = render(img, 64, 48, 2);
  EXPECT_EQ(0, std::memcmp(one->data(), two->data(), one->byteSize()));
  for (int y = 0; y < 48; y += 7)
    for (int x = 1; x < 64; x += 5) {
      const uint32_t p = at(*src, x - 1, y);
      ASSERT_EQ(at(*one, x, y), (p & 0xff000000u) | (~p & 0x00ffffffu)) << x << "," << y;
    }
}

TEST(Renderer, PerspectiveWarpIdentityAndEdges) {
  const auto src = testutil::screenLike(64, 48);
  const double identity[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  const auto out = render(Image::fromBuffer(src).perspectiveWarped(identity, {0, 0, 80, 60}), 80, 60);
  EXPECT_EQ(at(*out, 30, 20), at(*src, 30, 20));
  EXPECT_EQ(at(*out, 70, 20), 0u);  // outside the source plane: clear
  // Half the plane away (w = 2 halves the picture): the far region stays clear.
  const double shrink[9] = {2, 0, 0, 0, 2, 0, 0, 0, 1};
  const auto half = render(Image::fromBuffer(src).perspectiveWarped(shrink, {0, 0, 64, 48}), 64, 48);
  EXPECT_EQ(channel(at(*half, 10, 10), 3), 255);
  EXPECT_EQ(at(*half, 40, 30), 0u);
  const int edge = channel(at(*half, 32, 10), 3);  // the source's right edge at x = 32: antialiased
  EXPECT_LT(edge, 255);
}

TEST(Renderer, SourceBuffersAreNeverWritten) {
  // Buffers are read in place; every operation that writes must work on a copy.
  auto a = testutil::screenLike(40, 30, 1), b = testutil::screenLike(40, 30, 2);
  auto a0 = testutil::screenLike(40, 30, 1), b0 = testutil::screenLike(40, 30, 2);
  const Image ia = Image::fromBuffer(a), ib = Image::fromBuffer(b);
  const Image uses[] = {ia.alphaMultiplied(0.5), ia.colorMatrix(ColorMatrix{}), ia.alphaMultiplied(0.5).composited(ib),
                        ia.translated(3, 2).composited(ib.cropped({0, 0, 40, 30})), ia.blendedWithMask(ib, ib),
                        ia.gaussianBlur(1.5), ib.composited(ia.translated(-1, 0)).alphaMultiplied(0.3)};
  for (const auto& img : uses) render(img, 40, 30);
  EXPECT_EQ(0, std::memcmp(a->data(), a0->data(), a->byteSize()));
  EXPECT_EQ(0, std::memcmp(b->data(), b0->data(), b->byteSize()));
}

TEST(Renderer, DegenerateInputsGiveNothing) {
  const double nan = std::nan("");
  const double inf = std::numeric_limits<double>::infinity();
  const Image src = Image::solid({1, 1, 1, 1}).cropped({0, 0, 10, 10});
  EXPECT_TRUE(src.cropped({nan, 0, 5, 5}).isEmpty());
  EXPECT_TRUE(src.transformed(Affine::scale(0, 1)).isEmpty());
  EXPECT_TRUE(src.transformed(Affine{1, 0, 0, 1, nan, 0}).isEmpty());
  EXPECT_TRUE(src.lanczosScaled(inf, 1).isEmpty());
  EXPECT_TRUE(src.cropped({0, 0, 0, 5}).isEmpty());
  EXPECT_FALSE(src.gaussianBlur(nan).isEmpty());  // a blur that cannot be made leaves the image
  EXPECT_TRUE(Image::fromBuffer(nullptr).isEmpty());
  Renderer r(1);
  // Requests that would need absurd amounts of memory render as clear instead.
  const Image vast = Image::linearGradient({0, 0}, {1, 0, 0, 1}, {1, 0}, {0, 0, 1, 1}).transformed(Affine::scale(1e-7, 1e-7));
  EXPECT_EQ(at(*render(vast.gaussianBlur(1e9).pixellated(1e5, {0, 0}), 4, 4), 1, 1), 0u);
  EXPECT_EQ(r.makeBitmap(src, {0, 0, 0, 10}), nullptr);
  EXPECT_EQ(r.makeBitmap(src, Rect::infinite()), nullptr);
  const auto b = r.makeBitmap(src.translated(0.5, 0.5), {0, 0, 11, 11});
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->width(), 11);
}

}  // namespace
}  // namespace vantrel::graphics
