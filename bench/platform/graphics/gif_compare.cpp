// Compares our GIF writer with ffmpeg's palettegen/paletteuse on a screen-like
// clip: file sizes and PSNR of every decoded frame against its source.
// Usage: vantrel_graphics_gif_compare <scratch-directory>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "scene.h"
#include "vantrel/graphics/gif_writer.h"
#include "vantrel/graphics/renderer.h"

using namespace vantrel::graphics;

namespace {

constexpr int W = 640, H = 360, N = 45, RATE = 15;

long fileSize(const std::string& p) {
  std::ifstream in(p, std::ios::binary | std::ios::ate);
  return static_cast<long>(in.tellg());
}

// Mean PSNR over frames (all channels but alpha) of a GIF decoded by ffmpeg.
double gifPsnr(const std::string& gif, const std::vector<BufferRef>& frames, const std::string& dir) {
  const std::string raw = dir + "/decoded.rgba";
  const std::string cmd = "ffmpeg -v error -y -i " + gif + " -vsync passthrough -f rawvideo -pix_fmt bgra " + raw;
  if (std::system(cmd.c_str()) != 0) return -1;
  std::ifstream in(raw, std::ios::binary);
  const std::string bytes{std::istreambuf_iterator<char>(in), {}};
  const size_t frameBytes = static_cast<size_t>(W) * H * 4;
  // Merged identical frames come back as fewer decoded frames: compare in display order by time.
  const size_t decoded = bytes.size() / frameBytes;
  double sum = 0;
  for (int i = 0; i < N; ++i) {
    const size_t k = std::min(decoded - 1, static_cast<size_t>(i) * decoded / N);
    double se = 0;
    for (int y = 0; y < H; ++y)
      for (int x = 0; x < W; ++x)
        for (int c = 0; c < 3; ++c) {
          const double a = static_cast<uint8_t>(bytes[k * frameBytes + (static_cast<size_t>(y) * W + x) * 4 + c]);
          const double b = frames[i]->row(y)[x * 4 + c];
          se += (a - b) * (a - b);
        }
    const double mse = se / (3.0 * W * H);
    sum += mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
  }
  return sum / N;
}

}  // namespace

// Writes one clip both ways and prints sizes and PSNR.
int compare(const std::string& name, const std::vector<BufferRef>& frames, const std::string& dir) {
  const std::string ours = dir + "/" + name + "-ours.gif";
  {
    GifWriter w(ours, W, H, 0);
    for (const auto& f : frames) w.addFrame(*f, 1.0 / RATE);
    w.finish();
  }
  const std::string raw = dir + "/source.bgra";
  {
    std::ofstream out(raw, std::ios::binary);
    for (const auto& f : frames)
      for (int y = 0; y < H; ++y) out.write(reinterpret_cast<const char*>(f->row(y)), W * 4);
  }
  const std::string theirs = dir + "/" + name + "-ffmpeg.gif";
  const std::string cmd = "ffmpeg -v error -y -f rawvideo -pix_fmt bgra -s " + std::to_string(W) + "x" +
                          std::to_string(H) + " -r " + std::to_string(RATE) + " -i " + raw +
                          " -vf \"split[a][b];[a]palettegen[p];[b][p]paletteuse\" " + theirs;
  if (std::system(cmd.c_str()) != 0) {
    std::fprintf(stderr, "ffmpeg failed\n");
    return 1;
  }
  std::printf("%s: %d frames %dx%d at %d fps\n", name.c_str(), N, W, H, RATE);
  std::printf("  ours:   %8ld bytes  mean PSNR %.2f dB\n", fileSize(ours), gifPsnr(ours, frames, dir));
  std::printf("  ffmpeg: %8ld bytes  mean PSNR %.2f dB\n", fileSize(theirs), gifPsnr(theirs, frames, dir));
  return 0;
}

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <scratch-directory>\n", argv[0]);
    return 1;
  }
  const std::string dir = argv[1];
  // 1. An exported frame in miniature: the recording on a gradient with a soft
  //    shadow, slowly zooming, with a moving pointer.
  std::vector<BufferRef> frames;
  Renderer renderer(2);
  const Image bg = Image::linearGradient({0, 0}, {0.36, 0.2, 0.85, 1}, {W, H}, {0.95, 0.45, 0.3, 1}).cropped({0, 0, W, H});
  for (int i = 0; i < N; ++i) {
    const auto screen = benchscene::screen(1280, 720, i * 0.08);
    const double zoom = 1.0 + 0.01 * i;
    const Rect r{64, 36, 512 * zoom, 288 * zoom};
    const Image video = Image::fromBuffer(screen).lanczosScaled(r.height / 720, 1).translated(r.x - 8 * i, r.y - 6 * i);
    const Image shadow = Image::solid({0, 0, 0, 0.5}).cropped(Rect{r.x - 8 * i, r.y - 6 * i - 8, r.width, r.height}).gaussianBlur(14);
    auto f = makeBuffer(W, H, PixelFormat::bgra8);
    renderer.render(video.composited(shadow.composited(bg)), *f, {0, 0});
    frames.push_back(f);
  }
  if (compare("styled", frames, dir) != 0) return 1;
  // 2. The bare screen: flat panels and text, only the pointer and a chart moving.
  frames.clear();
  for (int i = 0; i < N; ++i) frames.push_back(benchscene::screen(W, H, i * 0.08));
  return compare("flat", frames, dir);
}
