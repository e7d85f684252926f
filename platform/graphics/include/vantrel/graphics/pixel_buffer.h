#pragma once
// Pixel storage: premultiplied BGRA8 (4 bytes per pixel, B first in memory) or
// A8 (one coverage byte per pixel). Rows start on 64-byte boundaries and are
// stored top row first; `stride` is the distance between rows in bytes.
//
// Buffers are handed out by a BufferPool as shared_ptr: when the last
// reference goes, the memory returns to its pool (if the pool still lives)
// instead of the allocator, so a steady frame loop allocates nothing.
// A buffer is not synchronised: one writer at a time, readers after it is done.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "vantrel/graphics/color.h"

namespace vantrel::graphics {

enum class PixelFormat { bgra8, a8 };

inline int bytesPerPixel(PixelFormat f) { return f == PixelFormat::bgra8 ? 4 : 1; }

class PixelBuffer {
 public:
  // Allocates width x height pixels, cleared to zero. Sides must be > 0.
  PixelBuffer(int width, int height, PixelFormat format);
  ~PixelBuffer();
  PixelBuffer(const PixelBuffer&) = delete;
  PixelBuffer& operator=(const PixelBuffer&) = delete;

  int width() const { return width_; }
  int height() const { return height_; }
  PixelFormat format() const { return format_; }
  std::ptrdiff_t stride() const { return stride_; }
  uint8_t* data() { return data_; }
  const uint8_t* data() const { return data_; }
  uint8_t* row(int y) { return data_ + y * stride_; }
  const uint8_t* row(int y) const { return data_ + y * stride_; }
  uint32_t* pixelRow(int y) { return reinterpret_cast<uint32_t*>(row(y)); }
  const uint32_t* pixelRow(int y) const { return reinterpret_cast<const uint32_t*>(row(y)); }
  std::size_t byteSize() const { return static_cast<std::size_t>(stride_) * height_; }

  void clear();
  void fill(uint32_t premultipliedBGRA);

  ColorTags colorTags;  // meaningful for frames handed to an encoder

  static std::ptrdiff_t alignedStride(int width, PixelFormat format);

 private:
  friend class BufferPool;
  int width_, height_;
  PixelFormat format_;
  std::ptrdiff_t stride_;
  uint8_t* data_;
};

using BufferRef = std::shared_ptr<PixelBuffer>;

// Recycles buffers by (width, height, format). Thread-safe. Holds at most
// `maxIdle` idle buffers per shape; more are freed.
class BufferPool : public std::enable_shared_from_this<BufferPool> {
 public:
  static std::shared_ptr<BufferPool> create(std::size_t maxIdle = 8);
  // A buffer of the shape, cleared to zero when `cleared` (otherwise contents are stale).
  BufferRef acquire(int width, int height, PixelFormat format, bool cleared = true);
  std::size_t idleCount() const;

 private:
  explicit BufferPool(std::size_t maxIdle) : maxIdle_(maxIdle) {}
  void give(PixelBuffer* b);
  std::size_t maxIdle_;
  mutable std::mutex mutex_;
  std::vector<std::unique_ptr<PixelBuffer>> idle_;
};

// A fresh buffer that does not come from a pool.
BufferRef makeBuffer(int width, int height, PixelFormat format);

}  // namespace vantrel::graphics
