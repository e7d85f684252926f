#include "vantrel/graphics/image_file.h"

#include <jpeglib.h>
#include <png.h>
#include <webp/decode.h>
#include <webp/demux.h>

#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

namespace vantrel::graphics {

namespace {
std::string errorText(ImageFileErrorCode code, const std::string& payload) {
  switch (code) {
    case ImageFileErrorCode::openFailed: return "Unable to open the image file for writing: " + payload;
    case ImageFileErrorCode::encodeFailed: return "Unable to encode the image: " + payload;
  }
  return payload;
}
}  // namespace

ImageFileError::ImageFileError(ImageFileErrorCode code, std::string payload)
    : CodedError(code, payload, errorText(code, payload)) {}

namespace {

struct FileCloser {
  void operator()(FILE* f) const { if (f) std::fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

std::optional<ImageFormat> sniff(const uint8_t* b, size_t n) {
  if (n >= 8 && std::memcmp(b, "\x89PNG\r\n\x1a\n", 8) == 0) return ImageFormat::png;
  if (n >= 3 && b[0] == 0xff && b[1] == 0xd8 && b[2] == 0xff) return ImageFormat::jpeg;
  if (n >= 12 && std::memcmp(b, "RIFF", 4) == 0 && std::memcmp(b + 8, "WEBP", 4) == 0) return ImageFormat::webp;
  return std::nullopt;
}

std::optional<ImageFormat> sniffFile(FILE* f) {
  uint8_t head[16] = {};
  const size_t n = std::fread(head, 1, sizeof head, f);
  std::rewind(f);
  return sniff(head, n);
}

// EXIF orientation from a TIFF-structured block (optionally preceded by "Exif\0\0").
int exifOrientation(const uint8_t* d, size_t n) {
  if (n >= 6 && std::memcmp(d, "Exif\0\0", 6) == 0) { d += 6; n -= 6; }
  if (n < 8) return 1;
  const bool le = d[0] == 'I' && d[1] == 'I';
  if (!le && !(d[0] == 'M' && d[1] == 'M')) return 1;
  auto u16 = [&](size_t o) -> uint32_t { return le ? d[o] | (d[o + 1] << 8) : (d[o] << 8) | d[o + 1]; };
  auto u32 = [&](size_t o) -> uint32_t {
    return le ? d[o] | (d[o + 1] << 8) | (d[o + 2] << 16) | (static_cast<uint32_t>(d[o + 3]) << 24)
              : (static_cast<uint32_t>(d[o]) << 24) | (d[o + 1] << 16) | (d[o + 2] << 8) | d[o + 3];
  };
  const uint32_t ifd = u32(4);
  if (ifd > n - 2 || ifd < 8) return 1;
  const uint32_t count = u16(ifd);
  for (uint32_t i = 0; i < count; ++i) {
    const size_t e = ifd + 2 + 12 * static_cast<size_t>(i);
    if (e + 12 > n) break;
    if (u16(e) == 0x0112) {
      const uint32_t v = u16(e + 8);
      return v >= 1 && v <= 8 ? static_cast<int>(v) : 1;
    }
  }
  return 1;
}

// Receives decoded rows of straight RGBA (top row first) and stores them
// premultiplied, either at full size or averaged down into a smaller buffer.
class RowSink {
 public:
  RowSink(int srcW, int srcH, int dstW, int dstH)
      : srcW_(srcW), srcH_(srcH), out_(makeBuffer(dstW, dstH, PixelFormat::bgra8)),
        acc_(static_cast<size_t>(dstW) * 4, 0), counts_(dstW, 0) {
    for (int x = 0; x < srcW; ++x) counts_[static_cast<size_t>(x) * dstW / srcW]++;
  }
  void row(int y, const uint8_t* rgba) {
    const int dw = out_->width(), dh = out_->height();
    const int dy = static_cast<int>(static_cast<int64_t>(y) * dh / srcH_);
    for (int x = 0; x < srcW_; ++x) {
      const int dx = static_cast<int>(static_cast<int64_t>(x) * dw / srcW_);
      const uint32_t a = rgba[x * 4 + 3];
      uint64_t* p = &acc_[static_cast<size_t>(dx) * 4];
      p[0] += (rgba[x * 4 + 2] * a + 127) / 255;
      p[1] += (rgba[x * 4 + 1] * a + 127) / 255;
      p[2] += (rgba[x * 4 + 0] * a + 127) / 255;
      p[3] += a;
    }
    rowsInBand_++;
    const int nextDy = y + 1 < srcH_ ? static_cast<int>(static_cast<int64_t>(y + 1) * dh / srcH_) : dh;
    if (nextDy != dy) flush(dy);
  }
  BufferRef take() { return std::move(out_); }

 private:
  void flush(int dy) {
    uint8_t* o = out_->row(dy);
    for (int x = 0; x < out_->width(); ++x) {
      const uint64_t n = static_cast<uint64_t>(counts_[x]) * rowsInBand_;
      for (int c = 0; c < 4; ++c) o[x * 4 + c] = n ? static_cast<uint8_t>((acc_[x * 4 + c] + n / 2) / n) : 0;
    }
    std::fill(acc_.begin(), acc_.end(), 0);
    rowsInBand_ = 0;
  }
  int srcW_, srcH_;
  BufferRef out_;
  std::vector<uint64_t> acc_;
  std::vector<int> counts_;
  int rowsInBand_ = 0;
};

void targetSize(int w, int h, int maxSide, int& tw, int& th) {
  if (maxSide <= 0 || std::max(w, h) <= maxSide) { tw = w; th = h; return; }
  const double s = static_cast<double>(maxSide) / std::max(w, h);
  tw = std::max(1, static_cast<int>(std::lround(w * s)));
  th = std::max(1, static_cast<int>(std::lround(h * s)));
}

// ---- PNG ----
struct PngState {
  png_structp png = nullptr;
  png_infop info = nullptr;
  std::vector<uint8_t> row;
  std::vector<uint8_t> whole;
  std::vector<png_bytep> rows;  // here, not on the stack: libpng's longjmp skips local destructors
  std::unique_ptr<RowSink> sink;
  ~PngState() { png_destroy_read_struct(&png, info ? &info : nullptr, nullptr); }
};

void pngWarning(png_structp, png_const_charp) {}
// Corrupt input is an expected outcome here, not something to print.
[[noreturn]] void pngError(png_structp png, png_const_charp) { png_longjmp(png, 1); }

// maxSide < 0: properties only; 0: full size; > 0: thumbnail bound.
BufferRef decodePng(FILE* f, int maxSide, ImageProperties* props) {
  auto st = std::make_unique<PngState>();
  st->png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, pngError, pngWarning);
  if (!st->png) return nullptr;
  st->info = png_create_info_struct(st->png);
  if (!st->info) return nullptr;
  png_set_user_limits(st->png, 1 << 20, 1 << 20);
  if (setjmp(png_jmpbuf(st->png))) return nullptr;
  png_init_io(st->png, f);
  png_read_info(st->png, st->info);
  const int w = static_cast<int>(png_get_image_width(st->png, st->info));
  const int h = static_cast<int>(png_get_image_height(st->png, st->info));
  if (props) {
    props->width = w;
    props->height = h;
    props->format = ImageFormat::png;
    png_uint_32 exifLen = 0;
    png_bytep exif = nullptr;
#ifdef PNG_eXIf_SUPPORTED
    if (png_get_eXIf_1(st->png, st->info, &exifLen, &exif) && exif) props->orientation = exifOrientation(exif, exifLen);
#endif
  }
  if (maxSide < 0) return nullptr;
  const bool interlaced = png_get_interlace_type(st->png, st->info) != PNG_INTERLACE_NONE;
  if ((maxSide == 0 || interlaced) && static_cast<int64_t>(w) * h > kMaxDecodePixels) return nullptr;
  png_set_expand(st->png);
  png_set_strip_16(st->png);
  png_set_gray_to_rgb(st->png);
  png_set_add_alpha(st->png, 0xff, PNG_FILLER_AFTER);
  const int passes = png_set_interlace_handling(st->png);
  png_read_update_info(st->png, st->info);
  int tw, th;
  targetSize(w, h, maxSide, tw, th);
  st->sink = std::make_unique<RowSink>(w, h, tw, th);
  if (passes > 1) {
    st->whole.resize(static_cast<size_t>(w) * h * 4);
    st->rows.resize(h);
    for (int y = 0; y < h; ++y) st->rows[y] = st->whole.data() + static_cast<size_t>(y) * w * 4;
    png_read_image(st->png, st->rows.data());
    for (int y = 0; y < h; ++y) st->sink->row(y, st->rows[y]);
  } else {
    st->row.resize(static_cast<size_t>(w) * 4);
    for (int y = 0; y < h; ++y) {
      png_read_row(st->png, st->row.data(), nullptr);
      st->sink->row(y, st->row.data());
    }
  }
  png_read_end(st->png, nullptr);
  return st->sink->take();
}

// ---- JPEG ----
struct JpegErr {
  jpeg_error_mgr mgr;
  jmp_buf jump;
};
void jpegErrorExit(j_common_ptr c) { std::longjmp(reinterpret_cast<JpegErr*>(c->err)->jump, 1); }
void jpegSilence(j_common_ptr, int) {}

struct JpegState {
  jpeg_decompress_struct cinfo{};
  JpegErr err{};
  bool created = false;
  std::vector<uint8_t> row, rgba;
  std::unique_ptr<RowSink> sink;
  ~JpegState() { if (created) jpeg_destroy_decompress(&cinfo); }
};

BufferRef decodeJpeg(FILE* f, int maxSide, ImageProperties* props) {
  auto st = std::make_unique<JpegState>();
  st->cinfo.err = jpeg_std_error(&st->err.mgr);
  st->err.mgr.error_exit = jpegErrorExit;
  st->err.mgr.emit_message = jpegSilence;
  if (setjmp(st->err.jump)) return nullptr;
  jpeg_create_decompress(&st->cinfo);
  st->created = true;
  jpeg_stdio_src(&st->cinfo, f);
  jpeg_save_markers(&st->cinfo, JPEG_APP0 + 1, 0xffff);
  jpeg_read_header(&st->cinfo, TRUE);
  const int w = static_cast<int>(st->cinfo.image_width), h = static_cast<int>(st->cinfo.image_height);
  if (props) {
    props->width = w;
    props->height = h;
    props->format = ImageFormat::jpeg;
    for (auto* m = st->cinfo.marker_list; m; m = m->next)
      if (m->marker == JPEG_APP0 + 1 && m->data_length >= 6 && std::memcmp(m->data, "Exif\0\0", 6) == 0)
        props->orientation = exifOrientation(m->data, m->data_length);
  }
  if (maxSide < 0) return nullptr;
  if (maxSide == 0 && static_cast<int64_t>(w) * h > kMaxDecodePixels) return nullptr;
  st->cinfo.out_color_space = JCS_RGB;
  // Let the decoder shrink by up to 8 in the DCT while staying at or above the target.
  if (maxSide > 0) {
    int denom = 8;
    while (denom > 1 && (std::max(w, h) + denom - 1) / denom < maxSide) denom /= 2;
    st->cinfo.scale_num = 1;
    st->cinfo.scale_denom = static_cast<unsigned>(denom);
  }
  jpeg_start_decompress(&st->cinfo);
  const int ow = static_cast<int>(st->cinfo.output_width), oh = static_cast<int>(st->cinfo.output_height);
  int tw, th;
  targetSize(ow, oh, maxSide, tw, th);
  st->sink = std::make_unique<RowSink>(ow, oh, tw, th);
  st->row.resize(static_cast<size_t>(ow) * 3);
  st->rgba.resize(static_cast<size_t>(ow) * 4);
  while (st->cinfo.output_scanline < st->cinfo.output_height) {
    const int y = static_cast<int>(st->cinfo.output_scanline);
    JSAMPROW r = st->row.data();
    jpeg_read_scanlines(&st->cinfo, &r, 1);
    for (int x = 0; x < ow; ++x) {
      std::memcpy(&st->rgba[static_cast<size_t>(x) * 4], &st->row[static_cast<size_t>(x) * 3], 3);
      st->rgba[static_cast<size_t>(x) * 4 + 3] = 255;
    }
    st->sink->row(y, st->rgba.data());
  }
  jpeg_finish_decompress(&st->cinfo);
  return st->sink->take();
}

// ---- WebP ----
BufferRef decodeWebp(FILE* f, int maxSide, ImageProperties* props) {
  std::vector<uint8_t> data;
  {
    uint8_t buf[1 << 16];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
      data.insert(data.end(), buf, buf + n);
      if (data.size() > (512u << 20)) return nullptr;
    }
  }
  WebPBitstreamFeatures feat;
  if (WebPGetFeatures(data.data(), data.size(), &feat) != VP8_STATUS_OK) return nullptr;
  const int w = feat.width, h = feat.height;
  if (props) {
    props->width = w;
    props->height = h;
    props->format = ImageFormat::webp;
    WebPData wd{data.data(), data.size()};
    if (WebPDemuxer* demux = WebPDemux(&wd)) {
      WebPChunkIterator it;
      if (WebPDemuxGetChunk(demux, "EXIF", 1, &it)) {
        props->orientation = exifOrientation(it.chunk.bytes, it.chunk.size);
        WebPDemuxReleaseChunkIterator(&it);
      }
      WebPDemuxDelete(demux);
    }
  }
  if (maxSide < 0) return nullptr;
  int tw, th;
  targetSize(w, h, maxSide, tw, th);
  if (static_cast<int64_t>(tw) * th > kMaxDecodePixels) return nullptr;
  WebPDecoderConfig config;
  if (!WebPInitDecoderConfig(&config)) return nullptr;
  auto out = makeBuffer(tw, th, PixelFormat::bgra8);
  if (tw != w || th != h) {
    config.options.use_scaling = 1;
    config.options.scaled_width = tw;
    config.options.scaled_height = th;
  }
  config.output.colorspace = MODE_bgrA;  // premultiplied BGRA
  config.output.is_external_memory = 1;
  config.output.u.RGBA.rgba = out->data();
  config.output.u.RGBA.stride = static_cast<int>(out->stride());
  config.output.u.RGBA.size = out->byteSize();
  const VP8StatusCode status = WebPDecode(data.data(), data.size(), &config);
  WebPFreeDecBuffer(&config.output);
  return status == VP8_STATUS_OK ? out : nullptr;
}

BufferRef decodeFile(const std::string& path, int maxSide, ImageProperties* props) {
  FilePtr f(std::fopen(path.c_str(), "rb"));
  if (!f) return nullptr;
  const auto fmt = sniffFile(f.get());
  if (!fmt) return nullptr;
  switch (*fmt) {
    case ImageFormat::png: return decodePng(f.get(), maxSide, props);
    case ImageFormat::jpeg: return decodeJpeg(f.get(), maxSide, props);
    case ImageFormat::webp: return decodeWebp(f.get(), maxSide, props);
  }
  return nullptr;
}

}  // namespace

std::optional<ImageProperties> readImageProperties(const std::string& path) {
  ImageProperties p;
  p.width = 0;
  decodeFile(path, -1, &p);
  if (p.width <= 0 || p.height <= 0) return std::nullopt;
  return p;
}

BufferRef readImage(const std::string& path) { return decodeFile(path, 0, nullptr); }

BufferRef readThumbnail(const std::string& path, int maxPixelSize, bool applyOrientation) {
  if (maxPixelSize <= 0) return nullptr;
  ImageProperties p;
  BufferRef b = decodeFile(path, maxPixelSize, &p);
  if (!b) return nullptr;
  if (applyOrientation && p.orientation != 1) return applyExifOrientation(*b, p.orientation);
  return b;
}

BufferRef applyExifOrientation(const PixelBuffer& in, int o) {
  const int W = in.width(), H = in.height();
  const bool swap = o >= 5 && o <= 8;
  auto out = makeBuffer(swap ? H : W, swap ? W : H, PixelFormat::bgra8);
  for (int y = 0; y < out->height(); ++y) {
    uint32_t* row = out->pixelRow(y);
    for (int x = 0; x < out->width(); ++x) {
      int sx = x, sy = y;
      switch (o) {
        case 2: sx = W - 1 - x; break;
        case 3: sx = W - 1 - x; sy = H - 1 - y; break;
        case 4: sy = H - 1 - y; break;
        case 5: sx = y; sy = x; break;
        case 6: sx = y; sy = H - 1 - x; break;
        case 7: sx = W - 1 - y; sy = H - 1 - x; break;
        case 8: sx = W - 1 - y; sy = x; break;
        default: break;
      }
      row[x] = in.pixelRow(sy)[sx];
    }
  }
  return out;
}

namespace {
struct JpegWriteState {
  jpeg_compress_struct cinfo{};
  JpegErr err{};
  bool created = false;
  std::vector<uint8_t> row;
  ~JpegWriteState() { if (created) jpeg_destroy_compress(&cinfo); }
};

bool encodeJpeg(const PixelBuffer& px, FILE* f, int quality, JpegWriteState* st) {
  st->cinfo.err = jpeg_std_error(&st->err.mgr);
  st->err.mgr.error_exit = jpegErrorExit;
  st->err.mgr.emit_message = jpegSilence;
  if (setjmp(st->err.jump)) return false;
  jpeg_create_compress(&st->cinfo);
  st->created = true;
  jpeg_stdio_dest(&st->cinfo, f);
  st->cinfo.image_width = static_cast<JDIMENSION>(px.width());
  st->cinfo.image_height = static_cast<JDIMENSION>(px.height());
  st->cinfo.input_components = 3;
  st->cinfo.in_color_space = JCS_RGB;
  jpeg_set_defaults(&st->cinfo);
  jpeg_set_quality(&st->cinfo, quality, TRUE);
  st->cinfo.optimize_coding = TRUE;
  jpeg_start_compress(&st->cinfo, TRUE);
  st->row.resize(static_cast<size_t>(px.width()) * 3);
  while (st->cinfo.next_scanline < st->cinfo.image_height) {
    const uint8_t* s = px.row(static_cast<int>(st->cinfo.next_scanline));
    for (int x = 0; x < px.width(); ++x) {
      st->row[x * 3] = s[x * 4 + 2];
      st->row[x * 3 + 1] = s[x * 4 + 1];
      st->row[x * 3 + 2] = s[x * 4];
    }
    JSAMPROW r = st->row.data();
    jpeg_write_scanlines(&st->cinfo, &r, 1);
  }
  jpeg_finish_compress(&st->cinfo);
  return true;
}

struct PngWriteState {
  png_structp png = nullptr;
  png_infop info = nullptr;
  std::vector<uint8_t> row;
  ~PngWriteState() { png_destroy_write_struct(&png, info ? &info : nullptr); }
};

bool encodePng(const PixelBuffer& px, FILE* f, PngWriteState* st) {
  st->png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, pngError, pngWarning);
  if (!st->png) return false;
  st->info = png_create_info_struct(st->png);
  if (!st->info) return false;
  if (setjmp(png_jmpbuf(st->png))) return false;
  png_init_io(st->png, f);
  png_set_IHDR(st->png, st->info, static_cast<png_uint_32>(px.width()), static_cast<png_uint_32>(px.height()), 8,
               PNG_COLOR_TYPE_RGBA, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(st->png, st->info);
  st->row.resize(static_cast<size_t>(px.width()) * 4);
  for (int y = 0; y < px.height(); ++y) {
    const uint8_t* s = px.row(y);
    for (int x = 0; x < px.width(); ++x) {
      const unsigned a = s[x * 4 + 3];
      auto un = [a](unsigned v) { return static_cast<uint8_t>(a ? std::min(255u, (v * 255 + a / 2) / a) : 0); };
      st->row[x * 4] = un(s[x * 4 + 2]);
      st->row[x * 4 + 1] = un(s[x * 4 + 1]);
      st->row[x * 4 + 2] = un(s[x * 4]);
      st->row[x * 4 + 3] = static_cast<uint8_t>(a);
    }
    png_write_row(st->png, st->row.data());
  }
  png_write_end(st->png, nullptr);
  return true;
}
}  // namespace

void writeJpeg(const PixelBuffer& pixels, const std::string& path, double quality) {
  if (pixels.format() != PixelFormat::bgra8) throw ImageFileError(ImageFileErrorCode::encodeFailed, "not a BGRA buffer");
  FilePtr f(std::fopen(path.c_str(), "wb"));
  if (!f) throw ImageFileError(ImageFileErrorCode::openFailed, std::string(std::strerror(errno)) + ": " + path);
  const int q = std::clamp(static_cast<int>(std::lround((std::isfinite(quality) ? quality : 0.8) * 100)), 1, 100);
  auto st = std::make_unique<JpegWriteState>();
  if (!encodeJpeg(pixels, f.get(), q, st.get()) || std::fflush(f.get()) != 0)
    throw ImageFileError(ImageFileErrorCode::encodeFailed, path);
  if (std::fclose(f.release()) != 0) throw ImageFileError(ImageFileErrorCode::encodeFailed, path);
}

void writePng(const PixelBuffer& pixels, const std::string& path) {
  if (pixels.format() != PixelFormat::bgra8) throw ImageFileError(ImageFileErrorCode::encodeFailed, "not a BGRA buffer");
  FilePtr f(std::fopen(path.c_str(), "wb"));
  if (!f) throw ImageFileError(ImageFileErrorCode::openFailed, std::string(std::strerror(errno)) + ": " + path);
  auto st = std::make_unique<PngWriteState>();
  if (!encodePng(pixels, f.get(), st.get()) || std::fflush(f.get()) != 0)
    throw ImageFileError(ImageFileErrorCode::encodeFailed, path);
  if (std::fclose(f.release()) != 0) throw ImageFileError(ImageFileErrorCode::encodeFailed, path);
}

}  // namespace vantrel::graphics
