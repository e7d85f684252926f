#pragma once
// The per-export render state and the per-frame algorithm: which scene an
// output time shows (filler card, background alone, or the styled recording),
// where the recording sits, and the fixed order in which layers stack.
//
// Threads: a render state is created once per export and then used by one
// thread at a time (the reader's caller thread), which is also the only one
// touching its caches. Sampling the runtimes and reading the manifest need no
// locking. Images it returns share buffers it owns; they stay valid while the
// image values live.

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "manifest/manifest.h"
#include "plan/geometry.h"
#include "render/camera_frame_decoder.h"
#include "render/change_tracking.h"
#include "render/cursor_assets.h"
#include "render/cursor_runtime.h"
#include "render/image_cache.h"
#include "render/render_geometry.h"
#include "render/runtimes.h"
#include "support/overlay_renderability.h"
#include "vantrel/graphics/image.h"
#include "vantrel/graphics/renderer.h"

namespace vantrel::exporter {

// The renderer and buffers one export draws with. There is no GPU path:
// `usesHardwareRenderer` is always false.
struct ExportPerformancePlan {
  std::shared_ptr<graphics::Renderer> renderer;
  std::shared_ptr<graphics::BufferPool> bufferPool;  // keeps >= 4 idle buffers of each shape
  Size bufferSize;
  bool usesHardwareRenderer = false;

  // `threads` counts the calling thread; the renderer splits each frame into row bands.
  static ExportPerformancePlan build(Size renderSize, int threads = 2);
};

struct StaticLayerCache {
  // Subtitle cards are cached up to 64 MiB of pixels.
  static constexpr std::size_t kSubtitleImageCostLimit = 67108864;

  std::optional<graphics::Image> background;
  CostLimitedImageCache subtitleImages{kSubtitleImageCostLimit};
};

struct NativeRenderStateInputs {
  NativeExportManifestV1 manifest;
  Size renderSize;
  int baseTrackId = 0;
  VideoTrackMetadata baseTrackMetadata;
  Size canvasReferenceDisplaySize;
  std::vector<VideoTrackMetadata> sourceTrackMetadataByIndex;
  std::map<std::string, VideoTrackMetadata> cameraTrackMetadataByURL;
  // Camera files and the recordings, read beside the base track.
  std::shared_ptr<CameraFrameDecoder> cameraDecoder = std::make_shared<CameraFrameDecoder>();
  std::map<std::string, graphics::Image> imageSourcesByPath;
  NativeRenderableOverlaySummary renderableOverlaySummary;
  ExportPerformancePlan performancePlan;
  // Cursor glyphs; when null and the cursor is enabled, the store is read
  // from the resource bundle (throws as CursorAssetStore does).
  std::shared_ptr<CursorAssetStore> cursorAssets;
};

struct SceneLayerInputs;

// What a layer family keeps between frames of one export (its runtime, decoded
// frames, drawn-once images). Each family defines its own type in its header
// and makes it on first use; the render state only holds it.
struct CameraOverlayState;
struct OverlayLayersState;
struct SubtitleLayerState;
struct AnnotationLayerState;
struct FillerLayerState;
struct PerspectiveState;

struct ComposedFrameHistory;

struct LayerFamilyStates {
  std::shared_ptr<CameraOverlayState> camera;
  std::shared_ptr<OverlayLayersState> overlays;
  std::shared_ptr<SubtitleLayerState> subtitles;
  std::shared_ptr<AnnotationLayerState> annotations;
  std::shared_ptr<FillerLayerState> filler;
  std::shared_ptr<PerspectiveState> perspective;
};

class NativeRenderState {
 public:
  explicit NativeRenderState(NativeRenderStateInputs inputs);

  // The whole frame at output time t (seconds), cropped to the canvas. `source`
  // is the base track's frame (premultiplied BGRA, top row first) or null inside
  // an empty range. Nothing when the scene cannot be composed.
  std::optional<graphics::Image> composeFrame(double t, const graphics::Image* source);

  // True when anything but the base source's pixels makes the frame at t1
  // differ from the frame at t0: any layer (each family declares its own), the
  // zoom/perspective camera, video style, segment/filler switches, a second
  // source track. Conservative: true whenever that cannot be ruled out.
  // Called on the render state's thread. Times in seconds of output time.
  bool sceneChangesBetween(double t0, double t1);
  // Memory rows of the composed frame at t (top row first, as rendered into
  // an output buffer) that can depend on memory rows `sourceRows` of `source`,
  // the base frame composeFrame(t, source) is given. Rows outside the result
  // come out the same whatever those source rows hold. Nothing when the
  // scene at t spreads source pixels further than can be bounded cheaply
  // (perspective, blur overlays, zoom motion, a filler card).
  std::optional<RowBand> outputRowsForSourceRows(double t, const graphics::Image& source, RowBand sourceRows);
  // What the compositor keeps between frames to reuse unchanged ones (see
  // frame_render.h); made by the compositor on its first frame.
  std::shared_ptr<ComposedFrameHistory>& frameHistory() { return frameHistory_; }
  // Called by the compositor right after composing a frame it keeps for
  // reuse. Families whose drawing carries over from frame to frame (the
  // cursor's sway) note what that frame was drawn with, so that pictures
  // composed in between that are not frames of the export (probes of the
  // scene) cannot make a later frame look unchanged against it.
  void noteKeptFrame() { keptCursorRotation_ = cursorMotion_.lastRotation(); }
  std::optional<double> keptCursorRotation() const { return keptCursorRotation_; }
  // Moves the frame-to-frame state of the layers (the cursor's sway) to t
  // exactly as composeFrame(t, source) would, without building the frame: for
  // a frame loop that makes some frames another way (reused or from cached
  // planes) yet must leave later frames as full composition leaves them.
  // `hasSource`: whether the base track has a frame at t.
  void advanceFrameState(double t, bool hasSource);

  // Padding (reference pixels) and corner radius (1080-high pixels) at t.
  VideoStyleSample resolveVideoStyle(double t) const;
  std::optional<VideoFrameGeometry> resolveVideoFrameGeometry(double t, Size sourceDisplaySize) const;
  // The metadata of the track the active segment at t shows (the base track's
  // when no segment names another).
  const VideoTrackMetadata& activeSourceMetadata(double t) const;
  // The zoom camera at t; the identity camera without a zoom timeline.
  NativeResolvedZoomCamera zoomCameraAt(double t) const;

  // Shared image operations of the layers.
  std::optional<graphics::Image> clipImageIfNeeded(const graphics::Image& image, const graphics::Rect& rect,
                                                   double radius) const;
  std::optional<graphics::Image> makeRoundedRectMask(const graphics::Rect& rect, double radius,
                                                     double opacity) const;
  graphics::Image applySampleMask(const graphics::Image& image, const graphics::Image& mask,
                                  const graphics::Rect& renderRect) const;
  // Recording frame turned upright by the track's transform and cut to the crop region.
  graphics::Image uprightTrackImage(const graphics::Image& frame, const VideoTrackMetadata& metadata,
                                    const std::optional<NativeCropRegion>& crop) const;
  // Rendered once into a bitmap (the image's bounds within the canvas, whole
  // pixels) so later frames read flat pixels.
  graphics::Image materializedLayer(const graphics::Image& image) const;
  const graphics::Image& cachedBackgroundImage();
  bool backgroundIsExpensiveToRasterize() const;
  std::optional<graphics::Image> staticShadowOverlay(const graphics::Rect& rect, Size sourceDisplaySize,
                                                     double radius);
  std::optional<graphics::Image> staticStrokeOverlay(const graphics::Rect& rect, Size sourceDisplaySize,
                                                     double radius);

  graphics::Rect canvasRect() const { return {0, 0, inputs_.renderSize.width, inputs_.renderSize.height}; }
  const NativeExportManifestV1& manifest() const { return inputs_.manifest; }
  Size renderSize() const { return inputs_.renderSize; }
  int baseTrackId() const { return inputs_.baseTrackId; }
  const NativeRenderStateInputs& inputs() const { return inputs_; }
  graphics::Renderer& renderer() const { return *inputs_.performancePlan.renderer; }
  const NativeZoomRuntime* zoomRuntime() const { return zoomRuntime_ ? &*zoomRuntime_ : nullptr; }
  const NativeVideoStyleRuntime& videoStyleRuntime() const { return videoStyleRuntime_; }
  bool cursorRuntimeEnabled() const { return cursorRuntime_.enabled(); }
  const NativeCursorRuntime& cursorRuntime() const { return cursorRuntime_; }
  CursorAssetStore* cursorAssets() const { return cursorAssets_.get(); }
  CursorMotionResolver& cursorMotion() { return cursorMotion_; }
  LayerFamilyStates& layerStates() { return layerStates_; }
  // The recording's scene at output time t around `uprightFrame` (a frame of
  // the segment's source already turned upright, as the camera decoder gives
  // it), composed as a regular frame at t but without the cursor and without
  // drawing straight from the source: the still a filler card shows at its
  // boundaries. Nothing when there is no geometry or the scene fails.
  std::optional<graphics::Image> composeStillScene(double t, const graphics::Image& uprightFrame,
                                                   const VideoTrackMetadata& metadata);
  StaticLayerCache& staticCache() { return staticCache_; }
  // Layout scale of the canvas against its reference size.
  double layoutScale() const;
  // Where a cursor lands on the canvas (drawing space) for the video
  // rectangle R and a zoom camera; nothing when a crop region leaves it out.
  std::optional<graphics::Point> projectedCursorPoint(const NativeResolvedCursor& cursor, const graphics::Rect& R,
                                                      const NativeResolvedZoomCamera& camera) const;
  double zoomSampleStepSeconds() const { return zoomSampleStepSeconds_; }
  static constexpr double defaultShadowSize = 50;

  // The camera's movement since one frame earlier, when fast enough to smear.
  struct ZoomMotionState {
    NativeResolvedZoomCamera previousCamera;
    double strength = 0;
  };
  std::optional<ZoomMotionState> resolveZoomMotionState(const NativeResolvedZoomCamera& current, double t) const;
  // Grey mask in canvas space: white over the zoomed video rectangle, black over
  // the overlays visible at t, so that motion samples smear the video only.
  // Built from filled rectangles, so it is always there (the optional stays for
  // callers that lay samples over the whole canvas without one).
  std::optional<graphics::Image> makeMotionBlurSampleMask(const graphics::Rect& baseRect,
                                                          const NativeResolvedZoomCamera& camera, double t) const;

 private:
  std::optional<graphics::Image> composeVideoScene(double t, const graphics::Image& baseImage,
                                                   const graphics::Image* source, const VideoFrameGeometry& geometry,
                                                   const NativeResolvedZoomCamera& camera,
                                                   const VideoTrackMetadata& metadata, bool drawCursor);
  bool directZoomPathAllowed(const NativeResolvedZoomCamera& camera, double t) const;
  // Background with the shadow on it: one flat bitmap per geometry while the
  // style is not animated, so a frame starts from a single copy.
  graphics::Image backgroundWithShadow(double t, const SceneLayerInputs& in);

  NativeRenderStateInputs inputs_;
  std::optional<NativeZoomRuntime> zoomRuntime_;
  NativeVideoStyleRuntime videoStyleRuntime_;
  NativeCursorRuntime cursorRuntime_;
  std::shared_ptr<CursorAssetStore> cursorAssets_;
  CursorMotionResolver cursorMotion_;
  LayerFamilyStates layerStates_;
  double zoomSampleStepSeconds_ = 1.0 / 30;
  StaticLayerCache staticCache_;
  std::map<std::string, std::optional<graphics::Image>> materializedShadowCache_;
  std::map<std::string, std::optional<graphics::Image>> materializedStrokeCache_;
  std::map<std::string, graphics::Image> backgroundWithShadowCache_;
  std::shared_ptr<ComposedFrameHistory> frameHistory_;
  std::optional<double> keptCursorRotation_;
};

}  // namespace vantrel::exporter

#include "vantrel/graphics/color.h"
#include "vantrel/media/video_composition_reader.h"

namespace vantrel::exporter {

// Colour description of every output frame: BT.709 primaries and matrix, sRGB transfer.
graphics::ColorTags exportVideoColorProperties();

// The frame compositor handed to the media layer: draws each request through
// `state` into the output buffer; throws JobRunnerError::exportSessionFailed
// ("native_compositor_...") when a frame cannot be composed.
media::Compositor makeNativeVideoCompositor(std::shared_ptr<NativeRenderState> state);

}  // namespace vantrel::exporter
