#pragma once
// One composition request drawn straight into the media layer's output
// buffer. The decoded frame is read where the decoder left it and the
// composed frame is computed into the output's rows, so no frame is copied
// on the way in.
//
// Change tracking: screen recordings are mostly still, so the compositor
// keeps the frame it composed last and the base source frame it came from.
// When the new source frame has the same pixels and no layer changes between
// the two times, the kept frame is reused; when only a band of source rows
// changed, only the output rows that band can reach are computed again. The
// result is byte-identical to composing every frame in full. Setting the
// environment variable VANTREL_CHANGE_TRACKING to "0" turns it off (for
// comparisons).
//
// Threads: the render state's thread (see NativeRenderState). The request's
// frames stay referenced only while the call runs, except the base frame,
// which is held until the next request.

#include <cstdint>
#include <memory>

#include "render/render_state.h"
#include "vantrel/media/video_composition_reader.h"

namespace vantrel::exporter {

struct ComposedFrameHistory {
  bool enabled = true;
  bool valid = false;  // `time`, `source` and `output` describe the last frame
  double time = 0;
  std::shared_ptr<const media::PixelBuffer> source;  // null: that frame had none
  graphics::BufferRef output;                        // the last composed frame, render size
  // Output rows (top row first) of the last frame that may differ from the
  // frame before it: empty when it was reused whole, every row after a full
  // composition. A consumer that keeps its own copy of the previous output
  // (converted planes, say) needs to redo only these rows.
  RowBand lastChangedRows;

  // Frames composed in full, in part (a band of rows) and reused whole.
  std::int64_t fullFrames = 0;
  std::int64_t bandFrames = 0;
  std::int64_t reusedFrames = 0;
  std::int64_t bandRows = 0;  // rows computed by partial frames, summed
};

// Turns change tracking on or off for `state` (on unless the environment
// says otherwise). Frames drawn while it is off are composed in full and
// leave the kept frame alone, so pictures that are not frames of the export
// (probes of the scene) can be drawn in between without disturbing it.
void setChangeTracking(NativeRenderState& state, bool enabled);
// The state's history, made on first use.
ComposedFrameHistory& composedFrameHistory(NativeRenderState& state);

// Draws the frame at request.outputTime into the top-left render-size
// rectangle of `output`. Throws JobRunnerError::exportSessionFailed with
// "native_compositor_no_buffer" when `output` is smaller than the render size
// and "native_compositor_compose_failed" when the scene cannot be composed.
void renderCompositionFrame(NativeRenderState& state, const media::CompositionRequest& request,
                            media::PixelBuffer& output);

}  // namespace vantrel::exporter
