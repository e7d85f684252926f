#include "vantrel/desktop/cursor.h"

#include <X11/Xcursor/Xcursor.h>
#include <xcb/xfixes.h>

#include <cstdlib>
#include <set>


namespace vantrel::desktop {

const std::vector<std::pair<std::string_view, std::string_view>>& cursorNameTable() {
  // X11 has more shapes than the vocabulary; the closest one is chosen. The
  // four-way move arrows (fleur, move, all-scroll, size_all) have no match:
  // they are the arrow, not the closed hand, or dragging a window would show a
  // grabbing hand in exports.
  static const std::vector<std::pair<std::string_view, std::string_view>> table = {
      {"left_ptr", "default"},          {"default", "default"},          {"arrow", "default"},
      {"top_left_arrow", "default"},    {"xterm", "text"},                {"text", "text"},
      {"ibeam", "text"},                {"vertical-text", "text"},        {"crosshair", "crosshair"},
      {"cross", "crosshair"},           {"tcross", "crosshair"},          {"cross_reverse", "crosshair"},
      {"diamond_cross", "crosshair"},   {"hand2", "pointer"},             {"hand1", "pointer"},
      {"hand", "pointer"},              {"pointer", "pointer"},           {"pointing_hand", "pointer"},
      {"grab", "grab"},                 {"openhand", "grab"},             {"grabbing", "grabbing"},
      {"closedhand", "grabbing"},       {"fleur", "default"},             {"move", "default"},
      {"all-scroll", "default"},        {"size_all", "default"},         {"left_side", "w-resize"},
      {"w-resize", "w-resize"},         {"right_side", "e-resize"},       {"e-resize", "e-resize"},
      {"sb_h_double_arrow", "ew-resize"}, {"h_double_arrow", "ew-resize"}, {"ew-resize", "ew-resize"},
      {"col-resize", "ew-resize"},      {"size_hor", "ew-resize"},        {"split_h", "ew-resize"},
      {"top_side", "n-resize"},         {"n-resize", "n-resize"},         {"bottom_side", "s-resize"},
      {"s-resize", "s-resize"},         {"sb_v_double_arrow", "ns-resize"}, {"v_double_arrow", "ns-resize"},
      {"double_arrow", "ns-resize"},    {"ns-resize", "ns-resize"},       {"row-resize", "ns-resize"},
      {"size_ver", "ns-resize"},        {"split_v", "ns-resize"},         {"not-allowed", "not-allowed"},
      {"crossed_circle", "not-allowed"}, {"circle", "not-allowed"},       {"no-drop", "not-allowed"},
      {"forbidden", "not-allowed"},     {"dnd-no-drop", "not-allowed"},   {"context-menu", "context-menu"},
  };
  return table;
}

std::optional<std::string_view> cursorTypeForName(std::string_view xName) {
  for (const auto& [name, type] : cursorNameTable()) {
    if (name == xName) return type;
  }
  return std::nullopt;
}

std::uint64_t cursorShapeHash(int width, int height, int xhot, int yhot, const std::vector<bool>& opaque) {
  std::uint64_t h = 1469598103934665603ull;
  auto mix = [&h](std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
      h ^= (v >> (8 * i)) & 0xFF;
      h *= 1099511628211ull;
    }
  };
  mix(static_cast<std::uint32_t>(width));
  mix(static_cast<std::uint32_t>(height));
  mix(static_cast<std::uint32_t>(xhot));
  mix(static_cast<std::uint32_t>(yhot));
  // Eight pixels per mixed word keeps the hash cheap for 60 x 60 themes.
  std::uint32_t bits = 0;
  int count = 0;
  for (bool b : opaque) {
    bits = (bits << 1) | (b ? 1u : 0u);
    if (++count == 8) {
      mix(bits);
      bits = 0;
      count = 0;
    }
  }
  if (count > 0) mix(bits | (static_cast<std::uint32_t>(count) << 8));
  return h;
}

std::uint64_t cursorShapeHash(int width, int height, int xhot, int yhot, const std::uint32_t* argb) {
  const std::size_t n = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
  std::vector<bool> opaque(n);
  for (std::size_t i = 0; i < n; ++i) opaque[i] = (argb[i] >> 24) != 0;
  return cursorShapeHash(width, height, xhot, yhot, opaque);
}

namespace {

// Core cursor font glyphs (X11/cursorfont.h numbers) for the shapes the
// vocabulary has; each shape's mask is the next glyph.
constexpr std::pair<int, std::string_view> kCoreGlyphs[] = {
    {68, "default"},     {2, "default"},        {132, "default"},    {152, "text"},        {34, "crosshair"},
    {30, "crosshair"},   {130, "crosshair"},    {32, "crosshair"},   {36, "crosshair"},    {60, "pointer"},
    {58, "pointer"},     {52, "default"},      {70, "w-resize"},    {96, "e-resize"},     {108, "ew-resize"},
    {138, "n-resize"},   {16, "s-resize"},      {116, "ns-resize"},  {42, "ns-resize"},    {24, "not-allowed"},
};

// Draws each mask glyph of the cursor font into a bitmap and reads it back:
// the server builds a glyph cursor's opaque area from exactly that glyph,
// placed with its origin at the hot spot.
void indexCoreGlyphs(XConnection& x, std::unordered_map<std::uint64_t, std::string_view>& index) {
  xcb_connection_t* c = x.raw();
  const xcb_font_t font = xcb_generate_id(c);
  static constexpr char kFontName[] = "cursor";
  if (xcb_request_check(c, xcb_open_font_checked(c, font, sizeof kFontName - 1, kFontName)) != nullptr) return;
  Reply<xcb_query_font_reply_t> info(xcb_query_font_reply(c, xcb_query_font(c, font), nullptr));
  const xcb_setup_t* setup = xcb_get_setup(c);
  if (info) {
    const xcb_charinfo_t* chars = xcb_query_font_char_infos(info.get());
    const int charCount = xcb_query_font_char_infos_length(info.get());
    for (const auto& [shape, type] : kCoreGlyphs) {
      const int glyph = shape + 1 - info->min_char_or_byte2;
      if (glyph < 0 || glyph >= charCount) continue;
      const xcb_charinfo_t& m = chars[glyph];
      const int width = m.right_side_bearing - m.left_side_bearing;
      const int height = m.ascent + m.descent;
      if (width <= 0 || height <= 0) continue;
      const int xhot = -m.left_side_bearing, yhot = m.ascent;
      const xcb_pixmap_t pixmap = xcb_generate_id(c);
      const xcb_gcontext_t gc = xcb_generate_id(c);
      xcb_create_pixmap(c, 1, pixmap, x.root(), static_cast<std::uint16_t>(width), static_cast<std::uint16_t>(height));
      const std::uint32_t values[] = {1, 0, font};
      xcb_create_gc(c, gc, pixmap, XCB_GC_FOREGROUND | XCB_GC_BACKGROUND | XCB_GC_FONT, values);
      const xcb_rectangle_t all{0, 0, static_cast<std::uint16_t>(width), static_cast<std::uint16_t>(height)};
      const std::uint32_t zero = 0;
      xcb_change_gc(c, gc, XCB_GC_FOREGROUND, &zero);
      xcb_poly_fill_rectangle(c, pixmap, gc, 1, &all);
      const std::uint32_t one = 1;
      xcb_change_gc(c, gc, XCB_GC_FOREGROUND, &one);
      const char ch = static_cast<char>(shape + 1);
      xcb_image_text_8(c, 1, pixmap, gc, static_cast<std::int16_t>(xhot), static_cast<std::int16_t>(yhot), &ch);
      auto cookie = xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, pixmap, 0, 0, static_cast<std::uint16_t>(width),
                                  static_cast<std::uint16_t>(height), 1);
      Reply<xcb_get_image_reply_t> image(xcb_get_image_reply(c, cookie, nullptr));
      xcb_free_gc(c, gc);
      xcb_free_pixmap(c, pixmap);
      if (!image) continue;
      const int pad = setup->bitmap_format_scanline_pad;
      const int stride = (width + pad - 1) / pad * pad / 8;
      const std::uint8_t* bits = xcb_get_image_data(image.get());
      if (xcb_get_image_data_length(image.get()) < stride * height) continue;
      const bool lsbFirst = setup->bitmap_format_bit_order == XCB_IMAGE_ORDER_LSB_FIRST;
      std::vector<bool> opaque(static_cast<std::size_t>(width) * height);
      for (int yy = 0; yy < height; ++yy) {
        for (int xx = 0; xx < width; ++xx) {
          const std::uint8_t byte = bits[yy * stride + xx / 8];
          const int bit = lsbFirst ? (xx % 8) : (7 - xx % 8);
          opaque[static_cast<std::size_t>(yy) * width + xx] = ((byte >> bit) & 1) != 0;
        }
      }
      index[cursorShapeHash(width, height, xhot, yhot, opaque)] = type;
    }
  }
  xcb_close_font(c, font);
  x.flush();
}

}  // namespace

std::optional<CursorImage> themeCursorImage(const std::string& name, const std::string& theme, int size) {
  XcursorImages* images = XcursorLibraryLoadImages(name.c_str(), theme.c_str(), size);
  if (images == nullptr) return std::nullopt;
  std::optional<CursorImage> out;
  if (images->nimage > 0) {
    const XcursorImage* img = images->images[0];
    out = CursorImage{name,
                      static_cast<int>(img->width),
                      static_cast<int>(img->height),
                      static_cast<int>(img->xhot),
                      static_cast<int>(img->yhot),
                      std::vector<std::uint32_t>(img->pixels, img->pixels + static_cast<std::size_t>(img->width) * img->height)};
  }
  XcursorImagesDestroy(images);
  return out;
}

std::optional<CursorImage> currentCursor(XConnection& x, std::uint8_t* errorCode) {
  if (errorCode) *errorCode = 0;
  x.drainEvents();
  if (!x.xfixes()) return std::nullopt;
  auto cookie = xcb_xfixes_get_cursor_image_and_name(x.raw());
  xcb_generic_error_t* error = nullptr;
  Reply<xcb_xfixes_get_cursor_image_and_name_reply_t> reply(
      xcb_xfixes_get_cursor_image_and_name_reply(x.raw(), cookie, &error));
  if (!reply) {
    if (errorCode && error) *errorCode = error->error_code;
    std::free(error);
    return std::nullopt;
  }
  CursorImage c;
  c.width = reply->width;
  c.height = reply->height;
  c.xhot = reply->xhot;
  c.yhot = reply->yhot;
  const std::uint32_t* pixels = xcb_xfixes_get_cursor_image_and_name_cursor_image(reply.get());
  const int count = xcb_xfixes_get_cursor_image_and_name_cursor_image_length(reply.get());
  if (count < c.width * c.height) return std::nullopt;
  c.argb.assign(pixels, pixels + count);
  const char* name = xcb_xfixes_get_cursor_image_and_name_name(reply.get());
  c.name.assign(name, static_cast<std::size_t>(xcb_xfixes_get_cursor_image_and_name_name_length(reply.get())));
  return c;
}

std::optional<CursorImage> CursorReader::read() {
  if (!x_) return std::nullopt;
  std::uint8_t error = 0;
  auto cursor = currentCursor(*x_, &error);
  if (!cursor && error == XCB_ACCESS) {
    if (auto fresh = XConnection::tryOpen()) {
      x_ = std::move(fresh);
      cursor = currentCursor(*x_);
    }
  }
  return cursor;
}

CursorIdentifier::CursorIdentifier(XConnection* x, const std::string& themeName) {
  // XcursorLibraryLoadImages picks the size nearest to the one asked for, so
  // asking for a spread of sizes collects every size a theme file holds around
  // the pointer sizes in use; the set avoids hashing a size twice.
  static constexpr int kSizes[] = {16, 20, 22, 24, 28, 32, 40, 48, 56, 64, 72, 96};
  for (const auto& [xName, type] : cursorNameTable()) {
    std::set<int> seen;
    const std::string name(xName);
    for (int size : kSizes) {
      XcursorImages* images = XcursorLibraryLoadImages(name.c_str(), themeName.c_str(), size);
      if (images == nullptr) continue;
      if (images->nimage > 0 && seen.insert(static_cast<int>(images->images[0]->size)).second) {
        for (int i = 0; i < images->nimage; ++i) {
          const XcursorImage* img = images->images[i];
          index_[cursorShapeHash(static_cast<int>(img->width), static_cast<int>(img->height),
                                 static_cast<int>(img->xhot), static_cast<int>(img->yhot), img->pixels)] = type;
        }
      }
      XcursorImagesDestroy(images);
    }
  }
  if (x != nullptr) indexCoreGlyphs(*x, index_);
}

std::string_view CursorIdentifier::identify(const CursorImage& cursor) const {
  if (!cursor.name.empty()) {
    if (auto type = cursorTypeForName(cursor.name)) return *type;
  }
  if (cursor.width > 0 && cursor.height > 0 &&
      cursor.argb.size() >= static_cast<std::size_t>(cursor.width) * cursor.height) {
    auto it = index_.find(cursorShapeHash(cursor.width, cursor.height, cursor.xhot, cursor.yhot, cursor.argb.data()));
    if (it != index_.end()) return it->second;
  }
  return "default";
}

}  // namespace vantrel::desktop
