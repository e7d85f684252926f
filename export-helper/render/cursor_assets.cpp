#include "render/cursor_assets.h"

#include <algorithm>
#include <cmath>

#include "job/job_errors.h"
#include "vantrel/common/files.h"
#include "vantrel/common/strict_json.h"
#include "vantrel/graphics/image_file.h"

namespace vantrel::json {

template <>
struct JsonDecode<::vantrel::exporter::CursorGlyphAssetDescriptor> {
  static ::vantrel::exporter::CursorGlyphAssetDescriptor decode(const Value& value, const Path& path) {
    ObjectReader reader(value, path);
    ::vantrel::exporter::CursorGlyphAssetDescriptor out;
    out.glyphKey = reader.required<std::string>("glyphKey");
    out.filename = reader.required<std::string>("filename");
    out.naturalWidth = reader.required<double>("naturalWidth");
    out.naturalHeight = reader.required<double>("naturalHeight");
    out.hotspotX = reader.required<double>("hotspotX");
    out.hotspotY = reader.required<double>("hotspotY");
    return out;
  }
};

template <>
struct JsonDecode<::vantrel::exporter::CursorFamilyAssetDescriptor> {
  static ::vantrel::exporter::CursorFamilyAssetDescriptor decode(const Value& value, const Path& path) {
    ObjectReader reader(value, path);
    ::vantrel::exporter::CursorFamilyAssetDescriptor out;
    out.style = reader.required<std::string>("style");
    out.glyphs = reader.required<std::vector<::vantrel::exporter::CursorGlyphAssetDescriptor>>("glyphs");
    return out;
  }
};

template <>
struct JsonDecode<::vantrel::exporter::CursorAssetManifest> {
  static ::vantrel::exporter::CursorAssetManifest decode(const Value& value, const Path& path) {
    ObjectReader reader(value, path);
    ::vantrel::exporter::CursorAssetManifest out;
    out.aliases = reader.required<std::map<std::string, std::string>>("aliases");
    out.families = reader.required<std::vector<::vantrel::exporter::CursorFamilyAssetDescriptor>>("families");
    return out;
  }
};

}  // namespace vantrel::json

namespace vantrel::exporter {

namespace gfx = vantrel::graphics;

CursorAssetManifest decodeCursorAssetManifest(std::string_view text) {
  return json::decodeDocument<CursorAssetManifest>(text);
}

CursorAssetStore::CursorAssetStore(const std::string& bundleDirectory, std::shared_ptr<gfx::Renderer> renderer)
    : bundleDirectory_(bundleDirectory), renderer_(std::move(renderer)) {
  // The manifest is ours and small; anything past a megabyte is not one.
  constexpr std::size_t kMaxManifestBytes = 1 << 20;
  const auto text = readWholeFile(bundleDirectory_ + "/manifest.json");
  if (!text) {
    throw JobRunnerError(JobRunnerErrorCode::unreadableManifest, "", "Cursor asset manifest is missing.");
  }
  if (text->size() > kMaxManifestBytes) throw json::DecodeError("cursor asset manifest is larger than 1 MiB");
  CursorAssetManifest manifest = decodeCursorAssetManifest(*text);
  for (auto& family : manifest.families) {
    auto& glyphs = glyphsByStyle_[family.style];
    if (!glyphs.empty()) continue;  // a repeated style keeps the first family
    for (auto& glyph : family.glyphs) {
      glyph.familyStyle = family.style;
      glyphs.emplace(glyph.glyphKey, glyph);  // a repeated key keeps the first glyph
    }
  }
  aliases_ = std::move(manifest.aliases);
}

std::size_t CursorAssetStore::renderCacheEntries() {
  std::lock_guard lock(mutex_);
  return renderCache_.size();
}

std::optional<gfx::Image> CursorAssetStore::loadBaseImage(const CursorGlyphAssetDescriptor& glyph) {
  const std::string key = "glyph:" + glyph.familyStyle + ":" + glyph.glyphKey;
  if (auto hit = assetCache_.find(key)) return hit;
  // Files live in the bundle's top directory; a name that climbs out of it is not ours.
  if (glyph.filename.empty() || glyph.filename.find('/') != std::string::npos || glyph.filename == "." ||
      glyph.filename == "..") {
    return std::nullopt;
  }
  gfx::BufferRef pixels = gfx::readImage(bundleDirectory_ + "/" + glyph.filename);
  if (!pixels || pixels->width() < 1 || pixels->height() < 1) return std::nullopt;
  const std::size_t cost =
      std::max<std::size_t>(static_cast<std::size_t>(pixels->stride()) * static_cast<std::size_t>(pixels->height()), 1);
  gfx::Image image = gfx::Image::fromBuffer(pixels);
  assetCache_.insert(key, image, cost);
  return image;
}

std::optional<ResolvedCursorAsset> CursorAssetStore::scaledAsset(const CursorGlyphAssetDescriptor& glyph,
                                                                 double targetSize) {
  const double w = targetSize;
  const double nw = std::max(glyph.naturalWidth, 1.0), nh = std::max(glyph.naturalHeight, 1.0);
  const double h = w * nh / nw;
  if (!std::isfinite(w) || !std::isfinite(h)) return std::nullopt;
  const std::string key = "glyph:" + glyph.familyStyle + ":" + glyph.glyphKey + "|" +
                          std::to_string(std::llround(w * 100)) + "x" + std::to_string(std::llround(h * 100));
  std::optional<gfx::Image> scaled = renderCache_.find(key);
  if (!scaled) {
    auto base = loadBaseImage(glyph);
    if (!base) return std::nullopt;
    const gfx::Rect e = base->extent();
    gfx::Image image =
        base->transformed(gfx::Affine::scale(w / std::max(e.width, 1.0), h / std::max(e.height, 1.0)));
    // Flattened once, so each frame only moves a small bitmap instead of
    // resampling the large source glyph again.
    if (renderer_) {
      const gfx::Rect bounds = image.extent().integral();
      if (!bounds.isEmpty() && bounds.isFinite() && bounds.width * bounds.height <= 4096.0 * 4096.0) {
        if (auto bitmap = renderer_->makeBitmap(image, bounds)) {
          image = gfx::Image::fromBuffer(bitmap).translated(bounds.minX(), bounds.minY());
        }
      }
    }
    renderCache_.insert(key, image, std::max<std::size_t>(static_cast<std::size_t>(std::floor(w * h * 4)), 1));
    scaled = image;
  }
  return ResolvedCursorAsset{*scaled, w, h, w * glyph.hotspotX / nw, h - h * glyph.hotspotY / nh};
}

std::optional<ResolvedCursorAsset> CursorAssetStore::resolvedAsset(const std::string& style,
                                                                   const std::string& cursorType, double targetSize) {
  if (!(targetSize > 0)) return std::nullopt;
  const auto alias = aliases_.find(cursorType);
  const std::string key = alias != aliases_.end() ? alias->second : "default";
  auto find = [&](const std::string& family, const std::string& glyph) -> const CursorGlyphAssetDescriptor* {
    const auto f = glyphsByStyle_.find(family);
    if (f == glyphsByStyle_.end()) return nullptr;
    const auto g = f->second.find(glyph);
    return g == f->second.end() ? nullptr : &g->second;
  };
  const CursorGlyphAssetDescriptor* glyph = find(style, key);
  if (!glyph) glyph = find("default", key);
  if (!glyph) glyph = find("default", "default");
  if (!glyph) return std::nullopt;
  std::lock_guard lock(mutex_);
  return scaledAsset(*glyph, targetSize);
}

}  // namespace vantrel::exporter
