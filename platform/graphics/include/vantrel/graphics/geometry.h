#pragma once
// Geometry shared by the recipe graph, the vector drawing and the renderer.
// Drawing space has its origin at the bottom left with y growing upwards;
// pixel buffers store their rows top first, and the renderer does the flip.

#include <algorithm>
#include <cmath>
#include <limits>

namespace vantrel::graphics {

struct Point {
  double x = 0;
  double y = 0;
};

// A rectangle in drawing space. An infinite rectangle (solid colours, gradients)
// is represented by infinite width and height; an empty one has a side <= 0.
struct Rect {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;

  static Rect infinite() {
    const double inf = std::numeric_limits<double>::infinity();
    return {-inf / 2, -inf / 2, inf, inf};
  }
  bool isInfinite() const { return std::isinf(width) || std::isinf(height); }
  bool isEmpty() const { return !(width > 0) || !(height > 0); }
  bool isFinite() const {
    return std::isfinite(x) && std::isfinite(y) && std::isfinite(width) && std::isfinite(height);
  }
  double minX() const { return x; }
  double minY() const { return y; }
  double maxX() const { return isInfinite() ? std::numeric_limits<double>::infinity() : x + width; }
  double maxY() const { return isInfinite() ? std::numeric_limits<double>::infinity() : y + height; }
  double midX() const { return x + width / 2; }
  double midY() const { return y + height / 2; }

  Rect intersection(const Rect& o) const {
    if (isEmpty() || o.isEmpty()) return {};
    if (isInfinite()) return o;
    if (o.isInfinite()) return *this;
    const double x0 = std::max(x, o.x), y0 = std::max(y, o.y);
    const double x1 = std::min(maxX(), o.maxX()), y1 = std::min(maxY(), o.maxY());
    if (!(x1 > x0) || !(y1 > y0)) return {};
    return {x0, y0, x1 - x0, y1 - y0};
  }
  Rect unionWith(const Rect& o) const {
    if (isEmpty()) return o;
    if (o.isEmpty()) return *this;
    if (isInfinite() || o.isInfinite()) return infinite();
    const double x0 = std::min(x, o.x), y0 = std::min(y, o.y);
    return {x0, y0, std::max(maxX(), o.maxX()) - x0, std::max(maxY(), o.maxY()) - y0};
  }
  Rect insetBy(double dx, double dy) const {
    if (isInfinite()) return *this;
    return {x + dx, y + dy, width - 2 * dx, height - 2 * dy};
  }
  // Smallest rectangle with integer corners that holds this one.
  Rect integral() const {
    if (isInfinite() || isEmpty()) return *this;
    const double x0 = std::floor(x), y0 = std::floor(y);
    return {x0, y0, std::ceil(maxX()) - x0, std::ceil(maxY()) - y0};
  }
};

// Integer pixel rectangle in drawing space (y up). Used by the renderer.
struct IRect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  bool isEmpty() const { return width <= 0 || height <= 0; }
  int maxX() const { return x + width; }
  int maxY() const { return y + height; }
  IRect intersection(const IRect& o) const {
    const int x0 = std::max(x, o.x), y0 = std::max(y, o.y);
    const int x1 = std::min(maxX(), o.maxX()), y1 = std::min(maxY(), o.maxY());
    if (x1 <= x0 || y1 <= y0) return {};
    return {x0, y0, x1 - x0, y1 - y0};
  }
  IRect outset(int d) const { return {x - d, y - d, width + 2 * d, height + 2 * d}; }
  bool operator==(const IRect&) const = default;
};

// Affine map in the Core-Graphics convention: x' = a*x + c*y + tx, y' = b*x + d*y + ty.
struct Affine {
  double a = 1, b = 0, c = 0, d = 1, tx = 0, ty = 0;

  static Affine translation(double dx, double dy) { return {1, 0, 0, 1, dx, dy}; }
  static Affine scale(double sx, double sy) { return {sx, 0, 0, sy, 0, 0}; }
  static Affine rotation(double radians) {
    const double cs = std::cos(radians), sn = std::sin(radians);
    return {cs, sn, -sn, cs, 0, 0};
  }
  // this applied first, then `next`.
  Affine then(const Affine& n) const {
    return {a * n.a + b * n.c, a * n.b + b * n.d, c * n.a + d * n.c,
            c * n.b + d * n.d, tx * n.a + ty * n.c + n.tx, tx * n.b + ty * n.d + n.ty};
  }
  Point apply(Point p) const { return {a * p.x + c * p.y + tx, b * p.x + d * p.y + ty}; }
  double determinant() const { return a * d - b * c; }
  bool isFinite() const {
    return std::isfinite(a) && std::isfinite(b) && std::isfinite(c) && std::isfinite(d) &&
           std::isfinite(tx) && std::isfinite(ty);
  }
  bool isInvertible() const { return isFinite() && std::abs(determinant()) > 1e-12; }
  Affine inverted() const {
    const double det = determinant();
    const double ia = d / det, ib = -b / det, ic = -c / det, id = a / det;
    return {ia, ib, ic, id, -(tx * ia + ty * ic), -(tx * ib + ty * id)};
  }
  bool isAxisAligned() const { return b == 0 && c == 0; }
  bool isIdentity() const { return a == 1 && b == 0 && c == 0 && d == 1 && tx == 0 && ty == 0; }
  // Bounding box of a transformed rectangle.
  Rect apply(const Rect& r) const {
    if (r.isInfinite()) return r;
    const Point p[4] = {apply(Point{r.x, r.y}), apply(Point{r.maxX(), r.y}),
                        apply(Point{r.x, r.maxY()}), apply(Point{r.maxX(), r.maxY()})};
    double x0 = p[0].x, x1 = p[0].x, y0 = p[0].y, y1 = p[0].y;
    for (const Point& q : p) {
      x0 = std::min(x0, q.x); x1 = std::max(x1, q.x);
      y0 = std::min(y0, q.y); y1 = std::max(y1, q.y);
    }
    return {x0, y0, x1 - x0, y1 - y0};
  }
};

}  // namespace vantrel::graphics
