#include "encode/smart_cut.h"

#include <algorithm>
#include <cstdlib>
#include <string_view>

#include "job/job_errors.h"
#include "vantrel/media/errors.h"
#include "vantrel/media/smart_cut.h"

namespace vantrel::exporter {

std::string exportWithSmartCut(const media::Composition& composition, const std::string& outputPath,
                               bool optimizeForNetworkUse, std::atomic<double>& progress) {
  // Operators (and the benchmark) can force the full re-encode.
  if (const char* env = std::getenv("VANTREL_SMART_CUT"); env != nullptr && std::string_view(env) == "off") {
    return std::string(kSmartCutUnavailablePrefix) + "disabled";
  }
  try {
    media::SmartCut cut(composition);
    if (const auto& reason = cut.unavailableReason()) return kSmartCutUnavailablePrefix + *reason;
    media::SmartCutOptions options;
    options.outputPath = outputPath;
    options.optimizeForNetworkUse = optimizeForNetworkUse;
    options.progress = [&progress](double p) { progress.store(p); };
    const auto result = cut.run(options);
    return result.parameterSets == media::SmartCutParameterSets::source ? kSmartCutSourceParameterSetsNote
                                                                         : kSmartCutAddedParameterSetsNote;
  } catch (const media::MediaError& e) {
    // A stream the cut cannot place (timing it cannot fit, a format change
    // inside the stream) still exports through the full re-encode; the partial
    // file is already gone.
    if (e.code() == media::MediaErrorCode::unsupported) return std::string(kSmartCutUnavailablePrefix) + "stream";
    throw JobRunnerError::exportSessionFailed(e.text());
  }
}

void addSmartCutNote(HelperQualityPlanSupport& support, const std::string& note) {
  auto& notes = support.notes;
  auto last = std::find(notes.begin(), notes.end(), std::string("network_optimized_mp4"));
  notes.insert(last, note);
}

}  // namespace vantrel::exporter
