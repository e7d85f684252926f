#include "render/camera_frame_decoder.h"

#include <algorithm>
#include <cmath>

#include "vantrel/media/errors.h"

namespace vantrel::exporter {

namespace gfx = vantrel::graphics;

gfx::Image uprightFrameImage(const gfx::Image& frame, const VideoTrackMetadata& metadata) {
  // The track's transform is written for a y-down picture; canvas space is y
  // up, so the transform is applied between two flips.
  const AffineTransform& m = metadata.preferredTransform;
  const double nw = metadata.naturalSize.width, nh = metadata.naturalSize.height;
  const gfx::Affine display{m.a, m.b, m.c, m.d, m.tx, m.ty};
  const gfx::Rect moved = display.apply(gfx::Rect{0, 0, nw, nh});
  const gfx::Affine toYDown{1, 0, 0, -1, 0, nh};
  const gfx::Affine upright = toYDown.then(display)
                                  .then(gfx::Affine::translation(-moved.minX(), -moved.minY()))
                                  .then(gfx::Affine{1, 0, 0, -1, 0, moved.height});
  return upright.isIdentity() ? frame : frame.transformed(upright);
}

void CameraFrameDecoder::addState(const std::string& url, media::AssetRef asset, int trackId, double seconds) {
  auto state = std::make_unique<URLReaderState>();
  state->asset = std::move(asset);
  state->trackId = trackId;
  reopen(*state, seconds);
  states_[url] = std::move(state);
}

void CameraFrameDecoder::reopen(URLReaderState& state, double seconds) {
  state.reader.reset();
  state.ring.clear();
  state.readheadSeconds = std::max(seconds - 0.1, -1.0);
  state.deferredOpenSeconds = seconds;
}

void CameraFrameDecoder::startReader(URLReaderState& state, double seconds) {
  state.deferredOpenSeconds.reset();
  const media::TrackInfo* track = state.asset ? state.asset->track(state.trackId) : nullptr;
  if (track == nullptr || !std::isfinite(seconds)) return;
  // Compared in seconds first: a time far past the end would not survive the
  // conversion to ticks (it would wrap to a time before the start).
  if (!(std::max(seconds - 0.1, 0.0) < track->timeRange.end().seconds())) return;
  const media::MediaTime start = media::MediaTime::fromSeconds(std::max(seconds - 0.1, 0.0), 600);
  const media::MediaTime end = track->timeRange.end();
  if (!(start < end)) return;  // nothing left to read
  try {
    state.reader = std::make_unique<media::VideoFrameReader>(state.asset, state.trackId, media::PixelFormat::bgra,
                                                             media::TimeRange{start, end - start});
    ++state.seeks;
  } catch (const media::MediaError&) {
    state.reader.reset();  // an unreadable file yields no frames; the scene goes on without it
  }
}

void CameraFrameDecoder::readAhead(URLReaderState& state, double until) {
  if (state.deferredOpenSeconds) startReader(state, *state.deferredOpenSeconds);
  while (state.reader && state.readheadSeconds < until) {
    std::optional<media::VideoFrame> f;
    try {
      f = state.reader->next();
    } catch (const media::MediaError&) {
      state.reader.reset();  // a broken file stops giving frames; what was decoded stays usable
      break;
    }
    if (!f) break;
    if (f->bgra) {
      if (state.ring.size() >= kRingCapacity) state.ring.pop_front();
      state.ring.emplace_back(f->presentationTime.seconds(), f->bgra);
    }
    state.readheadSeconds = f->presentationTime.seconds();
  }
}

std::optional<gfx::Image> CameraFrameDecoder::frame(const std::string& url, double seconds,
                                                    const VideoTrackMetadata& metadata) {
  const auto it = states_.find(url);
  if (it == states_.end() || !std::isfinite(seconds)) return std::nullopt;
  URLReaderState& state = *it->second;
  std::lock_guard lock(state.mutex);
  // A step back counts from the read position, which runs ahead of the asked
  // time by the look-ahead, or by a whole frame interval in a sparse file
  // (a low frame rate, a stretch the camera dropped). While the kept frames
  // still reach back to the asked time they give the right frame; reopening
  // there would restart the reader on every frame of such a stretch.
  const bool ringCovers = !state.ring.empty() && state.ring.front().first <= seconds + 1e-6;
  if (seconds < state.readheadSeconds - 0.5 && !ringCovers) reopen(state, seconds);
  if (seconds > state.readheadSeconds + 1) reopen(state, seconds);
  readAhead(state, seconds + 0.1);

  const std::pair<double, std::shared_ptr<const media::PixelBuffer>>* best = nullptr;
  for (const auto& entry : state.ring) {
    if (best == nullptr || std::fabs(entry.first - seconds) < std::fabs(best->first - seconds)) best = &entry;
  }
  if (best == nullptr) return std::nullopt;
  const auto& pixels = best->second;
  const gfx::Image image =
      gfx::Image::fromExternalBGRA(pixels->data(), pixels->width(), pixels->height(), pixels->stride(), pixels);
  return uprightFrameImage(image, metadata);
}

std::size_t CameraFrameDecoder::seekCount(const std::string& url) const {
  const auto it = states_.find(url);
  if (it == states_.end()) return 0;
  std::lock_guard lock(it->second->mutex);
  return it->second->seeks;
}

std::size_t CameraFrameDecoder::totalSeekCount() const {
  std::size_t total = 0;
  for (const auto& [url, state] : states_) {
    std::lock_guard lock(state->mutex);
    total += state->seeks;
  }
  return total;
}

}  // namespace vantrel::exporter
