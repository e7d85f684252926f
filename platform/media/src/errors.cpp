#include "vantrel/media/errors.h"

extern "C" {
#include <libavutil/error.h>
}

namespace vantrel::media {

const char* mediaErrorPrefix(MediaErrorCode code) {
  switch (code) {
    case MediaErrorCode::openFailed: return "Cannot open media file: ";
    case MediaErrorCode::noSuchTrack: return "No such track: ";
    case MediaErrorCode::readFailed: return "Media read failed: ";
    case MediaErrorCode::decodeFailed: return "Decoding failed: ";
    case MediaErrorCode::encodeFailed: return "Encoding failed: ";
    case MediaErrorCode::writeFailed: return "Media write failed: ";
    case MediaErrorCode::invalidArgument: return "Invalid argument: ";
    case MediaErrorCode::invalidState: return "Invalid state: ";
    case MediaErrorCode::cancelled: return "Cancelled: ";
    case MediaErrorCode::unsupported: return "Unsupported media: ";
  }
  return "Media error: ";
}

MediaError makeMediaError(MediaErrorCode code, std::string payload) {
  std::string text = mediaErrorPrefix(code) + payload;
  return MediaError(code, std::move(payload), std::move(text));
}

std::string ffmpegErrorText(int averror) {
  char buffer[AV_ERROR_MAX_STRING_SIZE] = {};
  if (av_strerror(averror, buffer, sizeof buffer) < 0) return "error " + std::to_string(averror);
  return buffer;
}

MediaError makeFfmpegError(MediaErrorCode code, const std::string& path, int averror) {
  return makeMediaError(code, path + ": " + ffmpegErrorText(averror));
}

}  // namespace vantrel::media
