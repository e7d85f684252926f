#include "vantrel/media/readers.h"

#include "ffmpeg_util.h"

#include <algorithm>
#include <deque>
#include <vector>

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
  // Demuxed packets waiting for a decode time (see nextWithDecodeTime).
  std::deque<ff::PacketPtr> pending;
  bool endOfFile = false;
  double ticksPerFrame = 0;  // one frame interval in stream ticks (video; 0: unknown), for back-filling

  // The next packet of the stream, or nothing at the end of the file.
  ff::PacketPtr demux();
  ff::PacketPtr nextWithDecodeTime();
};

namespace {

// Demuxers of containers that store only presentation times (Matroska) leave
// the decode time out until they have seen enough of a reordered stream to
// infer it, typically for the first packets and again after a seek. Taking the
// presentation time instead would put decode times out of order, and bumping
// them back into order would shorten every later sample, so the run is filled
// in the way the stream itself decodes: backwards from the first packet that
// has a decode time, one packet duration at a time; failing that (no decode
// time anywhere ahead), from the run's presentation times in sorted order,
// shifted just enough that no packet decodes after it is shown.
constexpr std::size_t kDecodeTimeLookahead = 64;

// Frame intervals are counted from the frame rate when it is known, so a
// millisecond time base (33 ms packets at 30 fps) does not drift by a tick
// every three frames.
void backFillDecodeTimes(std::deque<ff::PacketPtr>& run, double ticksPerFrame) {
  const std::size_t last = run.size() - 1;
  std::int64_t durations = 0;
  for (std::size_t i = last; i-- > 0;) {
    AVPacket* p = run[i].get();
    durations += std::max<std::int64_t>(p->duration, 1);
    const double frames = static_cast<double>(last - i);
    const std::int64_t back = ticksPerFrame > 0 ? std::llround(frames * ticksPerFrame) : durations;
    std::int64_t dts = std::min(run[last]->dts - back, run[i + 1]->dts - 1);
    if (p->pts != AV_NOPTS_VALUE) dts = std::min(dts, p->pts);
    p->dts = dts;
  }
}

void fillDecodeTimesFromPresentation(std::deque<ff::PacketPtr>& run) {
  std::vector<std::int64_t> sorted;
  for (const auto& p : run) {
    if (p->pts != AV_NOPTS_VALUE) sorted.push_back(p->pts);
  }
  if (sorted.size() != run.size()) return;  // nothing to order by
  std::sort(sorted.begin(), sorted.end());
  std::int64_t shift = 0;
  for (std::size_t i = 0; i < run.size(); ++i) shift = std::max(shift, sorted[i] - run[i]->pts);
  for (std::size_t i = 0; i < run.size(); ++i) run[i]->dts = sorted[i] - shift;
}

}  // namespace

ff::PacketPtr PacketReader::Impl::demux() {
  while (!endOfFile) {
    ff::PacketPtr pkt = ff::allocPacket();
    const int rc = av_read_frame(input.get(), pkt.get());
    if (rc == AVERROR_EOF) {
      endOfFile = true;
      break;
    }
    if (rc < 0) throw makeFfmpegError(MediaErrorCode::readFailed, asset->path(), rc);
    if (asset->readableEndOfCutFragments() &&
        ff::packetPastCut(input.get(), pkt.get(), stream, *asset->readableEndOfCutFragments())) {
      // The cut-off end of a fragmented file: what follows is incomplete.
      endOfFile = true;
      break;
    }
    if (pkt->stream_index == stream->index) return pkt;
  }
  return nullptr;
}

ff::PacketPtr PacketReader::Impl::nextWithDecodeTime() {
  if (pending.empty()) {
    ff::PacketPtr p = demux();
    if (!p) return nullptr;
    if (p->dts != AV_NOPTS_VALUE || p->pts == AV_NOPTS_VALUE) return p;
    pending.push_back(std::move(p));
    while (pending.back()->dts == AV_NOPTS_VALUE && pending.size() < kDecodeTimeLookahead) {
      ff::PacketPtr more = demux();
      if (!more) break;
      pending.push_back(std::move(more));
    }
    if (pending.back()->dts != AV_NOPTS_VALUE) {
      backFillDecodeTimes(pending, ticksPerFrame);
    } else {
      fillDecodeTimesFromPresentation(pending);
    }
  }
  ff::PacketPtr p = std::move(pending.front());
  pending.pop_front();
  return p;
}

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
  const AVRational tb = impl_->stream->time_base;
  if (impl_->track->nominalFrameRate > 0 && tb.num > 0) {
    impl_->ticksPerFrame = tb.den / (tb.num * impl_->track->nominalFrameRate);
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
    ff::PacketPtr pkt;
    try {
      pkt = impl_->nextWithDecodeTime();
      if (!pkt && !impl_->asset->readableEndOfCutFragments())
        ff::checkNotTruncated(impl_->input.get(), impl_->stream, impl_->asset->path());
    } catch (const MediaError& e) {
      fail(e);
    }
    if (!pkt) {
      finish(ReaderStatus::completed);
      return std::nullopt;
    }
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
