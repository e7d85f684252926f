#pragma once
// Progress lines on standard output: {"phase":"...","progress":p}, one whole
// line per call (one write, so lines never interleave with anything else).

#include <functional>
#include <string>

namespace vantrel::mediahelper {

// The line without its "\n": progress clamped to [0, 1], NaN written as 1,
// whole numbers without a fraction ("0", "1").
std::string progressLine(const std::string& phase, double progress);

// Where progress goes; the commands take one so tests can collect the lines.
using ProgressSink = std::function<void(const std::string& phase, double progress)>;

// Writes progressLine + "\n" to standard output. Thread-safe.
void writeProgress(const std::string& phase, double progress);

}  // namespace vantrel::mediahelper
