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
#include <cstring>
#include <functional>
#include <limits>
#include <map>
#include <mutex>
#include <unordered_map>

#include "text_runs.h"
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
// outlines, with outlines cached per glyph. Colour bitmap faces (emoji) keep
// their glyphs as BGRA pictures at the face's largest strike instead.
struct FontInstance {
  std::string family;
  double weight = 400;
  double unitsPerEm = 1000;
  double ascender = 0, descender = 0, lineGap = 0;  // font units, descender positive
  bool colorStrike = false;                         // glyphs are colour bitmaps
  double strikePpem = 0;                            // pixels per em of the selected strike
  hb_font_t* hb = nullptr;
  FT_Face ft = nullptr;
  std::mutex mutex;  // guards ft and the caches
  std::unordered_map<uint32_t, std::vector<PathOp>> outlines;
  // A colour glyph at its strike: premultiplied ARGB, corner at (left, top) pixels from the origin, y up.
  struct Picture {
    cairo_surface_t* image = nullptr;
    int left = 0, top = 0, width = 0, height = 0;
  };
  std::unordered_map<uint32_t, Picture> pictures;
  // Rasterised glyphs: coverage masks placed relative to the glyph origin's pixel.
  // A colour face's fill raster is its picture scaled (ARGB32, `color`); its
  // outline raster is the picture's silhouette widened by the stroke (A8).
  struct Raster {
    cairo_surface_t* mask = nullptr;  // A8 or ARGB32, null for an empty glyph
    int x = 0, y = 0;                 // device offset of the mask's corner
    bool color = false;
  };
  std::unordered_map<uint64_t, Raster> rasters;
  ~FontInstance() {
    dropRasters();
    dropPictures();
    if (hb) hb_font_destroy(hb);
    if (ft) FT_Done_Face(ft);
  }
  void dropRasters() {
    for (auto& [key, r] : rasters)
      if (r.mask) cairo_surface_destroy(r.mask);
    rasters.clear();
  }
  void dropPictures() {
    for (auto& [key, p] : pictures)
      if (p.image) cairo_surface_destroy(p.image);
    pictures.clear();
  }
  const std::vector<PathOp>& outline(uint32_t glyph);
  const Picture& picture(uint32_t glyph);
  const Raster& raster(uint32_t glyph, double scale, int phaseX, int phaseY, double strokeWidth);

 private:
  bool colorRaster(Raster& r, uint32_t glyph, double scale, double px, double py, double strokeWidth);
};

namespace {

struct FaceFile {
  std::string path;
  int index = 0;
  std::vector<std::string> families;  // lower case
};

// A font fontconfig offers for characters another font lacks.
struct FallbackCandidate {
  std::string path;
  int index = 0;
  FcCharSet* charset = nullptr;  // owned reference
};

struct Library {
  std::mutex mutex;
  FT_Library ft = nullptr;
  bool fcReady = false;
  std::vector<FaceFile> registered;
  std::map<std::tuple<std::string, int, long>, std::weak_ptr<FontInstance>> instances;
  // Fallback lists per (codepoint block, weight step, colour wanted), in
  // fontconfig's order of preference, and the fallback fonts in use, held so
  // that a caption redrawn every frame does not reopen its fallback files.
  std::map<std::tuple<uint32_t, long, bool>, std::vector<FallbackCandidate>> fallbacks;
  std::map<std::tuple<std::string, int, long>, std::shared_ptr<FontInstance>> fallbackInstances;

  void dropFallbacks() {
    for (auto& [key, list] : fallbacks)
      for (auto& c : list) FcCharSetDestroy(c.charset);
    fallbacks.clear();
    fallbackInstances.clear();
  }

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
    dropFallbacks();
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
  // Bitmap-only faces are accepted when their strikes are colour (emoji): they scale well enough.
  const bool colorStrike = !FT_IS_SCALABLE(face) && FT_HAS_COLOR(face) && face->num_fixed_sizes > 0;
  if (!FT_IS_SCALABLE(face) && !colorStrike) {
    FT_Done_Face(face);
    return nullptr;
  }
  auto inst = std::make_shared<FontInstance>();
  inst->ft = face;
  inst->colorStrike = colorStrike;
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
  if (colorStrike) {
    // The largest strike: pictures are only ever scaled down from it.
    int best = 0;
    for (int i = 1; i < face->num_fixed_sizes; ++i)
      if (face->available_sizes[i].y_ppem > face->available_sizes[best].y_ppem) best = i;
    if (FT_Select_Size(face, best) != 0) return nullptr;
    inst->strikePpem = face->size->metrics.y_ppem > 0 ? face->size->metrics.y_ppem : face->available_sizes[best].y_ppem / 64.0;
    if (inst->strikePpem <= 0) return nullptr;
  } else {
    FT_Set_Char_Size(face, 0, static_cast<FT_F26Dot6>(upem) * 64, 72, 72);
  }
  hb_blob_t* blob = hb_blob_create_from_file_or_fail(path.c_str());
  if (!blob) return nullptr;
  hb_face_t* hf = hb_face_create(blob, static_cast<unsigned>(index));
  hb_blob_destroy(blob);
  inst->hb = hb_font_create(hf);
  hb_face_destroy(hf);
  hb_font_set_scale(inst->hb, static_cast<int>(upem), static_cast<int>(upem));
  if (!vars.empty()) hb_font_set_variations(inst->hb, vars.data(), static_cast<unsigned>(vars.size()));
  hb_font_make_immutable(inst->hb);  // shaped from many threads without the instance's lock
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

// Longest fallback list kept per block; fontconfig's trimmed sort rarely gets near it.
constexpr size_t kMaxFallbackCandidates = 24;
constexpr size_t kMaxFallbackLists = 512;
constexpr size_t kMaxFallbackInstances = 64;

const std::vector<FallbackCandidate>& fallbackList(Library& lib, uint32_t cp, double weight, bool color) {
  const auto key = std::make_tuple(cp >> 7, std::lround(weight / 50), color);
  if (auto it = lib.fallbacks.find(key); it != lib.fallbacks.end()) return it->second;
  if (lib.fallbacks.size() >= kMaxFallbackLists) lib.dropFallbacks();
  auto& list = lib.fallbacks[key];
  if (!lib.fcReady) return list;
  FcPattern* pat = FcPatternCreate();
  FcCharSet* want = FcCharSetCreate();
  FcCharSetAddChar(want, cp);
  FcPatternAddCharSet(pat, FC_CHARSET, want);
  FcCharSetDestroy(want);
  FcPatternAddInteger(pat, FC_WEIGHT, FcWeightFromOpenType(static_cast<int>(std::lround(weight))));
  if (color) FcPatternAddBool(pat, FC_COLOR, FcTrue);
  FcConfigSubstitute(nullptr, pat, FcMatchPattern);
  FcDefaultSubstitute(pat);
  FcResult res;
  FcFontSet* set = FcFontSort(nullptr, pat, FcTrue, nullptr, &res);
  FcPatternDestroy(pat);
  if (!set) return list;
  for (int i = 0; i < set->nfont && list.size() < kMaxFallbackCandidates; ++i) {
    FcPattern* f = set->fonts[i];
    FcChar8* file = nullptr;
    FcCharSet* cs = nullptr;
    int index = 0;
    FcBool isColor = FcFalse;
    if (FcPatternGetString(f, FC_FILE, 0, &file) != FcResultMatch || !file) continue;
    if (FcPatternGetCharSet(f, FC_CHARSET, 0, &cs) != FcResultMatch || !cs) continue;
    FcPatternGetInteger(f, FC_INDEX, 0, &index);
    FcPatternGetBool(f, FC_COLOR, 0, &isColor);
    if (color && !isColor) continue;
    list.push_back({reinterpret_cast<const char*>(file), index & 0xffff, FcCharSetCopy(cs)});
  }
  FcFontSetDestroy(set);
  return list;
}

// The preferred fallback font with every one of `cps` (the first is the base
// character), else one with at least the base; null when fontconfig knows none.
std::shared_ptr<FontInstance> fallbackFont(Library& lib, const std::vector<uint32_t>& cps, double weight, bool color) {
  if (cps.empty()) return nullptr;
  const auto& list = fallbackList(lib, cps[0], weight, color);
  const FallbackCandidate* pick = nullptr;
  for (const auto& c : list) {
    if (!FcCharSetHasChar(c.charset, cps[0])) continue;
    if (!pick) pick = &c;
    if (std::all_of(cps.begin() + 1, cps.end(), [&](uint32_t cp) { return FcCharSetHasChar(c.charset, cp); })) {
      pick = &c;
      break;
    }
  }
  if (!pick) return nullptr;
  const auto key = std::make_tuple(pick->path, pick->index, std::lround(weight * 10));
  if (auto it = lib.fallbackInstances.find(key); it != lib.fallbackInstances.end()) return it->second;
  auto inst = loadInstance(lib, pick->path, pick->index, weight);
  if (!inst) return nullptr;
  if (lib.fallbackInstances.size() >= kMaxFallbackInstances) lib.fallbackInstances.clear();
  lib.fallbackInstances[key] = inst;
  return inst;
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

const FontInstance::Picture& FontInstance::picture(uint32_t glyph) {
  if (auto it = pictures.find(glyph); it != pictures.end()) return it->second;
  // A strike picture is ~70 KB; a few hundred distinct emoji is plenty for any caption.
  if (pictures.size() >= 256) dropPictures();
  Picture& p = pictures[glyph];
  if (FT_Load_Glyph(ft, glyph, FT_LOAD_COLOR) != 0) return p;
  const FT_Bitmap& bm = ft->glyph->bitmap;
  if (bm.pixel_mode != FT_PIXEL_MODE_BGRA || bm.width == 0 || bm.rows == 0 || bm.width > 2048 || bm.rows > 2048)
    return p;
  const int w = static_cast<int>(bm.width), h = static_cast<int>(bm.rows);
  cairo_surface_t* img = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h);
  if (cairo_surface_status(img) != CAIRO_STATUS_SUCCESS) {
    cairo_surface_destroy(img);
    return p;
  }
  cairo_surface_flush(img);
  // FreeType's BGRA is premultiplied, which is cairo's ARGB32 in memory order.
  unsigned char* dst = cairo_image_surface_get_data(img);
  const int stride = cairo_image_surface_get_stride(img);
  for (int y = 0; y < h; ++y) {
    const unsigned char* src = bm.pitch >= 0 ? bm.buffer + static_cast<std::ptrdiff_t>(y) * bm.pitch
                                             : bm.buffer + static_cast<std::ptrdiff_t>(h - 1 - y) * -bm.pitch;
    std::memcpy(dst + static_cast<std::ptrdiff_t>(y) * stride, src, static_cast<size_t>(w) * 4);
  }
  cairo_surface_mark_dirty(img);
  p.image = img;
  p.left = ft->glyph->bitmap_left;
  p.top = ft->glyph->bitmap_top;
  p.width = w;
  p.height = h;
  return p;
}

namespace {
constexpr int kPhases = 4;  // sub-pixel positions per pixel, in x and in y
constexpr size_t kMaxRasters = 8192;

// One dimension of the squared Euclidean distance transform (Felzenszwalb and
// Huttenlocher): f holds squared distances along a line, d receives them.
void distance1d(const float* f, float* d, int n, std::vector<int>& v, std::vector<float>& z) {
  constexpr float kInf = std::numeric_limits<float>::infinity();
  int k = 0;
  v[0] = 0;
  z[0] = -kInf;
  z[1] = kInf;
  for (int q = 1; q < n; ++q) {
    float s;
    while (true) {  // ends at k == 0 at the latest: z[0] is minus infinity
      const int p = v[k];
      s = ((f[q] + static_cast<float>(q) * q) - (f[p] + static_cast<float>(p) * p)) / (2.0f * static_cast<float>(q - p));
      if (s > z[k]) break;
      --k;
    }
    ++k;
    v[k] = q;
    z[k] = s;
    z[k + 1] = kInf;
  }
  k = 0;
  for (int q = 0; q < n; ++q) {
    while (z[k + 1] < static_cast<float>(q)) ++k;
    const float dq = static_cast<float>(q - v[k]);
    d[q] = dq * dq + f[v[k]];
  }
}

// Euclidean distance, in pixels, from every pixel to the nearest pixel that is
// `inside` (coverage of at least half).
std::vector<float> distanceTo(int w, int h, const std::function<bool(int, int)>& inside) {
  constexpr float kFar = 1e20f;
  const int n = std::max(w, h);
  std::vector<float> grid(static_cast<size_t>(w) * h), line(n), out(n), z(n + 1);
  std::vector<int> v(n);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) grid[static_cast<size_t>(y) * w + x] = inside(x, y) ? 0.f : kFar;
  for (int x = 0; x < w; ++x) {
    for (int y = 0; y < h; ++y) line[y] = grid[static_cast<size_t>(y) * w + x];
    distance1d(line.data(), out.data(), h, v, z);
    for (int y = 0; y < h; ++y) grid[static_cast<size_t>(y) * w + x] = out[y];
  }
  for (int y = 0; y < h; ++y) {
    distance1d(&grid[static_cast<size_t>(y) * w], out.data(), w, v, z);
    for (int x = 0; x < w; ++x) grid[static_cast<size_t>(y) * w + x] = std::sqrt(out[x]);
  }
  return grid;
}

// A8 coverage of an ARGB picture's silhouette widened by `radius` pixels: the
// outline a colour glyph gets, since it has no path to stroke.
cairo_surface_t* widenedSilhouette(cairo_surface_t* argb, double radius) {
  const int w = cairo_image_surface_get_width(argb), h = cairo_image_surface_get_height(argb);
  const int sstride = cairo_image_surface_get_stride(argb);
  const unsigned char* src = cairo_image_surface_get_data(argb);
  auto alphaAt = [&](int x, int y) {
    return reinterpret_cast<const uint32_t*>(src + static_cast<std::ptrdiff_t>(y) * sstride)[x] >> 24;
  };
  const auto dist = distanceTo(w, h, [&](int x, int y) { return alphaAt(x, y) >= 128; });
  cairo_surface_t* mask = cairo_image_surface_create(CAIRO_FORMAT_A8, w, h);
  cairo_surface_flush(mask);
  unsigned char* dst = cairo_image_surface_get_data(mask);
  const int dstride = cairo_image_surface_get_stride(mask);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const double d = dist[static_cast<size_t>(y) * w + x];
      const double cover = std::max(std::clamp(radius + 0.5 - d, 0.0, 1.0), alphaAt(x, y) / 255.0);
      dst[static_cast<std::ptrdiff_t>(y) * dstride + x] = static_cast<unsigned char>(std::lround(cover * 255));
    }
  cairo_surface_mark_dirty(mask);
  return mask;
}

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
  if (colorStrike) {
    colorRaster(r, glyph, scale, static_cast<double>(phaseX) / kPhases, static_cast<double>(phaseY) / kPhases,
                strokeWidth);
    return r;
  }
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

bool FontInstance::colorRaster(Raster& r, uint32_t glyph, double scale, double px, double py, double strokeWidth) {
  const Picture& p = picture(glyph);
  if (!p.image) return false;
  const double s = scale * unitsPerEm / strikePpem;  // device pixels per strike pixel
  const double left = px + p.left * s, top = py - p.top * s;
  const double pad = strokeWidth / 2 + 1;
  const int x0 = static_cast<int>(std::floor(left - pad)), y0 = static_cast<int>(std::floor(top - pad));
  const int x1 = static_cast<int>(std::ceil(left + p.width * s + pad));
  const int y1 = static_cast<int>(std::ceil(top + p.height * s + pad));
  if (x1 - x0 <= 0 || y1 - y0 <= 0 || x1 - x0 > 4096 || y1 - y0 > 4096) return false;
  cairo_surface_t* surf = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, x1 - x0, y1 - y0);
  cairo_t* c = cairo_create(surf);
  cairo_translate(c, left - x0, top - y0);
  cairo_scale(c, s, s);
  cairo_set_source_surface(c, p.image, 0, 0);
  cairo_pattern_set_filter(cairo_get_source(c), CAIRO_FILTER_GOOD);
  cairo_paint(c);
  cairo_destroy(c);
  cairo_surface_flush(surf);
  if (strokeWidth > 0) {
    r.mask = widenedSilhouette(surf, strokeWidth / 2);
    cairo_surface_destroy(surf);
  } else {
    r.mask = surf;
    r.color = true;
  }
  r.x = x0;
  r.y = y0;
  return true;
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
  if (any) lib.dropFallbacks();  // the new faces may cover characters better
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

namespace {

bool isLetterOrMark(uint32_t cp) {
  switch (hb_unicode_general_category(hb_unicode_funcs_get_default(), cp)) {
    case HB_UNICODE_GENERAL_CATEGORY_LOWERCASE_LETTER:
    case HB_UNICODE_GENERAL_CATEGORY_MODIFIER_LETTER:
    case HB_UNICODE_GENERAL_CATEGORY_OTHER_LETTER:
    case HB_UNICODE_GENERAL_CATEGORY_TITLECASE_LETTER:
    case HB_UNICODE_GENERAL_CATEGORY_UPPERCASE_LETTER:
    case HB_UNICODE_GENERAL_CATEGORY_SPACING_MARK:
    case HB_UNICODE_GENERAL_CATEGORY_ENCLOSING_MARK:
    case HB_UNICODE_GENERAL_CATEGORY_NON_SPACING_MARK:
      return true;
    default:
      return false;
  }
}

bool isControl(uint32_t cp) { return cp < 0x20 || (cp >= 0x7F && cp < 0xA0); }

// A run: clusters sharing font, script and level, as codepoint indices.
struct ShapeRun {
  uint32_t begin = 0, end = 0;
  uint16_t font = 0;
  hb_script_t script = HB_SCRIPT_COMMON;
  uint8_t level = 0;
};

}  // namespace

TextLine::TextLine(const Font& font, std::string_view utf8, double letterSpacing) : font_(font) {
  if (!std::isfinite(letterSpacing)) letterSpacing = 0;
  fonts_.push_back(font);
  const textruns::Itemised items = textruns::itemise(utf8);
  rightToLeft_ = items.rightToLeft;
  const auto& cps = items.codepoints;
  if (cps.empty()) return;

  // Font per cluster: the line's font when it has every visible character;
  // emoji from a colour font first; otherwise the fallback already in use for
  // the previous cluster, then fontconfig's preference.
  auto has = [](const FontInstance& f, uint32_t cp) {
    hb_codepoint_t g = 0;
    return hb_font_get_nominal_glyph(f.hb, cp, &g) && g != 0;
  };
  std::vector<uint32_t> needed;
  // A base with marks is covered when the font has each, or has what they
  // compose to (HarfBuzz composes e + U+0301 into é when the font has é).
  hb_unicode_funcs_t* uf = hb_unicode_funcs_get_default();
  auto covers = [&](const FontInstance& f) {
    uint32_t composed = needed[0];
    size_t i = 1;
    for (; i < needed.size(); ++i) {
      hb_codepoint_t ab = 0;
      if (!hb_unicode_compose(uf, composed, needed[i], &ab) || !has(f, ab)) break;
      composed = ab;
    }
    if (!has(f, composed)) return false;
    return std::all_of(needed.begin() + static_cast<std::ptrdiff_t>(i), needed.end(),
                       [&](uint32_t cp) { return has(f, cp); });
  };
  auto indexOf = [&](const std::shared_ptr<FontInstance>& inst) -> uint16_t {
    for (size_t i = 0; i < fonts_.size(); ++i)
      if (fonts_[i].instance() == inst) return static_cast<uint16_t>(i);
    if (fonts_.size() >= 0xffff) return 0;
    fonts_.push_back(Font(inst, font.size()));
    return static_cast<uint16_t>(fonts_.size() - 1);
  };
  Library& lib = Library::get();
  std::unique_lock<std::mutex> libLock(lib.mutex, std::defer_lock);
  auto fallback = [&](bool color) -> std::shared_ptr<FontInstance> {
    if (!libLock.owns_lock()) libLock.lock();
    return fallbackFont(lib, needed, font.weight(), color);
  };
  const FontInstance& primary = *font.instance();
  std::vector<uint16_t> fontOf(items.clusters.size(), 0);
  for (size_t ci = 0; ci < items.clusters.size(); ++ci) {
    const auto& c = items.clusters[ci];
    needed.clear();
    for (uint32_t i = c.begin; i < c.end; ++i)
      if (!textruns::isDefaultIgnorable(cps[i]) && !isControl(cps[i])) needed.push_back(cps[i]);
    if (needed.empty()) {
      fontOf[ci] = ci > 0 ? fontOf[ci - 1] : 0;
      continue;
    }
    if (c.emoji && !primary.colorStrike) {
      if (auto inst = fallback(true)) {
        fontOf[ci] = indexOf(inst);
        continue;
      }
    }
    if (covers(primary)) continue;
    if (ci > 0 && fontOf[ci - 1] != 0 && covers(*fonts_[fontOf[ci - 1]].instance())) {
      fontOf[ci] = fontOf[ci - 1];
      continue;
    }
    if (auto inst = fallback(false)) fontOf[ci] = indexOf(inst);
  }
  if (libLock.owns_lock()) libLock.unlock();

  std::vector<ShapeRun> runs;
  for (size_t ci = 0; ci < items.clusters.size(); ++ci) {
    const auto& c = items.clusters[ci];
    if (!runs.empty() && runs.back().font == fontOf[ci] && runs.back().script == c.script &&
        runs.back().level == c.level) {
      runs.back().end = c.end;
    } else {
      runs.push_back({c.begin, c.end, fontOf[ci], c.script, c.level});
    }
  }
  std::vector<uint8_t> levels;
  levels.reserve(runs.size());
  for (const auto& r : runs) levels.push_back(r.level);

  // With extra spacing every character keeps its own glyph, as in typesetting.
  static const hb_feature_t kNoLigatures[] = {
      {HB_TAG('l', 'i', 'g', 'a'), 0, HB_FEATURE_GLOBAL_START, HB_FEATURE_GLOBAL_END},
      {HB_TAG('c', 'l', 'i', 'g'), 0, HB_FEATURE_GLOBAL_START, HB_FEATURE_GLOBAL_END},
      {HB_TAG('d', 'l', 'i', 'g'), 0, HB_FEATURE_GLOBAL_START, HB_FEATURE_GLOBAL_END},
      {HB_TAG('h', 'l', 'i', 'g'), 0, HB_FEATURE_GLOBAL_START, HB_FEATURE_GLOBAL_END},
  };
  hb_buffer_t* buf = hb_buffer_create();
  double pen = 0;
  glyphs_.reserve(cps.size());
  for (size_t ri : textruns::visualOrder(levels)) {
    const ShapeRun& run = runs[ri];
    const Font& f = fonts_[run.font];
    const bool cursive = textruns::isCursive(run.script);
    joined_ = joined_ || cursive;
    hb_buffer_clear_contents(buf);
    // The whole line is context, so letters join across font and run boundaries.
    hb_buffer_add_codepoints(buf, cps.data(), static_cast<int>(cps.size()), run.begin,
                             static_cast<int>(run.end - run.begin));
    hb_buffer_set_direction(buf, run.level % 2 ? HB_DIRECTION_RTL : HB_DIRECTION_LTR);
    hb_buffer_set_script(buf, run.script);
    hb_buffer_set_language(buf, hb_language_get_default());
    unsigned flags = HB_BUFFER_FLAG_REMOVE_DEFAULT_IGNORABLES;
    if (run.begin == 0) flags |= HB_BUFFER_FLAG_BOT;
    if (run.end == cps.size()) flags |= HB_BUFFER_FLAG_EOT;
    hb_buffer_set_flags(buf, static_cast<hb_buffer_flags_t>(flags));
    const bool noLigatures = letterSpacing != 0 && !cursive;
    hb_shape(f.instance()->hb, buf, noLigatures ? kNoLigatures : nullptr, noLigatures ? 4 : 0);
    unsigned n = 0;
    const hb_glyph_info_t* info = hb_buffer_get_glyph_infos(buf, &n);
    const hb_glyph_position_t* pos = hb_buffer_get_glyph_positions(buf, &n);
    const double k = f.size() / f.instance()->unitsPerEm;
    for (unsigned i = 0; i < n; ++i) {
      const uint32_t cl = info[i].cluster;
      glyphs_.push_back({info[i].codepoint, pen + pos[i].x_offset * k, pos[i].y_offset * k, run.font,
                         cl < items.offsets.size() ? items.offsets[cl] : 0});
      pen += pos[i].x_advance * k;
      // The extra advance follows every character: once per cluster. In
      // cursive scripts only where letters do not meet (word ends, spaces).
      if (i + 1 < n && info[i + 1].cluster == cl) continue;
      if (!cursive || i + 1 == n || !isLetterOrMark(cps[cl]) || !isLetterOrMark(cps[info[i + 1].cluster]))
        pen += letterSpacing;
    }
  }
  width_ = pen;
  hb_buffer_destroy(buf);
}

double measureTextWidth(const Font& font, std::string_view utf8, double letterSpacing) {
  return TextLine(font, utf8, letterSpacing).width();
}

namespace {

// Fill and centred outline of the path in `c`, with the outline tracing only the
// edge of the filled union: where joined letters overlap, each letter's own
// contour would otherwise draw a seam across its neighbour. The stroke is kept
// except deeper than half its width inside the union. Works in device pixels;
// false (nothing drawn) when the target is not an image or the area is absurd.
bool paintUnionOutlined(BitmapContext& ctx, cairo_t* c, const std::function<void(cairo_t*)>& appendPath,
                        double lineWidth, bool doFill, Color fill, Color outline) {
  cairo_surface_t* target = cairo_get_group_target(c);
  if (cairo_surface_get_type(target) != CAIRO_SURFACE_TYPE_IMAGE) return false;
  double offX = 0, offY = 0;
  cairo_surface_get_device_offset(target, &offX, &offY);
  cairo_save(c);
  cairo_new_path(c);
  appendPath(c);
  cairo_set_line_width(c, lineWidth);
  cairo_set_line_join(c, CAIRO_LINE_JOIN_ROUND);
  double ux0, uy0, ux1, uy1;
  cairo_stroke_extents(c, &ux0, &uy0, &ux1, &uy1);
  cairo_path_t* path = cairo_copy_path(c);
  cairo_matrix_t m;
  cairo_get_matrix(c, &m);
  cairo_new_path(c);
  cairo_restore(c);
  // Device box of the stroked path, within the target.
  double bx0 = 1e30, by0 = 1e30, bx1 = -1e30, by1 = -1e30;
  for (double ux : {ux0, ux1})
    for (double uy : {uy0, uy1}) {
      double dx = ux, dy = uy;
      cairo_matrix_transform_point(&m, &dx, &dy);
      bx0 = std::min(bx0, dx); bx1 = std::max(bx1, dx);
      by0 = std::min(by0, dy); by1 = std::max(by1, dy);
    }
  const double tw = cairo_image_surface_get_width(target) - offX, th = cairo_image_surface_get_height(target) - offY;
  const int x0 = static_cast<int>(std::clamp(std::floor(bx0) - 1, -offX, tw));
  const int y0 = static_cast<int>(std::clamp(std::floor(by0) - 1, -offY, th));
  const int x1 = static_cast<int>(std::clamp(std::ceil(bx1) + 1, -offX, tw));
  const int y1 = static_cast<int>(std::clamp(std::ceil(by1) + 1, -offY, th));
  const int w = x1 - x0, h = y1 - y0;
  if (w <= 0 || h <= 0 || static_cast<int64_t>(w) * h > (int64_t{1} << 24)) {
    cairo_path_destroy(path);
    return w <= 0 || h <= 0;  // off the target: nothing to draw is a success
  }
  auto render = [&](bool strokeIt) {
    cairo_surface_t* surf = cairo_image_surface_create(CAIRO_FORMAT_A8, w, h);
    cairo_t* mc = cairo_create(surf);
    cairo_matrix_t mm = m;
    mm.x0 -= x0;
    mm.y0 -= y0;
    cairo_set_matrix(mc, &mm);
    cairo_append_path(mc, path);
    cairo_set_source_rgba(mc, 0, 0, 0, 1);
    if (strokeIt) {
      cairo_set_line_width(mc, lineWidth);
      cairo_set_line_join(mc, CAIRO_LINE_JOIN_ROUND);
      cairo_stroke(mc);
    } else {
      cairo_set_fill_rule(mc, CAIRO_FILL_RULE_WINDING);
      cairo_fill(mc);
    }
    cairo_destroy(mc);
    cairo_surface_flush(surf);
    return surf;
  };
  cairo_surface_t* shape = render(false);
  cairo_surface_t* ring = render(true);
  cairo_path_destroy(path);
  const unsigned char* sp = cairo_image_surface_get_data(shape);
  const int sstride = cairo_image_surface_get_stride(shape);
  unsigned char* rp = cairo_image_surface_get_data(ring);
  const int rstride = cairo_image_surface_get_stride(ring);
  // Distance from inside pixels to the nearest outside one.
  const auto depth = distanceTo(w, h, [&](int x, int y) { return sp[static_cast<std::ptrdiff_t>(y) * sstride + x] < 128; });
  const double half = lineWidth / 2 * std::sqrt(std::abs(m.xx * m.yy - m.xy * m.yx));
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const double keep = 1 - std::clamp(depth[static_cast<size_t>(y) * w + x] - half - 0.5, 0.0, 1.0);
      unsigned char& v = rp[static_cast<std::ptrdiff_t>(y) * rstride + x];
      v = static_cast<unsigned char>(std::lround(v * keep));
    }
  cairo_surface_mark_dirty(ring);
  cairo_save(c);
  cairo_identity_matrix(c);
  if (doFill) {
    ctx.setSourceColor(c, fill);
    cairo_mask_surface(c, shape, x0, y0);
  }
  ctx.setSourceColor(c, outline);
  cairo_mask_surface(c, ring, x0, y0);
  cairo_restore(c);
  cairo_surface_destroy(shape);
  cairo_surface_destroy(ring);
  return true;
}

// The alpha the context gives a colour of alpha `a` (its global alpha applied).
double effectiveAlpha(BitmapContext& ctx, cairo_t* cr, double a) {
  cairo_save(cr);
  ctx.setSourceColor(cr, {1, 1, 1, a});
  double r, g, b, alpha = 1;
  cairo_pattern_get_rgba(cairo_get_source(cr), &r, &g, &b, &alpha);
  cairo_restore(cr);
  return alpha;
}

}  // namespace

void drawTextLine(BitmapContext& ctx, const TextLine& line, Point origin, Color fill,
                  const std::optional<TextOutline>& outline) {
  if (!std::isfinite(origin.x) || !std::isfinite(origin.y) || line.glyphs().empty()) return;
  const auto& fonts = line.fonts();
  const auto& glyphs = line.glyphs();
  cairo_t* cr = ctx.cairoContext();
  const double size = line.font().size();
  const bool stroke = outline && std::isfinite(outline->width) && outline->width != 0 && outline->color.isFinite();
  const bool doFill = !stroke || outline->width < 0;
  const double lineWidth = stroke ? std::abs(outline->width) / 100.0 * size : 0;
  bool anyColor = false;
  for (const auto& f : fonts) anyColor = anyColor || f.instance()->colorStrike;
  // Colour glyphs ignore the fill's colour but fade with it (or with the
  // outline, when only the outline is drawn).
  const double pictureAlpha = anyColor ? effectiveAlpha(ctx, cr, doFill ? fill.a : outline->color.a) : 0;
  // The glyphs of one font, under that font's lock (its caches may be refilled meanwhile).
  auto forEachFont = [&](auto&& body) {
    for (size_t fi = 0; fi < fonts.size(); ++fi) {
      FontInstance& inst = *fonts[fi].instance();
      std::lock_guard lock(inst.mutex);
      body(inst, static_cast<uint16_t>(fi), size / inst.unitsPerEm);
    }
  };
  // Letters as one path, so fill, outline and shadow treat the line as a whole.
  auto appendLetters = [&](cairo_t* c) {
    forEachFont([&](FontInstance& inst, uint16_t fi, double k) {
      if (inst.colorStrike) return;
      for (const auto& g : glyphs) {
        if (g.font != fi) continue;
        const auto& ops = inst.outline(g.glyph);
        if (ops.empty()) continue;
        cairo_save(c);
        cairo_translate(c, origin.x + g.x, origin.y + g.y);
        cairo_scale(c, k, k);
        appendOutline(c, ops);
        cairo_restore(c);
      }
    });
  };
  cairo_matrix_t m;
  cairo_get_matrix(cr, &m);
  // Untransformed drawing (the base y flip plus a translation) places cached glyph
  // masks; anything else, or a shadow, goes through the outlines.
  if (m.xx == 1 && m.yx == 0 && m.xy == 0 && m.yy == -1 && !ctx.hasShadow() && lineWidth < 512) {
    // Passes: letters' fill, then outlines (a colour glyph's ring under it), then colour glyphs on top.
    // Joined letters with an outline are filled and outlined as one shape instead.
    const bool asUnion = stroke && line.joined() &&
                         paintUnionOutlined(ctx, cr, appendLetters, lineWidth, doFill, fill, outline->color);
    for (int pass = 0; pass < 3; ++pass) {
      if ((pass == 0 && (!doFill || asUnion)) || (pass == 1 && !stroke) || (pass == 2 && !anyColor)) continue;
      if (pass < 2) ctx.setSourceColor(cr, pass == 0 ? fill : outline->color);
      cairo_save(cr);
      cairo_identity_matrix(cr);
      forEachFont([&](FontInstance& inst, uint16_t fi, double k) {
        if ((pass == 0 && inst.colorStrike) || (pass == 1 && asUnion && !inst.colorStrike) ||
            (pass == 2 && !inst.colorStrike))
          return;
        for (const auto& g : glyphs) {
          if (g.font != fi) continue;
          double dx = origin.x + g.x, dy = origin.y + g.y;
          cairo_matrix_transform_point(&m, &dx, &dy);
          if (!std::isfinite(dx) || !std::isfinite(dy) || std::abs(dx) > 1e6 || std::abs(dy) > 1e6) continue;
          const double fx = std::floor(dx * kPhases + 0.5) / kPhases, fy = std::floor(dy * kPhases + 0.5) / kPhases;
          const double ix = std::floor(fx), iy = std::floor(fy);
          const auto& r = inst.raster(g.glyph, k, static_cast<int>((fx - ix) * kPhases),
                                      static_cast<int>((fy - iy) * kPhases), pass == 1 ? lineWidth : 0.0);
          if (!r.mask) continue;
          if (r.color) {
            cairo_set_source_surface(cr, r.mask, ix + r.x, iy + r.y);
            cairo_paint_with_alpha(cr, pictureAlpha);
          } else {
            cairo_mask_surface(cr, r.mask, ix + r.x, iy + r.y);
          }
        }
      });
      cairo_restore(cr);
    }
    return;
  }
  // Colour glyphs: pictures rasterised at the device's scale and mapped back
  // through the transform; `ring` draws their widened silhouettes instead.
  const double deviceScale = std::sqrt(std::abs(m.xx * m.yy - m.xy * m.yx));
  auto drawPictures = [&](cairo_t* c, bool ring) {
    if (!std::isfinite(deviceScale) || deviceScale < 1e-6 || deviceScale > 1e4) return;
    forEachFont([&](FontInstance& inst, uint16_t fi, double k) {
      if (!inst.colorStrike) return;
      for (const auto& g : glyphs) {
        if (g.font != fi) continue;
        const auto& r = inst.raster(g.glyph, k * deviceScale, 0, 0, ring ? lineWidth * deviceScale : 0.0);
        if (!r.mask) continue;
        cairo_save(c);
        cairo_translate(c, origin.x + g.x, origin.y + g.y);
        cairo_scale(c, 1 / deviceScale, -1 / deviceScale);
        if (ring) {
          cairo_mask_surface(c, r.mask, r.x, r.y);
        } else {
          cairo_set_source_surface(c, r.mask, r.x, r.y);
          cairo_pattern_set_filter(cairo_get_source(c), CAIRO_FILTER_GOOD);
          cairo_paint_with_alpha(c, pictureAlpha);
        }
        cairo_restore(c);
      }
    });
  };
  cairo_save(cr);
  // The shadow's layer reaches as far as the outline does.
  cairo_set_line_width(cr, lineWidth > 0 ? lineWidth : 1);
  cairo_new_path(cr);
  appendLetters(cr);
  if (anyColor) {
    // The pictures' boxes join the path only to size the shadow's layer.
    forEachFont([&](FontInstance& inst, uint16_t fi, double k) {
      if (!inst.colorStrike) return;
      const double s = k * inst.unitsPerEm / inst.strikePpem;
      for (const auto& g : glyphs) {
        if (g.font != fi) continue;
        const auto& p = inst.picture(g.glyph);
        if (!p.image) continue;
        cairo_rectangle(cr, origin.x + g.x + p.left * s, origin.y + g.y + p.top * s, p.width * s, -p.height * s);
      }
    });
  }
  ctx.paintWithShadow([&](cairo_t* c) {
    if (stroke && line.joined() &&
        paintUnionOutlined(ctx, c, appendLetters, lineWidth, doFill, fill, outline->color)) {
      cairo_new_path(c);
    } else if (anyColor) {
      cairo_new_path(c);
      appendLetters(c);
    }
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
    if (anyColor) {
      if (stroke) {
        cairo_save(c);
        ctx.setSourceColor(c, outline->color);
        drawPictures(c, true);
        cairo_restore(c);
      }
      drawPictures(c, false);
    }
  });
  cairo_new_path(cr);
  cairo_restore(cr);
}

}  // namespace vantrel::graphics
