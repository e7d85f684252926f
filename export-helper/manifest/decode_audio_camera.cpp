#include "manifest/decode_support.h"

namespace vantrel {

BEGIN_RECORD(NativeAudioTrackSettings)
REQ(volume);
REQ(fadeOutEnabled);
REQ(endVolume);
REQ(fadeDuration);
OPT(audioDelay);
END_RECORD

BEGIN_RECORD(NativeVoiceoverSegment)
REQ(id);
REQ(startTime);
REQ(endTime);
REQ(audioUrl);
OPT(audioOffset);
END_RECORD

BEGIN_RECORD(NativeAudioPlan)
REQ(includeAudioTrack);
OPT(renderSilence);
REQ(audioTrackMode);
OPT(sourceAudioPath);
REQ(sourceAudioPaths);
REQ(copySourceAudio);
REQ(audioTrackSettings);
REQ(videoAudioSegmentSettingsById);
REQ(mutedVideoAudioSegmentIds);
REQ(voiceoverSegments);
REQ(forceReencode);
OPT(targetBitrate);
OPT(targetSampleRate);
END_RECORD

BEGIN_RECORD(NativeCameraSegment)
REQ(id);
REQ(startTime);
REQ(endTime);
REQ(videoUrl);
REQ(recordingStartTime);
REQ(originalStartTime);
REQ(originalEndTime);
OPT(splitBoundaryRight);
OPT(splitBoundaryLeft);
OPT(voiceoverSegmentId);
END_RECORD

BEGIN_RECORD(NativeCameraSettings)
REQ(showCamera);
REQ(scale);
REQ(shape);
REQ(verticalAlignment);
REQ(horizontalAlignment);
REQ(positionMode);
REQ(positionTransitionStyle);
REQ(padding);
REQ(radius);
REQ(animationDuration);
OPT(mirrored);
END_RECORD

BEGIN_RECORD(NativeCameraPlan)
REQ(cameraSegments);
REQ(cameraSettingsById);
REQ(hiddenCameraSegmentIds);
END_RECORD

}  // namespace vantrel
