#pragma once
// Smart cut of an H.264 video track: every whole group of pictures inside an
// edit is copied byte for byte, and only the frames from a cut to the next sync
// sample (and, for a stream with B-frames, from the last sync sample before an
// edit's end to that end) are decoded and re-encoded with libx264. The result
// is one MPEG-4 video track that decodes as one stream:
//
// - source parameter sets: libx264, configured from the options the source's
//   own encoder recorded in the stream, writes parameter sets byte-identical to
//   the source's, so the re-encoded frames are decoded with the source's SPS/PPS
//   and the sample entry is the source's unchanged;
// - added parameter sets: otherwise the re-encoded frames get their own SPS/PPS
//   under ids the source does not use, carried in band before each re-encoded
//   key frame and listed in the sample entry next to the source's, so a decoder
//   that only reads the sample entry has them as well.
//
// Sources it cannot handle (not H.264 in MPEG-4 form, not 8-bit 4:2:0, scaled
// or empty edits, more than one track) are reported by unavailableReason()
// before anything is written; callers then use the full re-encode.
//
// Threads: one SmartCut is used from one thread; the progress callback runs on
// that thread; `cancel` may be set from any thread.

#include "vantrel/media/composition.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace vantrel::media {

enum class SmartCutParameterSets { source, added };

struct SmartCutOptions {
  std::string outputPath;
  bool optimizeForNetworkUse = true;
  std::function<void(double)> progress;        // 0..1 of the output duration; may be empty
  const std::atomic<bool>* cancel = nullptr;   // polled between packets; may be null
};

struct SmartCutResult {
  SmartCutParameterSets parameterSets = SmartCutParameterSets::source;
  std::int64_t copiedPackets = 0;  // written unchanged
  std::int64_t encodedFrames = 0;  // decoded and re-encoded
};

class SmartCut {
 public:
  // Analyses the composition's video track and probes the encoder (opens
  // libx264 a few times, no frame is coded). Never throws for a source it
  // cannot cut; MediaError only for a file that cannot be read.
  explicit SmartCut(Composition composition);
  ~SmartCut();
  SmartCut(const SmartCut&) = delete;
  SmartCut& operator=(const SmartCut&) = delete;

  // Nothing when the track can be smart cut, else a short reason code such as
  // "not_h264", "no_mp4_parameter_sets", "unsupported_profile",
  // "unsupported_pixel_format", "scaled_segment", "empty_segment",
  // "not_single_video_track", "parameter_set_ids_exhausted", "encoder_refused".
  const std::optional<std::string>& unavailableReason() const;
  // The way the re-encoded frames will decode (meaningful when available).
  SmartCutParameterSets parameterSets() const;

  // Writes the video-only MPEG-4 file. Throws MediaError (unsupported when
  // called although unavailable, cancelled, and the reader, encoder and writer
  // codes); the partial file is removed on failure.
  SmartCutResult run(const SmartCutOptions& options);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace vantrel::media
