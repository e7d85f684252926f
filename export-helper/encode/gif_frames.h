#pragma once
// The animated GIF path's frame writer: pulls composed frames through a
// composition reader and appends each to a looping GIF of constant delay.

#include <cstdint>
#include <string>

#include "job/progress_reporter.h"
#include "vantrel/common/error.h"
#include "vantrel/media/video_composition_reader.h"

namespace vantrel::exporter {

enum class GifWriterErrorCode { readerFailed, destinationCreationFailed, missingFrameImage, noFrames, finalizeFailed };

class GifWriterError : public CodedError<GifWriterErrorCode> {
 public:
  using CodedError::CodedError;

  static GifWriterError readerFailed(const std::string& reason);
  static GifWriterError destinationCreationFailed();
  static GifWriterError missingFrameImage();
  static GifWriterError noFrames();
  static GifWriterError finalizeFailed();
};

// The GIF's frame rate: the requested rate clamped to 1...15 frames per second.
int gifFrameRate(std::int64_t requestedFrameRate);

// The frame budget: max(1, ceil(durationSeconds x rate)). A duration that is not
// finite or not positive gives 1; a huge one is capped far beyond any real
// timeline (the composition's own end stops the GIF first).
std::int64_t gifFrameBudget(double durationSeconds, int frameRate);

// Writes at most `estimatedFrames` (at least 1) frames of the composition to a
// GIF at `outputPath` (an existing file there is replaced), each shown for
// 1 / `frameRate` s, looping forever. Frames are composed on the calling
// thread and quantised and written on a second one, at most two frames behind.
// The composition is read at `frameRate`
// frames per second of its own timeline, whatever frame duration `settings`
// carries, so the GIF always plays in real time. Sides below 2 are read at 2.
// Returns the number of frames written (>= 1). Emits "Encoding animated GIF..."
// progress at most every 0.25 s. Throws GifWriterError, the compositor's own
// error, JobRunnerError::unsupportedScene for a composition without video, or the
// GIF encoder's error; a partly written file may remain at `outputPath`.
std::int64_t writeAnimatedGif(const media::Composition& composition, media::VideoCompositionSettings settings,
                              const media::Compositor& compositor, const std::string& outputPath, int frameRate,
                              std::int64_t estimatedFrames, ProgressReporter& reporter,
                              const std::string& helperVersion);

}  // namespace vantrel::exporter
