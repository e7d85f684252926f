#include "fixtures.h"
#include "vantrel/media/errors.h"
#include "vantrel/media/still_frame.h"

#include <gtest/gtest.h>

namespace vantrel::media {
namespace {

TEST(StillFrame, FrameAtATimeFitsTheLimitAndStandsUpright) {
  const std::string plain = test::testPattern320(2, 30);
  const std::string rotated = test::rotatedCopy(plain, "rotated_still.mp4");
  struct Case {
    std::string path;
    double time;
    Size limit;
    int width, height;
    MediaTime actual;
  } cases[] = {
      {plain, 1.02, {0, 0}, 320, 240, MediaTime(30, 30)},
      {plain, 0.5, {160, 160}, 160, 120, MediaTime(15, 30)},
      {plain, 9.0, {960, 960}, 320, 240, MediaTime(59, 30)},  // past the end: last frame, not enlarged
      {rotated, 0.0, {0, 160}, 120, 160, MediaTime(0, 30)},
  };
  for (const auto& c : cases) {
    const auto still = copyStillFrame(Asset::open(c.path), MediaTime::fromSeconds(c.time, 600), {c.limit, true});
    EXPECT_EQ(still.image->width(), c.width) << c.path << " " << c.time;
    EXPECT_EQ(still.image->height(), c.height) << c.path << " " << c.time;
    EXPECT_EQ(still.actualTime, c.actual) << c.path << " " << c.time;
    const auto expected =
        test::decodeBgraWithFfmpeg(c.path, std::min(c.time, 59.0 / 30), c.width, c.height);
    EXPECT_LT(test::meanAbsDiff(*still.image, expected), 8.0) << c.path << " " << c.time;
  }
  EXPECT_THROW(copyStillFrame(Asset::open(test::audioOnlySine()), MediaTime::zero()), MediaError);
}

}  // namespace
}  // namespace vantrel::media
