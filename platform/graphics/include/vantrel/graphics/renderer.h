#pragma once
// Renders image recipes into pixel buffers. Only the region asked for is
// computed; chains of transforms are folded so that a source buffer is
// resampled once; work is split into row bands over a thread pool and the
// result is byte-identical for any number of threads.
//
// A Renderer may be used from one thread at a time; use one per render queue.

#include <memory>

#include "vantrel/graphics/image.h"
#include "vantrel/graphics/thread_pool.h"

namespace vantrel::graphics {

class Renderer {
 public:
  // threads >= 1 counts the calling thread. Buffers come from `pool` (a private one when null).
  explicit Renderer(int threads = 1, std::shared_ptr<BufferPool> pool = nullptr);
  ~Renderer();

  // Renders `image` over `bounds` into `target` (premultiplied BGRA8). The
  // bounds' origin is rounded to whole pixels and its size is the target's;
  // pixels the image does not cover are cleared. The target may serve as working
  // memory during the render, so it must not be a buffer the image reads.
  void render(const Image& image, PixelBuffer& target, Point boundsOrigin);
  // A bitmap of `rect` (rounded outwards); nullptr when the rectangle is empty,
  // infinite or not finite.
  BufferRef makeBitmap(const Image& image, const Rect& rect);

  ThreadPool& pool() { return *threads_; }
  const std::shared_ptr<BufferPool>& buffers() const { return buffers_; }

 private:
  std::unique_ptr<ThreadPool> threads_;
  std::shared_ptr<BufferPool> buffers_;
};

}  // namespace vantrel::graphics
