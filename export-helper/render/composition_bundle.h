#pragma once
// Everything the rendered path needs to pull composed frames: the output
// timeline, the frame size and duration, and the compositor that draws each
// frame (which owns the export's render state).

#include <memory>
#include <vector>

#include "composition/timeline.h"
#include "manifest/manifest.h"
#include "plan/geometry.h"
#include "vantrel/media/video_composition_reader.h"

namespace vantrel::exporter {

class NativeRenderState;

struct CompositionBundle {
  media::Composition composition;                 // the output timeline, one video track
  int videoTrackId = 0;
  media::VideoCompositionSettings videoComposition;  // render size and frame duration 1 / max(fps, 1)
  // Draws one output frame. Called on the reader's caller thread, one frame at
  // a time, in output order. Throws JobRunnerError::exportSessionFailed with a
  // "native_compositor_" reason when a frame cannot be composed.
  media::Compositor compositor;
  // The state `compositor` draws with, for a frame loop that asks it about the
  // scene (same thread rules as the compositor). Null for a bundle made elsewhere.
  std::shared_ptr<NativeRenderState> renderState;
  bool usesHardwareRenderer = false;  // reported as metalUsed
  bool cursorRuntimeEnabled = false;
  bool zoomRuntimeEnabled = false;
};

// Lays out the timeline, measures the sources, opens camera readers, loads
// overlay pictures and creates the render state and its compositor.
// `sourceVideoTracks[i]` is source i's first video track; `baseTrackMetadata`
// is source 0's. Throws JobRunnerError (reason codes) or the media layer's error.
CompositionBundle buildCompositionBundle(const NativeExportManifestV1& manifest,
                                         const std::vector<SourceVideoTrack>& sourceVideoTracks,
                                         const VideoTrackMetadata& baseTrackMetadata, Size canvasReferenceDisplaySize,
                                         Size renderSize);

}  // namespace vantrel::exporter
