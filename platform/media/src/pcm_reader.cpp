#include "vantrel/media/readers.h"

#include "stream_decoder.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libavutil/samplefmt.h>
}

#include <algorithm>
#include <cstring>
#include <vector>

namespace vantrel::media {

struct PcmReader::Impl {
  AssetRef asset;
  PcmSettings settings;
  std::unique_ptr<StreamDecoder> decoder;
  ff::SwrPtr swr;
  ff::FramePtr frame;
  AVSampleFormat outFormat = AV_SAMPLE_FMT_FLT;
  int bytesPerSample = 4;
  std::int64_t startSample = 0;          // first wanted output sample (output rate)
  std::int64_t endSample = INT64_MAX;    // one past the last wanted one
  std::int64_t position = INT64_MIN;     // output sample index of the next converted sample
  bool flushed = false;
};

PcmReader::PcmReader(AssetRef asset, int trackId, PcmSettings settings, std::optional<TimeRange> range)
    : impl_(std::make_unique<Impl>()) {
  Impl& m = *impl_;
  m.asset = std::move(asset);
  m.settings = settings;
  if (settings.sampleRate <= 0 || settings.channels <= 0 || settings.channels > 16 ||
      (settings.bitDepth != 16 && settings.bitDepth != 32) || (settings.bitDepth == 16 && settings.isFloat)) {
    throw makeMediaError(MediaErrorCode::invalidArgument, "unsupported PCM settings");
  }
  m.decoder = std::make_unique<StreamDecoder>(*m.asset, trackId, MediaType::audio, 1);
  if (settings.bitDepth == 16) {
    m.outFormat = settings.interleaved ? AV_SAMPLE_FMT_S16 : AV_SAMPLE_FMT_S16P;
    m.bytesPerSample = 2;
  } else if (settings.isFloat) {
    m.outFormat = settings.interleaved ? AV_SAMPLE_FMT_FLT : AV_SAMPLE_FMT_FLTP;
  } else {
    m.outFormat = settings.interleaved ? AV_SAMPLE_FMT_S32 : AV_SAMPLE_FMT_S32P;
  }
  m.frame = ff::allocFrame();
  // Decoders emit the padding of the last compressed frame too; the track's
  // own range (its edit list) says where the sound really ends.
  if (const TrackInfo* track = m.asset->track(trackId); track != nullptr && !track->timeRange.isEmpty()) {
    m.endSample = track->timeRange.end().convertScale(settings.sampleRate).value;
  }
  if (range) {
    m.startSample = MediaTime(range->start).convertScale(settings.sampleRate).value;
    m.endSample = std::min(m.endSample, range->end().convertScale(settings.sampleRate).value);
    const TrackInfo* track = m.asset->track(trackId);
    if (track != nullptr && range->start > track->timeRange.start) {
      m.decoder->seek(ff::toStreamTime(range->start, m.decoder->stream()->time_base));
    }
  }
}

PcmReader::~PcmReader() = default;

const PcmSettings& PcmReader::settings() const { return impl_->settings; }

std::optional<PcmBuffer> PcmReader::next() {
  Impl& m = *impl_;
  while (status() == ReaderStatus::reading) {
    if (cancelRequested()) {
      finish(ReaderStatus::cancelled);
      break;
    }
    if (m.position >= m.endSample) {
      finish(ReaderStatus::completed);
      break;
    }
    bool haveFrame = false;
    if (!m.flushed) {
      try {
        haveFrame = m.decoder->nextFrame(m.frame.get());
      } catch (const MediaError& e) {
        fail(e);
      }
    }
    if (haveFrame && !m.swr) {
      AVChannelLayout outLayout;
      av_channel_layout_default(&outLayout, m.settings.channels);
      AVChannelLayout inLayout;
      if (m.frame->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC) {
        av_channel_layout_default(&inLayout, m.frame->ch_layout.nb_channels);
      } else {
        av_channel_layout_copy(&inLayout, &m.frame->ch_layout);
      }
      SwrContext* raw = nullptr;
      int rc = swr_alloc_set_opts2(&raw, &outLayout, m.outFormat, m.settings.sampleRate, &inLayout,
                                   static_cast<AVSampleFormat>(m.frame->format), m.frame->sample_rate, 0, nullptr);
      // A mono source plays at full level on every output channel, as a mono
      // microphone does on headphones, instead of the -3 dB centre downmix rule.
      if (rc >= 0 && inLayout.nb_channels == 1) {
        const std::vector<double> ones(static_cast<size_t>(m.settings.channels), 1.0);
        rc = swr_set_matrix(raw, ones.data(), 1);
      }
      av_channel_layout_uninit(&inLayout);
      av_channel_layout_uninit(&outLayout);
      if (rc >= 0) rc = swr_init(raw);
      m.swr.reset(raw);
      if (rc < 0) fail(makeFfmpegError(MediaErrorCode::decodeFailed, m.asset->path(), rc));
    }
    if (haveFrame && m.position == INT64_MIN) {
      const std::int64_t pts = m.frame->best_effort_timestamp;
      const MediaTime t = ff::fromStreamTime(pts == AV_NOPTS_VALUE ? 0 : pts, m.decoder->stream()->time_base);
      m.position = t.convertScale(m.settings.sampleRate).value;
    }
    if (!haveFrame) {
      m.flushed = true;
      if (!m.swr) {
        finish(ReaderStatus::completed);
        break;
      }
    }
    const int inSamples = haveFrame ? m.frame->nb_samples : 0;
    const int capacity = swr_get_out_samples(m.swr.get(), inSamples) + 32;
    const int planes = m.settings.interleaved ? 1 : m.settings.channels;
    const int planeBytes = capacity * m.bytesPerSample * (m.settings.interleaved ? m.settings.channels : 1);
    PcmBuffer out;
    out.planes.assign(static_cast<size_t>(planes), std::vector<std::uint8_t>(static_cast<size_t>(planeBytes)));
    std::vector<std::uint8_t*> ptrs;
    for (auto& p : out.planes) ptrs.push_back(p.data());
    const int produced = swr_convert(m.swr.get(), ptrs.data(), capacity,
                                     haveFrame ? const_cast<const std::uint8_t**>(m.frame->extended_data) : nullptr,
                                     inSamples);
    if (haveFrame) av_frame_unref(m.frame.get());
    if (produced < 0) fail(makeFfmpegError(MediaErrorCode::decodeFailed, m.asset->path(), produced));
    if (produced == 0) {
      if (m.flushed) {
        finish(ReaderStatus::completed);
        break;
      }
      continue;
    }
    std::int64_t first = m.position;
    std::int64_t last = m.position + produced;  // exclusive
    m.position = last;
    const std::int64_t keepFrom = std::max(first, m.startSample);
    const std::int64_t keepTo = std::min(last, m.endSample);
    if (keepTo <= keepFrom) continue;
    const size_t frameBytes =
        static_cast<size_t>(m.bytesPerSample) * (m.settings.interleaved ? m.settings.channels : 1);
    const size_t skip = static_cast<size_t>(keepFrom - first) * frameBytes;
    const size_t keep = static_cast<size_t>(keepTo - keepFrom) * frameBytes;
    for (auto& p : out.planes) {
      if (skip > 0) std::memmove(p.data(), p.data() + skip, keep);
      p.resize(keep);
    }
    out.frameCount = static_cast<int>(keepTo - keepFrom);
    out.presentationTime = MediaTime(keepFrom, m.settings.sampleRate);
    return out;
  }
  return std::nullopt;
}

}  // namespace vantrel::media
