#include "render/composition_bundle.h"

#include "render/frame_render.h"
#include "render/image_sources.h"
#include "render/render_state.h"
#include "support/overlay_renderability.h"

namespace vantrel::exporter {

namespace gfx = vantrel::graphics;

gfx::ColorTags exportVideoColorProperties() {
  return {gfx::ColorPrimaries::bt709, gfx::TransferFunction::sRGB, gfx::YCbCrMatrix::bt709};
}

media::Compositor makeNativeVideoCompositor(std::shared_ptr<NativeRenderState> state) {
  return [state = std::move(state)](const media::CompositionRequest& request, media::PixelBuffer& output) {
    renderCompositionFrame(*state, request, output);
  };
}

CompositionBundle buildCompositionBundle(const NativeExportManifestV1& manifest,
                                         const std::vector<SourceVideoTrack>& sourceVideoTracks,
                                         const VideoTrackMetadata& baseTrackMetadata, Size canvasReferenceDisplaySize,
                                         Size renderSize) {
  auto timeline = buildVideoOnlyComposition(manifest, sourceVideoTracks);

  NativeRenderStateInputs inputs;
  inputs.performancePlan = ExportPerformancePlan::build(renderSize);
  inputs.cameraTrackMetadataByURL =
      buildCameraDecoderSupport(manifest.cameraPlan.cameraSegments, *inputs.cameraDecoder);
  const auto& sourcePaths = manifest.videoPlan.sourceVideoPaths;
  for (std::size_t i = 0; i < sourceVideoTracks.size(); ++i) {
    const auto& source = sourceVideoTracks[i];
    inputs.sourceTrackMetadataByIndex.push_back(loadTrackMetadata(*source.track));
    // The recordings' own frames, for the stills that fillers show at their boundaries.
    if (i < sourcePaths.size() && source.asset) {
      inputs.cameraDecoder->addState(sourcePaths[i], source.asset, source.track->trackId, 0);
    }
  }
  inputs.imageSourcesByPath = loadImageSources(collectImagePaths(manifest), renderSize);
  inputs.manifest = manifest;
  inputs.renderSize = renderSize;
  inputs.baseTrackId = timeline.trackId;
  inputs.baseTrackMetadata = baseTrackMetadata;
  inputs.canvasReferenceDisplaySize = canvasReferenceDisplaySize;
  inputs.renderableOverlaySummary = NativeOverlayRenderability::summarize(manifest, renderSize);
  auto state = std::make_shared<NativeRenderState>(std::move(inputs));

  CompositionBundle bundle;
  bundle.composition = std::move(timeline.composition);
  bundle.videoTrackId = timeline.trackId;
  bundle.videoComposition.renderWidth = static_cast<int>(renderSize.width);
  bundle.videoComposition.renderHeight = static_cast<int>(renderSize.height);
  const auto fps = std::max<std::int64_t>(manifest.qualityPlan.frameRate, 1);
  bundle.videoComposition.frameDuration = media::MediaTime(1, static_cast<std::int32_t>(fps));
  bundle.usesHardwareRenderer = state->inputs().performancePlan.usesHardwareRenderer;
  bundle.cursorRuntimeEnabled = state->cursorRuntimeEnabled();
  bundle.zoomRuntimeEnabled = state->zoomRuntime() != nullptr;
  bundle.renderState = state;
  bundle.compositor = makeNativeVideoCompositor(std::move(state));
  return bundle;
}

}  // namespace vantrel::exporter
