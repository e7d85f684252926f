#pragma once
// The thumbnail mode's work: one JPEG of a representative frame of a video,
// upright, fitted into 960 x 960, quality 0.8. Stateless; any thread.

#include <string>

#include "vantrel/common/error.h"

namespace vantrel::exporter {

enum class ThumbnailExtractorErrorCode {
  loadDurationFailed,       // payload: the media layer's text (file and FFmpeg's reason)
  imageGenerationFailed,    // payload: the media layer's text
  destinationCreateFailed,  // the JPEG file cannot be created
  jpegEncodeFailed,         // encoding or writing the JPEG failed
};

using ThumbnailExtractorError = CodedError<ThumbnailExtractorErrorCode>;

ThumbnailExtractorError makeThumbnailError(ThumbnailExtractorErrorCode code, std::string payload = {});

class ThumbnailExtractor {
 public:
  inline static constexpr int kMaximumSide = 960;
  inline static constexpr double kJpegQuality = 0.8;

  // Seconds into a video of `durationSeconds` that the thumbnail shows: 10 %
  // of the way in, but within [1 s, 5 s], and never later than 0.05 s before
  // the end nor before 0.
  static double frameTime(double durationSeconds);

  // Writes the JPEG at `outputPath` (replacing any file there). Throws
  // ThumbnailExtractorError, whose text is reported after
  // "Thumbnail extraction failed: ". A failure before the JPEG is written
  // leaves the output path untouched.
  static void extract(const std::string& sourcePath, const std::string& outputPath);
};

}  // namespace vantrel::exporter
