#include "support/scene_profile.h"

namespace vantrel::exporter {

json::OrderedJson HelperSceneProfile::toJson() const {
  json::OrderedJson o;
  o["sceneClass"] = sceneClass;
  o["usesSimplePassThrough"] = usesSimplePassThrough;
  o["requiresCustomCompositor"] = requiresCustomCompositor;
  o["hasAudio"] = hasAudio;
  o["hasCamera"] = hasCamera;
  o["hasCursor"] = hasCursor;
  o["hasZoom"] = hasZoom;
  o["hasSubtitles"] = hasSubtitles;
  o["hasImageOverlays"] = hasImageOverlays;
  o["hasTextOverlays"] = hasTextOverlays;
  o["hasBlurOverlays"] = hasBlurOverlays;
  o["hasAnnotations"] = hasAnnotations;
  o["hasFillers"] = hasFillers;
  o["hasWallpaper"] = hasWallpaper;
  o["hasCrop"] = hasCrop;
  o["hasStyledVideo"] = hasStyledVideo;
  o["hasMultiSegment"] = hasMultiSegment;
  o["hasMultiSource"] = hasMultiSource;
  o["featureTags"] = featureTags;
  return o;
}

}  // namespace vantrel::exporter
