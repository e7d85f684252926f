#pragma once
// The one error type of the media layer. The payload names what failed and, for
// library failures, carries FFmpeg's own text and the file path, e.g.
// "/tmp/a.mp4: Invalid data found when processing input".

#include "vantrel/common/error.h"

#include <string>

namespace vantrel::media {

enum class MediaErrorCode {
  openFailed,       // the file cannot be opened or is not a media file
  noSuchTrack,      // no track of the requested kind or id
  readFailed,       // demuxing failed mid-file
  decodeFailed,     // a decoder refused the data
  encodeFailed,     // an encoder could not be set up or failed
  writeFailed,      // the output file could not be written
  invalidArgument,  // a caller error: bad size, bad settings, bad range
  invalidState,     // an operation in the wrong state (append after finish...)
  cancelled,        // the operation was cancelled by its owner
  unsupported,      // valid media that this layer cannot handle
};

using MediaError = CodedError<MediaErrorCode>;

// Fixed text prefix of each code ("Cannot open media file: ").
const char* mediaErrorPrefix(MediaErrorCode code);
MediaError makeMediaError(MediaErrorCode code, std::string payload);
// FFmpeg's description of an AVERROR value.
std::string ffmpegErrorText(int averror);
// "path: FFmpeg text".
MediaError makeFfmpegError(MediaErrorCode code, const std::string& path, int averror);

}  // namespace vantrel::media
