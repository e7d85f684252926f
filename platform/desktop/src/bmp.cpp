#include "vantrel/desktop/bmp.h"

#include <algorithm>
#include <array>
#include <bit>

namespace vantrel::desktop {

namespace {

constexpr std::uint32_t kRgb = 0, kRle8 = 1, kRle4 = 2, kBitFields = 3, kAlphaBitFields = 6;

class Bytes {
 public:
  explicit Bytes(std::span<const std::uint8_t> b) : b_(b) {}
  std::size_t size() const { return b_.size(); }
  bool has(std::uint64_t offset, std::uint64_t length) const {
    return offset <= b_.size() && length <= b_.size() - offset;
  }
  std::uint8_t u8(std::size_t i) const { return b_[i]; }
  std::uint16_t u16(std::size_t i) const { return static_cast<std::uint16_t>(b_[i] | (b_[i + 1] << 8)); }
  std::uint32_t u32(std::size_t i) const {
    return static_cast<std::uint32_t>(b_[i]) | (static_cast<std::uint32_t>(b_[i + 1]) << 8) |
           (static_cast<std::uint32_t>(b_[i + 2]) << 16) | (static_cast<std::uint32_t>(b_[i + 3]) << 24);
  }

 private:
  std::span<const std::uint8_t> b_;
};

// One colour channel of a masked (16- or 32-bit) pixel, widened or narrowed to 8 bits.
class Channel {
 public:
  explicit Channel(std::uint32_t mask) : mask_(mask) {
    if (mask == 0) return;
    shift_ = std::countr_zero(mask);
    bits_ = std::bit_width(mask >> shift_);
  }
  bool present() const { return mask_ != 0; }
  // A channel without bits (a zero mask) reads as 0.
  std::uint8_t operator()(std::uint32_t pixel) const {
    if (bits_ == 0) return 0;
    const std::uint32_t v = (pixel & mask_) >> shift_;
    if (bits_ >= 8) return static_cast<std::uint8_t>(v >> (bits_ - 8));
    const std::uint32_t top = (1u << bits_) - 1;
    return static_cast<std::uint8_t>((v * 255 + top / 2) / top);
  }

 private:
  std::uint32_t mask_ = 0;
  int shift_ = 0;
  int bits_ = 0;
};

struct Rgba {
  std::uint8_t r = 0, g = 0, b = 0, a = 255;
};

struct Header {
  std::int64_t width = 0, height = 0;  // height as stored: negative for top-down rows
  int bitsPerPixel = 0;
  std::uint32_t compression = kRgb;
  std::uint32_t colorsUsed = 0;
  std::uint32_t headerSize = 0;
  std::uint64_t paletteOffset = 0;
  std::size_t paletteEntrySize = 4;
  std::array<std::uint32_t, 4> masks{};  // red, green, blue, alpha
};

std::optional<Header> readHeader(const Bytes& b, std::int64_t maxPixels) {
  if (!b.has(0, 18) || b.u8(0) != 'B' || b.u8(1) != 'M') return std::nullopt;
  Header h;
  h.headerSize = b.u32(14);
  if (!b.has(14, h.headerSize)) return std::nullopt;
  if (h.headerSize == 12) {  // OS/2 1.x: 16-bit sizes, 3-byte palette entries
    h.width = b.u16(18);
    h.height = static_cast<std::int16_t>(b.u16(20));
    h.bitsPerPixel = b.u16(24);
    h.paletteEntrySize = 3;
  } else if (h.headerSize >= 40) {
    h.width = static_cast<std::int32_t>(b.u32(18));
    h.height = static_cast<std::int32_t>(b.u32(22));
    h.bitsPerPixel = b.u16(28);
    h.compression = b.u32(30);
    h.colorsUsed = b.u32(46);
    // OS/2 2.x headers reuse 3 and 4 for Huffman and RLE24 coding.
    if (h.headerSize == 64 && h.compression >= 3) return std::nullopt;
  } else {
    return std::nullopt;
  }
  h.paletteOffset = 14ULL + h.headerSize;

  const bool fields = h.compression == kBitFields || h.compression == kAlphaBitFields;
  if (fields) {
    // The masks sit right after the 40-byte part of the header: inside a
    // longer header, or in front of the palette after a 40-byte one.
    const bool alpha = h.compression == kAlphaBitFields || h.headerSize >= 56;
    if (!b.has(54, alpha ? 16 : 12)) return std::nullopt;
    h.masks = {b.u32(54), b.u32(58), b.u32(62), alpha ? b.u32(66) : 0u};
    if (h.headerSize == 40) h.paletteOffset += alpha ? 16 : 12;
    if (h.bitsPerPixel != 16 && h.bitsPerPixel != 32) return std::nullopt;
  } else if (h.bitsPerPixel == 16) {
    h.masks = {0x7C00, 0x03E0, 0x001F, 0};
  } else if (h.bitsPerPixel == 32) {
    h.masks = {0xFF0000, 0x00FF00, 0x0000FF, 0};
  }

  switch (h.compression) {
    case kRgb:
      if (h.bitsPerPixel != 1 && h.bitsPerPixel != 2 && h.bitsPerPixel != 4 && h.bitsPerPixel != 8 &&
          h.bitsPerPixel != 16 && h.bitsPerPixel != 24 && h.bitsPerPixel != 32) {
        return std::nullopt;
      }
      break;
    case kRle8:
      if (h.bitsPerPixel != 8) return std::nullopt;
      break;
    case kRle4:
      if (h.bitsPerPixel != 4) return std::nullopt;
      break;
    case kBitFields:
    case kAlphaBitFields:
      break;
    default:
      return std::nullopt;  // embedded JPEG or PNG, CMYK variants
  }

  const std::int64_t rows = h.height < 0 ? -h.height : h.height;
  if (h.width <= 0 || rows <= 0 || h.width * rows > std::min(maxPixels, kMaxBmpPixels)) return std::nullopt;
  return h;
}

// The palette lies between the header and the pixel data; entries a file
// claims beyond that space are not read from the pixels.
std::vector<Rgba> readPalette(const Bytes& b, const Header& h, std::uint64_t dataOffset) {
  std::vector<Rgba> palette;
  if (h.bitsPerPixel > 8 || dataOffset < h.paletteOffset) return palette;
  std::uint64_t count = h.colorsUsed != 0 ? h.colorsUsed : (1u << h.bitsPerPixel);
  count = std::min<std::uint64_t>({count, 256, (dataOffset - h.paletteOffset) / h.paletteEntrySize});
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::uint64_t at = h.paletteOffset + i * h.paletteEntrySize;
    if (!b.has(at, 3)) break;
    palette.push_back(Rgba{b.u8(at + 2), b.u8(at + 1), b.u8(at), 255});
  }
  return palette;
}

class Canvas {
 public:
  Canvas(const Header& h, const std::vector<Rgba>& palette)
      : palette_(palette), topDown_(h.height < 0) {
    image_.width = static_cast<int>(h.width);
    image_.height = static_cast<int>(h.height < 0 ? -h.height : h.height);
    image_.pixels.resize(static_cast<std::size_t>(image_.width) * image_.height * 4);
  }
  int width() const { return image_.width; }
  int height() const { return image_.height; }
  // `row` counts stored rows, in file order.
  void put(std::int64_t row, std::int64_t x, Rgba c) {
    if (row < 0 || row >= image_.height || x < 0 || x >= image_.width) return;
    const std::int64_t y = topDown_ ? row : image_.height - 1 - row;
    std::uint8_t* p = &image_.pixels[(static_cast<std::size_t>(y) * image_.width + static_cast<std::size_t>(x)) * 4];
    p[0] = c.r;
    p[1] = c.g;
    p[2] = c.b;
    p[3] = c.a;
  }
  void putIndex(std::int64_t row, std::int64_t x, unsigned index) { put(row, x, colour(index)); }
  Rgba colour(unsigned index) const { return index < palette_.size() ? palette_[index] : Rgba{}; }
  void fill(Rgba c) {
    for (std::size_t i = 0; i < image_.pixels.size(); i += 4) {
      image_.pixels[i] = c.r;
      image_.pixels[i + 1] = c.g;
      image_.pixels[i + 2] = c.b;
      image_.pixels[i + 3] = c.a;
    }
  }
  RgbaImage take() { return std::move(image_); }

 private:
  const std::vector<Rgba>& palette_;
  bool topDown_;
  RgbaImage image_;
};

std::optional<RgbaImage> decodeUncompressed(const Bytes& b, const Header& h, std::uint64_t dataOffset,
                                            Canvas& canvas) {
  const int bpp = h.bitsPerPixel;
  const std::uint64_t width = static_cast<std::uint64_t>(canvas.width());
  const std::uint64_t stride = (width * bpp + 31) / 32 * 4;
  const std::uint64_t lastRowBytes = (width * bpp + 7) / 8;
  if (!b.has(dataOffset, stride * (canvas.height() - 1) + lastRowBytes)) return std::nullopt;
  const Channel red(h.masks[0]), green(h.masks[1]), blue(h.masks[2]), alpha(h.masks[3]);
  for (std::int64_t row = 0; row < canvas.height(); ++row) {
    const std::size_t line = static_cast<std::size_t>(dataOffset + stride * static_cast<std::uint64_t>(row));
    for (std::uint64_t x = 0; x < width; ++x) {
      if (bpp <= 8) {
        const std::uint64_t bit = x * bpp;
        const unsigned byte = b.u8(line + bit / 8);
        const unsigned index = (byte >> (8 - bpp - bit % 8)) & ((1u << bpp) - 1);
        canvas.putIndex(row, static_cast<std::int64_t>(x), index);
      } else if (bpp == 24) {
        const std::size_t p = line + x * 3;
        canvas.put(row, static_cast<std::int64_t>(x), Rgba{b.u8(p + 2), b.u8(p + 1), b.u8(p), 255});
      } else {
        const std::uint32_t v = bpp == 16 ? b.u16(line + x * 2) : b.u32(line + x * 4);
        const Rgba c{red(v), green(v), blue(v), alpha.present() ? alpha(v) : std::uint8_t{255}};
        canvas.put(row, static_cast<std::int64_t>(x), c);
      }
    }
  }
  return canvas.take();
}

// Run-length coding: (count, value) pairs; a zero count escapes to end of
// line (0), end of picture (1), a jump (2, dx, dy) or a literal run of `value`
// pixels padded to an even number of bytes. A stream that ends early leaves
// the rest at palette entry 0, as other readers do.
RgbaImage decodeRunLength(const Bytes& b, bool fourBit, std::uint64_t dataOffset, Canvas& canvas) {
  canvas.fill(canvas.colour(0));
  std::uint64_t p = dataOffset;
  std::int64_t x = 0, row = 0;
  auto pixelOf = [&](std::uint8_t value, unsigned i) -> unsigned {
    return fourBit ? (i % 2 == 0 ? value >> 4 : value & 0x0F) : value;
  };
  while (b.has(p, 2) && row < canvas.height()) {
    const std::uint8_t count = b.u8(p), value = b.u8(p + 1);
    p += 2;
    if (count > 0) {
      for (unsigned i = 0; i < count; ++i) canvas.putIndex(row, x++, pixelOf(value, i));
      continue;
    }
    if (value == 0) {
      x = 0;
      ++row;
    } else if (value == 1) {
      break;
    } else if (value == 2) {
      if (!b.has(p, 2)) break;
      x += b.u8(p);
      row += b.u8(p + 1);
      p += 2;
    } else {
      const std::uint64_t length = fourBit ? (value + 1u) / 2 : value;
      for (unsigned i = 0; i < value && b.has(p + (fourBit ? i / 2 : i), 1); ++i) {
        canvas.putIndex(row, x++, pixelOf(b.u8(p + (fourBit ? i / 2 : i)), fourBit ? i : 0));
      }
      p += length + (length & 1);
    }
  }
  return canvas.take();
}

}  // namespace

std::optional<RgbaImage> decodeBmp(std::span<const std::uint8_t> bytes, std::int64_t maxPixels) {
  const Bytes b(bytes);
  const auto header = readHeader(b, maxPixels);
  if (!header) return std::nullopt;
  const std::uint64_t dataOffset = b.u32(10);
  if (!b.has(dataOffset, 0)) return std::nullopt;
  const std::vector<Rgba> palette = readPalette(b, *header, dataOffset);
  if (header->bitsPerPixel <= 8 && palette.empty()) return std::nullopt;
  Canvas canvas(*header, palette);
  if (header->compression == kRle8 || header->compression == kRle4) {
    return decodeRunLength(b, header->compression == kRle4, dataOffset, canvas);
  }
  return decodeUncompressed(b, *header, dataOffset, canvas);
}

}  // namespace vantrel::desktop
