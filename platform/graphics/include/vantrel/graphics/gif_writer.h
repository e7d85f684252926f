#pragma once
// Animated GIF writing, frame by frame in constant memory. The first frame's
// libimagequant palette becomes the file's global palette; later frames reuse
// it when it still renders them well and get a palette of their own otherwise
// (Floyd-Steinberg dithering throughout). Only the rectangle that changed since
// the previous frame is stored, unchanged pixels inside it are transparent, and
// identical frames merge into one longer frame.
//
// Delays are rounded on the running clock (centiseconds), so 1/15 s frames
// alternate 7 and 6 cs and the animation keeps its total duration.
// One writer is used by one thread at a time.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "vantrel/common/error.h"
#include "vantrel/graphics/pixel_buffer.h"

namespace vantrel::graphics {

enum class GifWriteErrorCode { openFailed, wrongFrameSize, quantizeFailed, writeFailed };

class GifWriteError : public CodedError<GifWriteErrorCode> {
 public:
  GifWriteError(GifWriteErrorCode code, std::string payload);
};

class GifWriter {
 public:
  // Creates the file. loopCount 0 repeats forever. Throws GifWriteError.
  GifWriter(const std::string& path, int width, int height, int loopCount = 0);
  ~GifWriter();  // without finish() the file is left incomplete
  GifWriter(const GifWriter&) = delete;
  GifWriter& operator=(const GifWriter&) = delete;

  // Appends a premultiplied BGRA frame of the writer's size shown for `delaySeconds`
  // (alpha is dropped: the frame is seen over black). Throws GifWriteError.
  void addFrame(const PixelBuffer& frame, double delaySeconds);
  // Writes what is pending and closes the file. Throws GifWriteError.
  void finish();

  int framesAdded() const { return framesAdded_; }
  int framesWritten() const { return framesWritten_; }

 private:
  struct Pending;
  void writePending();
  void writeHeader();
  std::string path_;
  int width_, height_, loopCount_;
  bool headerWritten_ = false;
  std::vector<uint8_t> globalPalette_;  // RGB triplets; the last entry is the transparent one
  void* gif_ = nullptr;  // GifFileType
  std::vector<uint8_t> previous_;  // RGBA of the previous source frame
  std::unique_ptr<Pending> pending_;
  double clockSeconds_ = 0;
  int64_t writtenCentiseconds_ = 0;
  int framesAdded_ = 0, framesWritten_ = 0;
};

}  // namespace vantrel::graphics
