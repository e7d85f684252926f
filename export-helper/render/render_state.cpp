#include "render/render_state.h"

#include <algorithm>
#include <cmath>

#include "job/resource_bundle.h"
#include "render/layers/layers.h"
#include "render/perspective.h"
#include "vantrel/graphics/drawing.h"

namespace vantrel::exporter {

namespace gfx = vantrel::graphics;

ExportPerformancePlan ExportPerformancePlan::build(Size renderSize, int threads) {
  ExportPerformancePlan plan;
  plan.bufferPool = gfx::BufferPool::create(8);
  plan.renderer = std::make_shared<gfx::Renderer>(std::max(threads, 1), plan.bufferPool);
  plan.bufferSize = {std::trunc(renderSize.width), std::trunc(renderSize.height)};
  // Warm the pool with the four output buffers a steady frame loop cycles through.
  const int w = static_cast<int>(plan.bufferSize.width), h = static_cast<int>(plan.bufferSize.height);
  if (w > 0 && h > 0) {
    std::vector<gfx::BufferRef> warm;
    for (int i = 0; i < 4; ++i) warm.push_back(plan.bufferPool->acquire(w, h, gfx::PixelFormat::bgra8, false));
  }
  return plan;
}

NativeRenderState::NativeRenderState(NativeRenderStateInputs inputs)
    : inputs_(std::move(inputs)), videoStyleRuntime_(inputs_.manifest.videoPlan), cursorRuntime_(inputs_.manifest.videoPlan) {
  NativeZoomRuntime zoom(inputs_.manifest, inputs_.renderSize, inputs_.baseTrackMetadata);
  if (zoom.enabled()) zoomRuntime_.emplace(std::move(zoom));
  zoomSampleStepSeconds_ = 1.0 / static_cast<double>(std::max<std::int64_t>(inputs_.manifest.qualityPlan.frameRate, 1));
  if (cursorRuntime_.enabled()) {
    cursorAssets_ = inputs_.cursorAssets ? inputs_.cursorAssets
                                         : std::make_shared<CursorAssetStore>(resourceBundlePath(),
                                                                              inputs_.performancePlan.renderer);
  }
}

double NativeRenderState::layoutScale() const {
  const Size canvas = inputs_.renderSize;
  const Size reference = inputs_.canvasReferenceDisplaySize;
  return computeLayoutScaleFactor(inputs_.manifest.scene.settings.video, canvas.width, canvas.height,
                                  reference.width, reference.height);
}

std::optional<gfx::Point> NativeRenderState::projectedCursorPoint(const NativeResolvedCursor& cursor,
                                                                  const gfx::Rect& R,
                                                                  const NativeResolvedZoomCamera& camera) const {
  double x = cursor.x, y = cursor.y;
  if (const auto& crop = inputs_.manifest.videoPlan.cropRegion) {
    if (x < crop->x || x > crop->x + crop->width || y < crop->y || y > crop->y + crop->height) return std::nullopt;
    x = (x - crop->x) / std::max(crop->width, 0.0001);
    y = (y - crop->y) / std::max(crop->height, 0.0001);
  }
  const double z = camera.zoom;
  const gfx::Point p{inputs_.renderSize.width / 2 + (R.minX() + x * R.width - camera.centerX) * z,
                     inputs_.renderSize.height / 2 + z * (R.maxY() - y * R.height - camera.centerY)};
  if (!std::isfinite(p.x) || !std::isfinite(p.y)) return std::nullopt;
  return p;
}

VideoStyleSample NativeRenderState::resolveVideoStyle(double t) const {
  if (auto s = videoStyleRuntime_.sample(t)) return *s;
  const auto& video = inputs_.manifest.scene.settings.video;
  if (const auto* segment = resolveActiveVideoSegment(inputs_.manifest.videoPlan.segments, t)) {
    return {segment->padding.value_or(video.padding), segment->borderRadius.value_or(video.borderRadius)};
  }
  return {video.padding, video.borderRadius};
}

std::optional<VideoFrameGeometry> NativeRenderState::resolveVideoFrameGeometry(double t, Size sourceDisplaySize) const {
  const auto style = resolveVideoStyle(t);
  const auto& video = inputs_.manifest.scene.settings.video;
  const Size canvas = inputs_.renderSize;
  const Size reference = inputs_.canvasReferenceDisplaySize;
  const double s = computeLayoutScaleFactor(video, canvas.width, canvas.height, reference.width, reference.height);
  return computeVideoFrameGeometry(video, canvas, sourceDisplaySize, style.padding, style.borderRadius, s);
}

std::optional<gfx::Image> NativeRenderState::makeRoundedRectMask(const gfx::Rect& rect, double radius,
                                                                 double opacity) const {
  const int w = std::max(1, static_cast<int>(std::ceil(rect.width)));
  const int h = std::max(1, static_cast<int>(std::ceil(rect.height)));
  auto bitmap = gfx::BitmapContext::create(w, h, gfx::BitmapKind::grey);
  if (!bitmap) return std::nullopt;
  bitmap->setFillColor({opacity, opacity, opacity, 1});
  bitmap->addRoundedRect({0, 0, static_cast<double>(w), static_cast<double>(h)}, std::max(radius, 0.0));
  bitmap->fillPath();
  return bitmap->makeImage().translated(rect.minX(), rect.minY());
}

std::optional<gfx::Image> NativeRenderState::clipImageIfNeeded(const gfx::Image& image, const gfx::Rect& rect,
                                                               double radius) const {
  if (!(radius > 0.01)) return image;
  // Worked out along the outline only: the inside of the rectangle is left as it is.
  auto clipped = image.clippedToRoundedRect(rect, radius);
  if (clipped.isEmpty() && !image.isEmpty()) return std::nullopt;
  return clipped;
}

gfx::Image NativeRenderState::applySampleMask(const gfx::Image& image, const gfx::Image& mask,
                                              const gfx::Rect& renderRect) const {
  if (renderRect.isEmpty() || !renderRect.isFinite()) return image;
  return image.blendedWithMask(gfx::Image::solid(gfx::Color::clear()).cropped(renderRect), mask).cropped(renderRect);
}

gfx::Image NativeRenderState::uprightTrackImage(const gfx::Image& frame, const VideoTrackMetadata& metadata,
                                                const std::optional<NativeCropRegion>& crop) const {
  gfx::Image image = uprightFrameImage(frame, metadata);
  if (crop) {
    const double dw = metadata.displaySize.width, dh = metadata.displaySize.height;
    image = image.cropped({crop->x * dw, (1 - crop->y - crop->height) * dh, std::max(crop->width * dw, 1.0),
                           std::max(crop->height * dh, 1.0)});
  }
  return image;
}

gfx::Image NativeRenderState::materializedLayer(const gfx::Image& image) const {
  const double w = std::round(inputs_.renderSize.width), h = std::round(inputs_.renderSize.height);
  if (w < 1 || h < 1) return image;
  // Only the image's own bounds: a border line or a shadow then costs its
  // area, not the canvas's, each time it is laid over a frame.
  const gfx::Rect bounds = image.extent().intersection({0, 0, w, h}).integral();
  if (bounds.isEmpty()) return gfx::Image();
  auto bitmap = renderer().makeBitmap(image.cropped(canvasRect()), bounds);
  if (!bitmap) return image;
  return gfx::Image::fromBuffer(bitmap).translated(bounds.minX(), bounds.minY());
}

bool NativeRenderState::backgroundIsExpensiveToRasterize() const {
  const auto& plan = inputs_.manifest.overlayPlan;
  auto present = [&](const std::optional<std::string>& p) { return p && inputs_.imageSourcesByPath.count(*p) > 0; };
  return present(plan.backgroundRasterPath) || present(plan.wallpaperPath) ||
         inputs_.manifest.scene.settings.background.type == "gradient";
}

const gfx::Image& NativeRenderState::cachedBackgroundImage() {
  if (!staticCache_.background) {
    gfx::Image background = makeBackgroundImage(*this, inputs_.renderSize);
    if (backgroundIsExpensiveToRasterize()) background = materializedLayer(background);
    staticCache_.background = std::move(background);
  }
  return *staticCache_.background;
}

namespace {

using LayerMaker = std::optional<gfx::Image> (*)(const NativeRenderState&, const gfx::Rect&, Size, double);

std::optional<gfx::Image> cachedLayer(NativeRenderState& state, std::map<std::string, std::optional<gfx::Image>>& cache,
                                      LayerMaker make, const gfx::Rect& rect, Size source, double radius) {
  // Animated padding and radius change the geometry every frame; caching would only grow.
  if (state.videoStyleRuntime().hasFrames()) return make(state, rect, source, radius);
  const std::string key = layerGeometryKey(rect, radius);
  auto it = cache.find(key);
  if (it != cache.end()) return it->second;
  auto layer = make(state, rect, source, radius);
  if (layer) layer = state.materializedLayer(*layer);
  cache.emplace(key, layer);
  return layer;
}

}  // namespace

std::optional<gfx::Image> NativeRenderState::staticShadowOverlay(const gfx::Rect& rect, Size source, double radius) {
  return cachedLayer(*this, materializedShadowCache_, makeShadowOverlay, rect, source, radius);
}

std::optional<gfx::Image> NativeRenderState::staticStrokeOverlay(const gfx::Rect& rect, Size source, double radius) {
  return cachedLayer(*this, materializedStrokeCache_, makeStrokeOverlay, rect, source, radius);
}

std::optional<NativeRenderState::ZoomMotionState> NativeRenderState::resolveZoomMotionState(
    const NativeResolvedZoomCamera& current, double t) const {
  if (!zoomRuntime_) return std::nullopt;
  const double step = zoomSampleStepSeconds_;
  double previousTime;
  if (step <= 1e-6) {
    if (!(t > 5e-7)) return std::nullopt;
    previousTime = t - 1e-6;
  } else {
    if (!(t > step / 2)) return std::nullopt;
    previousTime = t - step;
  }
  auto previous = zoomRuntime_->sample(std::max(previousTime, 0.0));
  if (!previous) return std::nullopt;
  const double z = current.zoom;
  const double moved = std::hypot((current.centerX - previous->centerX) * z, (current.centerY - previous->centerY) * z);
  const double L = std::max(std::min(inputs_.renderSize.width, inputs_.renderSize.height), 1.0) * 0.07;
  double pan = moved - 0.5;
  if (L >= 1) pan /= L;
  const double zoomChange = (std::abs(z - previous->zoom) - 0.001) / 0.02;
  const double strength = std::min(std::clamp(zoomChange, 0.0, 1.0) * 0.25 + std::clamp(pan, 0.0, 1.0), 1.0);
  if (!(strength > 0.001)) return std::nullopt;
  return ZoomMotionState{*previous, strength};
}

bool NativeRenderState::directZoomPathAllowed(const NativeResolvedZoomCamera& camera, double t) const {
  const auto& m = inputs_.manifest;
  const auto& summary = inputs_.renderableOverlaySummary;
  const auto& stroke = m.scene.settings.video.stroke;
  const bool hasAnnotationStrokes = m.overlayPlan.annotationData && !m.overlayPlan.annotationData->strokes.empty();
  return !camera.perspective && m.qualityPlan.compression == "minimal" && camera.zoom > 1.0001 &&
         !resolveZoomMotionState(camera, t) && !summary.hasBlurOverlays && !hasAnnotationStrokes &&
         !summary.hasImageOverlays && !summary.hasTextOverlays && m.overlayPlan.subtitleCaptions.empty() &&
         !(stroke.enabled && stroke.width > 0);
}

gfx::Image NativeRenderState::backgroundWithShadow(double t, const SceneLayerInputs& in) {
  const gfx::Image background = *backgroundLayer(*this, t, in);
  auto shadow = shadowLayer(*this, t, in);
  if (!shadow) return background;
  if (videoStyleRuntime_.hasFrames()) return shadow->composited(background);
  const std::string key = layerGeometryKey(in.videoRect, in.borderRadius);
  auto it = backgroundWithShadowCache_.find(key);
  if (it == backgroundWithShadowCache_.end()) {
    if (backgroundWithShadowCache_.size() >= 4) backgroundWithShadowCache_.clear();
    it = backgroundWithShadowCache_.emplace(key, materializedLayer(shadow->composited(background))).first;
  }
  return it->second;
}

std::optional<gfx::Image> NativeRenderState::composeVideoScene(double t, const gfx::Image& baseImage,
                                                               const gfx::Image* source,
                                                               const VideoFrameGeometry& geometry,
                                                               const NativeResolvedZoomCamera& sampledCamera,
                                                               const VideoTrackMetadata& metadata, bool drawCursor) {
  const gfx::Rect canvas = canvasRect();
  // A 3-D view is drawn flat, unzoomed and over a clear start; the kernel tilts
  // it afterwards and the zoomed background goes in behind it.
  const std::optional<NativePerspectiveFrame>& perspective = sampledCamera.perspective;
  NativeResolvedZoomCamera camera = sampledCamera;
  if (perspective) {
    camera = NativeResolvedZoomCamera::defaultFor(inputs_.renderSize);
    camera.cameraOverlayBlend = sampledCamera.cameraOverlayBlend;
  }
  const gfx::Rect& R = geometry.rect;
  const double r = geometry.borderRadius;
  SceneLayerInputs in;
  in.videoRect = R;
  in.borderRadius = r;
  in.padding = geometry.padding;
  in.layout = geometry.layout;
  in.camera = camera;
  in.sourceDisplaySize = croppedSourceDisplaySize(metadata, inputs_.manifest.videoPlan.cropRegion);

  auto over = [&](const LayerResult& layer, const gfx::Image& below) {
    return layer ? layer->composited(below) : below;
  };

  gfx::Image stack = gfx::Image::empty();
  if (!perspective) {
    stack = backgroundWithShadow(t, in);
  } else if (auto shadow = shadowLayer(*this, t, in)) {
    stack = *shadow;
  }

  std::optional<gfx::Image> directVideo;
  if (source && directZoomPathAllowed(camera, t)) {
    const double z = camera.zoom;
    const gfx::Rect dest{inputs_.renderSize.width / 2 + z * (R.minX() - camera.centerX),
                         inputs_.renderSize.height / 2 + z * (R.minY() - camera.centerY), z * R.width,
                         z * R.height};
    if (dest.width > 0.5 && dest.height > 0.5) {
      const gfx::Image scaled =
          scaleImageWithLanczos(uprightTrackImage(*source, metadata, inputs_.manifest.videoPlan.cropRegion), dest);
      directVideo = clipImageIfNeeded(scaled, dest, r * z).value_or(scaled).cropped(canvas);
    }
  }
  if (!directVideo) {
    gfx::Image video = clipImageIfNeeded(baseImage, R, r).value_or(baseImage);
    in.target = &video;
    if (auto blurred = blurOverlaysLayer(*this, t, in)) video = *blurred;
    in.target = nullptr;
    stack = video.composited(stack);
  }
  stack = over(annotationsLayer(*this, t, in), stack);
  stack = over(imageOverlaysLayer(*this, t, in), stack);
  if (auto stroke = strokeLayer(*this, t, in)) {
    // Laid only around the line's clear inside, which is most of the frame.
    const gfx::Rect hole = strokeClearInterior(*this, R, in.sourceDisplaySize, r);
    const gfx::Rect e = stroke->extent();
    if (hole.isEmpty() || !e.isFinite()) {
      stack = stroke->composited(stack);
    } else {
      const gfx::Rect pieces[] = {{e.minX(), hole.maxY(), e.width, e.maxY() - hole.maxY()},
                                  {e.minX(), e.minY(), e.width, hole.minY() - e.minY()},
                                  {e.minX(), hole.minY(), hole.minX() - e.minX(), hole.height},
                                  {hole.maxX(), hole.minY(), e.maxX() - hole.maxX(), hole.height}};
      for (const auto& piece : pieces)
        if (piece.width > 0 && piece.height > 0) stack = stroke->cropped(piece).composited(stack);
    }
  }
  stack = over(textOverlaysLayer(*this, t, in), stack);

  const double z = camera.zoom;
  const gfx::Affine zoom{z, 0, 0, z, inputs_.renderSize.width / 2 - z * camera.centerX,
                         inputs_.renderSize.height / 2 - z * camera.centerY};
  const gfx::Image unzoomed = stack;
  if (!perspective) {
    if (!zoom.isIdentity()) stack = stack.transformed(zoom).cropped(canvas);
    in.target = &stack;
    in.unzoomedStack = &unzoomed;
    if (auto smeared = zoomMotionSamplesLayer(*this, t, in)) stack = smeared->cropped(canvas);
    in.target = nullptr;
    in.unzoomedStack = nullptr;
  }

  if (directVideo) stack = directVideo->composited(stack).cropped(canvas);
  if (drawCursor) stack = over(cursorLayer(*this, t, in), stack);
  if (perspective) {
    auto tilted = composePerspectiveScene(*this, stack.cropped(canvas), *perspective);
    if (!tilted) return std::nullopt;
    stack = *tilted;
  }
  stack = over(cameraOverlayLayer(*this, t, in), stack);
  stack = over(subtitlesLayer(*this, t, in), stack);
  return stack.cropped(canvas);
}

std::optional<gfx::Image> NativeRenderState::composeStillScene(double t, const gfx::Image& uprightFrame,
                                                               const VideoTrackMetadata& metadata) {
  const auto& crop = inputs_.manifest.videoPlan.cropRegion;
  auto geometry = resolveVideoFrameGeometry(t, croppedSourceDisplaySize(metadata, crop));
  if (!geometry) return std::nullopt;
  gfx::Image image = uprightFrame;
  if (crop) {
    const double dw = metadata.displaySize.width, dh = metadata.displaySize.height;
    image = image.cropped({crop->x * dw, (1 - crop->y - crop->height) * dh, std::max(crop->width * dw, 1.0),
                           std::max(crop->height * dh, 1.0)});
  }
  NativeResolvedZoomCamera camera = zoomCameraAt(t);
  // No source buffer: the direct zoom path needs one, so the still always goes through the stack.
  auto scene = composeVideoScene(t, scaleImageWithLanczos(image, geometry->rect), nullptr, *geometry, camera,
                                 metadata, false);
  if (!scene) return std::nullopt;
  return scene->cropped(canvasRect());
}

bool NativeRenderState::sceneChangesBetween(double t0, double t1) {
  // Cheapest and most often moving first. Each family reads only its own
  // state, so the order changes nothing but the time spent.
  using Declaration = bool (*)(NativeRenderState&, double, double);
  static constexpr Declaration families[] = {
      fillerLayerChangesBetween,      videoStyleLayerChangesBetween,  zoomLayerChangesBetween,
      perspectiveLayerChangesBetween, cursorLayerChangesBetween,      cameraOverlayLayerChangesBetween,
      subtitlesLayerChangesBetween,   textOverlaysLayerChangesBetween, imageOverlaysLayerChangesBetween,
      blurOverlaysLayerChangesBetween, annotationsLayerChangesBetween, backgroundLayerChangesBetween,
  };
  for (const Declaration changes : families)
    if (changes(*this, t0, t1)) return true;
  return false;
}

const VideoTrackMetadata& NativeRenderState::activeSourceMetadata(double t) const {
  const auto* segment = resolveActiveVideoSegment(inputs_.manifest.videoPlan.segments, t);
  const auto& byIndex = inputs_.sourceTrackMetadataByIndex;
  return segment && segment->sourceIndex >= 0 && static_cast<std::size_t>(segment->sourceIndex) < byIndex.size()
             ? byIndex[static_cast<std::size_t>(segment->sourceIndex)]
             : inputs_.baseTrackMetadata;
}

NativeResolvedZoomCamera NativeRenderState::zoomCameraAt(double t) const {
  if (zoomRuntime_) {
    if (auto sampled = zoomRuntime_->sample(t)) return *sampled;
  }
  return NativeResolvedZoomCamera::defaultFor(inputs_.renderSize);
}

void NativeRenderState::advanceFrameState(double t, bool hasSource) {
  if (!hasSource || !cursorRuntime_.enabled()) return;
  const auto& m = inputs_.manifest;
  const VideoTrackMetadata& metadata = activeSourceMetadata(t);
  NativeResolvedZoomCamera camera = zoomCameraAt(t);
  if (camera.perspective && !PerspectiveCompositor::shared()) return;
  if (resolveActiveFillerBlock(m.overlayPlan.fillerBlocks, t)) return;
  const auto geometry = resolveVideoFrameGeometry(t, croppedSourceDisplaySize(metadata, m.videoPlan.cropRegion));
  if (!geometry) return;
  // The cursor is the only layer that carries state from frame to frame; it
  // is drawn with the unzoomed camera under a perspective view, as in the scene.
  SceneLayerInputs in;
  in.videoRect = geometry->rect;
  in.borderRadius = geometry->borderRadius;
  in.padding = geometry->padding;
  in.layout = geometry->layout;
  in.camera = camera;
  if (camera.perspective) {
    in.camera = NativeResolvedZoomCamera::defaultFor(inputs_.renderSize);
    in.camera.cameraOverlayBlend = camera.cameraOverlayBlend;
  }
  in.sourceDisplaySize = croppedSourceDisplaySize(metadata, m.videoPlan.cropRegion);
  (void)cursorLayer(*this, t, in);
}

std::optional<RowBand> NativeRenderState::outputRowsForSourceRows(double t, const gfx::Image& source,
                                                                  RowBand sourceRows) {
  const auto& m = inputs_.manifest;
  const int H = static_cast<int>(inputs_.performancePlan.bufferSize.height);
  if (sourceRows.empty()) return RowBand{};
  if (H <= 0 || inputs_.renderableOverlaySummary.hasBlurOverlays || !m.overlayPlan.blurOverlays.empty() ||
      resolveActiveFillerBlock(m.overlayPlan.fillerBlocks, t))
    return std::nullopt;
  const VideoTrackMetadata& metadata = activeSourceMetadata(t);
  NativeResolvedZoomCamera camera = zoomCameraAt(t);
  if (camera.perspective || resolveZoomMotionState(camera, t)) return std::nullopt;
  const auto geometry = resolveVideoFrameGeometry(t, croppedSourceDisplaySize(metadata, m.videoPlan.cropRegion));
  if (!geometry) return RowBand{};  // the background alone

  // The changed rows as an image of their own, taken through the same
  // turning and cropping as the frame, give where they land before scaling.
  const gfx::Rect frame = source.extent();
  const gfx::Rect rows{frame.minX(), frame.maxY() - sourceRows.end, frame.width,
                       static_cast<double>(sourceRows.end - sourceRows.begin)};
  const gfx::Image probe = gfx::Image::solid({1, 1, 1, 1}).cropped(rows);
  const gfx::Rect landed = uprightTrackImage(probe, metadata, m.videoPlan.cropRegion).extent();
  if (landed.isEmpty()) return RowBand{};
  if (!landed.isFinite()) return std::nullopt;
  const gfx::Rect E = uprightTrackImage(source, metadata, m.videoPlan.cropRegion).extent();
  const gfx::Rect& R = geometry->rect;
  const double sy = R.height / std::max(E.height, 1.0);
  const double z = camera.zoom;
  if (!std::isfinite(sy) || !std::isfinite(z) || !(z > 0)) return std::nullopt;
  auto onCanvas = [&](double y) { return inputs_.renderSize.height / 2 + z * (R.minY() + sy * (y - E.minY()) - camera.centerY); };
  // Room for the Lanczos support (three pixels of the coarser grid) and for
  // the zoom's own resampling, with a pixel to spare for rounding.
  const double margin = z * (3 * std::max(sy, 1.0) + 4) + 4;
  const double low = onCanvas(landed.minY()) - margin, high = onCanvas(landed.maxY()) + margin;
  if (!std::isfinite(low) || !std::isfinite(high)) return std::nullopt;
  // Drawing space has y up; memory rows count from the top.
  const int begin = static_cast<int>(std::clamp(std::floor(H - high), 0.0, static_cast<double>(H)));
  const int end = static_cast<int>(std::clamp(std::ceil(H - low), 0.0, static_cast<double>(H)));
  if (begin >= end) return RowBand{};
  return RowBand{begin, end};
}

std::optional<gfx::Image> NativeRenderState::composeFrame(double t, const gfx::Image* source) {
  const auto& m = inputs_.manifest;
  const gfx::Rect canvas = canvasRect();
  const VideoTrackMetadata& metadata = activeSourceMetadata(t);
  const Size sourceSize = croppedSourceDisplaySize(metadata, m.videoPlan.cropRegion);

  NativeResolvedZoomCamera camera = zoomCameraAt(t);
  if (camera.perspective && !PerspectiveCompositor::shared()) return std::nullopt;

  if (resolveActiveFillerBlock(m.overlayPlan.fillerBlocks, t)) {
    // The card is the whole frame; nothing in it fails the frame.
    SceneLayerInputs in;
    in.camera = camera;
    if (auto card = fillerLayer(*this, t, in)) return card->cropped(canvas);
    return cachedBackgroundImage().cropped(canvas);
  }

  auto geometry = resolveVideoFrameGeometry(t, sourceSize);
  if (!geometry || !source) return cachedBackgroundImage().cropped(canvas);

  const gfx::Image upright = uprightTrackImage(*source, metadata, m.videoPlan.cropRegion);
  const gfx::Image scaled = scaleImageWithLanczos(upright, geometry->rect);
  auto scene = composeVideoScene(t, scaled, source, *geometry, camera, metadata, true);
  if (!scene) return std::nullopt;
  return scene->cropped(canvas);
}

}  // namespace vantrel::exporter
