#include "render/composition_bundle.h"

#include <cstring>

#include "job/job_errors.h"
#include "render/image_sources.h"
#include "render/render_state.h"
#include "support/overlay_renderability.h"

namespace vantrel::exporter {

namespace gfx = vantrel::graphics;

namespace {

// The media layer and the drawing library keep separate buffer types; frames
// cross between them by row copies (about 1 ms each way at 1080p).
gfx::Image importFrame(const media::PixelBuffer& frame, gfx::BufferPool& pool) {
  auto buffer = pool.acquire(frame.width(), frame.height(), gfx::PixelFormat::bgra8, false);
  const std::size_t rowBytes = static_cast<std::size_t>(frame.width()) * 4;
  for (int y = 0; y < frame.height(); ++y) std::memcpy(buffer->row(y), frame.row(y), rowBytes);
  return gfx::Image::fromBuffer(std::move(buffer));
}

void exportFrame(const gfx::PixelBuffer& from, media::PixelBuffer& to) {
  const int h = std::min(from.height(), to.height());
  const std::size_t rowBytes = static_cast<std::size_t>(std::min(from.width(), to.width())) * 4;
  for (int y = 0; y < h; ++y) std::memcpy(to.row(y), from.row(y), rowBytes);
}

}  // namespace

gfx::ColorTags exportVideoColorProperties() {
  return {gfx::ColorPrimaries::bt709, gfx::TransferFunction::sRGB, gfx::YCbCrMatrix::bt709};
}

media::Compositor makeNativeVideoCompositor(std::shared_ptr<NativeRenderState> state) {
  return [state = std::move(state)](const media::CompositionRequest& request, media::PixelBuffer& output) {
    const auto& plan = state->inputs().performancePlan;
    const int w = static_cast<int>(plan.bufferSize.width), h = static_cast<int>(plan.bufferSize.height);
    if (w <= 0 || h <= 0 || output.width() < w || output.height() < h) {
      throw JobRunnerError::exportSessionFailed("native_compositor_no_buffer");
    }
    gfx::BufferRef target = plan.bufferPool->acquire(w, h, gfx::PixelFormat::bgra8, false);
    target->colorTags = exportVideoColorProperties();

    std::optional<gfx::Image> source;
    for (const auto& s : request.sources) {
      if (s.compositionTrackId == state->baseTrackId() && s.frame) {
        source = importFrame(*s.frame, *plan.bufferPool);
      }
    }
    auto frame = state->composeFrame(request.outputTime.seconds(), source ? &*source : nullptr);
    if (!frame) throw JobRunnerError::exportSessionFailed("native_compositor_compose_failed");
    state->renderer().render(*frame, *target, {0, 0});
    exportFrame(*target, output);
  };
}

CompositionBundle buildCompositionBundle(const NativeExportManifestV1& manifest,
                                         const std::vector<SourceVideoTrack>& sourceVideoTracks,
                                         const VideoTrackMetadata& baseTrackMetadata, Size canvasReferenceDisplaySize,
                                         Size renderSize) {
  auto timeline = buildVideoOnlyComposition(manifest, sourceVideoTracks);

  NativeRenderStateInputs inputs;
  inputs.performancePlan = ExportPerformancePlan::build(renderSize);
  inputs.cameraTrackMetadataByURL = buildCameraDecoderSupport(manifest.cameraPlan.cameraSegments);
  for (const auto& source : sourceVideoTracks) {
    inputs.sourceTrackMetadataByIndex.push_back(loadTrackMetadata(*source.track));
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
  bundle.compositor = makeNativeVideoCompositor(std::move(state));
  return bundle;
}

}  // namespace vantrel::exporter
