#include "vantrel/media/video_composition_reader.h"

#include "ffmpeg_util.h"
#include "vantrel/media/frame_ops.h"

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

namespace vantrel::media {

void drawBaseFrameUpright(const CompositionRequest& request, PixelBuffer& output) {
  if (request.sources.empty() || !request.sources[0].frame) {
    output.fill(0, 0, 0, 255);
    return;
  }
  const SourceFrame& base = request.sources[0];
  if (base.preferredTransform.isIdentity()) {
    scaleInto(*base.frame, output);
  } else {
    scaleInto(*applyDisplayTransform(*base.frame, base.preferredTransform), output);
  }
}

namespace {

// Sequential access to one source track: keeps the frame on screen and moves
// forward by decoding, seeking only on a jump.
// Whether the track's pictures can be handed over as planes: what the BGRA
// conversion would read as BT.709 limited range, in 4:2:0.
bool planesAreBt709Video(const Asset& asset, int trackId) {
  const TrackInfo* track = asset.track(trackId);
  if (track == nullptr || track->formatDescriptions.empty() || !track->formatDescriptions[0].parameters) return false;
  const AVCodecParameters* par = track->formatDescriptions[0].parameters->par;
  if (par == nullptr || par->format != AV_PIX_FMT_YUV420P || par->color_range == AVCOL_RANGE_JPEG) return false;
  return par->color_space == AVCOL_SPC_BT709 || par->color_space == AVCOL_SPC_UNSPECIFIED;
}

class SourceCursor {
 public:
  SourceCursor(AssetRef asset, int trackId, PixelFormat format) : reader_(std::move(asset), trackId, format) {}

  const VideoFrame* frameAt(MediaTime t) {
    if (current_) {
      const bool onScreen = current_->presentationTime <= t &&
                            (current_->duration.isValid() && t < current_->presentationTime + current_->duration);
      const bool heldLast = exhausted_ && current_->presentationTime <= t;
      if (onScreen || heldLast) return &*current_;
    }
    reader_.seek(t);
    if (auto f = reader_.next()) {
      exhausted_ = reader_.status() == ReaderStatus::completed;
      current_ = std::move(f);
    } else if (reader_.status() == ReaderStatus::completed) {
      exhausted_ = true;
    }
    return current_ ? &*current_ : nullptr;
  }

 private:
  VideoFrameReader reader_;
  std::optional<VideoFrame> current_;
  bool exhausted_ = false;
};

}  // namespace

struct VideoCompositionReader::Impl {
  Composition composition;
  VideoCompositionSettings settings;
  Compositor compositor;
  std::vector<const CompositionTrack*> videoTracks;
  std::map<std::pair<const Asset*, int>, std::unique_ptr<SourceCursor>> cursors;
  std::shared_ptr<FramePool> outputPool;

  std::thread thread;
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<CompositionRequest> queue;
  bool producerDone = false;
  bool stop = false;
  std::optional<MediaError> producerError;
  bool started = false;

  void produce() {
    try {
      const MediaTime duration = composition.duration();
      for (std::int64_t k = 0;; ++k) {
        const MediaTime t = MediaTime(settings.frameDuration.value * k, settings.frameDuration.timescale);
        if (t >= duration) break;
        CompositionRequest request;
        request.outputTime = t;
        for (const CompositionTrack* track : videoTracks) {
          SourceFrame sf;
          sf.compositionTrackId = track->trackId();
          sf.preferredTransform = track->preferredTransform;
          if (auto m = track->mappingAt(t); m && !m->segment->isEmpty()) {
            sf.sourceTime = m->sourceTime;
            auto& cursor = cursors[{m->segment->asset.get(), m->segment->sourceTrackId}];
            if (!cursor) {
              const bool planes = settings.planarSources &&
                                  planesAreBt709Video(*m->segment->asset, m->segment->sourceTrackId);
              cursor = std::make_unique<SourceCursor>(m->segment->asset, m->segment->sourceTrackId,
                                                      planes ? PixelFormat::i420 : PixelFormat::bgra);
            }
            if (const VideoFrame* f = cursor->frameAt(m->sourceTime)) {
              sf.frame = f->bgra;
              sf.i420 = f->i420;
              sf.framePresentationTime = f->presentationTime;
            }
          }
          request.sources.push_back(std::move(sf));
        }
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return stop || static_cast<int>(queue.size()) < settings.decodeAhead; });
        if (stop) return;
        queue.push_back(std::move(request));
        changed.notify_all();
      }
    } catch (const MediaError& e) {
      std::lock_guard lock(mutex);
      producerError = e;
    } catch (const std::bad_alloc&) {
      std::lock_guard lock(mutex);
      producerError = makeMediaError(MediaErrorCode::decodeFailed, "out of memory while decoding");
    }
    std::lock_guard lock(mutex);
    producerDone = true;
    changed.notify_all();
  }

  void stopThread() {
    {
      std::lock_guard lock(mutex);
      stop = true;
    }
    changed.notify_all();
    if (thread.joinable()) thread.join();
  }
};

VideoCompositionReader::VideoCompositionReader(Composition composition, VideoCompositionSettings settings,
                                               Compositor compositor)
    : impl_(std::make_unique<Impl>()) {
  if (settings.renderWidth <= 0 || settings.renderHeight <= 0 || !settings.frameDuration.isValid() ||
      settings.frameDuration <= MediaTime::zero() || settings.decodeAhead < 1) {
    throw makeMediaError(MediaErrorCode::invalidArgument, "video composition settings");
  }
  impl_->composition = std::move(composition);
  impl_->settings = settings;
  impl_->compositor = compositor ? std::move(compositor) : Compositor(drawBaseFrameUpright);
  for (const CompositionTrack* t : impl_->composition.tracks(MediaType::video)) impl_->videoTracks.push_back(t);
  if (impl_->videoTracks.empty()) throw makeMediaError(MediaErrorCode::noSuchTrack, "composition has no video track");
  impl_->outputPool = FramePool::create(settings.renderWidth, settings.renderHeight);
}

VideoCompositionReader::~VideoCompositionReader() { impl_->stopThread(); }

void VideoCompositionReader::startReading() {
  if (impl_->started) throw makeMediaError(MediaErrorCode::invalidState, "startReading twice");
  impl_->started = true;
  impl_->thread = std::thread([this] { impl_->produce(); });
}

void VideoCompositionReader::cancelReading() {
  cancel();
  {
    std::lock_guard lock(impl_->mutex);
    impl_->stop = true;
  }
  impl_->changed.notify_all();
}

std::optional<CompositionRequest> VideoCompositionReader::copyNextRequest() {
  Impl& m = *impl_;
  if (!m.started) throw makeMediaError(MediaErrorCode::invalidState, "copyNextRequest before startReading");
  if (status() != ReaderStatus::reading) return std::nullopt;
  CompositionRequest request;
  {
    std::unique_lock lock(m.mutex);
    m.changed.wait(lock, [&] { return m.stop || !m.queue.empty() || m.producerDone; });
    if (m.stop) {
      lock.unlock();
      m.stopThread();
      finish(ReaderStatus::cancelled);
      return std::nullopt;
    }
    if (m.queue.empty()) {
      if (m.producerError) {
        const MediaError e = *m.producerError;
        lock.unlock();
        fail(e);
      }
      lock.unlock();
      finish(ReaderStatus::completed);
      return std::nullopt;
    }
    request = std::move(m.queue.front());
    m.queue.pop_front();
  }
  m.changed.notify_all();
  return request;
}

std::optional<VideoFrame> VideoCompositionReader::copyNextFrame() {
  Impl& m = *impl_;
  if (!m.started) throw makeMediaError(MediaErrorCode::invalidState, "copyNextFrame before startReading");
  std::optional<CompositionRequest> next = copyNextRequest();
  if (!next) return std::nullopt;
  const CompositionRequest& request = *next;
  VideoFrame out;
  out.presentationTime = request.outputTime;
  out.duration = m.settings.frameDuration;
  out.bgra = m.outputPool->acquire();
  try {
    m.compositor(request, *out.bgra);
  } catch (const MediaError& e) {
    m.stopThread();
    fail(e);
  } catch (const std::exception& e) {
    m.stopThread();
    fail(makeMediaError(MediaErrorCode::invalidState, std::string("compositor failed: ") + e.what()));
  }
  return out;
}

}  // namespace vantrel::media
