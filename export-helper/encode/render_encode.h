#pragma once
// The rendered path's engine: pulls composed frames through a composition
// reader and encodes them as H.264 into an MPEG-4 file, writing the audio into
// the same file at the same time when asked.

#include <cstdint>
#include <string>

#include "job/progress_reporter.h"
#include "manifest/manifest.h"
#include "plan/video_plans.h"
#include "render/composition_bundle.h"

namespace vantrel::exporter {

// Returns true when an audio track was written into the file. Throws
// JobRunnerError (reason codes "avassetwriter_..." / "avassetreader_..." or the
// writer's and reader's own error text), the compositor's error, or the audio
// pipeline's errors. Progress events go through `reporter` at most every 0.25 s.
// A partly written file may remain at `outputPath` after a failure.
bool exportRenderedVideoWithAssetWriter(CompositionBundle& bundle, const std::string& outputPath,
                                        const NativeExportManifestV1& manifest, const AssetWriterVideoPlan& writerPlan,
                                        std::int64_t estimatedFrames, bool includeAudioInline,
                                        const std::string& tempAudioPath, ProgressReporter& reporter,
                                        const std::string& helperVersion);

}  // namespace vantrel::exporter
