#include "encode/thumbnail.h"

extern "C" {
#include <libavutil/log.h>
}

#include <cmath>
#include <cstdarg>
#include <cstring>

#include "vantrel/graphics/image_file.h"
#include "vantrel/graphics/pixel_buffer.h"
#include "vantrel/media/asset.h"
#include "vantrel/media/errors.h"
#include "vantrel/media/still_frame.h"

namespace vantrel::exporter {

namespace {

// Thumbnail mode owns standard error and writes exactly one line there; the
// reason FFmpeg would log on its own is already in the error's text.
void discardLibraryLog(void*, int, const char*, va_list) {}

}  // namespace

ThumbnailExtractorError makeThumbnailError(ThumbnailExtractorErrorCode code, std::string payload) {
  std::string text;
  switch (code) {
    case ThumbnailExtractorErrorCode::loadDurationFailed: text = "Failed to load asset duration: " + payload; break;
    case ThumbnailExtractorErrorCode::imageGenerationFailed:
      text = "Failed to generate thumbnail frame: " + payload;
      break;
    case ThumbnailExtractorErrorCode::destinationCreateFailed: text = "CGImageDestinationCreateWithURL returned nil"; break;
    case ThumbnailExtractorErrorCode::jpegEncodeFailed: text = "CGImageDestinationFinalize failed"; break;
  }
  return ThumbnailExtractorError(code, std::move(payload), std::move(text));
}

double ThumbnailExtractor::frameTime(double d) {
  double b = d * 0.1;
  if (b <= 1) b = 1;
  if (b > 5) b = 5;
  double c = d - 0.05;
  if (!(c >= 0)) c = 0;
  return c < b ? c : b;
}

void ThumbnailExtractor::extract(const std::string& sourcePath, const std::string& outputPath) {
  av_log_set_callback(discardLibraryLog);

  media::AssetRef asset;
  try {
    asset = media::Asset::open(sourcePath);
  } catch (const media::MediaError& e) {
    throw makeThumbnailError(ThumbnailExtractorErrorCode::loadDurationFailed, e.text());
  }
  const double t = frameTime(asset->duration().seconds());

  media::StillFrame still;
  try {
    media::StillFrameOptions options;
    options.maximumSize = media::Size{kMaximumSide, kMaximumSide};
    options.appliesPreferredTrackTransform = true;
    still = media::copyStillFrame(asset, media::MediaTime::fromSeconds(t, 600), options);
  } catch (const media::MediaError& e) {
    throw makeThumbnailError(ThumbnailExtractorErrorCode::imageGenerationFailed, e.text());
  }

  // The media and drawing layers share the premultiplied BGRA layout but not a
  // buffer type; rows are copied because their strides may differ.
  const media::PixelBuffer& frame = *still.image;
  graphics::PixelBuffer picture(frame.width(), frame.height(), graphics::PixelFormat::bgra8);
  for (int y = 0; y < frame.height(); ++y) {
    std::memcpy(picture.row(y), frame.row(y), static_cast<size_t>(frame.width()) * 4);
  }
  try {
    graphics::writeJpeg(picture, outputPath, kJpegQuality);
  } catch (const graphics::ImageFileError& e) {
    throw makeThumbnailError(e.code() == graphics::ImageFileErrorCode::openFailed
                                 ? ThumbnailExtractorErrorCode::destinationCreateFailed
                                 : ThumbnailExtractorErrorCode::jpegEncodeFailed,
                             e.text());
  }
}

}  // namespace vantrel::exporter
