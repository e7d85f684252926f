#pragma once
// Smart cut on the pass-through path. A plain recording whose cuts do not fall
// on sync samples cannot be copied by the export session's copy preset; rather
// than re-encoding it whole, every whole group of pictures is copied unchanged
// and only the frames from each cut to the next sync sample are re-encoded
// (vantrel/media/smart_cut.h). Which way ran is recorded as a plan note.

#include <atomic>
#include <string>

#include "plan/video_plans.h"
#include "vantrel/media/composition.h"

namespace vantrel::exporter {

// Plan notes, one per pass-through export whose copy preset was refused.
inline constexpr const char* kSmartCutSourceParameterSetsNote = "smart_cut_source_parameter_sets";
inline constexpr const char* kSmartCutAddedParameterSetsNote = "smart_cut_added_parameter_sets";
inline constexpr const char* kSmartCutUnavailablePrefix = "smart_cut_unavailable:";

// Writes the video-only file for `composition` at `outputPath` by smart cut and
// returns its note. A note starting with kSmartCutUnavailablePrefix means that
// nothing was written and the caller re-encodes as before. Runs on the calling
// thread; `progress` (0..1) is stored from it and may be read from any thread.
// Throws JobRunnerError::exportSessionFailed when reading, encoding or writing
// fails. VANTREL_SMART_CUT=off in the environment forces the full re-encode
// (note "smart_cut_unavailable:disabled").
std::string exportWithSmartCut(const media::Composition& composition, const std::string& outputPath,
                               bool optimizeForNetworkUse, std::atomic<double>& progress);

// Adds `note` to the pass-through notes, before the closing "network_optimized_mp4".
void addSmartCutNote(HelperQualityPlanSupport& support, const std::string& note);

}  // namespace vantrel::exporter
