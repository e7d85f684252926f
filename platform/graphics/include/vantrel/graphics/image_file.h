#pragma once
// Image files: PNG, JPEG and WebP reading (pixel size, EXIF orientation,
// bounded thumbnails), JPEG and PNG writing. Decoded pixels are premultiplied
// BGRA8 in sRGB (embedded colour profiles are not applied).
//
// Readers never throw: a missing, corrupt, truncated or oversized file gives
// no image (std::nullopt / nullptr). Writers throw ImageFileError.
// All functions are thread-safe; each call works on its own file.

#include <cstdint>
#include <optional>
#include <string>

#include "vantrel/common/error.h"
#include "vantrel/graphics/pixel_buffer.h"

namespace vantrel::graphics {

enum class ImageFileErrorCode { openFailed, encodeFailed };

class ImageFileError : public CodedError<ImageFileErrorCode> {
 public:
  ImageFileError(ImageFileErrorCode code, std::string payload);
};

enum class ImageFormat { png, jpeg, webp };

struct ImageProperties {
  int width = 0;        // stored pixel size, before orientation
  int height = 0;
  int orientation = 1;  // EXIF orientation 1...8 (1 when absent or invalid)
  ImageFormat format = ImageFormat::png;
};

// Largest full decode accepted, in pixels (about 256 MB of BGRA).
constexpr int64_t kMaxDecodePixels = 64LL * 1024 * 1024;

std::optional<ImageProperties> readImageProperties(const std::string& path);

// The whole picture as stored (orientation not applied); nullptr above kMaxDecodePixels.
BufferRef readImage(const std::string& path);

// A picture whose longer side is at most maxPixelSize (never enlarged), turned
// upright by the EXIF orientation when `applyOrientation`. Decodes in bounded
// memory whatever the file's size (except interlaced PNGs above kMaxDecodePixels).
BufferRef readThumbnail(const std::string& path, int maxPixelSize, bool applyOrientation = true);

// Rotates/mirrors a top-row-first buffer by an EXIF orientation (1...8).
BufferRef applyExifOrientation(const PixelBuffer& in, int orientation);

// JPEG with quality 0...1 (alpha dropped: premultiplied colour, i.e. over black).
void writeJpeg(const PixelBuffer& pixels, const std::string& path, double quality);
// PNG with alpha (straight colour).
void writePng(const PixelBuffer& pixels, const std::string& path);

}  // namespace vantrel::graphics
