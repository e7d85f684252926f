#include "vantrel/media/readers.h"

#include "ffmpeg_util.h"

namespace vantrel::media {

std::string ReaderState::errorText() const {
  std::lock_guard lock(errorMutex_);
  return error_;
}

void ReaderState::fail(const MediaError& error) {
  {
    std::lock_guard lock(errorMutex_);
    error_ = error.text();
  }
  status_.store(ReaderStatus::failed);
  throw error;
}

const std::uint8_t* Packet::data() const { return raw ? raw->data : nullptr; }
std::size_t Packet::size() const { return raw ? static_cast<std::size_t>(raw->size) : 0; }

struct PacketReader::Impl {
  AssetRef asset;
  const TrackInfo* track = nullptr;
  ff::InputPtr input;
  AVStream* stream = nullptr;
  std::optional<TimeRange> range;
  std::int64_t startTs = AV_NOPTS_VALUE;
  std::int64_t endTs = AV_NOPTS_VALUE;
  // False when the range starts at the track's start: packets before it
  // (encoder priming, hidden by the edit list) then belong to the range.
  bool trimStart = false;
};

PacketReader::PacketReader(AssetRef asset, int trackId, std::optional<TimeRange> range)
    : impl_(std::make_unique<Impl>()) {
  impl_->asset = std::move(asset);
  impl_->track = impl_->asset->track(trackId);
  if (impl_->track == nullptr) {
    throw makeMediaError(MediaErrorCode::noSuchTrack, impl_->asset->path() + ": track " + std::to_string(trackId));
  }
  impl_->input = ff::openInput(impl_->asset->path());
  impl_->stream = ff::streamOf(impl_->input.get(), impl_->asset->path(), trackId, impl_->track->mediaType);
  for (unsigned i = 0; i < impl_->input->nb_streams; ++i) {
    if (static_cast<int>(i) != trackId) impl_->input->streams[i]->discard = AVDISCARD_ALL;
  }
  impl_->range = range;
  if (range) {
    impl_->startTs = ff::toStreamTime(range->start, impl_->stream->time_base);
    impl_->endTs = ff::toStreamTime(range->end(), impl_->stream->time_base);
    if (range->start > impl_->track->timeRange.start) {
      impl_->trimStart = true;
      const int rc = av_seek_frame(impl_->input.get(), trackId, impl_->startTs, AVSEEK_FLAG_BACKWARD);
      if (rc < 0) throw makeFfmpegError(MediaErrorCode::readFailed, impl_->asset->path(), rc);
    }
  }
}

PacketReader::~PacketReader() = default;

const FormatDescription& PacketReader::format() const { return impl_->track->formatDescriptions.front(); }

std::optional<Packet> PacketReader::next() {
  if (status() != ReaderStatus::reading) return std::nullopt;
  const bool video = impl_->track->mediaType == MediaType::video;
  while (true) {
    if (cancelRequested()) {
      finish(ReaderStatus::cancelled);
      return std::nullopt;
    }
    ff::PacketPtr pkt = ff::allocPacket();
    const int rc = av_read_frame(impl_->input.get(), pkt.get());
    if (rc == AVERROR_EOF) {
      try {
        ff::checkNotTruncated(impl_->input.get(), impl_->stream, impl_->asset->path());
      } catch (const MediaError& e) {
        fail(e);
      }
      finish(ReaderStatus::completed);
      return std::nullopt;
    }
    if (rc < 0) fail(makeFfmpegError(MediaErrorCode::readFailed, impl_->asset->path(), rc));
    if (pkt->stream_index != impl_->stream->index) continue;
    const std::int64_t pts = pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts;
    const std::int64_t dts = pkt->dts != AV_NOPTS_VALUE ? pkt->dts : pkt->pts;
    if (impl_->range) {
      if (dts != AV_NOPTS_VALUE && dts >= impl_->endTs) {
        finish(ReaderStatus::completed);
        return std::nullopt;
      }
      if (pts != AV_NOPTS_VALUE && pts >= impl_->endTs) continue;
      if (!video && impl_->trimStart && pts != AV_NOPTS_VALUE &&
          pts + std::max<std::int64_t>(pkt->duration, 1) <= impl_->startTs) {
        continue;
      }
    }
    Packet out;
    const AVRational tb = impl_->stream->time_base;
    out.presentationTime = ff::fromStreamTime(pts, tb);
    out.decodeTime = ff::fromStreamTime(dts, tb);
    out.duration = ff::fromStreamTime(pkt->duration, tb);
    out.isKeyFrame = (pkt->flags & AV_PKT_FLAG_KEY) != 0;
    out.raw = std::shared_ptr<AVPacket>(pkt.release(), [](AVPacket* p) { av_packet_free(&p); });
    return out;
  }
}

}  // namespace vantrel::media
