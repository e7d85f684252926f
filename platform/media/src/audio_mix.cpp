#include "vantrel/media/audio_mix.h"

#include <rubberband/RubberBandStretcher.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace vantrel::media {

void AudioMixInputParameters::setVolume(float volume, MediaTime at) {
  const double t = at.seconds();
  const Entry e{t, t, volume, volume};
  entries_.insert(std::upper_bound(entries_.begin(), entries_.end(), t,
                                   [](double v, const Entry& x) { return v < x.start; }),
                  e);
}

void AudioMixInputParameters::setVolumeRamp(float startVolume, float endVolume, const TimeRange& range) {
  const Entry e{range.start.seconds(), range.end().seconds(), startVolume, endVolume};
  entries_.insert(std::upper_bound(entries_.begin(), entries_.end(), e.start,
                                   [](double v, const Entry& x) { return v < x.start; }),
                  e);
}

float AudioMixInputParameters::volumeAt(double t) const {
  auto it = std::upper_bound(entries_.begin(), entries_.end(), t, [](double v, const Entry& x) { return v < x.start; });
  if (it == entries_.begin()) return 1.0f;
  const Entry& e = *std::prev(it);
  if (t >= e.end || e.end <= e.start) return e.to;
  const double f = (t - e.start) / (e.end - e.start);
  return static_cast<float>(e.from + (e.to - e.from) * f);
}

namespace {

using RubberBand::RubberBandStretcher;

// Produces one composition track's samples in output order.
class TrackRenderer {
 public:
  TrackRenderer(const CompositionTrack& track, const AudioMixInputParameters* params, int rate, int channels)
      : track_(track), params_(params), rate_(rate), channels_(channels) {}

  // Adds samples [pos, pos + n) of this track, with its volume, into `acc`.
  void renderInto(float* acc, std::int64_t pos, int n) {
    int i = 0;
    while (i < n) {
      const std::int64_t p = pos + i;
      if (!seekSegment(p)) return;
      const int k = static_cast<int>(std::min<std::int64_t>(segEnd_ - p, n - i));
      if (!track_.segments()[seg_].isEmpty()) {
        pull(k);
        const float* src = pending_.data() + pendingPos_ * channels_;
        for (int j = 0; j < k; ++j) {
          const float g = params_ ? params_->volumeAt(static_cast<double>(p + j) / rate_) : 1.0f;
          for (int c = 0; c < channels_; ++c) acc[(i + j) * channels_ + c] += g * src[j * channels_ + c];
        }
        pendingPos_ += static_cast<size_t>(k);
      }
      i += k;
    }
  }

 private:
  std::int64_t sampleOf(MediaTime t) const { return t.convertScale(rate_).value; }

  // Makes the segment holding output sample `p` current; false past the track.
  bool seekSegment(std::int64_t p) {
    const auto& segs = track_.segments();
    if (opened_ && p >= segStart_ && p < segEnd_) return true;
    while (seg_ < segs.size() && sampleOf(segs[seg_].target.end()) <= p) {
      ++seg_;
      opened_ = false;
    }
    if (seg_ >= segs.size()) return false;
    if (!opened_) open(segs[seg_]);
    return p >= segStart_;
  }

  void open(const CompositionSegment& s) {
    opened_ = true;
    segStart_ = sampleOf(s.target.start);
    segEnd_ = sampleOf(s.target.end());
    pending_.clear();
    pendingPos_ = 0;
    sourceNext_ = sampleOf(s.source.start);
    held_.reset();
    reader_.reset();
    stretcher_.reset();
    inputDone_ = false;
    if (s.isEmpty()) return;
    reader_ = std::make_unique<PcmReader>(s.asset, s.sourceTrackId, PcmSettings{rate_, channels_, 32, true, true},
                                          s.source);
    const std::int64_t inFrames = sampleOf(s.source.duration);
    const std::int64_t outFrames = segEnd_ - segStart_;
    if (inFrames > 0 && std::llabs(inFrames - outFrames) > 0) {
      const double ratio = static_cast<double>(outFrames) / static_cast<double>(inFrames);
      stretcher_ = std::make_unique<RubberBandStretcher>(
          static_cast<size_t>(rate_), static_cast<size_t>(channels_),
          RubberBandStretcher::OptionProcessRealTime | RubberBandStretcher::OptionEngineFaster, ratio, 1.0);
      stretcher_->setMaxProcessSize(kBlock);
      // Priming: feed the recommended padding and drop the matching output.
      const size_t pad = stretcher_->getPreferredStartPad();
      std::vector<float> zeros(std::max<size_t>(pad, 1), 0.0f);
      std::vector<const float*> ptrs(static_cast<size_t>(channels_), zeros.data());
      for (size_t done = 0; done < pad;) {
        const size_t n = std::min(pad - done, kBlock);
        stretcher_->process(ptrs.data(), n, false);
        done += n;
      }
      skipOut_ = stretcher_->getStartDelay();
    }
  }

  // Makes at least `k` samples available in pending_ from pendingPos_.
  void pull(int k) {
    if (pendingPos_ > 0 && pendingPos_ * 2 > pending_.size() / channels_) {
      pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(pendingPos_ * channels_));
      pendingPos_ = 0;
    }
    while (available() < static_cast<size_t>(k)) {
      if (!produce()) {
        pending_.resize((pendingPos_ + static_cast<size_t>(k)) * channels_, 0.0f);  // source ran short
        return;
      }
    }
  }
  size_t available() const { return pending_.size() / channels_ - pendingPos_; }

  // Appends more output samples; false when the segment's source is used up.
  bool produce() {
    if (!stretcher_) {
      if (!nextSource()) return false;
      pending_.insert(pending_.end(), source_.begin(), source_.end());
      return true;
    }
    while (true) {
      const int avail = stretcher_->available();
      if (avail > 0) {
        retrieve(static_cast<size_t>(avail));
        if (available() > 0) return true;
        continue;
      }
      if (avail < 0 || inputDone_) return false;  // -1: finished
      feed();
    }
  }

  // The next block of the segment's source in `source_`, laid on the source
  // timeline by each buffer's presentation time: sound that starts later than
  // where the previous block ended (a track that starts after its video, a
  // stretch the file has no sound for) is preceded by silence, and an overlap
  // is dropped. False when the source is used up.
  bool nextSource() {
    while (reader_) {
      if (!held_) {
        held_ = reader_->next();
        if (!held_) return false;
      }
      const std::int64_t count = held_->frameCount;
      const std::int64_t at = held_->presentationTime.isValid() ? sampleOf(held_->presentationTime) : sourceNext_;
      if (at > sourceNext_) {
        const std::int64_t n = std::min<std::int64_t>(at - sourceNext_, kSilenceBlock);
        source_.assign(static_cast<size_t>(n * channels_), 0.0f);
        sourceNext_ += n;
        return true;
      }
      const std::int64_t from = sourceNext_ - at;
      if (from >= count) {
        held_.reset();
        continue;
      }
      const auto* f = reinterpret_cast<const float*>(held_->planes[0].data());
      source_.assign(f + from * channels_, f + count * channels_);
      sourceNext_ += count - from;
      held_.reset();
      return true;
    }
    return false;
  }

  void feed() {
    if (!nextSource()) {
      std::vector<const float*> none(static_cast<size_t>(channels_), nullptr);
      stretcher_->process(none.data(), 0, true);
      inputDone_ = true;
      return;
    }
    const float* f = source_.data();
    const int frames = static_cast<int>(source_.size() / static_cast<size_t>(channels_));
    for (int off = 0; off < frames; off += static_cast<int>(kBlock)) {
      const int n = std::min<int>(static_cast<int>(kBlock), frames - off);
      planar_.assign(static_cast<size_t>(channels_), std::vector<float>(static_cast<size_t>(n)));
      std::vector<const float*> ptrs;
      for (int c = 0; c < channels_; ++c) {
        for (int i = 0; i < n; ++i) planar_[c][i] = f[(off + i) * channels_ + c];
        ptrs.push_back(planar_[c].data());
      }
      stretcher_->process(ptrs.data(), static_cast<size_t>(n), false);
    }
  }

  void retrieve(size_t n) {
    planar_.assign(static_cast<size_t>(channels_), std::vector<float>(n));
    std::vector<float*> ptrs;
    for (auto& p : planar_) ptrs.push_back(p.data());
    const size_t got = stretcher_->retrieve(ptrs.data(), n);
    size_t from = 0;
    if (skipOut_ > 0) {
      from = std::min(got, skipOut_);
      skipOut_ -= from;
    }
    for (size_t i = from; i < got; ++i) {
      for (int c = 0; c < channels_; ++c) pending_.push_back(planar_[c][i]);
    }
  }

  static constexpr size_t kBlock = 1024;
  static constexpr std::int64_t kSilenceBlock = 8192;
  const CompositionTrack& track_;
  const AudioMixInputParameters* params_;
  int rate_, channels_;
  size_t seg_ = 0;
  bool opened_ = false;
  std::int64_t segStart_ = 0, segEnd_ = 0;
  std::unique_ptr<PcmReader> reader_;
  std::optional<PcmBuffer> held_;  // read, waiting behind the silence before it
  std::int64_t sourceNext_ = 0;    // source sample the next block starts at
  std::vector<float> source_;      // the current block, interleaved
  std::unique_ptr<RubberBandStretcher> stretcher_;
  bool inputDone_ = false;
  size_t skipOut_ = 0;
  std::vector<float> pending_;  // interleaved
  size_t pendingPos_ = 0;       // frames already consumed
  std::vector<std::vector<float>> planar_;
};

}  // namespace

struct AudioMixReader::Impl {
  Composition composition;
  AudioMix mix;
  int rate, channels, block;
  std::int64_t position = 0, total = 0;
  std::vector<std::unique_ptr<TrackRenderer>> tracks;
};

AudioMixReader::AudioMixReader(Composition composition, AudioMix mix, int sampleRate, int channels,
                               int framesPerBuffer)
    : impl_(std::make_unique<Impl>()) {
  if (sampleRate <= 0 || channels <= 0 || channels > 8 || framesPerBuffer <= 0) {
    throw makeMediaError(MediaErrorCode::invalidArgument, "audio mix settings");
  }
  Impl& m = *impl_;
  m.composition = std::move(composition);
  m.mix = std::move(mix);
  m.rate = sampleRate;
  m.channels = channels;
  m.block = framesPerBuffer;
  m.total = m.composition.duration().convertScale(sampleRate).value;
  for (const CompositionTrack* t : m.composition.tracks(MediaType::audio)) {
    const AudioMixInputParameters* params = nullptr;
    for (const auto& p : m.mix.inputParameters) {
      if (p.trackId() == t->trackId()) params = &p;
    }
    m.tracks.push_back(std::make_unique<TrackRenderer>(*t, params, sampleRate, channels));
  }
}

AudioMixReader::~AudioMixReader() = default;

std::optional<PcmBuffer> AudioMixReader::next() {
  Impl& m = *impl_;
  if (status() != ReaderStatus::reading) return std::nullopt;
  if (cancelRequested()) {
    finish(ReaderStatus::cancelled);
    return std::nullopt;
  }
  const int n = static_cast<int>(std::min<std::int64_t>(m.block, m.total - m.position));
  if (n <= 0) {
    finish(ReaderStatus::completed);
    return std::nullopt;
  }
  PcmBuffer out;
  out.presentationTime = MediaTime(m.position, m.rate);
  out.frameCount = n;
  out.planes.assign(1, std::vector<std::uint8_t>(static_cast<size_t>(n) * m.channels * sizeof(float), 0));
  auto* acc = reinterpret_cast<float*>(out.planes[0].data());
  try {
    for (auto& t : m.tracks) t->renderInto(acc, m.position, n);
  } catch (const MediaError& e) {
    fail(e);
  }
  m.position += n;
  return out;
}

}  // namespace vantrel::media
