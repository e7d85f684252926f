// This build has no renderer and no encoder yet: both paths fail honestly with
// a reason code the host can show, and no output file is written.

#include "encode/export_paths.h"
#include "job/job_errors.h"

namespace vantrel::exporter {

std::int64_t exportNativeVideoComposition(const NativeExportManifestV1&, const JobArguments&, ProgressReporter&,
                                          const std::string&) {
  throw JobRunnerError::unsupportedScene("native_helper_video_export_unavailable");
}

std::int64_t exportNativeGifComposition(const NativeExportManifestV1&, const JobArguments&, ProgressReporter&,
                                        const std::string&) {
  throw JobRunnerError::unsupportedScene("native_helper_gif_export_unavailable");
}

}  // namespace vantrel::exporter
