#include "vantrel/media/media_time.h"

#include <cmath>
#include <limits>
#include <numeric>

namespace vantrel::media {
namespace {

using Wide = __int128;

std::int64_t roundDiv(Wide num, Wide den) {
  if (den < 0) {
    num = -num;
    den = -den;
  }
  Wide q = num / den;
  Wide r = num % den;
  if (r < 0) r = -r;
  if (2 * r >= den) q += (num < 0 ? -1 : 1);
  if (q > std::numeric_limits<std::int64_t>::max()) return std::numeric_limits<std::int64_t>::max();
  if (q < std::numeric_limits<std::int64_t>::min()) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(q);
}

std::int32_t commonScale(std::int32_t a, std::int32_t b) {
  if (a == b) return a;
  const std::int64_t l = std::lcm<std::int64_t>(a, b);
  if (l <= std::numeric_limits<std::int32_t>::max()) return static_cast<std::int32_t>(l);
  return a > b ? a : b;
}

}  // namespace

MediaTime MediaTime::fromSeconds(double seconds, std::int32_t timescale) {
  if (!std::isfinite(seconds) || timescale <= 0) return invalid();
  return MediaTime(static_cast<std::int64_t>(std::llround(seconds * timescale)), timescale);
}

double MediaTime::seconds() const {
  if (!isValid()) return std::numeric_limits<double>::quiet_NaN();
  return static_cast<double>(value) / timescale;
}

MediaTime MediaTime::convertScale(std::int32_t newTimescale) const {
  if (!isValid() || newTimescale <= 0) return invalid();
  if (newTimescale == timescale) return *this;
  return MediaTime(roundDiv(static_cast<Wide>(value) * newTimescale, timescale), newTimescale);
}

std::string MediaTime::debugString() const {
  if (!isValid()) return "invalid";
  return std::to_string(value) + "/" + std::to_string(timescale);
}

MediaTime operator+(MediaTime a, MediaTime b) {
  if (!a.isValid() || !b.isValid()) return MediaTime::invalid();
  const std::int32_t ts = commonScale(a.timescale, b.timescale);
  return MediaTime(a.convertScale(ts).value + b.convertScale(ts).value, ts);
}

MediaTime operator-(MediaTime a, MediaTime b) {
  if (!a.isValid() || !b.isValid()) return MediaTime::invalid();
  const std::int32_t ts = commonScale(a.timescale, b.timescale);
  return MediaTime(a.convertScale(ts).value - b.convertScale(ts).value, ts);
}

int compare(MediaTime a, MediaTime b) {
  if (!a.isValid() || !b.isValid()) {
    if (a.isValid() == b.isValid()) return 0;
    return a.isValid() ? 1 : -1;
  }
  const Wide l = static_cast<Wide>(a.value) * b.timescale;
  const Wide r = static_cast<Wide>(b.value) * a.timescale;
  return l < r ? -1 : (l > r ? 1 : 0);
}

MediaTime minimum(MediaTime a, MediaTime b) { return compare(a, b) <= 0 ? a : b; }
MediaTime maximum(MediaTime a, MediaTime b) { return compare(a, b) >= 0 ? a : b; }

MediaTime multiplyByRatio(MediaTime a, std::int64_t num, std::int64_t den) {
  if (!a.isValid() || den == 0) return MediaTime::invalid();
  return MediaTime(roundDiv(static_cast<Wide>(a.value) * num, den), a.timescale);
}

}  // namespace vantrel::media
