#include "vantrel/desktop/image.h"

#include <png.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>

#include "vantrel/common/files.h"
#include "vantrel/desktop/error.h"

namespace vantrel::desktop {

namespace {

RgbaImage shrink(const RgbaImage& src, int w, int h) {
  RgbaImage out{w, h, std::vector<std::uint8_t>(static_cast<std::size_t>(w) * h * 4)};
  const double sx = static_cast<double>(src.width) / w;
  const double sy = static_cast<double>(src.height) / h;
  for (int y = 0; y < h; ++y) {
    const double y0 = y * sy, y1 = (y + 1) * sy;
    for (int x = 0; x < w; ++x) {
      const double x0 = x * sx, x1 = (x + 1) * sx;
      double acc[4] = {0, 0, 0, 0};
      double area = 0;
      for (int yy = static_cast<int>(y0); yy < std::min(src.height, static_cast<int>(std::ceil(y1))); ++yy) {
        const double wy = std::min<double>(yy + 1, y1) - std::max<double>(yy, y0);
        for (int xx = static_cast<int>(x0); xx < std::min(src.width, static_cast<int>(std::ceil(x1))); ++xx) {
          const double wx = std::min<double>(xx + 1, x1) - std::max<double>(xx, x0);
          const double wgt = wx * wy;
          const std::uint8_t* p = src.at(xx, yy);
          const double a = p[3] / 255.0;
          acc[0] += p[0] * a * wgt;
          acc[1] += p[1] * a * wgt;
          acc[2] += p[2] * a * wgt;
          acc[3] += a * wgt;
          area += wgt;
        }
      }
      std::uint8_t* o = &out.pixels[(static_cast<std::size_t>(y) * w + x) * 4];
      const double alpha = area > 0 ? acc[3] / area : 0;
      for (int c = 0; c < 3; ++c) {
        o[c] = acc[3] > 0 ? static_cast<std::uint8_t>(std::clamp(std::lround(acc[c] / acc[3]), 0L, 255L)) : 0;
      }
      o[3] = static_cast<std::uint8_t>(std::clamp(std::lround(alpha * 255.0), 0L, 255L));
    }
  }
  return out;
}

RgbaImage grow(const RgbaImage& src, int w, int h) {
  RgbaImage out{w, h, std::vector<std::uint8_t>(static_cast<std::size_t>(w) * h * 4)};
  for (int y = 0; y < h; ++y) {
    const double fy = std::clamp((y + 0.5) * src.height / h - 0.5, 0.0, src.height - 1.0);
    const int y0 = static_cast<int>(fy), y1 = std::min(y0 + 1, src.height - 1);
    const double ty = fy - y0;
    for (int x = 0; x < w; ++x) {
      const double fx = std::clamp((x + 0.5) * src.width / w - 0.5, 0.0, src.width - 1.0);
      const int x0 = static_cast<int>(fx), x1 = std::min(x0 + 1, src.width - 1);
      const double tx = fx - x0;
      const std::uint8_t* q[4] = {src.at(x0, y0), src.at(x1, y0), src.at(x0, y1), src.at(x1, y1)};
      const double wq[4] = {(1 - tx) * (1 - ty), tx * (1 - ty), (1 - tx) * ty, tx * ty};
      double acc[4] = {0, 0, 0, 0};
      for (int k = 0; k < 4; ++k) {
        const double a = q[k][3] / 255.0;
        for (int c = 0; c < 3; ++c) acc[c] += q[k][c] * a * wq[k];
        acc[3] += a * wq[k];
      }
      std::uint8_t* o = &out.pixels[(static_cast<std::size_t>(y) * w + x) * 4];
      for (int c = 0; c < 3; ++c) {
        o[c] = acc[3] > 0 ? static_cast<std::uint8_t>(std::clamp(std::lround(acc[c] / acc[3]), 0L, 255L)) : 0;
      }
      o[3] = static_cast<std::uint8_t>(std::clamp(std::lround(acc[3] * 255.0), 0L, 255L));
    }
  }
  return out;
}

}  // namespace

RgbaImage scaleImage(const RgbaImage& source, int width, int height) {
  if (source.empty() || width <= 0 || height <= 0) return {};
  if (source.width == width && source.height == height) return source;
  if (width <= source.width && height <= source.height) return shrink(source, width, height);
  if (width >= source.width && height >= source.height) return grow(source, width, height);
  // Mixed: grow the short side first so that each pass only goes one way.
  return shrink(grow(source, std::max(width, source.width), std::max(height, source.height)), width, height);
}

std::vector<std::uint8_t> encodePng(const RgbaImage& image, bool withAlpha) {
  if (image.empty() || image.pixels.size() != static_cast<std::size_t>(image.width) * image.height * 4) {
    throw DesktopError(DesktopErrorCode::ImageEncodingFailed, "the image is empty");
  }
  // libpng's simplified API keeps its setjmp inside the library, so no local
  // of ours can be left indeterminate by its error path.
  png_image png;
  std::memset(&png, 0, sizeof png);
  png.version = PNG_IMAGE_VERSION;
  png.width = static_cast<png_uint_32>(image.width);
  png.height = static_cast<png_uint_32>(image.height);
  png.format = withAlpha ? PNG_FORMAT_RGBA : PNG_FORMAT_RGB;
  std::vector<std::uint8_t> rgb;
  const std::uint8_t* pixels = image.pixels.data();
  if (!withAlpha) {
    const std::size_t count = static_cast<std::size_t>(image.width) * image.height;
    rgb.resize(count * 3);
    for (std::size_t i = 0; i < count; ++i) std::memcpy(&rgb[i * 3], &image.pixels[i * 4], 3);
    pixels = rgb.data();
  }
  png_alloc_size_t size = 0;
  // A first pass without a buffer measures the file; the second writes it.
  if (!png_image_write_to_memory(&png, nullptr, &size, 0, pixels, 0, nullptr)) {
    std::string message = png.message;
    png_image_free(&png);
    throw DesktopError(DesktopErrorCode::ImageEncodingFailed, message);
  }
  std::vector<std::uint8_t> out(size);
  if (!png_image_write_to_memory(&png, out.data(), &size, 0, pixels, 0, nullptr)) {
    std::string message = png.message;
    png_image_free(&png);
    throw DesktopError(DesktopErrorCode::ImageEncodingFailed, message);
  }
  out.resize(size);
  return out;
}

RgbaImage decodePng(const std::vector<std::uint8_t>& bytes) {
  png_image img;
  std::memset(&img, 0, sizeof img);
  img.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&img, bytes.data(), bytes.size())) {
    throw DesktopError(DesktopErrorCode::ImageDecodingFailed, img.message);
  }
  img.format = PNG_FORMAT_RGBA;
  RgbaImage out{static_cast<int>(img.width), static_cast<int>(img.height), {}};
  out.pixels.resize(PNG_IMAGE_SIZE(img));
  if (!png_image_finish_read(&img, nullptr, out.pixels.data(), 0, nullptr)) {
    std::string message = img.message;
    png_image_free(&img);
    throw DesktopError(DesktopErrorCode::ImageDecodingFailed, message);
  }
  return out;
}

RgbaImage decodePngFile(const std::string& path) {
  auto data = readWholeFile(path);
  if (!data) throw DesktopError(DesktopErrorCode::ImageDecodingFailed, path + ": cannot be read");
  try {
    return decodePng(std::vector<std::uint8_t>(data->begin(), data->end()));
  } catch (const DesktopError& e) {
    throw DesktopError(DesktopErrorCode::ImageDecodingFailed, path + ": " + e.payload());
  }
}

std::string base64Encode(const std::vector<std::uint8_t>& bytes) {
  static const char table[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t v = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
    out += table[v >> 18];
    out += table[(v >> 12) & 63];
    out += table[(v >> 6) & 63];
    out += table[v & 63];
  }
  if (const std::size_t rest = bytes.size() - i; rest > 0) {
    std::uint32_t v = bytes[i] << 16;
    if (rest == 2) v |= bytes[i + 1] << 8;
    out += table[v >> 18];
    out += table[(v >> 12) & 63];
    out += rest == 2 ? table[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::string pngDataUrl(const std::vector<std::uint8_t>& pngBytes) {
  return "data:image/png;base64," + base64Encode(pngBytes);
}

}  // namespace vantrel::desktop
