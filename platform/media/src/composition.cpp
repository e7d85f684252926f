#include "vantrel/media/composition.h"

#include "vantrel/media/errors.h"

#include <algorithm>
#include <numeric>

namespace vantrel::media {
namespace {

using Wide = __int128;

// x * num / den at the finest of the three timescales, rounded to the nearest tick.
MediaTime scaled(MediaTime x, MediaTime num, MediaTime den) {
  if (!x.isValid() || !num.isValid() || !den.isValid() || den.value == 0) return MediaTime::invalid();
  const std::int32_t ts = std::max({x.timescale, num.timescale, den.timescale});
  const Wide n = static_cast<Wide>(x.value) * num.value * den.timescale * ts;
  const Wide d = static_cast<Wide>(x.timescale) * num.timescale * den.value;
  Wide q = n / d;
  Wide r = n % d;
  if (r < 0) r = -r;
  if (2 * r >= (d < 0 ? -d : d)) q += ((n < 0) != (d < 0)) ? -1 : 1;
  return MediaTime(static_cast<std::int64_t>(q), ts);
}

}  // namespace

MediaTime CompositionSegment::sourceTimeAt(MediaTime t) const {
  if (isEmpty()) return MediaTime::invalid();
  if (target.duration <= MediaTime::zero()) return source.start;
  return source.start + scaled(t - target.start, source.duration, target.duration);
}

MediaTime CompositionTrack::duration() const {
  return segments_.empty() ? MediaTime::zero() : segments_.back().target.end();
}

void CompositionTrack::splitAt(MediaTime t) {
  for (size_t i = 0; i < segments_.size(); ++i) {
    CompositionSegment& s = segments_[i];
    if (!(t > s.target.start && t < s.target.end())) continue;
    CompositionSegment tail = s;
    const MediaTime headTarget = t - s.target.start;
    if (!s.isEmpty()) {
      const MediaTime headSource = scaled(headTarget, s.source.duration, s.target.duration);
      tail.source = TimeRange::fromStartEnd(s.source.start + headSource, s.source.end());
      s.source.duration = headSource;
    }
    tail.target = TimeRange::fromStartEnd(t, s.target.end());
    s.target.duration = headTarget;
    segments_.insert(segments_.begin() + static_cast<std::ptrdiff_t>(i) + 1, tail);
    return;
  }
}

void CompositionTrack::insertTimeRange(const TimeRange& sourceRange, AssetRef asset, int sourceTrackId,
                                       MediaTime at) {
  if (!sourceRange.start.isValid() || !sourceRange.duration.isValid() || sourceRange.duration < MediaTime::zero() ||
      !at.isValid() || at < MediaTime::zero()) {
    throw makeMediaError(MediaErrorCode::invalidArgument, "invalid time range for insertion");
  }
  if (asset) {
    const TrackInfo* t = asset->track(sourceTrackId);
    if (t == nullptr || t->mediaType != type_) {
      throw makeMediaError(MediaErrorCode::noSuchTrack,
                           asset->path() + ": track " + std::to_string(sourceTrackId) + " has the wrong media type");
    }
    if (type_ == MediaType::video && segments_.empty()) preferredTransform = t->preferredTransform;
  }
  if (sourceRange.duration == MediaTime::zero()) return;
  const MediaTime end = duration();
  if (at > end) {
    CompositionSegment gap;
    gap.target = TimeRange::fromStartEnd(end, at);
    segments_.push_back(gap);
  }
  splitAt(at);
  CompositionSegment seg;
  seg.asset = std::move(asset);
  seg.sourceTrackId = sourceTrackId;
  seg.source = sourceRange;
  seg.target = TimeRange{at, sourceRange.duration};
  auto pos = segments_.begin();
  while (pos != segments_.end() && pos->target.start < at) ++pos;
  for (auto it = pos; it != segments_.end(); ++it) it->target.start = it->target.start + sourceRange.duration;
  segments_.insert(pos, std::move(seg));
}

void CompositionTrack::insertEmptyTimeRange(const TimeRange& range) {
  insertTimeRange(TimeRange{MediaTime::zero(), range.duration}, nullptr, -1, range.start);
}

void CompositionTrack::scaleTimeRange(const TimeRange& range, MediaTime toDuration) {
  if (!toDuration.isValid() || toDuration < MediaTime::zero() || range.duration <= MediaTime::zero()) {
    throw makeMediaError(MediaErrorCode::invalidArgument, "invalid scale of a time range");
  }
  const MediaTime end = range.end();
  splitAt(range.start);
  splitAt(end);
  const MediaTime delta = toDuration - range.duration;
  std::vector<CompositionSegment> kept;
  for (auto& s : segments_) {
    if (s.target.start >= range.start && s.target.end() <= end) {
      const MediaTime newStart = range.start + scaled(s.target.start - range.start, toDuration, range.duration);
      const MediaTime newEnd = range.start + scaled(s.target.end() - range.start, toDuration, range.duration);
      s.target = TimeRange::fromStartEnd(newStart, newEnd);
    } else if (s.target.start >= end) {
      s.target.start = s.target.start + delta;
    }
    if (s.target.duration > MediaTime::zero()) kept.push_back(s);
  }
  segments_ = std::move(kept);
}

std::optional<CompositionTrack::Mapping> CompositionTrack::mappingAt(MediaTime t) const {
  auto it = std::upper_bound(segments_.begin(), segments_.end(), t,
                             [](MediaTime value, const CompositionSegment& s) { return value < s.target.end(); });
  if (it == segments_.end() || t < it->target.start) return std::nullopt;
  return Mapping{&*it, it->sourceTimeAt(t)};
}

CompositionTrack& Composition::addTrack(MediaType type) {
  tracks_.emplace_back(type, static_cast<int>(tracks_.size()) + 1);
  return tracks_.back();
}

std::vector<const CompositionTrack*> Composition::tracks(MediaType type) const {
  std::vector<const CompositionTrack*> out;
  for (const auto& t : tracks_) {
    if (t.mediaType() == type) out.push_back(&t);
  }
  return out;
}

std::vector<CompositionTrack*> Composition::tracks(MediaType type) {
  std::vector<CompositionTrack*> out;
  for (auto& t : tracks_) {
    if (t.mediaType() == type) out.push_back(&t);
  }
  return out;
}

MediaTime Composition::duration() const {
  MediaTime d = MediaTime::zero();
  for (const auto& t : tracks_) d = maximum(d, t.duration());
  return d;
}

void Composition::scaleTimeRange(const TimeRange& range, MediaTime toDuration) {
  for (auto& t : tracks_) {
    if (t.duration() > range.start) t.scaleTimeRange(range, toDuration);
  }
}

Composition Composition::fromAsset(const AssetRef& asset) {
  Composition c;
  for (MediaType type : {MediaType::video, MediaType::audio}) {
    for (const TrackInfo* t : asset->tracks(type)) {
      c.addTrack(type).insertTimeRange(t->timeRange, asset, t->trackId, MediaTime::zero());
    }
  }
  return c;
}

}  // namespace vantrel::media
