#include "vantrel/desktop/wallpaper.h"

#include <algorithm>

namespace vantrel::desktop {

namespace {

struct PixelFormat {
  int bitsPerPixel = 0;
  bool lsbFirst = true;
};

std::optional<PixelFormat> formatForDepth(XConnection& x, int depth) {
  const xcb_setup_t* setup = xcb_get_setup(x.raw());
  for (auto it = xcb_setup_pixmap_formats_iterator(setup); it.rem > 0; xcb_format_next(&it)) {
    if (it.data->depth == depth) {
      return PixelFormat{it.data->bits_per_pixel, setup->image_byte_order == XCB_IMAGE_ORDER_LSB_FIRST};
    }
  }
  return std::nullopt;
}

std::optional<xcb_pixmap_t> backgroundPixmap(XConnection& x) {
  for (const char* property : {"_XROOTPMAP_ID", "ESETROOT_PMAP_ID"}) {
    auto value = x.property32(x.root(), x.atom(property), XCB_ATOM_PIXMAP, 1);
    if (value && !value->empty() && value->front() != XCB_NONE) return value->front();
  }
  return std::nullopt;
}

}  // namespace

std::variant<RgbaImage, WallpaperStatus> readRootBackground(XConnection& x, std::optional<Rect> area) {
  auto pixmap = backgroundPixmap(x);
  if (!pixmap) return WallpaperStatus::NoPicture;
  Reply<xcb_get_geometry_reply_t> geometry(xcb_get_geometry_reply(x.raw(), xcb_get_geometry(x.raw(), *pixmap), nullptr));
  if (!geometry || geometry->width == 0 || geometry->height == 0) return WallpaperStatus::NotLoadable;
  auto format = formatForDepth(x, geometry->depth);
  // Only true-colour pixmaps of 24 or 32 bits are pictures; anything else is
  // not something a wallpaper setter leaves behind.
  if (!format || format->bitsPerPixel != 32 || geometry->depth < 24) return WallpaperStatus::NotLoadable;

  int left = 0, top0 = 0, width = geometry->width, height = geometry->height;
  if (area) {
    const int x0 = std::max(area->x, 0), y0 = std::max(area->y, 0);
    const int x1 = std::min(area->x + area->width, width), y1 = std::min(area->y + area->height, height);
    if (x1 <= x0 || y1 <= y0) return WallpaperStatus::NotLoadable;
    left = x0;
    top0 = y0;
    width = x1 - x0;
    height = y1 - y0;
  }
  RgbaImage image{width, height, std::vector<std::uint8_t>(static_cast<std::size_t>(width) * height * 4)};
  const std::uint32_t maxBytes = std::max<std::uint32_t>(xcb_get_maximum_request_length(x.raw()) * 4u, 1u << 18);
  const int bandRows = std::max(1, static_cast<int>(std::min<std::uint64_t>(maxBytes / 2 / (width * 4u), 1024)));
  const xcb_visualtype_t* visual = nullptr;
  for (auto d = xcb_screen_allowed_depths_iterator(&x.screen()); d.rem > 0 && !visual; xcb_depth_next(&d)) {
    for (auto v = xcb_depth_visuals_iterator(d.data); v.rem > 0; xcb_visualtype_next(&v)) {
      if (v.data->_class == XCB_VISUAL_CLASS_TRUE_COLOR && d.data->depth == geometry->depth) {
        visual = v.data;
        break;
      }
    }
  }
  std::uint32_t redMask = 0xFF0000, greenMask = 0x00FF00, blueMask = 0x0000FF;
  if (visual) {
    redMask = visual->red_mask;
    greenMask = visual->green_mask;
    blueMask = visual->blue_mask;
  }
  auto channel = [](std::uint32_t pixel, std::uint32_t mask) -> std::uint8_t {
    if (mask == 0) return 0;
    const int shift = __builtin_ctz(mask);
    const std::uint32_t max = mask >> shift;
    return static_cast<std::uint8_t>(((pixel & mask) >> shift) * 255u / max);
  };
  for (int top = 0; top < height; top += bandRows) {
    const int rows = std::min(bandRows, height - top);
    auto cookie = xcb_get_image(x.raw(), XCB_IMAGE_FORMAT_Z_PIXMAP, *pixmap, static_cast<std::int16_t>(left),
                                static_cast<std::int16_t>(top0 + top),
                                static_cast<std::uint16_t>(width), static_cast<std::uint16_t>(rows), ~0u);
    Reply<xcb_get_image_reply_t> reply(xcb_get_image_reply(x.raw(), cookie, nullptr));
    if (!reply) return WallpaperStatus::NotRasterized;
    const std::uint8_t* data = xcb_get_image_data(reply.get());
    const int length = xcb_get_image_data_length(reply.get());
    // Scanlines are padded to the server's scanline unit; 32-bit pixels never need padding.
    if (length < rows * width * 4) return WallpaperStatus::NotRasterized;
    for (int r = 0; r < rows; ++r) {
      for (int c = 0; c < width; ++c) {
        const std::uint8_t* p = data + (static_cast<std::size_t>(r) * width + c) * 4;
        const std::uint32_t pixel = format->lsbFirst
                                        ? (p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24))
                                        : ((static_cast<std::uint32_t>(p[0]) << 24) | (p[1] << 16) | (p[2] << 8) | p[3]);
        std::uint8_t* o = &image.pixels[(static_cast<std::size_t>(top + r) * width + c) * 4];
        o[0] = channel(pixel, redMask);
        o[1] = channel(pixel, greenMask);
        o[2] = channel(pixel, blueMask);
        o[3] = 255;
      }
    }
  }
  return image;
}

}  // namespace vantrel::desktop
