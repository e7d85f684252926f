// Frame extraction needs the media layer; until it is linked in, the mode
// reports that plainly instead of writing a placeholder picture.

#include <stdexcept>

#include "encode/thumbnail.h"

namespace vantrel::exporter {

void ThumbnailExtractor::extract(const std::string&, const std::string&) {
  throw std::runtime_error("thumbnail extraction is not available in this build");
}

}  // namespace vantrel::exporter
