#pragma once
// Decoding the still pictures and measuring the camera recordings an export
// needs before its first frame. Called once while the composition is built.

#include <map>
#include <string>
#include <vector>

#include "manifest/manifest.h"
#include "plan/geometry.h"
#include "render/camera_frame_decoder.h"
#include "vantrel/graphics/image.h"

namespace vantrel::exporter {

// Pictures by path. Anything above twice the render size's long edge (at least
// 2048 pixels) is decoded as a thumbnail of that size, upright. Paths that give
// no picture are left out without an error.
std::map<std::string, graphics::Image> loadImageSources(const std::vector<std::string>& paths, Size renderSize);

// The image paths the overlays, filler cards and background name, in load order.
std::vector<std::string> collectImagePaths(const NativeExportManifestV1& manifest);

// Each camera file's first video track measured once, by `videoUrl`, and a
// reader state for it registered in `decoder`, opened 50 ms before the first
// segment's media time. Throws JobRunnerError::unsupportedScene with a
// "native_helper_camera_" reason.
std::map<std::string, VideoTrackMetadata> buildCameraDecoderSupport(
    const std::vector<NativeCameraSegment>& cameraSegments, CameraFrameDecoder& decoder);

}  // namespace vantrel::exporter
