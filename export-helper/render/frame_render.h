#pragma once
// One composition request drawn straight into the media layer's output
// buffer. The decoded frame is read where the decoder left it and the
// composed frame is computed into the output's rows, so no frame is copied
// on the way in or out.
//
// Threads: the render state's thread (see NativeRenderState). The request's
// frames stay referenced only while the call runs.

#include "render/render_state.h"
#include "vantrel/media/video_composition_reader.h"

namespace vantrel::exporter {

// Draws the frame at request.outputTime into the top-left render-size
// rectangle of `output`. Throws JobRunnerError::exportSessionFailed with
// "native_compositor_no_buffer" when `output` is smaller than the render size
// and "native_compositor_compose_failed" when the scene cannot be composed.
void renderCompositionFrame(NativeRenderState& state, const media::CompositionRequest& request,
                            media::PixelBuffer& output);

}  // namespace vantrel::exporter
