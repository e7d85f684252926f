#include "render/frame_render.h"

#include <cstdint>
#include <cstring>

#include "job/job_errors.h"

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

}  // namespace

void renderCompositionFrame(NativeRenderState& state, const media::CompositionRequest& request,
                            media::PixelBuffer& output) {
  const auto& plan = state.inputs().performancePlan;
  const int w = static_cast<int>(plan.bufferSize.width), h = static_cast<int>(plan.bufferSize.height);
  if (w <= 0 || h <= 0 || output.width() < w || output.height() < h) {
    throw JobRunnerError::exportSessionFailed("native_compositor_no_buffer");
  }
  std::optional<gfx::Image> source;
  for (const auto& s : request.sources) {
    if (s.compositionTrackId == state.baseTrackId() && s.frame) source = frameImage(s.frame, *plan.bufferPool);
  }
  auto frame = state.composeFrame(request.outputTime.seconds(), source ? &*source : nullptr);
  if (!frame) throw JobRunnerError::exportSessionFailed("native_compositor_compose_failed");
  if (aligned64(output.data(), output.stride())) {
    state.renderer().render(*frame, output.data(), w, h, output.stride(), {0, 0});
    return;
  }
  auto target = plan.bufferPool->acquire(w, h, gfx::PixelFormat::bgra8, false);
  state.renderer().render(*frame, *target, {0, 0});
  for (int y = 0; y < h; ++y) std::memcpy(output.row(y), target->row(y), static_cast<std::size_t>(w) * 4);
}

}  // namespace vantrel::exporter
