#pragma once
// Tiles and the raster passes the renderer builds on. Internal.

#include <functional>

#include "node.h"
#include "vantrel/graphics/image.h"
#include "vantrel/graphics/thread_pool.h"

namespace vantrel::graphics {

// Pixels of a drawing-space rectangle; a null buffer means all clear. A shared
// tile is a window into pixels it does not own (a source image): it must be
// copied before anything is written into it.
struct Tile {
  IRect rect;
  BufferRef buf;
  int col = 0, line = 0;  // where the rectangle's top-left pixel sits in buf
  bool shared = false;
  uint32_t* row(int k) { return buf->pixelRow(line + k) + col; }
  const uint32_t* row(int k) const { return buf->pixelRow(line + k) + col; }
  uint32_t* pixel(int x, int y) { return row(rect.maxY() - 1 - y) + (x - rect.x); }
  const uint32_t* pixel(int x, int y) const { return row(rect.maxY() - 1 - y) + (x - rect.x); }
  RasterView view() const {
    if (!buf) return RasterView{nullptr, 0, IRect{}};
    return RasterView{reinterpret_cast<const uint8_t*>(row(0)), buf->stride(), rect};
  }
};

// Separable resampling of `src` through the axis-aligned map `m` into `outRect` of `out`.
void resampleSeparable(ThreadPool& pool, const Tile& src, const Affine& m, Filter filter, const IRect& outRect,
                       Tile& out);
// Scales the border pixels of `outRect` by how much of each the exact extent covers.
void applyEdgeCoverage(Tile& out, const IRect& outRect, const Rect& extent);
// out pixel p = bilinear sample of `src` at inverse * p; clear outside the source.
void warpAffine(ThreadPool& pool, const RasterView& src, const Affine& inverse, const IRect& outRect, Tile& out);
// out pixel p = sample of `src` at H * (p, 1), clamped inside the source and
// faded over one output pixel at the source's edges.
void warpProjective(ThreadPool& pool, const RasterView& src, const double h[9], const IRect& outRect, Tile& out);
// Gaussian blur of standard deviation sigma over `req`; `child` renders the input over a rect.
Tile blurTile(ThreadPool& pool, BufferPool& buffers, double sigma, const IRect& req,
              const std::function<Tile(const IRect&)>& child);

// Box widths whose three passes approximate a Gaussian of `sigma` (radii returned).
void boxRadiiForGaussian(double sigma, int radii[3]);
// The resampling kernels, exposed for the float reference in tests.
double lanczos3(double x);

}  // namespace vantrel::graphics
