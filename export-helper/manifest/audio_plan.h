#pragma once
// Manifest records of the audio plan. Times are seconds, levels percent.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vantrel::exporter {

struct NativeAudioTrackSettings {
  double volume = 100;
  bool fadeOutEnabled = false;
  double endVolume = 0;
  double fadeDuration = 0;
  std::optional<double> audioDelay;
};

struct NativeVoiceoverSegment {
  std::string id;
  double startTime = 0;
  double endTime = 0;
  std::string audioUrl;  // empty: the entry is skipped
  std::optional<double> audioOffset;
};

struct NativeAudioPlan {
  bool includeAudioTrack = false;
  std::optional<bool> renderSilence;
  std::string audioTrackMode;
  std::optional<std::string> sourceAudioPath;
  std::vector<std::string> sourceAudioPaths;
  bool copySourceAudio = false;
  NativeAudioTrackSettings audioTrackSettings;
  std::map<std::string, NativeAudioTrackSettings> videoAudioSegmentSettingsById;
  std::vector<std::string> mutedVideoAudioSegmentIds;
  std::vector<NativeVoiceoverSegment> voiceoverSegments;
  bool forceReencode = false;
  std::optional<std::int64_t> targetBitrate;
  std::optional<double> targetSampleRate;
};

}  // namespace vantrel::exporter
