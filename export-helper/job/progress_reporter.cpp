#include "job/progress_reporter.h"

namespace vantrel::exporter {

void ProgressReporter::emit(const HelperEvent& event) {
  std::string line;
  try {
    line = json::encodeCompact(toJson(event));
  } catch (const json::EncodeError& e) {
    err_.writeLine(std::string("[vantrel-export-helper] Failed to encode event: ") + e.what());
    return;
  }
  // A host that stopped reading cannot be told anything more; the job itself
  // decides whether to go on, so a failed write is not an error here.
  out_.writeLine(line);
}

}  // namespace vantrel::exporter
