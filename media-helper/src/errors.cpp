#include "vantrel/mediahelper/errors.h"

namespace vantrel::mediahelper {

MediaHelperError makeError(MediaHelperErrorCode code, std::string payload) {
  std::string text;
  switch (code) {
    case MediaHelperErrorCode::missingArgument: text = "Missing required argument " + payload; break;
    case MediaHelperErrorCode::readerFailed: text = "Media reader failed: " + payload; break;
    case MediaHelperErrorCode::exportFailed: text = "Media export failed: " + payload; break;
    case MediaHelperErrorCode::noAudioTrack: text = "The source media has no audio track"; break;
    case MediaHelperErrorCode::noVideoTrack: text = "The source media has no video track"; break;
    case MediaHelperErrorCode::cannotCreateReader: text = "Unable to create media reader"; break;
    case MediaHelperErrorCode::cannotCreateExporter: text = "Unable to create media exporter"; break;
  }
  return MediaHelperError(code, std::move(payload), std::move(text));
}

}  // namespace vantrel::mediahelper
