#pragma once
// Rational media times: a 64-bit value over a 32-bit timescale (ticks per
// second). Arithmetic is exact whenever the result fits the chosen timescale;
// mixing timescales picks their least common multiple when it fits in 32 bits,
// else the larger of the two (rounding to the nearest tick, halves away from 0).
// An invalid time (timescale 0) poisons arithmetic and compares below every
// valid time. Value type; safe to copy between threads.

#include <cstdint>
#include <string>

namespace vantrel::media {

struct MediaTime {
  std::int64_t value = 0;
  std::int32_t timescale = 0;  // 0 marks an invalid time

  constexpr MediaTime() = default;
  constexpr MediaTime(std::int64_t v, std::int32_t ts) : value(v), timescale(ts) {}

  static constexpr MediaTime zero() { return MediaTime(0, 1); }
  static constexpr MediaTime invalid() { return MediaTime(); }
  // Nearest tick of `seconds` at `timescale` (> 0). NaN gives an invalid time.
  static MediaTime fromSeconds(double seconds, std::int32_t timescale);

  constexpr bool isValid() const { return timescale > 0; }
  double seconds() const;
  // The same instant at another timescale, rounded to the nearest tick.
  MediaTime convertScale(std::int32_t newTimescale) const;
  std::string debugString() const;
};

MediaTime operator+(MediaTime a, MediaTime b);
MediaTime operator-(MediaTime a, MediaTime b);
// Three-way comparison by instant, not by representation: 1/2 == 300/600.
int compare(MediaTime a, MediaTime b);
inline bool operator==(MediaTime a, MediaTime b) { return compare(a, b) == 0; }
inline bool operator!=(MediaTime a, MediaTime b) { return compare(a, b) != 0; }
inline bool operator<(MediaTime a, MediaTime b) { return compare(a, b) < 0; }
inline bool operator<=(MediaTime a, MediaTime b) { return compare(a, b) <= 0; }
inline bool operator>(MediaTime a, MediaTime b) { return compare(a, b) > 0; }
inline bool operator>=(MediaTime a, MediaTime b) { return compare(a, b) >= 0; }
MediaTime minimum(MediaTime a, MediaTime b);
MediaTime maximum(MediaTime a, MediaTime b);
// a * num / den, rounded to the nearest tick of a's timescale. den > 0.
MediaTime multiplyByRatio(MediaTime a, std::int64_t num, std::int64_t den);

// Half-open range [start, start + duration).
struct TimeRange {
  MediaTime start = MediaTime::zero();
  MediaTime duration = MediaTime::zero();

  MediaTime end() const { return start + duration; }
  bool isEmpty() const { return duration <= MediaTime::zero(); }
  bool contains(MediaTime t) const { return t >= start && t < end(); }
  static TimeRange fromStartEnd(MediaTime s, MediaTime e) { return TimeRange{s, e - s}; }
};

inline bool operator==(const TimeRange& a, const TimeRange& b) {
  return a.start == b.start && a.duration == b.duration;
}

}  // namespace vantrel::media
