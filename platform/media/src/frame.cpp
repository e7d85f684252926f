#include "vantrel/media/frame.h"

#include "vantrel/media/errors.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

namespace vantrel::media {

PixelBuffer::PixelBuffer(int width, int height) : width_(width), height_(height) {
  if (width <= 0 || height <= 0 || width > 16384 || height > 16384) {
    throw makeMediaError(MediaErrorCode::invalidArgument,
                         "pixel buffer size " + std::to_string(width) + "x" + std::to_string(height));
  }
  stride_ = (width * 4 + 63) / 64 * 64;
  void* p = std::aligned_alloc(64, static_cast<size_t>(stride_) * static_cast<size_t>(height));
  if (p == nullptr) throw std::bad_alloc();
  data_ = static_cast<std::uint8_t*>(p);
}

PixelBuffer::~PixelBuffer() { std::free(data_); }

void PixelBuffer::fill(std::uint8_t b, std::uint8_t g, std::uint8_t r, std::uint8_t a) {
  for (int y = 0; y < height_; ++y) {
    std::uint8_t* p = row(y);
    for (int x = 0; x < width_; ++x) {
      p[4 * x] = b;
      p[4 * x + 1] = g;
      p[4 * x + 2] = r;
      p[4 * x + 3] = a;
    }
  }
}

I420Buffer::I420Buffer(int w, int h)
    : width(w), height(h), strideY(w), strideU((w + 1) / 2), strideV((w + 1) / 2),
      y(static_cast<size_t>(w) * h), u(static_cast<size_t>(strideU) * ((h + 1) / 2)),
      v(static_cast<size_t>(strideV) * ((h + 1) / 2)) {}

std::shared_ptr<FramePool> FramePool::create(int width, int height, std::size_t maxOutstanding) {
  if (width <= 0 || height <= 0) {
    throw makeMediaError(MediaErrorCode::invalidArgument,
                         "frame pool size " + std::to_string(width) + "x" + std::to_string(height));
  }
  return std::make_shared<FramePool>(width, height, maxOutstanding);
}

FramePool::FramePool(int width, int height, std::size_t maxOutstanding)
    : width_(width), height_(height), maxOutstanding_(maxOutstanding) {}

std::shared_ptr<PixelBuffer> FramePool::wrap(std::unique_ptr<PixelBuffer> buffer) {
  std::weak_ptr<FramePool> weak = weak_from_this();
  return std::shared_ptr<PixelBuffer>(buffer.release(), [weak](PixelBuffer* b) {
    if (auto pool = weak.lock()) {
      pool->recycle(b);
    } else {
      delete b;
    }
  });
}

void FramePool::recycle(PixelBuffer* buffer) {
  {
    std::lock_guard lock(mutex_);
    free_.emplace_back(buffer);
    --outstanding_;
  }
  returned_.notify_one();
}

std::shared_ptr<PixelBuffer> FramePool::acquire() {
  std::unique_ptr<PixelBuffer> buffer;
  {
    std::unique_lock lock(mutex_);
    if (maxOutstanding_ > 0) returned_.wait(lock, [&] { return outstanding_ < maxOutstanding_; });
    ++outstanding_;
    if (!free_.empty()) {
      buffer = std::move(free_.back());
      free_.pop_back();
    }
  }
  if (!buffer) {
    try {
      buffer = std::make_unique<PixelBuffer>(width_, height_);
    } catch (...) {
      std::lock_guard lock(mutex_);
      --outstanding_;
      throw;
    }
  }
  return wrap(std::move(buffer));
}

std::shared_ptr<PixelBuffer> FramePool::tryAcquire() {
  {
    std::lock_guard lock(mutex_);
    if (maxOutstanding_ > 0 && outstanding_ >= maxOutstanding_) return nullptr;
  }
  return acquire();
}

std::size_t FramePool::outstanding() const {
  std::lock_guard lock(mutex_);
  return outstanding_;
}

}  // namespace vantrel::media
