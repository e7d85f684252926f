#include "vantrel/media/media_time.h"

#include <gtest/gtest.h>

#include <cmath>

namespace vantrel::media {
namespace {

TEST(MediaTime, FromSecondsRoundsToNearestTick) {
  struct Case {
    double seconds;
    std::int32_t timescale;
    std::int64_t value;
  } cases[] = {
      {1.5, 600, 900}, {0.0005, 600, 0}, {1.0 / 30, 600, 20}, {2.0004, 44100, 88218}, {-0.25, 600, -150},
  };
  for (const auto& c : cases) {
    const MediaTime t = MediaTime::fromSeconds(c.seconds, c.timescale);
    EXPECT_EQ(t.value, c.value) << c.seconds;
    EXPECT_EQ(t.timescale, c.timescale);
  }
  EXPECT_FALSE(MediaTime::fromSeconds(std::nan(""), 600).isValid());
  EXPECT_FALSE(MediaTime::fromSeconds(1, 0).isValid());
}

TEST(MediaTime, ArithmeticAcrossTimescalesIsExact) {
  const MediaTime a(1, 30), b(1, 600), c(1, 44100), d(1, 11);
  EXPECT_EQ((a + b), MediaTime(21, 600));
  EXPECT_EQ((a - b).timescale, 600);
  EXPECT_EQ((a + c), MediaTime(1471, 44100));
  // 1/11 + 1/44100 needs the common multiple 485100.
  const MediaTime sum = d + c;
  EXPECT_EQ(sum.timescale, 485100);
  EXPECT_EQ(sum.value, 44100 + 11);
  EXPECT_DOUBLE_EQ((MediaTime(3, 2) - MediaTime(1, 2)).seconds(), 1.0);
}

TEST(MediaTime, CompareByInstantAndInvalidOrdersFirst) {
  EXPECT_EQ(MediaTime(1, 2), MediaTime(300, 600));
  EXPECT_LT(MediaTime(299, 600), MediaTime(1, 2));
  EXPECT_LT(MediaTime::invalid(), MediaTime(-1000, 1));
  EXPECT_EQ(minimum(MediaTime(2, 1), MediaTime(1199, 600)), MediaTime(1199, 600));
  EXPECT_EQ(maximum(MediaTime(2, 1), MediaTime(1199, 600)), MediaTime(2, 1));
  EXPECT_FALSE((MediaTime::invalid() + MediaTime(1, 1)).isValid());
}

TEST(MediaTime, ConvertScaleAndRatio) {
  EXPECT_EQ(MediaTime(1, 3).convertScale(600).value, 200);
  EXPECT_EQ(MediaTime(1, 7).convertScale(10).value, 1);  // 1.43 -> 1
  EXPECT_EQ(MediaTime(-1, 4).convertScale(2).value, -1); // -0.5 rounds away from zero
  EXPECT_EQ(multiplyByRatio(MediaTime(600, 600), 2, 3), MediaTime(400, 600));
}

TEST(TimeRange, EndContainsAndEmptiness) {
  const TimeRange r{MediaTime(600, 600), MediaTime(300, 600)};
  EXPECT_EQ(r.end(), MediaTime(3, 2));
  EXPECT_TRUE(r.contains(MediaTime(1, 1)));
  EXPECT_FALSE(r.contains(MediaTime(3, 2)));
  EXPECT_TRUE((TimeRange{MediaTime(1, 1), MediaTime::zero()}).isEmpty());
}

}  // namespace
}  // namespace vantrel::media
