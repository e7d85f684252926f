#pragma once
// One picture of a video file at a time: the latest frame at or before the
// time (the last frame past the end, the first before the start), turned
// upright with the track's display transform and shrunk to fit a maximum size.

#include "vantrel/media/asset.h"
#include "vantrel/media/frame.h"

#include <memory>

namespace vantrel::media {

struct StillFrameOptions {
  Size maximumSize{0, 0};  // 0 on a side: no limit there; never enlarges
  bool appliesPreferredTrackTransform = true;
};

struct StillFrame {
  std::unique_ptr<PixelBuffer> image;
  MediaTime actualTime;  // presentation time of the frame used
};

// Throws MediaError: noSuchTrack without video, decodeFailed when no frame decodes.
StillFrame copyStillFrame(const AssetRef& asset, MediaTime time, const StillFrameOptions& options = {});

}  // namespace vantrel::media
