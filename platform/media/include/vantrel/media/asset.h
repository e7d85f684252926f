#pragma once
// Opened media files and what they say about their tracks. Opening reads the
// container's header and index once (durations and frame timing come from the
// index, so they are exact, not estimated from the bit rate); readers open the
// file again on their own, so an Asset is immutable and may be shared across
// threads freely.

#include "vantrel/media/media_time.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vantrel::media {

enum class MediaType { video, audio, other };

struct Size {
  double width = 0;
  double height = 0;
};

// Maps (x, y) to (a x + c y + tx, b x + d y + ty), the layout of the track
// header's display matrix.
struct AffineTransform {
  double a = 1, b = 0, c = 0, d = 1, tx = 0, ty = 0;

  bool isIdentity() const { return a == 1 && b == 0 && c == 0 && d == 1 && tx == 0 && ty == 0; }
  // Clockwise quarter turns (0..3) this transform rotates by, ignoring flips.
  int clockwiseQuarterTurns() const;
  // True when the transform mirrors the picture (negative determinant).
  bool flips() const { return a * d - b * c < 0; }
};

// Absolute width and height of the rectangle (0, 0, size) after `t`.
Size applyTransformToSize(const AffineTransform& t, Size size);

constexpr std::uint32_t fourCharCode(const char (&s)[5]) {
  return (static_cast<std::uint32_t>(static_cast<unsigned char>(s[0])) << 24) |
         (static_cast<std::uint32_t>(static_cast<unsigned char>(s[1])) << 16) |
         (static_cast<std::uint32_t>(static_cast<unsigned char>(s[2])) << 8) |
         static_cast<std::uint32_t>(static_cast<unsigned char>(s[3]));
}
inline constexpr std::uint32_t kSubtypeH264 = fourCharCode("avc1");
inline constexpr std::uint32_t kSubtypeHevc = fourCharCode("hvc1");
inline constexpr std::uint32_t kSubtypeAac = fourCharCode("aac ");  // 0x61616320
inline constexpr std::uint32_t kSubtypeLinearPcm = fourCharCode("lpcm");

// Compressed-stream parameters, opaque outside this layer; enough to write the
// stream again without re-encoding it.
struct CodecParameters;

struct FormatDescription {
  MediaType mediaType = MediaType::other;
  std::uint32_t mediaSubtype = 0;  // four-character code; 0 when unknown
  double sampleRate = 0;           // audio only
  int channelCount = 0;            // audio only
  int width = 0, height = 0;       // video only, stored (coded) size
  std::string codecName;           // FFmpeg's short name, for messages
  std::shared_ptr<const CodecParameters> parameters;
};

struct TrackInfo {
  int trackId = 0;  // stream index in the file
  MediaType mediaType = MediaType::other;
  Size naturalSize;                    // stored frame size (video)
  AffineTransform preferredTransform;  // from the display matrix (video)
  Size displaySize;                    // naturalSize after preferredTransform
  MediaTime minFrameDuration = MediaTime::invalid();  // smallest frame interval (video)
  double nominalFrameRate = 0;
  TimeRange timeRange;                 // presentation range of the samples
  bool reordersFrames = false;         // has B-frames (decode order != display order)
  std::vector<MediaTime> keyFrameTimes;  // presentation times of sync samples (video)
  std::vector<FormatDescription> formatDescriptions;
};

class Asset {
 public:
  // Opens and indexes `path`. Throws MediaError(openFailed) with FFmpeg's text
  // for a missing, empty, truncated or non-media file.
  static std::shared_ptr<const Asset> open(const std::string& path);

  const std::string& path() const { return path_; }
  // The longest track's end (or the container's duration when it has none).
  MediaTime duration() const { return duration_; }
  const std::vector<TrackInfo>& tracks() const { return tracks_; }
  std::vector<const TrackInfo*> tracks(MediaType type) const;
  const TrackInfo* track(int trackId) const;
  // The first track of `type`; throws MediaError(noSuchTrack).
  const TrackInfo& firstTrack(MediaType type) const;
  // Set for a fragmented MP4 whose last fragment was cut off (a recorder that
  // was killed or lost power): the time up to which every track's samples lie
  // whole in the file. Tracks, key frames and the duration end there, and the
  // readers end quietly at the cut instead of failing as truncated.
  const std::optional<MediaTime>& readableEndOfCutFragments() const { return cutFragmentsEnd_; }
  void setReadableEndOfCutFragments(MediaTime end) { cutFragmentsEnd_ = end; }

  Asset(std::string path, MediaTime duration, std::vector<TrackInfo> tracks)
      : path_(std::move(path)), duration_(duration), tracks_(std::move(tracks)) {}

 private:
  std::string path_;
  MediaTime duration_;
  std::vector<TrackInfo> tracks_;
  std::optional<MediaTime> cutFragmentsEnd_;
};

using AssetRef = std::shared_ptr<const Asset>;

}  // namespace vantrel::media
