#include "vantrel/graphics/pixel_buffer.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

namespace vantrel::graphics {

std::ptrdiff_t PixelBuffer::alignedStride(int width, PixelFormat format) {
  const std::ptrdiff_t raw = static_cast<std::ptrdiff_t>(width) * bytesPerPixel(format);
  return (raw + 63) / 64 * 64;
}

PixelBuffer::PixelBuffer(int width, int height, PixelFormat format)
    : width_(width), height_(height), format_(format), stride_(alignedStride(width, format)) {
  if (width <= 0 || height <= 0) throw std::invalid_argument("pixel buffer with a side <= 0");
  // One spare row of padding lets SIMD loops read a full vector past the last pixel.
  const std::size_t bytes = static_cast<std::size_t>(stride_) * (height + 1);
  data_ = static_cast<uint8_t*>(std::aligned_alloc(64, bytes));
  if (!data_) throw std::bad_alloc();
  std::memset(data_, 0, bytes);
}

PixelBuffer::~PixelBuffer() { std::free(data_); }

void PixelBuffer::clear() { std::memset(data_, 0, byteSize()); }

void PixelBuffer::fill(uint32_t v) {
  if (format_ == PixelFormat::a8) {
    for (int y = 0; y < height_; ++y) std::memset(row(y), static_cast<int>(v >> 24), width_);
    return;
  }
  for (int y = 0; y < height_; ++y) {
    uint32_t* p = pixelRow(y);
    for (int x = 0; x < width_; ++x) p[x] = v;
  }
}

std::shared_ptr<BufferPool> BufferPool::create(std::size_t maxIdle) {
  return std::shared_ptr<BufferPool>(new BufferPool(maxIdle));
}

BufferRef BufferPool::acquire(int width, int height, PixelFormat format, bool cleared) {
  std::unique_ptr<PixelBuffer> found;
  {
    std::lock_guard lock(mutex_);
    for (auto it = idle_.begin(); it != idle_.end(); ++it) {
      if ((*it)->width() == width && (*it)->height() == height && (*it)->format() == format) {
        found = std::move(*it);
        idle_.erase(it);
        break;
      }
    }
  }
  if (found) {
    if (cleared) found->clear();
  } else {
    found = std::make_unique<PixelBuffer>(width, height, format);
  }
  std::weak_ptr<BufferPool> weak = shared_from_this();
  return BufferRef(found.release(), [weak](PixelBuffer* b) {
    if (auto pool = weak.lock()) {
      pool->give(b);
    } else {
      delete b;
    }
  });
}

void BufferPool::give(PixelBuffer* b) {
  std::unique_ptr<PixelBuffer> owned(b);
  std::lock_guard lock(mutex_);
  std::size_t same = 0;
  for (const auto& i : idle_) {
    if (i->width() == b->width() && i->height() == b->height() && i->format() == b->format()) ++same;
  }
  if (same < maxIdle_) idle_.push_back(std::move(owned));
}

std::size_t BufferPool::idleCount() const {
  std::lock_guard lock(mutex_);
  return idle_.size();
}

BufferRef makeBuffer(int width, int height, PixelFormat format) {
  return std::make_shared<PixelBuffer>(width, height, format);
}

}  // namespace vantrel::graphics
