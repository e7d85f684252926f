#include "manifest/decode_support.h"

namespace vantrel {

BEGIN_RECORD(NativeVideoSegmentPlan)
REQ(segmentId);
REQ(sourceIndex);
REQ(sourceStartTime);
REQ(sourceEndTime);
REQ(outputStartTime);
REQ(outputEndTime);
REQ(speed);
OPT(padding);
OPT(borderRadius);
END_RECORD

BEGIN_RECORD(NativeCropRegion)
REQ(x);
REQ(y);
REQ(width);
REQ(height);
END_RECORD

BEGIN_RECORD(NativeZoomPoint)
REQ(id);
REQ(startTime);
REQ(endTime);
REQ(centerX);
REQ(centerY);
REQ(zoomLevel);
OPT(animationDuration);
OPT(easeInDuration);
OPT(easeOutDuration);
REQ(mode);
OPT(zoomPositionMode);
OPT(snapToVideoEdge);
OPT(snapToVideoEdgePadding);
OPT(holdZoom);
END_RECORD

BEGIN_RECORD(NativePerspectiveMotionSample)
REQ(frame);
REQ(alpha);
END_RECORD

BEGIN_RECORD(NativePerspectiveFrame)
OPT(motionSamples);
REQ(matrix);
REQ(inverse);
REQ(depth);
REQ(focusDepth);
REQ(blurSpan);
REQ(blurRadius);
REQ(softenRadius);
REQ(viewport);
REQ(edgeBlur);
REQ(backgroundZoom);
REQ(backgroundCenterX);
REQ(backgroundCenterY);
END_RECORD

BEGIN_RECORD(NativeResolvedZoomFrame)
OPT(perspective);
REQ(timestamp);
REQ(centerX);
REQ(centerY);
REQ(zoom);
REQ(cameraOverlayBlend);
REQ(isAutoZoom);
REQ(snapToVideoEdge);
OPT(snapToVideoEdgePadding);
END_RECORD

BEGIN_RECORD(NativeResolvedVideoStyleFrame)
REQ(timestamp);
REQ(padding);
REQ(borderRadius);
END_RECORD

BEGIN_RECORD(NativeCursorPosition)
REQ(x);
REQ(y);
REQ(timestamp);
OPT(pressed);
OPT(cursorType);
END_RECORD

BEGIN_RECORD(NativeCursorData)
REQ(positions);
REQ(screenWidth);
REQ(screenHeight);
OPT(discontinuityTimestamps);
END_RECORD

BEGIN_RECORD(NativeResolvedCursorFrame)
REQ(timestamp);
REQ(x);
REQ(y);
REQ(pressed);
REQ(visible);
REQ(cursorType);
REQ(opacity);
REQ(scale);
END_RECORD

BEGIN_RECORD(NativeCursorSettings)
REQ(enabled);
REQ(mode);
REQ(style);
REQ(size);
REQ(smoothing);
REQ(springPreset);
REQ(clickEffect);
REQ(swayEnabled);
REQ(swayStrength);
REQ(loopCursorPosition);
REQ(loopSeconds);
REQ(hideWhenIdle);
REQ(hideWhenIdleSeconds);
REQ(freezeAtEnd);
REQ(freezeSeconds);
END_RECORD

BEGIN_RECORD(NativeVideoPlan)
REQ(sourceVideoPath);
REQ(sourceVideoPaths);
REQ(durationSeconds);
REQ(segments);
OPT(cropRegion);
REQ(zoomPoints);
OPT(resolvedZoomFrames);
OPT(resolvedVideoStyleFrames);
OPT(cursorData);
OPT(resolvedCursorFrames);
REQ(cursorSettings);
REQ(hiddenCursorSegmentIds);
END_RECORD

}  // namespace vantrel
