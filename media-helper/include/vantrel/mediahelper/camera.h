#pragma once
// Re-timing a camera recording to the wall-clock length measured while it was
// recorded (cameras drift and drop frames, so the file may run a little short
// or long). Corrections beyond 10 % are refused as a sign of a wrong input.

#include <string>

namespace vantrel::mediahelper {

inline constexpr double kMinCameraRatio = 0.9;
inline constexpr double kMaxCameraRatio = 1.1;
// Differences below this are left alone: the file is copied unchanged.
inline constexpr double kCameraCopyThresholdSeconds = 0.04;

enum class CameraAction { copy, retime };
// Throws MediaHelperError: missingArgument("--wall-duration") for a wall
// duration that is not a finite number above 0, exportFailed for an invalid
// source duration or a ratio outside [0.9, 1.1].
CameraAction chooseCameraAction(double wallDurationSeconds, double sourceDurationSeconds);

// Copies or re-times every video and audio track of `inputPath` to
// `wallDurationSeconds`, replacing `outputPath`. Throws MediaHelperError,
// MediaError or std::system_error; a failed export removes its output. Runs on
// the calling thread (the export uses threads of its own).
void normalizeCamera(const std::string& inputPath, const std::string& outputPath, double wallDurationSeconds);

}  // namespace vantrel::mediahelper
