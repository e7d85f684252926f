#include "render/frame_render.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "job/job_errors.h"
#include "render/change_tracking.h"

namespace vantrel::exporter {

namespace gfx = vantrel::graphics;

namespace {

bool aligned64(const void* p, std::ptrdiff_t stride) {
  return reinterpret_cast<std::uintptr_t>(p) % 64 == 0 && stride % 64 == 0;
}

// The decoded frame as an image over its own memory; the image keeps the
// frame alive. Frames whose rows are not 64-byte aligned (not ours) are copied.
gfx::Image frameImage(const std::shared_ptr<const media::PixelBuffer>& frame, gfx::BufferPool& pool) {
  if (aligned64(frame->data(), frame->stride()))
    return gfx::Image::fromExternalBGRA(frame->data(), frame->width(), frame->height(), frame->stride(), frame);
  auto buffer = pool.acquire(frame->width(), frame->height(), gfx::PixelFormat::bgra8, false);
  for (int y = 0; y < frame->height(); ++y)
    std::memcpy(buffer->row(y), frame->row(y), static_cast<std::size_t>(frame->width()) * 4);
  return gfx::Image::fromBuffer(std::move(buffer));
}

void renderFull(NativeRenderState& state, const gfx::Image& frame, media::PixelBuffer& output, int w, int h) {
  const auto& plan = state.inputs().performancePlan;
  if (aligned64(output.data(), output.stride())) {
    state.renderer().render(frame, output.data(), w, h, output.stride(), {0, 0});
    return;
  }
  auto target = plan.bufferPool->acquire(w, h, gfx::PixelFormat::bgra8, false);
  state.renderer().render(frame, *target, {0, 0});
  for (int y = 0; y < h; ++y) std::memcpy(output.row(y), target->row(y), static_cast<std::size_t>(w) * 4);
}

bool trackingFromEnvironment() {
  const char* value = std::getenv("VANTREL_CHANGE_TRACKING");
  return !(value && std::string_view(value) == "0");
}

// Source rows that differ from the kept frame's; every row when the two
// cannot be compared (a frame appearing or going, another size).
RowBand changedSourceRows(const ComposedFrameHistory& history, const std::shared_ptr<const media::PixelBuffer>& now) {
  const auto& before = history.source;
  if (!before && !now) return {};
  if (!before || !now) return {0, INT32_MAX};
  if (before == now) return {};  // the decoder handed the same frame again
  if (before->width() != now->width() || before->height() != now->height()) return {0, INT32_MAX};
  return changedRows(before->data(), before->stride(), now->data(), now->stride(), now->width() * 4, now->height());
}

// The differing rows inside `hull` (where the first and last differing rows
// are) as runs; runs closer than the resampling margins would merge after
// mapping anyway, so they are joined here already.
std::vector<RowBand> changedSourceRuns(const media::PixelBuffer& before, const media::PixelBuffer& now, RowBand hull) {
  constexpr int kJoinGap = 32;
  const auto n = static_cast<std::size_t>(now.width()) * 4;
  std::vector<RowBand> runs;
  for (int y = hull.begin; y < hull.end; ++y) {
    if (std::memcmp(before.row(y), now.row(y), n) == 0) continue;
    if (!runs.empty() && y - runs.back().end < kJoinGap) {
      runs.back().end = y + 1;
    } else {
      runs.push_back({y, y + 1});
    }
  }
  return runs;
}

// Output bands the source runs can reach, sorted and merged; nothing when one
// of them cannot be bounded.
std::optional<std::vector<RowBand>> outputBands(NativeRenderState& state, double t, const gfx::Image& source,
                                                const std::vector<RowBand>& runs) {
  std::vector<RowBand> bands;
  for (const RowBand& run : runs) {
    const auto band = state.outputRowsForSourceRows(t, source, run);
    if (!band) return std::nullopt;
    if (!band->empty()) bands.push_back(*band);
  }
  std::sort(bands.begin(), bands.end(), [](const RowBand& a, const RowBand& b) { return a.begin < b.begin; });
  std::vector<RowBand> merged;
  for (const RowBand& band : bands) {
    if (!merged.empty() && band.begin <= merged.back().end) {
      merged.back().end = std::max(merged.back().end, band.end);
    } else {
      merged.push_back(band);
    }
  }
  return merged;
}

}  // namespace

ComposedFrameHistory& composedFrameHistory(NativeRenderState& state) {
  auto& slot = state.frameHistory();
  if (!slot) {
    slot = std::make_shared<ComposedFrameHistory>();
    slot->enabled = trackingFromEnvironment();
  }
  return *slot;
}

void setChangeTracking(NativeRenderState& state, bool enabled) {
  composedFrameHistory(state).enabled = enabled;
}

void renderCompositionFrame(NativeRenderState& state, const media::CompositionRequest& request,
                            media::PixelBuffer& output) {
  const auto& plan = state.inputs().performancePlan;
  const int w = static_cast<int>(plan.bufferSize.width), h = static_cast<int>(plan.bufferSize.height);
  if (w <= 0 || h <= 0 || output.width() < w || output.height() < h) {
    throw JobRunnerError::exportSessionFailed("native_compositor_no_buffer");
  }
  std::shared_ptr<const media::PixelBuffer> sourceFrame;
  std::optional<gfx::Image> source;
  for (const auto& s : request.sources) {
    if (s.compositionTrackId == state.baseTrackId() && s.frame) {
      sourceFrame = s.frame;
      source = frameImage(s.frame, *plan.bufferPool);
    }
  }
  const double t = request.outputTime.seconds();
  ComposedFrameHistory& history = composedFrameHistory(state);

  // Asked before composing: families that carry state between frames (the
  // cursor's sway) must be read as the last composed frame left them.
  RowBand changed{0, INT32_MAX};
  bool sceneChanged = true;
  if (history.enabled && history.valid) {
    changed = changedSourceRows(history, sourceFrame);
    sceneChanged = state.sceneChangesBetween(history.time, t);
  }
  // Composed even when it is not drawn: building the recipe is cheap and
  // keeps every layer's frame-to-frame state where full rendering has it.
  auto frame = state.composeFrame(t, source ? &*source : nullptr);
  if (!frame) throw JobRunnerError::exportSessionFailed("native_compositor_compose_failed");

  if (!history.enabled) {
    renderFull(state, *frame, output, w, h);
    history.lastChangedRows = {0, h};
    return;
  }

  // Output rows to compute again, sorted and apart; nothing: all of them.
  std::optional<std::vector<RowBand>> bands;
  if (history.valid && !sceneChanged) {
    if (changed.empty()) {
      bands.emplace();
    } else if (source && changed.end <= source->extent().height) {
      bands = outputBands(state, t, *source, changedSourceRuns(*history.source, *sourceFrame, changed));
    }
  }
  if (!history.output || history.output->width() != w || history.output->height() != h ||
      !aligned64(history.output->data(), history.output->stride())) {
    history.output = plan.bufferPool->acquire(w, h, gfx::PixelFormat::bgra8, false);
    bands.reset();
  }
  gfx::PixelBuffer& kept = *history.output;
  if (!bands) {
    state.renderer().render(*frame, kept.data(), w, h, kept.stride(), {0, 0});
    ++history.fullFrames;
    history.lastChangedRows = {0, h};
  } else if (!bands->empty()) {
    for (const RowBand& band : *bands) {
      state.renderer().render(*frame, kept.row(band.begin), w, band.end - band.begin, kept.stride(),
                              {0, static_cast<double>(h - band.end)});
      history.bandRows += band.end - band.begin;
    }
    ++history.bandFrames;
    history.lastChangedRows = {bands->front().begin, bands->back().end};
  } else {
    ++history.reusedFrames;
    history.lastChangedRows = {};
  }
  for (int y = 0; y < h; ++y) std::memcpy(output.row(y), kept.row(y), static_cast<std::size_t>(w) * 4);
  state.noteKeptFrame();
  history.valid = true;
  history.time = t;
  history.source = std::move(sourceFrame);
}

}  // namespace vantrel::exporter
