// Animated GIF writing, read back with an independent decoder (ffprobe/ffmpeg).
#include <gtest/gtest.h>

#include <cstdlib>
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

// Four identical frames then a changed one: held as 1x1 clear frames (one
// frame per frame added, constant delay) or merged into one longer frame.
// Either way the last picture decodes faithfully.
TEST(GifWriter, UnchangedFramesHoldOrMergeAndPicturesSurvive) {
  struct Case {
    UnchangedFrames mode;
    int written;
    std::vector<std::string> durations;
  };
  for (const auto& c : {Case{UnchangedFrames::hold, 5, {"10", "10", "10", "10", "10"}},
                        Case{UnchangedFrames::merge, 2, {"40", "10"}}}) {
    vantrel::testing::TempDir dir;
    const std::string path = dir.file("b.gif");
    GifWriter w(path, 96, 64, 3, c.mode);
    auto still = movingFrame(0);
    for (int i = 0; i < 4; ++i) w.addFrame(*still, 0.1);
    w.addFrame(*movingFrame(5), 0.1);
    w.finish();
    EXPECT_EQ(w.framesAdded(), 5);
    EXPECT_EQ(w.framesWritten(), c.written);
    EXPECT_EQ(probe(path, "packet=duration"), c.durations);
    EXPECT_EQ(loopCount(path), 3);
    // Decode the last frame independently and compare with its source.
    const std::string raw = dir.file("last.rgba");
    const auto r = vantrel::testing::runProcess({"/usr/bin/ffmpeg", "-v", "error", "-i", path, "-vf",
                                                 "select=eq(n\\," + std::to_string(c.written - 1) + ")",
                                                 "-frames:v", "1", "-f", "rawvideo", "-pix_fmt", "bgra", raw});
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    std::ifstream in(raw, std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(in), {}};
    ASSERT_EQ(bytes.size(), 96u * 64 * 4);
    auto decoded = makeBuffer(96, 64, PixelFormat::bgra8);
    for (int y = 0; y < 64; ++y) std::memcpy(decoded->row(y), bytes.data() + y * 96 * 4, 96 * 4);
    EXPECT_GE(testutil::psnr(*decoded, *movingFrame(5)), 30.0);
  }
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

// Flat panels of five distinct colours with a bar moving along a text-like
// row: any palette of the writer's quality renders it exactly.
BufferRef flatFrame(int i) {
  auto b = makeBuffer(96, 64, PixelFormat::bgra8);
  for (int y = 0; y < 64; ++y)
    for (int x = 0; x < 96; ++x) {
      uint32_t v = y < 8 ? 0xff202830u : x < 20 ? 0xff3a3f4au : 0xffe8ecf2u;
      if (y >= 30 && y < 33 && x >= 24 && (x / 5) % 3 != 0) v = 0xff101010u;
      b->pixelRow(y)[x] = v;
    }
  for (int y = 20; y < 30; ++y)
    for (int x = 0; x < 8; ++x) b->pixelRow(y)[(i * 7 + x) % 96] = 0xffff0000u;
  return b;
}

struct StoredFrame {
  int x, y, w, h;
  bool transparent;
};

// The image descriptors of a GIF, walked from the bytes.
std::vector<StoredFrame> storedFrames(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::string s{std::istreambuf_iterator<char>(in), {}};
  auto u8 = [&](size_t i) { return i < s.size() ? static_cast<uint8_t>(s[i]) : 0; };
  auto u16 = [&](size_t i) { return u8(i) | (u8(i + 1) << 8); };
  auto skipSubBlocks = [&](size_t i) {
    while (i < s.size() && u8(i) != 0) i += u8(i) + 1;
    return i + 1;
  };
  std::vector<StoredFrame> frames;
  size_t i = 13 + ((u8(10) & 0x80) ? 3 * (2 << (u8(10) & 7)) : 0);
  bool transparent = false;
  while (i < s.size() && u8(i) != 0x3B) {
    if (u8(i) == 0x21) {
      if (u8(i + 1) == 0xF9) transparent = u8(i + 3) & 1;
      i = skipSubBlocks(i + 2);
    } else if (u8(i) == 0x2C) {
      frames.push_back({u16(i + 1), u16(i + 3), u16(i + 5), u16(i + 7), transparent});
      const uint8_t packed = u8(i + 9);
      i += 10 + ((packed & 0x80) ? 3 * (2 << (packed & 7)) : 0);
      i = skipSubBlocks(i + 1);
      transparent = false;
    } else {
      ADD_FAILURE() << "unexpected block " << int(u8(i)) << " at " << i;
      break;
    }
  }
  return frames;
}

// Frames of few distinct colours survive quantisation (within a level of
// rounding), so a GIF that stores only changed rectangles with clear pixels
// must decode, frame by frame, to the pictures it was given: any slip of the
// rectangle, the clear index or the palette shows as a wrong pixel.
TEST(GifWriter, DiffedFramesDecodeToTheFullPictures) {
  vantrel::testing::TempDir dir;
  const std::string path = dir.file("d.gif");
  std::vector<BufferRef> frames;
  for (int i : {0, 1, 1, 2, 4, 4, 4, 9}) frames.push_back(flatFrame(i));
  GifWriter w(path, 96, 64, 0);
  for (const auto& f : frames) w.addFrame(*f, 1.0 / 15);
  w.finish();

  const auto stored = storedFrames(path);
  ASSERT_EQ(stored.size(), frames.size());
  EXPECT_EQ(stored[0].w * stored[0].h, 96 * 64);
  for (size_t i = 1; i < stored.size(); ++i) {
    EXPECT_TRUE(stored[i].transparent) << i;
    EXPECT_LE(stored[i].h, 10) << i;  // only the moving bar's rows
  }
  EXPECT_EQ(stored[2].w * stored[2].h, 1);  // unchanged: one clear pixel

  const std::string raw = dir.file("all.rgba");
  const auto r = vantrel::testing::runProcess({"/usr/bin/ffmpeg", "-v", "error", "-i", path, "-vsync", "passthrough",
                                               "-f", "rawvideo", "-pix_fmt", "bgra", raw});
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  std::ifstream in(raw, std::ios::binary);
  const std::string bytes{std::istreambuf_iterator<char>(in), {}};
  ASSERT_EQ(bytes.size(), frames.size() * 96 * 64 * 4);
  for (size_t i = 0; i < frames.size(); ++i) {
    int wrong = 0;
    std::string first;
    for (int y = 0; y < 64; ++y)
      for (int x = 0; x < 96; ++x) {
        uint32_t got;
        std::memcpy(&got, bytes.data() + ((i * 64 + y) * 96 + x) * 4, 4);
        const uint32_t want = frames[i]->pixelRow(y)[x];
        bool close = true;
        for (int shift = 0; shift < 32; shift += 8)
          close = close && std::abs(static_cast<int>((got >> shift) & 0xff) - static_cast<int>((want >> shift) & 0xff)) <= 2;
        if (close) continue;
        if (!wrong++) {
          std::ostringstream at;
          at << "first at " << x << "," << y << ": " << std::hex << got << " for " << want;
          first = at.str();
        }
      }
    EXPECT_EQ(wrong, 0) << "pixels differing in frame " << i << ", " << first;
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
