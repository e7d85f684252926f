#pragma once
// The one error type of the desktop layer. Platform failures carry the
// library's own text (X11 error names, PulseAudio's strerror, errno texts).

#include <string>

#include "vantrel/common/error.h"

namespace vantrel::desktop {

enum class DesktopErrorCode {
  DisplayUnavailable,  // no display could be opened (payload: display name and reason)
  XRequestFailed,      // an X request returned an error (payload: request and X error name)
  ImageEncodingFailed, // PNG encoding failed (payload: libpng's message)
  ImageDecodingFailed, // a PNG file could not be read (payload: path and reason)
  AudioServerFailed,   // the sound server could not be asked (payload: PulseAudio's text)
};

class DesktopError : public CodedError<DesktopErrorCode> {
 public:
  DesktopError(DesktopErrorCode code, std::string payload);
};

}  // namespace vantrel::desktop
