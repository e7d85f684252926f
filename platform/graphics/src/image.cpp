#include <algorithm>
#include <cmath>

#include "node.h"
#include "vantrel/graphics/image.h"

namespace vantrel::graphics {
namespace {

std::shared_ptr<const Node> emptyNode() {
  static const auto node = std::make_shared<const Node>();
  return node;
}

bool finite(double v) { return std::isfinite(v); }

}  // namespace

Image::Image() : node_(emptyNode()) {}

Image Image::empty() { return Image(); }

Image Image::fromBuffer(BufferRef buffer) {
  if (!buffer || buffer->format() != PixelFormat::bgra8) return Image();
  auto n = std::make_shared<Node>();
  n->kind = NodeKind::buffer;
  n->extent = {0, 0, static_cast<double>(buffer->width()), static_cast<double>(buffer->height())};
  n->buffer = std::move(buffer);
  return Image(std::move(n));
}

Image Image::fromExternalBGRA(const uint8_t* data, int width, int height, std::ptrdiff_t stride,
                              std::shared_ptr<const void> keepAlive) {
  // The cast is safe: a buffer node's pixels are only read (tiles that are
  // written are copies).
  return fromBuffer(wrapExternalBuffer(const_cast<uint8_t*>(data), width, height, stride, std::move(keepAlive)));
}

Image Image::solid(Color color) {
  if (!color.isFinite() || color.a <= 0) return Image();
  auto n = std::make_shared<Node>();
  n->kind = NodeKind::solid;
  n->extent = Rect::infinite();
  n->color = color;
  return Image(std::move(n));
}

Image Image::linearGradient(Point p0, Color c0, Point p1, Color c1) {
  if (!finite(p0.x) || !finite(p0.y) || !finite(p1.x) || !finite(p1.y) || !c0.isFinite() || !c1.isFinite())
    return Image();
  auto n = std::make_shared<Node>();
  n->kind = NodeKind::gradient;
  n->extent = Rect::infinite();
  n->p0 = p0;
  n->p1 = p1;
  n->color = c0;
  n->color2 = c1;
  return Image(std::move(n));
}

Image Image::custom(std::shared_ptr<const CustomKernel> kernel, Rect extent, std::vector<Image> inputs) {
  if (!kernel || extent.isEmpty() || !extent.isFinite()) return Image();
  auto n = std::make_shared<Node>();
  n->kind = NodeKind::custom;
  n->extent = extent;
  n->kernel = std::move(kernel);
  for (auto& i : inputs) n->inputs.push_back(i.node_);
  return Image(std::move(n));
}

Rect Image::extent() const { return node_->extent; }
bool Image::isEmpty() const { return node_->kind == NodeKind::empty || node_->extent.isEmpty(); }

Image Image::transformed(const Affine& m) const {
  if (isEmpty() || !m.isInvertible()) return Image();
  if (m.isIdentity()) return *this;
  // Solid colours are unchanged by any invertible map.
  if (node_->kind == NodeKind::solid) return *this;
  auto n = std::make_shared<Node>();
  n->kind = NodeKind::transform;
  n->extent = m.apply(node_->extent);
  n->matrix = m;
  n->filter = Filter::linear;
  n->inputs = {node_};
  return Image(std::move(n));
}

Image Image::lanczosScaled(double scale, double aspectRatio) const {
  if (isEmpty() || !finite(scale) || !finite(aspectRatio) || scale <= 0 || aspectRatio <= 0) return Image();
  Image out = transformed(Affine::scale(scale * aspectRatio, scale));
  if (out.node_->kind == NodeKind::transform) {
    auto n = std::make_shared<Node>(*out.node_);
    n->filter = Filter::lanczos3;
    return Image(std::move(n));
  }
  return out;
}

Image Image::cropped(const Rect& rect) const {
  if (isEmpty() || !(rect.isFinite() || rect.isInfinite())) return Image();
  const Rect e = node_->extent.intersection(rect);
  if (e.isEmpty()) return Image();
  if (rect.isInfinite()) return *this;
  auto n = std::make_shared<Node>();
  n->kind = NodeKind::crop;
  n->extent = e;
  n->rect = rect;
  n->inputs = {node_};
  return Image(std::move(n));
}

Image Image::clippedToRoundedRect(const Rect& rect, double radius) const {
  if (isEmpty() || !rect.isFinite() || rect.isEmpty() || !finite(radius)) return Image();
  const Rect e = node_->extent.intersection(rect);
  if (e.isEmpty()) return Image();
  auto n = std::make_shared<Node>();
  n->kind = NodeKind::roundedClip;
  n->extent = e;
  n->rect = rect;
  n->value = std::clamp(radius, 0.0, std::min(rect.width, rect.height) / 2);
  n->inputs = {node_};
  return Image(std::move(n));
}

Image Image::composited(const Image& background) const {
  if (isEmpty()) return background;
  if (background.isEmpty()) return *this;
  auto n = std::make_shared<Node>();
  n->kind = NodeKind::composite;
  n->extent = node_->extent.unionWith(background.node_->extent);
  n->inputs = {node_, background.node_};
  return Image(std::move(n));
}

Image Image::gaussianBlur(double sigma) const {
  if (isEmpty()) return Image();
  if (!finite(sigma) || sigma <= 0.0) return *this;
  auto n = std::make_shared<Node>();
  n->kind = NodeKind::blur;
  n->value = std::min(sigma, 500.0);  // keeps the region a blur needs bounded
  n->extent = node_->extent.insetBy(-3 * n->value, -3 * n->value).integral();
  n->inputs = {node_};
  return Image(std::move(n));
}

Image Image::blendedWithMask(const Image& background, const Image& mask) const {
  auto n = std::make_shared<Node>();
  n->kind = NodeKind::blendMask;
  n->extent = node_->extent.intersection(mask.node_->extent).unionWith(background.node_->extent);
  if (n->extent.isEmpty()) return Image();
  n->inputs = {node_, background.node_, mask.node_};
  return Image(std::move(n));
}

Image Image::colorMatrix(const ColorMatrix& m) const {
  if (isEmpty()) return Image();
  for (int i = 0; i < 4; ++i)
    if (!finite(m.r[i]) || !finite(m.g[i]) || !finite(m.b[i]) || !finite(m.a[i]) || !finite(m.bias[i])) return *this;
  auto n = std::make_shared<Node>();
  n->kind = NodeKind::colorMatrix;
  // A non-zero alpha bias makes the clear surroundings visible: infinite extent.
  n->extent = m.bias[3] > 0 ? Rect::infinite() : node_->extent;
  n->colorMatrix = m;
  n->inputs = {node_};
  return Image(std::move(n));
}

Image Image::pixellated(double cellSize, Point centre) const {
  if (isEmpty() || !finite(cellSize) || !finite(centre.x) || !finite(centre.y)) return Image();
  if (cellSize < 1) return *this;
  auto n = std::make_shared<Node>();
  n->kind = NodeKind::pixellate;
  n->extent = node_->extent;
  n->value = std::min(cellSize, 1e5);
  n->p0 = centre;
  n->inputs = {node_};
  return Image(std::move(n));
}

Image Image::perspectiveWarped(const double inverse[9], const Rect& extent) const {
  if (isEmpty() || extent.isEmpty() || !extent.isFinite()) return Image();
  for (int i = 0; i < 9; ++i)
    if (!finite(inverse[i])) return Image();
  auto n = std::make_shared<Node>();
  n->kind = NodeKind::perspective;
  n->extent = extent;
  for (int i = 0; i < 9; ++i) n->projective[i] = inverse[i];
  n->inputs = {node_};
  return Image(std::move(n));
}

}  // namespace vantrel::graphics
