// The recorder on a headless Wayland desktop (sway, PipeWire, the ScreenCast
// portal) started by scripts/wayland-session, and the conversion of
// screen-cast pictures into the recorder's frames.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <thread>

#include "desktop_session.h"
#include "pictures.h"
#include "vantrel/desktop/portal_capture.h"

using namespace vantrel::testing;
using vantrel::desktop::Rect;
using vantrel::desktop::ScreenCastConverter;
using vantrel::desktop::ScreenCastFrameView;
using vantrel::desktop::ScreenCastPixelFormat;
using vantrel::media::PixelBuffer;
using nlohmann::json;
using namespace std::chrono_literals;

namespace {

// ---- conversion ------------------------------------------------------------------

// A 4 x 2 picture whose pixel (x, y) has the channels (10x+y, 100+x, 200+y)
// in the order the format names them, so swaps and offsets show.
std::vector<std::uint8_t> testPicture(int stride) {
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(stride) * 2, 0xEE);
  for (int y = 0; y < 2; ++y) {
    for (int x = 0; x < 4; ++x) {
      std::uint8_t* p = bytes.data() + y * stride + x * 4;
      p[0] = static_cast<std::uint8_t>(10 * x + y);
      p[1] = static_cast<std::uint8_t>(100 + x);
      p[2] = static_cast<std::uint8_t>(200 + y);
      p[3] = 0x55;
    }
  }
  return bytes;
}

TEST(ScreenCastConverter, CropsAndSwizzlesIntoBgra) {
  const int stride = 20;  // padded rows
  const auto bytes = testPicture(stride);
  struct Case {
    ScreenCastPixelFormat format;
    bool swapped;  // the first channel in memory is red
  } cases[] = {{ScreenCastPixelFormat::BGRx, false}, {ScreenCastPixelFormat::RGBx, true},
               {ScreenCastPixelFormat::BGRA, false}, {ScreenCastPixelFormat::RGBA, true}};
  for (const auto& c : cases) {
    ScreenCastConverter converter;
    PixelBuffer dst(2, 2);
    const ScreenCastFrameView view{bytes.data(), bytes.size(), 4, 2, stride, c.format};
    ASSERT_TRUE(converter.convert(view, Rect{1, 0, 2, 2}, dst));
    for (int y = 0; y < 2; ++y) {
      for (int x = 0; x < 2; ++x) {
        const std::uint8_t* p = dst.row(y) + x * 4;
        const int sx = x + 1;
        const int first = 10 * sx + y, second = 100 + sx, third = 200 + y;
        SCOPED_TRACE(::testing::Message() << "format " << static_cast<int>(c.format) << " at " << x << "," << y);
        EXPECT_EQ(p[0], c.swapped ? third : first);
        EXPECT_EQ(p[1], second);
        EXPECT_EQ(p[2], c.swapped ? first : third);
      }
    }
  }
}

TEST(ScreenCastConverter, ScalesTheAreaOntoTheWholeFrame) {
  // Left half one colour, right half another: scaled to 2 x 1 each pixel is one half.
  const int w = 8, h = 4, stride = w * 4;
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(stride) * h);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const std::array<std::uint8_t, 4> px = x < w / 2 ? std::array<std::uint8_t, 4>{20, 40, 220, 0}
                                                       : std::array<std::uint8_t, 4>{200, 180, 10, 0};
      std::memcpy(bytes.data() + y * stride + x * 4, px.data(), 4);
    }
  }
  ScreenCastConverter converter;
  PixelBuffer dst(2, 1);
  ASSERT_TRUE(converter.convert({bytes.data(), bytes.size(), w, h, stride, ScreenCastPixelFormat::BGRx},
                                Rect{0, 0, w, h}, dst));
  EXPECT_NEAR(dst.row(0)[0], 20, 2);
  EXPECT_NEAR(dst.row(0)[2], 220, 2);
  EXPECT_NEAR(dst.row(0)[4], 200, 2);
  EXPECT_NEAR(dst.row(0)[6], 10, 2);
}

TEST(ScreenCastConverter, RefusesViewsThatDoNotHoldTheirPicture) {
  const auto bytes = testPicture(16);
  struct Case {
    const char* what;
    ScreenCastFrameView view;
    Rect area;
  } cases[] = {
      {"no data", {nullptr, bytes.size(), 4, 2, 16, ScreenCastPixelFormat::BGRx}, {0, 0, 4, 2}},
      {"rows shorter than the width", {bytes.data(), bytes.size(), 4, 2, 12, ScreenCastPixelFormat::BGRx}, {0, 0, 4, 2}},
      {"fewer bytes than the rows", {bytes.data(), 16 + 15, 4, 2, 16, ScreenCastPixelFormat::BGRx}, {0, 0, 4, 2}},
      {"negative stride", {bytes.data(), bytes.size(), 4, 2, -16, ScreenCastPixelFormat::BGRx}, {0, 0, 4, 2}},
      {"huge size", {bytes.data(), bytes.size(), 100000, 2, 16, ScreenCastPixelFormat::BGRx}, {0, 0, 4, 2}},
      {"area off the picture", {bytes.data(), bytes.size(), 4, 2, 16, ScreenCastPixelFormat::BGRx}, {5, 0, 2, 2}},
      {"empty area", {bytes.data(), bytes.size(), 4, 2, 16, ScreenCastPixelFormat::BGRx}, {1, 1, 0, 1}},
  };
  for (const auto& c : cases) {
    ScreenCastConverter converter;
    PixelBuffer dst(2, 2);
    dst.fill(1, 2, 3, 4);
    EXPECT_FALSE(converter.convert(c.view, c.area, dst)) << c.what;
    EXPECT_EQ(dst.row(1)[4], 1) << c.what << ": the frame was written";
  }
}

// ---- the recorder on Wayland -------------------------------------------------------

// A private headless Wayland desktop for one test; stopped and reaped in the
// destructor. `available()` is false when it cannot start on this machine.
class WaylandDesktop {
 public:
  explicit WaylandDesktop(std::vector<std::string> options = {}) {
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    std::vector<std::string> argv = {WAYLAND_SESSION_SCRIPT, "start", dir_.path(), "--background", "3060c0"};
    argv.insert(argv.end(), options.begin(), options.end());
    Child script(argv, {});
    script.closeInput();
    const std::string out = script.readAll(45s);
    const int status = script.wait(45s);
    std::ifstream pids(dir_.file("pids"));
    for (std::string line; std::getline(pids, line);) {
      if (!line.empty()) pids_.push_back(static_cast<pid_t>(std::stol(line)));
    }
    if (status != 0) {
      failure_ = script.errorOutput();
      return;
    }
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
      if (!line.empty()) env_.push_back(line);
    }
    // Nothing of the test runner's own desktop may leak in: no X server at all.
    for (const char* name : {"-DISPLAY", "-XDG_CURRENT_DESKTOP", "-PIPEWIRE_REMOTE"}) env_.push_back(name);
  }

  ~WaylandDesktop() {
    if (pids_.empty()) return;
    Child script({WAYLAND_SESSION_SCRIPT, "stop", dir_.path()}, {});
    script.closeInput();
    script.readAll(20s);
    script.wait(20s);
    for (pid_t pid : pids_) {
      for (int i = 0; i < 200; ++i) {
        int status = 0;
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid || (r < 0 && errno == ECHILD)) break;
        if (i == 100) ::kill(pid, SIGKILL);
        std::this_thread::sleep_for(10ms);
      }
    }
  }

  bool available() const { return failure_.empty(); }
  const std::string& failure() const { return failure_; }
  const std::vector<std::string>& env() const { return env_; }
  std::string scratch(const std::string& name) const { return dir_.file(name); }

  // wlroots' portal sends a picture only when something on the output
  // changed; a fresh background gives a still test desktop its first one.
  void nudge() { setBackground("3060c0"); }

  // sway restarts swaybg for every change, and meanwhile the output shows
  // sway's own grey; the output is not polled (with grim) for the result,
  // because a second screen-copy client can take the damage the portal waits
  // for, and then the portal sends nothing.
  void setBackground(const std::string& hex) {
    const ProcessResult r = runChild({"swaymsg", "output", "*", "bg", "#" + hex, "solid_color"}, env_);
    ASSERT_EQ(r.exitStatus, 0) << r.out << r.err;
  }

  // The output's pixel at a logical position as 0xRRGGBB (-1 when grim fails).
  int pixelAt(int x, int y) const {
    const ProcessResult r =
        runChild({"grim", "-g", std::to_string(x) + "," + std::to_string(y) + " 1x1", "-t", "ppm", "-"}, env_);
    if (r.exitStatus != 0 || r.out.size() < 3) return -1;
    const auto* p = reinterpret_cast<const unsigned char*>(r.out.data() + r.out.size() - 3);
    return p[0] << 16 | p[1] << 8 | p[2];
  }

 private:
  TempDir dir_;
  std::vector<pid_t> pids_;
  std::vector<std::string> env_;
  std::string failure_;
};

std::optional<json> waitForStatus(Child& child, const std::string& status, std::chrono::milliseconds timeout = 20s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    auto line = child.readLine(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()));
    if (!line) return std::nullopt;
    json j = json::parse(*line);
    if (j.value("status", "") == status) return j;
    if (j.contains("error") && !j.contains("status")) return j;
  }
  return std::nullopt;
}

struct Yuv {
  double y = 0, u = 0, v = 0;
};

// The mean Y'CbCr of every frame of `path`'s video, as stored (no conversion
// back to RGB, whose rounding in the decoder would blur the comparison).
std::vector<Yuv> frameColours(const std::string& path) {
  const ProcessResult r = runProcess({"/usr/bin/ffmpeg", "-v", "error", "-i", path, "-vf", "scale=8:8:flags=area", "-f",
                                      "rawvideo", "-pix_fmt", "yuv444p", "-"});
  std::vector<Yuv> out;
  if (r.exitStatus != 0) return out;
  constexpr std::size_t kPlane = 8 * 8;
  for (std::size_t off = 0; off + 3 * kPlane <= r.out.size(); off += 3 * kPlane) {
    Yuv c;
    for (std::size_t i = 0; i < kPlane; ++i) {
      c.y += static_cast<unsigned char>(r.out[off + i]);
      c.u += static_cast<unsigned char>(r.out[off + kPlane + i]);
      c.v += static_cast<unsigned char>(r.out[off + 2 * kPlane + i]);
    }
    c.y /= kPlane;
    c.u /= kPlane;
    c.v /= kPlane;
    out.push_back(c);
  }
  return out;
}

// `rgb` as BT.709 limited-range Y'CbCr, the recorder's encoding.
Yuv bt709(int rgb) {
  const double r = (rgb >> 16) & 0xff, g = (rgb >> 8) & 0xff, b = rgb & 0xff;
  const double y = 0.2126 * r + 0.7152 * g + 0.0722 * b;
  return {16 + y * 219 / 255, 128 + (b - y) / 1.8556 * 224 / 255, 128 + (r - y) / 1.5748 * 224 / 255};
}

bool isColour(const Yuv& c, int rgb) {
  const Yuv e = bt709(rgb);
  return std::abs(c.y - e.y) <= 3 && std::abs(c.u - e.u) <= 3 && std::abs(c.v - e.v) <= 3;
}

void expectColour(const Yuv& c, int rgb, const std::string& what) {
  const Yuv e = bt709(rgb);
  EXPECT_NEAR(c.y, e.y, 3) << what;
  EXPECT_NEAR(c.u, e.u, 3) << what;
  EXPECT_NEAR(c.v, e.v, 3) << what;
}

std::pair<int, int> videoSize(const std::string& path) {
  const ProcessResult r = runProcess({"/usr/bin/ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                                      "stream=width,height", "-of", "csv=p=0", path});
  int w = 0, h = 0;
  if (r.exitStatus == 0) std::sscanf(r.out.c_str(), "%d,%d", &w, &h);
  return {w, h};
}

// Nudges the desktop until the recorder writes its first frame: wlroots'
// portal now and then sends nothing for the last change of a burst (see the
// README), and the recorder cannot write what it never received.
bool firstPicture(Child& child, WaylandDesktop& desktop) {
  for (int attempt = 0; attempt < 4; ++attempt) {
    desktop.nudge();
    if (waitForStatus(child, "firstSample", 4s)) return true;
  }
  return false;
}

class WaylandRecording : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!desktop.available()) GTEST_SKIP() << "the headless Wayland desktop cannot start here: " << desktop.failure();
  }
  bool firstPicture(Child& child) { return ::firstPicture(child, desktop); }
  std::unique_ptr<Child> start(json config) {
    config["type"] = config.value("type", "display");
    if (!config.contains("displayId") && config["type"] == "display") config["displayId"] = 1;
    return std::make_unique<Child>(std::vector<std::string>{SCK_RECORDER, config.dump()}, desktop.env());
  }
  WaylandDesktop desktop;
};

}  // namespace

TEST_F(WaylandRecording, TheFileShowsWhatTheOutputShowsCroppedAndInOrder) {
  const std::string path = desktop.scratch("crop.mp4");
  auto child = start({{"outputPath", path},
                      {"backendPreference", "legacy-avassetwriter"},
                      {"cropRect", {{"x", 200}, {"y", 100}, {"width", 321}, {"height", 161}}}});
  auto started = waitForStatus(*child, "started");
  ASSERT_TRUE(started) << child->errorOutput();
  ASSERT_EQ((*started)["backend"], "legacy-avassetwriter") << started->dump();
  ASSERT_TRUE(firstPicture(*child));
  std::this_thread::sleep_for(1200ms);
  desktop.setBackground("20c040");
  std::this_thread::sleep_for(1200ms);
  child->write("stop\n");
  auto stopped = waitForStatus(*child, "stopped");
  ASSERT_TRUE(stopped);
  EXPECT_EQ(child->wait(), 0);
  EXPECT_EQ(videoSize(path), std::make_pair(320, 160));
  const auto colours = frameColours(path);
  ASSERT_GE(colours.size(), 3u);
  // The old background, then the new one, never back.
  const auto before = std::find_if(colours.begin(), colours.end(), [](const Yuv& c) { return isColour(c, 0x3060c0); });
  const auto after = std::find_if(colours.begin(), colours.end(), [](const Yuv& c) { return isColour(c, 0x20c040); });
  ASSERT_NE(before, colours.end());
  ASSERT_NE(after, colours.end());
  EXPECT_LT(before, after);
  EXPECT_TRUE(std::none_of(after, colours.end(), [](const Yuv& c) { return isColour(c, 0x3060c0); }));
  expectColour(colours.back(), 0x20c040, "last frame");
  const json& t = (*stopped)["telemetry"];
  EXPECT_EQ(t["requestedFps"], 30);
  EXPECT_GT(t["screenSamplesReceived"].get<int>(), 45);  // about 30 ticks a second, idle or not
  EXPECT_GE(t["screenSamplesComplete"].get<int>(), 3);
  EXPECT_NEAR((*stopped)["duration"].get<double>(), 2.4, 0.8);
}

// The PipeWire stream lives through the pause, so the resumed segment starts
// with the picture the output showed meanwhile, whether or not the screen
// changes again after the resume.
TEST_F(WaylandRecording, SegmentsAcrossPauseAndResume) {
  const std::string base = desktop.scratch("take.mp4");
  auto child = start({{"outputPath", base}, {"resolution", "720p"}});
  auto started = waitForStatus(*child, "started");
  ASSERT_TRUE(started) << child->errorOutput();
  EXPECT_EQ((*started)["backend"], "sc-recording-output");
  ASSERT_TRUE(firstPicture(*child));
  std::this_thread::sleep_for(1000ms);
  child->write("pause\n");
  ASSERT_TRUE(waitForStatus(*child, "paused"));
  child->write("pause\n");  // no second line
  desktop.setBackground("c02030");
  // The change reaches the paused recorder (and is dropped there); the
  // resumed segment begins with it, however long ago it came.
  std::this_thread::sleep_for(1000ms);
  child->write("resume\n");
  ASSERT_TRUE(waitForStatus(*child, "resumed"));
  std::this_thread::sleep_for(1500ms);
  child->closeInput();  // end of input is a stop
  auto stopped = waitForStatus(*child, "stopped");
  ASSERT_TRUE(stopped);
  EXPECT_EQ(child->wait(), 0);
  const std::vector<std::string> expected = {desktop.scratch("take-seg1.mp4"), desktop.scratch("take-seg2.mp4")};
  EXPECT_EQ((*stopped)["segmentPaths"].get<std::vector<std::string>>(), expected);
  const json& t = (*stopped)["telemetry"];
  EXPECT_EQ(t["pauseCount"], 1);
  EXPECT_EQ(t["recordingOutputStartCount"], 2);
  EXPECT_EQ(t["recordingOutputFinishCount"], 2);
  const auto first = frameColours(expected[0]);
  const auto second = frameColours(expected[1]);
  ASSERT_FALSE(first.empty());
  ASSERT_FALSE(second.empty());
  // The first segment shows the desktop: its background, or only sway's grey
  // of a background being set when the portal dropped the picture after it.
  EXPECT_TRUE(std::all_of(first.begin(), first.end(), [](const Yuv& c) {
    return isColour(c, 0x3060c0) || (std::abs(c.u - 128) <= 3 && std::abs(c.v - 128) <= 3);
  })) << "first segment starts with " << first.front().y << "," << first.front().u << "," << first.front().v;
  // The resumed segment starts at once with the stream's latest picture: the
  // change made while paused, or, when wlroots' portal dropped that change
  // (it now and then sends nothing for the last damage of a burst), the
  // picture the first segment ended with. Never an older one, never empty.
  const Yuv& last = first.back();
  const bool sameAsBefore = std::abs(second.front().y - last.y) <= 3 && std::abs(second.front().u - last.u) <= 3 &&
                            std::abs(second.front().v - last.v) <= 3;
  EXPECT_TRUE(isColour(second.front(), 0xc02030) || sameAsBefore)
      << "second segment starts with " << second.front().y << "," << second.front().u << "," << second.front().v;
  if (!isColour(second.front(), 0xc02030)) std::printf("note: the portal sent no picture of the change\n");
  EXPECT_EQ(videoSize(expected[1]), std::make_pair(1280, 720));
}

TEST_F(WaylandRecording, KilledRecorderLeavesAPlayableFile) {
  const std::string path = desktop.scratch("killed.mp4");
  auto child = start({{"outputPath", path}, {"backendPreference", "legacy-avassetwriter"}});
  ASSERT_TRUE(waitForStatus(*child, "started")) << child->errorOutput();
  ASSERT_TRUE(firstPicture(*child));
  std::this_thread::sleep_for(3500ms);
  ASSERT_EQ(::kill(child->pid(), SIGKILL), 0);
  child->wait();
  const ProcessResult r = runProcess({"/usr/bin/ffprobe", "-v", "error", "-show_entries", "format=duration", "-of",
                                      "csv=p=0", path});
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_GE(std::stod(r.out), 1.9);
}

TEST_F(WaylandRecording, PortalRefusalsAreFatalLines) {
  struct Case {
    json config;
    std::vector<std::string> env;
    std::string error, messageStart;
  } cases[] = {
      // This portal shares monitors only.
      {{{"type", "window"}, {"windowId", 5}, {"outputPath", desktop.scratch("w.mp4")}},
       {},
       "content_enumeration_failed",
       "Screen cast failed: the portal cannot share windows"},
      {{{"outputPath", desktop.scratch("x.mp4")}},
       {"DBUS_SESSION_BUS_ADDRESS=unix:path=" + desktop.scratch("no-bus")},
       "content_enumeration_failed",
       "Cannot open the display: no session bus"},
      {{{"type", "display"}, {"outputPath", desktop.scratch("y.mp4")}}, {}, "invalid_config", "displayId required"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> env = desktop.env();
    env.insert(env.end(), c.env.begin(), c.env.end());
    json config = c.config;
    if (config.value("type", "") != "display" && !config.contains("type")) {
      config["type"] = "display";
      config["displayId"] = 1;
    }
    Child child({SCK_RECORDER, config.dump()}, env);
    const auto line = child.readLine(20s);
    ASSERT_TRUE(line) << config.dump();
    const json j = json::parse(*line);
    EXPECT_EQ(j.value("error", ""), c.error) << *line;
    EXPECT_EQ(j.value("message", "").rfind(c.messageStart, 0), 0u) << *line;
    EXPECT_EQ(child.wait(20s), 1);
  }
}

// At 200 % the portal of wlroots reports the output's pixel size; the
// recorder still lists the output in logical units, and a crop in logical
// units records exactly the device pixels under it.
TEST(ScaledWaylandRecording, CropInLogicalUnitsRecordsTheDevicePixelsUnderIt) {
  WaylandDesktop desktop({"--scale", "2"});
  if (!desktop.available()) GTEST_SKIP() << "the headless Wayland desktop cannot start here: " << desktop.failure();
  const ProcessResult list = runChild({SCK_RECORDER, "--list-displays"}, desktop.env());
  ASSERT_EQ(list.exitStatus, 0) << list.err;
  const json displays = json::parse(list.out);
  ASSERT_EQ(displays.size(), 1u) << list.out;
  EXPECT_EQ(displays[0]["width"], 960);
  EXPECT_EQ(displays[0]["height"], 540);

  const std::string picture = desktop.scratch("pattern.png");
  writePattern(picture, 1920, 1080);
  const std::string path = desktop.scratch("scaled.mp4");
  Child child({SCK_RECORDER, json{{"type", "display"},
                                  {"displayId", displays[0]["id"]},
                                  {"outputPath", path},
                                  {"backendPreference", "legacy-avassetwriter"},
                                  {"cropRect", {{"x", 150}, {"y", 90}, {"width", 200}, {"height", 100}}}}
                                 .dump()},
              desktop.env());
  ASSERT_TRUE(waitForStatus(child, "started")) << child.errorOutput();
  const ProcessResult bg = runChild({"swaymsg", "output", "*", "bg", picture, "stretch"}, desktop.env());
  ASSERT_EQ(bg.exitStatus, 0) << bg.out << bg.err;
  ASSERT_TRUE(waitForStatus(child, "firstSample"));
  std::this_thread::sleep_for(1500ms);  // the pattern's own picture follows sway's grey
  child.write("stop\n");
  ASSERT_TRUE(waitForStatus(child, "stopped"));
  EXPECT_EQ(child.wait(), 0);
  EXPECT_EQ(videoSize(path), std::make_pair(400, 200));
  // grim shoots a logical area at the output's scale: the same device pixels.
  const ProcessResult shot = runChild({"grim", "-g", "150,90 200x100", "-t", "ppm", "-"}, desktop.env());
  ASSERT_EQ(shot.exitStatus, 0) << shot.err;
  const std::string header = "P6\n400 200\n255\n";
  ASSERT_EQ(shot.out.rfind(header, 0), 0u) << shot.out.substr(0, 20);
  const std::string frame = lastFrameRgb(path);
  ASSERT_EQ(frame.size(), 400u * 200 * 3);
  // About 1 when right; one logical unit off in x already gives nearly 4.
  EXPECT_LT(meanDifference(shot.out.substr(header.size()), frame), 2.5);
}
