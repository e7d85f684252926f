#include <cmath>
#include <filesystem>
#include <system_error>

#include "telemetry.h"
#include "vantrel/media/asset.h"
#include "vantrel/media/errors.h"

namespace vantrel::recorder {

std::vector<FileReport> finalizedSegmentTelemetry(const std::vector<std::string>& paths) {
  std::vector<FileReport> out;
  for (const auto& path : paths) {
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) continue;
    FileReport r;
    r.path = path;
    const auto size = std::filesystem::file_size(path, ec);
    r.bytes = ec ? 0 : static_cast<std::int64_t>(size);
    try {
      const auto asset = media::Asset::open(path);
      r.duration = std::max(0.0, asset->duration().seconds());
      if (const auto videos = asset->tracks(media::MediaType::video); !videos.empty()) {
        const media::TrackInfo& t = *videos.front();
        const media::Size s = media::applyTransformToSize(t.preferredTransform, t.naturalSize);
        r.width = static_cast<int>(std::lround(std::fabs(s.width)));
        r.height = static_cast<int>(std::lround(std::fabs(s.height)));
        if (!t.formatDescriptions.empty()) {
          const std::uint32_t code = t.formatDescriptions.front().mediaSubtype;
          std::string text;
          bool ascii = true;
          for (int shift = 24; shift >= 0; shift -= 8) {
            const auto ch = static_cast<unsigned char>((code >> shift) & 0xff);
            if (ch < 0x20 || ch > 0x7e) ascii = false;
            text.push_back(static_cast<char>(ch));
          }
          r.codec = ascii ? text : std::to_string(code);
        }
      }
    } catch (const media::MediaError&) {
      // A file that does not open as media is still reported, with no duration.
    }
    out.push_back(std::move(r));
  }
  return out;
}

}  // namespace vantrel::recorder
