#include "encode/gif_frames.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <filesystem>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>

#include "job/job_errors.h"
#include "vantrel/graphics/gif_writer.h"

namespace vantrel::exporter {

GifWriterError GifWriterError::readerFailed(const std::string& reason) {
  return {GifWriterErrorCode::readerFailed, reason, "Unable to render GIF frames (" + reason + ")."};
}
GifWriterError GifWriterError::destinationCreationFailed() {
  return {GifWriterErrorCode::destinationCreationFailed, "", "Unable to create the GIF image destination."};
}
GifWriterError GifWriterError::missingFrameImage() {
  return {GifWriterErrorCode::missingFrameImage, "", "A composed GIF frame did not contain an image buffer."};
}
GifWriterError GifWriterError::noFrames() {
  return {GifWriterErrorCode::noFrames, "", "The GIF export produced no frames."};
}
GifWriterError GifWriterError::finalizeFailed() {
  return {GifWriterErrorCode::finalizeFailed, "", "Unable to finalize the GIF file."};
}

int gifFrameRate(std::int64_t requestedFrameRate) {
  return static_cast<int>(std::clamp<std::int64_t>(requestedFrameRate, 1, 15));
}

std::int64_t gifFrameBudget(double durationSeconds, int frameRate) {
  // Ten days at 15 fps: beyond any timeline, and far inside the integer range.
  constexpr double kMaxFrames = 15.0 * 86400 * 10;
  const double frames = std::ceil(durationSeconds * static_cast<double>(std::max(frameRate, 1)));
  if (!(frames >= 1)) return 1;  // also catches NaN
  return static_cast<std::int64_t>(std::min(frames, kMaxFrames));
}

namespace {

using Clock = std::chrono::steady_clock;

std::string orDefault(const std::string& text, const char* fallback) { return text.empty() ? fallback : text; }

// Quantises and writes frames on a thread of its own, so the next frame is
// composed while this one is encoded. At most two frames wait; add() blocks
// beyond that. The first encoder error is rethrown by add() or finish().
class GifEncodeThread {
 public:
  GifEncodeThread(graphics::GifWriter& gif, int width, int height, double delay)
      : gif_(gif), width_(width), height_(height), delay_(delay), thread_([this] { run(); }) {}
  ~GifEncodeThread() { stop(); }

  void add(const media::PixelBuffer& frame) {
    graphics::BufferRef copy;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [&] { return queue_.size() < 2 || error_; });
      if (error_) std::rethrow_exception(error_);
      if (!spare_.empty()) {
        copy = std::move(spare_.back());
        spare_.pop_back();
      }
    }
    if (!copy) copy = graphics::makeBuffer(width_, height_, graphics::PixelFormat::bgra8);
    for (int y = 0; y < height_; ++y) std::memcpy(copy->row(y), frame.row(y), static_cast<size_t>(width_) * 4);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      queue_.push_back(std::move(copy));
    }
    changed_.notify_all();
  }

  // Waits until every queued frame is written.
  void finish() {
    stop();
    if (error_) std::rethrow_exception(error_);
  }

 private:
  void stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      closed_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

  void run() {
    for (;;) {
      graphics::BufferRef frame;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return !queue_.empty() || closed_; });
        if (queue_.empty() || error_) return;
        frame = queue_.front();
      }
      try {
        gif_.addFrame(*frame, delay_);
      } catch (...) {
        std::lock_guard<std::mutex> lock(mutex_);
        error_ = std::current_exception();
      }
      {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.pop_front();
        spare_.push_back(std::move(frame));
      }
      changed_.notify_all();
    }
  }

  graphics::GifWriter& gif_;
  const int width_, height_;
  const double delay_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<graphics::BufferRef> queue_;
  std::vector<graphics::BufferRef> spare_;
  std::exception_ptr error_;
  bool closed_ = false;
  std::thread thread_;  // last: starts once everything above exists
};

}  // namespace

std::int64_t writeAnimatedGif(const media::Composition& composition, media::VideoCompositionSettings settings,
                              const media::Compositor& compositor, const std::string& outputPath, int frameRate,
                              std::int64_t estimatedFrames, ProgressReporter& reporter,
                              const std::string& helperVersion) {
  if (std::filesystem::exists(outputPath)) std::filesystem::remove(outputPath);
  if (composition.tracks(media::MediaType::video).empty()) {
    throw JobRunnerError::unsupportedScene("native_helper_missing_composition_video_track");
  }
  const int rate = std::clamp(frameRate, 1, 15);
  settings.renderWidth = std::max(settings.renderWidth, 2);
  settings.renderHeight = std::max(settings.renderHeight, 2);
  // The GIF shows every frame for 1 / rate s, so it must also sample the
  // timeline at that rate: reading at a faster composition rate would show only
  // the start of the edit, slowed down.
  settings.frameDuration = media::MediaTime(1, rate);

  // The compositor's own failure is the export's failure, with its reason code.
  std::mutex compositorErrorMutex;
  std::exception_ptr compositorError;
  media::Compositor guarded;
  if (compositor) {
    guarded = [&](const media::CompositionRequest& request, media::PixelBuffer& out) {
      try {
        compositor(request, out);
      } catch (...) {
        std::lock_guard<std::mutex> lock(compositorErrorMutex);
        if (!compositorError) compositorError = std::current_exception();
        throw;
      }
    };
  }
  media::VideoCompositionReader reader(composition, settings, guarded);

  const std::int64_t budget = std::max<std::int64_t>(estimatedFrames, 1);
  std::optional<graphics::GifWriter> gif;
  try {
    gif.emplace(outputPath, settings.renderWidth, settings.renderHeight, 0);
  } catch (const graphics::GifWriteError&) {
    throw GifWriterError::destinationCreationFailed();
  }
  const double delay = 1.0 / static_cast<double>(rate);

  try {
    reader.startReading();
  } catch (const media::MediaError& e) {
    throw GifWriterError::readerFailed(orDefault(e.what(), "reader start failed"));
  }

  GifEncodeThread encoder(*gif, settings.renderWidth, settings.renderHeight, delay);
  auto last = Clock::now();
  std::int64_t n = 0;
  while (n < budget) {
    std::optional<media::VideoFrame> frame;
    try {
      frame = reader.copyNextFrame();
    } catch (const media::MediaError& e) {
      {
        std::lock_guard<std::mutex> lock(compositorErrorMutex);
        if (compositorError) std::rethrow_exception(compositorError);
      }
      throw GifWriterError::readerFailed(orDefault(e.what(), "reader failed"));
    }
    if (!frame) break;
    const auto& picture = frame->bgra;
    if (!picture || picture->width() != settings.renderWidth || picture->height() != settings.renderHeight) {
      reader.cancelReading();
      throw GifWriterError::missingFrameImage();
    }
    encoder.add(*picture);
    ++n;
    const auto now = Clock::now();
    if (now - last >= std::chrono::milliseconds(250)) {
      const double share = std::min(static_cast<double>(n) / static_cast<double>(budget), 1.0);
      const double p = std::max(std::min(share * 0.8 + 0.12, 0.92), 0.12);
      reporter.emit(ProgressEvent{"rendering", "imageio_gif", p, "Encoding animated GIF...", helperVersion});
      last = now;
    }
    if (n % 8 == 0) std::this_thread::yield();
  }

  switch (reader.status()) {
    case media::ReaderStatus::failed:
      throw GifWriterError::readerFailed(orDefault(reader.errorText(), "reader failed"));
    case media::ReaderStatus::cancelled:
      throw std::runtime_error("The export was cancelled.");
    default:
      break;
  }
  // The budget may end the loop before the composition does; the reader then
  // simply stops with its queue.
  reader.cancelReading();
  if (n == 0) throw GifWriterError::noFrames();
  encoder.finish();
  try {
    gif->finish();
  } catch (const graphics::GifWriteError&) {
    throw GifWriterError::finalizeFailed();
  }
  return n;
}

}  // namespace vantrel::exporter
