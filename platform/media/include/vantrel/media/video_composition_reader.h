#pragma once
// Reads a composition as one composed BGRA frame per output frame time
// (0, d, 2d, ... below the composition's duration). A decode thread maps every
// output time to each video track's source frame (the latest frame at or before
// the mapped source time; none inside an empty range), decoding sequentially
// ahead through a bounded queue; copyNextFrame() hands those frames to the
// compositor on the caller's thread and returns the composed picture from a
// pool. Decoding, compositing and the writer's encoding so run in parallel with
// bounded memory.

#include "vantrel/media/composition.h"
#include "vantrel/media/errors.h"
#include "vantrel/media/frame.h"
#include "vantrel/media/readers.h"

#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace vantrel::media {

struct SourceFrame {
  int compositionTrackId = 0;
  std::shared_ptr<const PixelBuffer> frame;  // null inside an empty range or past the track
  // Set instead of `frame` when the reader was asked for planar sources and this
  // track's pictures are 4:2:0, limited range, BT.709 or untagged (the planes
  // as decoded; converting them to BGRA gives exactly what `frame` would hold).
  std::shared_ptr<const I420Buffer> i420;
  MediaTime sourceTime = MediaTime::invalid();         // the mapped source time
  MediaTime framePresentationTime = MediaTime::invalid();
  AffineTransform preferredTransform;
};

struct CompositionRequest {
  MediaTime outputTime;
  std::vector<SourceFrame> sources;  // one per video track, in track order; [0] is the base track
};

// Draws one output frame into `output` (render size, contents undefined on entry).
// Called on the thread that calls copyNextFrame(), one frame at a time. An
// exception fails the reader with its text.
using Compositor = std::function<void(const CompositionRequest& request, PixelBuffer& output)>;

struct VideoCompositionSettings {
  int renderWidth = 0;
  int renderHeight = 0;
  MediaTime frameDuration = MediaTime(1, 30);
  int decodeAhead = 3;  // composition requests queued ahead of the caller
  // Hand eligible sources over as decoded planes (SourceFrame::i420), for a
  // caller that composes in I420 and converts to BGRA only when it must.
  bool planarSources = false;
};

// The compositor used when none is given: the base frame, upright, stretched
// over the whole output; black where there is none.
void drawBaseFrameUpright(const CompositionRequest& request, PixelBuffer& output);

class VideoCompositionReader : public ReaderState {
 public:
  VideoCompositionReader(Composition composition, VideoCompositionSettings settings, Compositor compositor = {});
  ~VideoCompositionReader();

  void startReading();
  // The next composed frame (presentation time = output time, duration = frame
  // duration); nothing at the end or after cancel. Throws MediaError.
  std::optional<VideoFrame> copyNextFrame();
  // The next request as the decode thread prepared it, not composed (the
  // compositor is not called): for a caller that composes on its own. Not to
  // be mixed with copyNextFrame() on one reader. Nothing at the end or after
  // cancel. Throws MediaError.
  std::optional<CompositionRequest> copyNextRequest();
  // Stops the decode thread; safe from any thread.
  void cancelReading();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace vantrel::media
