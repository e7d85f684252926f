#pragma once
// Mixing the audio tracks of a composition: per-track volume automation and an
// audio-mix reader that decodes every segment, stretches scaled segments without
// changing their pitch (Rubber Band), applies the volumes and sums all tracks
// into interleaved 32-bit float PCM.

#include "vantrel/media/composition.h"
#include "vantrel/media/readers.h"

#include <memory>
#include <optional>
#include <vector>

namespace vantrel::media {

// Volume automation of one composition track. Before its first entry the gain
// is 1; a point holds from its time on; a ramp goes linearly from its start
// gain to its end gain over its range and then holds the end gain.
class AudioMixInputParameters {
 public:
  explicit AudioMixInputParameters(int compositionTrackId) : trackId_(compositionTrackId) {}
  int trackId() const { return trackId_; }
  void setVolume(float volume, MediaTime at);
  void setVolumeRamp(float startVolume, float endVolume, const TimeRange& range);
  float volumeAt(double seconds) const;

 private:
  struct Entry {
    double start, end;  // seconds; end == start for a point
    float from, to;
  };
  int trackId_;
  std::vector<Entry> entries_;  // sorted by start
};

struct AudioMix {
  std::vector<AudioMixInputParameters> inputParameters;
};

// Reads a composition's audio tracks mixed, from time 0 to the composition's
// duration, exactly round(duration x rate) frames. Empty segments and the time
// after a track ends are silence; a source shorter than its segment is padded
// with silence. Source sound is placed by its presentation time, so a source
// track that starts after the segment's start (or has a gap) is silent until
// its sound begins. Same threading rules as the other readers.
class AudioMixReader : public ReaderState {
 public:
  AudioMixReader(Composition composition, AudioMix mix, int sampleRate, int channels, int framesPerBuffer = 4096);
  ~AudioMixReader();
  std::optional<PcmBuffer> next();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace vantrel::media
