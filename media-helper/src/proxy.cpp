#include "vantrel/mediahelper/proxy.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <thread>

#include "vantrel/media/asset.h"
#include "vantrel/media/composition.h"
#include "vantrel/media/video_composition_reader.h"
#include "vantrel/media/writer.h"
#include "vantrel/mediahelper/errors.h"
#include "vantrel/mediahelper/file_ops.h"

namespace vantrel::mediahelper {

namespace {

constexpr std::int64_t kMinBitRate = 2'000'000;
constexpr std::int64_t kMaxBitRate = 8'000'000;

MediaHelperError exportFailed(const std::string& text) {
  return makeError(MediaHelperErrorCode::exportFailed, text);
}

std::string orDefault(const std::string& text, const char* fallback) { return text.empty() ? fallback : text; }

}  // namespace

int evenDimension(double x) {
  const double r = std::round(x);
  if (!(r >= 3)) return 2;
  const long long v = static_cast<long long>(std::min(r, static_cast<double>(INT_MAX)));
  return static_cast<int>(v & ~1LL);
}

ProxyGeometry proxyGeometry(double w, double h, long long maxLongEdge) {
  const double scale = std::min(static_cast<double>(maxLongEdge) / std::max(w, h), 1.0);
  return ProxyGeometry{evenDimension(w * scale), evenDimension(h * scale)};
}

std::int64_t proxyBitRate(int width, int height, long long maxFps) {
  const double bits = static_cast<double>(width) * height * static_cast<double>(maxFps) * 0.08;
  if (!(bits < static_cast<double>(kMaxBitRate))) return kMaxBitRate;
  return std::max(static_cast<std::int64_t>(bits), kMinBitRate);
}

int proxyKeyFrameIntervalFrames(double keyframeIntervalSeconds, long long maxFps) {
  const double frames = std::ceil(keyframeIntervalSeconds * static_cast<double>(maxFps));
  if (!(frames >= 1)) return 1;
  return static_cast<int>(std::min(frames, static_cast<double>(INT_MAX)));
}

double proxyDurationTolerance(long long maxFps) { return std::max(2.0 / static_cast<double>(maxFps), 0.05); }

void createProxy(const std::string& inputPath, const std::string& outputPath, long long maxLongEdge,
                 long long maxFps, double keyframeIntervalSeconds, const ProgressSink& progress) {
  // The host never sends these; refusing them keeps the frame duration and the
  // encoder settings meaningful.
  if (maxFps < 1 || maxFps > INT_MAX) throw exportFailed("The frame rate must be a positive whole number");
  if (!std::isfinite(keyframeIntervalSeconds)) throw exportFailed("The key-frame interval is not a number");

  auto asset = media::Asset::open(inputPath);
  const auto videoTracks = asset->tracks(media::MediaType::video);
  if (videoTracks.empty()) throw makeError(MediaHelperErrorCode::noVideoTrack);
  const media::TrackInfo& track = *videoTracks.front();

  const media::Size display = media::applyTransformToSize(track.preferredTransform, track.naturalSize);
  if (!(display.width > 0) || !(display.height > 0)) throw exportFailed("The source dimensions are invalid");
  const ProxyGeometry size = proxyGeometry(display.width, display.height, maxLongEdge);
  const int fps = static_cast<int>(maxFps);

  // The default compositor turns the frame upright and stretches it over the
  // whole render size, which is exactly the proxy's picture.
  media::Composition composition;
  composition.addTrack(media::MediaType::video)
      .insertTimeRange(track.timeRange, asset, track.trackId, media::MediaTime::zero());
  media::VideoCompositionSettings compositionSettings;
  compositionSettings.renderWidth = size.width;
  compositionSettings.renderHeight = size.height;
  compositionSettings.frameDuration = media::MediaTime(1, fps);
  media::VideoCompositionReader reader(std::move(composition), compositionSettings);

  createParentDirectory(outputPath);
  removeQuietly(outputPath);

  media::WriterOptions writerOptions;
  writerOptions.optimizeForNetworkUse = true;
  media::Writer writer(outputPath, writerOptions);
  media::H264Settings h264;
  h264.width = size.width;
  h264.height = size.height;
  h264.averageBitRate = proxyBitRate(size.width, size.height, maxFps);
  h264.expectedFrameRate = static_cast<double>(fps);
  h264.mediaTimescale = fps;
  h264.maxKeyFrameInterval = proxyKeyFrameIntervalFrames(keyframeIntervalSeconds, maxFps);
  h264.allowFrameReordering = false;
  media::WriterInput* input = nullptr;
  try {
    input = writer.addVideoInput(h264);
  } catch (const media::MediaError&) {
    throw makeError(MediaHelperErrorCode::cannotCreateExporter);
  }

  try {
    reader.startReading();
    writer.startWriting();
  } catch (const media::MediaError& e) {
    throw exportFailed(orDefault(e.text(), "Unable to start proxy conversion"));
  }
  writer.startSession(media::MediaTime::zero());

  const double sourceDuration = std::max(track.timeRange.duration.seconds(), 0.0);
  progress("transcoding", 0);
  double threshold = 0.05;
  bool readerFailedWithError = false;
  std::string readerError;
  while (reader.status() == media::ReaderStatus::reading) {
    if (!input->isReadyForMoreMediaData()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      continue;
    }
    std::optional<media::VideoFrame> frame;
    try {
      frame = reader.copyNextFrame();
    } catch (const media::MediaError& e) {
      readerFailedWithError = true;
      readerError = e.text();
      break;
    }
    if (!frame) break;
    if (!input->appendPixelBuffer(frame->bgra, frame->presentationTime)) {
      reader.cancelReading();
      throw exportFailed(orDefault(writer.errorText(), "Unable to write proxy frame"));
    }
    if (sourceDuration > 0) {
      const double fraction = frame->presentationTime.seconds() / sourceDuration;
      if (fraction >= threshold) {
        progress("transcoding", fraction);
        threshold += 0.05;
      }
    }
  }

  if (readerFailedWithError || reader.status() != media::ReaderStatus::completed) {
    writer.cancelWriting();
    removeQuietly(outputPath);
    if (readerError.empty()) readerError = reader.errorText();
    throw makeError(MediaHelperErrorCode::readerFailed, orDefault(readerError, "Proxy reader failed"));
  }
  input->markAsFinished();
  writer.finishWriting().wait();
  if (writer.status() != media::WriterStatus::completed) {
    removeQuietly(outputPath);
    throw exportFailed(orDefault(writer.errorText(), "Proxy writer failed"));
  }

  std::shared_ptr<const media::Asset> result;
  try {
    result = media::Asset::open(outputPath);
  } catch (const media::MediaError&) {
    // An output that cannot be opened has no readable video track either.
  }
  const auto resultTracks = result ? result->tracks(media::MediaType::video) : std::vector<const media::TrackInfo*>{};
  if (resultTracks.empty()) {
    removeQuietly(outputPath);
    throw exportFailed("Proxy output does not contain a readable video track");
  }
  const double proxyDuration = resultTracks.front()->timeRange.duration.seconds();
  if (!std::isfinite(proxyDuration) ||
      std::fabs(proxyDuration - sourceDuration) > proxyDurationTolerance(maxFps)) {
    removeQuietly(outputPath);
    throw exportFailed("Proxy duration differs from the original by more than one output frame");
  }
  progress("complete", 1);
}

}  // namespace vantrel::mediahelper
