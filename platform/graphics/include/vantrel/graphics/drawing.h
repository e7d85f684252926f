#pragma once
// Vector drawing into 8-bit bitmaps (on cairo). Coordinates: origin at the
// bottom left, y up, one unit per pixel before any transform, as for images.
//
// Any call with a NaN or infinite number, a negative size or radius, or a
// zero-sized rectangle draws nothing and leaves the state as it was. Paths are
// consumed by fill, stroke and clip. Fills use the non-zero winding rule.
// A context is used by one thread at a time.

#include <functional>
#include <memory>
#include <vector>

#include "vantrel/graphics/color.h"
#include "vantrel/graphics/geometry.h"
#include "vantrel/graphics/image.h"
#include "vantrel/graphics/pixel_buffer.h"

typedef struct _cairo cairo_t;
typedef struct _cairo_surface cairo_surface_t;

namespace vantrel::graphics {

// rgba: premultiplied colour with alpha, starts clear.
// grey: one grey level per pixel, no alpha, starts black; colours count by their luminance.
enum class BitmapKind { rgba, grey };
enum class LineCap { butt, round, square };
enum class LineJoin { miter, round, bevel };

struct GradientStop {
  double location = 0;  // 0...1 from the start circle to the end circle
  Color color;
};

class BitmapContext {
 public:
  // Largest side accepted; bigger or non-positive sizes give no context.
  static constexpr int kMaxSide = 16384;
  static std::unique_ptr<BitmapContext> create(int width, int height, BitmapKind kind = BitmapKind::rgba);
  ~BitmapContext();
  BitmapContext(const BitmapContext&) = delete;
  BitmapContext& operator=(const BitmapContext&) = delete;

  int width() const { return width_; }
  int height() const { return height_; }
  BitmapKind kind() const { return kind_; }

  // Graphics state (transform, colours, line style, alpha, shadow, clip).
  void saveState();
  void restoreState();
  void translate(double dx, double dy);
  void scale(double sx, double sy);
  void rotate(double radians);
  void concat(const Affine& m);
  void setFillColor(Color c);
  void setStrokeColor(Color c);
  void setLineWidth(double width);
  void setLineCap(LineCap cap);
  void setLineJoin(LineJoin join);
  void setAlpha(double alpha);  // global alpha, 0...1
  // Shadow under everything drawn next: offset in unscaled units (y up), blur ~ 2 sigma.
  void setShadow(Point offset, double blur, Color color);
  void clearShadow();

  // Path building.
  void moveTo(Point p);
  void lineTo(Point p);
  void curveTo(Point c1, Point c2, Point p);
  void closePath();
  void addRect(const Rect& r);
  // Corner radius clamped to half the shorter side.
  void addRoundedRect(const Rect& r, double radius);

  // Painting.
  void fillPath();
  void strokePath();
  void clipToPath();
  void fillRect(const Rect& r);
  void clear();  // whole bitmap back to its initial state, ignoring clip and transform
  // Radial gradient between two circles, painted over the clip; extended beyond both ends when `extend`.
  void drawRadialGradient(Point c0, double r0, Point c1, double r1, const std::vector<GradientStop>& stops,
                          bool extend = true);
  // Draws a BGRA buffer into a rectangle (bilinear scaling).
  void drawBuffer(const PixelBuffer& pixels, const Rect& r);

  // The bitmap as premultiplied BGRA (grey contexts give grey, grey, grey, 255).
  BufferRef makeBuffer() const;
  // A grey context's levels as an A8 mask (rgba contexts give their alpha).
  BufferRef makeMask() const;
  Image makeImage() const { return Image::fromBuffer(makeBuffer()); }

  // For the text engine: the cairo context with the current state.
  cairo_t* cairoContext() { return cr_; }
  // Runs `draw` with the current fill/stroke set-up, adding the shadow if one is set.
  void paintWithShadow(const std::function<void(cairo_t*)>& draw);
  void setSourceColor(cairo_t* cr, Color c) const;
  Color fillColor() const { return state_.back().fill; }
  bool hasShadow() const { return state_.back().shadow && state_.back().shadowColor.a > 0; }
  Color strokeColor() const { return state_.back().stroke; }

 private:
  BitmapContext(int width, int height, BitmapKind kind, cairo_surface_t* surface, cairo_t* cr);
  struct State {
    Color fill{0, 0, 0, 1}, stroke{0, 0, 0, 1};
    double alpha = 1;
    bool shadow = false;
    Point shadowOffset;
    double shadowBlur = 0;
    Color shadowColor;
  };
  int width_, height_;
  BitmapKind kind_;
  cairo_surface_t* surface_;
  cairo_t* cr_;
  std::vector<State> state_;
};

}  // namespace vantrel::graphics
