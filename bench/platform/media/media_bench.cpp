// Measurements of the media layer on this machine. Every figure is the median
// of several runs, next to a baseline measured in the same run.
//
//   vantrel_media_bench convert            BGRA->I420 1080p: vector, scalar, swscale
//   vantrel_media_bench decode <dir>       1080p H.264 decode rate
//   vantrel_media_bench encode <dir>       writer throughput and PSNR per x264 preset
//   vantrel_media_bench remux <dir>        10-minute 1080p pass-through export
//   vantrel_media_bench memory <dir>       RSS of a 10-minute decode-compose-encode
//
// Fixtures are generated into <dir> with the ffmpeg program.

#include "vantrel/media/bgra_to_i420.h"
#include "vantrel/media/export_session.h"
#include "vantrel/media/readers.h"
#include "vantrel/media/video_composition_reader.h"
#include "vantrel/media/writer.h"

extern "C" {
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <numeric>
#include <random>
#include <string>
#include <thread>
#include <vector>

using namespace vantrel::media;
using Clock = std::chrono::steady_clock;

namespace {

double seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

double timeMedian(int runs, const std::function<void()>& f) {
  std::vector<double> t;
  for (int i = 0; i < runs; ++i) {
    const auto a = Clock::now();
    f();
    t.push_back(seconds(a, Clock::now()));
  }
  return median(t);
}

void sh(const std::string& cmd) {
  std::printf("$ %s\n", cmd.c_str());
  std::fflush(stdout);
  if (std::system(cmd.c_str()) != 0) {
    std::fprintf(stderr, "command failed\n");
    std::exit(1);
  }
}

long rssKiB() {
  std::ifstream f("/proc/self/status");
  std::string line;
  while (std::getline(f, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

// Screen-like picture: white page, rows of dark "text", a moving window and a
// scrolling strip, deterministic for a frame index.
void drawScreen(PixelBuffer& f, int index) {
  f.fill(250, 250, 250, 255);
  std::mt19937 rng(7);
  for (int line = 0; line < f.height() / 24; ++line) {
    int x = 40;
    const int y = 30 + line * 24;
    while (x < f.width() - 400) {
      const int w = 6 + static_cast<int>(rng() % 40);
      for (int yy = y; yy < y + 11 && yy < f.height(); ++yy) {
        for (int xx = x; xx < x + w; ++xx) std::memset(f.row(yy) + 4 * xx, 40, 3);
      }
      x += w + 6;
    }
  }
  const int wx = (index * 7) % (f.width() - 500), wy = 200 + (index * 3) % 300;
  for (int y = wy; y < wy + 360; ++y) {
    for (int x = wx; x < wx + 480; ++x) {
      std::uint8_t* p = f.row(y) + 4 * x;
      p[0] = static_cast<std::uint8_t>(180 + (x - wx) / 8);
      p[1] = static_cast<std::uint8_t>(120 + (y - wy) / 4);
      p[2] = 60;
    }
  }
  const int scroll = index * 4;
  for (int y = 0; y < 200; ++y) {
    const int src = (y + scroll) % 200;
    for (int x = f.width() - 360; x < f.width() - 40; x += 3) {
      f.row(f.height() - 220 + y)[4 * x] = static_cast<std::uint8_t>((src * 13 + x) & 0xff);
    }
  }
}

void benchConvert() {
  const int w = 1920, h = 1080;
  PixelBuffer src(w, h);
  drawScreen(src, 3);
  I420Buffer out(w, h);
  const I420Planes planes{out.y.data(), out.strideY, out.u.data(), out.strideU, out.v.data(), out.strideV};
  const int runs = 50;
  const double simd = timeMedian(runs, [&] { convertBgraToI420Bt709(src.data(), src.stride(), w, h, planes); });
  const double scalar = timeMedian(9, [&] { convertBgraToI420Bt709Reference(src.data(), src.stride(), w, h, planes); });
  SwsContext* sws = sws_getContext(w, h, AV_PIX_FMT_BGRA, w, h, AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr, nullptr, nullptr);
  const int* bt709 = sws_getCoefficients(SWS_CS_ITU709);
  sws_setColorspaceDetails(sws, bt709, 1, bt709, 0, 0, 1 << 16, 1 << 16);
  const std::uint8_t* s[4] = {src.data(), nullptr, nullptr, nullptr};
  const int ss[4] = {src.stride(), 0, 0, 0};
  std::uint8_t* d[4] = {out.y.data(), out.u.data(), out.v.data(), nullptr};
  const int ds[4] = {out.strideY, out.strideU, out.strideV, 0};
  const double swscale = timeMedian(15, [&] { sws_scale(sws, s, ss, 0, h, d, ds); });
  sws_freeContext(sws);
  std::printf("bgra->i420 1080p median ms: vector %.3f  scalar %.3f  swscale(bt709) %.3f  "
              "speed-up vs scalar %.1fx, vs swscale %.1fx\n",
              simd * 1e3, scalar * 1e3, swscale * 1e3, scalar / simd, swscale / simd);
}

std::string fixture1080(const std::string& dir, int secondsLong) {
  const std::string path = dir + "/src1080_" + std::to_string(secondsLong) + ".mp4";
  if (!std::filesystem::exists(path)) {
    sh("ffmpeg -nostdin -loglevel error -y -f lavfi -i testsrc2=size=1920x1080:rate=30:duration=" +
       std::to_string(secondsLong) + " -c:v libx264 -preset veryfast -b:v 8M -g 60 -bf 0 -pix_fmt yuv420p " + path);
  }
  return path;
}

void benchDecode(const std::string& dir) {
  const auto asset = Asset::open(fixture1080(dir, 10));
  for (PixelFormat fmt : {PixelFormat::i420, PixelFormat::bgra}) {
    std::vector<double> fps;
    for (int run = 0; run < 3; ++run) {
      VideoFrameReader reader(asset, 0, fmt);
      int n = 0;
      const auto a = Clock::now();
      while (reader.next()) ++n;
      fps.push_back(n / seconds(a, Clock::now()));
    }
    std::printf("decode 1080p H.264 to %s: median %.0f fps (3 runs)\n", fmt == PixelFormat::i420 ? "I420" : "BGRA",
                median(fps));
  }
}

double psnr(const PixelBuffer& a, const PixelBuffer& b) {
  double se = 0;
  for (int y = 0; y < a.height(); ++y) {
    for (int x = 0; x < a.width() * 4; ++x) {
      if (x % 4 == 3) continue;
      const double d = double(a.row(y)[x]) - double(b.row(y)[x]);
      se += d * d;
    }
  }
  const double mse = se / (3.0 * a.width() * a.height());
  return mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
}

void benchEncode(const std::string& dir) {
  const int frames = 150;  // 5 s of 1080p30
  for (const char* preset : {"ultrafast", "superfast", "veryfast"}) {
    std::vector<double> fps;
    std::string path = dir + "/enc_" + std::string(preset) + ".mp4";
    for (int run = 0; run < 3; ++run) {
      Writer writer(path);
      H264Settings s;
      s.width = 1920;
      s.height = 1080;
      s.averageBitRate = 12'000'000;
      s.maxKeyFrameInterval = 60;
      s.expectedFrameRate = 30;
      s.preset = preset;
      WriterInput* in = writer.addVideoInput(s);
      writer.startWriting();
      auto pool = FramePool::create(1920, 1080, 6);
      std::vector<std::shared_ptr<PixelBuffer>> pre;
      for (int i = 0; i < 30; ++i) {  // drawing is not what is measured
        pre.push_back(std::make_shared<PixelBuffer>(1920, 1080));
        drawScreen(*pre.back(), i);
      }
      const auto a = Clock::now();
      for (int i = 0; i < frames; ++i) {
        while (!in->isReadyForMoreMediaData()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        in->appendPixelBuffer(pre[i % 30], MediaTime(i, 30));
      }
      in->markAsFinished();
      writer.finishWriting().wait();
      fps.push_back(frames / seconds(a, Clock::now()));
    }
    // PSNR of the first 30 frames against what was drawn.
    const auto asset = Asset::open(path);
    VideoFrameReader reader(asset, 0);
    std::vector<double> p;
    PixelBuffer ref(1920, 1080);
    for (int i = 0; i < 30; ++i) {
      auto f = reader.next();
      drawScreen(ref, i);
      p.push_back(psnr(*f->bgra, ref));
    }
    std::printf("encode 1080p30 screen content at 12 Mb/s, preset %-9s: median %.1f fps, mean PSNR %.2f dB, %.2f MB\n",
                preset, median(fps), std::accumulate(p.begin(), p.end(), 0.0) / p.size(),
                std::filesystem::file_size(path) / 1e6);
  }
}

std::string tenMinutes(const std::string& dir) {
  const std::string path = dir + "/src1080_600.mp4";
  if (!std::filesystem::exists(path)) {
    const std::string one = fixture1080(dir, 60);
    const std::string list = dir + "/list.txt";
    std::ofstream f(list);
    for (int i = 0; i < 10; ++i) f << "file '" << one << "'\n";
    f.close();
    sh("ffmpeg -nostdin -loglevel error -y -f concat -safe 0 -i " + list + " -c copy " + path);
  }
  return path;
}

void benchRemux(const std::string& dir) {
  const auto asset = Asset::open(tenMinutes(dir));
  std::vector<double> t;
  for (int run = 0; run < 3; ++run) {
    const std::string out = dir + "/remux.mp4";
    ExportSession session(Composition::fromAsset(asset), kExportPresetPassthrough, {out, true, std::nullopt});
    const auto a = Clock::now();
    session.exportAsynchronously().wait();
    t.push_back(seconds(a, Clock::now()));
    if (session.status() != ExportStatus::completed) std::printf("remux failed: %s\n", session.errorText().c_str());
  }
  std::printf("remux 10-minute 1080p with fast start: median %.2f s (3 runs), %.0f MB\n", median(t),
              std::filesystem::file_size(asset->path()) / 1e6);
}

void benchMemory(const std::string& dir) {
  const auto asset = Asset::open(tenMinutes(dir));
  Composition c = Composition::fromAsset(asset);
  Writer writer(dir + "/memory.mp4");
  H264Settings s;
  s.width = 1920;
  s.height = 1080;
  s.averageBitRate = 12'000'000;
  s.preset = "ultrafast";
  WriterInput* in = writer.addVideoInput(s);
  writer.startWriting();
  VideoCompositionReader reader(c, {1920, 1080, MediaTime(1, 30), 3});
  reader.startReading();
  const auto a = Clock::now();
  int n = 0;
  while (auto f = reader.copyNextFrame()) {
    while (!in->isReadyForMoreMediaData()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    in->appendPixelBuffer(f->bgra, f->presentationTime);
    if (++n % 1800 == 0) {
      std::printf("after %2d min of video: RSS %ld MiB, %.0f fps\n", n / 1800, rssKiB() / 1024,
                  n / seconds(a, Clock::now()));
      std::fflush(stdout);
    }
  }
  in->markAsFinished();
  writer.finishWriting().wait();
}

}  // namespace

int main(int argc, char** argv) {
  const std::string what = argc > 1 ? argv[1] : "convert";
  const std::string dir = argc > 2 ? argv[2] : "/tmp/vantrel-media-bench";
  std::filesystem::create_directories(dir);
  if (what == "convert") benchConvert();
  else if (what == "decode") benchDecode(dir);
  else if (what == "encode") benchEncode(dir);
  else if (what == "remux") benchRemux(dir);
  else if (what == "memory") benchMemory(dir);
  else {
    std::fprintf(stderr, "usage: vantrel_media_bench convert|decode|encode|remux|memory [dir]\n");
    return 1;
  }
  return 0;
}
