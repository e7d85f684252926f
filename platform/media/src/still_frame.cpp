#include "vantrel/media/still_frame.h"

#include "vantrel/media/frame_ops.h"
#include "vantrel/media/readers.h"

#include <cmath>
#include <cstring>

namespace vantrel::media {

StillFrame copyStillFrame(const AssetRef& asset, MediaTime time, const StillFrameOptions& options) {
  const TrackInfo& track = asset->firstTrack(MediaType::video);
  VideoFrameReader reader(asset, track.trackId);
  if (time.isValid() && time > track.timeRange.start) reader.seek(time);
  auto frame = reader.next();
  if (!frame) throw makeMediaError(MediaErrorCode::decodeFailed, asset->path() + ": no picture could be decoded");
  std::unique_ptr<PixelBuffer> upright;
  const PixelBuffer* src = frame->bgra.get();
  if (options.appliesPreferredTrackTransform && !track.preferredTransform.isIdentity()) {
    upright = applyDisplayTransform(*frame->bgra, track.preferredTransform);
    src = upright.get();
  }
  const Size fitted = fitWithin(Size{double(src->width()), double(src->height())}, options.maximumSize);
  StillFrame out;
  out.actualTime = frame->presentationTime;
  out.image = std::make_unique<PixelBuffer>(static_cast<int>(fitted.width), static_cast<int>(fitted.height));
  scaleInto(*src, *out.image);
  return out;
}

}  // namespace vantrel::media
