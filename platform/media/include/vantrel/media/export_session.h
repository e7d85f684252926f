#pragma once
// Exporting a composition to an MPEG-4 file with a named preset: the
// pass-through preset copies the compressed samples of every edit (possible only
// when each edit can be cut without re-encoding: see
// isExportPresetCompatible), the highest-quality preset decodes and re-encodes
// (H.264 at the source's upright size and frame rate, AAC from the audio mix).
// The export runs on its own threads; progress(), status() and cancelExport()
// may be called from any thread.

#include "vantrel/media/audio_mix.h"
#include "vantrel/media/composition.h"

#include <future>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vantrel::media {

inline constexpr const char* kExportPresetPassthrough = "AVAssetExportPresetPassthrough";
inline constexpr const char* kExportPresetHighestQuality = "AVAssetExportPresetHighestQuality";

std::vector<std::string> allExportPresets();
// Pass-through: every segment non-empty, not scaled, of a stream MPEG-4 can
// carry, one format per track, and video cut only at sync samples (its end too
// when the stream reorders frames). Highest quality: the composition has a
// video or an audio track. Unknown presets: false.
bool isExportPresetCompatible(const std::string& preset, const Composition& composition);
std::vector<std::string> exportPresetsCompatibleWith(const Composition& composition);

enum class ExportStatus { waiting, exporting, completed, failed, cancelled };

struct ExportOptions {
  std::string outputPath;
  bool optimizeForNetworkUse = true;
  std::optional<AudioMix> audioMix;  // highest-quality preset only
};

class ExportSession {
 public:
  // Throws MediaError(invalidArgument) for an unknown preset.
  ExportSession(Composition composition, std::string presetName, ExportOptions options);
  ~ExportSession();  // cancels a running export and waits for it

  // Starts the export; the future becomes ready when status() is final. It
  // never throws: failures are in status() and errorText().
  std::future<void> exportAsynchronously();
  double progress() const;  // 0..1
  ExportStatus status() const;
  std::string errorText() const;
  void cancelExport();

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

}  // namespace vantrel::media
