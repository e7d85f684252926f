#pragma once
// The recipe graph's nodes. Internal to the graphics library.

#include <memory>
#include <vector>

#include "vantrel/graphics/image.h"

namespace vantrel::graphics {

enum class NodeKind {
  empty, buffer, solid, gradient, transform, crop, composite, blur, blendMask, colorMatrix, pixellate,
  perspective, custom, roundedClip
};

enum class Filter { linear, lanczos3 };

struct Node {
  NodeKind kind = NodeKind::empty;
  Rect extent;
  std::vector<std::shared_ptr<const Node>> inputs;
  BufferRef buffer;                         // buffer
  Color color, color2;                      // solid, gradient
  Point p0, p1;                             // gradient; pixellate centre in p0
  Affine matrix;                            // transform
  Filter filter = Filter::linear;           // transform
  Rect rect;                                // crop, roundedClip
  double value = 0;                         // blur sigma, pixellate cell size, clip radius
  ColorMatrix colorMatrix;                  // colorMatrix
  double projective[9] = {};                // perspective inverse
  std::shared_ptr<const CustomKernel> kernel;  // custom
};

}  // namespace vantrel::graphics
