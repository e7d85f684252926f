#pragma once
// Animated GIF writing, frame by frame in constant memory. The first frame's
// libimagequant palette becomes the file's global palette. Later frames store
// only the rectangle that changed since the previous frame, with unchanged
// pixels (within one level of decoder noise) transparent; a small rectangle
// keeps the global palette when it still renders it well, any other gets a
// palette of its own chosen for a measured quality target (Floyd-Steinberg
// dithering throughout). A frame identical to the previous one is either a 1x1
// transparent frame, so the file keeps one frame per frame added at a constant
// delay, or merges into the previous frame, which then lasts longer (smaller,
// same playback).
//
// Delays are rounded on the running clock (centiseconds), so 1/15 s frames
// alternate 7 and 6 cs and the animation keeps its total duration.
// One writer is used by one thread at a time; it quantises on that thread only.

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

enum class UnchangedFrames { hold, merge };

class GifWriter {
 public:
  // Creates the file. loopCount 0 repeats forever. Throws GifWriteError.
  GifWriter(const std::string& path, int width, int height, int loopCount = 0,
            UnchangedFrames unchanged = UnchangedFrames::hold);
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
  UnchangedFrames unchanged_;
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
