// Animated GIF writing, read back with an independent decoder (ffprobe/ffmpeg).
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>
#include <memory>

#include "test_util.h"
#include "vantrel/graphics/gif_writer.h"
#include "vantrel/testing/process.h"

namespace vantrel::graphics {
namespace {

std::vector<std::string> probe(const std::string& path, const std::string& entries) {
  const auto r = vantrel::testing::runProcess(
      {"/usr/bin/ffprobe", "-v", "error", "-select_streams", "v", "-show_entries", entries, "-of", "csv=p=0", path});
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  return r.outLines();
}

// Loop count of the NETSCAPE2.0 block, read from the bytes.
int loopCount(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::string s{std::istreambuf_iterator<char>(in), {}};
  const auto at = s.find("NETSCAPE2.0");
  if (at == std::string::npos || at + 15 > s.size()) return -1;
  return static_cast<uint8_t>(s[at + 13]) | (static_cast<uint8_t>(s[at + 14]) << 8);
}

BufferRef movingFrame(int i) {
  auto b = testutil::screenLike(96, 64, 3);
  for (int y = 20; y < 30; ++y)
    for (int x = 0; x < 8; ++x) b->pixelRow(y)[(i * 7 + x) % 96] = 0xffff0000u;
  return b;
}

TEST(GifWriter, FramesDelaysAndLoopReadBack) {
  vantrel::testing::TempDir dir;
  const std::string path = dir.file("a.gif");
  GifWriter w(path, 96, 64, 0);
  for (int i = 0; i < 9; ++i) w.addFrame(*movingFrame(i), 1.0 / 15);
  w.finish();
  EXPECT_EQ(w.framesWritten(), 9);
  const auto durations = probe(path, "packet=duration");
  ASSERT_EQ(durations.size(), 9u);
  int total = 0;
  for (const auto& d : durations) {
    const int cs = std::stoi(d);
    EXPECT_TRUE(cs == 6 || cs == 7) << cs;
    total += cs;
  }
  EXPECT_EQ(total, 60);  // 9 frames of 1/15 s keep their 0.6 s
  EXPECT_EQ(loopCount(path), 0);
  const auto size = probe(path, "stream=width,height");
  ASSERT_FALSE(size.empty());
  EXPECT_EQ(size[0], "96,64");
}

TEST(GifWriter, IdenticalFramesMergeAndPicturesSurvive) {
  vantrel::testing::TempDir dir;
  const std::string path = dir.file("b.gif");
  GifWriter w(path, 96, 64, 3);
  auto still = movingFrame(0);
  for (int i = 0; i < 4; ++i) w.addFrame(*still, 0.1);
  w.addFrame(*movingFrame(5), 0.1);
  w.finish();
  EXPECT_EQ(w.framesAdded(), 5);
  EXPECT_EQ(w.framesWritten(), 2);
  const auto durations = probe(path, "packet=duration");
  ASSERT_EQ(durations.size(), 2u);
  EXPECT_EQ(durations[0], "40");
  EXPECT_EQ(loopCount(path), 3);
  // Decode the last frame independently and compare with its source.
  const std::string raw = dir.file("last.rgba");
  const auto r = vantrel::testing::runProcess({"/usr/bin/ffmpeg", "-v", "error", "-i", path, "-vf", "select=eq(n\\,1)",
                                               "-frames:v", "1", "-f", "rawvideo", "-pix_fmt", "bgra", raw});
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  std::ifstream in(raw, std::ios::binary);
  const std::string bytes{std::istreambuf_iterator<char>(in), {}};
  ASSERT_EQ(bytes.size(), 96u * 64 * 4);
  auto decoded = makeBuffer(96, 64, PixelFormat::bgra8);
  for (int y = 0; y < 64; ++y) std::memcpy(decoded->row(y), bytes.data() + y * 96 * 4, 96 * 4);
  EXPECT_GE(testutil::psnr(*decoded, *movingFrame(5)), 30.0);
}

// Every frame decoded independently must match its source, whether it kept the
// global palette or needed one of its own (the third frame has new colours).
TEST(GifWriter, FramesWithSharedAndOwnPalettesDecodeFaithfully) {
  vantrel::testing::TempDir dir;
  const std::string path = dir.file("c.gif");
  std::vector<BufferRef> frames = {movingFrame(0), movingFrame(3), movingFrame(6)};
  for (int y = 0; y < 64; ++y)
    for (int x = 0; x < 96; ++x) {
      uint32_t& p = frames[2]->pixelRow(y)[x];
      p = 0xff000000u | (~p & 0x00ffffffu);
    }
  GifWriter w(path, 96, 64, 0);
  for (const auto& f : frames) w.addFrame(*f, 0.1);
  w.finish();
  const std::string raw = dir.file("all.rgba");
  const auto r = vantrel::testing::runProcess({"/usr/bin/ffmpeg", "-v", "error", "-i", path, "-vsync", "passthrough",
                                               "-f", "rawvideo", "-pix_fmt", "bgra", raw});
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  std::ifstream in(raw, std::ios::binary);
  const std::string bytes{std::istreambuf_iterator<char>(in), {}};
  ASSERT_EQ(bytes.size(), 3u * 96 * 64 * 4);
  for (int i = 0; i < 3; ++i) {
    auto decoded = makeBuffer(96, 64, PixelFormat::bgra8);
    for (int y = 0; y < 64; ++y) std::memcpy(decoded->row(y), bytes.data() + (i * 64 + y) * 96 * 4, 96 * 4);
    EXPECT_GE(testutil::psnr(*decoded, *frames[i]), 30.0) << "frame " << i;
  }
}

TEST(GifWriter, Errors) {
  vantrel::testing::TempDir dir;
  EXPECT_THROW(GifWriter(dir.file("no/dir/x.gif"), 10, 10), GifWriteError);
  EXPECT_THROW(GifWriter(dir.file("x.gif"), 0, 10), GifWriteError);
  GifWriter w(dir.file("y.gif"), 10, 10);
  EXPECT_THROW(w.addFrame(*makeBuffer(11, 10, PixelFormat::bgra8), 0.1), GifWriteError);
}

}  // namespace
}  // namespace vantrel::graphics
