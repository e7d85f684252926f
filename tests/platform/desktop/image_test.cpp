#include "vantrel/desktop/image.h"

#include <gtest/gtest.h>

#include "vantrel/desktop/error.h"

namespace vantrel::desktop {
namespace {

RgbaImage solid(int w, int h, std::uint8_t r, std::uint8_t g, std::uint8_t b, std::uint8_t a) {
  RgbaImage img{w, h, std::vector<std::uint8_t>(static_cast<std::size_t>(w) * h * 4)};
  for (std::size_t i = 0; i < img.pixels.size(); i += 4) {
    img.pixels[i] = r;
    img.pixels[i + 1] = g;
    img.pixels[i + 2] = b;
    img.pixels[i + 3] = a;
  }
  return img;
}

TEST(Base64, MatchesTheStandardAlphabetAndPadding) {
  const struct {
    std::string in, out;
  } cases[] = {{"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {"\xff\xfe\xfd", "//79"}};
  for (const auto& c : cases) EXPECT_EQ(base64Encode({c.in.begin(), c.in.end()}), c.out) << c.in;
}

TEST(Png, RoundTripsPixelsWithAndWithoutAlpha) {
  RgbaImage img{3, 2, {}};
  for (int i = 0; i < 6; ++i) {
    img.pixels.insert(img.pixels.end(), {static_cast<std::uint8_t>(i * 40), static_cast<std::uint8_t>(255 - i),
                                         static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(100 + i)});
  }
  const RgbaImage back = decodePng(encodePng(img));
  EXPECT_EQ(back.width, 3);
  EXPECT_EQ(back.height, 2);
  EXPECT_EQ(back.pixels, img.pixels);

  RgbaImage opaqueExpected = img;
  for (std::size_t i = 3; i < opaqueExpected.pixels.size(); i += 4) opaqueExpected.pixels[i] = 255;
  EXPECT_EQ(decodePng(encodePng(img, false)).pixels, opaqueExpected.pixels);

  EXPECT_EQ(pngDataUrl(encodePng(img)).rfind("data:image/png;base64,iVBORw0KGgo", 0), 0u);
}

TEST(Png, RejectsEmptyImagesAndGarbage) {
  EXPECT_THROW(encodePng(RgbaImage{}), DesktopError);
  EXPECT_THROW(decodePng({'n', 'o', 't', ' ', 'p', 'n', 'g'}), DesktopError);
  EXPECT_THROW(decodePngFile("/nonexistent/icon.png"), DesktopError);
}

TEST(ScaleImage, KeepsColourAndCoverageWhenShrinkingOrGrowing) {
  for (const auto& [w, h] : std::vector<std::pair<int, int>>{{64, 64}, {7, 5}, {300, 10}}) {
    const RgbaImage src = solid(48, 32, 200, 100, 50, 255);
    const RgbaImage out = scaleImage(src, w, h);
    ASSERT_EQ(out.width, w);
    ASSERT_EQ(out.height, h);
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) {
        const std::uint8_t* p = out.at(x, y);
        ASSERT_EQ(std::vector<int>(p, p + 4), (std::vector<int>{200, 100, 50, 255})) << w << "x" << h << " at " << x << "," << y;
      }
    }
  }
  // Transparent pixels carry no colour: averaging with them must not darken.
  RgbaImage half = solid(2, 1, 255, 255, 255, 255);
  half.pixels[4] = half.pixels[5] = half.pixels[6] = half.pixels[7] = 0;
  const RgbaImage one = scaleImage(half, 1, 1);
  EXPECT_EQ(std::vector<int>(one.pixels.begin(), one.pixels.end()), (std::vector<int>{255, 255, 255, 128}));
}

}  // namespace
}  // namespace vantrel::desktop
