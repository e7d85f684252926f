// Measurements of the media layer on this machine. Every figure is the median
// of several runs, next to a baseline measured in the same run.
//
//   vantrel_media_bench convert            BGRA->I420 1080p: vector, scalar, swscale
//   vantrel_media_bench decode <dir>       1080p H.264 decode rate
//   vantrel_media_bench encode <dir>       writer throughput and PSNR per x264 preset
//   vantrel_media_bench remux <dir>        10-minute 1080p pass-through export
//   vantrel_media_bench memory <dir>       RSS of a 10-minute decode-compose-encode
//   vantrel_media_bench stretch <dir>      pitch-preserving 2x speed-up of a minute of sound
//   vantrel_media_bench resample           1080p I420 planes into a padded rectangle: vector, scalar, swscale
//   vantrel_media_bench clamp <dir>        RGB gamut clip of a 1080p full-motion frame: vector, scalar, copy
//
// Fixtures are generated into <dir> with the ffmpeg program.

#include "vantrel/media/audio_mix.h"
#include "vantrel/media/bgra_to_i420.h"
#include "vantrel/media/export_session.h"
#include "vantrel/media/gamut_clamp.h"
#include "vantrel/media/plane_resample.h"
#include "vantrel/media/readers.h"
#include "vantrel/media/video_composition_reader.h"
#include "vantrel/media/writer.h"

extern "C" {
#include <libswscale/swscale.h>
}
#include <libyuv.h>

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
  // The page scrolls 3 pixels a frame, so every frame changes almost everywhere.
  const int lines = f.height() / 24;
  for (int line = 0; line < lines; ++line) {
    int x = 40;
    const int y = ((line * 24 - index * 3) % (lines * 24) + lines * 24) % (lines * 24) + 4;
    while (x < f.width() - 400) {
      const int w = 6 + static_cast<int>(rng() % 40);
      for (int yy = y; yy < y + 11 && yy < f.height() - 1; ++yy) {
        for (int xx = x; xx < x + w; ++xx) std::memset(f.row(yy) + 4 * xx, 40, 3);
      }
      x += w + 6;
    }
  }
  const int wx = (index * 7) % (f.width() - 740), wy = 200 + (index * 3) % 300;
  // A window playing a video: moving waves with fine grain, new every frame.
  std::uint32_t grain = 2166136261u * static_cast<std::uint32_t>(index + 1);
  for (int y = wy; y < wy + 540; ++y) {
    for (int x = wx; x < wx + 720; ++x) {
      std::uint8_t* p = f.row(y) + 4 * x;
      grain = grain * 1664525u + 1013904223u;
      const double v = std::sin((x - wx) / 13.0 + index / 5.0) * std::cos((y - wy) / 17.0 - index / 7.0);
      const int n = static_cast<int>(grain >> 28) - 8;
      p[0] = static_cast<std::uint8_t>(std::clamp(int(128 + 100 * v) + n, 0, 255));
      p[1] = static_cast<std::uint8_t>(std::clamp(int(100 + 60 * v) + n, 0, 255));
      p[2] = static_cast<std::uint8_t>(std::clamp(int(160 - 90 * v) + n, 0, 255));
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

  // The way back, against libyuv's 8-bit-coefficient conversion of the same planes.
  PixelBuffer back(w, h);
  const double back1 = timeMedian(runs, [&] {
    convertI420ToBgra(YuvMatrix::bt709, out.y.data(), out.strideY, out.u.data(), out.strideU, out.v.data(), out.strideV,
                           back.data(), back.stride(), w, h);
  });
  const double backScalar = timeMedian(9, [&] {
    convertI420ToBgraReference(YuvMatrix::bt709, out.y.data(), out.strideY, out.u.data(), out.strideU, out.v.data(), out.strideV,
                                    back.data(), back.stride(), w, h);
  });
  const double yuv = timeMedian(runs, [&] {
    libyuv::I420ToARGBMatrix(out.y.data(), out.strideY, out.u.data(), out.strideU, out.v.data(), out.strideV,
                             back.data(), back.stride(), &libyuv::kYuvH709Constants, w, h);
  });
  std::printf("i420->bgra 1080p median ms: vector %.3f  scalar %.3f  libyuv(H709) %.3f\n", back1 * 1e3,
              backScalar * 1e3, yuv * 1e3);
  // The planar path's clip of decoded colours to the RGB cube, against the trip through BGRA it replaces.
  I420Buffer clamped(w, h);
  const double clamp = timeMedian(runs, [&] { clampI420ToRgbGamutBt709(out, clamped, 0, h); });
  const double trip = timeMedian(runs, [&] {
    convertI420ToBgraBt709(out, back);
    convertBgraToI420Bt709(back.data(), back.stride(), w, h,
                           I420Planes{clamped.y.data(), clamped.strideY, clamped.u.data(), clamped.strideU,
                                      clamped.v.data(), clamped.strideV});
  });
  // The same on random levels, where nearly every block lies outside the cube.
  I420Buffer wild(w, h);
  std::mt19937 rng(5);
  for (auto* plane : {&wild.y, &wild.u, &wild.v}) {
    for (auto& b : *plane) b = static_cast<std::uint8_t>(16 + rng() % 220);
  }
  const double clampWild = timeMedian(runs, [&] { clampI420ToRgbGamutBt709(wild, clamped, 0, h); });
  std::printf("gamut clamp 1080p median ms: %.3f, every block outside the cube %.3f  (trip through BGRA %.3f)\n",
              clamp * 1e3, clampWild * 1e3, trip * 1e3);
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
  const std::string path = fixture1080(dir, 10);
  const auto asset = Asset::open(path);
  // Baseline: the ffmpeg program decoding the same file, same machine, same moment.
  std::vector<double> base;
  for (int run = 0; run < 3; ++run) {
    const auto a = Clock::now();
    sh("ffmpeg -nostdin -loglevel error -i " + path + " -f null -");
    base.push_back(300 / seconds(a, Clock::now()));
  }
  std::printf("baseline: ffmpeg program decode: median %.0f fps\n", median(base));
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

// PSNR of the luma planes: the encoder's loss alone, without the chroma
// subsampling every 4:2:0 output shares.
double lumaPsnr(const I420Buffer& a, const I420Buffer& b) {
  double se = 0;
  for (int y = 0; y < a.height; ++y) {
    for (int x = 0; x < a.width; ++x) {
      const double d = double(a.y[y * a.strideY + x]) - double(b.y[y * b.strideY + x]);
      se += d * d;
    }
  }
  const double mse = se / (double(a.width) * a.height);
  return mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
}

void benchEncode(const std::string& dir) {
  const int frames = 90;  // 3 s of 1080p30, drawn beforehand
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
      for (int i = 0; i < frames; ++i) {  // drawing is not what is measured
        pre.push_back(std::make_shared<PixelBuffer>(1920, 1080));
        drawScreen(*pre.back(), i);
      }
      const auto a = Clock::now();
      for (int i = 0; i < frames; ++i) {
        while (!in->isReadyForMoreMediaData()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        in->appendPixelBuffer(pre[i], MediaTime(i, 30));
      }
      in->markAsFinished();
      writer.finishWriting().wait();
      fps.push_back(frames / seconds(a, Clock::now()));
    }
    // Luma PSNR of all frames against the drawn pictures converted the same way.
    const auto asset = Asset::open(path);
    VideoFrameReader reader(asset, 0, PixelFormat::i420);
    std::vector<double> p;
    PixelBuffer ref(1920, 1080);
    I420Buffer refYuv(1920, 1080);
    for (int i = 0; i < frames; ++i) {
      auto f = reader.next();
      if (!f) break;
      drawScreen(ref, i);
      convertBgraToI420Bt709(ref.data(), ref.stride(), 1920, 1080,
                             I420Planes{refYuv.y.data(), refYuv.strideY, refYuv.u.data(), refYuv.strideU,
                                        refYuv.v.data(), refYuv.strideV});
      p.push_back(lumaPsnr(*f->i420, refYuv));
    }
    std::printf("encode 1080p30 screen content at 12 Mb/s, preset %-9s: median %.1f fps, mean luma PSNR %.2f dB, %.2f MB\n",
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

// Pitch-preserving 2x speed-up of a minute of stereo sound through the audio-mix
// reader, against the ffmpeg program's atempo filter on the same file.
void benchStretch(const std::string& dir) {
  const std::string path = dir + "/tone60.m4a";
  if (!std::filesystem::exists(path)) {
    sh("ffmpeg -nostdin -loglevel error -y -f lavfi -i sine=frequency=440:sample_rate=48000:duration=60 -ac 2 -c:a aac " +
       path);
  }
  const auto asset = Asset::open(path);
  const int id = asset->firstTrack(MediaType::audio).trackId;
  auto run = [&](bool stretched) {
    Composition c;
    CompositionTrack& t = c.addTrack(MediaType::audio);
    const TimeRange whole{MediaTime::zero(), MediaTime(60, 1)};
    t.insertTimeRange(whole, asset, id, MediaTime::zero());
    if (stretched) t.scaleTimeRange(whole, MediaTime(30, 1));
    AudioMixReader reader(c, {}, 48000, 2);
    while (reader.next()) {
    }
  };
  const double plain = timeMedian(3, [&] { run(false); });
  const double stretched = timeMedian(3, [&] { run(true); });
  const double atempo = timeMedian(3, [&] { sh("ffmpeg -nostdin -loglevel error -i " + path + " -af atempo=2 -f null -"); });
  std::printf("60 s stereo at 2x: mix reader without stretch %.2f s, with Rubber Band stretch %.2f s (%.0fx real time); "
              "ffmpeg atempo %.2f s\n",
              plain, stretched, 60 / stretched, atempo);
}

// The styled export's per-frame scaling: a 1920x1080 recording into the
// 1692x952 video rectangle of a 1080p frame (64 px padding), Y, U and V.
void benchResample() {
  const int w = 1920, h = 1080, ow = 1692, oh = 952, ox = 114, oy = 64;
  PixelBuffer screen(w, h);
  drawScreen(screen, 5);
  I420Buffer src(w, h), out(1920, 1080);
  convertBgraToI420Bt709(screen.data(), screen.stride(), w, h,
                         I420Planes{src.y.data(), src.strideY, src.u.data(), src.strideU, src.v.data(), src.strideV});
  const double s = static_cast<double>(oh) / h;
  const PlaneAxis lx{w, ox, ow, s, static_cast<double>(ox)}, ly{h, oy, oh, s, static_cast<double>(oy)};
  const PlaneAxis cx{w / 2, ox / 2, ow / 2, s, static_cast<double>(ox), w};
  const PlaneAxis cy{h / 2, oy / 2, oh / 2, s, static_cast<double>(oy), h};
  const PlaneResampler ry(lx, ly, PlaneFilter::lanczos3, 16, 235), rc(cx, cy, PlaneFilter::lanczos3, 16, 240);
  auto all = [&](bool reference) {
    if (reference) {
      ry.runReference(src.y.data(), src.strideY, out.y.data(), out.strideY);
      rc.runReference(src.u.data(), src.strideU, out.u.data(), out.strideU);
      rc.runReference(src.v.data(), src.strideV, out.v.data(), out.strideV);
    } else {
      ry.run(src.y.data(), src.strideY, out.y.data(), out.strideY);
      rc.run(src.u.data(), src.strideU, out.u.data(), out.strideU);
      rc.run(src.v.data(), src.strideV, out.v.data(), out.strideV);
    }
  };
  const double luma = timeMedian(31, [&] { ry.run(src.y.data(), src.strideY, out.y.data(), out.strideY); });
  const double vector = timeMedian(31, [&] { all(false); });
  const double scalar = timeMedian(5, [&] { all(true); });
  SwsContext* sws = sws_getContext(w, h, AV_PIX_FMT_YUV420P, ow, oh, AV_PIX_FMT_YUV420P, SWS_LANCZOS, nullptr,
                                   nullptr, nullptr);
  const std::uint8_t* sp[4] = {src.y.data(), src.u.data(), src.v.data(), nullptr};
  const int ss[4] = {src.strideY, src.strideU, src.strideV, 0};
  std::uint8_t* dp[4] = {out.y.data() + oy * out.strideY + ox, out.u.data() + oy / 2 * out.strideU + ox / 2,
                         out.v.data() + oy / 2 * out.strideV + ox / 2, nullptr};
  const int ds[4] = {out.strideY, out.strideU, out.strideV, 0};
  const double swscale = timeMedian(15, [&] { sws_scale(sws, sp, ss, 0, h, dp, ds); });
  sws_freeContext(sws);
  std::printf("i420 1920x1080 -> 1692x952 lanczos median ms: vector %.3f (luma %.3f)  scalar %.3f  swscale %.3f  "
              "speed-up vs scalar %.1fx, vs swscale %.2fx\n",
              vector * 1e3, luma * 1e3, scalar * 1e3, swscale * 1e3, scalar / vector, swscale / vector);
}

// ffmpeg's testsrc2 (saturated colours encoded with BT.601, read as BT.709:
// most blocks lie outside the RGB cube), against a plain copy of the planes.
void benchClamp(const std::string& dir) {
  const int w = 1920, h = 1080;
  const std::string raw = dir + "/testsrc2.yuv";
  if (!std::filesystem::exists(raw)) {
    const std::string cmd = "ffmpeg -v error -y -f lavfi -i testsrc2=s=1920x1080:d=1 -frames:v 1 -pix_fmt yuv420p -f rawvideo '" +
                            raw + "'";
    if (std::system(cmd.c_str()) != 0) {
      std::fprintf(stderr, "ffmpeg failed\n");
      std::exit(1);
    }
  }
  I420Buffer src(w, h), out(w, h), ref(w, h);
  std::ifstream in(raw, std::ios::binary);
  in.read(reinterpret_cast<char*>(src.y.data()), static_cast<std::streamsize>(src.y.size()));
  in.read(reinterpret_cast<char*>(src.u.data()), static_cast<std::streamsize>(src.u.size()));
  in.read(reinterpret_cast<char*>(src.v.data()), static_cast<std::streamsize>(src.v.size()));
  const double vector = timeMedian(31, [&] { clampI420ToRgbGamutBt709(src, out, 0, h); });
  const double scalar = timeMedian(5, [&] { clampI420ToRgbGamutBt709Reference(src, ref, 0, h); });
  const double copy = timeMedian(31, [&] { ref = src; });
  clampI420ToRgbGamutBt709Reference(src, ref, 0, h);
  const bool same = out.y == ref.y && out.u == ref.u && out.v == ref.v;
  std::printf("gamut clip testsrc2 1080p median ms: vector %.3f  scalar %.3f  copy %.3f  vector/copy %.1f  %s\n",
              vector * 1e3, scalar * 1e3, copy * 1e3, vector / copy, same ? "identical" : "DIFFERENT");
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
  else if (what == "stretch") benchStretch(dir);
  else if (what == "resample") benchResample();
  else if (what == "clamp") benchClamp(dir);
  else {
    std::fprintf(stderr, "usage: vantrel_media_bench convert|decode|encode|remux|memory|stretch|resample|clamp [dir]\n");
    return 1;
  }
  return 0;
}
