#include "vantrel/graphics/renderer.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "node.h"
#include "raster.h"
#include "vantrel/graphics/kernels.h"

namespace vantrel::graphics {
namespace {

constexpr int kHuge = 1 << 28;
// Largest region any node may be asked for (512 MB of pixels); beyond it the
// node renders as clear instead of exhausting memory.
constexpr int64_t kMaxTilePixels = int64_t{1} << 27;

int clampInt(double v) { return static_cast<int>(std::clamp(v, -static_cast<double>(kHuge), static_cast<double>(kHuge))); }

// Pixels that may hold something for a rectangle (rounded outwards).
IRect outerPixels(const Rect& r) {
  if (r.isEmpty()) return {};
  if (r.isInfinite()) return {-kHuge, -kHuge, 2 * kHuge, 2 * kHuge};
  const int x0 = clampInt(std::floor(r.x)), y0 = clampInt(std::floor(r.y));
  return {x0, y0, clampInt(std::ceil(r.maxX())) - x0, clampInt(std::ceil(r.maxY())) - y0};
}

// Pixels whose centres lie inside the rectangle.
IRect centrePixels(const Rect& r) {
  if (r.isEmpty()) return {};
  if (r.isInfinite()) return outerPixels(r);
  const int x0 = clampInt(std::ceil(r.x - 0.5)), y0 = clampInt(std::ceil(r.y - 0.5));
  return {x0, y0, clampInt(std::ceil(r.maxX() - 0.5)) - x0, clampInt(std::ceil(r.maxY() - 0.5)) - y0};
}

struct Evaluator {
  ThreadPool& pool;
  BufferPool& buffers;
  // The caller's buffer, handed out once to the first tile of exactly its
  // rectangle: when that tile is the result, nothing has to be copied at the end.
  BufferRef target;
  IRect targetRect;

  Tile allocate(const IRect& r, bool cleared = true) {
    if (target && r == targetRect) {
      Tile t{r, std::move(target)};
      target.reset();
      if (cleared) t.buf->clear();
      return t;
    }
    return Tile{r, buffers.acquire(r.width, r.height, PixelFormat::bgra8, cleared)};
  }

  // Copies the overlap of `src` into `dst` (both covering drawing-space rects).
  void copyInto(Tile& dst, const Tile& src) {
    const IRect o = dst.rect.intersection(src.rect);
    if (o.isEmpty() || !src.buf) return;
    for (int y = o.y; y < o.maxY(); ++y)
      std::memcpy(dst.pixel(o.x, y), src.pixel(o.x, y), static_cast<size_t>(o.width) * 4);
  }

  Tile eval(const Node& n, const IRect& req) {
    if (req.isEmpty() || outerPixels(n.extent).intersection(req).isEmpty()) return Tile{req, nullptr};
    if (static_cast<int64_t>(req.width) * req.height > kMaxTilePixels) return Tile{req, nullptr};
    switch (n.kind) {
      case NodeKind::empty: return Tile{req, nullptr};
      case NodeKind::buffer: return evalBuffer(n, req);
      case NodeKind::solid: {
        Tile t = allocate(req, false);
        t.buf->fill(n.color.premultipliedBGRA());
        return t;
      }
      case NodeKind::gradient: return evalGradient(n, req);
      case NodeKind::transform: return evalTransform(n, req);
      case NodeKind::crop: return evalCrop(n, req);
      case NodeKind::composite: return evalComposite(n, req);
      case NodeKind::blur: return evalBlur(n, req);
      case NodeKind::blendMask: return evalBlendMask(n, req);
      case NodeKind::colorMatrix: return evalColorMatrix(n, req);
      case NodeKind::pixellate: return evalPixellate(n, req);
      case NodeKind::perspective: return evalPerspective(n, req);
      case NodeKind::custom: return evalCustom(n, req);
      case NodeKind::roundedClip: return evalRoundedClip(n, req);
    }
    return Tile{req, nullptr};
  }

  // A tile that may be written: shared windows are copied first.
  Tile writable(Tile t) {
    if (!t.buf || !t.shared) return t;
    Tile own = allocate(t.rect, false);
    for (int k = 0; k < t.rect.height; ++k)
      std::memcpy(own.row(k), t.row(k), static_cast<size_t>(t.rect.width) * 4);
    return own;
  }

  Tile evalBuffer(const Node& n, const IRect& req) {
    const PixelBuffer& b = *n.buffer;
    // Inside the picture: a window onto it, no copy.
    if (req.x >= 0 && req.y >= 0 && req.maxX() <= b.width() && req.maxY() <= b.height())
      return Tile{req, n.buffer, req.x, b.height() - req.maxY(), true};
    Tile t = allocate(req);
    Tile src{IRect{0, 0, b.width(), b.height()}, nullptr};
    const IRect o = req.intersection(src.rect);
    for (int y = o.y; y < o.maxY(); ++y) {
      const uint32_t* s = b.pixelRow(b.height() - 1 - y) + o.x;
      std::memcpy(t.pixel(o.x, y), s, static_cast<size_t>(o.width) * 4);
    }
    return t;
  }

  Tile evalGradient(const Node& n, const IRect& req) {
    Tile t = allocate(req, false);
    const double dx = n.p1.x - n.p0.x, dy = n.p1.y - n.p0.y, len2 = dx * dx + dy * dy;
    float c0[4], c1[4];
    const uint32_t a = n.color.premultipliedBGRA(), b = n.color2.premultipliedBGRA();
    for (int c = 0; c < 4; ++c) {
      c0[c] = static_cast<float>((a >> (8 * c)) & 255);
      c1[c] = static_cast<float>((b >> (8 * c)) & 255);
    }
    pool.parallelFor(req.height, [&](int k0, int k1) {
      for (int k = k0; k < k1; ++k) {
        const double y = req.maxY() - 1 - k + 0.5, x = req.x + 0.5;
        // Coincident points: everything takes the end colour beyond the (empty) span.
        const double t0 = len2 > 0 ? ((x - n.p0.x) * dx + (y - n.p0.y) * dy) / len2 : 1.0;
        const double dt = len2 > 0 ? dx / len2 : 0.0;
        kernels::gradientRow(t.row(k), req.width, static_cast<float>(t0), static_cast<float>(dt), c0, c1);
      }
    });
    return t;
  }

  Tile evalCrop(const Node& n, const IRect& req) {
    const IRect keep = centrePixels(n.rect).intersection(req);
    Tile child = eval(*n.inputs[0], keep);
    if (!child.buf) return Tile{req, nullptr};
    if (keep == req) return child;
    Tile t = allocate(req);
    copyInto(t, child);
    return t;
  }

  Tile evalComposite(const Node& n, const IRect& req) {
    Tile bg = eval(*n.inputs[1], req);
    const IRect fgRect = outerPixels(n.inputs[0]->extent).intersection(req);
    Tile fg = eval(*n.inputs[0], fgRect);
    if (!fg.buf) return bg;
    if (!bg.buf) {
      if (fgRect == req) return fg;
      bg = allocate(req);
    }
    if (bg.shared) {
      // A background read in place (a cached layer) is copied row by row just
      // before its row is blended, while the row is still in cache.
      Tile own = allocate(req, false);
      const size_t rowBytes = static_cast<size_t>(req.width) * 4;
      pool.parallelFor(req.height, [&](int k0, int k1) {
        for (int k = k0; k < k1; ++k) {
          std::memcpy(own.row(k), bg.row(k), rowBytes);
          const int y = req.maxY() - 1 - k;
          if (y >= fgRect.y && y < fgRect.maxY())
            kernels::sourceOverRow(own.pixel(fgRect.x, y), fg.pixel(fgRect.x, y), fgRect.width);
        }
      });
      return own;
    }
    pool.parallelFor(fgRect.height, [&](int k0, int k1) {
      for (int k = k0; k < k1; ++k) {
        const int y = fgRect.maxY() - 1 - k;
        kernels::sourceOverRow(bg.pixel(fgRect.x, y), fg.pixel(fgRect.x, y), fgRect.width);
      }
    });
    return bg;
  }

  Tile evalBlendMask(const Node& n, const IRect& req) {
    Tile bg = eval(*n.inputs[1], req);
    const IRect fgRect =
        outerPixels(n.inputs[0]->extent.intersection(n.inputs[2]->extent)).intersection(req);
    Tile fg = eval(*n.inputs[0], fgRect);
    Tile mask = eval(*n.inputs[2], req);
    if (!bg.buf) bg = allocate(req);
    bg = writable(std::move(bg));
    if (!mask.buf) {
      // Mask is zero everywhere: the background alone.
      return bg;
    }
    if (!fg.buf) fg = allocate(fgRect.isEmpty() ? IRect{req.x, req.y, 1, 1} : fgRect);
    // Outside the foreground's rectangle the foreground is clear.
    pool.parallelFor(req.height, [&](int k0, int k1) {
      std::vector<uint8_t> m(req.width);
      std::vector<uint32_t> f(req.width);
      for (int k = k0; k < k1; ++k) {
        const int y = req.maxY() - 1 - k;
        const uint32_t* mr = mask.row(k);
        for (int i = 0; i < req.width; ++i) m[i] = static_cast<uint8_t>((mr[i] >> 8) & 255);
        std::fill(f.begin(), f.end(), 0u);
        if (y >= fgRect.y && y < fgRect.maxY() && !fgRect.isEmpty())
          std::memcpy(f.data() + (fgRect.x - req.x), fg.pixel(fgRect.x, y), static_cast<size_t>(fgRect.width) * 4);
        kernels::blendWithMaskRow(bg.row(k), f.data(), m.data(), req.width);
      }
    });
    return bg;
  }

  Tile evalColorMatrix(const Node& n, const IRect& req) {
    Tile src = writable(eval(*n.inputs[0], req));
    const ColorMatrix& m = n.colorMatrix;
    const bool alphaOnly = m.r[0] == 1 && m.r[1] == 0 && m.r[2] == 0 && m.r[3] == 0 && m.g[0] == 0 && m.g[1] == 1 &&
                           m.g[2] == 0 && m.g[3] == 0 && m.b[0] == 0 && m.b[1] == 0 && m.b[2] == 1 && m.b[3] == 0 &&
                           m.a[0] == 0 && m.a[1] == 0 && m.a[2] == 0 && m.bias[0] == 0 && m.bias[1] == 0 &&
                           m.bias[2] == 0 && m.bias[3] == 0;
    if (alphaOnly) {
      if (!src.buf) return src;
      const auto f = static_cast<uint8_t>(std::lround(std::clamp(m.a[3], 0.0, 1.0) * 255.0));
      pool.parallelFor(req.height, [&](int k0, int k1) {
        for (int k = k0; k < k1; ++k) kernels::scaleRow(src.row(k), src.row(k), f, req.width);
      });
      return src;
    }
    if (!src.buf) src = allocate(req);
    float mf[20];
    const double* rows[4] = {m.r, m.g, m.b, m.a};
    for (int c = 0; c < 4; ++c) {
      for (int k = 0; k < 4; ++k) mf[4 * c + k] = static_cast<float>(rows[c][k]);
      mf[16 + c] = static_cast<float>(m.bias[c]);
    }
    pool.parallelFor(req.height, [&](int k0, int k1) {
      for (int k = k0; k < k1; ++k) kernels::colorMatrixRow(src.row(k), req.width, mf);
    });
    return src;
  }

  Tile evalPixellate(const Node& n, const IRect& req) {
    const double s = n.value;
    const double ox = n.p0.x - s / 2, oy = n.p0.y - s / 2;
    // Cells that touch the request, in whole pixels (by pixel centre).
    auto cellOf = [&](double v, double o) { return std::floor((v + 0.5 - o) / s); };
    auto firstPixel = [&](double cell, double o) { return static_cast<int>(std::ceil(o + cell * s - 0.5)); };
    const double cx0 = cellOf(req.x, ox), cx1 = cellOf(req.maxX() - 1, ox);
    const double cy0 = cellOf(req.y, oy), cy1 = cellOf(req.maxY() - 1, oy);
    const IRect need = IRect{firstPixel(cx0, ox), firstPixel(cy0, oy), 0, 0};
    IRect roi{need.x, need.y, firstPixel(cx1 + 1, ox) - need.x, firstPixel(cy1 + 1, oy) - need.y};
    const IRect inside = outerPixels(n.inputs[0]->extent);
    roi = roi.intersection(inside);
    Tile src = eval(*n.inputs[0], roi);
    Tile t = allocate(req);
    if (!src.buf) return t;
    const int ncx = static_cast<int>(cx1 - cx0) + 1, ncy = static_cast<int>(cy1 - cy0) + 1;
    pool.parallelFor(ncy, [&](int j0, int j1) {
      for (int j = j0; j < j1; ++j) {
        const int py0 = firstPixel(cy0 + j, oy), py1 = firstPixel(cy0 + j + 1, oy);
        for (int i = 0; i < ncx; ++i) {
          const int px0 = firstPixel(cx0 + i, ox), px1 = firstPixel(cx0 + i + 1, ox);
          const IRect cell = IRect{px0, py0, px1 - px0, py1 - py0};
          const IRect have = cell.intersection(roi);
          if (have.isEmpty()) continue;
          uint64_t sum[4] = {0, 0, 0, 0};
          for (int y = have.y; y < have.maxY(); ++y) kernels::addChannelSums(src.pixel(have.x, y), have.width, sum);
          const uint64_t count = static_cast<uint64_t>(have.width) * have.height;
          uint32_t v = 0;
          for (int c = 0; c < 4; ++c) v |= static_cast<uint32_t>((sum[c] + count / 2) / count) << (8 * c);
          const IRect out = have.intersection(req);
          for (int y = out.y; y < out.maxY(); ++y) std::fill_n(t.pixel(out.x, y), out.width, v);
        }
      }
    }, 1);
    return t;
  }

  Tile evalTransform(const Node& n, const IRect& req);
  Tile evalRoundedClip(const Node& n, const IRect& req);
  Tile evalBlur(const Node& n, const IRect& req);
  Tile evalPerspective(const Node& n, const IRect& req);
  Tile evalCustom(const Node& n, const IRect& req);
};

// Folds a chain of transforms down to its first non-transform input.
Tile Evaluator::evalTransform(const Node& top, const IRect& req) {
  Affine m = top.matrix;
  Filter filter = top.filter;
  const Node* leaf = top.inputs[0].get();
  while (leaf->kind == NodeKind::transform) {
    m = leaf->matrix.then(m);
    if (leaf->filter == Filter::lanczos3) filter = Filter::lanczos3;
    leaf = leaf->inputs[0].get();
  }
  const Rect outExtent = m.apply(leaf->extent);
  const IRect outRect = outerPixels(outExtent).intersection(req);
  if (outRect.isEmpty()) return Tile{req, nullptr};
  const Affine inv = m.inverted();

  // Whole-pixel translation: no resampling at all.
  if (m.a == 1 && m.d == 1 && m.b == 0 && m.c == 0 && m.tx == std::floor(m.tx) && m.ty == std::floor(m.ty) &&
      std::abs(m.tx) < kHuge && std::abs(m.ty) < kHuge) {
    const int dx = static_cast<int>(m.tx), dy = static_cast<int>(m.ty);
    Tile src = eval(*leaf, IRect{req.x - dx, req.y - dy, req.width, req.height});
    src.rect = req;
    return src;
  }

  if (m.isAxisAligned()) {
    const double support = filter == Filter::lanczos3 ? 3.0 : 1.0;
    const double reach = support / std::min(1.0, std::min(std::abs(m.a), std::abs(m.d))) + 2;
    const Rect srcArea = inv.apply(Rect{static_cast<double>(outRect.x), static_cast<double>(outRect.y),
                                        static_cast<double>(outRect.width), static_cast<double>(outRect.height)});
    const IRect srcRect = outerPixels(srcArea.insetBy(-reach, -reach)).intersection(outerPixels(leaf->extent));
    if (srcRect.isEmpty()) return Tile{req, nullptr};
    Tile src = eval(*leaf, srcRect);
    if (!src.buf) return Tile{req, nullptr};
    Tile out = allocate(req, !(outRect == req));  // every pixel of outRect gets written
    resampleSeparable(pool, src, m, filter, outRect, out);
    if (!leaf->extent.isInfinite()) applyEdgeCoverage(out, outRect, outExtent);
    return out;
  }

  // General affine: bilinear from the source, clear outside it.
  const Rect srcArea = inv.apply(Rect{static_cast<double>(outRect.x), static_cast<double>(outRect.y),
                                      static_cast<double>(outRect.width), static_cast<double>(outRect.height)});
  const IRect srcRect = outerPixels(srcArea.insetBy(-2, -2)).intersection(outerPixels(leaf->extent));
  Tile src = eval(*leaf, srcRect);
  if (!src.buf) return Tile{req, nullptr};
  Tile out = allocate(req, !(outRect == req));  // every pixel of outRect gets written
  warpAffine(pool, src.view(), inv, outRect, out);
  return out;
}

namespace {

// Length of [p - 0.5, p + 0.5] inside [lo, hi].
double span(double p, double lo, double hi) { return std::clamp(std::min(p + 0.5, hi) - std::max(p - 0.5, lo), 0.0, 1.0); }

// Share of the pixel centred at (px, py) kept by the rounded rectangle R, out
// of the part the input E already covers (a picture placed at a fractional
// position has its own edge coverage, which must not be applied twice):
// exact for straight edges, the distance to the arc in a corner square.
double roundedRectCoverage(const Rect& R, double r, const Rect& E, double px, double py) {
  const double ex = span(px, E.minX(), E.maxX()), ey = span(py, E.minY(), E.maxY());
  if (!(ex > 0) || !(ey > 0)) return 0;
  const double cx = std::clamp(px, R.minX() + r, R.maxX() - r), cy = std::clamp(py, R.minY() + r, R.maxY() - r);
  if (r > 0 && cx != px && cy != py)
    return std::min(std::clamp(r + 0.5 - std::hypot(px - cx, py - cy), 0.0, 1.0) / (ex * ey), 1.0);
  return span(px, std::max(R.minX(), E.minX()), std::min(R.maxX(), E.maxX())) / ex *
         (span(py, std::max(R.minY(), E.minY()), std::min(R.maxY(), E.maxY())) / ey);
}

uint32_t coverageFactor(double c) { return static_cast<uint32_t>(std::lround(c * 255.0)); }

}  // namespace

Tile Evaluator::evalRoundedClip(const Node& n, const IRect& req) {
  Tile t = eval(*n.inputs[0], req);
  if (!t.buf) return t;
  t = writable(std::move(t));
  const Rect& R = n.rect;
  const Rect& childExtent = n.inputs[0]->extent;
  const Rect E = childExtent.isInfinite() ? Rect{-1e9, -1e9, 2e9, 2e9} : childExtent;
  const double r = n.value;
  const IRect area = outerPixels(R).intersection(req);
  // Inside [innerX0, innerX1) a row's coverage is that of its horizontal
  // edges alone; outside the corner bands that leaves one or two pixels at
  // each end to work out one by one.
  auto inner = [&](double reach, int& x0, int& x1) {
    x0 = std::clamp(static_cast<int>(std::ceil(R.minX() + reach - 0.5)), area.x, area.maxX());
    x1 = std::clamp(static_cast<int>(std::floor(R.maxX() - reach - 0.5)) + 1, x0, area.maxX());
  };
  int cornerX0, cornerX1, edgeX0, edgeX1;
  inner(std::max(r, 0.5), cornerX0, cornerX1);
  inner(0.5, edgeX0, edgeX1);
  pool.parallelFor(req.height, [&](int k0, int k1) {
    for (int k = k0; k < k1; ++k) {
      const int y = req.maxY() - 1 - k;
      uint32_t* row = t.row(k);
      if (y < area.y || y >= area.maxY() || area.isEmpty()) {
        std::memset(row, 0, static_cast<size_t>(req.width) * 4);
        continue;
      }
      std::memset(row, 0, static_cast<size_t>(area.x - req.x) * 4);
      std::memset(row + (area.maxX() - req.x), 0, static_cast<size_t>(req.maxX() - area.maxX()) * 4);
      const double py = y + 0.5;
      const bool cornerRow = py < R.minY() + r + 0.5 || py > R.maxY() - r - 0.5;
      const int innerX0 = cornerRow ? cornerX0 : edgeX0, innerX1 = cornerRow ? cornerX1 : edgeX1;
      auto scalePixels = [&](int x0, int x1) {
        for (int x = x0; x < x1; ++x) {
          const uint32_t f = coverageFactor(roundedRectCoverage(R, r, E, x + 0.5, py));
          if (f < 255) kernels::scalar::scaleRow(row + (x - req.x), row + (x - req.x), static_cast<uint8_t>(f), 1);
        }
      };
      scalePixels(area.x, innerX0);
      if (innerX0 < innerX1) {
        const uint32_t f = coverageFactor(roundedRectCoverage(R, r, E, (innerX0 + innerX1) / 2.0, py));
        if (f < 255)
          kernels::scaleRow(row + (innerX0 - req.x), row + (innerX0 - req.x), static_cast<uint8_t>(f), innerX1 - innerX0);
      }
      scalePixels(innerX1, area.maxX());
    }
  });
  return t;
}

Tile Evaluator::evalPerspective(const Node& n, const IRect& req) {
  const IRect outRect = outerPixels(n.extent).intersection(req);
  const Node& child = *n.inputs[0];
  // The whole source may be needed: a projective map has no cheap inverse bound.
  const IRect srcRect = outerPixels(child.extent);
  if (srcRect.width > kHuge / 2 || srcRect.height > kHuge / 2) return Tile{req, nullptr};
  Tile src = eval(child, srcRect);
  if (!src.buf) return Tile{req, nullptr};
  Tile out = allocate(req);
  warpProjective(pool, src.view(), n.projective, outRect, out);
  return out;
}

Tile Evaluator::evalCustom(const Node& n, const IRect& req) {
  const IRect outRect = outerPixels(n.extent).intersection(req);
  const Rect outArea{static_cast<double>(outRect.x), static_cast<double>(outRect.y),
                     static_cast<double>(outRect.width), static_cast<double>(outRect.height)};
  std::vector<Tile> tiles;
  std::vector<RasterView> views;
  for (size_t i = 0; i < n.inputs.size(); ++i) {
    const Rect roi = n.kernel->regionOfInterest(static_cast<int>(i), outArea);
    IRect r = outerPixels(roi).intersection(outerPixels(n.inputs[i]->extent));
    if (r.isEmpty()) r = IRect{outRect.x, outRect.y, 1, 1};
    tiles.push_back(eval(*n.inputs[i], r));
    if (!tiles.back().buf) tiles.back() = allocate(r);
  }
  for (auto& t : tiles) views.push_back(t.view());
  Tile out = allocate(req);
  pool.parallelFor(outRect.height, [&](int k0, int k1) {
    const IRect band{outRect.x, outRect.maxY() - k1, outRect.width, k1 - k0};
    n.kernel->apply(views, band, reinterpret_cast<uint8_t*>(out.pixel(band.x, band.maxY() - 1)), out.buf->stride());
  });
  return out;
}

Tile Evaluator::evalBlur(const Node& n, const IRect& req) {
  return blurTile(pool, buffers, n.value, req, [&](const IRect& r) { return eval(*n.inputs[0], r); });
}

}  // namespace

Renderer::Renderer(int threads, std::shared_ptr<BufferPool> pool)
    : threads_(std::make_unique<ThreadPool>(threads)), buffers_(pool ? std::move(pool) : BufferPool::create()) {}

Renderer::~Renderer() = default;

void Renderer::render(const Image& image, PixelBuffer& target, Point origin) {
  const IRect req{clampInt(std::round(origin.x)), clampInt(std::round(origin.y)), target.width(), target.height()};
  if (target.format() != PixelFormat::bgra8) return;
  // Not owned: the evaluator may write into it in place.
  BufferRef direct(&target, [](PixelBuffer*) {});
  Evaluator ev{*threads_, *buffers_, direct, req};
  Tile t = ev.eval(*image.node(), req);
  if (t.buf.get() == &target && t.col == 0 && t.line == 0) return;
  for (int k = 0; k < target.height(); ++k) {
    if (t.buf)
      std::memcpy(target.row(k), t.row(k), static_cast<size_t>(target.width()) * 4);
    else
      std::memset(target.row(k), 0, static_cast<size_t>(target.width()) * 4);
  }
}

void Renderer::render(const Image& image, uint8_t* data, int width, int height, std::ptrdiff_t stride,
                      Point origin) {
  PixelBuffer view(data, width, height, stride, PixelFormat::bgra8);
  render(image, view, origin);
}

BufferRef Renderer::makeBitmap(const Image& image, const Rect& rect) {
  if (!rect.isFinite() || rect.isEmpty()) return nullptr;
  const Rect r = rect.integral();
  if (r.width > 1 << 15 || r.height > 1 << 15) return nullptr;
  auto out = makeBuffer(static_cast<int>(r.width), static_cast<int>(r.height), PixelFormat::bgra8);
  render(image, *out, Point{r.x, r.y});
  return out;
}

}  // namespace vantrel::graphics
