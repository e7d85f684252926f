#include "vantrel/desktop/bmp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "vantrel/testing/process.h"

namespace vantrel::desktop {
namespace {

using testing::runProcess;

std::vector<std::uint8_t> bytesOf(const std::string& s) { return std::vector<std::uint8_t>(s.begin(), s.end()); }

std::uint32_t le32(const std::vector<std::uint8_t>& b, std::size_t i) {
  return b[i] | (b[i + 1] << 8) | (b[i + 2] << 16) | (static_cast<std::uint32_t>(b[i + 3]) << 24);
}

// What FFmpeg's own BMP decoder makes of the file, as RGBA.
std::vector<std::uint8_t> ffmpegRgba(const std::string& path) {
  const auto r = runProcess({"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-i", path, "-f", "rawvideo", "-pix_fmt",
                             "rgba", "-"});
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  return bytesOf(r.out);
}

// Bitmaps as ImageMagick and FFmpeg write them (Leptonica reads only some of
// these), decoded exactly as FFmpeg decodes them. 5-bit channels may differ by
// one step of rounding.
TEST(DecodeBmp, AgreesWithFfmpegOnEveryWriterVariant) {
  testing::TempDir dir;
  const std::string source = dir.file("source.png");
  // Odd width: rows are padded to four bytes at every depth.
  auto made = runProcess({"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-f", "lavfi", "-i", "testsrc=s=37x23",
                          "-frames:v", "1", source});
  ASSERT_EQ(made.exitStatus, 0) << made.err;
  const struct {
    const char* name;
    std::vector<std::string> tool;  // the output path is appended
    std::uint32_t headerSize;
    int bitsPerPixel;
    std::uint32_t compression;
  } cases[] = {
      {"magick-default-rle8.bmp", {"/usr/bin/convert", source, "-colors", "200"}, 124, 8, 1},
      {"magick-bmp3-rle8.bmp", {"/usr/bin/convert", source, "-colors", "200"}, 40, 8, 1},
      {"magick-4bit.bmp", {"/usr/bin/convert", source, "-colors", "12"}, 124, 4, 0},
      {"magick-os2.bmp", {"/usr/bin/convert", source, "-colors", "200"}, 12, 8, 0},
      {"magick-alpha-bitfields.bmp", {"/usr/bin/convert", source, "-type", "TrueColorAlpha"}, 124, 32, 3},
      {"magick-bilevel.bmp", {"/usr/bin/convert", source, "-type", "Bilevel"}, 108, 1, 0},
      {"ffmpeg-rgb565.bmp", {"/usr/bin/ffmpeg", "-v", "error", "-i", source, "-pix_fmt", "rgb565le"}, 40, 16, 3},
      {"ffmpeg-rgb555.bmp", {"/usr/bin/ffmpeg", "-v", "error", "-i", source, "-pix_fmt", "rgb555le"}, 40, 16, 0},
      {"ffmpeg-bgr24.bmp", {"/usr/bin/ffmpeg", "-v", "error", "-i", source, "-pix_fmt", "bgr24"}, 40, 24, 0},
      {"ffmpeg-pal8.bmp", {"/usr/bin/ffmpeg", "-v", "error", "-i", source, "-pix_fmt", "pal8"}, 40, 8, 0},
      {"ffmpeg-mono.bmp", {"/usr/bin/ffmpeg", "-v", "error", "-i", source, "-pix_fmt", "monob"}, 40, 1, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string out = dir.file(c.name);
    std::vector<std::string> argv = c.tool;
    const std::string name = c.name;
    if (name.starts_with("magick-bmp3")) out = "bmp3:" + out;
    if (name.starts_with("magick-os2")) out = "bmp2:" + out;
    argv.push_back(out);
    const auto r = runProcess(argv);
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    const auto file = bytesOf(testing::readFile(dir.file(c.name)));
    ASSERT_GT(file.size(), 54u);
    // The writer still makes the variant this case is about.
    ASSERT_EQ(le32(file, 14), c.headerSize);
    if (c.headerSize > 12) {
      ASSERT_EQ(file[28], c.bitsPerPixel);
      ASSERT_EQ(le32(file, 30), c.compression);
    }
    const auto image = decodeBmp(file);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->width, 37);
    EXPECT_EQ(image->height, 23);
    const auto expected = ffmpegRgba(dir.file(c.name));
    ASSERT_EQ(image->pixels.size(), expected.size());
    int worst = 0;
    for (std::size_t i = 0; i < expected.size(); ++i) worst = std::max(worst, std::abs(image->pixels[i] - expected[i]));
    EXPECT_LE(worst, 1);
  }
}

// A bitmap around hand-made pixel data: 40-byte header; palette entry i is
// (16 + i, 2i, 3i), so no entry is black.
std::vector<std::uint8_t> bitmap(int width, int height, int bpp, std::uint32_t compression, int paletteSize,
                                 const std::vector<std::uint8_t>& data) {
  const std::size_t dataOffset = 54 + 4 * static_cast<std::size_t>(paletteSize);
  std::vector<std::uint8_t> b(dataOffset + data.size());
  auto put32 = [&](std::size_t at, std::uint32_t v) {
    for (int k = 0; k < 4; ++k) b[at + k] = static_cast<std::uint8_t>(v >> (8 * k));
  };
  b[0] = 'B';
  b[1] = 'M';
  put32(10, 54 + 4 * paletteSize);
  put32(14, 40);
  put32(18, static_cast<std::uint32_t>(width));
  put32(22, static_cast<std::uint32_t>(height));
  b[26] = 1;
  b[28] = static_cast<std::uint8_t>(bpp);
  put32(30, compression);
  put32(46, static_cast<std::uint32_t>(paletteSize));
  for (int i = 0; i < paletteSize; ++i) {
    b[54 + 4 * i] = static_cast<std::uint8_t>(3 * i);
    b[55 + 4 * i] = static_cast<std::uint8_t>(2 * i);
    b[56 + 4 * i] = static_cast<std::uint8_t>(16 + i);
  }
  std::copy(data.begin(), data.end(), b.begin() + static_cast<std::ptrdiff_t>(dataOffset));
  return b;
}

// Palette indices back from the colours, top row first; '?' for black (an
// index past the palette).
std::vector<std::string> indexRows(const RgbaImage& image) {
  std::vector<std::string> rows;
  for (int y = 0; y < image.height; ++y) {
    std::string row;
    for (int x = 0; x < image.width; ++x) {
      const std::uint8_t* p = image.at(x, y);
      const int i = p[0] - 16;
      const bool entry = i >= 0 && i < 16 && p[1] == 2 * i && p[2] == 3 * i && p[3] == 255;
      row += entry ? "0123456789abcdef"[i] : '?';
    }
    rows.push_back(row);
  }
  return rows;
}

TEST(DecodeBmp, RunLengthEscapesPaddingAndDamage) {
  const struct {
    const char* name;
    int bpp;
    int width, height;
    std::vector<std::uint8_t> data;
    std::vector<std::string> rows;  // top row first; the stream starts at the bottom row
  } cases[] = {
      {"rle8 runs, odd literal padded, end of line, end of picture", 8, 6, 2,
       {3, 5, 0, 3, 1, 2, 3, 0 /*pad*/, 0, 0, 6, 7, 0, 1}, {"777777", "555123"}},
      {"rle8 jump leaves entry 0", 8, 4, 3, {1, 9, 0, 2, 2, 1, 1, 8, 0, 1}, {"0000", "0008", "9000"}},
      {"rle8 run past the row end is clipped, not wrapped", 8, 3, 2, {9, 4, 0, 0, 1, 6, 0, 1}, {"600", "444"}},
      {"rle8 stream cut short leaves the rest at entry 0", 8, 4, 2, {2, 3, 0, 5, 1, 2}, {"0000", "3312"}},
      {"rle4 run alternates nibbles; 5-pixel literal takes 3 bytes + pad", 4, 7, 2,
       {5, 0x12, 0, 0, 0, 5, 0x34, 0x56, 0x70, 0 /*pad*/, 0, 1}, {"3456700", "1212100"}},
      {"index past the palette is black", 8, 2, 1, {1, 200, 1, 1, 0, 1}, {"?1"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto image = decodeBmp(bitmap(c.width, c.height, c.bpp, c.bpp == 8 ? 1 : 2, 16, c.data));
    ASSERT_TRUE(image);
    EXPECT_EQ(indexRows(*image), c.rows);
  }
}

TEST(DecodeBmp, TopDownRowsMatchBottomUpOnes) {
  // Two rows of 2-bit pixels, each padded to four bytes.
  const auto bottomUp = decodeBmp(bitmap(5, 2, 2, 0, 4, {0x1B, 0xC0, 0, 0, 0xE4, 0x40, 0, 0}));
  ASSERT_TRUE(bottomUp);
  EXPECT_EQ(indexRows(*bottomUp), (std::vector<std::string>{"32101", "01233"}));
  const auto topDown = decodeBmp(bitmap(5, -2, 2, 0, 4, {0xE4, 0x40, 0, 0, 0x1B, 0xC0, 0, 0}));
  ASSERT_TRUE(topDown);
  EXPECT_EQ(topDown->pixels, bottomUp->pixels);
}

// Inputs the fuzzer found that once crashed the reader; each must decode or be
// refused cleanly (the sanitizer build runs these too).
TEST(DecodeBmp, FuzzFindingsDecodeOrRefuseCleanly) {
  const struct {
    const char* file;
    bool decodes;
  } cases[] = {
      // 16-bit bit fields with a zero red mask: divided by zero.
      {"fuzz-bmp-zero-mask.bmp", true},
  };
  for (const auto& c : cases) {
    const auto bytes = bytesOf(testing::readFile(std::string(VANTREL_DESKTOP_TEST_DATA) + "/" + c.file));
    const auto image = decodeBmp(bytes);
    ASSERT_EQ(image.has_value(), c.decodes) << c.file;
    if (image) {
      EXPECT_EQ(image->pixels.size(), static_cast<std::size_t>(image->width) * image->height * 4);
    }
  }
}

TEST(DecodeBmp, RefusesWhatIsNoUsableBitmap) {
  const std::vector<std::uint8_t> rle = {1, 1, 0, 1};
  auto notBm = bitmap(2, 1, 8, 1, 16, rle);
  notBm[0] = 'P';
  auto shortHeader = bitmap(2, 1, 8, 1, 16, rle);
  shortHeader[14] = 20;
  auto badOffset = bitmap(2, 1, 8, 1, 16, rle);
  badOffset[12] = 0x10;
  const struct {
    const char* name;
    std::vector<std::uint8_t> bytes;
  } cases[] = {
      {"empty", {}},
      {"signature only", {'B', 'M'}},
      {"not a bitmap", notBm},
      {"unknown header size", shortHeader},
      {"embedded PNG", bitmap(2, 1, 8, 5, 16, rle)},
      {"RLE8 at 4 bits", bitmap(2, 1, 4, 1, 16, rle)},
      {"bit fields at 24 bits", bitmap(2, 1, 24, 3, 0, std::vector<std::uint8_t>(20))},
      {"zero width", bitmap(0, 1, 8, 1, 16, rle)},
      {"zero height", bitmap(2, 0, 8, 1, 16, rle)},
      {"above the pixel limit", bitmap(65536, 1025, 8, 1, 16, rle)},
      {"pixel data one byte short", bitmap(4, 4, 24, 0, 0, std::vector<std::uint8_t>(3 * 12 + 11))},
      {"8-bit without a palette", bitmap(2, 1, 8, 0, 0, {1, 2, 0, 0})},
      {"pixel data past the end", badOffset},
  };
  for (const auto& c : cases) EXPECT_FALSE(decodeBmp(c.bytes)) << c.name;
  // The same 24-bit picture with its last byte is accepted.
  EXPECT_TRUE(decodeBmp(bitmap(4, 4, 24, 0, 0, std::vector<std::uint8_t>(3 * 12 + 12))));
  // A caller's own bound, below the reader's.
  EXPECT_FALSE(decodeBmp(bitmap(4, 4, 24, 0, 0, std::vector<std::uint8_t>(3 * 12 + 12)), 15));
  EXPECT_TRUE(decodeBmp(bitmap(4, 4, 24, 0, 0, std::vector<std::uint8_t>(3 * 12 + 12)), 16));
}

}  // namespace
}  // namespace vantrel::desktop
