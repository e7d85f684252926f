#include "vantrel/media/readers.h"

#include "convert_frame.h"
#include "stream_decoder.h"

#include <algorithm>

namespace vantrel::media {

struct VideoFrameReader::Impl {
  AssetRef asset;
  const TrackInfo* track = nullptr;
  PixelFormat format = PixelFormat::bgra;
  std::unique_ptr<StreamDecoder> decoder;
  FrameConverter converter;
  std::shared_ptr<FramePool> pool;
  std::int64_t endTs = INT64_MAX;
  std::optional<std::int64_t> target;  // emit the latest frame at or before this
  ff::FramePtr candidate;              // latest decoded frame before `target`
  ff::FramePtr queued;                 // decoded, not yet emitted
  ff::FramePtr lastEmitted;
  ff::FramePtr work;

  static std::int64_t ptsOf(const AVFrame* f) {
    return f->best_effort_timestamp != AV_NOPTS_VALUE ? f->best_effort_timestamp : f->pts;
  }
  bool has(const ff::FramePtr& f) const { return f && f->buf[0] != nullptr; }

  // Planes of frames the caller has already dropped are reused, which saves a
  // large allocation per frame.
  std::vector<std::shared_ptr<I420Buffer>> i420Recent;
  std::shared_ptr<I420Buffer> reusableI420() {
    for (auto& b : i420Recent) {
      if (b.use_count() == 1) return b;
    }
    auto b = std::make_shared<I420Buffer>();
    if (i420Recent.size() < 8) i420Recent.push_back(b);
    return b;
  }

  VideoFrame emit(ff::FramePtr& f) {
    VideoFrame out;
    const AVRational tb = decoder->stream()->time_base;
    out.presentationTime = ff::fromStreamTime(ptsOf(f.get()), tb);
    out.duration = f->pkt_duration > 0 ? ff::fromStreamTime(f->pkt_duration, tb) : track->minFrameDuration;
    if (format == PixelFormat::bgra) {
      if (!pool || pool->width() != f->width || pool->height() != f->height) {
        pool = FramePool::create(f->width, f->height);
      }
      out.bgra = pool->acquire();
      converter.toBgra(f.get(), *out.bgra);
    } else {
      out.i420 = reusableI420();
      converter.toI420(f.get(), *out.i420);
    }
    av_frame_unref(lastEmitted.get());
    av_frame_move_ref(lastEmitted.get(), f.get());
    return out;
  }
};

VideoFrameReader::VideoFrameReader(AssetRef asset, int trackId, PixelFormat format, std::optional<TimeRange> range)
    : impl_(std::make_unique<Impl>()) {
  Impl& m = *impl_;
  m.asset = std::move(asset);
  m.track = m.asset->track(trackId);
  if (m.track == nullptr || m.track->mediaType != MediaType::video) {
    throw makeMediaError(MediaErrorCode::noSuchTrack, m.asset->path() + ": no video track " + std::to_string(trackId));
  }
  m.format = format;
  m.decoder = std::make_unique<StreamDecoder>(*m.asset, trackId, MediaType::video, 0);
  m.candidate = ff::allocFrame();
  m.queued = ff::allocFrame();
  m.lastEmitted = ff::allocFrame();
  m.work = ff::allocFrame();
  if (range) {
    m.endTs = ff::toStreamTime(range->end(), m.decoder->stream()->time_base);
    if (range->start > m.track->timeRange.start) seek(range->start);
  }
}

VideoFrameReader::~VideoFrameReader() = default;

const TrackInfo& VideoFrameReader::track() const { return *impl_->track; }

void VideoFrameReader::seek(MediaTime t) {
  Impl& m = *impl_;
  if (status() != ReaderStatus::reading && status() != ReaderStatus::completed) return;
  const std::int64_t ts = ff::toStreamTime(t, m.decoder->stream()->time_base);
  bool needSeek = true;
  if (m.has(m.lastEmitted)) {
    const std::int64_t last = Impl::ptsOf(m.lastEmitted.get());
    if (ts >= last) {
      // Sequential decoding is cheaper unless a sync sample lies between.
      const MediaTime lastTime = ff::fromStreamTime(last, m.decoder->stream()->time_base);
      needSeek = std::any_of(m.track->keyFrameTimes.begin(), m.track->keyFrameTimes.end(),
                             [&](MediaTime k) { return k > lastTime && k <= t; });
      if (!needSeek) {
        av_frame_unref(m.candidate.get());
        av_frame_ref(m.candidate.get(), m.lastEmitted.get());
      }
    }
  }
  if (needSeek) {
    try {
      m.decoder->seek(ts);
    } catch (const MediaError& e) {
      fail(e);
    }
    av_frame_unref(m.queued.get());
    av_frame_unref(m.candidate.get());
  }
  m.target = ts;
  finish(ReaderStatus::reading);
}

std::optional<VideoFrame> VideoFrameReader::next() {
  Impl& m = *impl_;
  while (status() == ReaderStatus::reading) {
    if (cancelRequested()) {
      finish(ReaderStatus::cancelled);
      break;
    }
    av_frame_unref(m.work.get());
    if (m.has(m.queued)) {
      av_frame_move_ref(m.work.get(), m.queued.get());
    } else {
      bool got = false;
      try {
        got = m.decoder->nextFrame(m.work.get());
      } catch (const MediaError& e) {
        fail(e);
      }
      if (!got) {
        finish(ReaderStatus::completed);
        m.target.reset();
        if (m.has(m.candidate)) return m.emit(m.candidate);
        break;
      }
    }
    const std::int64_t pts = Impl::ptsOf(m.work.get());
    if (pts != AV_NOPTS_VALUE && pts >= m.endTs) {
      finish(ReaderStatus::completed);
      m.target.reset();
      if (m.has(m.candidate)) return m.emit(m.candidate);
      break;
    }
    if (m.target) {
      if (pts < *m.target) {
        av_frame_unref(m.candidate.get());
        av_frame_move_ref(m.candidate.get(), m.work.get());
        continue;
      }
      const std::int64_t wanted = *m.target;
      m.target.reset();
      if (pts != wanted && m.has(m.candidate)) {
        av_frame_move_ref(m.queued.get(), m.work.get());
        return m.emit(m.candidate);
      }
      av_frame_unref(m.candidate.get());
    }
    return m.emit(m.work);
  }
  return std::nullopt;
}

}  // namespace vantrel::media
