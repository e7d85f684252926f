#include "job/job_runner.h"

#include "encode/export_paths.h"
#include "job/job_errors.h"
#include "manifest/manifest.h"
#include "render/assets/bundled_fonts.h"
#include "support/scene_support.h"
#include "vantrel/common/files.h"
#include "vantrel/common/strict_json.h"

namespace vantrel::exporter {

std::int64_t JobRunner::run(const JobArguments& arguments) {
  BundledFonts::registerOnce();

  reporter_.emit(StartedEvent{helperVersion_, "Native export helper started."});
  reporter_.emit(ProgressEvent{"preparing", "manifest", 0.02, "Loading export manifest...", helperVersion_});

  auto bytes = readWholeFile(arguments.manifestPath);
  if (!bytes) throw JobRunnerError::unreadableManifest(arguments.manifestPath);

  NativeExportManifestV1 manifest;
  try {
    manifest = decodeManifest(*bytes);
  } catch (const json::DecodeError&) {
    // The host only needs to know the document was rejected; the decoder's
    // own diagnostics are not part of the event.
    throw JobRunnerError::malformedManifest(arguments.manifestPath);
  }

  auto support = evaluateNativeSceneSupport(manifest);
  std::string loaded = "Manifest loaded for project " + manifest.projectName + ".";
  if (!support.isSupported) {
    reporter_.emit(TelemetryEvent{loaded, helperVersion_, support.reason, std::nullopt});
    throw JobRunnerError::unsupportedScene(support.reason.value_or("unsupported_scene"));
  }
  reporter_.emit(TelemetryEvent{loaded, helperVersion_, std::nullopt, std::nullopt});

  if (manifest.qualityPlan.format == "gif") {
    return exportNativeGifComposition(manifest, arguments, reporter_, helperVersion_);
  }
  return exportNativeVideoComposition(manifest, arguments, reporter_, helperVersion_);
}

}  // namespace vantrel::exporter
