#include "vantrel/graphics/gif_writer.h"

#include <gif_lib.h>
#include <libimagequant.h>
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>

namespace vantrel::graphics {

namespace {
std::string gifText(GifWriteErrorCode code, const std::string& payload) {
  switch (code) {
    case GifWriteErrorCode::openFailed: return "Unable to create the GIF file: " + payload;
    case GifWriteErrorCode::wrongFrameSize: return "GIF frame has the wrong size: " + payload;
    case GifWriteErrorCode::quantizeFailed: return "Unable to build a GIF palette: " + payload;
    case GifWriteErrorCode::writeFailed: return "Unable to write the GIF file: " + payload;
  }
  return payload;
}

std::string gifError(int code) {
  const char* s = GifErrorString(code);
  return s ? s : "unknown GIF error";
}

GifFileType* asGif(void* p) { return static_cast<GifFileType*>(p); }

// Quality target (libimagequant's 0...100 scale) of the palettes after the
// first: the quantiser picks as few colours as reach it, and fewer colours
// means shorter codes. It is also the remapping quality from which a frame
// keeps the global palette instead of carrying its own.
constexpr int kFrameQuality = 92;
// Only changed rectangles up to this share of the canvas try the global palette
// first: for small ones (a pointer, a clock) a palette of their own costs more
// than their pixels; large ones are rarely rendered well enough by it, and the
// attempt would double their quantising time.
constexpr int kSharedTryShareDivisor = 16;
// Floyd-Steinberg strength: full dithering costs more bytes than it gains here.
constexpr float kDithering = 0.35f;
// A pixel whose channels all moved by at most this much since the previous
// frame counts as unchanged: compression noise is not worth storing again.
constexpr int kNoiseTolerance = 1;

bool nearlyEqual(uint32_t a, uint32_t b) {
  for (int shift = 0; shift < 24; shift += 8) {
    const int d = static_cast<int>((a >> shift) & 0xff) - static_cast<int>((b >> shift) & 0xff);
    if (d > kNoiseTolerance || d < -kNoiseTolerance) return false;
  }
  return true;
}
}  // namespace

GifWriteError::GifWriteError(GifWriteErrorCode code, std::string payload)
    : CodedError(code, payload, gifText(code, payload)) {}

struct GifWriter::Pending {
  int x = 0, y = 0, w = 0, h = 0;
  std::vector<uint8_t> indices;
  std::vector<GifColorType> palette;
  int transparent = NO_TRANSPARENT_COLOR;
  double endSeconds = 0;
};

GifWriter::GifWriter(const std::string& path, int width, int height, int loopCount, UnchangedFrames unchanged)
    : path_(path), width_(width), height_(height), loopCount_(loopCount), unchanged_(unchanged) {
  if (width <= 0 || height <= 0 || width > 65535 || height > 65535)
    throw GifWriteError(GifWriteErrorCode::wrongFrameSize, std::to_string(width) + "x" + std::to_string(height));
  int err = 0;
  GifFileType* gif = EGifOpenFileName(path.c_str(), false, &err);
  if (!gif) throw GifWriteError(GifWriteErrorCode::openFailed, gifError(err) + ": " + path);
  gif_ = gif;
  EGifSetGifVersion(gif, true);
}

// Screen descriptor with the global palette (known once the first frame is
// quantised), then the looping block.
void GifWriter::writeHeader() {
  GifFileType* gif = asGif(gif_);
  std::vector<GifColorType> colors;
  for (size_t i = 0; i + 2 < globalPalette_.size(); i += 3)
    colors.push_back({globalPalette_[i], globalPalette_[i + 1], globalPalette_[i + 2]});
  int size = 2;
  while (size < static_cast<int>(colors.size())) size *= 2;
  colors.resize(static_cast<size_t>(size), GifColorType{0, 0, 0});
  ColorMapObject* map = GifMakeMapObject(size, colors.data());
  const bool ok = map && EGifPutScreenDesc(gif, width_, height_, 8, 0, map) != GIF_ERROR;
  if (map) GifFreeMapObject(map);
  if (!ok) throw GifWriteError(GifWriteErrorCode::writeFailed, gifError(gif->Error) + ": " + path_);
  const uint8_t app[11] = {'N', 'E', 'T', 'S', 'C', 'A', 'P', 'E', '2', '.', '0'};
  const uint8_t loop[3] = {1, static_cast<uint8_t>(loopCount_ & 0xff), static_cast<uint8_t>((loopCount_ >> 8) & 0xff)};
  if (EGifPutExtensionLeader(gif, APPLICATION_EXT_FUNC_CODE) == GIF_ERROR ||
      EGifPutExtensionBlock(gif, 11, app) == GIF_ERROR || EGifPutExtensionBlock(gif, 3, loop) == GIF_ERROR ||
      EGifPutExtensionTrailer(gif) == GIF_ERROR)
    throw GifWriteError(GifWriteErrorCode::writeFailed, gifError(gif->Error) + ": " + path_);
  headerWritten_ = true;
}

GifWriter::~GifWriter() {
  if (gif_) {
    int err = 0;
    EGifCloseFile(asGif(gif_), &err);
  }
}

void GifWriter::addFrame(const PixelBuffer& frame, double delaySeconds) {
  if (!gif_) throw GifWriteError(GifWriteErrorCode::writeFailed, "the file is already closed: " + path_);
  if (frame.width() != width_ || frame.height() != height_ || frame.format() != PixelFormat::bgra8)
    throw GifWriteError(GifWriteErrorCode::wrongFrameSize,
                        std::to_string(frame.width()) + "x" + std::to_string(frame.height()));
  if (!std::isfinite(delaySeconds) || delaySeconds < 0) delaySeconds = 0;
  // libimagequant's OpenMP teams spin-wait for work: on a machine whose cores
  // are busy decoding and compositing, that costs several times the work.
  omp_set_num_threads(1);
  ++framesAdded_;
  const size_t n = static_cast<size_t>(width_) * height_;
  std::vector<uint8_t> rgba(n * 4);
  for (int y = 0; y < height_; ++y) {
    const uint8_t* s = frame.row(y);
    uint8_t* d = &rgba[static_cast<size_t>(y) * width_ * 4];
    for (int x = 0; x < width_; ++x) {
      d[x * 4] = s[x * 4 + 2];
      d[x * 4 + 1] = s[x * 4 + 1];
      d[x * 4 + 2] = s[x * 4];
      d[x * 4 + 3] = 255;
    }
  }
  // Changed rectangle against the previous source frame.
  int x0 = 0, y0 = 0, x1 = width_, y1 = height_;
  if (!previous_.empty()) {
    x0 = width_; y0 = height_; x1 = -1; y1 = -1;
    for (int y = 0; y < height_; ++y) {
      uint32_t* a = reinterpret_cast<uint32_t*>(&rgba[static_cast<size_t>(y) * width_ * 4]);
      const uint32_t* b = reinterpret_cast<const uint32_t*>(&previous_[static_cast<size_t>(y) * width_ * 4]);
      for (int x = 0; x < width_; ++x) {
        if (a[x] == b[x]) continue;
        if (nearlyEqual(a[x], b[x])) {
          // Decoder noise: what is shown stays, and later frames compare with it.
          a[x] = b[x];
          continue;
        }
        x0 = std::min(x0, x); x1 = std::max(x1, x + 1);
        y0 = std::min(y0, y); y1 = std::max(y1, y + 1);
      }
    }
    if (x1 < 0) {
      clockSeconds_ += delaySeconds;
      if (unchanged_ == UnchangedFrames::merge) {
        pending_->endSeconds = clockSeconds_;
        return;
      }
      // One clear pixel keeps the picture on screen for this frame's time.
      writePending();
      auto hold = std::make_unique<Pending>();
      hold->w = hold->h = 1;
      hold->indices.assign(1, static_cast<uint8_t>(globalPalette_.size() / 3 - 1));
      hold->transparent = hold->indices[0];
      hold->endSeconds = clockSeconds_;
      pending_ = std::move(hold);
      return;
    }
  }
  writePending();
  const int w = x1 - x0, h = y1 - y0;
  std::vector<uint8_t> sub(static_cast<size_t>(w) * h * 4);
  for (int y = 0; y < h; ++y) {
    const uint8_t* s = &rgba[(static_cast<size_t>(y0 + y) * width_ + x0) * 4];
    uint8_t* d = &sub[static_cast<size_t>(y) * w * 4];
    std::memcpy(d, s, static_cast<size_t>(w) * 4);
    if (!previous_.empty()) {
      // Pixels that did not change keep what is already shown.
      const uint8_t* p = &previous_[(static_cast<size_t>(y0 + y) * width_ + x0) * 4];
      for (int x = 0; x < w; ++x)
        if (std::memcmp(d + x * 4, p + x * 4, 4) == 0) std::memset(d + x * 4, 0, 4);
    }
  }
  previous_ = std::move(rgba);

  auto pending = std::make_unique<Pending>();
  pending->x = x0; pending->y = y0; pending->w = w; pending->h = h;
  pending->indices.resize(static_cast<size_t>(w) * h);
  const bool first = globalPalette_.empty();
  const int globalColors = static_cast<int>(globalPalette_.size() / 3) - 1;  // without the transparent entry

  // One quantisation: with `fixed`, the palette is the global one (plus a clear
  // entry) and the result tells how well it renders the pixels.
  struct Quantised {
    std::vector<liq_color> palette;
    int quality = 0;
  };
  auto quantise = [&](bool fixed, std::vector<uint8_t>& indices) -> std::optional<Quantised> {
    liq_attr* attr = liq_attr_create();
    liq_set_speed(attr, first ? 4 : 8);
    // Speed 8 also drops the lowest bit of every colour; keep full precision.
    liq_set_min_posterization(attr, 0);
    liq_set_quality(attr, 0, first ? 100 : kFrameQuality);
    // The first palette leaves one slot free for the transparent entry of later frames.
    liq_set_max_colors(attr, fixed ? globalColors + 1 : first ? 255 : 256);
    liq_image* img = liq_image_create_rgba(attr, sub.data(), w, h, 0);
    if (img && fixed) {
      for (int i = 0; i < globalColors; ++i)
        liq_image_add_fixed_color(img, liq_color{globalPalette_[i * 3], globalPalette_[i * 3 + 1],
                                                 globalPalette_[i * 3 + 2], 255});
      liq_image_add_fixed_color(img, liq_color{0, 0, 0, 0});
    }
    liq_result* res = nullptr;
    bool ok = img && liq_image_quantize(img, attr, &res) == LIQ_OK;
    std::optional<Quantised> q;
    if (ok) {
      liq_set_dithering_level(res, kDithering);
      ok = liq_write_remapped_image(res, img, indices.data(), indices.size()) == LIQ_OK;
    }
    if (ok) {
      q.emplace();
      const liq_palette* pal = liq_get_palette(res);
      q->palette.assign(pal->entries, pal->entries + pal->count);
      q->quality = liq_get_remapping_quality(res);
    }
    if (res) liq_result_destroy(res);
    if (img) liq_image_destroy(img);
    liq_attr_destroy(attr);
    return q;
  };

  bool reused = false;
  if (!first && globalColors > 0 &&
      static_cast<int64_t>(w) * h * kSharedTryShareDivisor <= static_cast<int64_t>(width_) * height_) {
    if (auto q = quantise(true, pending->indices); q && q->quality >= kFrameQuality) {
      // Translate the quantiser's order into global indices.
      std::vector<uint8_t> toGlobal(q->palette.size(), 0);
      bool complete = true;
      for (size_t i = 0; i < q->palette.size(); ++i) {
        const liq_color c = q->palette[i];
        if (c.a < 128) {
          toGlobal[i] = static_cast<uint8_t>(globalColors);
          continue;
        }
        int found = -1;
        for (int g = 0; g < globalColors && found < 0; ++g)
          if (globalPalette_[g * 3] == c.r && globalPalette_[g * 3 + 1] == c.g && globalPalette_[g * 3 + 2] == c.b)
            found = g;
        if (found < 0) complete = false;
        toGlobal[i] = static_cast<uint8_t>(std::max(found, 0));
      }
      if (complete) {
        for (auto& idx : pending->indices) idx = toGlobal[idx];
        pending->transparent = globalColors;
        reused = true;
      }
    }
  }
  if (!reused) {
    auto q = quantise(false, pending->indices);
    if (!q) throw GifWriteError(GifWriteErrorCode::quantizeFailed, "libimagequant could not quantise the frame");
    for (size_t i = 0; i < q->palette.size(); ++i) {
      const liq_color c = q->palette[i];
      pending->palette.push_back({c.r, c.g, c.b});
      if (c.a < 128 && pending->transparent == NO_TRANSPARENT_COLOR) pending->transparent = static_cast<int>(i);
    }
    if (first) {
      // The first frame's colours become the global palette, with a clear slot after them.
      for (const auto& c : pending->palette) globalPalette_.insert(globalPalette_.end(), {c.Red, c.Green, c.Blue});
      globalPalette_.insert(globalPalette_.end(), {0, 0, 0});
      pending->palette.clear();
    }
  }
  clockSeconds_ += delaySeconds;
  pending->endSeconds = clockSeconds_;
  pending_ = std::move(pending);
}

void GifWriter::writePending() {
  if (!pending_) return;
  if (!headerWritten_) writeHeader();
  GifFileType* gif = asGif(gif_);
  Pending& p = *pending_;
  const int64_t end = std::llround(p.endSeconds * 100.0);
  const int delay = static_cast<int>(std::clamp<int64_t>(end - writtenCentiseconds_, 0, 65535));
  writtenCentiseconds_ += delay;
  GraphicsControlBlock gcb{};
  gcb.DisposalMode = DISPOSE_DO_NOT;
  gcb.UserInputFlag = false;
  gcb.DelayTime = delay;
  gcb.TransparentColor = p.transparent;
  GifByteType ext[4];
  const size_t extLen = EGifGCBToExtension(&gcb, ext);
  // Frames without colours of their own use the global palette.
  ColorMapObject* map = nullptr;
  if (!p.palette.empty()) {
    int size = 2;
    while (size < static_cast<int>(p.palette.size())) size *= 2;
    p.palette.resize(static_cast<size_t>(size), GifColorType{0, 0, 0});
    map = GifMakeMapObject(size, p.palette.data());
    if (!map) throw GifWriteError(GifWriteErrorCode::writeFailed, "out of memory: " + path_);
  }
  // giflib forgets the previous frame's own palette when a frame has none (it
  // drops the pointer without freeing it); let go of it here first.
  if (!map && gif->Image.ColorMap) {
    GifFreeMapObject(gif->Image.ColorMap);
    gif->Image.ColorMap = nullptr;
  }
  bool ok = EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, static_cast<int>(extLen), ext) != GIF_ERROR &&
            EGifPutImageDesc(gif, p.x, p.y, p.w, p.h, false, map) != GIF_ERROR;
  for (int y = 0; ok && y < p.h; ++y)
    ok = EGifPutLine(gif, &p.indices[static_cast<size_t>(y) * p.w], p.w) != GIF_ERROR;
  if (map) GifFreeMapObject(map);
  if (!ok) throw GifWriteError(GifWriteErrorCode::writeFailed, gifError(gif->Error) + ": " + path_);
  ++framesWritten_;
  pending_.reset();
}

void GifWriter::finish() {
  if (!gif_) return;
  writePending();
  if (!headerWritten_) writeHeader();  // no frames: still a well-formed file
  int err = 0;
  const int rc = EGifCloseFile(asGif(gif_), &err);
  gif_ = nullptr;
  if (rc == GIF_ERROR) throw GifWriteError(GifWriteErrorCode::writeFailed, gifError(err) + ": " + path_);
}

}  // namespace vantrel::graphics
