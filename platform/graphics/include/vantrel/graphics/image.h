#pragma once
// Lazy image recipes. An Image describes how to compute pixels; nothing is
// computed until a Renderer renders it. Images are immutable values that share
// their inputs, cheap to copy and safe to use from several threads.
//
// Space: drawing space, origin at the bottom left, y up, one unit per pixel.
// Pixels: premultiplied BGRA8 in sRGB. Outside its extent an image is clear.

#include <memory>
#include <vector>

#include "vantrel/graphics/color.h"
#include "vantrel/graphics/geometry.h"
#include "vantrel/graphics/pixel_buffer.h"

namespace vantrel::graphics {

struct Node;

// Colour matrix on straight (unpremultiplied) components in 0...1: each output
// channel is the dot product of its vector with (r, g, b, a) plus its bias.
struct ColorMatrix {
  double r[4] = {1, 0, 0, 0};
  double g[4] = {0, 1, 0, 0};
  double b[4] = {0, 0, 1, 0};
  double a[4] = {0, 0, 0, 1};
  double bias[4] = {0, 0, 0, 0};
  static ColorMatrix alphaScale(double factor) {
    ColorMatrix m;
    m.a[3] = factor;
    return m;
  }
};

// A read-only window of pixels placed in drawing space: `rect` gives the
// pixels' position; row 0 of `data` is the top row (y = rect.maxY() - 1).
struct RasterView {
  const uint8_t* data = nullptr;
  std::ptrdiff_t stride = 0;
  IRect rect;
  uint32_t pixel(int x, int y) const {  // drawing-space integer pixel, clear outside
    if (x < rect.x || y < rect.y || x >= rect.maxX() || y >= rect.maxY()) return 0;
    return reinterpret_cast<const uint32_t*>(data + (rect.maxY() - 1 - y) * stride)[x - rect.x];
  }
};

// Bilinear sample at a drawing-space position (pixel centres at +0.5), clear outside.
// Returns premultiplied channels B, G, R, A in 0...255.
void sampleBilinear(const RasterView& view, double x, double y, float out[4]);

// A user kernel computed per output region (the role of a compiled GPU kernel).
// apply() is called with each input rendered over the region its
// regionOfInterest() asked for, and fills `out` (cleared beforehand) whose rect
// is the requested output region. It may run concurrently on different
// regions and must give the same pixel whatever region it is asked for.
class CustomKernel {
 public:
  virtual ~CustomKernel() = default;
  virtual Rect regionOfInterest(int inputIndex, const Rect& outputRect) const = 0;
  virtual void apply(const std::vector<RasterView>& inputs, const IRect& outRect, uint8_t* out,
                     std::ptrdiff_t outStride) const = 0;
};

class Image {
 public:
  Image();  // the empty image

  // The buffer's pixels at (0, 0, width, height). The buffer is shared, not
  // copied: it must not be written while the image may still be rendered.
  static Image fromBuffer(BufferRef buffer);
  // External premultiplied BGRA8 pixels at (0, 0, width, height), top row
  // first, read in place (no copy). `data` and `stride` must be multiples of
  // 64 and each row must fit in the stride (throws std::invalid_argument
  // otherwise). The image and every image built from it hold `keepAlive`
  // (release the memory when it goes); the pixels must not change while any of
  // them may be rendered. Renders from any thread, like any image.
  static Image fromExternalBGRA(const uint8_t* data, int width, int height, std::ptrdiff_t stride,
                                std::shared_ptr<const void> keepAlive);
  static Image solid(Color color);  // infinite extent
  static Image empty();
  // Two-point linear gradient, clamped beyond both ends; infinite extent.
  static Image linearGradient(Point p0, Color c0, Point p1, Color c1);
  static Image custom(std::shared_ptr<const CustomKernel> kernel, Rect extent, std::vector<Image> inputs);

  Rect extent() const;
  bool isEmpty() const;

  // Resampled with bilinear filtering (prefiltered when shrinking).
  Image transformed(const Affine& m) const;
  Image translated(double dx, double dy) const { return transformed(Affine::translation(dx, dy)); }
  Image cropped(const Rect& rect) const;
  // Cut to a rounded rectangle (corner radius clamped to half the shorter
  // side), edges antialiased by pixel coverage. Only the pixels along the
  // outline are touched, which makes it much cheaper than a full-size mask.
  Image clippedToRoundedRect(const Rect& rect, double radius) const;
  // This image over `background` (source-over).
  Image composited(const Image& background) const;
  // Gaussian blur of the given standard deviation in pixels (at most 500); the extent grows by 3 sigma.
  Image gaussianBlur(double sigma) const;
  // Lanczos3 resampling by `scale` vertically and scale * aspectRatio horizontally,
  // about the origin, prefiltered when shrinking.
  Image lanczosScaled(double scale, double aspectRatio) const;
  // This image where the mask is 1, `background` where it is 0, mixed in between.
  // The mask's green channel is its value (grey bitmaps give g = grey level).
  Image blendedWithMask(const Image& background, const Image& mask) const;
  Image colorMatrix(const ColorMatrix& matrix) const;
  Image alphaMultiplied(double factor) const { return colorMatrix(ColorMatrix::alphaScale(factor)); }
  // Square cells of `cellSize` pixels, one cell centred on `centre`, each the
  // mean of the pixels it covers.
  Image pixellated(double cellSize, Point centre) const;
  // Projective warp: each output pixel centre p maps to the source point
  // inverse * (p.x, p.y, 1) (rows of `inverse` as given); bilinear sampling,
  // clear outside the source, edges antialiased. Output extent is `extent`.
  Image perspectiveWarped(const double inverse[9], const Rect& extent) const;

  const std::shared_ptr<const Node>& node() const { return node_; }

 private:
  explicit Image(std::shared_ptr<const Node> node) : node_(std::move(node)) {}
  std::shared_ptr<const Node> node_;
};

}  // namespace vantrel::graphics
