#include "vantrel/mediahelper/progress.h"

#include <cmath>

#include "vantrel/common/json_out.h"
#include "vantrel/common/line_writer.h"

namespace vantrel::mediahelper {

std::string progressLine(const std::string& phase, double progress) {
  const double p = std::isnan(progress) ? 1.0 : std::fmin(std::fmax(progress, 0.0), 1.0);
  json::OrderedJson line;
  line["phase"] = phase;
  if (p == 0.0 || p == 1.0) {
    line["progress"] = static_cast<int>(p);
  } else {
    line["progress"] = p;
  }
  return json::encodeCompact(line);
}

void writeProgress(const std::string& phase, double progress) {
  static LineWriter out(1);
  // A host that stopped reading is not a reason to abandon the work.
  out.writeLine(progressLine(phase, progress));
}

}  // namespace vantrel::mediahelper
