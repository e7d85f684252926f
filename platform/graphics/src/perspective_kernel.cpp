// The perspective kernel (see perspective.h for what each argument means):
// SIMD rows compiled once per target and chosen at run time, the scalar
// reference they are tested against, the textures it samples and the image
// node that runs it.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "perspective_kernel.cpp"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"
#include "perspective_pixel.h"
#include "vantrel/graphics/perspective.h"

HWY_BEFORE_NAMESPACE();
namespace vantrel::graphics::kernels::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

#if HWY_TARGET == HWY_SCALAR
void PerspectiveRowImpl(const PerspectiveRow& r, uint32_t* out, int n) { scalar::perspectiveRow(r, out, n); }
void MipReduceRowImpl(const uint32_t* in0, const uint32_t* in1, uint32_t* out, int inWidth) {
  scalar::mipReduceRow(in0, in1, out, inWidth);
}
#else
namespace {
using DF = hn::ScalableTag<float>;
using DI = hn::RebindToSigned<DF>;
using DU = hn::RebindToUnsigned<DF>;
using VF = hn::Vec<DF>;
using VI = hn::Vec<DI>;
using VU = hn::Vec<DU>;

HWY_INLINE VF Clamp01(VF v) {
  const DF df;
  return hn::Min(hn::IfThenElse(hn::Gt(v, hn::Zero(df)), v, hn::Zero(df)), hn::Set(df, 1.f));
}

// detail::sampleLevel for a vector of points, each lane with its own level.
HWY_INLINE void SampleLevel(const PerspectiveTextureView& t, VI level, VF sx, VF sy, VF out[4]) {
  const DF df;
  const DI di;
  const DU du;
  const VI one = hn::Set(di, 1);
  const VF zero = hn::Zero(df);
  const VF scale = hn::BitCast(df, hn::ShiftLeft<23>(hn::Sub(hn::Set(di, 127 - t.baseLevel), level)));
  const VI round = hn::Sub(hn::Shl(one, level), one);
  const VI w = hn::Shr(hn::Add(hn::Set(di, t.width), round), level);
  const VI h = hn::Shr(hn::Add(hn::Set(di, t.height), round), level);
  VF u = hn::MulAdd(hn::Sub(sx, hn::Set(df, t.originX)), scale, hn::Set(df, -0.5f));
  VF v = hn::MulAdd(hn::Sub(sy, hn::Set(df, t.originY)), scale, hn::Set(df, -0.5f));
  u = hn::Min(hn::IfThenElse(hn::Ge(u, zero), u, zero), hn::ConvertTo(df, hn::Sub(w, one)));
  v = hn::Min(hn::IfThenElse(hn::Ge(v, zero), v, zero), hn::ConvertTo(df, hn::Sub(h, one)));
  const VI x0 = hn::ConvertTo(di, u), y0 = hn::ConvertTo(di, v);
  const VI x1 = hn::Min(hn::Add(x0, one), hn::Sub(w, one)), y1 = hn::Min(hn::Add(y0, one), hn::Sub(h, one));
  const VF fx = hn::Sub(u, hn::ConvertTo(df, x0)), fy = hn::Sub(v, hn::ConvertTo(df, y0));
  const VI offset = hn::GatherIndex(di, t.offsets, level);
  const VI sp = hn::Set(di, static_cast<int32_t>(t.stride / 4));
  const VI r0 = hn::Add(offset, hn::Mul(y0, sp)), r1 = hn::Add(offset, hn::Mul(y1, sp));
  const auto* base = reinterpret_cast<const int32_t*>(t.data);
  const VU p00 = hn::BitCast(du, hn::GatherIndex(di, base, hn::Add(r0, x0)));
  const VU p10 = hn::BitCast(du, hn::GatherIndex(di, base, hn::Add(r0, x1)));
  const VU p01 = hn::BitCast(du, hn::GatherIndex(di, base, hn::Add(r1, x0)));
  const VU p11 = hn::BitCast(du, hn::GatherIndex(di, base, hn::Add(r1, x1)));
  const VU mask = hn::Set(du, 255u);
  for (int c = 0; c < 4; ++c) {
    auto ch = [&](VU p) { return hn::ConvertTo(df, hn::BitCast(di, hn::And(hn::ShiftRightSame(p, 8 * c), mask))); };
    const VF a = ch(p00), b = ch(p10), cc = ch(p01), d = ch(p11);
    const VF top = hn::MulAdd(fx, hn::Sub(b, a), a);
    const VF bottom = hn::MulAdd(fx, hn::Sub(d, cc), cc);
    out[c] = hn::MulAdd(fy, hn::Sub(bottom, top), top);
  }
}

HWY_INLINE void Trilinear(const PerspectiveTextureView& t, VF lambda, VF sx, VF sy, VF out[4]) {
  const DF df;
  const DI di;
  const VF zero = hn::Zero(df);
  const VF above = hn::Sub(lambda, hn::Set(df, static_cast<float>(t.baseLevel)));
  const VF l = hn::Min(hn::IfThenElse(hn::Ge(above, zero), above, zero), hn::Set(df, static_cast<float>(t.levels - 1)));
  const VI l0 = hn::ConvertTo(di, l);
  const VF f = hn::Sub(l, hn::ConvertTo(df, l0));
  SampleLevel(t, l0, sx, sy, out);
  // Whole levels everywhere (an unscaled view): the second level adds nothing.
  if (hn::AllTrue(df, hn::Eq(f, zero))) return;
  VF b[4];
  SampleLevel(t, hn::Min(hn::Add(l0, hn::Set(di, 1)), hn::Set(di, t.levels - 1)), sx, sy, b);
  for (int c = 0; c < 4; ++c) out[c] = hn::MulAdd(f, hn::Sub(b[c], out[c]), out[c]);
}

HWY_INLINE void SoftSample(const PerspectiveTextureView& t, VF lambda, VF sx, VF sy, VF out[4]) {
  const DF df;
  const DI di;
  const VF zero = hn::Zero(df);
  const VF above = hn::Add(hn::Sub(lambda, hn::Set(df, static_cast<float>(t.baseLevel))), hn::Set(df, 0.5f));
  const VF l = hn::Min(hn::IfThenElse(hn::Ge(above, zero), above, zero), hn::Set(df, static_cast<float>(t.levels - 1)));
  SampleLevel(t, hn::ConvertTo(di, l), sx, sy, out);
}

// N output pixels starting at row pixel i; lanes are independent, so a pixel
// comes out the same whichever block it falls in.
HWY_INLINE VU PerspectiveBlock(const PerspectiveRow& r, const detail::PerspectiveRowSetup& s, int i) {
  const DF df;
  const DI di;
  const DU du;
  const VF zero = hn::Zero(df), one = hn::Set(df, 1.f), half = hn::Set(df, 0.5f);
  const float* h = s.h;
  const VF qx = hn::Add(hn::ConvertTo(df, hn::Iota(di, i)), hn::Set(df, r.x0));
  const VF Z = hn::MulAdd(hn::Set(df, h[6]), qx, hn::Set(df, s.bz));
  const auto valid = hn::Gt(Z, hn::Set(df, 1e-6f));
  if (hn::AllFalse(df, valid)) return hn::Zero(du);
  const VF inv = hn::Div(one, hn::IfThenElse(valid, Z, one));
  const VF sx = hn::Mul(hn::MulAdd(hn::Set(df, h[0]), qx, hn::Set(df, s.bx)), inv);
  const VF sy = hn::Mul(hn::MulAdd(hn::Set(df, h[3]), qx, hn::Set(df, s.by)), inv);
  const VF h6 = hn::Set(df, h[6]), h7 = hn::Set(df, h[7]);
  const VF jxx = hn::Mul(hn::NegMulAdd(sx, h6, hn::Set(df, h[0])), inv);
  const VF jyx = hn::Mul(hn::NegMulAdd(sy, h6, hn::Set(df, h[3])), inv);
  const VF jxy = hn::Mul(hn::NegMulAdd(sx, h7, hn::Set(df, h[1])), inv);
  const VF jyy = hn::Mul(hn::NegMulAdd(sy, h7, hn::Set(df, h[4])), inv);
  const VF gx = hn::Sqrt(hn::MulAdd(jxx, jxx, hn::Mul(jxy, jxy)));
  const VF gy = hn::Sqrt(hn::MulAdd(jyx, jyx, hn::Mul(jyy, jyy)));
  const VF tiny = hn::Set(df, 1e-6f);
  auto ramp = [&](VF d, VF g, float e) {
    return Clamp01(hn::Div(hn::MulAdd(half, g, d), hn::Max(hn::Add(hn::Set(df, e), g), tiny)));
  };
  const VF coverage =
      hn::Mul(hn::Mul(ramp(hn::Sub(sx, hn::Set(df, s.left)), gx, s.edge[0]),
                      ramp(hn::Sub(hn::Set(df, s.right), sx), gx, s.edge[2])),
              hn::Mul(ramp(hn::Sub(sy, hn::Set(df, s.top)), gy, s.edge[1]),
                      ramp(hn::Sub(hn::Set(df, s.bottom), sy), gy, s.edge[3])));
  const auto keep = hn::And(valid, hn::Gt(coverage, zero));
  if (hn::AllFalse(df, keep)) return hn::Zero(du);
  const VF fx2 = hn::MulAdd(jxx, jxx, hn::Mul(jyx, jyx)), fy2 = hn::MulAdd(jxy, jxy, hn::Mul(jyy, jyy));
  const VF rho2 = hn::Max(hn::Max(fx2, fy2), hn::Set(df, 1e-30f));
  const VF log2 = hn::Sub(hn::Mul(hn::ConvertTo(df, hn::BitCast(di, rho2)), hn::Set(df, 1.f / 8388608.f)),
                          hn::Set(df, 127.f));
  const VF lambda = hn::Mul(half, log2);
  // Lanes that are dropped sample a safe point.
  const VF px = hn::IfThenElse(keep, sx, zero), py = hn::IfThenElse(keep, sy, zero);
  const VF d = hn::MulAdd(hn::Set(df, s.depth[0]), px, hn::MulAdd(hn::Set(df, s.depth[1]), py, hn::Set(df, s.depth[2])));
  const VF c = hn::Mul(hn::Set(df, s.blurRadius),
                       hn::Min(hn::Mul(hn::Abs(hn::Sub(d, hn::Set(df, s.focus))), hn::Set(df, s.invSpan)), one));
  VF m = Clamp01(hn::Mul(hn::Sub(c, half), hn::Set(df, s.invRamp)));
  m = hn::Mul(hn::Mul(m, m), hn::MulAdd(hn::Set(df, -2.f), m, hn::Set(df, 3.f)));
  VF colour[4] = {zero, zero, zero, zero};
  // Wholly out of focus: the sharp scene would be mixed away.
  if (!hn::AllFalse(df, hn::And(keep, hn::Lt(m, one)))) Trilinear(*r.image, lambda, px, py, colour);
  if (!hn::AllFalse(df, hn::And(keep, hn::Gt(m, zero)))) {
    VF soft[4];
    SoftSample(*r.softened, lambda, px, py, soft);
    for (int k = 0; k < 4; ++k) colour[k] = hn::MulAdd(m, hn::Sub(soft[k], colour[k]), colour[k]);
  }
  const VF top = hn::Set(df, 255.f);
  auto byte = [&](VF v) { return hn::BitCast(du, hn::NearestInt(hn::Min(hn::Max(hn::Mul(v, coverage), zero), top))); };
  const VU px32 = hn::Or(hn::Or(byte(colour[0]), hn::ShiftLeft<8>(byte(colour[1]))),
                         hn::Or(hn::ShiftLeft<16>(byte(colour[2])), hn::ShiftLeft<24>(byte(colour[3]))));
  return hn::IfThenElseZero(hn::RebindMask(du, keep), px32);
}
}  // namespace

void PerspectiveRowImpl(const PerspectiveRow& r, uint32_t* out, int n) {
  const DU du;
  const int N = static_cast<int>(hn::Lanes(du));
  const detail::PerspectiveRowSetup s = detail::setupRow(r);
  int i = 0;
  for (; i + N <= n; i += N) hn::StoreU(PerspectiveBlock(r, s, i), du, out + i);
  if (i < n) {
    // The tail is a whole block too (lanes past the row are computed and dropped).
    HWY_ALIGN uint32_t tail[HWY_MAX_BYTES / 4];
    hn::Store(PerspectiveBlock(r, s, i), du, tail);
    std::memcpy(out + i, tail, static_cast<size_t>(n - i) * 4);
  }
}

void MipReduceRowImpl(const uint32_t* in0, const uint32_t* in1, uint32_t* out, int inWidth) {
  const DU du;
  const int N = static_cast<int>(hn::Lanes(du));
  const VU M = hn::Set(du, 0x00ff00ffu), R = hn::Set(du, 0x00020002u);
  int j = 0;
  for (; 2 * (j + N) <= inWidth; j += N) {
    const VU a0 = hn::LoadU(du, in0 + 2 * j), b0 = hn::LoadU(du, in0 + 2 * j + N);
    const VU a1 = hn::LoadU(du, in1 + 2 * j), b1 = hn::LoadU(du, in1 + 2 * j + N);
    const VU p = hn::ConcatEven(du, b0, a0), q = hn::ConcatOdd(du, b0, a0);
    const VU r = hn::ConcatEven(du, b1, a1), s = hn::ConcatOdd(du, b1, a1);
    const VU e = hn::Add(hn::Add(hn::Add(hn::And(p, M), hn::And(q, M)), hn::Add(hn::And(r, M), hn::And(s, M))), R);
    const VU o = hn::Add(hn::Add(hn::Add(hn::And(hn::ShiftRight<8>(p), M), hn::And(hn::ShiftRight<8>(q), M)),
                                 hn::Add(hn::And(hn::ShiftRight<8>(r), M), hn::And(hn::ShiftRight<8>(s), M))),
                         R);
    hn::StoreU(hn::Or(hn::And(hn::ShiftRight<2>(e), M), hn::ShiftLeft<8>(hn::And(hn::ShiftRight<2>(o), M))), du,
               out + j);
  }
  const int outWidth = (inWidth + 1) / 2;
  for (; j < outWidth; ++j) {
    const int a = 2 * j, b = std::min(2 * j + 1, inWidth - 1);
    out[j] = detail::mipReducePixel(in0[a], in0[b], in1[a], in1[b]);
  }
}
#endif  // HWY_TARGET == HWY_SCALAR
}  // namespace vantrel::graphics::kernels::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace vantrel::graphics {
namespace kernels {
HWY_EXPORT(PerspectiveRowImpl);
HWY_EXPORT(MipReduceRowImpl);

void perspectiveRow(const PerspectiveRow& row, uint32_t* out, int n) {
  HWY_DYNAMIC_DISPATCH(PerspectiveRowImpl)(row, out, n);
}
void mipReduceRow(const uint32_t* in0, const uint32_t* in1, uint32_t* out, int inWidth) {
  HWY_DYNAMIC_DISPATCH(MipReduceRowImpl)(in0, in1, out, inWidth);
}

namespace scalar {
void perspectiveRow(const PerspectiveRow& row, uint32_t* out, int n) {
  const detail::PerspectiveRowSetup s = detail::setupRow(row);
  for (int i = 0; i < n; ++i) out[i] = detail::perspectivePixel(row, s, row.x0 + static_cast<float>(i));
}
void mipReduceRow(const uint32_t* in0, const uint32_t* in1, uint32_t* out, int inWidth) {
  const int outWidth = (inWidth + 1) / 2;
  for (int j = 0; j < outWidth; ++j) {
    const int a = 2 * j, b = std::min(2 * j + 1, inWidth - 1);
    out[j] = detail::mipReducePixel(in0[a], in0[b], in1[a], in1[b]);
  }
}
}  // namespace scalar
}  // namespace kernels

namespace {

constexpr int kMaxTextureSide = 8192;
// Floats the kernel computes with stay far from overflow below this.
constexpr double kMaxArgument = 1e18;

int levelSize(int size, int level) { return (size + (1 << level) - 1) >> level; }

}  // namespace

// Level 0 at the top left; every smaller level in one column to its right
// (starting on a 64-byte boundary so each level can be read as an image), one
// under the other.
struct PerspectiveTextureLayout {
  static BufferRef allocate(BufferPool& pool, int width, int height, kernels::PerspectiveTextureView& view) {
    int levels = 1;
    while ((levelSize(width, levels - 1) > 1 || levelSize(height, levels - 1) > 1) &&
           levels < kernels::kPerspectiveMaxLevels)
      ++levels;
    const int column = (width + 15) / 16 * 16;
    int rows = 0;
    int rowOf[kernels::kPerspectiveMaxLevels] = {};
    for (int k = 1; k < levels; ++k) {
      rowOf[k] = rows;
      rows += levelSize(height, k);
    }
    const int atlasWidth = levels > 1 ? column + levelSize(width, 1) : width;
    const int atlasHeight = std::max(height, rows);
    BufferRef buffer = pool.acquire(atlasWidth, atlasHeight, PixelFormat::bgra8, false);
    view.data = buffer->data();
    view.stride = buffer->stride();
    view.width = width;
    view.height = height;
    view.levels = levels;
    const std::ptrdiff_t pitch = buffer->stride() / 4;
    for (int k = 0; k < kernels::kPerspectiveMaxLevels; ++k)
      view.offsets[k] = k == 0 || k >= levels ? 0 : static_cast<int32_t>(rowOf[k] * pitch + column);
    return buffer;
  }
};

void PerspectiveTexture::buildChain(ThreadPool& pool) {
  auto* base = reinterpret_cast<uint32_t*>(buffer_->data());
  const std::ptrdiff_t pitch = view_.stride / 4;
  for (int k = 1; k < view_.levels; ++k) {
    const int inW = levelSize(view_.width, k - 1), inH = levelSize(view_.height, k - 1);
    const uint32_t* in = base + view_.offsets[k - 1];
    uint32_t* out = base + view_.offsets[k];
    pool.parallelFor(levelSize(view_.height, k), [&](int j0, int j1) {
      for (int j = j0; j < j1; ++j) {
        const uint32_t* r0 = in + 2 * j * pitch;
        const uint32_t* r1 = in + std::min(2 * j + 1, inH - 1) * pitch;
        kernels::mipReduceRow(r0, r1, out + j * pitch, inW);
      }
    }, 16);
  }
}

std::shared_ptr<const PerspectiveTexture> PerspectiveTexture::make(Renderer& renderer, const Image& scene,
                                                                   const Rect& rect, double outputHeight) {
  if (!rect.isFinite() || rect.isEmpty() || !std::isfinite(outputHeight)) return nullptr;
  const Rect r = rect.integral();
  if (r.width > kMaxTextureSide || r.height > kMaxTextureSide || std::abs(r.x) > 1e6 || std::abs(r.y) > 1e6)
    return nullptr;
  std::shared_ptr<PerspectiveTexture> t(new PerspectiveTexture());
  t->rect_ = r;
  const int w = static_cast<int>(r.width), h = static_cast<int>(r.height);
  t->buffer_ = PerspectiveTextureLayout::allocate(*renderer.buffers(), w, h, t->view_);
  // Level 0 first: the renderer may clear the bytes past a row's end, where the smaller levels go.
  renderer.render(scene, t->buffer_->data(), w, h, t->buffer_->stride(), Point{r.x, r.y});
  t->view_.originX = static_cast<float>(r.x);
  t->view_.originY = static_cast<float>(outputHeight - r.maxY());
  t->buildChain(renderer.pool());
  return t;
}

std::shared_ptr<const PerspectiveTexture> PerspectiveTexture::softenedFrom(Renderer& renderer,
                                                                           const PerspectiveTexture& sharp,
                                                                           double sigma) {
  if (!std::isfinite(sigma)) return nullptr;
  sigma = std::clamp(sigma, 0.0, 500.0);
  // A blur of sigma hides detail finer than about sigma / 2, so it is worked
  // out that many times smaller (the box filter and the bilinear read-back add
  // at most a quarter of sigma) and costs a fraction of a full-size blur.
  int reduce = 0;
  while (reduce < 3 && reduce + 1 < sharp.view_.levels && (2 << reduce) * 2 <= sigma) ++reduce;
  const int w = levelSize(sharp.view_.width, reduce), h = levelSize(sharp.view_.height, reduce);
  const Image blurred = sharp.levelImage(reduce).gaussianBlur(sigma / (1 << reduce));
  std::shared_ptr<PerspectiveTexture> t(new PerspectiveTexture());
  t->rect_ = sharp.rect_;
  t->buffer_ = PerspectiveTextureLayout::allocate(*renderer.buffers(), w, h, t->view_);
  renderer.render(blurred, t->buffer_->data(), w, h, t->buffer_->stride(), Point{0, 0});
  t->view_.baseLevel = sharp.view_.baseLevel + reduce;
  t->view_.originX = sharp.view_.originX;
  t->view_.originY = sharp.view_.originY;
  t->buildChain(renderer.pool());
  return t;
}

Image PerspectiveTexture::levelImage(int level) const {
  level = std::clamp(level, 0, view_.levels - 1);
  return Image::fromExternalBGRA(view_.data + static_cast<std::ptrdiff_t>(view_.offsets[level]) * 4,
                                 levelSize(view_.width, level), levelSize(view_.height, level), view_.stride,
                                 buffer_);
}

bool PerspectiveKernelArguments::isFinite() const {
  auto ok = [](const auto& values) {
    return std::all_of(values.begin(), values.end(), [](double v) { return std::isfinite(v); });
  };
  return ok(inverseRow0) && ok(inverseRow1) && ok(inverseRow2) && ok(depth) && std::isfinite(focusDepth) &&
         std::isfinite(blurSpan) && std::isfinite(blurRadius) && ok(viewport) && ok(edgeBlur) && ok(outputSize);
}

namespace {

class PerspectiveKernel final : public CustomKernel {
 public:
  PerspectiveKernel(std::shared_ptr<const PerspectiveTexture> image, std::shared_ptr<const PerspectiveTexture> softened,
                    const kernels::PerspectiveParams& params)
      : image_(std::move(image)), softened_(std::move(softened)), params_(params) {}

  // The kernel reads its textures directly; it has no image inputs.
  Rect regionOfInterest(int, const Rect& outputRect) const override { return outputRect; }

  void apply(const std::vector<RasterView>&, const IRect& outRect, uint8_t* out,
             std::ptrdiff_t outStride) const override {
    const double outputHeight = params_.outputHeight;
    for (int k = 0; k < outRect.height; ++k) {
      const int y = outRect.maxY() - 1 - k;
      const kernels::PerspectiveRow row{&image_->view(), &softened_->view(), &params_,
                                        static_cast<float>(outRect.x + 0.5),
                                        static_cast<float>(outputHeight - (y + 0.5))};
      kernels::perspectiveRow(row, reinterpret_cast<uint32_t*>(out + k * outStride), outRect.width);
    }
  }

 private:
  std::shared_ptr<const PerspectiveTexture> image_, softened_;
  kernels::PerspectiveParams params_;
};

}  // namespace

Image perspectiveKernelImage(std::shared_ptr<const PerspectiveTexture> image,
                             std::shared_ptr<const PerspectiveTexture> softened,
                             const PerspectiveKernelArguments& a, const Rect& extent) {
  if (!image || !softened || !a.isFinite() || extent.isEmpty() || !extent.isFinite()) return Image();
  kernels::PerspectiveParams p;
  bool inRange = true;
  auto put = [&](float* dst, const double* src, int n) {
    for (int i = 0; i < n; ++i) {
      inRange = inRange && std::abs(src[i]) < kMaxArgument;
      dst[i] = static_cast<float>(src[i]);
    }
  };
  put(p.inverse, a.inverseRow0.data(), 3);
  put(p.inverse + 3, a.inverseRow1.data(), 3);
  put(p.inverse + 6, a.inverseRow2.data(), 3);
  put(p.depth, a.depth.data(), 3);
  put(&p.focusDepth, &a.focusDepth, 1);
  put(&p.blurSpan, &a.blurSpan, 1);
  put(&p.blurRadius, &a.blurRadius, 1);
  put(p.viewport, a.viewport.data(), 4);
  put(p.edgeBlur, a.edgeBlur.data(), 4);
  put(&p.outputWidth, &a.outputSize[0], 1);
  put(&p.outputHeight, &a.outputSize[1], 1);
  if (!inRange) return Image();
  return Image::custom(std::make_shared<PerspectiveKernel>(std::move(image), std::move(softened), p), extent, {});
}

namespace {

bool runProbe() {
  constexpr int W = 37, H = 13;
  Renderer renderer(1);
  auto picture = makeBuffer(W, H, PixelFormat::bgra8);
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x) {
      const uint32_t a = 128 + static_cast<uint32_t>((x * 7 + y * 3) % 128);
      const uint32_t c = static_cast<uint32_t>((x * 29 + y * 53) % 256) * a / 255;
      picture->pixelRow(y)[x] = a << 24 | c << 16 | (a - c / 2) << 8 | c / 3;
    }
  auto texture = PerspectiveTexture::make(renderer, Image::fromBuffer(picture), Rect{0, 0, W, H}, H);
  if (!texture) return false;
  kernels::PerspectiveParams identity;
  identity.outputWidth = W;
  identity.outputHeight = H;
  // A tilted, blurred view that reaches into the smaller levels and past the edges.
  kernels::PerspectiveParams tilted = identity;
  const float h[9] = {1.3f, 0.2f, -4.f, 0.05f, 1.1f, -2.f, 0.004f, 0.06f, 0.7f};
  std::copy(h, h + 9, tilted.inverse);
  tilted.depth[1] = 1;
  tilted.focusDepth = 2;
  tilted.blurSpan = 8;
  tilted.blurRadius = 6;
  tilted.edgeBlur[1] = 3;
  std::vector<uint32_t> fast(W), reference(W);
  for (int y = 0; y < H; ++y) {
    const float qy = static_cast<float>(y) + 0.5f;
    kernels::perspectiveRow({&texture->view(), &texture->view(), &identity, 0.5f, qy}, fast.data(), W);
    if (std::memcmp(fast.data(), picture->pixelRow(y), W * 4) != 0) return false;
    kernels::perspectiveRow({&texture->view(), &texture->view(), &tilted, 0.5f, qy}, fast.data(), W);
    kernels::scalar::perspectiveRow({&texture->view(), &texture->view(), &tilted, 0.5f, qy}, reference.data(), W);
    for (int x = 0; x < W; ++x)
      for (int c = 0; c < 32; c += 8)
        if (std::abs(static_cast<int>((fast[x] >> c) & 255) - static_cast<int>((reference[x] >> c) & 255)) > 1)
          return false;
  }
  return true;
}

}  // namespace

bool perspectiveKernelAvailable() {
  static const bool available = [] {
    try {
      return runProbe();
    } catch (const std::bad_alloc&) {
      // Buffers for the probe could not be had: the kernel cannot run either.
      return false;
    }
  }();
  return available;
}

}  // namespace vantrel::graphics
#endif  // HWY_ONCE
