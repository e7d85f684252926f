#include "vantrel/desktop/microphone_capture.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <thread>
#include <vector>

namespace vantrel::desktop {

double SampleClock::place(int frames, double arrival) {
  constexpr double kLostThreshold = 0.25;  // seconds
  constexpr double kWindow = 1.0;
  const double duration = static_cast<double>(frames) / rate_;
  if (!anchored_) {
    anchored_ = true;
    anchor_ = arrival - duration;
    position_ = 0;
    windowStart_ = arrival;
    windowMinLag_ = std::numeric_limits<double>::infinity();
  }
  double t = anchor_ + static_cast<double>(position_) / rate_;
  const double lag = arrival - (t + duration);
  windowMinLag_ = std::min(windowMinLag_, lag);
  if (lag < -kLostThreshold) {
    // More samples than time has passed: the source runs ahead of the clock.
    anchor_ += lag;
    t += lag;
    windowMinLag_ = 0;
  } else if (arrival - windowStart_ >= kWindow) {
    // Even the most punctual buffer of the last second came late: samples
    // were lost, so what follows belongs later.
    if (windowMinLag_ > kLostThreshold) {
      anchor_ += windowMinLag_;
      t += windowMinLag_;
    }
    windowStart_ = arrival;
    windowMinLag_ = std::numeric_limits<double>::infinity();
  }
  position_ += frames;
  return t;
}

struct MicrophoneCapture::Impl {
  pa_threaded_mainloop* loop = nullptr;
  pa_context* context = nullptr;
  pa_stream* stream = nullptr;
  std::string sourceName;
  MicrophoneHandler handler;
  int rate = 48000;
  int channels = 1;
  bool found = false;
  bool queried = false;
  SampleClock clock{48000};
  std::vector<float> carry;

  ~Impl() {
    if (loop != nullptr) pa_threaded_mainloop_stop(loop);
    if (stream != nullptr) {
      pa_stream_disconnect(stream);
      pa_stream_unref(stream);
    }
    if (context != nullptr) {
      pa_context_disconnect(context);
      pa_context_unref(context);
    }
    if (loop != nullptr) pa_threaded_mainloop_free(loop);
  }

  std::string contextError() const { return pa_strerror(pa_context_errno(context)); }

  // Waits (lock held) until `done` or the deadline; false on time-out.
  template <class Pred>
  bool waitFor(Pred done, std::chrono::steady_clock::time_point deadline) {
    while (!done()) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      // The main loop signals on every state change; a short timed wait keeps
      // the deadline honest when nothing happens at all.
      pa_threaded_mainloop_unlock(loop);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      pa_threaded_mainloop_lock(loop);
    }
    return true;
  }

  void onRead() {
    const void* data = nullptr;
    std::size_t bytes = 0;
    while (pa_stream_readable_size(stream) > 0) {
      if (pa_stream_peek(stream, &data, &bytes) < 0) return;
      if (bytes == 0) return;
      const double arrival = captureClockSeconds();
      const std::size_t frameBytes = sizeof(float) * static_cast<std::size_t>(channels);
      const int frames = static_cast<int>(bytes / frameBytes);
      if (frames > 0) {
        MicrophoneBuffer b;
        b.frames = frames;
        b.channels = channels;
        b.sampleRate = rate;
        if (data == nullptr) {
          // A hole in the server's buffer: silence of that length.
          carry.assign(static_cast<std::size_t>(frames) * channels, 0.0f);
          b.samples = carry.data();
        } else {
          b.samples = static_cast<const float*>(data);
        }
        b.presentationTime = clock.place(frames, arrival);
        if (handler) handler(b);
      }
      pa_stream_drop(stream);
    }
  }
};

MicrophoneCapture::MicrophoneCapture(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
MicrophoneCapture::~MicrophoneCapture() { stop(); }

int MicrophoneCapture::sampleRate() const { return impl_->rate; }
int MicrophoneCapture::channels() const { return impl_->channels; }

std::unique_ptr<MicrophoneCapture> MicrophoneCapture::open(const std::string& sourceName, MicrophoneHandler handler,
                                                           std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  auto impl = std::make_unique<Impl>();
  impl->sourceName = sourceName;
  impl->handler = std::move(handler);
  impl->loop = pa_threaded_mainloop_new();
  if (impl->loop == nullptr) throw CaptureError(CaptureErrorCode::AudioServerFailed, "cannot create a main loop");
  impl->context = pa_context_new(pa_threaded_mainloop_get_api(impl->loop), "vantrel-recorder");
  if (impl->context == nullptr) throw CaptureError(CaptureErrorCode::AudioServerFailed, "cannot create a context");
  if (pa_context_connect(impl->context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    throw CaptureError(CaptureErrorCode::AudioServerFailed, impl->contextError());
  }
  if (pa_threaded_mainloop_start(impl->loop) < 0) {
    throw CaptureError(CaptureErrorCode::AudioServerFailed, "cannot start the main loop");
  }
  Impl& m = *impl;
  pa_threaded_mainloop_lock(m.loop);
  std::string failure;
  bool notFound = false;
  do {
    bool ready = m.waitFor(
        [&] {
          const pa_context_state_t s = pa_context_get_state(m.context);
          return s == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(s);
        },
        deadline);
    if (!ready) {
      failure = "no answer";
      break;
    }
    if (pa_context_get_state(m.context) != PA_CONTEXT_READY) {
      failure = m.contextError();
      break;
    }
    pa_operation* op = pa_context_get_source_info_by_name(
        m.context, sourceName.c_str(),
        [](pa_context*, const pa_source_info* info, int eol, void* user) {
          auto* self = static_cast<Impl*>(user);
          if (eol != 0) {
            self->queried = true;
            return;
          }
          // A sink's monitor is not a microphone.
          if (info == nullptr || info->monitor_of_sink != PA_INVALID_INDEX) return;
          self->found = true;
          self->rate = static_cast<int>(std::clamp<std::uint32_t>(info->sample_spec.rate, 8000, 192000));
          self->channels = std::clamp<int>(info->sample_spec.channels, 1, 2);
        },
        &m);
    if (op == nullptr) {
      failure = m.contextError();
      break;
    }
    const bool answered = m.waitFor([&] { return m.queried; }, deadline);
    pa_operation_unref(op);
    if (!answered) {
      failure = "no answer";
      break;
    }
    notFound = !m.found;
  } while (false);
  pa_threaded_mainloop_unlock(m.loop);
  if (!failure.empty()) throw CaptureError(CaptureErrorCode::AudioServerFailed, failure);
  if (notFound || sourceName.empty()) throw CaptureError(CaptureErrorCode::MicrophoneNotFound, sourceName);
  m.clock = SampleClock(m.rate);
  return std::unique_ptr<MicrophoneCapture>(new MicrophoneCapture(std::move(impl)));
}

void MicrophoneCapture::start() {
  Impl& m = *impl_;
  pa_threaded_mainloop_lock(m.loop);
  if (m.stream != nullptr) {
    pa_threaded_mainloop_unlock(m.loop);
    return;
  }
  pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, static_cast<std::uint32_t>(m.rate), static_cast<std::uint8_t>(m.channels)};
  m.stream = pa_stream_new(m.context, "microphone", &spec, nullptr);
  if (m.stream == nullptr) {
    const std::string e = m.contextError();
    pa_threaded_mainloop_unlock(m.loop);
    throw CaptureError(CaptureErrorCode::AudioStreamFailed, e);
  }
  pa_stream_set_read_callback(
      m.stream, [](pa_stream*, std::size_t, void* user) { static_cast<Impl*>(user)->onRead(); }, &m);
  pa_buffer_attr attr{};
  attr.maxlength = static_cast<std::uint32_t>(-1);
  attr.tlength = attr.prebuf = attr.minreq = static_cast<std::uint32_t>(-1);
  attr.fragsize = static_cast<std::uint32_t>(pa_usec_to_bytes(10'000, &spec));
  const int rc = pa_stream_connect_record(m.stream, m.sourceName.c_str(), &attr, PA_STREAM_ADJUST_LATENCY);
  if (rc < 0) {
    const std::string e = m.contextError();
    pa_stream_unref(m.stream);
    m.stream = nullptr;
    pa_threaded_mainloop_unlock(m.loop);
    throw CaptureError(CaptureErrorCode::AudioStreamFailed, e);
  }
  const bool ok = m.waitFor(
      [&] {
        const pa_stream_state_t s = pa_stream_get_state(m.stream);
        return s == PA_STREAM_READY || !PA_STREAM_IS_GOOD(s);
      },
      std::chrono::steady_clock::now() + std::chrono::seconds(3));
  const bool ready = ok && pa_stream_get_state(m.stream) == PA_STREAM_READY;
  std::string e = ready ? "" : (ok ? m.contextError() : "no answer");
  if (!ready) {
    pa_stream_disconnect(m.stream);
    pa_stream_unref(m.stream);
    m.stream = nullptr;
  }
  pa_threaded_mainloop_unlock(m.loop);
  if (!ready) throw CaptureError(CaptureErrorCode::AudioStreamFailed, e);
}

void MicrophoneCapture::stop() {
  Impl& m = *impl_;
  if (m.loop == nullptr) return;
  pa_threaded_mainloop_lock(m.loop);
  if (m.stream != nullptr) {
    pa_stream_set_read_callback(m.stream, nullptr, nullptr);
    pa_stream_disconnect(m.stream);
    pa_stream_unref(m.stream);
    m.stream = nullptr;
  }
  pa_threaded_mainloop_unlock(m.loop);
}

}  // namespace vantrel::desktop
