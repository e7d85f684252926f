#include "vantrel/desktop/error.h"

namespace vantrel::desktop {
namespace {

std::string prefix(DesktopErrorCode code) {
  switch (code) {
    case DesktopErrorCode::DisplayUnavailable: return "Cannot open the display: ";
    case DesktopErrorCode::XRequestFailed: return "X request failed: ";
    case DesktopErrorCode::ImageEncodingFailed: return "PNG encoding failed: ";
    case DesktopErrorCode::ImageDecodingFailed: return "PNG decoding failed: ";
    case DesktopErrorCode::AudioServerFailed: return "Sound server error: ";
  }
  return "Desktop error: ";
}

}  // namespace

DesktopError::DesktopError(DesktopErrorCode code, std::string payload)
    : CodedError(code, payload, prefix(code) + payload) {}

}  // namespace vantrel::desktop
