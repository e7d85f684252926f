#pragma once
// Editing proxies: small, upright, video-only H.264 MPEG-4 copies with a fixed
// frame rate, frequent key frames and a modest bit rate, verified to be as long
// as their source.

#include <cstdint>
#include <string>

#include "vantrel/mediahelper/progress.h"

namespace vantrel::mediahelper {

// Round half away from zero; below 3 gives 2; otherwise the largest even
// number not above it.
int evenDimension(double x);

struct ProxyGeometry {
  int width = 0, height = 0;
};
// Upright display size (w, h) fitted so the long edge is at most maxLongEdge,
// never enlarged, both sides even.
ProxyGeometry proxyGeometry(double displayWidth, double displayHeight, long long maxLongEdge);

// W x H x fps x 0.08 bits per second, truncated, clamped to [2 Mb/s, 8 Mb/s].
std::int64_t proxyBitRate(int width, int height, long long maxFps);
// max(ceil(seconds x fps), 1) frames.
int proxyKeyFrameIntervalFrames(double keyframeIntervalSeconds, long long maxFps);
// max(2 / fps, 0.05) seconds.
double proxyDurationTolerance(long long maxFps);

// Transcodes the first video track. Reports ("transcoding", f) at most once per
// 5 % of the duration and ("complete", 1) at the end. Throws MediaHelperError
// (noVideoTrack, exportFailed, readerFailed, cannotCreateExporter), MediaError
// or std::system_error. maxFps below 1 or a non-finite key-frame interval fails
// with exportFailed before anything is written. Runs on the calling thread
// (decoding and encoding use threads of their own).
void createProxy(const std::string& inputPath, const std::string& outputPath, long long maxLongEdge,
                 long long maxFps, double keyframeIntervalSeconds, const ProgressSink& progress = writeProgress);

}  // namespace vantrel::mediahelper
