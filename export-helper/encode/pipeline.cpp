#include "encode/pipeline.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <tuple>

#include "render/change_tracking.h"
#include "render/frame_render.h"
#include "render/render_geometry.h"
#include "render/render_state.h"
#include "vantrel/media/bgra_to_i420.h"
#include "vantrel/media/gamut_clamp.h"

namespace vantrel::exporter {

namespace {

// A frame is rebuilt into a canvas only after the scene has held still this
// many frames, so a scene that changes now and then does not pay two extra
// compositions per change.
constexpr int kStaticFramesBeforeBuild = 2;
// Bounds the planar outputs alive at once (encoder queue, previous frame, spares).
constexpr std::size_t kMaxPlanarOutputs = 12;

struct Run {
  int row = 0, x0 = 0, x1 = 0;
  std::size_t weights = 0;  // first coverage value of the run
};

// Pixels of a plane that are neither pure video nor untouched by it: out =
// canvas + k (video - zero) / 255, where `zero` is the level of black video.
void blendRuns(std::uint8_t* plane, int stride, const std::uint8_t* canvas, int canvasStride,
               const Run* first, const Run* last, const std::vector<std::uint8_t>& k, int zero) {
  for (const Run* run = first; run != last; ++run) {
    const Run& r = *run;
    std::uint8_t* out = plane + static_cast<std::ptrdiff_t>(r.row) * stride;
    const std::uint8_t* base = canvas + static_cast<std::ptrdiff_t>(r.row) * canvasStride;
    const std::uint8_t* w = k.data() + r.weights;
    for (int x = r.x0; x < r.x1; ++x, ++w) {
      const int d = *w * (out[x] - zero);
      const int v = base[x] + (d >= 0 ? (d + 127) / 255 : -((-d + 127) / 255));
      out[x] = static_cast<std::uint8_t>(std::clamp(v, 0, 255));
    }
  }
}

double planeMse(const std::uint8_t* a, int sa, const std::uint8_t* b, int sb, int w, int h, double& count) {
  double sum = 0;
  for (int y = 0; y < h; ++y) {
    const std::uint8_t* ra = a + static_cast<std::ptrdiff_t>(y) * sa;
    const std::uint8_t* rb = b + static_cast<std::ptrdiff_t>(y) * sb;
    for (int x = 0; x < w; ++x) {
      const double d = static_cast<double>(ra[x]) - rb[x];
      sum += d * d;
    }
  }
  count += static_cast<double>(w) * h;
  return sum;
}

media::I420Buffer toI420(const media::PixelBuffer& bgra) {
  media::I420Buffer out(bgra.width(), bgra.height());
  media::convertBgraToI420Bt709(bgra.data(), bgra.stride(), bgra.width(), bgra.height(),
                                media::I420Planes{out.y.data(), out.strideY, out.u.data(), out.strideU, out.v.data(),
                                                  out.strideV});
  return out;
}

// The luma rows, widened to whole row pairs, where two equally sized pictures
// differ in any plane; empty when they are identical.
RowBand changedRowPairs(const media::I420Buffer& a, const media::I420Buffer& b) {
  const int cw = (a.width + 1) / 2, ch = (a.height + 1) / 2;
  RowBand band = changedRows(a.y.data(), a.strideY, b.y.data(), b.strideY, a.width, a.height);
  for (const RowBand c : {changedRows(a.u.data(), a.strideU, b.u.data(), b.strideU, cw, ch),
                          changedRows(a.v.data(), a.strideV, b.v.data(), b.strideV, cw, ch)}) {
    if (c.empty()) continue;
    if (band.empty()) band = RowBand{2 * c.begin, 2 * c.end};
    band.begin = std::min(band.begin, 2 * c.begin);
    band.end = std::max(band.end, 2 * c.end);
  }
  if (band.empty()) return band;
  return RowBand{band.begin & ~1, std::min((band.end + 1) & ~1, a.height)};
}

// The columns of the rows that changed (see changedRowPairs), widened to
// whole 2x2 blocks.
SourceArea changedArea(const media::I420Buffer& a, const media::I420Buffer& b, RowBand rows) {
  const int cw = (a.width + 1) / 2;
  auto [first, end] = changedColumns(a.y.data(), a.strideY, b.y.data(), b.strideY, a.width, rows.begin, rows.end);
  for (const auto& [pa, sa, pb, sb] : {std::tuple{a.u.data(), a.strideU, b.u.data(), b.strideU},
                                       std::tuple{a.v.data(), a.strideV, b.v.data(), b.strideV}}) {
    const auto c = changedColumns(pa, sa, pb, sb, cw, rows.begin / 2, (rows.end + 1) / 2);
    if (c.first >= c.second) continue;
    if (first >= end) first = 2 * c.first, end = 2 * c.second;
    first = std::min(first, 2 * c.first);
    end = std::max(end, 2 * c.second);
  }
  return {rows, first & ~1, std::min((end + 1) & ~1, a.width)};
}

// Blends only the runs' pixels on rows [rowBegin, rowEnd) and columns [colBegin, colEnd).
void blendRunsInRect(std::uint8_t* plane, int stride, const std::uint8_t* canvas, int canvasStride,
                     const std::vector<Run>& runs, const std::vector<std::uint8_t>& k, int zero, int rowBegin,
                     int rowEnd, int colBegin, int colEnd) {
  // Runs are stored row by row, top to bottom.
  auto first = std::lower_bound(runs.begin(), runs.end(), rowBegin, [](const Run& r, int row) { return r.row < row; });
  auto last = std::lower_bound(first, runs.end(), rowEnd, [](const Run& r, int row) { return r.row < row; });
  for (auto it = first; it != last; ++it) {
    Run r = *it;
    const int x0 = std::max(r.x0, colBegin), x1 = std::min(r.x1, colEnd);
    if (x0 >= x1) continue;
    r.weights += static_cast<std::size_t>(x0 - r.x0);
    r.x0 = x0;
    r.x1 = x1;
    blendRuns(plane, stride, canvas, canvasStride, &r, &r + 1, k, zero);
  }
}

}  // namespace

double i420Psnr(const media::I420Buffer& a, const media::I420Buffer& b) {
  if (a.width != b.width || a.height != b.height) return 0;
  const int cw = (a.width + 1) / 2, ch = (a.height + 1) / 2;
  double count = 0;
  const double sum = planeMse(a.y.data(), a.strideY, b.y.data(), b.strideY, a.width, a.height, count) +
                     planeMse(a.u.data(), a.strideU, b.u.data(), b.strideU, cw, ch, count) +
                     planeMse(a.v.data(), a.strideV, b.v.data(), b.strideV, cw, ch, count);
  if (sum == 0 || count == 0) return 99;
  return 10 * std::log10(255.0 * 255.0 / (sum / count));
}

struct FramePipeline::Canvas {
  std::uint64_t generation = 0;
  int sourceWidth = 0, sourceHeight = 0;
  media::I420Buffer planes;  // the scene over an all-black video
  std::optional<media::PlaneResampler> y, u, v;
  std::vector<Run> lumaRuns, chromaRuns;
  std::vector<std::uint8_t> lumaK, chromaK;
};

FramePipeline::FramePipeline(media::Compositor compositor, std::shared_ptr<NativeRenderState> state, int renderWidth,
                             int renderHeight, bool allowPlanar)
    : compositor_(std::move(compositor)),
      state_(std::move(state)),
      width_(renderWidth),
      height_(renderHeight),
      allowPlanar_(allowPlanar && state_ != nullptr),
      outputPool_(media::FramePool::create(renderWidth, renderHeight)) {
  staticThroughout_ = allowPlanar_ && sceneIsStaticThroughout();
}

FramePipeline::~FramePipeline() = default;

// A sufficient condition known before the first frame: nothing in the export
// can move, so no frame needs asking the scene.
bool FramePipeline::sceneIsStaticThroughout() const {
  const NativeRenderState& s = *state_;
  const auto& m = s.manifest();
  const auto& summary = s.inputs().renderableOverlaySummary;
  const bool annotations = m.overlayPlan.annotationData && !m.overlayPlan.annotationData->strokes.empty();
  return s.zoomRuntime() == nullptr && !s.cursorRuntimeEnabled() && !s.videoStyleRuntime().hasFrames() &&
         !summary.hasImageOverlays && !summary.hasTextOverlays && !summary.hasBlurOverlays && !annotations &&
         m.overlayPlan.subtitleCaptions.empty() && m.overlayPlan.fillerBlocks.empty() &&
         m.cameraPlan.cameraSegments.empty() && m.videoPlan.segments.size() == 1;
}

bool FramePipeline::sceneChanged(double t) {
  bool changed = !staticThroughout_;
  if (previousTime_ && changed) changed = state_->sceneChangesBetween(*previousTime_, t);
  previousTime_ = t;
  return changed;
}

PipelineFrame FramePipeline::regular(const media::CompositionRequest& request) {
  const media::CompositionRequest* use = &request;
  media::CompositionRequest converted;
  for (std::size_t i = 0; i < request.sources.size(); ++i) {
    const auto& s = request.sources[i];
    if (s.frame || !s.i420) continue;
    if (use == &request) converted = request, use = &converted;
    std::shared_ptr<media::PixelBuffer> bgra;
    if (!sourcePool_ || sourcePool_->width() != s.i420->width || sourcePool_->height() != s.i420->height) {
      sourcePool_ = media::FramePool::create(s.i420->width, s.i420->height);
    }
    bgra = sourcePool_->acquire();
    media::convertI420ToBgraBt709(*s.i420, *bgra);
    converted.sources[i].frame = std::move(bgra);
    converted.sources[i].i420.reset();
  }
  auto out = outputPool_->acquire();
  ComposedFrameHistory* history = state_ ? &composedFrameHistory(*state_) : nullptr;
  const std::int64_t reusedBefore = history ? history->reusedFrames : 0;
  compositor_(*use, *out);
  // The compositor handed over the frame it composed last; that is the frame
  // returned last when that one came from the compositor too.
  const bool repeats = history && history->reusedFrames > reusedBefore && lastWasRegular_;
  return {out, nullptr, repeats};
}

std::unique_ptr<FramePipeline::Canvas> FramePipeline::buildCanvas(const media::CompositionRequest& request) {
  if (request.sources.size() != 1) return nullptr;
  const media::SourceFrame& base = request.sources[0];
  if (!base.i420 || !base.preferredTransform.isIdentity()) return nullptr;
  const auto& m = state_->manifest();
  const double t = request.outputTime.seconds();
  if (resolveActiveFillerBlock(m.overlayPlan.fillerBlocks, t)) return nullptr;
  if (resolveActiveVideoSegment(m.videoPlan.segments, t) == nullptr) return nullptr;
  const VideoTrackMetadata& metadata = state_->activeSourceMetadata(t);
  const int w = base.i420->width, h = base.i420->height;
  if (std::abs(metadata.displaySize.width - w) > 0.5 || std::abs(metadata.displaySize.height - h) > 0.5) return nullptr;
  const auto& crop = m.videoPlan.cropRegion;
  const auto geometry = state_->resolveVideoFrameGeometry(t, croppedSourceDisplaySize(metadata, crop));
  if (!geometry) return nullptr;

  // The source (after the crop) is scaled onto the rectangle; in rows counted
  // from the top, the rectangle starts at height - maxY.
  const double cx = crop ? crop->x * w : 0, cy = crop ? crop->y * h : 0;
  const double cw = crop ? std::max(crop->width * w, 1.0) : w, ch = crop ? std::max(crop->height * h, 1.0) : h;
  const auto& R = geometry->rect;
  const double sx = R.width / cw, sy = R.height / ch;
  const double top = height_ - R.maxY();
  const double ox = R.minX() - sx * cx, oy = top - sy * cy;
  auto span = [](double lo, double hi, int limit, int& start, int& count) {
    if (!std::isfinite(lo) || !std::isfinite(hi)) return false;
    start = static_cast<int>(std::clamp(std::floor(lo), 0.0, static_cast<double>(limit)));
    count = static_cast<int>(std::clamp(std::ceil(hi), 0.0, static_cast<double>(limit))) - start;
    return count > 0;
  };
  const int W2 = (width_ + 1) / 2, H2 = (height_ + 1) / 2;
  media::PlaneAxis lx{w, 0, 0, sx, ox}, ly{h, 0, 0, sy, oy};
  media::PlaneAxis cxa{(w + 1) / 2, 0, 0, sx, ox, w}, cya{(h + 1) / 2, 0, 0, sy, oy, h};
  if (!span(R.minX(), R.maxX(), width_, lx.outStart, lx.outCount) ||
      !span(top, top + R.height, height_, ly.outStart, ly.outCount) ||
      !span(R.minX() / 2, R.maxX() / 2, W2, cxa.outStart, cxa.outCount) ||
      !span(top / 2, (top + R.height) / 2, H2, cya.outStart, cya.outCount)) {
    return nullptr;
  }

  auto canvas = std::make_unique<Canvas>();
  try {
    canvas->y.emplace(lx, ly, media::PlaneFilter::lanczos3, 16, 235);
    canvas->u.emplace(cxa, cya, media::PlaneFilter::lanczos3, 16, 240);
    canvas->v.emplace(cxa, cya, media::PlaneFilter::lanczos3, 16, 240);
  } catch (const media::MediaError&) {
    return nullptr;  // geometry out of bounds: the regular path draws it
  }
  canvas->sourceWidth = w;
  canvas->sourceHeight = h;

  // The scene over a black and over a white video: their difference is how
  // much of the video each pixel shows.
  auto over = [&](std::uint8_t level) {
    auto source = std::make_shared<media::PixelBuffer>(w, h);
    source->fill(level, level, level, 255);
    media::CompositionRequest r = request;
    r.sources[0].frame = std::move(source);
    r.sources[0].i420.reset();
    auto out = std::make_unique<media::PixelBuffer>(width_, height_);
    compositor_(r, *out);
    return out;
  };
  // The two probes are not frames of the export: they stay out of the
  // compositor's frame-to-frame history (which then starts afresh).
  const bool tracking = composedFrameHistory(*state_).enabled;
  setChangeTracking(*state_, false);
  std::unique_ptr<media::PixelBuffer> black, white;
  try {
    black = over(0);
    white = over(255);
  } catch (...) {
    setChangeTracking(*state_, tracking);
    throw;
  }
  setChangeTracking(*state_, tracking);
  canvas->planes = toI420(*black);

  std::vector<std::uint8_t> k(static_cast<std::size_t>(width_) * height_);
  std::vector<std::uint8_t> pure(k.size());
  const int x0 = lx.outStart, x1 = lx.outStart + lx.outCount, y0 = ly.outStart, y1 = ly.outStart + ly.outCount;
  for (int y = 0; y < height_; ++y) {
    const std::uint8_t* b = black->row(y);
    const std::uint8_t* wh = white->row(y);
    const bool rowInside = y >= y0 && y < y1;
    for (int x = 0; x < width_; ++x) {
      const int d = std::clamp(static_cast<int>(wh[4 * x + 1]) - b[4 * x + 1], 0, 255);
      const std::size_t at = static_cast<std::size_t>(y) * width_ + x;
      // Video showing outside the rectangle means the scene is not the one
      // modelled here (a zoom, a warp): leave it to the regular path.
      if (d > 2 && !(rowInside && x >= x0 && x < x1)) return nullptr;
      k[at] = static_cast<std::uint8_t>(d);
      pure[at] = d == 255 && b[4 * x] == 0 && b[4 * x + 1] == 0 && b[4 * x + 2] == 0;
    }
  }
  for (int y = y0; y < y1; ++y) {
    for (int x = x0; x < x1;) {
      const std::size_t at = static_cast<std::size_t>(y) * width_;
      if (pure[at + x]) {
        ++x;
        continue;
      }
      Run r{y, x, x, canvas->lumaK.size()};
      while (x < x1 && !pure[at + x]) canvas->lumaK.push_back(k[at + x]), ++x;
      r.x1 = x;
      canvas->lumaRuns.push_back(r);
    }
  }
  const int c0 = cxa.outStart, c1 = cxa.outStart + cxa.outCount;
  for (int y = cya.outStart; y < cya.outStart + cya.outCount; ++y) {
    for (int x = c0; x < c1;) {
      int sum = 0;
      bool allPure = true;
      for (int j = 0; j < 2; ++j) {
        for (int i = 0; i < 2; ++i) {
          const int px = std::min(2 * x + i, width_ - 1), py = std::min(2 * y + j, height_ - 1);
          const std::size_t at = static_cast<std::size_t>(py) * width_ + px;
          sum += k[at];
          allPure = allPure && pure[at];
        }
      }
      if (allPure) {
        ++x;
        continue;
      }
      if (canvas->chromaRuns.empty() || canvas->chromaRuns.back().row != y || canvas->chromaRuns.back().x1 != x) {
        canvas->chromaRuns.push_back(Run{y, x, x, canvas->chromaK.size()});
      }
      canvas->chromaK.push_back(static_cast<std::uint8_t>((sum + 2) / 4));
      canvas->chromaRuns.back().x1 = ++x;
    }
  }
  canvas->generation = ++canvasGenerations_;
  ++stats_.canvasBuilds;
  return canvas;
}

std::shared_ptr<media::I420Buffer> FramePipeline::planar(const media::SourceFrame& base,
                                                          std::optional<SourceArea> changed) {
  const Canvas& c = *canvas_;
  PlanarOutput* slot = nullptr;
  PlanarOutput spare;
  for (auto& b : planarPool_) {
    if (b.buffer.use_count() == 1) {
      slot = &b;
      break;
    }
  }
  if (slot == nullptr) {
    spare.buffer = std::make_shared<media::I420Buffer>();
    if (planarPool_.size() < kMaxPlanarOutputs) {
      planarPool_.push_back(spare);
      slot = &planarPool_.back();
    } else {
      slot = &spare;
    }
  }
  // A buffer keeps the canvas from its last use: only the video rectangle is
  // written again, unless the canvas changed since.
  std::shared_ptr<media::I420Buffer> out = slot->buffer;
  const media::I420Buffer& src = gamut_;
  const std::uint64_t serial = ++serial_;
  OutputChange& change = changes_[serial % kKeptChanges];
  if (changed && previousOutput_) {
    // Only a box of the source changed: the previous output stands, except
    // for the pixels whose filter taps read the box. gamut_ still holds the
    // previous source, so only the box is clamped again.
    catchUp(*slot, c.generation);
    slot->generation = c.generation;
    slot->serial = serial;
    const int r0 = changed->rows.begin, r1 = changed->rows.end, c0 = changed->colBegin, c1 = changed->colEnd;
    media::clampI420ToRgbGamutBt709(*base.i420, gamut_, r0, r1, c0, c1);
    const auto lumaRows = c.y->rowsReading(r0, r1), lumaCols = c.y->columnsReading(c0, c1);
    const auto chromaRows = c.u->rowsReading(r0 / 2, (r1 + 1) / 2);
    const auto chromaCols = c.u->columnsReading(c0 / 2, (c1 + 1) / 2);
    c.y->runRect(src.y.data(), src.strideY, out->y.data(), out->strideY, lumaRows.first, lumaRows.second,
                 lumaCols.first, lumaCols.second);
    c.u->runRect(src.u.data(), src.strideU, out->u.data(), out->strideU, chromaRows.first, chromaRows.second,
                 chromaCols.first, chromaCols.second);
    c.v->runRect(src.v.data(), src.strideV, out->v.data(), out->strideV, chromaRows.first, chromaRows.second,
                 chromaCols.first, chromaCols.second);
    blendRunsInRect(out->y.data(), out->strideY, c.planes.y.data(), c.planes.strideY, c.lumaRuns, c.lumaK, 16,
                    lumaRows.first, lumaRows.second, lumaCols.first, lumaCols.second);
    blendRunsInRect(out->u.data(), out->strideU, c.planes.u.data(), c.planes.strideU, c.chromaRuns, c.chromaK, 128,
                    chromaRows.first, chromaRows.second, chromaCols.first, chromaCols.second);
    blendRunsInRect(out->v.data(), out->strideV, c.planes.v.data(), c.planes.strideV, c.chromaRuns, c.chromaK, 128,
                    chromaRows.first, chromaRows.second, chromaCols.first, chromaCols.second);
    change = {serial, c.generation, previousSerial_,
              Box{lumaCols.first, lumaCols.second, lumaRows.first, lumaRows.second},
              Box{chromaCols.first, chromaCols.second, chromaRows.first, chromaRows.second}};
    return out;
  }
  if (slot->generation != c.generation) {
    *out = c.planes;
    slot->generation = c.generation;
  }
  slot->serial = serial;
  // Everything else is the canvas, the same in every output of it.
  const auto boxOf = [](const media::PlaneResampler& r) {
    return Box{r.xAxis().outStart, r.xAxis().outStart + r.xAxis().outCount, r.yAxis().outStart,
               r.yAxis().outStart + r.yAxis().outCount};
  };
  change = {serial, c.generation, 0, boxOf(*c.y), boxOf(*c.u)};
  // What the regular path scales is the decoded frame after its trip to RGB:
  // colours outside what RGB holds (common when a recording's matrix is not
  // the one it was encoded with, and at the edges of saturated colours after
  // chroma subsampling) are clipped there, so they are here too.
  if (gamut_.width != base.i420->width || gamut_.height != base.i420->height) {
    gamut_ = media::I420Buffer(base.i420->width, base.i420->height);
  }
  media::clampI420ToRgbGamutBt709(*base.i420, gamut_, 0, base.i420->height);
  c.y->run(src.y.data(), src.strideY, out->y.data(), out->strideY);
  c.u->run(src.u.data(), src.strideU, out->u.data(), out->strideU);
  c.v->run(src.v.data(), src.strideV, out->v.data(), out->strideV);
  blendRuns(out->y.data(), out->strideY, c.planes.y.data(), c.planes.strideY, c.lumaRuns.data(),
            c.lumaRuns.data() + c.lumaRuns.size(), c.lumaK, 16);
  blendRuns(out->u.data(), out->strideU, c.planes.u.data(), c.planes.strideU, c.chromaRuns.data(),
            c.chromaRuns.data() + c.chromaRuns.size(), c.chromaK, 128);
  blendRuns(out->v.data(), out->strideV, c.planes.v.data(), c.planes.strideV, c.chromaRuns.data(),
            c.chromaRuns.data() + c.chromaRuns.size(), c.chromaK, 128);
  return out;
}

// Makes `slot` hold previousOutput_: by copying the boxes that changed since
// the output it holds when the chain of changes back to it is known and within
// one canvas, else whole.
void FramePipeline::catchUp(PlanarOutput& slot, std::uint64_t generation) {
  media::I420Buffer& out = *slot.buffer;
  const media::I420Buffer& latest = *previousOutput_;
  bool known = slot.generation == generation && slot.serial != 0 && slot.serial <= previousSerial_ &&
               previousSerial_ - slot.serial < kKeptChanges && out.width == latest.width &&
               out.height == latest.height;
  for (std::uint64_t s = slot.serial + 1; known && s <= previousSerial_; ++s) {
    const OutputChange& c = changes_[s % kKeptChanges];
    known = c.serial == s && c.generation == generation && (c.basedOn == 0 || c.basedOn == s - 1);
  }
  if (!known) {
    out = latest;
    return;
  }
  const auto copyBox = [](const std::vector<std::uint8_t>& from, std::vector<std::uint8_t>& to, int stride,
                          const Box& b) {
    for (int y = b.y0; y < b.y1; ++y) {
      const std::size_t at = static_cast<std::size_t>(y) * stride + b.x0;
      std::memcpy(to.data() + at, from.data() + at, static_cast<std::size_t>(b.x1 - b.x0));
    }
  };
  for (std::uint64_t s = slot.serial + 1; s <= previousSerial_; ++s) {
    const OutputChange& c = changes_[s % kKeptChanges];
    copyBox(latest.y, out.y, latest.strideY, c.luma);
    copyBox(latest.u, out.u, latest.strideU, c.chroma);
    copyBox(latest.v, out.v, latest.strideV, c.chroma);
  }
}

PipelineFrame FramePipeline::compose(const media::CompositionRequest& request) {
  PipelineFrame frame = composeFrame(request);
  lastWasRegular_ = frame.bgra != nullptr;
  return frame;
}

PipelineFrame FramePipeline::composeFrame(const media::CompositionRequest& request) {
  if (!allowPlanar_) {
    ++stats_.regularFrames;
    return regular(request);
  }
  const bool changed = sceneChanged(request.outputTime.seconds());
  const media::SourceFrame* base = request.sources.empty() ? nullptr : &request.sources[0];
  if (changed) {
    canvas_.reset();
    canvasRefused_ = false;
    staticRun_ = 0;
  } else {
    ++staticRun_;
  }
  const bool canvasFits = canvas_ && base && base->i420 && base->i420->width == canvas_->sourceWidth &&
                          base->i420->height == canvas_->sourceHeight && request.sources.size() == 1 &&
                          base->preferredTransform.isIdentity();
  if (canvasFits) {
    // Frames made without the compositor still move the layers' frame-to-frame
    // state (the cursor's sway), so that later composed frames match a full
    // composition of every frame.
    state_->advanceFrameState(request.outputTime.seconds(), true);
    // previousOutput_ is only ever a planar output of this canvas, and gamut_
    // then holds previousSource_ clamped: the base for reuse and band updates.
    std::optional<SourceArea> band;
    if (previousOutput_ && previousSource_) {
      const RowBand rows =
          base->i420 == previousSource_ ? RowBand{} : changedRowPairs(*base->i420, *previousSource_);
      if (rows.empty()) {
        ++stats_.reusedFrames;
        previousSource_ = base->i420;
        return {nullptr, previousOutput_, true};
      }
      if (bandUpdates_) {
        const SourceArea area = changedArea(*base->i420, *previousSource_, rows);
        // Past three quarters of the picture, copying the rest costs more than it saves.
        const auto changedPixels = static_cast<std::int64_t>(area.rows.end - area.rows.begin) *
                                   (area.colEnd - area.colBegin);
        if (4 * changedPixels <= 3 * static_cast<std::int64_t>(base->i420->width) * base->i420->height) band = area;
      }
    }
    if (band) ++stats_.bandFrames;
    auto out = planar(*base, band);
    previousSource_ = base->i420;
    previousOutput_ = out;
    previousSerial_ = serial_;
    ++stats_.planarFrames;
    return {nullptr, out};
  }
  previousOutput_.reset();
  previousSource_.reset();
  if (!stats_.planarRefused && !canvasRefused_ && !changed &&
      (staticThroughout_ || staticRun_ >= kStaticFramesBeforeBuild)) {
    canvas_ = buildCanvas(request);
    // A scene that cannot be a canvas (video outside its rectangle in a held
    // zoom, a rotated source) stays so until it changes: building costs two
    // full compositions, not to be paid on every still frame.
    canvasRefused_ = canvas_ == nullptr;
    if (canvas_) {
      // Checked once against the regular path on this very frame.
      auto planes = planar(*base, std::nullopt);
      PipelineFrame reference = regular(request);
      const double psnr = i420Psnr(*planes, toI420(*reference.bgra));
      if (stats_.firstCheckPsnr == 0) stats_.firstCheckPsnr = psnr;
      if (psnr < kMinPlanarPsnr) {
        stats_.planarRefused = true;
        canvas_.reset();
      }
      ++stats_.regularFrames;
      return reference;
    }
  }
  ++stats_.regularFrames;
  return regular(request);
}

}  // namespace vantrel::exporter
