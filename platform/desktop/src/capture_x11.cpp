#include <sys/ipc.h>
#include <sys/shm.h>
#include <xcb/composite.h>
#include <xcb/damage.h>
#include <xcb/randr.h>
#include <xcb/shm.h>
#include <xcb/xfixes.h>

extern "C" {
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <ctime>
#include <mutex>
#include <thread>

#include "vantrel/desktop/capture.h"
#include "vantrel/desktop/error.h"
#include "vantrel/desktop/session.h"
#include "vantrel/desktop/x_connection.h"

namespace vantrel::desktop {

namespace {

std::string capturePrefix(CaptureErrorCode code) {
  switch (code) {
    case CaptureErrorCode::DisplayUnavailable: return "Cannot open the display: ";
    case CaptureErrorCode::ExtensionMissing: return "The X server lacks the extension ";
    case CaptureErrorCode::TargetGone: return "The capture target is gone: ";
    case CaptureErrorCode::GrabFailed: return "Screen grab failed: ";
    case CaptureErrorCode::AudioServerFailed: return "Sound server error: ";
    case CaptureErrorCode::MicrophoneNotFound: return "No microphone found with ID ";
    case CaptureErrorCode::AudioStreamFailed: return "Microphone stream failed: ";
    case CaptureErrorCode::PortalFailed: return "Screen cast failed: ";
    case CaptureErrorCode::PermissionDenied: return "Screen capture permission denied: ";
  }
  return "Capture error: ";
}

std::unique_ptr<XConnection> connect() {
  try {
    return XConnection::open();
  } catch (const DesktopError& e) {
    throw CaptureError(CaptureErrorCode::DisplayUnavailable, e.payload());
  }
}

Rect intersect(const Rect& a, const Rect& b) {
  const int x0 = std::max(a.x, b.x), y0 = std::max(a.y, b.y);
  const int x1 = std::min(a.x + a.width, b.x + b.width), y1 = std::min(a.y + a.height, b.y + b.height);
  if (x1 <= x0 || y1 <= y0) return Rect{x0, y0, 0, 0};
  return Rect{x0, y0, x1 - x0, y1 - y0};
}

std::vector<CaptureDisplay> listDisplays(XConnection& x) {
  std::vector<CaptureDisplay> out;
  xcb_connection_t* c = x.raw();
  Reply<xcb_randr_query_version_reply_t> version(
      xcb_randr_query_version_reply(c, xcb_randr_query_version(c, 1, 5), nullptr));
  if (version && (version->major_version > 1 || version->minor_version >= 5)) {
    Reply<xcb_randr_get_monitors_reply_t> monitors(
        xcb_randr_get_monitors_reply(c, xcb_randr_get_monitors(c, x.root(), 1), nullptr));
    if (monitors) {
      for (auto it = xcb_randr_get_monitors_monitors_iterator(monitors.get()); it.rem > 0;
           xcb_randr_monitor_info_next(&it)) {
        const xcb_randr_monitor_info_t* m = it.data;
        if (xcb_randr_monitor_info_outputs_length(m) < 1) continue;
        CaptureDisplay d;
        d.id = xcb_randr_monitor_info_outputs(m)[0];
        d.frame = Rect{m->x, m->y, m->width, m->height};
        d.primary = m->primary != 0;
        Reply<xcb_get_atom_name_reply_t> name(xcb_get_atom_name_reply(c, xcb_get_atom_name(c, m->name), nullptr));
        if (name) d.name.assign(xcb_get_atom_name_name(name.get()), xcb_get_atom_name_name_length(name.get()));
        out.push_back(std::move(d));
      }
    }
  }
  // A server without RandR monitors still has its one screen; it is then
  // known by the root window's id.
  if (out.empty()) {
    const xcb_screen_t& s = x.screen();
    out.push_back(CaptureDisplay{x.root(), "screen", Rect{0, 0, s.width_in_pixels, s.height_in_pixels}, true});
  }
  std::stable_sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.primary && !b.primary; });
  return out;
}

// The child of the root that holds `window` (the window manager's frame), or
// the window itself when it is not reparented.
xcb_window_t topLevelOf(XConnection& x, xcb_window_t window) {
  xcb_window_t current = window;
  for (int depth = 0; depth < 64; ++depth) {
    Reply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(x.raw(), xcb_query_tree(x.raw(), current), nullptr));
    if (!tree || tree->parent == XCB_WINDOW_NONE || tree->parent == tree->root) return current;
    current = tree->parent;
  }
  return current;
}

// One shared-memory segment attached to the server; detached and removed with the object.
class ShmSegment {
 public:
  ShmSegment(xcb_connection_t* c, std::size_t bytes) : c_(c) {
    id_ = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
    if (id_ < 0) throw CaptureError(CaptureErrorCode::GrabFailed, std::string("shmget: ") + std::strerror(errno));
    void* p = shmat(id_, nullptr, 0);
    if (p == reinterpret_cast<void*>(-1)) {
      shmctl(id_, IPC_RMID, nullptr);
      throw CaptureError(CaptureErrorCode::GrabFailed, std::string("shmat: ") + std::strerror(errno));
    }
    data_ = static_cast<std::uint8_t*>(p);
    seg_ = xcb_generate_id(c_);
    xcb_generic_error_t* err = xcb_request_check(c_, xcb_shm_attach_checked(c_, seg_, static_cast<std::uint32_t>(id_), 0));
    // Marked for removal now: the segment disappears with the last detach,
    // also when this process is killed.
    shmctl(id_, IPC_RMID, nullptr);
    if (err != nullptr) {
      const std::string name = xErrorName(err->error_code);
      std::free(err);
      shmdt(data_);
      throw CaptureError(CaptureErrorCode::GrabFailed, "ShmAttach: " + name);
    }
  }
  ~ShmSegment() {
    xcb_shm_detach(c_, seg_);
    xcb_flush(c_);
    shmdt(data_);
  }
  ShmSegment(const ShmSegment&) = delete;
  ShmSegment& operator=(const ShmSegment&) = delete;
  xcb_shm_seg_t seg() const { return seg_; }
  const std::uint8_t* data() const { return data_; }

 private:
  xcb_connection_t* c_;
  int id_ = -1;
  xcb_shm_seg_t seg_ = 0;
  std::uint8_t* data_ = nullptr;
};

class X11Stream final : public CaptureStream {
 public:
  // `scale`: device pixels per unit of `config.sourceRect`.
  X11Stream(const StreamConfiguration& config, ScreenSampleHandler handler, double scale)
      : config_(config), handler_(std::move(handler)), scale_(scale) {
    if (config_.width <= 0 || config_.height <= 0 || config_.width > 16384 || config_.height > 16384 ||
        config_.fps <= 0) {
      throw CaptureError(CaptureErrorCode::GrabFailed, "invalid stream size or rate");
    }
    x_ = connect();
    xcb_connection_t* c = x_->raw();
    Reply<xcb_shm_query_version_reply_t> shm(xcb_shm_query_version_reply(c, xcb_shm_query_version(c), nullptr));
    if (!shm) throw CaptureError(CaptureErrorCode::ExtensionMissing, "MIT-SHM");
    pool_ = media::FramePool::create(config_.width, config_.height,
                                     static_cast<std::size_t>(std::clamp(config_.queueDepth, 2, 16)));
  }

  ~X11Stream() override {
    stopCapture();
    if (scaler_ != nullptr) sws_freeContext(scaler_);
  }

  void startCapture() override {
    std::lock_guard lock(controlMutex_);
    if (thread_.joinable()) return;
    resolveSource();  // throws when the target is gone
    setUpDamage();
    stop_ = false;
    thread_ = std::thread([this] { run(); });
  }

  void requestFrame() override { forceFrame_.store(true); }

  void stopCapture() override {
    std::lock_guard lock(controlMutex_);
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }

 private:
  // Where the grab comes from this time: the drawable and the area in it.
  void resolveSource() {
    xcb_connection_t* c = x_->raw();
    Rect content;
    if (config_.target.kind == CaptureTarget::Kind::window) {
      if (frameWindow_ == XCB_WINDOW_NONE) {
        frameWindow_ = topLevelOf(*x_, config_.target.id);
        // Redirection gives the window a picture of its own that stays whole
        // while other windows cover it.
        Reply<xcb_composite_query_version_reply_t> comp(
            xcb_composite_query_version_reply(c, xcb_composite_query_version(c, 0, 4), nullptr));
        if (!comp) throw CaptureError(CaptureErrorCode::ExtensionMissing, "Composite");
        xcb_composite_redirect_window(c, frameWindow_, XCB_COMPOSITE_REDIRECT_AUTOMATIC);
      }
      Reply<xcb_get_geometry_reply_t> g(xcb_get_geometry_reply(c, xcb_get_geometry(c, frameWindow_), nullptr));
      if (!g) throw CaptureError(CaptureErrorCode::TargetGone, "window " + std::to_string(config_.target.id));
      const int w = g->width + 2 * g->border_width, h = g->height + 2 * g->border_width;
      if (pixmap_ == 0 || w != pixmapW_ || h != pixmapH_) {
        if (pixmap_ != 0) xcb_free_pixmap(c, pixmap_);
        pixmap_ = xcb_generate_id(c);
        xcb_generic_error_t* err =
            xcb_request_check(c, xcb_composite_name_window_pixmap_checked(c, frameWindow_, pixmap_));
        if (err != nullptr) {
          std::free(err);
          pixmap_ = 0;
          throw CaptureError(CaptureErrorCode::TargetGone, "window " + std::to_string(config_.target.id));
        }
        pixmapW_ = w;
        pixmapH_ = h;
      }
      drawable_ = pixmap_;
      content = Rect{0, 0, w, h};
      bounds_ = content;
    } else {
      bool found = false;
      for (const auto& d : listDisplays(*x_)) {
        if (d.id == config_.target.id) {
          content = d.frame;
          found = true;
        }
      }
      if (!found) throw CaptureError(CaptureErrorCode::TargetGone, "display " + std::to_string(config_.target.id));
      drawable_ = x_->root();
      bounds_ = Rect{0, 0, x_->screen().width_in_pixels, x_->screen().height_in_pixels};
    }
    Rect area = content;
    if (config_.sourceRect) {
      const Rect& r = *config_.sourceRect;
      const auto px = [this](int units) { return static_cast<int>(std::lround(units * scale_)); };
      area = Rect{content.x + px(r.x), content.y + px(r.y), px(r.x + r.width) - px(r.x), px(r.y + r.height) - px(r.y)};
    }
    area_ = area;
    grab_ = intersect(area, bounds_);
    const std::size_t bytes = static_cast<std::size_t>(std::max(1, grab_.width)) * std::max(1, grab_.height) * 4;
    if (!shm_ || shmBytes_ < bytes) {
      shm_.reset();
      shm_ = std::make_unique<ShmSegment>(c, bytes);
      shmBytes_ = bytes;
    }
  }

  void setUpDamage() {
    xcb_connection_t* c = x_->raw();
    if (damage_ != 0) return;
    const xcb_query_extension_reply_t* ext = xcb_get_extension_data(c, &xcb_damage_id);
    if (ext == nullptr || !ext->present) return;  // without Damage every tick grabs
    Reply<xcb_damage_query_version_reply_t> v(xcb_damage_query_version_reply(c, xcb_damage_query_version(c, 1, 1), nullptr));
    if (!v) return;
    damageEvent_ = ext->first_event + XCB_DAMAGE_NOTIFY;
    damage_ = xcb_generate_id(c);
    const xcb_drawable_t watched = config_.target.kind == CaptureTarget::Kind::window ? frameWindow_ : x_->root();
    xcb_damage_create(c, damage_, watched, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
    xcb_flush(c);
    dirty_ = true;
  }

  // Reads pending events; true when something was drawn since the last grab.
  void pollDamage() {
    xcb_connection_t* c = x_->raw();
    while (xcb_generic_event_t* ev = xcb_poll_for_event(c)) {
      if ((ev->response_type & 0x7f) == damageEvent_) dirty_ = true;
      std::free(ev);
    }
    if (damage_ == 0) dirty_ = true;
  }

  void run() {
    using Clock = std::chrono::steady_clock;
    const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / config_.fps));
    auto next = Clock::now();
    double lastComplete = -1e9;
    while (!stop_.load()) {
      std::this_thread::sleep_until(next);
      if (stop_.load()) break;
      next += period;
      if (next < Clock::now() - period) next = Clock::now();  // a stall skips ticks instead of bursting
      const double t = captureClockSeconds();
      pollDamage();
      ScreenSample sample;
      sample.presentationTime = t;
      if (forceFrame_.exchange(false)) dirty_ = true;
      if (dirty_ || t - lastComplete >= config_.refreshSeconds) {
        std::shared_ptr<media::PixelBuffer> frame = pool_->tryAcquire();
        if (!frame) continue;  // the consumer holds every buffer: no sample this tick
        try {
          if (damage_ != 0) {
            xcb_damage_subtract(x_->raw(), damage_, XCB_NONE, XCB_NONE);
          }
          dirty_ = false;
          grabInto(*frame);
        } catch (const CaptureError&) {
          // A window being resized or unmapped has no picture for a moment;
          // the next tick tries again.
          pixmap_ = 0;
          pixmapW_ = pixmapH_ = 0;
          continue;
        }
        sample.status = FrameStatus::complete;
        sample.frame = std::move(frame);
        lastComplete = t;
      }
      handler_(sample);
    }
  }

  void grabInto(media::PixelBuffer& out) {
    xcb_connection_t* c = x_->raw();
    if (config_.target.kind == CaptureTarget::Kind::window) resolveSource();
    const int gw = grab_.width, gh = grab_.height;
    if (gw > 0 && gh > 0) {
      xcb_generic_error_t* err = nullptr;
      Reply<xcb_shm_get_image_reply_t> img(xcb_shm_get_image_reply(
          c,
          xcb_shm_get_image(c, drawable_, static_cast<std::int16_t>(grab_.x), static_cast<std::int16_t>(grab_.y),
                            static_cast<std::uint16_t>(gw), static_cast<std::uint16_t>(gh), ~0u,
                            XCB_IMAGE_FORMAT_Z_PIXMAP, shm_->seg(), 0),
          &err));
      if (!img) {
        const std::string name = err ? xErrorName(err->error_code) : "no reply";
        std::free(err);
        throw CaptureError(CaptureErrorCode::GrabFailed, "ShmGetImage: " + name);
      }
    }
    // The grabbed part of the area, placed into an area-sized picture: what
    // lies off screen is black.
    const int aw = area_.width, ah = area_.height;
    const int dx = grab_.x - area_.x, dy = grab_.y - area_.y;
    const bool partial = gw != aw || gh != ah;
    const std::uint8_t* src = shm_->data();
    const int srcStride = gw * 4;
    if (aw == out.width() && ah == out.height()) {
      if (partial) out.fill(0, 0, 0, 255);
      for (int y = 0; y < gh; ++y) std::memcpy(out.row(y + dy) + dx * 4, src + static_cast<std::size_t>(y) * srcStride, static_cast<std::size_t>(gw) * 4);
      return;
    }
    // Scaled: the grab is first made whole when it is partial.
    if (partial) {
      staging_.assign(static_cast<std::size_t>(aw) * ah * 4, 0);
      for (int y = 0; y < gh; ++y) {
        std::memcpy(staging_.data() + (static_cast<std::size_t>(y + dy) * aw + dx) * 4,
                    src + static_cast<std::size_t>(y) * srcStride, static_cast<std::size_t>(gw) * 4);
      }
      src = staging_.data();
    }
    if (scaler_ == nullptr || scalerW_ != aw || scalerH_ != ah) {
      if (scaler_ != nullptr) sws_freeContext(scaler_);
      scaler_ = sws_getContext(aw, ah, AV_PIX_FMT_BGRA, out.width(), out.height(), AV_PIX_FMT_BGRA, SWS_AREA, nullptr,
                               nullptr, nullptr);
      if (scaler_ == nullptr) throw CaptureError(CaptureErrorCode::GrabFailed, "cannot scale the picture");
      scalerW_ = aw;
      scalerH_ = ah;
    }
    const std::uint8_t* srcPlanes[1] = {src};
    const int srcStrides[1] = {aw * 4};
    std::uint8_t* dstPlanes[1] = {out.data()};
    const int dstStrides[1] = {out.stride()};
    sws_scale(scaler_, srcPlanes, srcStrides, 0, ah, dstPlanes, dstStrides);
  }

  StreamConfiguration config_;
  ScreenSampleHandler handler_;
  double scale_ = 1;
  std::unique_ptr<XConnection> x_;
  std::shared_ptr<media::FramePool> pool_;
  std::unique_ptr<ShmSegment> shm_;
  std::size_t shmBytes_ = 0;
  xcb_window_t frameWindow_ = XCB_WINDOW_NONE;
  xcb_pixmap_t pixmap_ = 0;
  int pixmapW_ = 0, pixmapH_ = 0;
  xcb_drawable_t drawable_ = 0;
  Rect bounds_, area_, grab_;
  xcb_damage_damage_t damage_ = 0;
  std::uint8_t damageEvent_ = 0;
  bool dirty_ = true;
  std::vector<std::uint8_t> staging_;
  SwsContext* scaler_ = nullptr;
  int scalerW_ = 0, scalerH_ = 0;
  std::mutex controlMutex_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> forceFrame_{false};
  std::thread thread_;
};

class X11Source final : public CaptureSource {
 public:
  X11Source() : x_(connect()), geometry_(desktopGeometry(*x_)) {}

  ShareableContent shareableContent() override {
    geometry_ = desktopGeometry(*x_);
    ShareableContent content;
    content.displays = listDisplays(*x_);
    for (auto& d : content.displays) {
      d.frame = logical(d.frame);
      d.scale = geometry_.scale;
    }
    for (auto& w : listWindows(*x_)) {
      content.windows.push_back(CaptureWindow{w.id, logical(w.bounds), w.pid, w.owner, w.name, geometry_.scale});
    }
    x_->drainEvents();
    return content;
  }

  std::unique_ptr<CaptureStream> createStream(const StreamConfiguration& configuration,
                                              ScreenSampleHandler handler) override {
    return std::make_unique<X11Stream>(configuration, std::move(handler), geometry_.scale);
  }

 private:
  // Whole logical units: exact at whole scales, the nearest unit otherwise.
  Rect logical(const Rect& device) const {
    const LogicalRect l = geometry_.toLogical(device);
    return Rect{static_cast<int>(std::lround(l.x)), static_cast<int>(std::lround(l.y)),
                static_cast<int>(std::lround(l.width)), static_cast<int>(std::lround(l.height))};
  }

  std::unique_ptr<XConnection> x_;
  DesktopGeometry geometry_;
};

}  // namespace

CaptureError::CaptureError(CaptureErrorCode code, std::string payload)
    : CodedError(code, payload, capturePrefix(code) + payload) {}

double captureClockSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

std::unique_ptr<CaptureSource> openX11CaptureSource() { return std::make_unique<X11Source>(); }

}  // namespace vantrel::desktop
