// Per-frame raster costs at 1080p, single-threaded and on two threads.
// Baseline: a plain copy of one 1080p BGRA frame in the same run, so numbers
// on a noisy machine can be read as ratios.
#include <benchmark/benchmark.h>

#include <cmath>
#include <algorithm>
#include <cstring>
#include <vector>

#include "scene.h"
#include "vantrel/graphics/kernels.h"
#include "vantrel/graphics/renderer.h"

using namespace vantrel::graphics;

namespace {

const BufferRef& bigSource() {
  static BufferRef b = benchscene::screen(2880, 1800, 0.3);
  return b;
}

void BM_Copy1080p(benchmark::State& state) {
  auto a = makeBuffer(1920, 1080, PixelFormat::bgra8), b = makeBuffer(1920, 1080, PixelFormat::bgra8);
  for (auto _ : state) {
    std::memcpy(b->data(), a->data(), a->byteSize());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_Copy1080p)->Unit(benchmark::kMillisecond);

void renderLoop(benchmark::State& state, const Image& img, int w, int h) {
  Renderer r(static_cast<int>(state.range(0)));
  auto out = makeBuffer(w, h, PixelFormat::bgra8);
  for (auto _ : state) {
    r.render(img, *out, {0, 0});
    benchmark::ClobberMemory();
  }
}

// Separable Lanczos3 in double precision, straight from the definition: the quality reference.
std::vector<double> referenceWeights(double centre, double scale, int n, int& first) {
  const double s = std::min(1.0, scale), reach = 3 / s;
  const int lo = static_cast<int>(std::ceil(centre - reach)), hi = static_cast<int>(std::floor(centre + reach));
  first = lo;
  std::vector<double> w;
  double sum = 0;
  for (int j = lo; j <= hi; ++j) {
    const double x = std::abs((centre - j) * s), p = 3.14159265358979323846 * x;
    const double k = x < 1e-9 ? 1.0 : x >= 3 ? 0.0 : 3 * std::sin(p) * std::sin(p / 3) / (p * p);
    w.push_back(k);
    sum += k;
  }
  for (auto& v : w) v /= sum;
  (void)n;
  return w;
}

double psnrAgainstReference(const PixelBuffer& src, const PixelBuffer& out, double sx, double sy, double tx,
                            double ty, Point origin) {
  const int W = out.width(), H = out.height(), SW = src.width(), SH = src.height();
  // Vertical pass in doubles over whole source rows, then horizontal; edges clamp.
  std::vector<double> mid(static_cast<size_t>(SW) * 4);
  double se = 0;
  long count = 0;
  for (int r = 1; r < H - 1; ++r) {
    const double y = origin.y + (H - 1 - r) + 0.5;
    int fy;
    const auto wy = referenceWeights((y - ty) / sy - 0.5, sy, SH, fy);
    std::fill(mid.begin(), mid.end(), 0.0);
    for (size_t t = 0; t < wy.size(); ++t) {
      const int j = std::clamp(fy + static_cast<int>(t), 0, SH - 1);
      const uint8_t* row = src.row(SH - 1 - j);
      for (int i = 0; i < SW * 4; ++i) mid[i] += wy[t] * row[i];
    }
    for (int c = 1; c < W - 1; ++c) {
      const double x = origin.x + c + 0.5;
      int fx;
      const auto wx = referenceWeights((x - tx) / sx - 0.5, sx, SW, fx);
      double acc[4] = {0, 0, 0, 0};
      for (size_t t = 0; t < wx.size(); ++t) {
        const int i = std::clamp(fx + static_cast<int>(t), 0, SW - 1);
        for (int ch = 0; ch < 4; ++ch) acc[ch] += wx[t] * mid[static_cast<size_t>(i) * 4 + ch];
      }
      const double a = std::clamp(acc[3], 0.0, 255.0);
      for (int ch = 0; ch < 4; ++ch) {
        const double v = ch == 3 ? a : std::clamp(acc[ch], 0.0, a);
        const double d = v - out.row(r)[c * 4 + ch];
        se += d * d;
        ++count;
      }
    }
  }
  const double mse = se / count;
  return mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
}

// Lanczos scale of `src` into outW x outH placed at a sub-pixel offset (tx, ty).
void lanczosCase(benchmark::State& state, const BufferRef& src, int outW, int outH, double tx, double ty) {
  const double sy = static_cast<double>(outH) / src->height(), sx = static_cast<double>(outW) / src->width();
  const Image img = Image::fromBuffer(src).lanczosScaled(sy, sx / sy).translated(tx, ty);
  const Point origin{std::floor(tx), std::floor(ty)};
  Renderer r(static_cast<int>(state.range(0)));
  auto out = makeBuffer(outW, outH, PixelFormat::bgra8);
  for (auto _ : state) {
    r.render(img, *out, origin);
    benchmark::ClobberMemory();
  }
  if (state.range(0) == 1) state.counters["psnr_dB"] = psnrAgainstReference(*src, *out, sx, sy, tx, ty, origin);
}

void BM_LanczosScale2880x1800To1632x918(benchmark::State& state) { lanczosCase(state, bigSource(), 1632, 918, 144.37, 81.61); }
BENCHMARK(BM_LanczosScale2880x1800To1632x918)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

// The styled export's scale: a 1080p frame into the padded rectangle at a sub-pixel offset.
void BM_LanczosScale1920x1080To1680x945(benchmark::State& state) {
  static const BufferRef frame = benchscene::screen(1920, 1080, 0.3);
  lanczosCase(state, frame, 1680, 945, 120.4, 67.7);
}
BENCHMARK(BM_LanczosScale1920x1080To1680x945)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

void BM_GaussianBlurSigma40_1080p(benchmark::State& state) {
  auto frame = benchscene::screen(1920, 1080, 0.1);
  renderLoop(state, Image::fromBuffer(frame).gaussianBlur(40).cropped({0, 0, 1920, 1080}), 1920, 1080);
}
BENCHMARK(BM_GaussianBlurSigma40_1080p)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

void BM_GaussianBlurSigma6_1080p(benchmark::State& state) {
  auto frame = benchscene::screen(1920, 1080, 0.1);
  renderLoop(state, Image::fromBuffer(frame).gaussianBlur(6).cropped({0, 0, 1920, 1080}), 1920, 1080);
}
BENCHMARK(BM_GaussianBlurSigma6_1080p)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

// The kernel alone: one 1080p layer over another, in place.
void BM_SourceOverKernel1080p(benchmark::State& state) {
  auto fg = benchscene::screen(1920, 1080, 0.1);
  for (int y = 0; y < 1080; ++y)
    kernels::scaleRow(fg->pixelRow(y), fg->pixelRow(y), 180, 1920);
  auto bg = makeBuffer(1920, 1080, PixelFormat::bgra8);
  bg->fill(0xff336699u);
  ThreadPool pool(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    pool.parallelFor(1080, [&](int a, int b) {
      for (int y = a; y < b; ++y) kernels::sourceOverRow(bg->pixelRow(y), fg->pixelRow(y), 1920);
    });
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_SourceOverKernel1080p)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

// Through the renderer: layer over layer into the output buffer.
void BM_SourceOverRender1080p(benchmark::State& state) {
  auto fg = benchscene::screen(1920, 1080, 0.1);
  const Image img = Image::fromBuffer(fg).alphaMultiplied(0.7).composited(Image::solid({0.2, 0.4, 0.6, 1}));
  renderLoop(state, img.cropped({0, 0, 1920, 1080}), 1920, 1080);
}
BENCHMARK(BM_SourceOverRender1080p)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

void BM_GradientFill1080p(benchmark::State& state) {
  renderLoop(state, Image::linearGradient({0, 0}, {0.3, 0.1, 0.8, 1}, {1920, 1080}, {1, 0.5, 0.2, 1}), 1920, 1080);
}
BENCHMARK(BM_GradientFill1080p)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

void BM_PerspectiveWarp1080p(benchmark::State& state) {
  auto frame = benchscene::screen(1920, 1080, 0.1);
  const double h[9] = {1.25, 0.25, -200, 0.0, 1.35, -150, 0.0, 0.0002, 1.0};
  renderLoop(state, Image::fromBuffer(frame).perspectiveWarped(h, {0, 0, 1920, 1080}), 1920, 1080);
}
BENCHMARK(BM_PerspectiveWarp1080p)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

void BM_RotatedCursor64(benchmark::State& state) {
  auto glyph = benchscene::screen(64, 64, 0.1);
  renderLoop(state, Image::fromBuffer(glyph).transformed(Affine::rotation(0.3).then(Affine::scale(1.5, 1.5))), 128, 128);
}
BENCHMARK(BM_RotatedCursor64)->Arg(1)->Unit(benchmark::kMicrosecond);

void BM_Pixellate400x300(benchmark::State& state) {
  auto frame = benchscene::screen(1920, 1080, 0.1);
  const Rect r{600, 300, 400, 300};
  renderLoop(state, Image::fromBuffer(frame).cropped(r).pixellated(14, {800, 450}).cropped(r), 1920, 1080);
}
BENCHMARK(BM_Pixellate400x300)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_TextLine60Chars48px(benchmark::State& state) {
  benchscene::screen(16, 16);  // registers the font
  const auto font = Font::make("Inter Variable", 700, 48);
  auto ctx = BitmapContext::create(1920, 120);
  const std::string text = "The quick brown fox jumps over the lazy dog while 42 cats nap";
  for (auto _ : state) {
    const TextLine line(*font, text, 0.96);
    drawTextLine(*ctx, line, {20, 40}, {1, 1, 1, 1});
    benchmark::DoNotOptimize(line.width());
  }
}
BENCHMARK(BM_TextLine60Chars48px)->Unit(benchmark::kMicrosecond);

void BM_TextLine60Chars48pxOutlined(benchmark::State& state) {
  benchscene::screen(16, 16);
  const auto font = Font::make("Inter Variable", 700, 48);
  auto ctx = BitmapContext::create(1920, 120);
  const std::string text = "The quick brown fox jumps over the lazy dog while 42 cats nap";
  for (auto _ : state) {
    const TextLine line(*font, text, 0.96);
    drawTextLine(*ctx, line, {20, 40}, {1, 1, 1, 1}, TextOutline{{0, 0, 0, 1}, -6});
  }
}
BENCHMARK(BM_TextLine60Chars48pxOutlined)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
