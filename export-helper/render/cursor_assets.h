#pragma once
// Cursor glyphs from the resource bundle: a JSON manifest of glyph families
// (one per cursor style) and one image file per glyph. A style and a recorded
// cursor type resolve to a glyph, scaled to the wanted width with its hotspot
// given in canvas pixels.
//
// Threads: the store is built once per export; `resolvedAsset` may be called
// from any thread (both caches lock), though the render state calls it from
// its own thread only. Returned images share cached pixels and stay valid
// after eviction.

#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "render/image_cache.h"
#include "vantrel/graphics/image.h"
#include "vantrel/graphics/renderer.h"

namespace vantrel::exporter {

struct CursorGlyphAssetDescriptor {
  std::string glyphKey;
  std::string filename;  // in the bundle's top directory, with extension
  double naturalWidth = 0;
  double naturalHeight = 0;
  double hotspotX = 0;  // natural units from the left edge
  double hotspotY = 0;  // natural units from the top edge
  std::string familyStyle;  // set from the owning family, not read from the JSON
};

struct CursorFamilyAssetDescriptor {
  std::string style;
  std::vector<CursorGlyphAssetDescriptor> glyphs;
};

struct CursorAssetManifest {
  std::map<std::string, std::string> aliases;  // cursor type -> glyph key
  std::vector<CursorFamilyAssetDescriptor> families;
};

// Strict decoding (every key required, exact types). Throws json::DecodeError.
CursorAssetManifest decodeCursorAssetManifest(std::string_view text);

// What the cursor layer draws: the glyph scaled to drawWidth x drawHeight at
// (0, 0) in drawing space (y up), and its hotspot measured from the glyph's
// bottom-left corner, in canvas pixels.
struct ResolvedCursorAsset {
  graphics::Image image;
  double drawWidth = 0;
  double drawHeight = 0;
  double offsetX = 0;
  double offsetY = 0;
};

class CursorAssetStore {
 public:
  static constexpr std::size_t kAssetCacheCostLimit = 67108864;    // decoded glyphs, 64 MiB
  static constexpr std::size_t kRenderCacheCostLimit = 100663296;  // scaled glyphs, 96 MiB

  // Reads "manifest.json" from `bundleDirectory`. Throws JobRunnerError
  // (unreadableManifest, "Cursor asset manifest is missing.") when there is no
  // manifest, json::DecodeError when it is malformed. A duplicate style or
  // glyph key keeps its first entry. `renderer` flattens scaled glyphs into
  // bitmaps so that a frame only moves them (null: they stay lazy recipes).
  CursorAssetStore(const std::string& bundleDirectory, std::shared_ptr<graphics::Renderer> renderer);

  // The glyph for `cursorType` in family `style`, `targetSize` canvas pixels
  // wide; falls back to family "default" with the same glyph key, then to its
  // "default" glyph. Nothing for targetSize <= 0 or when no image can be read.
  std::optional<ResolvedCursorAsset> resolvedAsset(const std::string& style, const std::string& cursorType,
                                                   double targetSize);

  const std::map<std::string, std::string>& aliases() const { return aliases_; }
  std::size_t renderCacheEntries();

 private:
  std::optional<graphics::Image> loadBaseImage(const CursorGlyphAssetDescriptor& glyph);
  std::optional<ResolvedCursorAsset> scaledAsset(const CursorGlyphAssetDescriptor& glyph, double targetSize);

  std::string bundleDirectory_;
  std::shared_ptr<graphics::Renderer> renderer_;
  std::map<std::string, std::string> aliases_;
  std::map<std::string, std::map<std::string, CursorGlyphAssetDescriptor>> glyphsByStyle_;
  std::mutex mutex_;
  CostLimitedImageCache assetCache_{kAssetCacheCostLimit};
  CostLimitedImageCache renderCache_{kRenderCacheCostLimit};
};

}  // namespace vantrel::exporter
