#pragma once
// 8-bit RGBA pictures, PNG files and data URLs for icons and wallpapers.
// Pixels are stored top row first, straight (not premultiplied) alpha.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vantrel::desktop {

struct RgbaImage {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> pixels;  // width * height * 4 bytes, R G B A

  bool empty() const { return width <= 0 || height <= 0; }
  const std::uint8_t* at(int x, int y) const { return &pixels[(static_cast<std::size_t>(y) * width + x) * 4]; }
};

// Resamples by area averaging (premultiplied, so transparent edges do not turn
// dark) when shrinking and by bilinear interpolation when growing.
RgbaImage scaleImage(const RgbaImage& source, int width, int height);

// PNG bytes of `image` (8-bit RGBA, or RGB when `withAlpha` is false).
// Throws DesktopError(ImageEncodingFailed) with libpng's message.
std::vector<std::uint8_t> encodePng(const RgbaImage& image, bool withAlpha = true);

// Reads a PNG file into RGBA. Throws DesktopError(ImageDecodingFailed).
RgbaImage decodePngFile(const std::string& path);
RgbaImage decodePng(const std::vector<std::uint8_t>& bytes);

// Standard base64 with padding.
std::string base64Encode(const std::vector<std::uint8_t>& bytes);

// "data:image/png;base64," + base64 of the PNG bytes.
std::string pngDataUrl(const std::vector<std::uint8_t>& pngBytes);

}  // namespace vantrel::desktop
