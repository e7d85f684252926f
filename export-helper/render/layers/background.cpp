// The project background: a raster the host prepared, a wallpaper (with the
// editor's focal crop unless it is the user's own desktop picture), a linear
// gradient, or a solid colour.

#include <algorithm>
#include <cmath>
#include <numbers>
#include <regex>

#include "manifest/color.h"
#include "render/layers/layers.h"
#include "render/render_state.h"

namespace vantrel::exporter {

namespace gfx = vantrel::graphics;

namespace {

gfx::Color toColor(const RgbaColor& c) { return {c.red, c.green, c.blue, c.alpha}; }

gfx::Color colorOr(const std::string& text, gfx::Color fallback) {
  auto c = parseColor(text);
  return c ? toColor(*c) : fallback;
}

const gfx::Image* findImage(const NativeRenderState& state, const std::optional<std::string>& path) {
  if (!path) return nullptr;
  auto it = state.inputs().imageSourcesByPath.find(*path);
  return it == state.inputs().imageSourcesByPath.end() ? nullptr : &it->second;
}

}  // namespace

gfx::Image scaleImageWithLanczos(const gfx::Image& image, const gfx::Rect& rect) {
  const gfx::Rect e = image.extent();
  const double sx = rect.width / std::max(e.width, 1.0);
  const double sy = rect.height / std::max(e.height, 1.0);
  const double scale = std::max(sy, 0.0001);
  return image.lanczosScaled(scale, std::max(sx, 0.0001) / scale)
      .translated(rect.minX() - sx * e.minX(), rect.minY() - sy * e.minY());
}

gfx::Image fitImageToRectWithMode(const gfx::Image& image, const gfx::Rect& rect, ImageFitMode mode) {
  const gfx::Rect e = image.extent().integral();
  const double ew = std::max(e.width, 1.0), eh = std::max(e.height, 1.0);
  const double sx = rect.width / ew, sy = rect.height / eh;
  const double s = mode == ImageFitMode::cover ? std::max(sx, sy) : std::min(sx, sy);
  const double scale = std::max(s, 0.0001);
  return image.lanczosScaled(scale, 1.0)
      .translated(rect.minX() + (rect.width - ew * s) / 2 - s * e.minX(),
                  rect.minY() + (rect.height - eh * s) / 2 - s * e.minY());
}

gfx::Image makeGradientBackground(const NativeBackgroundSettings& background, const gfx::Rect& rect) {
  const gfx::Color c0 = colorOr(background.color, {0, 0, 0, 1});
  const gfx::Color c1 = colorOr(background.secondaryColor, {0.1, 0.1, 0.1, 1});
  const double h = std::hypot(rect.width, rect.height) / 2;
  const double theta = background.gradientAngle * std::numbers::pi / 180;
  const double dx = h * std::cos(theta), dy = h * std::sin(theta);
  if (!std::isfinite(dx) || !std::isfinite(dy)) return gfx::Image::solid(c0).cropped(rect);
  return gfx::Image::linearGradient({rect.midX() - dx, rect.midY() - dy}, c0, {rect.midX() + dx, rect.midY() + dy}, c1)
      .cropped(rect);
}

gfx::Image makeWallpaperCoverBackground(const gfx::Image& image, const gfx::Rect& rect,
                                        const std::optional<NativeWallpaperTransform>& transform) {
  if (!transform) return fitImageToRectWithMode(image, rect, ImageFitMode::cover).cropped(rect);
  const double zoom = transform->scale ? std::clamp(*transform->scale, 1.0, 2.0) : 1.0;
  const double fx = transform->focalX ? std::clamp(*transform->focalX, 0.0, 1.0) : 0.5;
  const double fy = transform->focalY ? std::clamp(*transform->focalY, 0.0, 1.0) : 0.5;
  const gfx::Rect e = image.extent().integral();
  if (!(e.width > 0) || !(e.height > 0) || !(rect.width > 0) || !(rect.height > 0)) return image;
  const double a = rect.width / rect.height;
  double cw, ch;
  if (e.width / e.height > a) {
    cw = a * e.height;
    ch = e.height;
  } else {
    cw = e.width;
    ch = e.width / a;
  }
  cw /= zoom;
  ch /= zoom;
  // The focal point is given from the top-left; canvas space has y up.
  const gfx::Image crop =
      image.cropped({e.minX() + fx * (e.width - cw), e.minY() + (1 - fy) * (e.height - ch), cw, ch});
  if (crop.extent().integral().isEmpty()) return crop;
  return scaleImageWithLanczos(crop, rect).cropped(rect);
}

bool isDesktopWallpaperName(const std::string& pathOrUrl) {
  static const std::regex pattern(R"((^|[-/])desktop-wallpaper\.(png|jpe?g|webp)([?#].*)?$)",
                                  std::regex::ECMAScript | std::regex::icase);
  return std::regex_search(pathOrUrl, pattern);
}

gfx::Image makeBackgroundImage(const NativeRenderState& state, Size canvas) {
  const auto& plan = state.manifest().overlayPlan;
  const auto& background = state.manifest().scene.settings.background;
  const gfx::Rect rect{0, 0, canvas.width, canvas.height};

  if (const gfx::Image* raster = findImage(state, plan.backgroundRasterPath)) {
    return fitImageToRectWithMode(*raster, rect, ImageFitMode::cover).cropped(rect);
  }
  if (const gfx::Image* wallpaper = findImage(state, plan.wallpaperPath)) {
    auto cover = [&] { return fitImageToRectWithMode(*wallpaper, rect, ImageFitMode::cover).cropped(rect); };
    if (!background.wallpaperUploadUrl) return cover();
    if (background.wallpaperUploadSource) {
      if (*background.wallpaperUploadSource == "desktop") return cover();
      return makeWallpaperCoverBackground(*wallpaper, rect, background.wallpaperTransform);
    }
    if (isDesktopWallpaperName(*plan.wallpaperPath) || isDesktopWallpaperName(*background.wallpaperUploadUrl)) {
      return cover();
    }
    return makeWallpaperCoverBackground(*wallpaper, rect, background.wallpaperTransform);
  }
  if (background.type == "gradient") return makeGradientBackground(background, rect);
  return gfx::Image::solid(colorOr(background.color, {0, 0, 0, 1})).cropped(rect);
}

LayerResult backgroundLayer(NativeRenderState& state, double, const SceneLayerInputs&) {
  return state.cachedBackgroundImage();
}

bool backgroundLayerChangesBetween(NativeRenderState&, double, double) {
  // Colour, gradient, wallpaper and raster are built once per export at the
  // canvas size and never animate.
  return false;
}

}  // namespace vantrel::exporter
