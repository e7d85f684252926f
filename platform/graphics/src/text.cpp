#include "vantrel/graphics/text.h"

#include <cairo.h>
#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_MULTIPLE_MASTERS_H
#include FT_OUTLINE_H
#include <hb-ot.h>
#include <hb.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <map>
#include <mutex>
#include <unordered_map>

#include "vantrel/graphics/drawing.h"

namespace vantrel::graphics {

namespace {

std::string lower(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

constexpr hb_tag_t kWght = HB_TAG('w', 'g', 'h', 't');

// One outline command in font units (y up).
struct PathOp {
  enum Kind : uint8_t { move, line, cubic, close } kind;
  float x[3], y[3];
};

}  // namespace

// A face at one weight: the HarfBuzz font for shaping and a FreeType face for
// outlines, with outlines cached per glyph.
struct FontInstance {
  std::string family;
  double weight = 400;
  double unitsPerEm = 1000;
  double ascender = 0, descender = 0, lineGap = 0;  // font units, descender positive
  hb_font_t* hb = nullptr;
  FT_Face ft = nullptr;
  std::mutex mutex;  // guards ft and the cache
  std::unordered_map<uint32_t, std::vector<PathOp>> outlines;
  // Rasterised glyphs: coverage masks placed relative to the glyph origin's pixel.
  struct Raster {
    cairo_surface_t* mask = nullptr;  // A8, null for an empty glyph
    int x = 0, y = 0;                 // device offset of the mask's corner
  };
  std::unordered_map<uint64_t, Raster> rasters;
  ~FontInstance() {
    dropRasters();
    if (hb) hb_font_destroy(hb);
    if (ft) FT_Done_Face(ft);
  }
  void dropRasters() {
    for (auto& [key, r] : rasters)
      if (r.mask) cairo_surface_destroy(r.mask);
    rasters.clear();
  }
  const std::vector<PathOp>& outline(uint32_t glyph);
  const Raster& raster(uint32_t glyph, double scale, int phaseX, int phaseY, double strokeWidth);
};

namespace {

struct FaceFile {
  std::string path;
  int index = 0;
  std::vector<std::string> families;  // lower case
};

struct Library {
  std::mutex mutex;
  FT_Library ft = nullptr;
  bool fcReady = false;
  std::vector<FaceFile> registered;
  std::map<std::tuple<std::string, int, long>, std::weak_ptr<FontInstance>> instances;

  static Library& get() {
    static Library lib;
    return lib;
  }
  Library() {
    if (FT_Init_FreeType(&ft) != 0) ft = nullptr;
    fcReady = FcInit();
  }
  // FreeType stays: fonts may outlive this object during exit. Fontconfig's
  // configuration is only used under the mutex while fonts are looked up.
  ~Library() {
    if (fcReady) FcFini();
  }
};

std::shared_ptr<FontInstance> loadInstance(Library& lib, const std::string& path, int index, double weight) {
  const long wkey = std::lround(weight * 10);
  const auto key = std::make_tuple(path, index, wkey);
  if (auto it = lib.instances.find(key); it != lib.instances.end())
    if (auto live = it->second.lock()) return live;
  if (!lib.ft) return nullptr;
  FT_Face face = nullptr;
  if (FT_New_Face(lib.ft, path.c_str(), index, &face) != 0) return nullptr;
  if (!FT_IS_SCALABLE(face)) {
    FT_Done_Face(face);
    return nullptr;
  }
  auto inst = std::make_shared<FontInstance>();
  inst->ft = face;
  inst->family = face->family_name ? face->family_name : "";
  inst->unitsPerEm = face->units_per_EM > 0 ? face->units_per_EM : 1000;
  inst->weight = weight;
  // Variable weight: set the design coordinate on both engines.
  std::vector<hb_variation_t> vars;
  FT_MM_Var* mm = nullptr;
  if (FT_HAS_MULTIPLE_MASTERS(face) && FT_Get_MM_Var(face, &mm) == 0) {
    std::vector<FT_Fixed> coords(mm->num_axis);
    for (FT_UInt a = 0; a < mm->num_axis; ++a) {
      coords[a] = mm->axis[a].def;
      if (mm->axis[a].tag == kWght) {
        const double lo = mm->axis[a].minimum / 65536.0, hi = mm->axis[a].maximum / 65536.0;
        const double w = std::clamp(weight, lo, hi);
        coords[a] = static_cast<FT_Fixed>(std::lround(w * 65536.0));
        vars.push_back({kWght, static_cast<float>(w)});
        inst->weight = w;
      }
    }
    FT_Set_Var_Design_Coordinates(face, mm->num_axis, coords.data());
    FT_Done_MM_Var(lib.ft, mm);
  }
  const FT_UInt upem = static_cast<FT_UInt>(inst->unitsPerEm);
  FT_Set_Char_Size(face, 0, static_cast<FT_F26Dot6>(upem) * 64, 72, 72);
  hb_blob_t* blob = hb_blob_create_from_file_or_fail(path.c_str());
  if (!blob) return nullptr;
  hb_face_t* hf = hb_face_create(blob, static_cast<unsigned>(index));
  hb_blob_destroy(blob);
  inst->hb = hb_font_create(hf);
  hb_face_destroy(hf);
  hb_font_set_scale(inst->hb, static_cast<int>(upem), static_cast<int>(upem));
  if (!vars.empty()) hb_font_set_variations(inst->hb, vars.data(), static_cast<unsigned>(vars.size()));
  hb_font_extents_t ext{};
  hb_font_get_h_extents(inst->hb, &ext);
  inst->ascender = ext.ascender;
  inst->descender = -ext.descender;
  inst->lineGap = ext.line_gap;
  lib.instances[key] = inst;
  return inst;
}

std::optional<std::pair<std::string, int>> fontconfigMatch(Library& lib, const std::string& family, double weight) {
  if (!lib.fcReady) return std::nullopt;
  FcPattern* pat = FcPatternCreate();
  FcPatternAddString(pat, FC_FAMILY, reinterpret_cast<const FcChar8*>(family.c_str()));
  FcPatternAddInteger(pat, FC_WEIGHT, FcWeightFromOpenType(static_cast<int>(std::lround(weight))));
  FcPatternAddBool(pat, FC_SCALABLE, FcTrue);
  FcConfigSubstitute(nullptr, pat, FcMatchPattern);
  FcDefaultSubstitute(pat);
  FcResult res;
  FcPattern* match = FcFontMatch(nullptr, pat, &res);
  FcPatternDestroy(pat);
  if (!match) return std::nullopt;
  FcChar8* file = nullptr;
  int index = 0;
  std::optional<std::pair<std::string, int>> out;
  if (FcPatternGetString(match, FC_FILE, 0, &file) == FcResultMatch && file) {
    FcPatternGetInteger(match, FC_INDEX, 0, &index);
    // Named instances of variable fonts carry their instance in the upper bits.
    out = std::make_pair(std::string(reinterpret_cast<const char*>(file)), index & 0xffff);
  }
  FcPatternDestroy(match);
  return out;
}

struct OutlineSink {
  std::vector<PathOp>* ops;
  double lastX = 0, lastY = 0;
  bool open = false;
};

int ftMove(const FT_Vector* to, void* u) {
  auto* s = static_cast<OutlineSink*>(u);
  if (s->open) s->ops->push_back({PathOp::close, {}, {}});
  s->ops->push_back({PathOp::move, {to->x / 64.f}, {to->y / 64.f}});
  s->lastX = to->x / 64.0;
  s->lastY = to->y / 64.0;
  s->open = true;
  return 0;
}
int ftLine(const FT_Vector* to, void* u) {
  auto* s = static_cast<OutlineSink*>(u);
  s->ops->push_back({PathOp::line, {to->x / 64.f}, {to->y / 64.f}});
  s->lastX = to->x / 64.0;
  s->lastY = to->y / 64.0;
  return 0;
}
int ftConic(const FT_Vector* c, const FT_Vector* to, void* u) {
  auto* s = static_cast<OutlineSink*>(u);
  const double cx = c->x / 64.0, cy = c->y / 64.0, tx = to->x / 64.0, ty = to->y / 64.0;
  PathOp op{PathOp::cubic, {}, {}};
  op.x[0] = static_cast<float>(s->lastX + 2.0 / 3.0 * (cx - s->lastX));
  op.y[0] = static_cast<float>(s->lastY + 2.0 / 3.0 * (cy - s->lastY));
  op.x[1] = static_cast<float>(tx + 2.0 / 3.0 * (cx - tx));
  op.y[1] = static_cast<float>(ty + 2.0 / 3.0 * (cy - ty));
  op.x[2] = static_cast<float>(tx);
  op.y[2] = static_cast<float>(ty);
  s->ops->push_back(op);
  s->lastX = tx;
  s->lastY = ty;
  return 0;
}
int ftCubic(const FT_Vector* c1, const FT_Vector* c2, const FT_Vector* to, void* u) {
  auto* s = static_cast<OutlineSink*>(u);
  s->ops->push_back({PathOp::cubic, {c1->x / 64.f, c2->x / 64.f, to->x / 64.f}, {c1->y / 64.f, c2->y / 64.f, to->y / 64.f}});
  s->lastX = to->x / 64.0;
  s->lastY = to->y / 64.0;
  return 0;
}

}  // namespace

const std::vector<PathOp>& FontInstance::outline(uint32_t glyph) {
  auto it = outlines.find(glyph);
  if (it != outlines.end()) return it->second;
  std::vector<PathOp>& ops = outlines[glyph];
  if (FT_Load_Glyph(ft, glyph, FT_LOAD_NO_HINTING | FT_LOAD_NO_BITMAP) == 0 &&
      ft->glyph->format == FT_GLYPH_FORMAT_OUTLINE) {
    static const FT_Outline_Funcs funcs = {ftMove, ftLine, ftConic, ftCubic, 0, 0};
    OutlineSink sink{&ops};
    FT_Outline_Decompose(&ft->glyph->outline, &funcs, &sink);
    if (sink.open) ops.push_back({PathOp::close, {}, {}});
  }
  return ops;
}

namespace {
constexpr int kPhases = 4;  // sub-pixel positions per pixel, in x and in y
constexpr size_t kMaxRasters = 8192;

void appendOutline(cairo_t* cr, const std::vector<PathOp>& ops) {
  for (const auto& op : ops) {
    switch (op.kind) {
      case PathOp::move: cairo_move_to(cr, op.x[0], op.y[0]); break;
      case PathOp::line: cairo_line_to(cr, op.x[0], op.y[0]); break;
      case PathOp::cubic: cairo_curve_to(cr, op.x[0], op.y[0], op.x[1], op.y[1], op.x[2], op.y[2]); break;
      case PathOp::close: cairo_close_path(cr); break;
    }
  }
}
}  // namespace

// Device space here is y down; the glyph origin sits at (phaseX, phaseY) / kPhases
// within its pixel. strokeWidth 0 rasterises the fill, otherwise the outline.
const FontInstance::Raster& FontInstance::raster(uint32_t glyph, double scale, int phaseX, int phaseY,
                                                  double strokeWidth) {
  const uint64_t sizeKey = static_cast<uint64_t>(std::llround(scale * unitsPerEm * 64)) & 0xfffffu;
  const uint64_t strokeKey = static_cast<uint64_t>(std::llround(strokeWidth * 64)) & 0xffffu;
  const uint64_t key = (static_cast<uint64_t>(glyph) & 0xffffu) | (sizeKey << 16) | (strokeKey << 36) |
                       (static_cast<uint64_t>(phaseX) << 52) | (static_cast<uint64_t>(phaseY) << 56);
  if (auto it = rasters.find(key); it != rasters.end()) return it->second;
  if (rasters.size() >= kMaxRasters) dropRasters();
  Raster& r = rasters[key];
  const auto& ops = outline(glyph);
  if (ops.empty()) return r;
  double umin = 1e30, umax = -1e30, vmin = 1e30, vmax = -1e30;
  for (const auto& op : ops) {
    const int n = op.kind == PathOp::cubic ? 3 : op.kind == PathOp::close ? 0 : 1;
    for (int i = 0; i < n; ++i) {
      umin = std::min<double>(umin, op.x[i]); umax = std::max<double>(umax, op.x[i]);
      vmin = std::min<double>(vmin, op.y[i]); vmax = std::max<double>(vmax, op.y[i]);
    }
  }
  const double px = static_cast<double>(phaseX) / kPhases, py = static_cast<double>(phaseY) / kPhases;
  const double pad = strokeWidth / 2 + 1;
  const int x0 = static_cast<int>(std::floor(px + umin * scale - pad));
  const int x1 = static_cast<int>(std::ceil(px + umax * scale + pad));
  const int y0 = static_cast<int>(std::floor(py - vmax * scale - pad));
  const int y1 = static_cast<int>(std::ceil(py - vmin * scale + pad));
  if (x1 - x0 <= 0 || y1 - y0 <= 0 || x1 - x0 > 4096 || y1 - y0 > 4096) return r;
  cairo_surface_t* surf = cairo_image_surface_create(CAIRO_FORMAT_A8, x1 - x0, y1 - y0);
  cairo_t* c = cairo_create(surf);
  cairo_translate(c, px - x0, py - y0);
  cairo_scale(c, scale, -scale);
  cairo_set_fill_rule(c, CAIRO_FILL_RULE_WINDING);
  appendOutline(c, ops);
  cairo_identity_matrix(c);
  cairo_set_source_rgba(c, 0, 0, 0, 1);
  if (strokeWidth > 0) {
    cairo_set_line_width(c, strokeWidth);
    cairo_set_line_join(c, CAIRO_LINE_JOIN_ROUND);
    cairo_stroke(c);
  } else {
    cairo_fill(c);
  }
  cairo_destroy(c);
  cairo_surface_flush(surf);
  r.mask = surf;
  r.x = x0;
  r.y = y0;
  return r;
}

bool Font::registerFile(const std::string& path, const std::string& alias) {
  Library& lib = Library::get();
  std::lock_guard lock(lib.mutex);
  if (!lib.ft) return false;
  FT_Face face = nullptr;
  if (FT_New_Face(lib.ft, path.c_str(), -1, &face) != 0) return false;
  const long faces = face->num_faces;
  FT_Done_Face(face);
  bool any = false;
  for (long i = 0; i < faces; ++i) {
    if (FT_New_Face(lib.ft, path.c_str(), i, &face) != 0) continue;
    FaceFile f{path, static_cast<int>(i), {}};
    if (face->family_name) f.families.push_back(lower(face->family_name));
    if (!alias.empty()) f.families.push_back(lower(alias));
    const bool scalable = FT_IS_SCALABLE(face);
    FT_Done_Face(face);
    if (!scalable) continue;
    lib.registered.push_back(std::move(f));
    any = true;
  }
  if (any && lib.fcReady) FcConfigAppFontAddFile(nullptr, reinterpret_cast<const FcChar8*>(path.c_str()));
  return any;
}

std::optional<Font> Font::make(const std::string& family, double weight, double size) {
  if (!std::isfinite(size) || size <= 0 || size > 10000) return std::nullopt;
  if (!std::isfinite(weight)) weight = 400;
  weight = std::clamp(weight, 1.0, 1000.0);
  Library& lib = Library::get();
  std::lock_guard lock(lib.mutex);
  const std::string want = lower(family);
  // Registered files win; among several faces of a family the last registered one is taken.
  for (auto it = lib.registered.rbegin(); it != lib.registered.rend(); ++it) {
    if (std::find(it->families.begin(), it->families.end(), want) == it->families.end()) continue;
    if (auto inst = loadInstance(lib, it->path, it->index, weight)) return Font(inst, size);
  }
  if (auto m = fontconfigMatch(lib, family, weight)) {
    if (auto inst = loadInstance(lib, m->first, m->second, weight)) return Font(inst, size);
  }
  return std::nullopt;
}

double Font::weight() const { return instance_->weight; }
std::string Font::familyName() const { return instance_->family; }
double Font::ascent() const { return instance_->ascender * size_ / instance_->unitsPerEm; }
double Font::descent() const { return instance_->descender * size_ / instance_->unitsPerEm; }
double Font::leading() const { return instance_->lineGap * size_ / instance_->unitsPerEm; }

TextLine::TextLine(const Font& font, std::string_view utf8, double letterSpacing) : font_(font) {
  if (!std::isfinite(letterSpacing)) letterSpacing = 0;
  hb_buffer_t* buf = hb_buffer_create();
  hb_buffer_add_utf8(buf, utf8.data(), static_cast<int>(utf8.size()), 0, static_cast<int>(utf8.size()));
  hb_buffer_guess_segment_properties(buf);
  hb_shape(font.instance()->hb, buf, nullptr, 0);
  unsigned n = 0;
  const hb_glyph_info_t* info = hb_buffer_get_glyph_infos(buf, &n);
  const hb_glyph_position_t* pos = hb_buffer_get_glyph_positions(buf, &n);
  const double k = font.size() / font.instance()->unitsPerEm;
  double pen = 0;
  glyphs_.reserve(n);
  for (unsigned i = 0; i < n; ++i) {
    glyphs_.push_back({info[i].codepoint, pen + pos[i].x_offset * k, pos[i].y_offset * k});
    pen += pos[i].x_advance * k;
    // The extra advance follows every character: once per cluster.
    if (i + 1 == n || info[i + 1].cluster != info[i].cluster) pen += letterSpacing;
  }
  width_ = pen;
  hb_buffer_destroy(buf);
}

double measureTextWidth(const Font& font, std::string_view utf8, double letterSpacing) {
  return TextLine(font, utf8, letterSpacing).width();
}

void drawTextLine(BitmapContext& ctx, const TextLine& line, Point origin, Color fill,
                  const std::optional<TextOutline>& outline) {
  if (!std::isfinite(origin.x) || !std::isfinite(origin.y) || line.glyphs().empty()) return;
  const Font& font = line.font();
  FontInstance& inst = *font.instance();
  cairo_t* cr = ctx.cairoContext();
  const double k = font.size() / inst.unitsPerEm;
  const bool stroke = outline && std::isfinite(outline->width) && outline->width != 0 && outline->color.isFinite();
  const bool doFill = !stroke || outline->width < 0;
  const double lineWidth = stroke ? std::abs(outline->width) / 100.0 * font.size() : 0;
  cairo_matrix_t m;
  cairo_get_matrix(cr, &m);
  // Untransformed drawing (the base y flip plus a translation) places cached glyph
  // masks; anything else, or a shadow, goes through the outlines.
  if (m.xx == 1 && m.yx == 0 && m.xy == 0 && m.yy == -1 && !ctx.hasShadow() && lineWidth < 512) {
    std::lock_guard lock(inst.mutex);
    for (int pass = 0; pass < 2; ++pass) {
      if ((pass == 0 && !doFill) || (pass == 1 && !stroke)) continue;
      ctx.setSourceColor(cr, pass == 0 ? fill : outline->color);
      cairo_save(cr);
      cairo_identity_matrix(cr);
      for (const auto& g : line.glyphs()) {
        double dx = origin.x + g.x, dy = origin.y + g.y;
        cairo_matrix_transform_point(&m, &dx, &dy);
        if (!std::isfinite(dx) || !std::isfinite(dy) || std::abs(dx) > 1e6 || std::abs(dy) > 1e6) continue;
        const double fx = std::floor(dx * kPhases + 0.5) / kPhases, fy = std::floor(dy * kPhases + 0.5) / kPhases;
        const double ix = std::floor(fx), iy = std::floor(fy);
        const auto& r = inst.raster(g.glyph, k, static_cast<int>((fx - ix) * kPhases),
                                    static_cast<int>((fy - iy) * kPhases), pass == 0 ? 0.0 : lineWidth);
        if (r.mask) cairo_mask_surface(cr, r.mask, ix + r.x, iy + r.y);
      }
      cairo_restore(cr);
    }
    return;
  }
  cairo_new_path(cr);
  {
    std::lock_guard lock(inst.mutex);
    for (const auto& g : line.glyphs()) {
      const auto& ops = inst.outline(g.glyph);
      if (ops.empty()) continue;
      cairo_save(cr);
      cairo_translate(cr, origin.x + g.x, origin.y + g.y);
      cairo_scale(cr, k, k);
      appendOutline(cr, ops);
      cairo_restore(cr);
    }
  }
  ctx.paintWithShadow([&](cairo_t* c) {
    if (doFill) {
      ctx.setSourceColor(c, fill);
      cairo_fill_preserve(c);
    }
    if (stroke) {
      cairo_save(c);
      ctx.setSourceColor(c, outline->color);
      cairo_set_line_width(c, lineWidth);
      cairo_set_line_join(c, CAIRO_LINE_JOIN_ROUND);
      cairo_stroke_preserve(c);
      cairo_restore(c);
    }
    cairo_new_path(c);
  });
  cairo_new_path(cr);
}

}  // namespace vantrel::graphics
