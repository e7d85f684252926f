#include "manifest/decode_support.h"

namespace vantrel {

BEGIN_RECORD(NativeCanvasReferenceDimensions)
REQ(width);
REQ(height);
END_RECORD

BEGIN_RECORD(NativeStrokeSettings)
REQ(enabled);
REQ(width);
REQ(color);
REQ(opacity);
REQ(position);
END_RECORD

BEGIN_RECORD(NativeShadowSettings)
REQ(enabled);
REQ(color);
REQ(opacity);
OPT(size);
END_RECORD

BEGIN_RECORD(NativeVideoSettings)
REQ(aspectRatio);
REQ(padding);
REQ(customCanvasWidth);
REQ(customCanvasHeight);
REQ(verticalAlignment);
REQ(horizontalAlignment);
REQ(videoScale);
REQ(borderRadius);
REQ(stroke);
REQ(shadow);
END_RECORD

BEGIN_RECORD(NativeGradientStop)
REQ(color);
REQ(position);
END_RECORD

BEGIN_RECORD(NativeWallpaperTransform)
OPT(scale);
OPT(focalX);
OPT(focalY);
END_RECORD

BEGIN_RECORD(NativeBackgroundSettings)
REQ(type);
REQ(color);
REQ(secondaryColor);
REQ(gradientAngle);
OPT(gradientStops);
REQ(pattern);
REQ(patternOpacity);
OPT(wallpaperId);
OPT(wallpaperUploadUrl);
OPT(wallpaperUploadSource);
OPT(wallpaperTransform);
END_RECORD

BEGIN_RECORD(NativeProjectSettings)
REQ(video);
REQ(background);
END_RECORD

BEGIN_RECORD(NativeScenePayload)
REQ(settings);
OPT(canvasReferenceDimensions);
END_RECORD

BEGIN_RECORD(NativeQualityPlan)
REQ(format);
REQ(videoCodec);
REQ(audioCodec);
REQ(frameRate);
REQ(resolution);
REQ(compression);
REQ(profile);
REQ(pixelFormat);
REQ(colorSpace);
REQ(estimatedVideoBitrateMbps);
REQ(keyFrameIntervalSeconds);
REQ(allowHardwareEncode);
END_RECORD

}  // namespace vantrel
