#include "vantrel/media/export_session.h"

#include "ffmpeg_util.h"

extern "C" {
#include <libavutil/pixdesc.h>
}
#include "vantrel/media/video_composition_reader.h"
#include "vantrel/media/writer.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>

namespace vantrel::media {

std::vector<std::string> allExportPresets() { return {kExportPresetPassthrough, kExportPresetHighestQuality}; }

namespace {

const FormatDescription* formatOf(const CompositionSegment& s) {
  if (s.isEmpty()) return nullptr;
  const TrackInfo* t = s.asset->track(s.sourceTrackId);
  return t != nullptr && !t->formatDescriptions.empty() ? &t->formatDescriptions.front() : nullptr;
}

bool sameStream(const FormatDescription& a, const FormatDescription& b) {
  const AVCodecParameters* x = a.parameters->par;
  const AVCodecParameters* y = b.parameters->par;
  return x->codec_id == y->codec_id && x->width == y->width && x->height == y->height &&
         x->sample_rate == y->sample_rate && x->extradata_size == y->extradata_size &&
         (x->extradata_size == 0 || std::memcmp(x->extradata, y->extradata, static_cast<size_t>(x->extradata_size)) == 0);
}

bool isSyncTime(const TrackInfo& t, MediaTime time) {
  const MediaTime tolerance(1, 1000);
  if (time <= t.timeRange.start + tolerance) return true;
  return std::any_of(t.keyFrameTimes.begin(), t.keyFrameTimes.end(), [&](MediaTime k) {
    const MediaTime d = k > time ? k - time : time - k;
    return d <= tolerance;
  });
}

// The timeline rounds each edit's start and length to its own timescale, so an
// edit meant to run to the track's end may stop up to a tick short of it; no
// frame can start in that sliver, so nothing is cut off there.
bool reachesTrackEnd(const TrackInfo& t, MediaTime end) {
  return end + MediaTime(1, end.timescale) >= t.timeRange.end();
}

// Video that players decode everywhere (browsers, phones, hardware decoders):
// 4:2:0 pictures, 8-bit for H.264 (High 10 and the 4:2:2/4:4:4 profiles play
// almost nowhere), 8- or 10-bit for HEVC (Main and Main 10). Anything else is
// re-encoded rather than copied into a file that will not play.
bool playsEverywhere(const FormatDescription& f) {
  if (f.mediaType != MediaType::video) return true;
  const AVCodecParameters* par = f.parameters->par;
  const auto format = static_cast<AVPixelFormat>(par->format);
  if (format == AV_PIX_FMT_NONE) return true;  // not known: nothing to hold against it
  const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(format);
  if (d == nullptr || (d->flags & AV_PIX_FMT_FLAG_RGB) || d->log2_chroma_w != 1 || d->log2_chroma_h != 1) return false;
  const int depth = d->comp[0].depth;
  if (par->codec_id == AV_CODEC_ID_H264) return depth == 8;
  if (par->codec_id == AV_CODEC_ID_HEVC) return depth == 8 || depth == 10;
  return true;
}

bool canCopy(const CompositionTrack& track) {
  const FormatDescription* first = nullptr;
  for (const auto& s : track.segments()) {
    const FormatDescription* f = formatOf(s);
    if (f == nullptr || s.isScaled() || !Writer::canAddPassThroughInput(*f) || !playsEverywhere(*f)) return false;
    if (first == nullptr) first = f;
    if (!sameStream(*first, *f)) return false;
    if (track.mediaType() == MediaType::video) {
      const TrackInfo& info = *s.asset->track(s.sourceTrackId);
      if (!isSyncTime(info, s.source.start)) return false;
      if (info.reordersFrames && !reachesTrackEnd(info, s.source.end()) && !isSyncTime(info, s.source.end())) {
        return false;
      }
    }
  }
  return first != nullptr;
}

}  // namespace

bool isExportPresetCompatible(const std::string& preset, const Composition& composition) {
  const auto& tracks = composition.allTracks();
  const bool hasMedia = std::any_of(tracks.begin(), tracks.end(), [](const CompositionTrack& t) {
    return t.mediaType() != MediaType::other && !t.segments().empty();
  });
  if (preset == kExportPresetHighestQuality) return hasMedia;
  if (preset != kExportPresetPassthrough || !hasMedia) return false;
  for (const auto& t : tracks) {
    if (!t.segments().empty() && !canCopy(t)) return false;
  }
  return true;
}

std::vector<std::string> exportPresetsCompatibleWith(const Composition& composition) {
  std::vector<std::string> out;
  for (const auto& p : allExportPresets()) {
    if (isExportPresetCompatible(p, composition)) out.push_back(p);
  }
  return out;
}

struct ExportSession::Impl {
  Composition composition;
  std::string preset;
  ExportOptions options;
  std::atomic<ExportStatus> status{ExportStatus::waiting};
  std::atomic<bool> cancelled{false};
  mutable std::mutex mutex;
  std::string error;
  std::vector<std::unique_ptr<std::atomic<double>>> pumpProgress;
  std::thread thread;
  std::shared_future<void> done;

  std::atomic<double>* addProgress() {
    std::lock_guard lock(mutex);
    pumpProgress.push_back(std::make_unique<std::atomic<double>>(0.0));
    return pumpProgress.back().get();
  }

  void setError(const std::string& text) {
    std::lock_guard lock(mutex);
    if (error.empty()) error = text;
  }

  // Waits for readiness like a polling client (2 ms), or for cancellation.
  bool waitReady(WriterInput& input) {
    while (!input.isReadyForMoreMediaData()) {
      if (cancelled.load()) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return !cancelled.load();
  }

  void copyTrack(const CompositionTrack& track, WriterInput& input, std::atomic<double>& progress) {
    const double total = std::max(1e-9, track.duration().seconds());
    for (const auto& s : track.segments()) {
      PacketReader reader(s.asset, s.sourceTrackId, s.source);
      const MediaTime offset = s.target.start - s.source.start;
      const bool video = track.mediaType() == MediaType::video;
      // An edit from the very start keeps the encoder's priming packets (they
      // sit before time zero and the muxer hides them again with an edit list).
      const bool fromTrackStart = s.source.start <= s.asset->track(s.sourceTrackId)->timeRange.start;
      while (auto p = reader.next()) {
        if (cancelled.load()) return;
        const MediaTime half = p->duration.isValid() ? multiplyByRatio(p->duration, 1, 2) : MediaTime::zero();
        // Audio packets straddling a cut go to the side holding most of them.
        if (!video && !fromTrackStart && p->presentationTime + half < s.source.start) continue;
        if (p->presentationTime >= s.source.end()) continue;
        if (video && p->presentationTime < s.source.start) continue;
        p->presentationTime = p->presentationTime + offset;
        if (p->decodeTime.isValid()) p->decodeTime = p->decodeTime + offset;
        if (!waitReady(input) || !input.appendPacket(*p)) return;
        progress.store(std::clamp((p->presentationTime.seconds()) / total, 0.0, 1.0));
      }
    }
    progress.store(1.0);
  }

  void encodeVideo(WriterInput& input, const VideoCompositionSettings& settings, std::atomic<double>& progress) {
    VideoCompositionReader reader(composition, settings);
    reader.startReading();
    const double total = std::max(1e-9, composition.duration().seconds());
    while (auto f = reader.copyNextFrame()) {
      if (!waitReady(input) || !input.appendPixelBuffer(f->bgra, f->presentationTime)) {
        reader.cancelReading();
        return;
      }
      progress.store(std::clamp((f->presentationTime + f->duration).seconds() / total, 0.0, 1.0));
    }
  }

  void encodeAudio(WriterInput& input, int rate, int channels, std::atomic<double>& progress) {
    AudioMixReader reader(composition, options.audioMix.value_or(AudioMix{}), rate, channels);
    const double total = std::max(1e-9, composition.duration().seconds());
    while (auto b = reader.next()) {
      if (!waitReady(input) || !input.appendPcm(*b)) return;
      progress.store(std::clamp(b->presentationTime.seconds() / total, 0.0, 1.0));
    }
    progress.store(1.0);
  }

  void run();
};

void ExportSession::Impl::run() {
  status.store(ExportStatus::exporting);
  Writer writer(options.outputPath, WriterOptions{options.optimizeForNetworkUse, 3, 16});
  std::vector<std::function<void()>> pumps;
  std::vector<WriterInput*> inputs;
  try {
    if (!isExportPresetCompatible(preset, composition)) {
      throw makeMediaError(MediaErrorCode::unsupported, preset + " cannot export this composition");
    }
    if (preset == kExportPresetPassthrough) {
      for (const auto& t : composition.allTracks()) {
        if (t.segments().empty() || t.mediaType() == MediaType::other) continue;
        const FormatDescription* f = nullptr;
        AffineTransform transform;
        for (const auto& s : t.segments()) {
          if (f) break;
          f = formatOf(s);
          transform = s.asset->track(s.sourceTrackId)->preferredTransform;
        }
        WriterInput* in = writer.addPassThroughInput(*f, transform);
        auto* progress = addProgress();
        const CompositionTrack* track = &t;
        pumps.push_back([this, track, in, progress] { copyTrack(*track, *in, *progress); });
        inputs.push_back(in);
      }
    } else {
      const auto videoTracks = composition.tracks(MediaType::video);
      if (!videoTracks.empty() && !videoTracks[0]->segments().empty()) {
        const CompositionTrack& vt = *videoTracks[0];
        const TrackInfo* info = nullptr;
        for (const auto& s : vt.segments()) {
          if (s.isEmpty()) continue;
          const TrackInfo* t = s.asset->track(s.sourceTrackId);
          // Refused here with the reader's own reason, before an encoder is
          // set up for a picture no decoder here will ever deliver.
          ff::checkPictureSize(s.asset->path(), static_cast<int>(t->naturalSize.width),
                               static_cast<int>(t->naturalSize.height));
          if (!info) info = t;
        }
        Size size = info ? info->displaySize : Size{1280, 720};
        const int w = std::max(2, static_cast<int>(std::lround(size.width)) & ~1);
        const int h = std::max(2, static_cast<int>(std::lround(size.height)) & ~1);
        int fps = info && info->nominalFrameRate > 0 ? static_cast<int>(std::lround(info->nominalFrameRate)) : 30;
        fps = std::clamp(fps, 1, 120);
        H264Settings hs;
        hs.width = w;
        hs.height = h;
        hs.expectedFrameRate = fps;
        hs.maxKeyFrameInterval = 2 * fps;
        hs.averageBitRate = std::clamp<std::int64_t>(static_cast<std::int64_t>(0.15 * w * h * fps), 2'000'000, 60'000'000);
        WriterInput* in = writer.addVideoInput(hs);
        auto* progress = addProgress();
        const VideoCompositionSettings vs{w, h, MediaTime(1, fps), 3};
        pumps.push_back([this, in, vs, progress] { encodeVideo(*in, vs, *progress); });
        inputs.push_back(in);
      }
      const auto audioTracks = composition.tracks(MediaType::audio);
      if (!audioTracks.empty()) {
        int rate = 48000, channels = 2;
        for (const auto& s : audioTracks[0]->segments()) {
          if (const FormatDescription* f = formatOf(s)) {
            rate = f->sampleRate == 44100 ? 44100 : 48000;
            channels = std::clamp(f->channelCount, 1, 2);
            break;
          }
        }
        WriterInput* in = writer.addAudioInput(AacSettings{rate, channels, 192000});
        auto* progress = addProgress();
        pumps.push_back([this, in, rate, channels, progress] { encodeAudio(*in, rate, channels, *progress); });
        inputs.push_back(in);
      }
    }
    writer.startWriting();
    writer.startSession(MediaTime::zero());
  } catch (const MediaError& e) {
    setError(e.text());
    writer.cancelWriting();
    status.store(ExportStatus::failed);
    return;
  }

  std::vector<std::thread> threads;
  for (size_t i = 0; i < pumps.size(); ++i) {
    threads.emplace_back([&, i] {
      try {
        pumps[i]();
      } catch (const MediaError& e) {
        setError(e.text());
        cancelled.store(true);
      }
      inputs[i]->markAsFinished();
    });
  }
  for (auto& t : threads) t.join();
  bool failed;
  {
    std::lock_guard lock(mutex);
    failed = !error.empty();
  }
  if (failed || cancelled.load()) {
    writer.cancelWriting();
    status.store(failed ? ExportStatus::failed : ExportStatus::cancelled);
    if (!failed) setError("export was cancelled");
    return;
  }
  writer.finishWriting().wait();
  if (writer.status() != WriterStatus::completed) {
    setError(writer.errorText());
    status.store(ExportStatus::failed);
    return;
  }
  status.store(ExportStatus::completed);
}

ExportSession::ExportSession(Composition composition, std::string presetName, ExportOptions options)
    : impl_(std::make_shared<Impl>()) {
  const auto presets = allExportPresets();
  if (std::find(presets.begin(), presets.end(), presetName) == presets.end()) {
    throw makeMediaError(MediaErrorCode::invalidArgument, "unknown export preset " + presetName);
  }
  impl_->composition = std::move(composition);
  impl_->preset = std::move(presetName);
  impl_->options = std::move(options);
}

ExportSession::~ExportSession() {
  impl_->cancelled.store(true);
  if (impl_->thread.joinable()) impl_->thread.join();
}

std::future<void> ExportSession::exportAsynchronously() {
  if (impl_->thread.joinable()) throw makeMediaError(MediaErrorCode::invalidState, "export already started");
  auto task = std::make_shared<std::packaged_task<void()>>([impl = impl_.get()] { impl->run(); });
  impl_->done = task->get_future().share();
  impl_->thread = std::thread([task] { (*task)(); });
  return std::async(std::launch::deferred, [f = impl_->done] { f.wait(); });
}

double ExportSession::progress() const {
  if (impl_->status.load() == ExportStatus::completed) return 1.0;
  std::lock_guard lock(impl_->mutex);
  if (impl_->pumpProgress.empty()) return 0.0;
  double sum = 0;
  for (const auto& p : impl_->pumpProgress) sum += p->load();
  return sum / static_cast<double>(impl_->pumpProgress.size());
}

ExportStatus ExportSession::status() const { return impl_->status.load(); }

std::string ExportSession::errorText() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->error;
}

void ExportSession::cancelExport() { impl_->cancelled.store(true); }

}  // namespace vantrel::media
