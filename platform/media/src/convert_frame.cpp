#include "convert_frame.h"

#include "vantrel/media/bgra_to_i420.h"
#include "vantrel/media/errors.h"

extern "C" {
#include <libavutil/pixdesc.h>
}

#include <libyuv.h>

#include <cstring>

namespace vantrel::media {

namespace {

const libyuv::YuvConstants* matrixFor(const AVFrame* f) {
  const bool full = f->color_range == AVCOL_RANGE_JPEG || f->format == AV_PIX_FMT_YUVJ420P;
  const bool bt601 = f->colorspace == AVCOL_SPC_BT470BG || f->colorspace == AVCOL_SPC_SMPTE170M;
  if (bt601) return full ? &libyuv::kYuvJPEGConstants : &libyuv::kYuvI601Constants;
  return full ? &libyuv::kYuvF709Constants : &libyuv::kYuvH709Constants;
}

}  // namespace

FrameConverter::~FrameConverter() { sws_freeContext(sws_); }

void FrameConverter::convertWithSwscale(const AVFrame* f, AVPixelFormat to, std::uint8_t* const dst[4],
                                        const int dstStride[4]) {
  const int w = f->width, h = f->height;
  sws_ = sws_getCachedContext(sws_, w, h, static_cast<AVPixelFormat>(f->format), w, h, to, SWS_BICUBIC, nullptr,
                              nullptr, nullptr);
  if (sws_ == nullptr) {
    throw makeMediaError(MediaErrorCode::unsupported,
                         std::string("cannot convert pixel format ") +
                             av_get_pix_fmt_name(static_cast<AVPixelFormat>(f->format)));
  }
  applyMatrix(f);
  sws_scale(sws_, f->data, f->linesize, 0, h, dst, dstStride);
}

void FrameConverter::applyMatrix(const AVFrame* f) {
  const bool full = f->color_range == AVCOL_RANGE_JPEG;
  const bool bt601 = f->colorspace == AVCOL_SPC_BT470BG || f->colorspace == AVCOL_SPC_SMPTE170M;
  const int* coefficients = sws_getCoefficients(bt601 ? SWS_CS_ITU601 : SWS_CS_ITU709);
  sws_setColorspaceDetails(sws_, coefficients, full ? 1 : 0, sws_getCoefficients(SWS_CS_ITU709), 1, 0, 1 << 16,
                           1 << 16);
}

void FrameConverter::toBgra(const AVFrame* f, PixelBuffer& out) {
  const int w = f->width, h = f->height;
  if (out.width() != w || out.height() != h) {
    throw makeMediaError(MediaErrorCode::invalidArgument, "frame size does not match the buffer");
  }
  // Limited-range I420 in either matrix: our conversion, whose blue is right
  // (libyuv's 8-bit tables cannot hold these two matrices' U-to-blue term).
  if (const auto* m = matrixFor(f);
      f->format == AV_PIX_FMT_YUV420P && (m == &libyuv::kYuvH709Constants || m == &libyuv::kYuvI601Constants)) {
    convertI420ToBgra(m == &libyuv::kYuvI601Constants ? YuvMatrix::bt601 : YuvMatrix::bt709, f->data[0],
                      f->linesize[0], f->data[1], f->linesize[1], f->data[2], f->linesize[2], out.data(),
                      out.stride(), w, h);
    return;
  }
  if (f->format == AV_PIX_FMT_YUV420P || f->format == AV_PIX_FMT_YUVJ420P) {
    libyuv::I420ToARGBMatrix(f->data[0], f->linesize[0], f->data[1], f->linesize[1], f->data[2], f->linesize[2],
                             out.data(), out.stride(), matrixFor(f), w, h);
    return;
  }
  if (f->format == AV_PIX_FMT_NV12) {
    libyuv::NV12ToARGBMatrix(f->data[0], f->linesize[0], f->data[1], f->linesize[1], out.data(), out.stride(),
                             matrixFor(f), w, h);
    return;
  }
  std::uint8_t* dst[4] = {out.data(), nullptr, nullptr, nullptr};
  int dstStride[4] = {out.stride(), 0, 0, 0};
  convertWithSwscale(f, AV_PIX_FMT_BGRA, dst, dstStride);
}

void FrameConverter::toI420(const AVFrame* f, I420Buffer& out) {
  const int w = f->width, h = f->height;
  if (out.width != w || out.height != h) out = I420Buffer(w, h);
  if (f->format == AV_PIX_FMT_YUV420P || f->format == AV_PIX_FMT_YUVJ420P) {
    libyuv::I420Copy(f->data[0], f->linesize[0], f->data[1], f->linesize[1], f->data[2], f->linesize[2],
                     out.y.data(), out.strideY, out.u.data(), out.strideU, out.v.data(), out.strideV, w, h);
    return;
  }
  std::uint8_t* dst[4] = {out.y.data(), out.u.data(), out.v.data(), nullptr};
  int dstStride[4] = {out.strideY, out.strideU, out.strideV, 0};
  convertWithSwscale(f, AV_PIX_FMT_YUV420P, dst, dstStride);
}

}  // namespace vantrel::media
