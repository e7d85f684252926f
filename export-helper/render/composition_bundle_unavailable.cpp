// The frame compositor is not linked into this build yet: the rendered path
// fails with a reason code instead of producing unstyled frames.

#include "job/job_errors.h"
#include "render/composition_bundle.h"

namespace vantrel::exporter {

CompositionBundle buildCompositionBundle(const NativeExportManifestV1&, const std::vector<SourceVideoTrack>&,
                                         const VideoTrackMetadata&, Size, Size) {
  throw JobRunnerError::unsupportedScene("native_helper_renderer_unavailable");
}

}  // namespace vantrel::exporter
