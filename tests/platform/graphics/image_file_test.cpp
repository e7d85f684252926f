// Reading and writing image files: round trips, EXIF orientation, bounded
// thumbnails of huge pictures, and corrupt or truncated input.
#include <gtest/gtest.h>
#include <png.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

#include "test_util.h"
#include "vantrel/graphics/image_file.h"
#include "vantrel/testing/process.h"

namespace vantrel::graphics {
namespace {

using testutil::channel;

std::vector<uint8_t> slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}
void spit(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// A little-endian TIFF block holding only an orientation tag.
std::vector<uint8_t> exifBlock(int orientation) {
  return {'I', 'I', 42, 0, 8, 0, 0, 0, 1, 0, 0x12, 0x01, 3, 0, 1, 0, 0, 0,
          static_cast<uint8_t>(orientation), 0, 0, 0, 0, 0, 0, 0};
}

uint32_t crc32(const uint8_t* p, size_t n) {
  uint32_t c = 0xffffffffu;
  for (size_t i = 0; i < n; ++i) {
    c ^= p[i];
    for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xedb88320u & (0u - (c & 1)));
  }
  return ~c;
}

void insertJpegExif(const std::string& path, int orientation) {
  auto bytes = slurp(path);
  std::vector<uint8_t> seg = {0xff, 0xe1, 0, 0, 'E', 'x', 'i', 'f', 0, 0};
  const auto tiff = exifBlock(orientation);
  seg.insert(seg.end(), tiff.begin(), tiff.end());
  const size_t len = seg.size() - 2;
  seg[2] = static_cast<uint8_t>(len >> 8);
  seg[3] = static_cast<uint8_t>(len & 255);
  bytes.insert(bytes.begin() + 2, seg.begin(), seg.end());
  spit(path, bytes);
}

void insertPngExif(const std::string& path, int orientation) {
  auto bytes = slurp(path);
  const auto tiff = exifBlock(orientation);
  std::vector<uint8_t> chunk = {0, 0, 0, static_cast<uint8_t>(tiff.size()), 'e', 'X', 'I', 'f'};
  chunk.insert(chunk.end(), tiff.begin(), tiff.end());
  const uint32_t crc = crc32(chunk.data() + 4, chunk.size() - 4);
  for (int s = 24; s >= 0; s -= 8) chunk.push_back(static_cast<uint8_t>(crc >> s));
  bytes.insert(bytes.begin() + 33, chunk.begin(), chunk.end());  // after the signature and IHDR
  spit(path, bytes);
}

// 4x2 picture: left half red, right half blue, top-right pixel green.
BufferRef marker() {
  auto b = makeBuffer(40, 20, PixelFormat::bgra8);
  for (int y = 0; y < 20; ++y)
    for (int x = 0; x < 40; ++x) b->pixelRow(y)[x] = x < 20 ? 0xffff0000u : 0xff0000ffu;
  for (int y = 0; y < 10; ++y)
    for (int x = 30; x < 40; ++x) b->pixelRow(y)[x] = 0xff00ff00u;
  return b;
}

TEST(ImageFiles, RoundTripsKeepPixels) {
  vantrel::testing::TempDir dir;
  auto src = testutil::screenLike(160, 90);
  // Semi-transparent pixels survive a PNG round trip within a rounding step.
  src->pixelRow(5)[5] = 0x80402010u;
  writePng(*src, dir.file("a.png"));
  writeJpeg(*src, dir.file("a.jpg"), 0.9);
  const auto png = readImage(dir.file("a.png"));
  ASSERT_NE(png, nullptr);
  EXPECT_GE(testutil::psnr(*png, *src), 50.0);
  const auto jpg = readImage(dir.file("a.jpg"));
  ASSERT_NE(jpg, nullptr);
  src->pixelRow(5)[5] = 0xff402010u;
  EXPECT_GE(testutil::psnr(*jpg, *src), 26.0);  // 4:2:0 chroma on a busy picture
  const auto props = readImageProperties(dir.file("a.jpg"));
  ASSERT_TRUE(props);
  EXPECT_EQ(props->width, 160);
  EXPECT_EQ(props->format, ImageFormat::jpeg);
  // Lower quality gives a smaller file.
  writeJpeg(*src, dir.file("low.jpg"), 0.3);
  EXPECT_LT(slurp(dir.file("low.jpg")).size(), slurp(dir.file("a.jpg")).size());
}

TEST(ImageFiles, WebpFromAnIndependentEncoder) {
  vantrel::testing::TempDir dir;
  const auto r = vantrel::testing::runProcess({"/usr/bin/ffmpeg", "-v", "error", "-f", "lavfi", "-i",
                                               "color=c=0x3366cc:s=64x48", "-frames:v", "1", "-c:v", "libwebp",
                                               "-lossless", "1", dir.file("a.webp")});
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  const auto props = readImageProperties(dir.file("a.webp"));
  ASSERT_TRUE(props);
  EXPECT_EQ(props->format, ImageFormat::webp);
  EXPECT_EQ(props->width, 64);
  const auto img = readImage(dir.file("a.webp"));
  ASSERT_NE(img, nullptr);
  EXPECT_NEAR(channel(img->pixelRow(10)[10], 2), 0x33, 2);
  EXPECT_NEAR(channel(img->pixelRow(10)[10], 0), 0xcc, 2);
  const auto thumb = readThumbnail(dir.file("a.webp"), 16);
  ASSERT_NE(thumb, nullptr);
  EXPECT_EQ(thumb->width(), 16);
  EXPECT_EQ(thumb->height(), 12);
}

TEST(ImageFiles, ThumbnailsFollowExifOrientation) {
  vantrel::testing::TempDir dir;
  // Where the green corner (top right as stored) ends up, and the upright size.
  struct Case { int orientation; int w, h; int gx, gy; };
  const Case table[] = {{1, 40, 20, 35, 5}, {3, 40, 20, 5, 15}, {6, 20, 40, 15, 35}, {8, 20, 40, 5, 5},
                        {2, 40, 20, 5, 5}};
  for (const char* ext : {"png", "jpg"}) {
    for (const auto& c : table) {
      SCOPED_TRACE(std::string(ext) + " orientation " + std::to_string(c.orientation));
      const std::string path = dir.file("o" + std::to_string(c.orientation) + "." + ext);
      if (std::string(ext) == "png") {
        writePng(*marker(), path);
        insertPngExif(path, c.orientation);
      } else {
        writeJpeg(*marker(), path, 0.95);
        insertJpegExif(path, c.orientation);
      }
      const auto props = readImageProperties(path);
      ASSERT_TRUE(props);
      EXPECT_EQ(props->orientation, c.orientation);
      const auto t = readThumbnail(path, 100);
      ASSERT_NE(t, nullptr);
      EXPECT_EQ(t->width(), c.w);
      EXPECT_EQ(t->height(), c.h);
      EXPECT_GT(channel(t->pixelRow(c.gy)[c.gx], 1), 200);
      EXPECT_LT(channel(t->pixelRow(c.gy)[c.gx], 2), 60);
    }
  }
}

// A huge PNG, written row by row as 1-bit grey so the file stays small.
void writeHugePng(const std::string& path, int w, int h) {
  FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  png_init_io(png, f);
  png_set_compression_level(png, 1);
  png_set_IHDR(png, info, w, h, 1, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  std::vector<uint8_t> row((w + 7) / 8);
  for (int y = 0; y < h; ++y) {
    // Top half white, bottom half black.
    std::fill(row.begin(), row.end(), y < h / 2 ? 0xff : 0x00);
    png_write_row(png, row.data());
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  std::fclose(f);
}

TEST(ImageFiles, HugePngDecodesOnlyAsBoundedThumbnail) {
  vantrel::testing::TempDir dir;
#if defined(__SANITIZE_ADDRESS__)
  const int h = 2000;  // the same path, less work under the sanitizer
#else
  const int h = 20000;
#endif
  writeHugePng(dir.file("huge.png"), 20000, h);
  const auto props = readImageProperties(dir.file("huge.png"));
  ASSERT_TRUE(props);
  EXPECT_EQ(props->width, 20000);
  if (static_cast<int64_t>(20000) * h > kMaxDecodePixels) {
    EXPECT_EQ(readImage(dir.file("huge.png")), nullptr);
  }
  const auto t = readThumbnail(dir.file("huge.png"), 256);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->width(), 256);
  EXPECT_EQ(t->height(), std::lround(256.0 * h / 20000));
  EXPECT_EQ(t->pixelRow(2)[100], 0xffffffffu);
  EXPECT_EQ(t->pixelRow(t->height() - 3)[100], 0xff000000u);
}

TEST(ImageFiles, CorruptTruncatedAndMissingFilesGiveNoImage) {
  vantrel::testing::TempDir dir;
  writePng(*marker(), dir.file("ok.png"));
  writeJpeg(*marker(), dir.file("ok.jpg"), 0.8);
  const auto png = slurp(dir.file("ok.png")), jpg = slurp(dir.file("ok.jpg"));
  struct Case { const char* name; std::vector<uint8_t> bytes; };
  std::vector<uint8_t> flipped = png;
  for (size_t i = 40; i < flipped.size() - 20; i += 7) flipped[i] ^= 0x5a;
  const Case table[] = {
      {"empty", {}},
      {"text", {'h', 'e', 'l', 'l', 'o'}},
      {"png signature only", std::vector<uint8_t>(png.begin(), png.begin() + 8)},
      {"png truncated", std::vector<uint8_t>(png.begin(), png.begin() + png.size() / 2)},
      {"png corrupted", flipped},
      {"jpeg truncated", std::vector<uint8_t>(jpg.begin(), jpg.begin() + 30)},
      {"webp header only", {'R', 'I', 'F', 'F', 4, 0, 0, 0, 'W', 'E', 'B', 'P', 'V', 'P', '8', ' '}},
  };
  for (const auto& c : table) {
    SCOPED_TRACE(c.name);
    spit(dir.file("bad"), c.bytes);
    EXPECT_EQ(readImage(dir.file("bad")), nullptr);
    EXPECT_EQ(readThumbnail(dir.file("bad"), 64), nullptr);
  }
  EXPECT_FALSE(readImageProperties(dir.file("missing.png")));
  EXPECT_EQ(readThumbnail(dir.file("ok.png"), 0), nullptr);
  EXPECT_THROW(writeJpeg(*marker(), dir.file("no/such/dir/x.jpg"), 0.8), ImageFileError);
}

// Found by fuzzing: an interlaced PNG whose image data breaks off. libpng's
// error jump used to skip the row table's destructor (a leak under the
// sanitizers, undefined behaviour everywhere).
TEST(ImageFiles, InterlacedPngThatBreaksOffGivesNoImage) {
  const std::string path = std::string(VANTREL_GRAPHICS_TEST_DATA) + "/fuzz-png-interlaced-truncated.png";
  const auto props = readImageProperties(path);
  ASSERT_TRUE(props);
  EXPECT_EQ(props->width, 12);
  EXPECT_EQ(props->height, 8);
  EXPECT_EQ(readImage(path), nullptr);
  EXPECT_EQ(readThumbnail(path, 4), nullptr);
}

}  // namespace
}  // namespace vantrel::graphics
