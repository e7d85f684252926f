// Repeated pictures: written without the encoder where the stream allows,
// they must decode to exact copies, keep the key frame spacing and the
// timestamps, and leave the encoder's own pictures decodable (their frame
// numbers are moved past the inserted ones).
#include "fixtures.h"
#include "vantrel/media/writer.h"
#include "vantrel/testing/process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

namespace vantrel::media {
namespace {

constexpr int kPictures = 75;
constexpr int kKeyInterval = 40;

// New pictures now and then, a run of repeats longer than the frame-number
// range x264 uses (16), a repeat on a key frame position (40) and a repeat
// right after a key frame (41).
bool isNew(int i) {
  if (i == 0) return true;
  if (i >= 20 && i <= 38) return false;
  if (i == 40 || i == 41) return false;
  return i % 7 == 0 || (i >= 50 && i % 3 == 0);
}

// Textured content that moves, so the encoder's slices carry real residuals
// (and emulation prevention bytes).
void paint(std::uint8_t* plane, int stride, int w, int h, int index, int salt) {
  std::uint32_t seed = 2463534242u + static_cast<std::uint32_t>(salt);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      seed ^= seed << 13, seed ^= seed >> 17, seed ^= seed << 5;
      const int wave = ((x + 3 * index) / 6 + (y + index) / 5) % 2 ? 60 : 0;
      plane[y * stride + x] = static_cast<std::uint8_t>(16 + wave + (seed % 140));
    }
  }
}

std::shared_ptr<const I420Buffer> planarPicture(int w, int h, int index) {
  auto p = std::make_shared<I420Buffer>(w, h);
  paint(p->y.data(), p->strideY, w, h, index, 1);
  paint(p->u.data(), p->strideU, (w + 1) / 2, (h + 1) / 2, index, 2);
  paint(p->v.data(), p->strideV, (w + 1) / 2, (h + 1) / 2, index, 3);
  return p;
}

std::shared_ptr<const PixelBuffer> bgraPicture(int w, int h, int index) {
  auto p = std::make_shared<PixelBuffer>(w, h);
  paint(p->data(), static_cast<int>(p->stride()), 4 * w, h, index, 4);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) p->row(y)[4 * x + 3] = 255;
  }
  return p;
}

std::vector<std::string> frameHashes(const std::string& path) {
  // Any decoding error ends ffmpeg with a failure and a message.
  const auto r = vantrel::testing::runProcess({"/usr/bin/ffmpeg", "-nostdin", "-loglevel", "error", "-err_detect",
                                               "+explode", "-xerror", "-i", path, "-f", "framemd5", "-"});
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(r.err, "");
  std::vector<std::string> hashes;
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line[0] == '#') continue;
    hashes.push_back(line.substr(line.rfind(',') + 1));
  }
  return hashes;
}

TEST(RepeatedPictures, DecodeAsExactCopiesWithKeyFramesAndTimesKept) {
  const struct {
    const char* name;
    int width, height;
    bool planar;
    bool bFrames;  // repeats are then encoded again
  } cases[] = {
      {"planar", 320, 240, true, false},
      {"bgra_odd_size", 321, 181, false, false},
      {"b_frames", 320, 240, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = test::scratchPath(std::string("repeats_") + c.name + ".mp4");
    {
      Writer writer(path);
      H264Settings s;
      s.width = c.width;
      s.height = c.height;
      s.averageBitRate = 3'000'000;
      s.maxKeyFrameInterval = kKeyInterval;
      s.expectedFrameRate = 30;
      s.allowFrameReordering = c.bFrames;
      WriterInput* input = writer.addVideoInput(s);
      writer.startWriting();
      writer.startSession(MediaTime::zero());
      for (int i = 0; i < kPictures; ++i) {
        const MediaTime t(i, 30);
        bool ok = false;
        if (!isNew(i)) {
          ok = input->appendRepeatedPicture(t);
        } else if (c.planar) {
          ok = input->appendPlanarBuffer(planarPicture(c.width, c.height, i), t);
        } else {
          ok = input->appendPixelBuffer(bgraPicture(c.width, c.height, i), t);
        }
        ASSERT_TRUE(ok) << writer.errorText();
      }
      input->markAsFinished();
      writer.finishWriting().wait();
      ASSERT_EQ(writer.status(), WriterStatus::completed) << writer.errorText();
    }

    const auto hashes = frameHashes(path);
    ASSERT_EQ(hashes.size(), static_cast<std::size_t>(kPictures));
    // Packets in presentation order (with B-frames they are stored in decoding order).
    struct Sample {
      double time;
      bool key;
      int size;
    };
    const auto probed = test::ffprobe({"-select_streams", "v:0", "-show_entries", "packet=pts_time,flags,size",
                                       "-show_packets", path});
    std::vector<Sample> samples;
    for (const auto& p : probed["packets"]) {
      samples.push_back({std::stod(p["pts_time"].get<std::string>()), p["flags"].get<std::string>()[0] == 'K',
                         std::stoi(p["size"].get<std::string>())});
    }
    std::sort(samples.begin(), samples.end(), [](const Sample& a, const Sample& b) { return a.time < b.time; });
    ASSERT_EQ(samples.size(), static_cast<std::size_t>(kPictures));
    for (int i = 0; i < kPictures; ++i) {
      EXPECT_EQ(samples[i].key, i % kKeyInterval == 0) << "picture " << i;
      EXPECT_NEAR(samples[i].time, i / 30.0, 1e-6) << "picture " << i;
      if (i == 0 || c.bFrames) continue;
      // Exact copies, and new pictures really differ. A repeat on a key
      // frame position is encoded again, as an IDR picture.
      if (isNew(i)) {
        EXPECT_NE(hashes[i], hashes[i - 1]) << "picture " << i;
      } else if (!samples[i].key) {
        EXPECT_EQ(hashes[i], hashes[i - 1]) << "picture " << i;
      }
      // Written without the encoder: a few dozen bytes.
      if (!isNew(i) && !samples[i].key) {
        EXPECT_LT(samples[i].size, 100) << "picture " << i;
      }
    }
  }
}

TEST(RepeatedPictures, NeedAPictureBefore) {
  const std::string path = test::scratchPath("repeat_first.mp4");
  Writer writer(path);
  H264Settings s;
  s.width = 64;
  s.height = 64;
  WriterInput* input = writer.addVideoInput(s);
  writer.startWriting();
  writer.startSession(MediaTime::zero());
  input->appendRepeatedPicture(MediaTime::zero());
  input->markAsFinished();
  writer.finishWriting().wait();
  EXPECT_EQ(writer.status(), WriterStatus::failed);
  EXPECT_NE(writer.errorText().find("picture before"), std::string::npos) << writer.errorText();
}

}  // namespace
}  // namespace vantrel::media
