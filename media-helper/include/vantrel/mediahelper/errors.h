#pragma once
// The media helper's own failures. Media-layer failures (MediaError) and file
// system failures (std::system_error naming the path) are not wrapped: the
// program reports their own text.

#include <string>

#include "vantrel/common/error.h"

namespace vantrel::mediahelper {

enum class MediaHelperErrorCode {
  missingArgument,       // payload: the flag or command name
  readerFailed,          // payload: message
  exportFailed,          // payload: message
  noAudioTrack,
  noVideoTrack,
  cannotCreateReader,
  cannotCreateExporter,
};

using MediaHelperError = CodedError<MediaHelperErrorCode>;

// Builds the error with its fixed text ("Missing required argument --x", ...).
MediaHelperError makeError(MediaHelperErrorCode code, std::string payload = {});

}  // namespace vantrel::mediahelper
