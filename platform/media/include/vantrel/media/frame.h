#pragma once
// Picture buffers exchanged with the rest of the system: premultiplied BGRA8
// (bytes B, G, R, A in memory; rows `stride` bytes apart, 64-byte aligned) and
// planar I420. A buffer taken from a FramePool goes back to the pool when the
// last shared_ptr to it is dropped, on whatever thread that happens.

#include "vantrel/media/media_time.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace vantrel::media {

class PixelBuffer {
 public:
  // A standalone buffer (not pooled). Contents are uninitialised.
  PixelBuffer(int width, int height);
  ~PixelBuffer();
  PixelBuffer(const PixelBuffer&) = delete;
  PixelBuffer& operator=(const PixelBuffer&) = delete;

  int width() const { return width_; }
  int height() const { return height_; }
  int stride() const { return stride_; }  // bytes per row
  std::uint8_t* data() { return data_; }
  const std::uint8_t* data() const { return data_; }
  std::uint8_t* row(int y) { return data_ + static_cast<std::ptrdiff_t>(y) * stride_; }
  const std::uint8_t* row(int y) const { return data_ + static_cast<std::ptrdiff_t>(y) * stride_; }
  void fill(std::uint8_t b, std::uint8_t g, std::uint8_t r, std::uint8_t a);

 private:
  int width_, height_, stride_;
  std::uint8_t* data_;
};

struct I420Buffer {
  int width = 0, height = 0;
  int strideY = 0, strideU = 0, strideV = 0;
  std::vector<std::uint8_t> y, u, v;

  I420Buffer() = default;
  I420Buffer(int w, int h);  // chroma planes are ceil(w/2) x ceil(h/2)
};

// Recycles BGRA buffers of one size. `maxOutstanding` > 0 bounds how many may
// be in use at once: acquire() then blocks until one comes back, which is what
// keeps a decode-ahead pipeline's memory flat. Thread-safe.
class FramePool : public std::enable_shared_from_this<FramePool> {
 public:
  static std::shared_ptr<FramePool> create(int width, int height, std::size_t maxOutstanding = 0);

  std::shared_ptr<PixelBuffer> acquire();
  // Nothing when `maxOutstanding` buffers are already out.
  std::shared_ptr<PixelBuffer> tryAcquire();
  int width() const { return width_; }
  int height() const { return height_; }
  std::size_t outstanding() const;

  FramePool(int width, int height, std::size_t maxOutstanding);

 private:
  std::shared_ptr<PixelBuffer> wrap(std::unique_ptr<PixelBuffer> buffer);
  void recycle(PixelBuffer* buffer);

  int width_, height_;
  std::size_t maxOutstanding_;
  mutable std::mutex mutex_;
  std::condition_variable returned_;
  std::vector<std::unique_ptr<PixelBuffer>> free_;
  std::size_t outstanding_ = 0;
};

// A decoded picture with its timing. Exactly one of `bgra` / `i420` is set.
// A reader may reuse a buffer once every VideoFrame holding it is gone.
struct VideoFrame {
  MediaTime presentationTime = MediaTime::invalid();
  MediaTime duration = MediaTime::invalid();
  std::shared_ptr<PixelBuffer> bgra;
  std::shared_ptr<I420Buffer> i420;
};

}  // namespace vantrel::media
