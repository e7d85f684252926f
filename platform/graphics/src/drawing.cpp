#include "vantrel/graphics/drawing.h"

#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>

#include "vantrel/graphics/renderer.h"

namespace vantrel::graphics {
namespace {
bool ok(double v) { return std::isfinite(v); }
bool ok(Point p) { return ok(p.x) && ok(p.y); }
bool ok(const Rect& r) { return r.isFinite() && r.width > 0 && r.height > 0; }
}  // namespace

std::unique_ptr<BitmapContext> BitmapContext::create(int width, int height, BitmapKind kind) {
  if (width <= 0 || height <= 0 || width > kMaxSide || height > kMaxSide) return nullptr;
  cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
  if (cairo_surface_status(s) != CAIRO_STATUS_SUCCESS) {
    cairo_surface_destroy(s);
    return nullptr;
  }
  cairo_t* cr = cairo_create(s);
  if (cairo_status(cr) != CAIRO_STATUS_SUCCESS) {
    cairo_destroy(cr);
    cairo_surface_destroy(s);
    return nullptr;
  }
  auto ctx = std::unique_ptr<BitmapContext>(new BitmapContext(width, height, kind, s, cr));
  ctx->clear();
  return ctx;
}

BitmapContext::BitmapContext(int width, int height, BitmapKind kind, cairo_surface_t* surface, cairo_t* cr)
    : width_(width), height_(height), kind_(kind), surface_(surface), cr_(cr), state_(1) {
  // Drawing space has y up; cairo's device space has it down.
  cairo_translate(cr_, 0, height);
  cairo_scale(cr_, 1, -1);
  cairo_set_fill_rule(cr_, CAIRO_FILL_RULE_WINDING);
  cairo_set_line_width(cr_, 1.0);
}

BitmapContext::~BitmapContext() {
  cairo_destroy(cr_);
  cairo_surface_destroy(surface_);
}

void BitmapContext::saveState() {
  cairo_save(cr_);
  state_.push_back(state_.back());
}

void BitmapContext::restoreState() {
  if (state_.size() <= 1) return;
  cairo_restore(cr_);
  state_.pop_back();
}

void BitmapContext::translate(double dx, double dy) {
  if (ok(dx) && ok(dy)) cairo_translate(cr_, dx, dy);
}
void BitmapContext::scale(double sx, double sy) {
  if (ok(sx) && ok(sy) && sx != 0 && sy != 0) cairo_scale(cr_, sx, sy);
}
void BitmapContext::rotate(double radians) {
  if (ok(radians)) cairo_rotate(cr_, radians);
}
void BitmapContext::concat(const Affine& m) {
  if (!m.isInvertible()) return;
  cairo_matrix_t cm;
  cairo_matrix_init(&cm, m.a, m.b, m.c, m.d, m.tx, m.ty);
  cairo_transform(cr_, &cm);
}
void BitmapContext::setFillColor(Color c) {
  if (c.isFinite()) state_.back().fill = c;
}
void BitmapContext::setStrokeColor(Color c) {
  if (c.isFinite()) state_.back().stroke = c;
}
void BitmapContext::setLineWidth(double w) {
  if (ok(w) && w >= 0) cairo_set_line_width(cr_, w);
}
void BitmapContext::setLineCap(LineCap cap) {
  cairo_set_line_cap(cr_, cap == LineCap::round ? CAIRO_LINE_CAP_ROUND
                          : cap == LineCap::square ? CAIRO_LINE_CAP_SQUARE : CAIRO_LINE_CAP_BUTT);
}
void BitmapContext::setLineJoin(LineJoin join) {
  cairo_set_line_join(cr_, join == LineJoin::round ? CAIRO_LINE_JOIN_ROUND
                           : join == LineJoin::bevel ? CAIRO_LINE_JOIN_BEVEL : CAIRO_LINE_JOIN_MITER);
}
void BitmapContext::setAlpha(double a) {
  if (ok(a)) state_.back().alpha = std::clamp(a, 0.0, 1.0);
}
void BitmapContext::setShadow(Point offset, double blur, Color color) {
  if (!ok(offset) || !ok(blur) || blur < 0 || !color.isFinite()) return;
  auto& s = state_.back();
  s.shadow = true;
  s.shadowOffset = offset;
  s.shadowBlur = blur;
  s.shadowColor = color;
}
void BitmapContext::clearShadow() { state_.back().shadow = false; }

void BitmapContext::moveTo(Point p) {
  if (ok(p)) cairo_move_to(cr_, p.x, p.y);
}
void BitmapContext::lineTo(Point p) {
  if (!ok(p)) return;
  if (cairo_has_current_point(cr_)) cairo_line_to(cr_, p.x, p.y);
  else cairo_move_to(cr_, p.x, p.y);
}
void BitmapContext::curveTo(Point c1, Point c2, Point p) {
  if (!ok(c1) || !ok(c2) || !ok(p)) return;
  if (!cairo_has_current_point(cr_)) cairo_move_to(cr_, c1.x, c1.y);
  cairo_curve_to(cr_, c1.x, c1.y, c2.x, c2.y, p.x, p.y);
}
void BitmapContext::closePath() {
  if (cairo_has_current_point(cr_)) cairo_close_path(cr_);
}
void BitmapContext::addRect(const Rect& r) {
  if (ok(r)) cairo_rectangle(cr_, r.x, r.y, r.width, r.height);
}
void BitmapContext::addRoundedRect(const Rect& r, double radius) {
  if (!ok(r) || !ok(radius) || radius < 0) return;
  const double rad = std::min(radius, std::min(r.width, r.height) / 2);
  if (rad <= 0) {
    cairo_rectangle(cr_, r.x, r.y, r.width, r.height);
    return;
  }
  // Circular arcs, counter-clockwise in y-up space, like a rounded-rect path.
  const double pi = 3.14159265358979323846;
  cairo_new_sub_path(cr_);
  cairo_arc(cr_, r.maxX() - rad, r.y + rad, rad, -pi / 2, 0);
  cairo_arc(cr_, r.maxX() - rad, r.maxY() - rad, rad, 0, pi / 2);
  cairo_arc(cr_, r.x + rad, r.maxY() - rad, rad, pi / 2, pi);
  cairo_arc(cr_, r.x + rad, r.y + rad, rad, pi, 3 * pi / 2);
  cairo_close_path(cr_);
}

void BitmapContext::setSourceColor(cairo_t* cr, Color c) const {
  const double a = std::clamp(c.a, 0.0, 1.0) * state_.back().alpha;
  if (kind_ == BitmapKind::grey) {
    const double l = std::clamp(0.2126 * c.r + 0.7152 * c.g + 0.0722 * c.b, 0.0, 1.0);
    cairo_set_source_rgba(cr, l, l, l, a);
  } else {
    cairo_set_source_rgba(cr, std::clamp(c.r, 0.0, 1.0), std::clamp(c.g, 0.0, 1.0), std::clamp(c.b, 0.0, 1.0), a);
  }
}

void BitmapContext::paintWithShadow(const std::function<void(cairo_t*)>& draw) {
  const State& st = state_.back();
  if (!st.shadow || st.shadowColor.a <= 0) {
    draw(cr_);
    return;
  }
  // Draw the shape alone on a scratch layer with the same transform, derive the
  // shadow from its alpha, then lay shadow and shape down through the clip. All
  // of it happens inside the device box the shape and its shadow can reach.
  double ux0, uy0, ux1, uy1;
  cairo_path_extents(cr_, &ux0, &uy0, &ux1, &uy1);
  double lw = cairo_get_line_width(cr_), lwy = lw;
  cairo_user_to_device_distance(cr_, &lw, &lwy);
  const double reach = std::max(std::abs(lw), std::abs(lwy)) + 2;
  double bx0 = 1e30, by0 = 1e30, bx1 = -1e30, by1 = -1e30;
  for (double cx : {ux0, ux1})
    for (double cy : {uy0, uy1}) {
      double dx = cx, dy = cy;
      cairo_user_to_device(cr_, &dx, &dy);
      bx0 = std::min(bx0, dx); bx1 = std::max(bx1, dx);
      by0 = std::min(by0, dy); by1 = std::max(by1, dy);
    }
  const double spread = 3 * st.shadowBlur / 2 + 2;
  const double ox = st.shadowOffset.x, oy = -st.shadowOffset.y;  // device space has y down
  const int x0 = static_cast<int>(std::clamp(std::floor(std::min(bx0, bx0 + ox - spread) - reach), 0.0, double(width_)));
  const int y0 = static_cast<int>(std::clamp(std::floor(std::min(by0, by0 + oy - spread) - reach), 0.0, double(height_)));
  const int x1 = static_cast<int>(std::clamp(std::ceil(std::max(bx1, bx1 + ox + spread) + reach), 0.0, double(width_)));
  const int y1 = static_cast<int>(std::clamp(std::ceil(std::max(by1, by1 + oy + spread) + reach), 0.0, double(height_)));
  const int bw = x1 - x0, bh = y1 - y0;
  if (bw <= 0 || bh <= 0) {
    cairo_new_path(cr_);
    return;
  }
  cairo_surface_t* layer = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, bw, bh);
  cairo_t* lc = cairo_create(layer);
  cairo_matrix_t m;
  cairo_get_matrix(cr_, &m);
  m.x0 -= x0;
  m.y0 -= y0;
  cairo_set_matrix(lc, &m);
  cairo_set_fill_rule(lc, CAIRO_FILL_RULE_WINDING);
  cairo_set_line_width(lc, cairo_get_line_width(cr_));
  cairo_set_line_cap(lc, cairo_get_line_cap(cr_));
  cairo_set_line_join(lc, cairo_get_line_join(cr_));
  cairo_path_t* path = cairo_copy_path(cr_);
  cairo_new_path(cr_);
  cairo_append_path(lc, path);
  cairo_path_destroy(path);
  draw(lc);
  cairo_destroy(lc);
  cairo_surface_flush(layer);

  auto alpha = graphics::makeBuffer(bw, bh, PixelFormat::bgra8);
  const uint32_t tint = Color{st.shadowColor.r, st.shadowColor.g, st.shadowColor.b, 1}.premultipliedBGRA();
  const double sa = std::clamp(st.shadowColor.a, 0.0, 1.0);
  const uint8_t* src = cairo_image_surface_get_data(layer);
  const int stride = cairo_image_surface_get_stride(layer);
  for (int y = 0; y < bh; ++y) {
    const uint32_t* s = reinterpret_cast<const uint32_t*>(src + static_cast<std::ptrdiff_t>(y) * stride);
    uint32_t* d = alpha->pixelRow(y);
    for (int x = 0; x < bw; ++x) {
      const double a = ((s[x] >> 24) & 255) / 255.0 * sa;
      uint32_t v = 0;
      for (int c = 0; c < 4; ++c) v |= static_cast<uint32_t>(std::lround(((tint >> (8 * c)) & 255) * a)) << (8 * c);
      d[x] = v;
    }
  }
  // The box in drawing space (y up) starts at (x0, height - y1).
  const Point origin{static_cast<double>(x0), static_cast<double>(height_ - y1)};
  const Image shadow = Image::fromBuffer(alpha)
                           .translated(origin.x, origin.y)
                           .gaussianBlur(st.shadowBlur / 2)
                           .translated(st.shadowOffset.x, st.shadowOffset.y);
  Renderer renderer(1);
  auto blurred = graphics::makeBuffer(bw, bh, PixelFormat::bgra8);
  renderer.render(shadow, *blurred, origin);
  cairo_surface_t* shadowSurface = cairo_image_surface_create_for_data(
      blurred->data(), CAIRO_FORMAT_ARGB32, bw, bh, static_cast<int>(blurred->stride()));
  cairo_save(cr_);
  cairo_identity_matrix(cr_);
  cairo_set_source_surface(cr_, shadowSurface, x0, y0);
  cairo_paint(cr_);
  cairo_set_source_surface(cr_, layer, x0, y0);
  cairo_paint(cr_);
  cairo_restore(cr_);
  cairo_surface_destroy(shadowSurface);
  cairo_surface_destroy(layer);
}

void BitmapContext::fillPath() {
  const Color c = state_.back().fill;
  paintWithShadow([&](cairo_t* cr) {
    setSourceColor(cr, c);
    cairo_fill(cr);
  });
  cairo_new_path(cr_);
}

void BitmapContext::strokePath() {
  const Color c = state_.back().stroke;
  if (cairo_get_line_width(cr_) <= 0) {
    cairo_new_path(cr_);
    return;
  }
  paintWithShadow([&](cairo_t* cr) {
    setSourceColor(cr, c);
    cairo_stroke(cr);
  });
  cairo_new_path(cr_);
}

void BitmapContext::clipToPath() {
  cairo_set_fill_rule(cr_, CAIRO_FILL_RULE_WINDING);
  cairo_clip(cr_);
}

void BitmapContext::fillRect(const Rect& r) {
  if (!ok(r)) return;
  cairo_new_path(cr_);
  cairo_rectangle(cr_, r.x, r.y, r.width, r.height);
  fillPath();
}

void BitmapContext::clear() {
  cairo_save(cr_);
  cairo_reset_clip(cr_);
  cairo_set_operator(cr_, CAIRO_OPERATOR_SOURCE);
  if (kind_ == BitmapKind::grey) cairo_set_source_rgba(cr_, 0, 0, 0, 1);
  else cairo_set_source_rgba(cr_, 0, 0, 0, 0);
  cairo_paint(cr_);
  cairo_restore(cr_);
}

void BitmapContext::drawRadialGradient(Point c0, double r0, Point c1, double r1, const std::vector<GradientStop>& stops,
                                       bool extend) {
  if (!ok(c0) || !ok(c1) || !ok(r0) || !ok(r1) || r0 < 0 || r1 < 0 || stops.empty()) return;
  cairo_pattern_t* p = cairo_pattern_create_radial(c0.x, c0.y, r0, c1.x, c1.y, r1);
  for (const auto& s : stops) {
    if (!ok(s.location) || !s.color.isFinite()) continue;
    const Color c = s.color;
    const double a = std::clamp(c.a, 0.0, 1.0) * state_.back().alpha;
    if (kind_ == BitmapKind::grey) {
      const double l = std::clamp(0.2126 * c.r + 0.7152 * c.g + 0.0722 * c.b, 0.0, 1.0);
      cairo_pattern_add_color_stop_rgba(p, std::clamp(s.location, 0.0, 1.0), l, l, l, a);
    } else {
      cairo_pattern_add_color_stop_rgba(p, std::clamp(s.location, 0.0, 1.0), c.r, c.g, c.b, a);
    }
  }
  cairo_pattern_set_extend(p, extend ? CAIRO_EXTEND_PAD : CAIRO_EXTEND_NONE);
  cairo_save(cr_);
  cairo_new_path(cr_);
  cairo_set_source(cr_, p);
  cairo_paint(cr_);
  cairo_restore(cr_);
  cairo_pattern_destroy(p);
}

void BitmapContext::drawBuffer(const PixelBuffer& px, const Rect& r) {
  if (!ok(r) || px.format() != PixelFormat::bgra8) return;
  cairo_surface_t* s = cairo_image_surface_create_for_data(const_cast<uint8_t*>(px.data()), CAIRO_FORMAT_ARGB32,
                                                           px.width(), px.height(), static_cast<int>(px.stride()));
  cairo_save(cr_);
  // The buffer's top row goes to the rectangle's top edge.
  cairo_translate(cr_, r.x, r.maxY());
  cairo_scale(cr_, r.width / px.width(), -r.height / px.height());
  cairo_set_source_surface(cr_, s, 0, 0);
  cairo_pattern_set_filter(cairo_get_source(cr_), CAIRO_FILTER_BILINEAR);
  cairo_new_path(cr_);
  cairo_rectangle(cr_, 0, 0, px.width(), px.height());
  cairo_clip(cr_);
  cairo_paint_with_alpha(cr_, state_.back().alpha);
  cairo_restore(cr_);
  cairo_surface_destroy(s);
}

BufferRef BitmapContext::makeBuffer() const {
  cairo_surface_flush(surface_);
  auto out = graphics::makeBuffer(width_, height_, PixelFormat::bgra8);
  const uint8_t* src = cairo_image_surface_get_data(surface_);
  const int stride = cairo_image_surface_get_stride(surface_);
  for (int y = 0; y < height_; ++y) {
    const uint32_t* s = reinterpret_cast<const uint32_t*>(src + static_cast<std::ptrdiff_t>(y) * stride);
    uint32_t* d = out->pixelRow(y);
    if (kind_ == BitmapKind::grey) {
      for (int x = 0; x < width_; ++x) {
        const uint32_t g = (s[x] >> 8) & 255;
        d[x] = 0xff000000u | (g << 16) | (g << 8) | g;
      }
    } else {
      std::memcpy(d, s, static_cast<size_t>(width_) * 4);
    }
  }
  return out;
}

BufferRef BitmapContext::makeMask() const {
  cairo_surface_flush(surface_);
  auto out = graphics::makeBuffer(width_, height_, PixelFormat::a8);
  const uint8_t* src = cairo_image_surface_get_data(surface_);
  const int stride = cairo_image_surface_get_stride(surface_);
  for (int y = 0; y < height_; ++y) {
    const uint32_t* s = reinterpret_cast<const uint32_t*>(src + static_cast<std::ptrdiff_t>(y) * stride);
    uint8_t* d = out->row(y);
    for (int x = 0; x < width_; ++x)
      d[x] = static_cast<uint8_t>(kind_ == BitmapKind::grey ? (s[x] >> 8) & 255 : s[x] >> 24);
  }
  return out;
}

}  // namespace vantrel::graphics
