// Build-time generator of the cursor glyph set shipped in the export program's
// resource bundle.
//
//   vantrel_cursor_glyphs --out-dir <bundle dir>      every glyph PNG, then manifest.json
//   vantrel_cursor_glyphs --contact-sheet <file.png>  an overview of both families (docs)
//
// Every glyph is a list of vector parts in "natural units" (a 32 x 32 box, y
// down, hotspot given in the same units) rasterised at kPixelsPerUnit. The
// output depends only on this file and the cairo version, so repeated builds
// write the same bytes (cairo's PNG writer stores no time stamp).

#include <cairo.h>
#include <png.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr int kNaturalUnits = 32;     // natural width and height of every glyph
constexpr double kNatural = kNaturalUnits;
constexpr int kPixelsPerUnit = 8;     // 256 px rasters: a 240 px draw only shrinks them
constexpr int kRaster = kNaturalUnits * kPixelsPerUnit;
constexpr double kPi = 3.14159265358979323846;

struct Rgb {
  double r, g, b;
};

// A family: "ink" is the body colour, "paper" the outline colour (also used for
// details drawn inside a body, so they read as cut-outs).
struct Style {
  const char* name;
  Rgb ink;
  Rgb paper;
  double outline;        // outline width outside the body, natural units
  double shadowAlpha;    // peak opacity of the drop shadow
};

constexpr Style kStyles[] = {
    {"default", {0.07, 0.07, 0.07}, {1.0, 1.0, 1.0}, 1.2, 0.42},
    {"white", {1.0, 1.0, 1.0}, {0.09, 0.09, 0.09}, 1.1, 0.42},
};

// Shadow geometry in natural units; the blur is three box passes.
constexpr double kShadowDx = 0.3;
constexpr double kShadowDy = 1.0;
constexpr int kShadowBoxRadiusPx = 6;

enum class Role { Ink, Paper };

struct Rect {
  double x, y, w, h;
};

// One piece of a glyph: a path that is filled, or stroked `width` wide with
// round caps and joins. For the outline, an outlined part is painted grown by
// the outline width on every side; details (outlined = false) are drawn over
// a body without an outline of their own.
struct Part {
  std::function<void(cairo_t*)> path;
  double width = 0.0;  // 0: fill the path; otherwise stroke it this wide
  Role role = Role::Ink;
  bool outlined = true;
  std::optional<Rect> clip;
};

// Groups are drawn in order, each as outline then body, so a later group's
// outline separates it from what lies below (fingers, badges).
using Group = std::vector<Part>;

struct Glyph {
  std::string key;
  double hotspotX, hotspotY;
  std::vector<Group> groups;
};

// ---------------------------------------------------------------- path helpers

using PathFn = std::function<void(cairo_t*)>;

PathFn polygon(std::vector<std::pair<double, double>> pts) {
  return [pts = std::move(pts)](cairo_t* cr) {
    cairo_move_to(cr, pts[0].first, pts[0].second);
    for (size_t i = 1; i < pts.size(); ++i) cairo_line_to(cr, pts[i].first, pts[i].second);
    cairo_close_path(cr);
  };
}

PathFn rect(double x, double y, double w, double h) {
  return [=](cairo_t* cr) { cairo_rectangle(cr, x, y, w, h); };
}

PathFn roundedRect(double x, double y, double w, double h, double r) {
  return [=](cairo_t* cr) {
    cairo_new_sub_path(cr);
    cairo_arc(cr, x + w - r, y + r, r, -kPi / 2, 0);
    cairo_arc(cr, x + w - r, y + h - r, r, 0, kPi / 2);
    cairo_arc(cr, x + r, y + h - r, r, kPi / 2, kPi);
    cairo_arc(cr, x + r, y + r, r, kPi, 3 * kPi / 2);
    cairo_close_path(cr);
  };
}

PathFn circle(double cx, double cy, double r) {
  return [=](cairo_t* cr) {
    cairo_new_sub_path(cr);
    cairo_arc(cr, cx, cy, r, 0, 2 * kPi);
    cairo_close_path(cr);
  };
}

PathFn segment(double x0, double y0, double x1, double y1) {
  return [=](cairo_t* cr) {
    cairo_move_to(cr, x0, y0);
    cairo_line_to(cr, x1, y1);
  };
}

PathFn arc(double cx, double cy, double r, double a0, double a1) {
  return [=](cairo_t* cr) {
    cairo_new_sub_path(cr);
    cairo_arc(cr, cx, cy, r, a0, a1);
  };
}

// A path transformed about (cx, cy): rotation in degrees, then translation.
PathFn rotated(PathFn inner, double cx, double cy, double degrees) {
  return [=](cairo_t* cr) {
    cairo_save(cr);
    cairo_translate(cr, cx, cy);
    cairo_rotate(cr, degrees * kPi / 180.0);
    cairo_translate(cr, -cx, -cy);
    inner(cr);
    cairo_restore(cr);  // the path survives; only the matrix is restored
  };
}

Part fill(PathFn p, Role role = Role::Ink) { return Part{std::move(p), 0.0, role, true, std::nullopt}; }
Part stroke(PathFn p, double w, Role role = Role::Ink) { return Part{std::move(p), w, role, true, std::nullopt}; }
Part detail(PathFn p, Role role = Role::Paper, double w = 0.0) {
  return Part{std::move(p), w, role, false, std::nullopt};
}

// ---------------------------------------------------------------- glyph shapes
// Shared geometry keeps stroke weights equal across the set: resize arrows use
// kShaft/kHeadLength/kHeadHalf, thin lines use kThin.

constexpr double kCentre = 15.5;  // centred glyphs sit slightly up-left of the box centre: the shadow falls down-right
constexpr double kThin = 2.0;
constexpr double kShaft = 2.6;
constexpr double kHeadLength = 5.6;
constexpr double kHeadHalf = 5.0;

// The arrow: tip at the origin of its own coordinates, 20 units tall.
std::vector<std::pair<double, double>> arrowPoints(double tx, double ty) {
  const std::pair<double, double> pts[] = {
      {0.0, 0.0}, {0.0, 17.4}, {4.15, 13.55}, {6.85, 19.75}, {9.55, 18.6}, {6.9, 12.55}, {12.3, 12.3},
  };
  std::vector<std::pair<double, double>> out;
  for (auto [x, y] : pts) out.push_back({x + tx, y + ty});
  return out;
}

constexpr double kArrowTipX = 7.0;
constexpr double kArrowTipY = 4.5;

Group arrowGroup() { return {fill(polygon(arrowPoints(kArrowTipX, kArrowTipY)))}; }

// Horizontal double-headed arrow centred on (cx, cy) with half-length `half`.
PathFn doubleArrow(double cx, double cy, double half, double hl = kHeadLength, double hh = kHeadHalf) {
  const double s = kShaft / 2;
  return polygon({{cx - half, cy},
                  {cx - half + hl, cy - hh},
                  {cx - half + hl, cy - s},
                  {cx + half - hl, cy - s},
                  {cx + half - hl, cy - hh},
                  {cx + half, cy},
                  {cx + half - hl, cy + hh},
                  {cx + half - hl, cy + s},
                  {cx - half + hl, cy + s},
                  {cx - half + hl, cy + hh}});
}

// Single arrow pointing right from x0 to its tip at x1, centred vertically on cy.
PathFn singleArrow(double x0, double x1, double cy) {
  const double s = kShaft / 2, hl = kHeadLength, hh = kHeadHalf;
  return polygon({{x0, cy - s}, {x1 - hl, cy - s}, {x1 - hl, cy - hh}, {x1, cy}, {x1 - hl, cy + hh},
                  {x1 - hl, cy + s}, {x0, cy + s}});
}

// An edge resize: an arrow pointing right at an edge bar, rotated to `degrees`.
Glyph edgeResize(const char* key, double degrees) {
  const double c = kCentre;
  PathFn bar = rect(c + 6.6, c - 7.5, 2.4, 15.0);
  PathFn shaft = singleArrow(c - 9.0, c + 5.4, c);
  return {key, c, c, {{fill(rotated(shaft, c, c, degrees)), fill(rotated(bar, c, c, degrees))}}};
}

// A corner resize: an arrow along the diagonal into a corner bracket. Drawn
// for the south-east corner, turned in quarter turns for the others.
Glyph cornerResize(const char* key, double degrees) {
  const double c = kCentre, t = 2.4, k = 7.6, arm = 9.2;
  PathFn shaft = rotated(singleArrow(c - 8.6, c + 5.0, c), c, c, 45);
  PathFn bracket = polygon({{c + k, c + k - arm},
                            {c + k, c + k},
                            {c + k - arm, c + k},
                            {c + k - arm, c + k - t},
                            {c + k - t, c + k - t},
                            {c + k - t, c + k - arm}});
  return {key, c, c, {{fill(rotated(shaft, c, c, degrees)), fill(rotated(bracket, c, c, degrees))}}};
}

Glyph doubleResize(const char* key, double degrees, double half) {
  const double c = kCentre;
  return {key, c, c, {{fill(rotated(doubleArrow(c, c, half), c, c, degrees))}}};
}

// Splitter: two bars with arrows pointing away from them.
Glyph splitter(const char* key, double degrees) {
  const double c = kCentre;
  Group g;
  g.push_back(fill(rotated(rect(c - 2.6, c - 8.5, 1.9, 17.0), c, c, degrees)));
  g.push_back(fill(rotated(rect(c + 0.7, c - 8.5, 1.9, 17.0), c, c, degrees)));
  // Left arrow mirrored from a right-pointing one.
  g.push_back(fill(rotated(singleArrow(c + 2.6, c + 11.5, c), c, c, degrees)));
  g.push_back(fill(rotated(singleArrow(c + 2.6, c + 11.5, c), c, c, degrees + 180)));
  return {key, c, c, {g}};
}

Glyph ibeam(const char* key, double degrees) {
  const double c = kCentre, half = 9.5, serif = 3.4, t = kThin;
  PathFn stem = rect(c - t / 2, c - half + t * 0.5, t, 2 * half - t);
  PathFn top = roundedRect(c - serif, c - half - t / 2, 2 * serif, t, t / 2);
  PathFn bottom = roundedRect(c - serif, c + half - t / 2, 2 * serif, t, t / 2);
  return {key, c, c,
          {{fill(rotated(stem, c, c, degrees)), fill(rotated(top, c, c, degrees)),
            fill(rotated(bottom, c, c, degrees))}}};
}

Glyph crosshair() {
  const double c = kCentre, half = 10.0, t = kThin, gap = 2.6;
  Group g;
  g.push_back(fill(rect(c - t / 2, c - half, t, half - gap)));
  g.push_back(fill(rect(c - t / 2, c + gap, t, half - gap)));
  g.push_back(fill(rect(c - half, c - t / 2, half - gap, t)));
  g.push_back(fill(rect(c + gap, c - t / 2, half - gap, t)));
  g.push_back(fill(circle(c, c, 1.0)));
  return {"crosshair", c, c, {g}};
}

Glyph cell() {
  const double c = kCentre, half = 8.5, t = 5.4;
  PathFn shape = polygon({{c - t / 2, c - half}, {c + t / 2, c - half}, {c + t / 2, c - t / 2}, {c + half, c - t / 2},
                          {c + half, c + t / 2}, {c + t / 2, c + t / 2}, {c + t / 2, c + half}, {c - t / 2, c + half},
                          {c - t / 2, c + t / 2}, {c - half, c + t / 2}, {c - half, c - t / 2}, {c - t / 2, c - t / 2}});
  return {"cell", c, c, {{fill(shape)}}};
}

Glyph move() {
  // Narrower heads than the resize arrows leave the four notches between them open.
  const double c = kCentre, half = 11.4, hl = 5.0, hh = 4.3;
  return {"move", c, c,
          {{fill(doubleArrow(c, c, half, hl, hh)), fill(rotated(doubleArrow(c, c, half, hl, hh), c, c, 90))}}};
}

Group notAllowedGroup(double cx, double cy, double r, double w) {
  const double d = r * std::sqrt(0.5);
  return {stroke(circle(cx, cy, r), w), stroke(segment(cx - d, cy - d, cx + d, cy + d), w)};
}

Glyph notAllowed() {
  const double c = kCentre;
  return {"not-allowed", c, c, {notAllowedGroup(c, c, 8.0, 2.8)}};
}

// The hourglass: two plates and a pinched glass, sand shown in the outline colour.
Glyph wait() {
  const double c = kCentre;
  PathFn glass = [c](cairo_t* cr) {
    cairo_move_to(cr, c - 6.0, c - 8.6);
    cairo_line_to(cr, c + 6.0, c - 8.6);
    cairo_curve_to(cr, c + 6.0, c - 3.5, c + 1.3, c - 2.0, c + 1.3, c);
    cairo_curve_to(cr, c + 1.3, c + 2.0, c + 6.0, c + 3.5, c + 6.0, c + 8.6);
    cairo_line_to(cr, c - 6.0, c + 8.6);
    cairo_curve_to(cr, c - 6.0, c + 3.5, c - 1.3, c + 2.0, c - 1.3, c);
    cairo_curve_to(cr, c - 1.3, c - 2.0, c - 6.0, c - 3.5, c - 6.0, c - 8.6);
    cairo_close_path(cr);
  };
  PathFn sandTop = polygon({{c - 3.4, c - 5.0}, {c + 3.4, c - 5.0}, {c, c - 1.4}});
  PathFn sandBottom = [c](cairo_t* cr) {
    cairo_move_to(cr, c - 4.3, c + 7.4);
    cairo_curve_to(cr, c - 3.0, c + 4.6, c - 0.5, c + 4.2, c, c + 4.2);
    cairo_curve_to(cr, c + 0.5, c + 4.2, c + 3.0, c + 4.6, c + 4.3, c + 7.4);
    cairo_close_path(cr);
  };
  Group body{fill(glass), fill(roundedRect(c - 7.6, c - 11.0, 15.2, 2.6, 1.0)),
             fill(roundedRect(c - 7.6, c + 8.4, 15.2, 2.6, 1.0))};
  Group sand{detail(sandTop), detail(sandBottom), detail(rect(c - 0.35, c - 1.6, 0.7, 5.9))};
  return {"wait", c, c, {body, sand}};
}

// Badges sit below-right of the arrow, centred on (kBadgeX, kBadgeY).
constexpr double kBadgeX = 21.8;
constexpr double kBadgeY = 22.4;

Glyph arrowWith(const char* key, std::vector<Group> badge) {
  std::vector<Group> groups{arrowGroup()};
  for (auto& g : badge) groups.push_back(std::move(g));
  return {key, kArrowTipX, kArrowTipY, std::move(groups)};
}

Glyph copyGlyph() {
  const double x = kBadgeX, y = kBadgeY;
  Group disc{fill(circle(x, y, 5.0))};
  Group plus{detail(rect(x - 3.0, y - 0.9, 6.0, 1.8)), detail(rect(x - 0.9, y - 3.0, 1.8, 6.0))};
  return arrowWith("copy", {disc, plus});
}

Glyph aliasGlyph() {
  const double x = kBadgeX, y = kBadgeY;
  Group disc{fill(circle(x, y, 5.0))};
  // A hooked arrow: a quarter turn up and to the right, ending in a head.
  Group hook{detail(arc(x + 1.6, y + 2.8, 3.6, kPi, 1.5 * kPi), Role::Paper, 1.5),
             detail(polygon({{x + 1.2, y - 3.4}, {x + 3.9, y - 0.8}, {x + 1.2, y + 1.8}}))};
  return arrowWith("alias", {disc, hook});
}

Glyph helpGlyph() {
  const double x = kBadgeX, y = kBadgeY;
  Group disc{fill(circle(x, y, 5.0))};
  Group mark{detail(
                 [x, y](cairo_t* cr) {
                   cairo_new_sub_path(cr);
                   cairo_arc(cr, x, y - 1.4, 1.9, kPi * 1.05, kPi * 2.25);
                   cairo_curve_to(cr, x + 1.2, y - 0.1, x, y + 0.2, x, y + 1.2);
                 },
                 Role::Paper, 1.5),
             detail(circle(x, y + 3.1, 0.9))};
  return arrowWith("help", {disc, mark});
}

Glyph progressGlyph() {
  const double x = kBadgeX, y = kBadgeY;
  Group track{fill(circle(x, y, 5.0))};
  Group spin{detail(arc(x, y, 3.1, -kPi / 2, kPi * 0.95), Role::Paper, 1.6)};
  return arrowWith("progress", {track, spin});
}

Glyph contextMenu() {
  const double x = kBadgeX - 2.6, y = kBadgeY - 4.6;
  Group menu{fill(roundedRect(x, y, 9.0, 10.4, 1.0))};
  Group lines{detail(rect(x + 1.7, y + 2.0, 5.6, 1.2)), detail(rect(x + 1.7, y + 4.6, 5.6, 1.2)),
              detail(rect(x + 1.7, y + 7.2, 5.6, 1.2))};
  return arrowWith("context-menu", {menu, lines});
}

Glyph noDrop() {
  const double x = kBadgeX, y = kBadgeY;
  Group disc{fill(circle(x, y, 5.0))};
  const double r = 2.9, d = r * std::sqrt(0.5);
  Group mark{detail(circle(x, y, r), Role::Paper, 1.3), detail(segment(x - d, y - d, x + d, y + d), Role::Paper, 1.3)};
  return arrowWith("no-drop", {disc, mark});
}

Glyph zoom(const char* key, bool plus) {
  const double cx = 13.2, cy = 13.2, r = 7.6;
  Group handle{stroke(segment(cx + 6.0, cy + 6.0, cx + 11.0, cy + 11.0), 4.0)};
  Group lens{fill(circle(cx, cy, r))};
  Group glass{detail(circle(cx, cy, r - 2.1))};
  Group sign{detail(rect(cx - 3.1, cy - 0.95, 6.2, 1.9), Role::Ink)};
  if (plus) sign.push_back(detail(rect(cx - 0.95, cy - 3.1, 1.9, 6.2), Role::Ink));
  return {key, cx, cy, {handle, lens, glass, sign}};
}

// Hands. Each finger is a capsule (a round-capped stroke) in its own group so
// its outline separates it from its neighbour; `cover` then repaints the palm
// so the fingers' lower ends disappear into it.
Part capsule(double x0, double y0, double x1, double y1, double w) { return stroke(segment(x0, y0, x1, y1), w); }

Part cover(PathFn palm, double fromY) {
  Part p = detail(std::move(palm), Role::Ink);
  p.clip = Rect{0, fromY, kNatural, kNatural - fromY};
  return p;
}

// The palm: small radii at the top (hidden under the fingers' round tips), a
// fuller curve at the heel of the hand.
PathFn palmShape(double x0, double y0, double x1, double y1, double rBottom) {
  const double rTop = 1.6;
  return [=](cairo_t* cr) {
    cairo_move_to(cr, x0, y0 + rTop);
    cairo_arc(cr, x0 + rTop, y0 + rTop, rTop, kPi, 1.5 * kPi);
    cairo_arc(cr, x1 - rTop, y0 + rTop, rTop, 1.5 * kPi, 2 * kPi);
    cairo_line_to(cr, x1, y1 - rBottom);
    cairo_curve_to(cr, x1, y1 - rBottom * 0.3, x1 - rBottom * 0.5, y1, x1 - rBottom, y1);
    cairo_line_to(cr, x0 + rBottom, y1);
    cairo_curve_to(cr, x0 + rBottom * 0.4, y1, x0, y1 - rBottom * 0.4, x0, y1 - rBottom * 1.3);
    cairo_close_path(cr);
  };
}

Glyph pointer() {
  const double fw = 4.2;  // finger width
  const double ix = 12.6, tipY = 3.2;
  PathFn palm = palmShape(ix - fw / 2, 16.4, 25.4, 27.6, 4.6);
  std::vector<Group> g;
  g.push_back({fill(palm), capsule(ix - fw / 2 + 0.2, 22.0, 6.6, 16.8, 3.9)});
  g.push_back({capsule(23.6, 16.6, 23.6, 20.0, 3.6)});
  g.push_back({capsule(20.3, 15.2, 20.3, 20.0, 3.8)});
  g.push_back({capsule(16.8, 14.2, 16.8, 20.0, 4.0)});
  g.push_back({capsule(ix, tipY + fw / 2, ix, 20.0, fw)});
  g.push_back({cover(palm, 19.6)});
  return {"pointer", ix, tipY, g};
}

Glyph grab() {
  PathFn palm = palmShape(9.6, 14.4, 23.8, 27.0, 4.4);
  std::vector<Group> g;
  g.push_back({fill(palm), capsule(10.4, 21.8, 5.6, 15.4, 3.7)});
  g.push_back({capsule(22.2, 17.0, 24.6, 10.0, 3.3)});
  g.push_back({capsule(19.3, 16.0, 20.1, 5.9, 3.6)});
  g.push_back({capsule(15.6, 16.0, 15.6, 4.4, 3.7)});
  g.push_back({capsule(11.9, 16.0, 11.1, 6.2, 3.6)});
  g.push_back({cover(palm, 17.4)});
  return {"grab", 16.0, 17.0, g};
}

Glyph grabbing() {
  PathFn palm = palmShape(9.6, 13.8, 23.8, 26.4, 4.4);
  std::vector<Group> g;
  g.push_back({capsule(11.0, 22.6, 6.6, 18.0, 3.7)});
  g.push_back({fill(palm)});
  g.push_back({capsule(22.0, 13.4, 22.0, 16.5, 3.4)});
  g.push_back({capsule(18.6, 11.6, 18.6, 16.5, 3.6)});
  g.push_back({capsule(15.0, 11.2, 15.0, 16.5, 3.6)});
  g.push_back({capsule(11.4, 12.2, 11.4, 16.5, 3.6)});
  g.push_back({cover(palm, 16.4)});
  return {"grabbing", 16.5, 18.5, g};
}

std::vector<Glyph> makeGlyphs() {
  std::vector<Glyph> v;
  v.push_back(arrowWith("default", {}));
  v.push_back(ibeam("text", 0));
  v.push_back(ibeam("vertical-text", 90));
  v.push_back(crosshair());
  v.push_back(cell());
  v.push_back(pointer());
  v.push_back(grab());
  v.push_back(grabbing());
  v.push_back(move());
  v.push_back(notAllowed());
  v.push_back(wait());
  v.push_back(progressGlyph());
  v.push_back(helpGlyph());
  v.push_back(contextMenu());
  v.push_back(copyGlyph());
  v.push_back(aliasGlyph());
  v.push_back(noDrop());
  v.push_back(zoom("zoom-in", true));
  v.push_back(zoom("zoom-out", false));
  v.push_back(doubleResize("ew-resize", 0, 11.0));
  v.push_back(doubleResize("ns-resize", 90, 11.0));
  v.push_back(doubleResize("nesw-resize", -45, 10.5));
  v.push_back(doubleResize("nwse-resize", 45, 10.5));
  v.push_back(edgeResize("e-resize", 0));
  v.push_back(edgeResize("s-resize", 90));
  v.push_back(edgeResize("w-resize", 180));
  v.push_back(edgeResize("n-resize", 270));
  v.push_back(cornerResize("se-resize", 0));
  v.push_back(cornerResize("sw-resize", 90));
  v.push_back(cornerResize("nw-resize", 180));
  v.push_back(cornerResize("ne-resize", 270));
  v.push_back(splitter("col-resize", 0));
  v.push_back(splitter("row-resize", 90));
  return v;
}

// Every cursor-type name the exporter may be asked for, and the glyph drawn for it.
const std::pair<const char*, const char*> kAliases[] = {
    {"alias", "alias"},
    {"all-scroll", "move"},
    {"cell", "cell"},
    {"col-resize", "col-resize"},
    {"context-menu", "context-menu"},
    {"copy", "copy"},
    {"crosshair", "crosshair"},
    {"default", "default"},
    {"e-resize", "e-resize"},
    {"ew-resize", "ew-resize"},
    {"grab", "grab"},
    {"grabbing", "grabbing"},
    {"help", "help"},
    {"move", "move"},
    {"n-resize", "n-resize"},
    {"ne-resize", "ne-resize"},
    {"nesw-resize", "nesw-resize"},
    {"no-drop", "no-drop"},
    {"not-allowed", "not-allowed"},
    {"ns-resize", "ns-resize"},
    {"nw-resize", "nw-resize"},
    {"nwse-resize", "nwse-resize"},
    {"pointer", "pointer"},
    {"progress", "progress"},
    {"row-resize", "row-resize"},
    {"s-resize", "s-resize"},
    {"se-resize", "se-resize"},
    {"sw-resize", "sw-resize"},
    {"text", "text"},
    {"vertical-text", "vertical-text"},
    {"w-resize", "w-resize"},
    {"wait", "wait"},
    {"zoom-in", "zoom-in"},
    {"zoom-out", "zoom-out"},
};

// ---------------------------------------------------------------- rasterising

void setColour(cairo_t* cr, const Style& s, Role role) {
  const Rgb& c = role == Role::Ink ? s.ink : s.paper;
  cairo_set_source_rgb(cr, c.r, c.g, c.b);
}

// Paints `part` grown by `grow` units on every side (0: the body itself).
void paintPart(cairo_t* cr, const Part& part, double grow) {
  cairo_save(cr);
  if (part.clip) {
    cairo_rectangle(cr, part.clip->x, part.clip->y, part.clip->w, part.clip->h);
    cairo_clip(cr);
  }
  cairo_new_path(cr);
  part.path(cr);
  cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
  cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
  if (part.width > 0) {
    cairo_set_line_width(cr, part.width + 2 * grow);
    cairo_stroke(cr);
  } else if (grow > 0) {
    cairo_set_line_width(cr, 2 * grow);
    cairo_fill_preserve(cr);
    cairo_stroke(cr);
  } else {
    cairo_set_fill_rule(cr, CAIRO_FILL_RULE_WINDING);
    cairo_fill(cr);
  }
  cairo_restore(cr);
}

// Three box passes over the alpha plane approximate a Gaussian; integer sums
// keep the result identical on every machine.
void boxBlur(std::vector<uint8_t>& a, int w, int h, int r) {
  std::vector<uint8_t> tmp(a.size());
  const int n = 2 * r + 1;
  for (int pass = 0; pass < 3; ++pass) {
    for (int y = 0; y < h; ++y) {
      int sum = 0;
      for (int x = -r - 1; x < r; ++x) sum += (x >= 0 && x < w) ? a[y * w + x] : 0;
      for (int x = 0; x < w; ++x) {
        const int add = x + r, sub = x - r - 1;
        sum += (add < w) ? a[y * w + add] : 0;
        sum -= (sub >= 0) ? a[y * w + sub] : 0;
        tmp[y * w + x] = static_cast<uint8_t>((sum + n / 2) / n);
      }
    }
    for (int x = 0; x < w; ++x) {
      int sum = 0;
      for (int y = -r - 1; y < r; ++y) sum += (y >= 0 && y < h) ? tmp[y * w + x] : 0;
      for (int y = 0; y < h; ++y) {
        const int add = y + r, sub = y - r - 1;
        sum += (add < h) ? tmp[add * w + x] : 0;
        sum -= (sub >= 0) ? tmp[sub * w + x] : 0;
        a[y * w + x] = static_cast<uint8_t>((sum + n / 2) / n);
      }
    }
  }
}

// Returns an ARGB32 (premultiplied) surface of kRaster x kRaster pixels.
cairo_surface_t* renderGlyph(const Glyph& g, const Style& s) {
  const double scale = kPixelsPerUnit;

  // Silhouette: every outlined part grown by the outline width.
  cairo_surface_t* mask = cairo_image_surface_create(CAIRO_FORMAT_A8, kRaster, kRaster);
  {
    cairo_t* cr = cairo_create(mask);
    cairo_scale(cr, scale, scale);
    cairo_translate(cr, kShadowDx, kShadowDy);
    cairo_set_source_rgb(cr, 0, 0, 0);
    for (const Group& grp : g.groups)
      for (const Part& p : grp) paintPart(cr, p, p.outlined ? s.outline : 0.0);
    cairo_destroy(cr);
  }
  cairo_surface_flush(mask);
  const int stride = cairo_image_surface_get_stride(mask);
  std::vector<uint8_t> alpha(static_cast<size_t>(kRaster) * kRaster);
  const uint8_t* m = cairo_image_surface_get_data(mask);
  for (int y = 0; y < kRaster; ++y) std::memcpy(&alpha[y * kRaster], m + y * stride, kRaster);
  cairo_surface_destroy(mask);
  boxBlur(alpha, kRaster, kRaster, kShadowBoxRadiusPx);

  cairo_surface_t* out = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, kRaster, kRaster);
  {
    const int os = cairo_image_surface_get_stride(out);
    uint8_t* d = cairo_image_surface_get_data(out);
    for (int y = 0; y < kRaster; ++y)
      for (int x = 0; x < kRaster; ++x) {
        const uint32_t a = static_cast<uint32_t>(std::lround(alpha[y * kRaster + x] * s.shadowAlpha));
        const uint32_t px = a << 24;  // black, premultiplied
        std::memcpy(d + y * os + x * 4, &px, 4);
      }
    cairo_surface_mark_dirty(out);
  }
  cairo_t* cr = cairo_create(out);
  cairo_scale(cr, scale, scale);
  for (const Group& grp : g.groups) {
    for (const Part& p : grp)
      if (p.outlined) {
        setColour(cr, s, Role::Paper);
        paintPart(cr, p, s.outline);
      }
    for (const Part& p : grp) {
      setColour(cr, s, p.role);
      paintPart(cr, p, 0.0);
    }
  }
  cairo_destroy(cr);
  cairo_surface_flush(out);
  return out;
}

std::string fileName(const Style& s, const Glyph& g) { return std::string("cursor-") + s.name + "-" + g.key + ".png"; }

std::string number(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.3f", v);
  std::string t = buf;
  while (t.size() > 1 && t.back() == '0' && t[t.size() - 2] != '.') t.pop_back();
  return t;
}

bool writeText(const std::filesystem::path& p, const std::string& text) {
  FILE* f = std::fopen(p.c_str(), "wb");
  if (!f) return false;
  const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  return std::fclose(f) == 0 && ok;
}

int writeBundle(const std::filesystem::path& dir) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) {
    std::fprintf(stderr, "cursor_glyphs: cannot create %s\n", dir.c_str());
    return 1;
  }
  const std::vector<Glyph> glyphs = makeGlyphs();
  std::string json = "{\n  \"aliases\": {\n";
  for (size_t i = 0; i < std::size(kAliases); ++i)
    json += std::string("    \"") + kAliases[i].first + "\": \"" + kAliases[i].second + "\"" +
            (i + 1 < std::size(kAliases) ? ",\n" : "\n");
  json += "  },\n  \"families\": [\n";
  for (size_t si = 0; si < std::size(kStyles); ++si) {
    const Style& s = kStyles[si];
    json += std::string("    { \"style\": \"") + s.name + "\",\n      \"glyphs\": [\n";
    for (size_t gi = 0; gi < glyphs.size(); ++gi) {
      const Glyph& g = glyphs[gi];
      const std::string name = fileName(s, g);
      cairo_surface_t* img = renderGlyph(g, s);
      const cairo_status_t st = cairo_surface_write_to_png(img, (dir / name).c_str());
      cairo_surface_destroy(img);
      if (st != CAIRO_STATUS_SUCCESS) {
        std::fprintf(stderr, "cursor_glyphs: cannot write %s: %s\n", name.c_str(), cairo_status_to_string(st));
        return 1;
      }
      json += "        { \"glyphKey\": \"" + g.key + "\", \"filename\": \"" + name + "\", \"naturalWidth\": " +
              std::to_string(kNaturalUnits) + ", \"naturalHeight\": " + std::to_string(kNaturalUnits) + ", \"hotspotX\": " +
              number(g.hotspotX) + ", \"hotspotY\": " + number(g.hotspotY) + " }" +
              (gi + 1 < glyphs.size() ? ",\n" : "\n");
    }
    json += std::string("      ] }") + (si + 1 < std::size(kStyles) ? ",\n" : "\n");
  }
  json += "  ]\n}\n";
  // The manifest is written last: its time stamp tells the build the set is complete.
  if (!writeText(dir / "manifest.json", json)) {
    std::fprintf(stderr, "cursor_glyphs: cannot write manifest.json\n");
    return 1;
  }
  return 0;
}

// ---------------------------------------------------------------- contact sheet

// The sheet is all neutral greys plus pure red, so an indexed PNG holds it at a
// third of the size of the RGB file cairo writes. If more than 256 colours
// occur, the rarest greys fold into their nearest kept neighbour (one level of
// difference, invisible at the sizes shown).
// libpng reports errors by longjmp, so nothing with a destructor lives here.
bool writePalettePng(const char* file, int w, int h, const std::vector<png_color>& palette, png_bytepp rows) {
  FILE* f = std::fopen(file, "wb");
  if (!f) return false;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (!png || !info || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    std::fclose(f);
    return false;
  }
  png_init_io(png, f);
  png_set_compression_level(png, 9);
  png_set_IHDR(png, info, w, h, 8, PNG_COLOR_TYPE_PALETTE, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_set_PLTE(png, info, palette.data(), static_cast<int>(palette.size()));
  png_write_info(png, info);
  png_write_image(png, rows);
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return std::fclose(f) == 0;
}

bool writeIndexedPng(cairo_surface_t* rgb, const std::filesystem::path& file) {
  cairo_surface_flush(rgb);
  const int w = cairo_image_surface_get_width(rgb), h = cairo_image_surface_get_height(rgb);
  const int stride = cairo_image_surface_get_stride(rgb);
  const uint8_t* data = cairo_image_surface_get_data(rgb);
  auto pixel = [&](int x, int y) {
    uint32_t v;
    std::memcpy(&v, data + y * stride + x * 4, 4);
    return v & 0xFFFFFFu;
  };
  std::map<uint32_t, size_t> counts;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) ++counts[pixel(x, y)];
  std::vector<std::pair<size_t, uint32_t>> byCount;
  for (auto [c, n] : counts) byCount.push_back({n, c});
  std::sort(byCount.begin(), byCount.end(), std::greater<>());
  if (byCount.size() > 256) byCount.resize(256);
  std::vector<png_color> palette;
  std::map<uint32_t, uint8_t> index;
  for (auto [n, c] : byCount) {
    index[c] = static_cast<uint8_t>(palette.size());
    palette.push_back({static_cast<png_byte>(c >> 16), static_cast<png_byte>(c >> 8), static_cast<png_byte>(c)});
  }
  auto nearest = [&](uint32_t c) {
    int best = 0;
    long bestD = -1;
    for (size_t i = 0; i < palette.size(); ++i) {
      const long dr = long(palette[i].red) - long((c >> 16) & 255), dg = long(palette[i].green) - long((c >> 8) & 255),
                 db = long(palette[i].blue) - long(c & 255);
      const long d = dr * dr + dg * dg + db * db;
      if (bestD < 0 || d < bestD) bestD = d, best = static_cast<int>(i);
    }
    return static_cast<uint8_t>(best);
  };
  for (auto [c, n] : counts)
    if (!index.count(c)) index[c] = nearest(c);

  std::vector<png_byte> pixels(static_cast<size_t>(w) * h);
  std::vector<png_bytep> rows(h);
  for (int y = 0; y < h; ++y) {
    rows[y] = &pixels[static_cast<size_t>(y) * w];
    for (int x = 0; x < w; ++x) rows[y][x] = index[pixel(x, y)];
  }
  return writePalettePng(file.c_str(), w, h, palette, rows.data());
}

void drawScaled(cairo_t* cr, cairo_surface_t* img, double x, double y, double width) {
  const double k = width / kRaster;
  cairo_save(cr);
  cairo_translate(cr, x, y);
  cairo_scale(cr, k, k);
  cairo_set_source_surface(cr, img, 0, 0);
  cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_GOOD);
  cairo_paint(cr);
  cairo_restore(cr);
}

int writeContactSheet(const std::filesystem::path& file) {
  const std::vector<Glyph> glyphs = makeGlyphs();
  const int cols = 11;
  const int rows = static_cast<int>((glyphs.size() + cols - 1) / cols);
  const double big = 120, small = 30, cellW = 170, cellH = 150, pad = 14, header = 26;
  // Per family: a dark panel, a light panel, and a hotspot panel.
  const double panelH = header + rows * cellH;
  const int width = static_cast<int>(pad * 2 + cols * cellW);
  const int height = static_cast<int>(pad + std::size(kStyles) * 3 * (panelH + pad));
  cairo_surface_t* sheet = cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height);
  cairo_t* cr = cairo_create(sheet);
  cairo_set_source_rgb(cr, 0.5, 0.5, 0.5);
  cairo_paint(cr);
  cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
  // Grey-only text keeps the sheet within a grey palette.
  cairo_font_options_t* fo = cairo_font_options_create();
  cairo_font_options_set_antialias(fo, CAIRO_ANTIALIAS_GRAY);
  cairo_set_font_options(cr, fo);
  cairo_font_options_destroy(fo);

  struct Panel {
    const char* label;
    Rgb bg;
    bool hotspots;
  };
  const Panel panels[] = {
      {"on dark", {0.13, 0.13, 0.13}, false},
      {"on light", {0.96, 0.96, 0.96}, false},
      {"hotspots (red dot)", {0.64, 0.64, 0.64}, true},
  };
  double y = pad;
  for (const Style& s : kStyles) {
    std::vector<cairo_surface_t*> imgs;
    for (const Glyph& g : glyphs) imgs.push_back(renderGlyph(g, s));
    for (const Panel& p : panels) {
      cairo_set_source_rgb(cr, p.bg.r, p.bg.g, p.bg.b);
      cairo_rectangle(cr, pad, y, cols * cellW, panelH);
      cairo_fill(cr);
      const double tc = p.bg.r > 0.5 ? 0.1 : 0.9;
      cairo_set_source_rgb(cr, tc, tc, tc);
      cairo_set_font_size(cr, 14);
      cairo_move_to(cr, pad + 8, y + 18);
      cairo_show_text(cr, (std::string("style \"") + s.name + "\" " + p.label + ": 4x (120 px) and 1x (30 px)").c_str());
      cairo_set_font_size(cr, 11);
      for (size_t i = 0; i < glyphs.size(); ++i) {
        const double cx = pad + (i % cols) * cellW + 6, cy = y + header + (i / cols) * cellH + 4;
        drawScaled(cr, imgs[i], cx, cy, big);
        drawScaled(cr, imgs[i], cx + big + 6, cy + big - small - 20, small);
        if (p.hotspots) {
          const double k = big / kNatural;
          cairo_set_source_rgb(cr, 1, 0, 0);
          cairo_set_antialias(cr, CAIRO_ANTIALIAS_NONE);
          cairo_arc(cr, cx + glyphs[i].hotspotX * k, cy + glyphs[i].hotspotY * k, 2.2, 0, 2 * kPi);
          cairo_fill(cr);
          const double k1 = small / kNatural;
          cairo_rectangle(cr, std::floor(cx + big + 6 + glyphs[i].hotspotX * k1),
                          std::floor(cy + big - small - 20 + glyphs[i].hotspotY * k1), 1, 1);
          cairo_fill(cr);
          cairo_set_antialias(cr, CAIRO_ANTIALIAS_DEFAULT);
        }
        cairo_set_source_rgb(cr, tc, tc, tc);
        cairo_move_to(cr, cx, cy + big + 16);
        cairo_show_text(cr, glyphs[i].key.c_str());
      }
      y += panelH + pad;
    }
    for (cairo_surface_t* img : imgs) cairo_surface_destroy(img);
  }
  cairo_destroy(cr);
  const bool ok = writeIndexedPng(sheet, file);
  cairo_surface_destroy(sheet);
  // Drops cairo's font caches so that leak checkers see a clean exit.
  cairo_debug_reset_static_data();
  if (!ok) {
    std::fprintf(stderr, "cursor_glyphs: cannot write %s\n", file.c_str());
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--out-dir") == 0) return writeBundle(argv[2]);
  if (argc == 3 && std::strcmp(argv[1], "--contact-sheet") == 0) return writeContactSheet(argv[2]);
  std::fprintf(stderr, "usage: cursor_glyphs --out-dir <dir> | --contact-sheet <file.png>\n");
  return 2;
}
