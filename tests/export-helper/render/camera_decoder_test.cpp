// Reading the camera files (and the recordings) beside the base track: the
// frame nearest to each asked time, across small steps back, jumps, rotated
// files and files that cannot be read.

#include <gtest/gtest.h>

#include <cmath>

#include "job/job_errors.h"
#include "render/camera_frame_decoder.h"
#include "composition/timeline.h"
#include "render/image_sources.h"
#include "render/render_state.h"
#include "vantrel/graphics/renderer.h"
#include "vantrel/testing/process.h"

namespace vantrel::exporter {
namespace {

namespace gfx = vantrel::graphics;

// 4 s at 10 fps whose frame n is a flat grey of level 5n + 20, so the grey says which frame it is.
std::string countingVideo(const testing::TempDir& dir, const std::string& name, const std::string& extraFilter = "") {
  const std::string path = dir.file(name);
  auto r = testing::runProcess({"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i",
                                "color=c=black:s=64x48:r=10:d=4", "-vf",
                                "geq=lum='5*N+20':cb=128:cr=128" + extraFilter, "-c:v", "libx264", "-qp", "0", "-g",
                                "10", "-pix_fmt", "yuv420p", path});
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  return path;
}

int frameNumberOf(const gfx::Image& image) {
  gfx::Renderer renderer;
  const auto extent = image.extent();
  auto bitmap = renderer.makeBitmap(image, extent);
  if (!bitmap) return -1;
  const std::uint8_t* p = bitmap->row(bitmap->height() / 2) + 4 * (bitmap->width() / 2);
  // Video levels: grey g in 16..235 becomes (g - 16) * 255 / 219.
  const double level = p[1] * 219.0 / 255.0 + 16;
  return static_cast<int>(std::lround((level - 20) / 5));
}

VideoTrackMetadata metadataOf(const std::string& path) {
  auto asset = media::Asset::open(path);
  return loadTrackMetadata(*asset->tracks(media::MediaType::video).front());
}

TEST(CameraFrameDecoder, GivesTheNearestFrameAcrossStepsBackJumpsAndTheEnd) {
  testing::TempDir dir;
  const std::string path = countingVideo(dir, "camera.mp4");
  auto asset = media::Asset::open(path);
  CameraFrameDecoder decoder;
  decoder.addState(path, asset, asset->tracks(media::MediaType::video).front()->trackId, 0);
  const auto metadata = metadataOf(path);
  struct Case {
    double seconds;
    int frame;
  };
  // In this order: forward, a small step back from the ring, a jump ahead,
  // a jump back, the earlier of two equally near frames, just past the end
  // (the last frame), and far past it (nothing: the reader starts beyond the end).
  const Case cases[] = {{0.0, 0},  {0.31, 3},  {0.5, 5},  {0.2, 2},  {2.94, 29}, {1.0, 10},
                        {1.05, 10}, {1.06, 11}, {3.9, 39}, {4.5, 39}, {6.0, -1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.seconds);
    const auto image = decoder.frame(path, c.seconds, metadata);
    ASSERT_EQ(image.has_value(), c.frame >= 0);
    if (image) {
      EXPECT_EQ(frameNumberOf(*image), c.frame);
    }
  }
  EXPECT_FALSE(decoder.frame(dir.file("other.mp4"), 1, metadata));
}

TEST(CameraFrameDecoder, TurnsFramesUprightAndLeavesOutUnreadableFiles) {
  testing::TempDir dir;
  // A portrait phone recording: stored 64x48, shown turned a quarter.
  const std::string rotated = countingVideo(dir, "rotated.mp4");
  const std::string tagged = dir.file("tagged.mp4");
  auto r = testing::runProcess({"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-y", "-i", rotated, "-c", "copy",
                                "-metadata:s:v:0", "rotate=90", tagged});
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  auto asset = media::Asset::open(tagged);
  CameraFrameDecoder decoder;
  decoder.addState(tagged, asset, asset->tracks(media::MediaType::video).front()->trackId, 1.2);
  const auto image = decoder.frame(tagged, 1.2, metadataOf(tagged));
  ASSERT_TRUE(image);
  EXPECT_EQ(image->extent().width, 48);
  EXPECT_EQ(image->extent().height, 64);
  EXPECT_EQ(frameNumberOf(*image), 12);

  // A file cut short after it was opened: what can be read is shown, then nothing breaks.
  const std::string whole = testing::readFile(countingVideo(dir, "whole.mp4"));
  const std::string cut = dir.file("cut.mp4");
  testing::writeFile(cut, whole);
  auto cutAsset = media::Asset::open(cut);
  testing::writeFile(cut, whole.substr(0, whole.size() / 3));
  decoder.addState(cut, cutAsset, cutAsset->tracks(media::MediaType::video).front()->trackId, 3);
  EXPECT_NO_THROW(decoder.frame(cut, 3.5, metadataOf(tagged)));
}

TEST(BuildCameraDecoderSupport, MeasuresEachFileOnceAndFailsWithItsReason) {
  testing::TempDir dir;
  const std::string camera = countingVideo(dir, "camera.mp4", ",transpose=1");
  auto segment = [](const std::string& id, const std::string& url, double recordingStart) {
    NativeCameraSegment s;
    s.id = id;
    s.videoUrl = url;
    s.recordingStartTime = recordingStart;
    return s;
  };
  CameraFrameDecoder decoder;
  const auto metadata =
      buildCameraDecoderSupport({segment("a", camera, 2), segment("b", camera, 0.5)}, decoder);
  ASSERT_EQ(metadata.size(), 1u);
  EXPECT_EQ(metadata.at(camera).displaySize.width, 48);
  EXPECT_TRUE(decoder.hasState(camera));
  // Opened at 2 - 0.05 s for the first segment: the frame there comes without a jump.
  const auto first = decoder.frame(camera, 2.0, metadata.at(camera));
  ASSERT_TRUE(first);
  EXPECT_EQ(frameNumberOf(*first), 20);

  const std::string silent = dir.file("audio.m4a");
  auto r = testing::runProcess({"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i",
                                "sine=d=1", silent});
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  struct Case {
    std::string url, reasonPrefix;
  };
  const Case cases[] = {{dir.file("missing.mp4"), "native_helper_camera_track_load_failed:bad:"},
                        {silent, "native_helper_missing_camera_track"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    try {
      CameraFrameDecoder fresh;
      buildCameraDecoderSupport({segment("bad", c.url, 0)}, fresh);
      ADD_FAILURE() << "no error";
    } catch (const JobRunnerError& e) {
      EXPECT_EQ(e.payload().rfind(c.reasonPrefix, 0), 0u) << e.payload();
    }
  }
}

TEST(CostLimitedImageCache, KeepsTheMostRecentlyUsedWithinItsLimit) {
  CostLimitedImageCache cache(100);
  cache.insert("a", gfx::Image::empty(), 40);
  cache.insert("b", gfx::Image::empty(), 40);
  ASSERT_TRUE(cache.find("a"));  // "b" is now the least recently used
  cache.insert("c", gfx::Image::empty(), 40);
  EXPECT_TRUE(cache.find("a"));
  EXPECT_FALSE(cache.find("b"));
  EXPECT_TRUE(cache.find("c"));
  EXPECT_EQ(cache.totalCost(), 80u);
  cache.insert("huge", gfx::Image::empty(), 101);  // more than the whole limit: not kept
  EXPECT_FALSE(cache.find("huge"));
  cache.insert("a", gfx::Image::empty(), 10);  // replacing counts the new cost only
  EXPECT_EQ(cache.totalCost(), 50u);
  EXPECT_EQ(StaticLayerCache{}.subtitleImages.totalCostLimit(), 67108864u);
}

}  // namespace
}  // namespace vantrel::exporter
