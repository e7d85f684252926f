#pragma once
// Sequential frame reading for the files a scene shows beside the base track:
// camera recordings (the camera bubble) and the recordings themselves (stills
// at filler boundaries). One reader state per file URL moves forward with the
// render position, keeping the 16 most recent frames.

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "plan/geometry.h"
#include "vantrel/graphics/image.h"
#include "vantrel/media/asset.h"
#include "vantrel/media/frame.h"
#include "vantrel/media/readers.h"

namespace vantrel::exporter {

// The frame turned upright by the track's transform (written for a y-down
// picture), placed at the origin of canvas space (y up).
graphics::Image uprightFrameImage(const graphics::Image& frame, const VideoTrackMetadata& metadata);

// Threads: states are added before rendering starts (one thread); `frame` may
// then be called from any thread, calls for one URL are serialised.
class CameraFrameDecoder {
 public:
  static constexpr std::size_t kRingCapacity = 16;

  struct URLReaderState {
    media::AssetRef asset;
    int trackId = 0;
    std::unique_ptr<media::VideoFrameReader> reader;
    double readheadSeconds = -1;  // the last decoded time, -1 before any
    // Decoded frames: presentation time (seconds) and premultiplied BGRA pixels.
    std::deque<std::pair<double, std::shared_ptr<const media::PixelBuffer>>> ring;
    // Where the reader starts when first needed: the decoder is only set up
    // once the file is actually read, so states that a scene never uses cost
    // no decoder memory.
    std::optional<double> deferredOpenSeconds;
    // Readers started so far, each at a new place in the file.
    std::size_t seeks = 0;
    std::mutex mutex;
  };

  // Creates the state for `url` (replacing an earlier one) and opens it at
  // `seconds` of the file.
  void addState(const std::string& url, media::AssetRef asset, int trackId, double seconds);
  bool hasState(const std::string& url) const { return states_.count(url) > 0; }

  // The upright frame nearest to `seconds` of the file at `url`; nothing when
  // the URL has no state, the file cannot be read or no frame is near.
  // Reading moves forward: a step back of up to 0.5 s, or one the kept frames
  // still cover, and a step forward of up to 1 s are served by reading on;
  // anything else starts a new reader at `seconds` (a seek).
  std::optional<graphics::Image> frame(const std::string& url, double seconds, const VideoTrackMetadata& metadata);

  // How many readers were started for `url` (0 for an unknown URL), and over
  // all URLs. A reader prepared but never read from does not count.
  std::size_t seekCount(const std::string& url) const;
  std::size_t totalSeekCount() const;

 private:
  static void reopen(URLReaderState& state, double seconds);
  static void startReader(URLReaderState& state, double seconds);
  static void readAhead(URLReaderState& state, double until);

  std::map<std::string, std::unique_ptr<URLReaderState>> states_;
};

}  // namespace vantrel::exporter
