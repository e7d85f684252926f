#pragma once
// The perspective kernel: draws a flat scene as a tilted plane. Each output
// pixel is mapped back onto the scene through a 3 x 3 projective transform and
// filtered by how much scene it covers there (a mip chain, blended between
// levels), so the far side of a steep plane averages its detail instead of
// aliasing into moiré. The same pixel mixes towards a softened copy of the
// scene by its distance from the plane of focus (depth of field), fades out
// over the softened edges of the viewport and is antialiased where the plane
// ends. Outside the plane the output is clear.
//
// Kernel space: pixel coordinates with the origin at the TOP-LEFT corner and
// y downwards, for the output (its height is the `outputSize` argument) and for
// the scene alike. An output pixel's centre (x + 0.5, y + 0.5) in drawing space
// (y up) is q = (x + 0.5, outputHeight - y - 0.5) in kernel space.
//
// Arguments, in the order the kernel takes them:
//   0 image       the sharp scene (a PerspectiveTexture)
//   1 softened    the same scene blurred for the out-of-focus parts (or the scene itself)
//   2-4 inverse   rows of H: (X, Y, Z) = H (q.x, q.y, 1) and the scene point is
//                 s = (X / Z, Y / Z); Z <= 1e-6 (behind the eye) is clear
//   5 depth       plane coefficients: the depth at scene point s is
//                 depth[0] s.x + depth[1] s.y + depth[2]
//   6 focusDepth  the depth that is sharp
//   7 blurSpan    how far from focusDepth the blur reaches its greatest radius
//                 (<= 0: any depth off focus is fully blurred)
//   8 blurRadius  the greatest blur radius in pixels. The circle of confusion is
//                 c = blurRadius * min(|depth - focusDepth| / blurSpan, 1); the
//                 pixel takes the softened copy by smoothstep((c - 0.5) /
//                 (blurRadius - 0.5)), so anything under half a pixel stays
//                 sharp and blurRadius <= 0.5 never blurs
//   9 viewport    (x, y, width, height) in scene pixels: the part of the scene that
//                 forms the plane (with the scene's own bounds); a width or height
//                 <= 0 means the whole scene
//  10 edgeBlur    softening in scene pixels of the viewport's left, top, right and
//                 bottom edge: alpha ramps from 0 at the edge to 1 that far inside;
//                 0 is a hard edge, antialiased over one output pixel
//  11 outputSize  (width, height) of the output rectangle
//
// Threads: textures are immutable once made and may be sampled from any
// thread; the images made here render like any other image.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "vantrel/graphics/image.h"
#include "vantrel/graphics/renderer.h"

namespace vantrel::graphics {

namespace kernels {

// Deepest mip chain a texture carries: level 11 is 1/2048 of the picture, past
// any footprint a plane still visible on screen has.
constexpr int kPerspectiveMaxLevels = 12;

// A scene picture and its mip chain in one buffer (see PerspectiveTexture).
// Level k is ceil(width / 2^k) x ceil(height / 2^k) pixels, each the rounded
// mean of the 2 x 2 pixels of level k - 1 it covers (edge pixels repeated), and
// starts `offsets[k]` pixels (not bytes) after `data`; rows are `stride` bytes
// apart. `baseLevel` says how much smaller than the scene level 0 is (a
// softened copy is stored at reduced size), and (originX, originY) is the
// kernel-space position of level 0's top-left corner.
struct PerspectiveTextureView {
  const uint8_t* data = nullptr;
  std::ptrdiff_t stride = 0;
  int width = 0, height = 0;  // level 0
  int levels = 0;
  int baseLevel = 0;
  float originX = 0, originY = 0;
  int32_t offsets[kPerspectiveMaxLevels] = {};
};

// The kernel's value arguments, as the row kernels take them.
struct PerspectiveParams {
  float inverse[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  float depth[3] = {0, 0, 0};
  float focusDepth = 0, blurSpan = 0, blurRadius = 0;
  float viewport[4] = {0, 0, 0, 0};
  float edgeBlur[4] = {0, 0, 0, 0};
  float outputWidth = 0, outputHeight = 0;
};

// One output row: pixel i has its centre at kernel-space (x0 + i, qy).
struct PerspectiveRow {
  const PerspectiveTextureView* image = nullptr;
  const PerspectiveTextureView* softened = nullptr;
  const PerspectiveParams* params = nullptr;
  float x0 = 0.5f, qy = 0.5f;
};
void perspectiveRow(const PerspectiveRow& row, uint32_t* out, int n);

// One row of the next mip level: out pixel j = rounded mean of in0 and in1
// pixels 2j and 2j + 1 per channel (pixel inWidth - 1 repeated past the end);
// ceil(inWidth / 2) pixels.
void mipReduceRow(const uint32_t* in0, const uint32_t* in1, uint32_t* out, int inWidth);

namespace scalar {
void perspectiveRow(const PerspectiveRow& row, uint32_t* out, int n);
void mipReduceRow(const uint32_t* in0, const uint32_t* in1, uint32_t* out, int inWidth);
}  // namespace scalar

}  // namespace kernels

// A scene rendered once for sampling by the kernel, with its mip chain.
class PerspectiveTexture {
 public:
  // Renders `scene` over `rect` (drawing space, rounded outwards to whole
  // pixels; at most 16384 pixels a side) and builds the chain; `outputHeight`
  // places it in kernel space. Nothing when the rect is empty or too large.
  static std::shared_ptr<const PerspectiveTexture> make(Renderer& renderer, const Image& scene, const Rect& rect,
                                                        double outputHeight);
  // The blurred copy of `sharp`: its picture at 1 / 2^reduce size blurred by a
  // Gaussian of `sigma` scene pixels (clear beyond the picture), with its own
  // chain. reduce is chosen from sigma so that the blur stays accurate.
  static std::shared_ptr<const PerspectiveTexture> softenedFrom(Renderer& renderer, const PerspectiveTexture& sharp,
                                                                double sigma);

  const kernels::PerspectiveTextureView& view() const { return view_; }
  // Level 0 as an image in drawing space (shares the pixels).
  Image levelImage(int level) const;
  Rect rect() const { return rect_; }

 private:
  PerspectiveTexture() = default;
  void buildChain(ThreadPool& pool);
  BufferRef buffer_;
  std::shared_ptr<const PerspectiveTexture> keep_;
  Rect rect_;
  kernels::PerspectiveTextureView view_;
};

// The twelve kernel arguments (see the top of this file) in double precision.
struct PerspectiveKernelArguments {
  std::array<double, 3> inverseRow0{1, 0, 0}, inverseRow1{0, 1, 0}, inverseRow2{0, 0, 1};
  std::array<double, 3> depth{0, 0, 0};
  double focusDepth = 0, blurSpan = 0, blurRadius = 0;
  std::array<double, 4> viewport{0, 0, 0, 0};
  std::array<double, 4> edgeBlur{0, 0, 0, 0};
  std::array<double, 2> outputSize{0, 0};
  // False when a number is not finite.
  bool isFinite() const;
};

// The kernel applied over `extent` (drawing space): an image that computes its
// pixels when rendered. Empty when an argument is not finite, a texture is
// missing or the extent is empty.
Image perspectiveKernelImage(std::shared_ptr<const PerspectiveTexture> image,
                             std::shared_ptr<const PerspectiveTexture> softened,
                             const PerspectiveKernelArguments& arguments, const Rect& extent);

// Whether the compiled kernel is present and sound on this machine: decided
// once per process by running it on a small probe (an identity view of a known
// picture must give the picture back; the CPU's SIMD path must agree with the
// reference on a tilted view). Thread-safe.
bool perspectiveKernelAvailable();

}  // namespace vantrel::graphics
