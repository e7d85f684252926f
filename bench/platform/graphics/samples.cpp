// Writes sample renders as PNG files into a directory, for looking at them.
// Usage: vantrel_graphics_samples <output-directory>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <string>

#include "scene.h"
#include "vantrel/graphics/image_file.h"
#include "vantrel/graphics/renderer.h"

using namespace vantrel::graphics;

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <output-directory>\n", argv[0]);
    return 1;
  }
  const std::string dir = argv[1];
  const int W = 1280, H = 720;
  auto src = benchscene::screen(1440, 900, 0.6);
  writePng(*src, dir + "/source.png");
  Renderer r(2);

  // Background gradient at 135 degrees.
  const double th = 135 * std::numbers::pi / 180, hd = std::hypot(W, H) / 2;
  const Image bg = Image::linearGradient({W / 2.0 - hd * std::cos(th), H / 2.0 - hd * std::sin(th)}, {0.36, 0.2, 0.85, 1},
                                         {W / 2.0 + hd * std::cos(th), H / 2.0 + hd * std::sin(th)}, {0.95, 0.45, 0.3, 1})
                       .cropped({0, 0, W, H});
  // Video rectangle with rounded corners, shadow and a pixellated area.
  const Rect R{120.3, 80.6, 1040, 650 - 80};
  const double radius = 24;
  const Image video = Image::fromBuffer(src).lanczosScaled(R.height / 900, (R.width / 1440) / (R.height / 900)).translated(R.x, R.y);
  auto maskCtx = BitmapContext::create(W, H, BitmapKind::grey);
  maskCtx->setFillColor({1, 1, 1, 1});
  maskCtx->addRoundedRect(R, radius);
  maskCtx->fillPath();
  const Image clipped = video.blendedWithMask(Image(), maskCtx->makeImage());
  auto shadowCtx = BitmapContext::create(W, H);
  shadowCtx->setFillColor({0, 0, 0, 0.55});
  shadowCtx->addRoundedRect(R.insetBy(6, 6).unionWith(R.insetBy(6, 6)), radius);
  shadowCtx->fillPath();
  const Image shadow = shadowCtx->makeImage().gaussianBlur(30).translated(0, -18);
  const Rect blurRect{700, 300, 260, 140};
  const Image pix = clipped.cropped(blurRect).pixellated(14, {blurRect.midX(), blurRect.midY()}).cropped(blurRect);
  // Caption with outline.
  auto textCtx = BitmapContext::create(W, H);
  if (auto f = Font::make("Inter Variable", 700, 44)) {
    const TextLine line(*f, "Revenue is up 12% this quarter", 0.02 * 44);
    drawTextLine(*textCtx, line, {W / 2.0 - line.width() / 2, 40}, {1, 1, 1, 1}, TextOutline{{0, 0, 0, 1}, -12});
  }
  // Rotated cursor glyph.
  auto cur = BitmapContext::create(40, 40);
  cur->setFillColor({1, 1, 1, 1});
  cur->setStrokeColor({0, 0, 0, 1});
  cur->setLineWidth(2);
  cur->moveTo({8, 36}); cur->lineTo({8, 6}); cur->lineTo({30, 14}); cur->closePath();
  cur->fillPath();
  cur->moveTo({8, 36}); cur->lineTo({8, 6}); cur->lineTo({30, 14}); cur->closePath();
  cur->strokePath();
  const Image cursor = cur->makeImage().transformed(Affine::translation(-8, -36).then(Affine::rotation(-0.35)).then(Affine::scale(1.6, 1.6))).translated(760, 520);

  const Image frame = textCtx->makeImage().composited(cursor.composited(pix.composited(clipped.composited(shadow.composited(bg)))));
  auto out = makeBuffer(W, H, PixelFormat::bgra8);
  r.render(frame, *out, {0, 0});
  writePng(*out, dir + "/frame.png");

  // Perspective: a tilted plane.
  const double h[9] = {1.25, 0.25, -200, 0.0, 1.35, -150, 0.0, 0.0004, 1.0};
  const Image tilted = Image::fromBuffer(src).perspectiveWarped(h, {0, 0, W, H});
  r.render(tilted.composited(bg), *out, {0, 0});
  writePng(*out, dir + "/perspective.png");
  writeJpeg(*out, dir + "/perspective.jpg", 0.8);
  auto thumb = readThumbnail(dir + "/perspective.jpg", 320);
  if (thumb) writePng(*thumb, dir + "/thumbnail.png");
  std::printf("wrote samples to %s\n", dir.c_str());
  return 0;
}
