#pragma once
// Edit lists over source tracks: a composition is a set of tracks, each a
// sequence of segments laid end to end on the output timeline. A segment either
// plays a source range (possibly scaled to another duration: faster, slower or a
// held frame) or is empty. Plain value type: copying shares only the immutable
// assets. Not thread-safe for mutation; readers copy what they need.

#include "vantrel/media/asset.h"
#include "vantrel/media/media_time.h"

#include <deque>
#include <optional>
#include <vector>

namespace vantrel::media {

struct CompositionSegment {
  AssetRef asset;  // null: an empty segment
  int sourceTrackId = -1;
  TimeRange source;  // source times (unused when empty)
  TimeRange target;  // output timeline

  bool isEmpty() const { return asset == nullptr; }
  bool isScaled() const { return !isEmpty() && source.duration != target.duration; }
  // Source time shown at output time `t` (linear within the segment).
  MediaTime sourceTimeAt(MediaTime t) const;
};

class CompositionTrack {
 public:
  CompositionTrack(MediaType type, int trackId) : type_(type), trackId_(trackId) {}

  MediaType mediaType() const { return type_; }
  int trackId() const { return trackId_; }
  const std::vector<CompositionSegment>& segments() const { return segments_; }
  MediaTime duration() const;

  // Inserts `sourceRange` of the asset's track at `at`, pushing later segments
  // back; a gap before `at` becomes an empty segment. Throws MediaError
  // (noSuchTrack, invalidArgument) for a wrong track or a negative range.
  void insertTimeRange(const TimeRange& sourceRange, AssetRef asset, int sourceTrackId, MediaTime at);
  void insertEmptyTimeRange(const TimeRange& range);
  // Plays the part of the timeline inside `range` over `toDuration` instead;
  // later segments move by the difference.
  void scaleTimeRange(const TimeRange& range, MediaTime toDuration);

  // The segment playing at `t` and the source time there; nothing past the end.
  struct Mapping {
    const CompositionSegment* segment;
    MediaTime sourceTime;  // invalid inside an empty segment
  };
  std::optional<Mapping> mappingAt(MediaTime t) const;

  // Display transform of the track (taken from the first inserted video source).
  AffineTransform preferredTransform;

 private:
  void splitAt(MediaTime t);
  MediaType type_;
  int trackId_;
  std::vector<CompositionSegment> segments_;
};

class Composition {
 public:
  // The new track stays valid for the composition's lifetime.
  CompositionTrack& addTrack(MediaType type);
  std::vector<const CompositionTrack*> tracks(MediaType type) const;
  std::vector<CompositionTrack*> tracks(MediaType type);
  const std::deque<CompositionTrack>& allTracks() const { return tracks_; }
  // The longest track's end.
  MediaTime duration() const;
  // Scales the range on every track.
  void scaleTimeRange(const TimeRange& range, MediaTime toDuration);

  // All video and audio tracks of `asset`, whole, at time 0.
  static Composition fromAsset(const AssetRef& asset);

 private:
  std::deque<CompositionTrack> tracks_;
};

}  // namespace vantrel::media
