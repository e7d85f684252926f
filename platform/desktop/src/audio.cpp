#include "vantrel/desktop/audio.h"

#include <pulse/pulseaudio.h>

#include <memory>

#include "vantrel/desktop/error.h"

namespace vantrel::desktop {

namespace {

struct Query {
  std::string defaultSource;
  std::vector<AudioInput> inputs;
  int pending = 0;
};

struct MainloopDeleter {
  void operator()(pa_mainloop* m) const { pa_mainloop_free(m); }
};
struct ContextDeleter {
  void operator()(pa_context* c) const {
    pa_context_disconnect(c);
    pa_context_unref(c);
  }
};

}  // namespace

std::vector<AudioInput> listAudioInputs(std::chrono::milliseconds timeout) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + timeout;
  std::unique_ptr<pa_mainloop, MainloopDeleter> loop(pa_mainloop_new());
  if (!loop) throw DesktopError(DesktopErrorCode::AudioServerFailed, "cannot create a main loop");
  std::unique_ptr<pa_context, ContextDeleter> context(pa_context_new(pa_mainloop_get_api(loop.get()), "vantrel"));
  if (!context) throw DesktopError(DesktopErrorCode::AudioServerFailed, "cannot create a context");
  if (pa_context_connect(context.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    throw DesktopError(DesktopErrorCode::AudioServerFailed, pa_strerror(pa_context_errno(context.get())));
  }
  // Each iteration waits at most 50 ms so that the deadline is checked.
  auto iterate = [&] {
    if (Clock::now() >= deadline) throw DesktopError(DesktopErrorCode::AudioServerFailed, "no answer");
    pa_mainloop_prepare(loop.get(), 50 * 1000);
    pa_mainloop_poll(loop.get());
    pa_mainloop_dispatch(loop.get());
  };
  for (;;) {
    const pa_context_state_t state = pa_context_get_state(context.get());
    if (state == PA_CONTEXT_READY) break;
    if (!PA_CONTEXT_IS_GOOD(state)) {
      throw DesktopError(DesktopErrorCode::AudioServerFailed, pa_strerror(pa_context_errno(context.get())));
    }
    iterate();
  }

  Query q;
  q.pending = 2;
  pa_operation* serverOp = pa_context_get_server_info(
      context.get(),
      [](pa_context*, const pa_server_info* info, void* user) {
        auto* query = static_cast<Query*>(user);
        if (info && info->default_source_name) query->defaultSource = info->default_source_name;
        --query->pending;
      },
      &q);
  pa_operation* sourceOp = pa_context_get_source_info_list(
      context.get(),
      [](pa_context*, const pa_source_info* info, int eol, void* user) {
        auto* query = static_cast<Query*>(user);
        if (eol != 0) {
          --query->pending;
          return;
        }
        if (info == nullptr || info->monitor_of_sink != PA_INVALID_INDEX) return;
        query->inputs.push_back(AudioInput{info->name ? info->name : "",
                                           info->description ? info->description : (info->name ? info->name : ""),
                                           false});
      },
      &q);
  if (!serverOp || !sourceOp) {
    if (serverOp) pa_operation_unref(serverOp);
    if (sourceOp) pa_operation_unref(sourceOp);
    throw DesktopError(DesktopErrorCode::AudioServerFailed, pa_strerror(pa_context_errno(context.get())));
  }
  try {
    while (q.pending > 0) {
      if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context.get()))) {
        throw DesktopError(DesktopErrorCode::AudioServerFailed, pa_strerror(pa_context_errno(context.get())));
      }
      iterate();
    }
  } catch (...) {
    pa_operation_cancel(serverOp);
    pa_operation_cancel(sourceOp);
    pa_operation_unref(serverOp);
    pa_operation_unref(sourceOp);
    throw;
  }
  pa_operation_unref(serverOp);
  pa_operation_unref(sourceOp);
  for (auto& input : q.inputs) input.isDefault = !q.defaultSource.empty() && input.id == q.defaultSource;
  return q.inputs;
}

}  // namespace vantrel::desktop
