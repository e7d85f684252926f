#pragma once
// Decoded-frame conversions: any FFmpeg picture to BGRA or I420.

#include "vantrel/media/frame.h"

extern "C" {
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

namespace vantrel::media {

class FrameConverter {
 public:
  FrameConverter() = default;
  ~FrameConverter();
  FrameConverter(const FrameConverter&) = delete;
  FrameConverter& operator=(const FrameConverter&) = delete;

  // `out` must have the frame's size. 4:2:0 and NV12 go through libyuv with the
  // frame's matrix and range (BT.709 when untagged, BT.601 when tagged so);
  // anything else through swscale.
  void toBgra(const AVFrame* frame, PixelBuffer& out);
  void toI420(const AVFrame* frame, I420Buffer& out);

 private:
  void applyMatrix(const AVFrame* f);
  void convertWithSwscale(const AVFrame* f, AVPixelFormat to, std::uint8_t* const dst[4], const int dstStride[4]);
  SwsContext* sws_ = nullptr;
};

}  // namespace vantrel::media
