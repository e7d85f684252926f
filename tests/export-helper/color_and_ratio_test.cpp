#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "manifest/color.h"
#include "manifest/scene.h"

namespace vantrel::exporter {
namespace {

struct ColorCase {
  std::optional<std::string> text;
  std::optional<RgbaColor> expected;
};

TEST(ParseColor, Grammar) {
  const RgbaColor opaque{0x33 / 255.0, 0x66 / 255.0, 0xCC / 255.0, 1.0};
  const RgbaColor half{0x33 / 255.0, 0x66 / 255.0, 0xCC / 255.0, 0x80 / 255.0};
  const ColorCase cases[] = {
      {std::nullopt, std::nullopt},
      {"#3366CC", opaque},
      {"3366cc", opaque},
      {"3366CCFF", opaque},
      {"  #3366cc80 \n", half},
      {"\u3000#3366CC80\u00A0\u2028", half},
      {"#3366\u00A0CC", std::nullopt},
      {"##3366CC", opaque},  // every '#' is removed, not just a leading one
      {"#36C", std::nullopt},
      {"red", std::nullopt},
      {"rgb(1,2,3)", std::nullopt},
      {"#3366CG", std::nullopt},
      {"#3366CC8", std::nullopt},
      {"", std::nullopt},
      {"+3366CC", std::nullopt},
      {"33 66CC", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parseColor(c.text), c.expected) << (c.text ? "'" + *c.text + "'" : std::string("absent"));
  }
}

TEST(AspectRatioValue, Table) {
  struct Case {
    std::string aspect;
    double customW, customH, sourceW, sourceH, expected;
  };
  const Case cases[] = {
      {"9:16", 0, 0, 1920, 1080, 0.5625},
      {"1:1", 0, 0, 1920, 1080, 1.0},
      {"16:9", 0, 0, 100, 100, 16.0 / 9.0},
      {"16:10", 0, 0, 100, 100, 1.6},
      {"4:5", 0, 0, 100, 100, 0.8},
      {"custom", 1000, 500, 100, 100, 2.0},
      {"custom", 0, 400, 100, 100, 1.0 / 400.0},  // widths below 1 count as 1
      {"fit", 0, 0, 1920, 1200, 1.6},
      {"16:9 ", 0, 0, 4, 3, 4.0 / 3.0},  // not an exact match: the source's shape
      {"wide", 0, 0, 0, 0, 1.0},
  };
  for (const auto& c : cases) {
    NativeVideoSettings v;
    v.aspectRatio = c.aspect;
    v.customCanvasWidth = c.customW;
    v.customCanvasHeight = c.customH;
    EXPECT_DOUBLE_EQ(v.aspectRatioValue(c.sourceW, c.sourceH), c.expected) << "'" << c.aspect << "'";
  }
}

}  // namespace
}  // namespace vantrel::exporter
