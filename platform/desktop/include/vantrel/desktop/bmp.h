#pragma once
// Windows and OS/2 bitmap (BMP) files, read without Leptonica: Leptonica
// refuses run-length encoded (RLE8, RLE4) and bit-field (16- and 32-bit masked)
// bitmaps, and RLE8 is what ImageMagick writes for any picture of 256 colours
// or fewer. Part of the OCR library (vantrel_desktop_ocr).
//
// Pure function, any thread; the input is untrusted: every offset and length
// is checked, and pictures above kMaxBmpPixels are refused before anything is
// allocated.

#include <cstdint>
#include <optional>
#include <span>

#include "vantrel/desktop/image.h"

namespace vantrel::desktop {

// Largest picture decoded, in pixels (a 256 MiB RGBA buffer; 8K is 33 M).
inline constexpr std::int64_t kMaxBmpPixels = 64LL * 1024 * 1024;

// The picture, top row first. Handles 1, 2, 4, 8, 16, 24 and 32 bits per
// pixel, uncompressed, RLE8, RLE4 and bit fields (with alpha where the header
// has an alpha mask; opaque otherwise), bottom-up and top-down rows, and every
// header size from the 12-byte OS/2 one to the 124-byte version 5. Pixels that
// a run-length stream skips, or that a truncated one never reaches, take
// palette entry 0; palette indices past the palette are black. Nothing for
// anything else: not a bitmap, embedded JPEG/PNG, a bad size, short pixel data,
// a palette-indexed picture without a palette, more than `maxPixels` pixels.
std::optional<RgbaImage> decodeBmp(std::span<const std::uint8_t> bytes, std::int64_t maxPixels = kMaxBmpPixels);

}  // namespace vantrel::desktop
