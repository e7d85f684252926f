// Images over memory the graphics layer does not own, and renders into such
// memory: same pixels as the copying route, the owner's handle held exactly as
// long as an image needs it, and layouts it cannot read refused.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <numbers>
#include <stdexcept>
#include <vector>

#include "test_util.h"
#include "vantrel/graphics/renderer.h"

namespace vantrel::graphics {
namespace {

// Memory of exactly stride * height bytes (no spare row), so a read or write
// past the last row is caught by the sanitizer build.
struct ExternalFrame {
  int width, height;
  std::ptrdiff_t stride;
  std::shared_ptr<uint8_t> bytes;
  ExternalFrame(int w, int h, std::ptrdiff_t s)
      : width(w), height(h), stride(s),
        bytes(static_cast<uint8_t*>(std::aligned_alloc(64, static_cast<size_t>(s) * h)), std::free) {
    std::memset(bytes.get(), 0xAB, static_cast<size_t>(s) * h);
  }
  uint32_t* row(int y) { return reinterpret_cast<uint32_t*>(bytes.get() + y * stride); }
};

ExternalFrame copyToExternal(const PixelBuffer& b, std::ptrdiff_t stride) {
  ExternalFrame f(b.width(), b.height(), stride);
  for (int y = 0; y < b.height(); ++y) std::memcpy(f.row(y), b.pixelRow(y), static_cast<size_t>(b.width()) * 4);
  return f;
}

void expectSamePixels(const PixelBuffer& want, ExternalFrame& got) {
  for (int y = 0; y < want.height(); ++y)
    ASSERT_EQ(0, std::memcmp(want.pixelRow(y), got.row(y), static_cast<size_t>(want.width()) * 4)) << "row " << y;
}

TEST(ExternalMemory, RendersTheSamePixelsAsTheCopyingRoute) {
  // Recipes that read the source in place (whole-pixel moves), resample it,
  // blur it (reads around the edges) and write into the target in place.
  struct Recipe {
    const char* name;
    std::function<Image(const Image&)> make;
  };
  const Recipe recipes[] = {
      {"as is", [](const Image& i) { return i; }},
      {"whole-pixel move", [](const Image& i) { return i.translated(-3, 5); }},
      {"lanczos at a sub-pixel offset",
       [](const Image& i) { return i.lanczosScaled(0.61, 1.0).translated(7.3, 2.6); }},
      {"rotated", [](const Image& i) { return i.transformed(Affine::rotation(0.3)).translated(20, -10); }},
      {"blurred over a solid",
       [](const Image& i) { return i.gaussianBlur(2.5).composited(Image::solid({0.2, 0.3, 0.4, 1})); }},
      {"colour matrix and crop", [](const Image& i) { return i.alphaMultiplied(0.5).cropped({10, 10, 60, 40}); }},
  };
  struct Layout {
    int width, height;
    std::ptrdiff_t stride;
  };
  // Rows filling the stride exactly, rows with padding, and a stride wider than needed.
  const Layout layouts[] = {{64, 48, 256}, {100, 37, 448}, {90, 50, 1024}};
  for (const auto& l : layouts) {
    const BufferRef source = testutil::screenLike(l.width, l.height, 7);
    ExternalFrame external = copyToExternal(*source, l.stride);
    const Image owned = Image::fromBuffer(source);
    const Image borrowed =
        Image::fromExternalBGRA(external.bytes.get(), l.width, l.height, l.stride, external.bytes);
    for (const auto& r : recipes) {
      SCOPED_TRACE(testing::Message() << r.name << " " << l.width << "x" << l.height << " stride " << l.stride);
      Renderer renderer(2);
      auto want = makeBuffer(l.width, l.height, PixelFormat::bgra8);
      renderer.render(r.make(owned), *want, {0, 0});
      ExternalFrame target(l.width, l.height, l.stride);
      renderer.render(r.make(borrowed), target.bytes.get(), l.width, l.height, l.stride, {0, 0});
      expectSamePixels(*want, target);
    }
  }
}

TEST(ExternalMemory, KeepAliveIsHeldUntilTheLastImageGoes) {
  bool released = false;
  ExternalFrame frame(32, 16, 128);
  std::shared_ptr<const void> handle(frame.bytes.get(), [&released](const void*) { released = true; });
  Image derived;
  {
    const Image img = Image::fromExternalBGRA(frame.bytes.get(), 32, 16, 128, std::move(handle));
    derived = img.gaussianBlur(1).translated(1.5, 0);
  }
  EXPECT_FALSE(released) << "an image built from the view still reads it";
  Renderer renderer;
  auto out = makeBuffer(32, 16, PixelFormat::bgra8);
  renderer.render(derived, *out, {0, 0});
  derived = Image();
  EXPECT_TRUE(released);
}

TEST(ExternalMemory, RefusesLayoutsItCannotUse) {
  ExternalFrame frame(64, 8, 512);
  uint8_t* base = frame.bytes.get();
  struct Case {
    const char* what;
    uint8_t* data;
    int width, height;
    std::ptrdiff_t stride;
  };
  const Case cases[] = {
      {"null", nullptr, 16, 8, 64},
      {"unaligned pointer", base + 4, 16, 8, 64},
      {"unaligned stride", base, 16, 8, 96},
      {"row longer than the stride", base, 17, 8, 64},
      {"zero width", base, 0, 8, 64},
      {"negative height", base, 16, -1, 64},
  };
  Renderer renderer;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_THROW(Image::fromExternalBGRA(c.data, c.width, c.height, c.stride, nullptr), std::invalid_argument);
    EXPECT_THROW(renderer.render(Image::solid({1, 1, 1, 1}), c.data, c.width, c.height, c.stride, {0, 0}),
                 std::invalid_argument);
  }
}

}  // namespace
}  // namespace vantrel::graphics
