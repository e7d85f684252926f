// The cursor glyph set in the built resource bundle: the manifest keeps the
// shape its reader accepts, every cursor-type name resolves in every family,
// and the images agree with the sizes and hotspots the manifest states.

#include <cairo.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cmath>
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

const fs::path kBundle = VANTREL_BUNDLE_DIR;

// Every cursor-type name the exporter may meet, written out here rather than
// taken from the generator so that a name dropped there is caught.
const char* const kCursorNames[] = {
    "default",     "text",        "crosshair",   "pointer",     "grab",        "grabbing",  "w-resize",
    "e-resize",    "ew-resize",   "n-resize",    "s-resize",    "ns-resize",   "not-allowed", "context-menu",
    "wait",        "progress",    "help",        "move",        "all-scroll",  "nesw-resize", "nwse-resize",
    "ne-resize",   "nw-resize",   "se-resize",   "sw-resize",   "col-resize",  "row-resize", "copy",
    "alias",       "zoom-in",     "zoom-out",    "cell",        "vertical-text", "no-drop",
};

json loadManifest() {
  std::ifstream in(kBundle / "manifest.json");
  if (!in) return json();
  return json::parse(in, nullptr, /*allow_exceptions=*/false);
}

std::set<std::string> keysOf(const json& object) {
  std::set<std::string> keys;
  for (auto it = object.begin(); it != object.end(); ++it) keys.insert(it.key());
  return keys;
}

const json* findGlyph(const json& family, const std::string& key) {
  for (const json& g : family["glyphs"])
    if (g["glyphKey"] == key) return &g;
  return nullptr;
}

using Surface = std::unique_ptr<cairo_surface_t, decltype(&cairo_surface_destroy)>;

Surface loadPng(const fs::path& p) { return Surface(cairo_image_surface_create_from_png(p.c_str()), cairo_surface_destroy); }

// Largest alpha within `radius` pixels of (x, y).
int maxAlphaNear(cairo_surface_t* s, double x, double y, int radius) {
  const int w = cairo_image_surface_get_width(s), h = cairo_image_surface_get_height(s);
  const int stride = cairo_image_surface_get_stride(s);
  const uint8_t* data = cairo_image_surface_get_data(s);
  int best = 0;
  for (int py = static_cast<int>(y) - radius; py <= static_cast<int>(y) + radius; ++py)
    for (int px = static_cast<int>(x) - radius; px <= static_cast<int>(x) + radius; ++px) {
      if (px < 0 || py < 0 || px >= w || py >= h) continue;
      uint32_t argb;
      std::memcpy(&argb, data + py * stride + px * 4, 4);
      best = std::max(best, static_cast<int>(argb >> 24));
    }
  return best;
}

TEST(CursorGlyphManifest, HasExactlyTheRecordShapeTheReaderAccepts) {
  const json m = loadManifest();
  ASSERT_TRUE(m.is_object()) << "manifest.json missing or not JSON";
  ASSERT_EQ(keysOf(m), (std::set<std::string>{"aliases", "families"}));
  ASSERT_TRUE(m["aliases"].is_object());
  for (const auto& [name, key] : m["aliases"].items()) EXPECT_TRUE(key.is_string()) << name;

  std::set<std::string> styles, files;
  for (const json& family : m["families"]) {
    ASSERT_EQ(keysOf(family), (std::set<std::string>{"style", "glyphs"}));
    EXPECT_TRUE(styles.insert(family["style"].get<std::string>()).second) << "duplicate style";
    std::set<std::string> glyphKeys;
    for (const json& g : family["glyphs"]) {
      ASSERT_EQ(keysOf(g), (std::set<std::string>{"glyphKey", "filename", "naturalWidth", "naturalHeight",
                                                  "hotspotX", "hotspotY"}));
      const std::string key = g["glyphKey"], file = g["filename"];
      EXPECT_TRUE(glyphKeys.insert(key).second) << "duplicate glyph " << key;
      EXPECT_TRUE(files.insert(file).second) << "file named twice: " << file;
      EXPECT_EQ(file.find('/'), std::string::npos) << file;
      for (const char* n : {"naturalWidth", "naturalHeight", "hotspotX", "hotspotY"})
        EXPECT_TRUE(g[n].is_number()) << key << " " << n;
    }
  }
  EXPECT_EQ(styles, (std::set<std::string>{"default", "white"}));
}

TEST(CursorGlyphManifest, EveryCursorNameResolvesInEveryFamily) {
  const json m = loadManifest();
  ASSERT_TRUE(m.is_object());
  for (const char* name : kCursorNames) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(m["aliases"].contains(name));
    const std::string key = m["aliases"][name];
    for (const json& family : m["families"]) EXPECT_NE(findGlyph(family, key), nullptr) << family["style"];
  }
  // The last fallback of the reader.
  for (const json& family : m["families"])
    if (family["style"] == "default") {
      EXPECT_NE(findGlyph(family, "default"), nullptr);
    }
}

TEST(CursorGlyphImages, MatchTheirNaturalSizeAndHoldTheirHotspot) {
  const json m = loadManifest();
  ASSERT_TRUE(m.is_object());
  for (const json& family : m["families"])
    for (const json& g : family["glyphs"]) {
      const std::string file = g["filename"];
      SCOPED_TRACE(file);
      const double nw = g["naturalWidth"], nh = g["naturalHeight"], hx = g["hotspotX"], hy = g["hotspotY"];
      ASSERT_GT(nw, 0);
      ASSERT_GT(nh, 0);
      EXPECT_TRUE(hx >= 0 && hx <= nw && hy >= 0 && hy <= nh) << hx << "," << hy;

      Surface png = loadPng(kBundle / file);
      ASSERT_EQ(cairo_surface_status(png.get()), CAIRO_STATUS_SUCCESS);
      const int w = cairo_image_surface_get_width(png.get()), h = cairo_image_surface_get_height(png.get());
      EXPECT_NEAR(static_cast<double>(w) / h, nw / nh, 1.0 / h);
      // A 240 px draw must not be an enlargement.
      EXPECT_GE(w, 240);
      // A hotspot lies on the drawn cursor (the glyph or its outline), never in
      // empty space: a few pixels around it are opaque.
      const double scale = w / nw;
      EXPECT_GE(maxAlphaNear(png.get(), hx * scale, hy * scale, static_cast<int>(scale / 2)), 200);
    }
}

// The arrow's hotspot is its tip: the body colour (not the outline) starts
// there, so the top-left corner of the body-coloured pixels is the hotspot.
TEST(CursorGlyphImages, ArrowTipSitsOnTheHotspot) {
  const json m = loadManifest();
  ASSERT_TRUE(m.is_object());
  for (const json& family : m["families"]) {
    SCOPED_TRACE(family["style"].get<std::string>());
    const json* g = findGlyph(family, "default");
    ASSERT_NE(g, nullptr);
    Surface png = loadPng(kBundle / (*g)["filename"].get<std::string>());
    ASSERT_EQ(cairo_surface_status(png.get()), CAIRO_STATUS_SUCCESS);
    cairo_surface_t* s = png.get();
    const int w = cairo_image_surface_get_width(s), h = cairo_image_surface_get_height(s);
    const double scale = w / (*g)["naturalWidth"].get<double>();
    const double hx = (*g)["hotspotX"].get<double>() * scale, hy = (*g)["hotspotY"].get<double>() * scale;
    auto at = [&](int x, int y) {
      uint32_t argb;
      std::memcpy(&argb, cairo_image_surface_get_data(s) + y * cairo_image_surface_get_stride(s) + x * 4, 4);
      return argb;
    };
    // Body colour: a point well inside the arrow, below and right of the tip.
    const uint32_t body = at(static_cast<int>(hx + 1.5 * scale), static_cast<int>(hy + 5 * scale));
    ASSERT_EQ(body >> 24, 255u);
    auto isBody = [&](uint32_t p) {
      if ((p >> 24) != 255) return false;
      for (int shift : {0, 8, 16})
        if (std::abs(static_cast<int>((p >> shift) & 255) - static_cast<int>((body >> shift) & 255)) > 24) return false;
      return true;
    };
    int minX = w, minY = h;
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x)
        if (isBody(at(x, y))) minX = std::min(minX, x), minY = std::min(minY, y);
    EXPECT_NEAR(minX, hx, scale / 2);
    EXPECT_NEAR(minY, hy, scale / 2);
    // The outline wraps the tip: the hotspot itself is on the drawn cursor.
    EXPECT_GE(maxAlphaNear(s, hx, hy, 1), 240);
  }
}

}  // namespace
