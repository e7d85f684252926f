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

void FramePipeline::SourceTiles::mark(const media::I420Buffer& now, const media::I420Buffer& before, RowBand band) {
  columns = (now.width + kTileWidth - 1) / kTileWidth;
  rows = (now.height + kTileHeight - 1) / kTileHeight;
  flags.assign(static_cast<std::size_t>(columns) * rows, 0);
  const int cw = (now.width + 1) / 2;
  markChangedTiles(now.y.data(), now.strideY, before.y.data(), before.strideY, now.width, band.begin, band.end,
                   kTileWidth, kTileHeight, flags.data(), columns);
  for (const auto& [a, sa, b, sb] : {std::tuple{now.u.data(), now.strideU, before.u.data(), before.strideU},
                                     std::tuple{now.v.data(), now.strideV, before.v.data(), before.strideV}}) {
    markChangedTiles(a, sa, b, sb, cw, band.begin / 2, (band.end + 1) / 2, kTileWidth / 2, kTileHeight / 2,
                     flags.data(), columns);
  }
  sums.assign(static_cast<std::size_t>(columns + 1) * (rows + 1), 0);
  const auto at = [&](int c, int r) -> int& { return sums[static_cast<std::size_t>(r) * (columns + 1) + c]; };
  for (int r = 0; r < rows; ++r) {
    for (int c = 0; c < columns; ++c) {
      at(c + 1, r + 1) = flags[static_cast<std::size_t>(r) * columns + c] + at(c, r + 1) + at(c + 1, r) - at(c, r);
    }
  }
  changed = at(columns, rows);
}

bool FramePipeline::SourceTiles::any(int c0, int c1, int r0, int r1) const {
  c0 = std::max(c0, 0), r0 = std::max(r0, 0), c1 = std::min(c1, columns), r1 = std::min(r1, rows);
  if (c0 >= c1 || r0 >= r1) return false;
  const auto at = [&](int c, int r) { return sums[static_cast<std::size_t>(r) * (columns + 1) + c]; };
  return at(c1, r1) - at(c0, r1) - at(c1, r0) + at(c0, r0) > 0;
}

// Output rows go in bands of a tile's height and columns in tiles of its
// width; neighbours within a band are joined, so no source column is filtered
// twice for them.
void FramePipeline::rectsReading(const media::PlaneResampler& r, const SourceTiles& tiles, int tileWidth,
                                 int tileHeight, std::vector<Box>& out) {
  out.clear();
  const media::PlaneAxis& x = r.xAxis();
  const media::PlaneAxis& y = r.yAxis();
  const int xEnd = x.outStart + x.outCount, yEnd = y.outStart + y.outCount;
  for (int y0 = y.outStart; y0 < yEnd; y0 += tileHeight) {
    const int y1 = std::min(y0 + tileHeight, yEnd);
    const auto [s0, s1] = r.rowsReadBy(y0, y1);
    const int r0 = s0 / tileHeight, r1 = (s1 + tileHeight - 1) / tileHeight;
    if (!tiles.any(0, tiles.columns, r0, r1)) continue;
    int runStart = -1;
    for (int x0 = x.outStart; x0 < xEnd; x0 += tileWidth) {
      const int x1 = std::min(x0 + tileWidth, xEnd);
      const auto [c0, c1] = r.columnsReadBy(x0, x1);
      if (tiles.any(c0 / tileWidth, (c1 + tileWidth - 1) / tileWidth, r0, r1)) {
        if (runStart < 0) runStart = x0;
      } else if (runStart >= 0) {
        out.push_back(Box{runStart, x0, y0, y1});
        runStart = -1;
      }
    }
    if (runStart >= 0) out.push_back(Box{runStart, xEnd, y0, y1});
  }
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

std::shared_ptr<media::I420Buffer> FramePipeline::planar(const media::SourceFrame& base, const SourceTiles* changed) {
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
  change.serial = serial;
  change.generation = c.generation;
  if (changed && previousOutput_) {
    // Only some tiles of the source changed: the previous output stands,
    // except for the pixels whose filter taps read them. gamut_ still holds
    // the previous source, so only those tiles are clamped again.
    catchUp(*slot, c.generation);
    slot->generation = c.generation;
    slot->serial = serial;
    const SourceTiles& t = *changed;
    for (int r = 0; r < t.rows; ++r) {
      const std::uint8_t* row = t.flags.data() + static_cast<std::size_t>(r) * t.columns;
      for (int c0 = 0; c0 < t.columns;) {
        if (!row[c0]) {
          ++c0;
          continue;
        }
        int c1 = c0 + 1;
        while (c1 < t.columns && row[c1]) ++c1;
        media::clampI420ToRgbGamutBt709(*base.i420, gamut_, r * SourceTiles::kTileHeight,
                                        (r + 1) * SourceTiles::kTileHeight, c0 * SourceTiles::kTileWidth,
                                        c1 * SourceTiles::kTileWidth);
        c0 = c1;
      }
    }
    change.basedOn = previousSerial_;
    rectsReading(*c.y, t, SourceTiles::kTileWidth, SourceTiles::kTileHeight, change.luma);
    rectsReading(*c.u, t, SourceTiles::kTileWidth / 2, SourceTiles::kTileHeight / 2, change.chroma);
    for (const Box& b : change.luma) {
      c.y->runRect(src.y.data(), src.strideY, out->y.data(), out->strideY, b.y0, b.y1, b.x0, b.x1);
      blendRunsInRect(out->y.data(), out->strideY, c.planes.y.data(), c.planes.strideY, c.lumaRuns, c.lumaK, 16,
                      b.y0, b.y1, b.x0, b.x1);
    }
    for (const Box& b : change.chroma) {
      c.u->runRect(src.u.data(), src.strideU, out->u.data(), out->strideU, b.y0, b.y1, b.x0, b.x1);
      c.v->runRect(src.v.data(), src.strideV, out->v.data(), out->strideV, b.y0, b.y1, b.x0, b.x1);
      blendRunsInRect(out->u.data(), out->strideU, c.planes.u.data(), c.planes.strideU, c.chromaRuns, c.chromaK, 128,
                      b.y0, b.y1, b.x0, b.x1);
      blendRunsInRect(out->v.data(), out->strideV, c.planes.v.data(), c.planes.strideV, c.chromaRuns, c.chromaK, 128,
                      b.y0, b.y1, b.x0, b.x1);
    }
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
  change.basedOn = 0;
  change.luma.assign(1, boxOf(*c.y));
  change.chroma.assign(1, boxOf(*c.u));
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
  // Consecutive outputs change much the same pixels: each is copied once.
  const Canvas& c = *canvas_;
  std::vector<Box> boxes;
  unionOfChanges(slot.serial + 1, false, *c.y, SourceTiles::kTileWidth, SourceTiles::kTileHeight, boxes);
  for (const Box& b : boxes) copyBox(latest.y, out.y, latest.strideY, b);
  unionOfChanges(slot.serial + 1, true, *c.u, SourceTiles::kTileWidth / 2, SourceTiles::kTileHeight / 2, boxes);
  for (const Box& b : boxes) {
    copyBox(latest.u, out.u, latest.strideU, b);
    copyBox(latest.v, out.v, latest.strideV, b);
  }
}

// Every box of one canvas lies on the grid of cells `cellWidth` x
// `cellHeight` from the video rectangle's corner (rectsReading's bands and
// tiles, or the whole rectangle); a box off the grid would be widened to it.
void FramePipeline::unionOfChanges(std::uint64_t fromSerial, bool chroma, const media::PlaneResampler& r,
                                   int cellWidth, int cellHeight, std::vector<Box>& out) const {
  out.clear();
  const media::PlaneAxis& x = r.xAxis();
  const media::PlaneAxis& y = r.yAxis();
  const int columns = (x.outCount + cellWidth - 1) / cellWidth, rows = (y.outCount + cellHeight - 1) / cellHeight;
  if (columns <= 0 || rows <= 0) return;
  std::vector<std::uint8_t> cells(static_cast<std::size_t>(columns) * rows, 0);
  for (std::uint64_t s = fromSerial; s <= previousSerial_; ++s) {
    const OutputChange& change = changes_[s % kKeptChanges];
    for (const Box& b : chroma ? change.chroma : change.luma) {
      const int c0 = std::max((b.x0 - x.outStart) / cellWidth, 0);
      const int c1 = std::min((b.x1 - x.outStart + cellWidth - 1) / cellWidth, columns);
      const int r0 = std::max((b.y0 - y.outStart) / cellHeight, 0);
      const int r1 = std::min((b.y1 - y.outStart + cellHeight - 1) / cellHeight, rows);
      for (int row = r0; row < r1; ++row) {
        std::fill_n(cells.begin() + static_cast<std::ptrdiff_t>(row) * columns + c0, std::max(c1 - c0, 0), 1);
      }
    }
  }
  const int xEnd = x.outStart + x.outCount, yEnd = y.outStart + y.outCount;
  for (int row = 0; row < rows; ++row) {
    const std::uint8_t* line = cells.data() + static_cast<std::size_t>(row) * columns;
    for (int c0 = 0; c0 < columns;) {
      if (!line[c0]) {
        ++c0;
        continue;
      }
      int c1 = c0 + 1;
      while (c1 < columns && line[c1]) ++c1;
      out.push_back(Box{x.outStart + c0 * cellWidth, std::min(x.outStart + c1 * cellWidth, xEnd),
                        y.outStart + row * cellHeight, std::min(y.outStart + (row + 1) * cellHeight, yEnd)});
      c0 = c1;
    }
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
    bool band = false;
    if (previousOutput_ && previousSource_) {
      const RowBand rows =
          base->i420 == previousSource_ ? RowBand{} : changedRowPairs(*base->i420, *previousSource_);
      if (rows.empty()) {
        ++stats_.reusedFrames;
        previousSource_ = base->i420;
        return {nullptr, previousOutput_, true};
      }
      if (bandUpdates_) {
        sourceTiles_.mark(*base->i420, *previousSource_, rows);
        // Past three quarters of the picture, copying the rest costs more than it saves.
        band = 4 * sourceTiles_.changed <= 3 * sourceTiles_.columns * sourceTiles_.rows;
      }
    }
    if (band) ++stats_.bandFrames;
    auto out = planar(*base, band ? &sourceTiles_ : nullptr);
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
      auto planes = planar(*base, nullptr);
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
