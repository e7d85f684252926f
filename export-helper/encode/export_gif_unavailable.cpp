// Animated GIF export is not built yet: the path fails with a reason code the
// host can show, and no file is written.

#include "encode/export_paths.h"
#include "job/job_errors.h"

namespace vantrel::exporter {

std::int64_t exportNativeGifComposition(const NativeExportManifestV1&, const JobArguments&, ProgressReporter&,
                                        const std::string&) {
  throw JobRunnerError::unsupportedScene("native_helper_gif_export_unavailable");
}

}  // namespace vantrel::exporter
