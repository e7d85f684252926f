// The compositor's outputs as wl_output describes them: the scale factor a
// Wayland session applies, which neither the portal nor PipeWire states.

#include <poll.h>
#include <wayland-client.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "vantrel/desktop/session.h"

namespace vantrel::desktop {

namespace {

constexpr std::size_t kMaxOutputs = 32;

struct Bound {
  wl_output* proxy = nullptr;
  WaylandOutput info;
};

struct Query {
  wl_registry* registry = nullptr;
  std::vector<Bound> outputs;
};

void onGeometry(void* data, wl_output*, int32_t x, int32_t y, int32_t, int32_t, int32_t, const char*, const char*,
                int32_t transform) {
  auto* b = static_cast<Bound*>(data);
  b->info.x = x;
  b->info.y = y;
  b->info.transform = transform;
}

void onMode(void* data, wl_output*, uint32_t flags, int32_t width, int32_t height, int32_t) {
  if ((flags & WL_OUTPUT_MODE_CURRENT) == 0) return;
  auto* b = static_cast<Bound*>(data);
  b->info.pixelWidth = width;
  b->info.pixelHeight = height;
}

void onDone(void*, wl_output*) {}

void onScale(void* data, wl_output*, int32_t factor) {
  static_cast<Bound*>(data)->info.scale = std::clamp(factor, 1, 8);
}

void onName(void* data, wl_output*, const char* name) {
  static_cast<Bound*>(data)->info.name = std::string(name).substr(0, 256);
}

void onDescription(void*, wl_output*, const char*) {}

const wl_output_listener kOutputListener = {onGeometry, onMode, onDone, onScale, onName, onDescription};

void onGlobal(void* data, wl_registry* registry, uint32_t id, const char* interface, uint32_t version) {
  auto* q = static_cast<Query*>(data);
  if (std::strcmp(interface, wl_output_interface.name) != 0 || version < 2 || q->outputs.size() >= kMaxOutputs) return;
  // Version 2 brings the scale, 4 the name; this client knows up to 4.
  auto* proxy = static_cast<wl_output*>(wl_registry_bind(registry, id, &wl_output_interface, std::min(version, 4u)));
  q->outputs.push_back(Bound{proxy, {}});
  // Attached at once: the output describes itself right after the bind.
  wl_output_add_listener(proxy, &kOutputListener, &q->outputs.back());
}

void onGlobalRemove(void*, wl_registry*, uint32_t) {}

const wl_registry_listener kRegistryListener = {onGlobal, onGlobalRemove};

// One round trip with a deadline: a compositor that stops answering must not
// hang the caller (wl_display_roundtrip would wait for ever).
bool roundTrip(wl_display* display, std::chrono::steady_clock::time_point deadline) {
  bool done = false;
  wl_callback* callback = wl_display_sync(display);
  static const wl_callback_listener listener = {
      [](void* data, wl_callback*, uint32_t) { *static_cast<bool*>(data) = true; }};
  wl_callback_add_listener(callback, &listener, &done);
  bool ok = true;
  while (!done) {
    while (wl_display_prepare_read(display) != 0) {
      if (wl_display_dispatch_pending(display) < 0) ok = false;
      if (done || !ok) break;
    }
    if (done || !ok) break;
    wl_display_flush(display);
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd pfd{wl_display_get_fd(display), POLLIN, 0};
    if (left.count() <= 0 || ::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) {
      wl_display_cancel_read(display);
      ok = false;
      break;
    }
    if (wl_display_read_events(display) < 0 || wl_display_dispatch_pending(display) < 0) {
      ok = false;
      break;
    }
  }
  wl_callback_destroy(callback);
  return ok;
}

}  // namespace

std::vector<WaylandOutput> waylandOutputs(std::chrono::milliseconds timeout) {
  const char* name = std::getenv("WAYLAND_DISPLAY");
  if (name == nullptr || *name == '\0') return {};
  wl_display* display = wl_display_connect(nullptr);
  if (display == nullptr) return {};
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  Query q;
  q.outputs.reserve(kMaxOutputs);  // listeners keep pointers into the vector
  q.registry = wl_display_get_registry(display);
  wl_registry_add_listener(q.registry, &kRegistryListener, &q);
  bool ok = roundTrip(display, deadline);
  if (ok) ok = roundTrip(display, deadline);  // the outputs' own events, for servers that send them late
  std::vector<WaylandOutput> out;
  for (Bound& b : q.outputs) {
    if (ok && b.info.pixelWidth > 0 && b.info.pixelHeight > 0) out.push_back(b.info);
    wl_output_destroy(b.proxy);
  }
  wl_registry_destroy(q.registry);
  wl_display_disconnect(display);
  return out;
}

}  // namespace vantrel::desktop
