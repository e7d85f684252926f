#include "vantrel/media/readers.h"

#include "stream_decoder.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/mathematics.h>
#include <libavutil/opt.h>
#include <libavutil/samplefmt.h>
}

#include <algorithm>
#include <cstring>
#include <vector>

namespace vantrel::media {

namespace {

// Silence is fed to the resampler in blocks of at most this many input samples,
// so a long gap never needs one large buffer.
constexpr int kSilenceBlock = 8192;

// Compressed audio frames whose start lies further than this fraction of a
// frame from where the previous one ended leave a gap: a packet the decoder
// could not use. Less than that is timestamp rounding, not missing sound.
constexpr double kGapFraction = 0.5;

// Frames decoded before a range start so the first frame kept has its
// predecessor's overlap (AAC and other MDCT codecs need one frame of history).
constexpr int kPreRollFrames = 2;
constexpr int kDefaultFrameSize = 1024;

}  // namespace

struct PcmReader::Impl {
  AssetRef asset;
  PcmSettings settings;
  std::unique_ptr<StreamDecoder> decoder;
  ff::SwrPtr swr;
  ff::FramePtr frame;
  ff::FramePtr silence;                  // kSilenceBlock silent samples in the input format
  AVSampleFormat outFormat = AV_SAMPLE_FMT_FLT;
  int bytesPerSample = 4;
  std::int64_t startSample = 0;          // first wanted output sample (output rate)
  std::int64_t endSample = INT64_MAX;    // one past the last wanted one
  std::int64_t position = INT64_MIN;     // output sample index of the next converted sample
  // Input format the resampler was set up for; a frame in another one (a
  // damaged header decoding as something else) is treated as undecodable.
  int inRate = 0, inChannels = 0, inFormat = -1;
  // Input-rate sample index where the last frame ended (INT64_MIN: unknown).
  std::int64_t nextInputSample = INT64_MIN;
  std::int64_t silenceLeft = 0;          // input samples of silence owed before `frame`
  bool frameHeld = false;                // `frame` is decoded and not yet converted
  bool flushed = false;

  // Sets up the resampler (and the silent block) for `frame`'s format; an
  // FFmpeg error code on failure.
  int setUpResampler();
  // Notes a gap between the previous frame and `frame` as owed silence.
  void accountForGap();
};

void PcmReader::Impl::accountForGap() {
  const std::int64_t pts = frame->best_effort_timestamp;
  if (pts == AV_NOPTS_VALUE || inRate <= 0) {
    nextInputSample = INT64_MIN;
    return;
  }
  const std::int64_t at = av_rescale_q(pts, decoder->stream()->time_base, AVRational{1, inRate});
  if (nextInputSample != INT64_MIN) {
    const std::int64_t gap = at - nextInputSample;
    if (static_cast<double>(gap) > kGapFraction * std::max(frame->nb_samples, 1)) silenceLeft = gap;
  }
  nextInputSample = at + frame->nb_samples;
}

int PcmReader::Impl::setUpResampler() {
  AVChannelLayout outLayout;
  av_channel_layout_default(&outLayout, settings.channels);
  AVChannelLayout inLayout;
  if (frame->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC) {
    av_channel_layout_default(&inLayout, frame->ch_layout.nb_channels);
  } else {
    av_channel_layout_copy(&inLayout, &frame->ch_layout);
  }
  SwrContext* raw = nullptr;
  int rc = swr_alloc_set_opts2(&raw, &outLayout, outFormat, settings.sampleRate, &inLayout,
                               static_cast<AVSampleFormat>(frame->format), frame->sample_rate, 0, nullptr);
  // A mono source plays at full level on every output channel, as a mono
  // microphone does on headphones, instead of the -3 dB centre downmix rule.
  if (rc >= 0 && inLayout.nb_channels == 1) {
    const std::vector<double> ones(static_cast<size_t>(settings.channels), 1.0);
    rc = swr_set_matrix(raw, ones.data(), 1);
  }
  if (rc >= 0) rc = swr_init(raw);
  swr.reset(raw);
  if (rc >= 0) {
    silence = ff::allocFrame();
    silence->format = frame->format;
    silence->nb_samples = kSilenceBlock;
    rc = av_channel_layout_copy(&silence->ch_layout, &inLayout);
    if (rc >= 0) rc = av_frame_get_buffer(silence.get(), 0);
    if (rc >= 0) {
      rc = av_samples_set_silence(silence->extended_data, 0, kSilenceBlock, inLayout.nb_channels,
                                  static_cast<AVSampleFormat>(frame->format));
    }
  }
  av_channel_layout_uninit(&inLayout);
  av_channel_layout_uninit(&outLayout);
  inRate = frame->sample_rate;
  inChannels = frame->ch_layout.nb_channels;
  inFormat = frame->format;
  return rc;
}

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
      // A frame decoded without the one before it fades in over its first half,
      // so start a little earlier and drop what precedes the range.
      const AVCodecParameters* par = m.decoder->stream()->codecpar;
      const int frameSize = par->frame_size > 0 ? par->frame_size : kDefaultFrameSize;
      const int rate = par->sample_rate > 0 ? par->sample_rate : settings.sampleRate;
      const std::int64_t preRoll = std::max<std::int64_t>(std::int64_t{kPreRollFrames} * frameSize, par->seek_preroll);
      const AVRational tb = m.decoder->stream()->time_base;
      const std::int64_t start = ff::toStreamTime(range->start, tb);
      const std::int64_t trackStart = ff::toStreamTime(track->timeRange.start, tb);
      m.decoder->seek(std::max(trackStart, start - av_rescale_q(preRoll, AVRational{1, rate}, tb)));
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
    if (!m.frameHeld && m.silenceLeft == 0 && !m.flushed) {
      bool got = false;
      try {
        got = m.decoder->nextFrame(m.frame.get());
      } catch (const MediaError& e) {
        fail(e);
      }
      if (!got) {
        m.flushed = true;
        if (!m.swr) {
          finish(ReaderStatus::completed);
          break;
        }
      } else if (!m.swr) {
        const int rc = m.setUpResampler();
        if (rc < 0) fail(makeFfmpegError(MediaErrorCode::decodeFailed, m.asset->path(), rc));
        const std::int64_t pts = m.frame->best_effort_timestamp;
        const MediaTime t = ff::fromStreamTime(pts == AV_NOPTS_VALUE ? 0 : pts, m.decoder->stream()->time_base);
        m.position = t.convertScale(m.settings.sampleRate).value;
        m.accountForGap();
        m.frameHeld = true;
      } else if (m.frame->sample_rate != m.inRate || m.frame->ch_layout.nb_channels != m.inChannels ||
                 m.frame->format != m.inFormat) {
        // Not the stream's format: a damaged packet that decoded as something
        // else. Its time becomes silence through the gap before the next frame.
        av_frame_unref(m.frame.get());
        continue;
      } else {
        m.accountForGap();
        m.frameHeld = true;
      }
    }

    // What goes into the resampler now: owed silence, the held frame, or
    // nothing (draining it at the end).
    const std::uint8_t* const* input = nullptr;
    int inSamples = 0;
    bool usedFrame = false;
    if (m.silenceLeft > 0) {
      inSamples = static_cast<int>(std::min<std::int64_t>(m.silenceLeft, kSilenceBlock));
      input = m.silence->extended_data;
      m.silenceLeft -= inSamples;
    } else if (m.frameHeld) {
      inSamples = m.frame->nb_samples;
      input = m.frame->extended_data;
      usedFrame = true;
    }
    const int capacity = swr_get_out_samples(m.swr.get(), inSamples) + 32;
    const int planes = m.settings.interleaved ? 1 : m.settings.channels;
    const int planeBytes = capacity * m.bytesPerSample * (m.settings.interleaved ? m.settings.channels : 1);
    PcmBuffer out;
    out.planes.assign(static_cast<size_t>(planes), std::vector<std::uint8_t>(static_cast<size_t>(planeBytes)));
    std::vector<std::uint8_t*> ptrs;
    for (auto& p : out.planes) ptrs.push_back(p.data());
    const int produced =
        swr_convert(m.swr.get(), ptrs.data(), capacity, const_cast<const std::uint8_t**>(input), inSamples);
    if (usedFrame) {
      av_frame_unref(m.frame.get());
      m.frameHeld = false;
    }
    if (produced < 0) fail(makeFfmpegError(MediaErrorCode::decodeFailed, m.asset->path(), produced));
    if (produced == 0) {
      if (m.flushed && !m.frameHeld && m.silenceLeft == 0 && input == nullptr) {
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
