// The perspective frame at 1080p on one thread, part by part: drawing the
// scene into the kernel's texture with its mip chain, the softened copy for
// the depth of field, the kernel itself, and the kernel laid over a zoomed
// background; then the whole step. Baseline: a plain copy of one 1080p frame
// in the same run, so numbers on a noisy machine read as ratios.
//
// `vantrel_perspective_bench --frames <dir>` instead writes a short tilting
// camera move as PNG frames, for looking at.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <string>

#include "scene.h"
#include "vantrel/graphics/image_file.h"
#include "vantrel/graphics/perspective.h"

using namespace vantrel::graphics;

namespace {

constexpr int W = 1920, H = 1080;

const Image& sceneImage() {
  static const Image image = [] {
    // The styled frame: the screen inset by a margin on a clear canvas.
    const Image screen = Image::fromBuffer(benchscene::screen(1632, 918, 0.3));
    return screen.translated(144, 81).clippedToRoundedRect(Rect{144, 81, 1632, 918}, 24);
  }();
  return image;
}

// A plane turned `degrees` about the horizontal axis through the canvas
// centre (top edge away from the eye) and seen from 2.2 canvas heights: the
// inverse of that projection, in kernel space (top-left origin).
PerspectiveKernelArguments tilt(double degrees) {
  const double a = degrees * M_PI / 180, f = 2.2 * H, cx = W / 2.0, cy = H / 2.0;
  const double c = std::cos(a), s = std::sin(a);
  // Scene point (cx + X, cy + Y) sits at depth f - Y s and shows at
  // q = (cx + f X / (f - Y s), cy + f Y c / (f - Y s)); solved for X and Y:
  PerspectiveKernelArguments k;
  k.inverseRow0 = {f * c, cx * s, -cx * cy * s};
  k.inverseRow1 = {0, f + cy * s, cy * f * c - cy * cy * s - f * cy};
  k.inverseRow2 = {0, s, f * c - cy * s};
  k.depth = {0, -1, static_cast<double>(H)};  // distance back from the near (bottom) edge
  k.focusDepth = 180;
  k.blurSpan = 700;
  k.blurRadius = 10;
  k.viewport = {0, 0, W, H};
  k.edgeBlur = {1.5, 4, 1.5, 1.5};
  k.outputSize = {W, H};
  return k;
}

void BM_Copy1080p(benchmark::State& state) {
  auto a = makeBuffer(W, H, PixelFormat::bgra8), b = makeBuffer(W, H, PixelFormat::bgra8);
  for (auto _ : state) {
    std::memcpy(b->data(), a->data(), a->byteSize());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_Copy1080p)->Unit(benchmark::kMillisecond);

// The scene's pixels (a flat bitmap, as the stack arrives materialised) into the texture, with the chain.
const Image& flatScene() {
  static const Image flat = [] {
    Renderer r(1);
    return Image::fromBuffer(r.makeBitmap(sceneImage(), Rect{0, 0, W, H}));
  }();
  return flat;
}

void BM_TextureAndMips(benchmark::State& state) {
  Renderer r(1);
  for (auto _ : state) benchmark::DoNotOptimize(PerspectiveTexture::make(r, flatScene(), Rect{0, 0, W, H}, H));
}
BENCHMARK(BM_TextureAndMips)->Unit(benchmark::kMillisecond);

void BM_SoftenedCopySigma8(benchmark::State& state) {
  Renderer r(1);
  auto sharp = PerspectiveTexture::make(r, flatScene(), Rect{0, 0, W, H}, H);
  for (auto _ : state) benchmark::DoNotOptimize(PerspectiveTexture::softenedFrom(r, *sharp, 8));
}
BENCHMARK(BM_SoftenedCopySigma8)->Unit(benchmark::kMillisecond);

void BM_KernelTilted35WithDepthOfField(benchmark::State& state) {
  Renderer r(1);
  auto sharp = PerspectiveTexture::make(r, flatScene(), Rect{0, 0, W, H}, H);
  auto soft = PerspectiveTexture::softenedFrom(r, *sharp, 8);
  const Image image = perspectiveKernelImage(sharp, soft, tilt(35), Rect{0, 0, W, H});
  auto out = makeBuffer(W, H, PixelFormat::bgra8);
  for (auto _ : state) {
    r.render(image, *out, {0, 0});
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_KernelTilted35WithDepthOfField)->Unit(benchmark::kMillisecond);

const BufferRef& background() {
  static BufferRef b = [] {
    Renderer r(1);
    return r.makeBitmap(Image::linearGradient({0, 0}, Color{0.1, 0.2, 0.4, 1}, {W, H}, Color{0.8, 0.4, 0.3, 1}),
                        Rect{0, 0, W, H});
  }();
  return b;
}

void BM_KernelOverZoomedBackground(benchmark::State& state) {
  Renderer r(1);
  auto sharp = PerspectiveTexture::make(r, flatScene(), Rect{0, 0, W, H}, H);
  auto soft = PerspectiveTexture::softenedFrom(r, *sharp, 8);
  // The zoomed background is drawn once per pose and then read flat.
  const Image zoomed = Image::fromBuffer(
      r.makeBitmap(Image::fromBuffer(background()).transformed({1.3, 0, 0, 1.3, -288, -162}), Rect{0, 0, W, H}));
  const Image frame = perspectiveKernelImage(sharp, soft, tilt(35), Rect{0, 0, W, H}).composited(zoomed);
  auto out = makeBuffer(W, H, PixelFormat::bgra8);
  for (auto _ : state) {
    r.render(frame, *out, {0, 0});
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_KernelOverZoomedBackground)->Unit(benchmark::kMillisecond);

// Everything the perspective step adds to a frame whose stack arrives flat.
void BM_WholePerspectiveStep(benchmark::State& state) {
  Renderer r(1);
  const Image zoomed = Image::fromBuffer(
      r.makeBitmap(Image::fromBuffer(background()).transformed({1.3, 0, 0, 1.3, -288, -162}), Rect{0, 0, W, H}));
  auto out = makeBuffer(W, H, PixelFormat::bgra8);
  for (auto _ : state) {
    auto sharp = PerspectiveTexture::make(r, flatScene(), Rect{0, 0, W, H}, H);
    auto soft = PerspectiveTexture::softenedFrom(r, *sharp, 8);
    r.render(perspectiveKernelImage(sharp, soft, tilt(35), Rect{0, 0, W, H}).composited(zoomed), *out, {0, 0});
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_WholePerspectiveStep)->Unit(benchmark::kMillisecond);

int writeFrames(const std::string& dir) {
  Renderer r(2);
  const Image bg = Image::fromBuffer(background());
  for (int i = 0; i < 8; ++i) {
    const double degrees = 5 + 6.0 * i;
    auto sharp = PerspectiveTexture::make(r, Image::fromBuffer(benchscene::screen(1632, 918, 0.3 + 0.2 * i))
                                                 .translated(144, 81)
                                                 .clippedToRoundedRect(Rect{144, 81, 1632, 918}, 24),
                                          Rect{0, 0, W, H}, H);
    auto soft = PerspectiveTexture::softenedFrom(r, *sharp, 8);
    const double b = 1 + 0.05 * i;
    const Image zoomed = bg.transformed({b, 0, 0, b, W / 2.0 - b * W / 2.0, H / 2.0 - b * H / 2.0});
    const Image frame = perspectiveKernelImage(sharp, soft, tilt(degrees), Rect{0, 0, W, H}).composited(zoomed);
    auto out = r.makeBitmap(frame, Rect{0, 0, W, H});
    writePng(*out, dir + "/tilt" + std::to_string(i) + ".png");
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--frames") return writeFrames(argv[2]);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  return 0;
}
