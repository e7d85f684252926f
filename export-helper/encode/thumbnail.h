#pragma once
// The thumbnail mode's work: one JPEG of a representative frame of a video.

#include <string>

namespace vantrel::exporter {

class ThumbnailExtractor {
 public:
  // Throws an error whose text is reported after "Thumbnail extraction failed: ".
  static void extract(const std::string& sourcePath, const std::string& outputPath);
};

}  // namespace vantrel::exporter
