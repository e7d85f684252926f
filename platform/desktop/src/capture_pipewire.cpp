// Wayland capture: the ScreenCast portal over sd-bus, pictures over PipeWire.

#include <fcntl.h>
#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>
#include <spa/utils/result.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

extern "C" {
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cmath>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "vantrel/desktop/portal_capture.h"
#include "vantrel/desktop/session.h"

namespace vantrel::desktop {

namespace {

constexpr const char* kPortalService = "org.freedesktop.portal.Desktop";
constexpr const char* kPortalPath = "/org/freedesktop/portal/desktop";
constexpr const char* kScreenCast = "org.freedesktop.portal.ScreenCast";
constexpr int kMaxSide = 16384;
// The portal hands out at most a few streams; anything beyond is ignored.
constexpr std::size_t kMaxStreams = 16;
// A request that involves the user (the sharing dialog) may take a while; the
// others are answered by the portal at once.
constexpr auto kDialogTimeout = std::chrono::seconds(120);
constexpr auto kRequestTimeout = std::chrono::seconds(20);
// How long a new stream may take to agree on a format with the compositor.
constexpr auto kNegotiationTimeout = std::chrono::seconds(5);

CaptureError portalError(const std::string& what) { return CaptureError(CaptureErrorCode::PortalFailed, what); }

std::string busErrorText(const sd_bus_error& e, int r) {
  if (e.message != nullptr) return e.message;
  if (e.name != nullptr) return e.name;
  return std::strerror(-r);
}

struct BusErrorGuard {
  sd_bus_error e = SD_BUS_ERROR_NULL;
  ~BusErrorGuard() { sd_bus_error_free(&e); }
};

struct MessageRef {
  sd_bus_message* m = nullptr;
  MessageRef() = default;
  explicit MessageRef(sd_bus_message* message) : m(message) {}
  ~MessageRef() { sd_bus_message_unref(m); }
  MessageRef(const MessageRef&) = delete;
  MessageRef& operator=(const MessageRef&) = delete;
};

void check(int r, const char* what) {
  if (r < 0) throw portalError(std::string(what) + ": " + std::strerror(-r));
}

// Reads an a{sv} dictionary, calling `onEntry(key)` positioned on the variant;
// it returns true when it consumed the variant, false to have it skipped.
template <class F>
void readDictionary(sd_bus_message* m, F&& onEntry) {
  check(sd_bus_message_enter_container(m, SD_BUS_TYPE_ARRAY, "{sv}"), "reading the portal's answer");
  std::size_t entries = 0;
  while (true) {
    const int r = sd_bus_message_enter_container(m, SD_BUS_TYPE_DICT_ENTRY, "sv");
    check(r, "reading the portal's answer");
    if (r == 0) break;
    if (++entries > 256) throw portalError("the portal's answer is too large");
    const char* key = nullptr;
    check(sd_bus_message_read(m, "s", &key), "reading the portal's answer");
    if (!onEntry(std::string(key))) check(sd_bus_message_skip(m, "v"), "reading the portal's answer");
    check(sd_bus_message_exit_container(m), "reading the portal's answer");
  }
  check(sd_bus_message_exit_container(m), "reading the portal's answer");
}

struct PortalStream {
  std::uint32_t node = 0;
  std::uint32_t sourceType = 0;
  int x = 0, y = 0, width = 0, height = 0;  // the portal's position and size; 0 when not told
};

// One screen-cast session of the portal on a private bus connection.
class PortalSession {
 public:
  PortalSession() {
    const int r = sd_bus_open_user(&bus_);
    if (r < 0) throw CaptureError(CaptureErrorCode::DisplayUnavailable, std::string("no session bus: ") + std::strerror(-r));
    const char* unique = nullptr;
    if (sd_bus_get_unique_name(bus_, &unique) < 0 || unique == nullptr) {
      sd_bus_flush_close_unref(bus_);
      throw CaptureError(CaptureErrorCode::DisplayUnavailable, "the session bus gave no name");
    }
    // The portal derives request paths from the caller's unique name: ":1.42" -> "1_42".
    for (const char* p = unique + 1; *p != '\0'; ++p) sender_ += *p == '.' ? '_' : *p;
    std::random_device rd;
    tokenBase_ = "vantrel" + std::to_string(rd() % 1000000);
  }

  ~PortalSession() {
    if (!sessionHandle_.empty()) {
      sd_bus_call_method(bus_, kPortalService, sessionHandle_.c_str(), "org.freedesktop.portal.Session", "Close",
                         nullptr, nullptr, "");
    }
    sd_bus_flush_close_unref(bus_);
  }

  PortalSession(const PortalSession&) = delete;
  PortalSession& operator=(const PortalSession&) = delete;

  std::uint32_t property(const char* name) {
    BusErrorGuard err;
    std::uint32_t value = 0;
    const int r = sd_bus_get_property_trivial(bus_, kPortalService, kPortalPath, kScreenCast, name, &err.e, 'u', &value);
    if (r < 0) throw portalError("xdg-desktop-portal does not offer screen casting: " + busErrorText(err.e, r));
    return value;
  }

  // CreateSession, SelectSources and Start; the streams that were granted.
  std::vector<PortalStream> start(PortalSourceType type) {
    const std::uint32_t available = property("AvailableSourceTypes");
    if ((available & static_cast<std::uint32_t>(type)) == 0) {
      throw portalError(type == PortalSourceType::window ? "the portal cannot share windows"
                                                         : "the portal cannot share monitors");
    }
    const std::uint32_t cursorModes = property("AvailableCursorModes");

    {
      const std::string token = nextToken();
      MessageRef call(newCall("CreateSession"));
      check(sd_bus_message_append(call.m, "a{sv}", 2, "handle_token", "s", token.c_str(), "session_handle_token", "s",
                                  (tokenBase_ + "s").c_str()),
            "building CreateSession");
      MessageRef results(request(call.m, token, kRequestTimeout));
      readDictionary(results.m, [&](const std::string& key) {
        if (key != "session_handle") return false;
        const char* handle = nullptr;
        check(sd_bus_message_read(results.m, "v", "s", &handle), "reading the session handle");
        sessionHandle_ = handle;
        return true;
      });
      if (sessionHandle_.empty()) throw portalError("CreateSession returned no session");
    }
    {
      const std::string token = nextToken();
      MessageRef call(newCall("SelectSources"));
      check(sd_bus_message_append(call.m, "o", sessionHandle_.c_str()), "building SelectSources");
      // The pointer is drawn by the editor from its own samples, never into the picture.
      if ((cursorModes & 1u) != 0) {
        check(sd_bus_message_append(call.m, "a{sv}", 4, "handle_token", "s", token.c_str(), "types", "u",
                                    static_cast<std::uint32_t>(type), "multiple", "b", 0, "cursor_mode", "u", 1u),
              "building SelectSources");
      } else {
        check(sd_bus_message_append(call.m, "a{sv}", 3, "handle_token", "s", token.c_str(), "types", "u",
                                    static_cast<std::uint32_t>(type), "multiple", "b", 0),
              "building SelectSources");
      }
      MessageRef results(request(call.m, token, kRequestTimeout));
    }
    std::vector<PortalStream> streams;
    {
      const std::string token = nextToken();
      MessageRef call(newCall("Start"));
      check(sd_bus_message_append(call.m, "os", sessionHandle_.c_str(), ""), "building Start");
      check(sd_bus_message_append(call.m, "a{sv}", 1, "handle_token", "s", token.c_str()), "building Start");
      MessageRef results(request(call.m, token, kDialogTimeout));
      readDictionary(results.m, [&](const std::string& key) {
        if (key != "streams") return false;
        readStreams(results.m, streams);
        return true;
      });
    }
    if (streams.empty()) throw CaptureError(CaptureErrorCode::PermissionDenied, "nothing was chosen for sharing");
    return streams;
  }

  // A connection to the PipeWire instance that carries the session's streams.
  int openPipeWireRemote() {
    BusErrorGuard err;
    sd_bus_message* reply = nullptr;
    const int r = sd_bus_call_method(bus_, kPortalService, kPortalPath, kScreenCast, "OpenPipeWireRemote", &err.e,
                                     &reply, "oa{sv}", sessionHandle_.c_str(), 0);
    MessageRef guard(reply);
    if (r < 0) throw portalError("OpenPipeWireRemote: " + busErrorText(err.e, r));
    int fd = -1;
    check(sd_bus_message_read(reply, "h", &fd), "reading the PipeWire connection");
    // The message owns its descriptor.
    const int own = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (own < 0) throw portalError(std::string("dup: ") + std::strerror(errno));
    return own;
  }

 private:
  sd_bus_message* newCall(const char* method) {
    sd_bus_message* m = nullptr;
    check(sd_bus_message_new_method_call(bus_, &m, kPortalService, kPortalPath, kScreenCast, method), method);
    return m;
  }

  std::string nextToken() { return tokenBase_ + "_" + std::to_string(++requests_); }

  struct Pending {
    bool done = false;
    sd_bus_message* response = nullptr;
  };

  static int onResponse(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* p = static_cast<Pending*>(userdata);
    if (!p->done) {
      p->done = true;
      p->response = sd_bus_message_ref(m);
    }
    return 0;
  }

  // Sends a portal call that answers through a Request object and waits for
  // its Response. Returns the results positioned at their a{sv}.
  sd_bus_message* request(sd_bus_message* call, const std::string& token, std::chrono::seconds timeout) {
    Pending pending;
    const std::string path = "/org/freedesktop/portal/desktop/request/" + sender_ + "/" + token;
    // Subscribed before the call: the answer may come before the call returns.
    sd_bus_slot* slot = nullptr;
    check(sd_bus_match_signal(bus_, &slot, nullptr, path.c_str(), "org.freedesktop.portal.Request", "Response",
                              &PortalSession::onResponse, &pending),
          "subscribing to the portal's answer");
    struct SlotGuard {
      sd_bus_slot* s;
      ~SlotGuard() { sd_bus_slot_unref(s); }
    } slotGuard{slot};
    sd_bus_slot* otherSlot = nullptr;

    BusErrorGuard err;
    sd_bus_message* reply = nullptr;
    int r = sd_bus_call(bus_, call, 0, &err.e, &reply);
    MessageRef replyGuard(reply);
    if (r < 0) throw portalError(std::string(sd_bus_message_get_member(call)) + ": " + busErrorText(err.e, r));
    const char* handle = nullptr;
    check(sd_bus_message_read(reply, "o", &handle), "reading the request handle");
    // Portals older than the handle_token convention choose their own path.
    if (handle != nullptr && path != handle) {
      check(sd_bus_match_signal(bus_, &otherSlot, nullptr, handle, "org.freedesktop.portal.Request", "Response",
                                &PortalSession::onResponse, &pending),
            "subscribing to the portal's answer");
    }
    SlotGuard otherGuard{otherSlot};

    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pending.done) {
      r = sd_bus_process(bus_, nullptr);
      if (r < 0) throw portalError(std::string("the session bus failed: ") + std::strerror(-r));
      if (r > 0) continue;
      const auto left = deadline - std::chrono::steady_clock::now();
      if (left <= std::chrono::steady_clock::duration::zero()) {
        throw portalError(std::string(sd_bus_message_get_member(call)) + " was not answered in time");
      }
      r = sd_bus_wait(bus_, static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(left).count()));
      if (r < 0 && r != -EINTR) throw portalError(std::string("the session bus failed: ") + std::strerror(-r));
    }
    sd_bus_message* m = pending.response;
    std::uint32_t code = 2;
    if (sd_bus_message_read(m, "u", &code) < 0) {
      sd_bus_message_unref(m);
      throw portalError("the portal's answer is malformed");
    }
    if (code == 1) {
      sd_bus_message_unref(m);
      throw CaptureError(CaptureErrorCode::PermissionDenied, "the screen-cast request was cancelled");
    }
    if (code != 0) {
      sd_bus_message_unref(m);
      throw CaptureError(CaptureErrorCode::PermissionDenied,
                         std::string("the portal refused ") + sd_bus_message_get_member(call));
    }
    return m;
  }

  static void readStreams(sd_bus_message* m, std::vector<PortalStream>& out) {
    check(sd_bus_message_enter_container(m, SD_BUS_TYPE_VARIANT, "a(ua{sv})"), "reading the streams");
    check(sd_bus_message_enter_container(m, SD_BUS_TYPE_ARRAY, "(ua{sv})"), "reading the streams");
    while (true) {
      const int r = sd_bus_message_enter_container(m, SD_BUS_TYPE_STRUCT, "ua{sv}");
      check(r, "reading the streams");
      if (r == 0) break;
      PortalStream s;
      check(sd_bus_message_read(m, "u", &s.node), "reading the streams");
      readDictionary(m, [&](const std::string& key) {
        if (key == "position") {
          check(sd_bus_message_read(m, "v", "(ii)", &s.x, &s.y), "reading a stream's position");
          return true;
        }
        if (key == "size") {
          check(sd_bus_message_read(m, "v", "(ii)", &s.width, &s.height), "reading a stream's size");
          return true;
        }
        if (key == "source_type") {
          check(sd_bus_message_read(m, "v", "u", &s.sourceType), "reading a stream's type");
          return true;
        }
        return false;
      });
      check(sd_bus_message_exit_container(m), "reading the streams");
      if (out.size() < kMaxStreams) out.push_back(s);
    }
    check(sd_bus_message_exit_container(m), "reading the streams");
    check(sd_bus_message_exit_container(m), "reading the streams");
  }

  sd_bus* bus_ = nullptr;
  std::string sender_;
  std::string tokenBase_;
  int requests_ = 0;
  std::string sessionHandle_;
};

// The PipeWire side shared by a source's streams: one thread loop, one core
// connected over the portal's descriptor.
class PipeWireConnection {
 public:
  explicit PipeWireConnection(int fd) {
    static std::once_flag once;
    std::call_once(once, [] { pw_init(nullptr, nullptr); });
    loop_ = pw_thread_loop_new("vantrel-screencast", nullptr);
    if (loop_ == nullptr) {
      close(fd);
      throw portalError("cannot create the PipeWire loop");
    }
    context_ = pw_context_new(pw_thread_loop_get_loop(loop_), nullptr, 0);
    if (context_ == nullptr) {
      close(fd);
      pw_thread_loop_destroy(loop_);
      throw portalError("cannot create the PipeWire context");
    }
    if (pw_thread_loop_start(loop_) < 0) {
      close(fd);
      pw_context_destroy(context_);
      pw_thread_loop_destroy(loop_);
      throw portalError("cannot start the PipeWire loop");
    }
    pw_thread_loop_lock(loop_);
    core_ = pw_context_connect_fd(context_, fd, nullptr, 0);  // takes the descriptor
    pw_thread_loop_unlock(loop_);
    if (core_ == nullptr) {
      const std::string reason = std::strerror(errno);
      pw_thread_loop_stop(loop_);
      pw_context_destroy(context_);
      pw_thread_loop_destroy(loop_);
      throw portalError("cannot connect to PipeWire: " + reason);
    }
  }

  ~PipeWireConnection() {
    pw_thread_loop_lock(loop_);
    pw_core_disconnect(core_);
    pw_thread_loop_unlock(loop_);
    pw_thread_loop_stop(loop_);
    pw_context_destroy(context_);
    pw_thread_loop_destroy(loop_);
  }

  PipeWireConnection(const PipeWireConnection&) = delete;
  PipeWireConnection& operator=(const PipeWireConnection&) = delete;

  pw_thread_loop* loop() const { return loop_; }
  pw_core* core() const { return core_; }

 private:
  pw_thread_loop* loop_ = nullptr;
  pw_context* context_ = nullptr;
  pw_core* core_ = nullptr;
};

std::optional<ScreenCastPixelFormat> pixelFormat(std::uint32_t spa) {
  switch (spa) {
    case SPA_VIDEO_FORMAT_BGRx: return ScreenCastPixelFormat::BGRx;
    case SPA_VIDEO_FORMAT_RGBx: return ScreenCastPixelFormat::RGBx;
    case SPA_VIDEO_FORMAT_BGRA: return ScreenCastPixelFormat::BGRA;
    case SPA_VIDEO_FORMAT_RGBA: return ScreenCastPixelFormat::RGBA;
    default: return std::nullopt;
  }
}

// One consumer of a portal node. Pictures are converted as they arrive on the
// PipeWire thread and kept as "the latest"; a tick thread of its own hands
// them to the recorder at the configured rate.
class PipeWireStream final : public CaptureStream {
 public:
  PipeWireStream(std::shared_ptr<PipeWireConnection> connection, std::uint32_t node, double unitsWide,
                 const StreamConfiguration& config, ScreenSampleHandler handler)
      : connection_(std::move(connection)), node_(node), unitsWide_(unitsWide), config_(config),
        handler_(std::move(handler)) {
    if (config_.width <= 0 || config_.height <= 0 || config_.width > kMaxSide || config_.height > kMaxSide ||
        config_.fps <= 0) {
      throw CaptureError(CaptureErrorCode::GrabFailed, "invalid stream size or rate");
    }
    pool_ = media::FramePool::create(config_.width, config_.height,
                                     static_cast<std::size_t>(std::clamp(config_.queueDepth, 2, 16)) + 2);
  }

  ~PipeWireStream() override { stopCapture(); }

  void startCapture() override {
    std::lock_guard control(controlMutex_);
    if (ticker_.joinable()) return;
    connect();
    {
      std::unique_lock lock(mutex_);
      const bool settled =
          changed_.wait_for(lock, kNegotiationTimeout, [this] { return format_.has_value() || !failure_.empty(); });
      if (!failure_.empty() || !settled) {
        const std::string why = failure_.empty() ? "the compositor offered no picture format" : failure_;
        lock.unlock();
        disconnect();
        throw CaptureError(CaptureErrorCode::TargetGone, "screen-cast stream " + std::to_string(node_) + ": " + why);
      }
    }
    stop_ = false;
    ticker_ = std::thread([this] { tick(); });
  }

  void stopCapture() override {
    std::lock_guard control(controlMutex_);
    stop_ = true;
    if (ticker_.joinable()) ticker_.join();
    disconnect();
  }

  void requestFrame() override { forceFrame_.store(true); }

  // Waits for the first picture format; its pixel size (0 x 0 when none came).
  std::pair<int, int> negotiatedSize() {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, kNegotiationTimeout, [this] { return format_.has_value() || !failure_.empty(); });
    if (!format_) return {0, 0};
    return {static_cast<int>(format_->size.width), static_cast<int>(format_->size.height)};
  }

  void connect() {
    pw_thread_loop* loop = connection_->loop();
    pw_thread_loop_lock(loop);
    pw_properties* props = pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
                                             PW_KEY_MEDIA_ROLE, "Screen", nullptr);
    stream_ = pw_stream_new(connection_->core(), "vantrel-recorder", props);
    if (stream_ == nullptr) {
      pw_thread_loop_unlock(loop);
      throw portalError("cannot create a PipeWire stream");
    }
    static const pw_stream_events events = [] {
      pw_stream_events e{};
      e.version = PW_VERSION_STREAM_EVENTS;
      e.state_changed = &PipeWireStream::onStateChanged;
      e.param_changed = &PipeWireStream::onParamChanged;
      e.process = &PipeWireStream::onProcess;
      return e;
    }();
    pw_stream_add_listener(stream_, &listener_, &events, this);

    std::uint8_t buffer[1024];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    spa_rectangle defSize{static_cast<std::uint32_t>(config_.width), static_cast<std::uint32_t>(config_.height)};
    spa_rectangle minSize{1, 1};
    spa_rectangle maxSize{kMaxSide, kMaxSide};
    spa_fraction defRate{static_cast<std::uint32_t>(config_.fps), 1};
    spa_fraction minRate{0, 1};
    spa_fraction maxRate{1000, 1};
    const spa_pod* params[1];
    params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
        SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
        SPA_POD_CHOICE_ENUM_Id(5, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_RGBx,
                               SPA_VIDEO_FORMAT_BGRA, SPA_VIDEO_FORMAT_RGBA),
        SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&defSize, &minSize, &maxSize), SPA_FORMAT_VIDEO_framerate,
        SPA_POD_CHOICE_RANGE_Fraction(&defRate, &minRate, &maxRate)));
    const int r = pw_stream_connect(stream_, PW_DIRECTION_INPUT, node_,
                                    static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS),
                                    params, 1);
    pw_thread_loop_unlock(loop);
    if (r < 0) {
      disconnect();
      throw portalError(std::string("cannot connect to the screen-cast stream: ") + spa_strerror(r));
    }
  }

  void disconnect() {
    pw_thread_loop* loop = connection_->loop();
    pw_thread_loop_lock(loop);
    if (stream_ != nullptr) {
      spa_hook_remove(&listener_);
      pw_stream_disconnect(stream_);
      pw_stream_destroy(stream_);
      stream_ = nullptr;
    }
    pw_thread_loop_unlock(loop);
    std::lock_guard lock(mutex_);
    format_.reset();
    failure_.clear();
  }

 private:
  static void onStateChanged(void* data, pw_stream_state, pw_stream_state state, const char* error) {
    auto* self = static_cast<PipeWireStream*>(data);
    if (state != PW_STREAM_STATE_ERROR && state != PW_STREAM_STATE_UNCONNECTED) return;
    {
      std::lock_guard lock(self->mutex_);
      self->failure_ = error != nullptr ? error : "the stream ended";
      self->ended_ = true;
    }
    self->changed_.notify_all();
  }

  static void onParamChanged(void* data, std::uint32_t id, const spa_pod* param) {
    auto* self = static_cast<PipeWireStream*>(data);
    if (param == nullptr || id != SPA_PARAM_Format) return;
    std::uint32_t mediaType = 0, mediaSubtype = 0;
    if (spa_format_parse(param, &mediaType, &mediaSubtype) < 0 || mediaType != SPA_MEDIA_TYPE_video ||
        mediaSubtype != SPA_MEDIA_SUBTYPE_raw) {
      return;
    }
    spa_video_info_raw info{};
    if (spa_format_video_raw_parse(param, &info) < 0 || !pixelFormat(info.format) || info.size.width == 0 ||
        info.size.height == 0 || info.size.width > kMaxSide || info.size.height > kMaxSide) {
      pw_stream_set_error(self->stream_, -EINVAL, "unsupported picture format");
      return;
    }
    std::uint8_t buffer[256];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    const spa_pod* params[1];
    // Memory the process can map; GPU buffers would need a renderer here.
    params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_dataType,
        SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr))));
    pw_stream_update_params(self->stream_, params, 1);
    {
      std::lock_guard lock(self->mutex_);
      self->format_ = info;
    }
    self->changed_.notify_all();
  }

  static void onProcess(void* data) { static_cast<PipeWireStream*>(data)->process(); }

  void process() {
    // Only the newest picture matters; older ones go straight back.
    pw_buffer* newest = nullptr;
    while (pw_buffer* b = pw_stream_dequeue_buffer(stream_)) {
      if (newest != nullptr) pw_stream_queue_buffer(stream_, newest);
      newest = b;
    }
    if (newest == nullptr) return;
    std::optional<spa_video_info_raw> format;
    {
      std::lock_guard lock(mutex_);
      format = format_;
    }
    const spa_buffer* buf = newest->buffer;
    if (format && buf->n_datas >= 1) {
      const spa_data& d = buf->datas[0];
      const bool usable = d.data != nullptr && d.chunk != nullptr && (d.chunk->flags & SPA_CHUNK_FLAG_CORRUPTED) == 0 &&
                          d.chunk->size > 0 && d.chunk->offset < d.maxsize;
      if (usable) {
        ScreenCastFrameView view;
        view.data = static_cast<const std::uint8_t*>(d.data) + d.chunk->offset;
        view.size = std::min<std::size_t>(d.maxsize - d.chunk->offset, d.chunk->size);
        view.width = static_cast<int>(format->size.width);
        view.height = static_cast<int>(format->size.height);
        view.stride = d.chunk->stride != 0 ? d.chunk->stride : view.width * 4;
        view.format = *pixelFormat(format->format);
        convertLatest(view);
      }
    }
    pw_stream_queue_buffer(stream_, newest);
  }

  // The configured area in the picture's pixels: the frame's units scaled by
  // the picture's width over the frame's.
  Rect pixelArea(const ScreenCastFrameView& view) const {
    if (!config_.sourceRect) return Rect{0, 0, view.width, view.height};
    const double s = unitsWide_ > 0 ? view.width / unitsWide_ : 1.0;
    const Rect& r = *config_.sourceRect;
    const int x0 = static_cast<int>(r.x * s + 0.5), y0 = static_cast<int>(r.y * s + 0.5);
    const int x1 = static_cast<int>((r.x + r.width) * s + 0.5), y1 = static_cast<int>((r.y + r.height) * s + 0.5);
    return Rect{x0, y0, x1 - x0, y1 - y0};
  }

  void convertLatest(const ScreenCastFrameView& view) {
    std::shared_ptr<media::PixelBuffer> frame = pool_->tryAcquire();
    if (!frame) return;  // the recorder holds every buffer: this picture is skipped
    if (!converter_.convert(view, pixelArea(view), *frame)) return;
    std::lock_guard lock(mutex_);
    latest_ = std::move(frame);
    fresh_ = true;
  }

  void tick() {
    using Clock = std::chrono::steady_clock;
    const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / config_.fps));
    auto next = Clock::now();
    double lastComplete = -1e9;
    while (!stop_.load()) {
      std::this_thread::sleep_until(next);
      if (stop_.load()) break;
      next += period;
      if (next < Clock::now() - period) next = Clock::now();  // a stall skips ticks instead of bursting
      ScreenSample sample;
      sample.presentationTime = captureClockSeconds();
      {
        std::lock_guard lock(mutex_);
        const bool force = forceFrame_.exchange(false);
        // After the node has gone the last picture is not repeated: the
        // recording shows the sharing ended instead of freezing on it.
        const bool refresh = !ended_ && sample.presentationTime - lastComplete >= config_.refreshSeconds;
        if (latest_ && (fresh_ || force || refresh)) {
          sample.status = FrameStatus::complete;
          sample.frame = latest_;
          fresh_ = false;
          lastComplete = sample.presentationTime;
        }
      }
      handler_(sample);
    }
  }

  std::shared_ptr<PipeWireConnection> connection_;
  const std::uint32_t node_;
  const double unitsWide_;
  const StreamConfiguration config_;
  ScreenSampleHandler handler_;
  std::shared_ptr<media::FramePool> pool_;
  ScreenCastConverter converter_;  // PipeWire thread only
  pw_stream* stream_ = nullptr;
  spa_hook listener_{};

  std::mutex controlMutex_;
  std::thread ticker_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> forceFrame_{false};

  std::mutex mutex_;  // guards what follows
  std::condition_variable changed_;
  std::optional<spa_video_info_raw> format_;
  std::string failure_;
  bool ended_ = false;
  std::shared_ptr<media::PixelBuffer> latest_;
  bool fresh_ = false;
};

class PortalSource final : public CaptureSource {
 public:
  explicit PortalSource(PortalSourceType type) : type_(type), session_(std::make_unique<PortalSession>()) {}

  ~PortalSource() override {
    connection_.reset();
    session_.reset();
  }

  ShareableContent shareableContent() override {
    if (content_) return *content_;
    streams_ = session_->start(type_);
    connection_ = std::make_shared<PipeWireConnection>(session_->openPipeWireRemote());
    ShareableContent content;
    const std::vector<WaylandOutput> outputs = waylandOutputs();
    for (const PortalStream& s : streams_) {
      // The portal's size may be in pixels or in logical units depending on the
      // desktop; the stream's own picture and the outputs' scales tell which.
      int pixelWidth = 0, pixelHeight = 0;
      {
        StreamConfiguration probeConfig;
        probeConfig.width = std::max(2, s.width);
        probeConfig.height = std::max(2, s.height);
        PipeWireStream probe(connection_, s.node, 0, probeConfig, [](const ScreenSample&) {});
        probe.connect();
        std::tie(pixelWidth, pixelHeight) = probe.negotiatedSize();
        probe.disconnect();
      }
      if (pixelWidth <= 0 || pixelHeight <= 0) {
        throw CaptureError(CaptureErrorCode::TargetGone, "screen-cast stream " + std::to_string(s.node) + " has no picture");
      }
      const double scale = std::max(1.0, screenCastScale(pixelWidth, pixelHeight, s.x, s.y, s.width, outputs));
      const int units = static_cast<int>(std::lround(pixelWidth / scale));
      const int height = static_cast<int>(std::lround(pixelHeight / scale));
      const Rect frame{s.x, s.y, units, height};
      // Only the one type asked for can have been granted; the streams'
      // own source_type is not trusted (some backends label monitors as windows).
      if (type_ == PortalSourceType::window) {
        CaptureWindow w;
        w.id = s.node;
        w.frame = frame;
        w.title = "shared window";
        w.scale = scale;
        content.windows.push_back(std::move(w));
      } else {
        CaptureDisplay d;
        d.id = s.node;
        d.name = "portal-" + std::to_string(s.node);
        d.frame = frame;
        d.primary = content.displays.empty();
        d.scale = scale;
        content.displays.push_back(std::move(d));
      }
      unitsWide_.emplace_back(s.node, static_cast<double>(units));
    }
    content_ = content;
    return content;
  }

  std::unique_ptr<CaptureStream> createStream(const StreamConfiguration& configuration,
                                              ScreenSampleHandler handler) override {
    if (!connection_) shareableContent();
    const auto it = std::find_if(unitsWide_.begin(), unitsWide_.end(),
                                 [&](const auto& e) { return e.first == configuration.target.id; });
    if (it == unitsWide_.end()) {
      throw CaptureError(CaptureErrorCode::TargetGone, "screen-cast stream " + std::to_string(configuration.target.id));
    }
    return std::make_unique<PipeWireStream>(connection_, it->first, it->second, configuration, std::move(handler));
  }

 private:
  PortalSourceType type_;
  std::unique_ptr<PortalSession> session_;
  std::shared_ptr<PipeWireConnection> connection_;
  std::vector<PortalStream> streams_;
  std::vector<std::pair<std::uint32_t, double>> unitsWide_;
  std::optional<ShareableContent> content_;
};

AVPixelFormat avFormat(ScreenCastPixelFormat f) {
  switch (f) {
    case ScreenCastPixelFormat::BGRx: return AV_PIX_FMT_BGR0;
    case ScreenCastPixelFormat::RGBx: return AV_PIX_FMT_RGB0;
    case ScreenCastPixelFormat::BGRA: return AV_PIX_FMT_BGRA;
    case ScreenCastPixelFormat::RGBA: return AV_PIX_FMT_RGBA;
  }
  return AV_PIX_FMT_BGR0;
}

}  // namespace

ScreenCastConverter::~ScreenCastConverter() {
  if (scaler_ != nullptr) sws_freeContext(scaler_);
}

bool ScreenCastConverter::convert(const ScreenCastFrameView& src, const Rect& area, media::PixelBuffer& dst) {
  if (src.data == nullptr || src.width <= 0 || src.height <= 0 || src.width > kMaxSide || src.height > kMaxSide ||
      src.stride < src.width * 4) {
    return false;
  }
  const std::size_t needed =
      static_cast<std::size_t>(src.stride) * static_cast<std::size_t>(src.height - 1) + static_cast<std::size_t>(src.width) * 4;
  if (src.size < needed) return false;
  const int x0 = std::clamp(area.x, 0, src.width), y0 = std::clamp(area.y, 0, src.height);
  const int x1 = std::clamp(area.x + area.width, 0, src.width), y1 = std::clamp(area.y + area.height, 0, src.height);
  const int w = x1 - x0, h = y1 - y0;
  if (w <= 0 || h <= 0) return false;
  const std::uint8_t* origin = src.data + static_cast<std::size_t>(y0) * src.stride + static_cast<std::size_t>(x0) * 4;

  const bool bgrOrder = src.format == ScreenCastPixelFormat::BGRx || src.format == ScreenCastPixelFormat::BGRA;
  if (bgrOrder && w == dst.width() && h == dst.height()) {
    for (int y = 0; y < h; ++y) {
      std::memcpy(dst.row(y), origin + static_cast<std::size_t>(y) * src.stride, static_cast<std::size_t>(w) * 4);
    }
    return true;
  }
  const int key[5] = {w, h, static_cast<int>(src.format), dst.width(), dst.height()};
  if (scaler_ == nullptr || !std::equal(key, key + 5, scalerKey_)) {
    if (scaler_ != nullptr) sws_freeContext(scaler_);
    scaler_ = sws_getContext(w, h, avFormat(src.format), dst.width(), dst.height(), AV_PIX_FMT_BGRA, SWS_AREA, nullptr,
                             nullptr, nullptr);
    if (scaler_ == nullptr) return false;
    std::copy(key, key + 5, scalerKey_);
  }
  const std::uint8_t* srcPlanes[1] = {origin};
  const int srcStrides[1] = {src.stride};
  std::uint8_t* dstPlanes[1] = {dst.data()};
  const int dstStrides[1] = {dst.stride()};
  sws_scale(scaler_, srcPlanes, srcStrides, 0, h, dstPlanes, dstStrides);
  return true;
}

std::unique_ptr<CaptureSource> openPortalCaptureSource(PortalSourceType type) {
  return std::make_unique<PortalSource>(type);
}

}  // namespace vantrel::desktop
