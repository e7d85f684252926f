#pragma once
// Status lines on standard output: one compact JSON object per line, each
// written with one write so that lines from different threads never mix.

#include <string>

#include "vantrel/common/json_out.h"

namespace vantrel::recorder {

// A line that cannot be encoded is dropped.
void writeStatus(const json::OrderedJson& line);
void writeRuntimeError(const std::string& error, const std::string& message);
// {"error": code, "message": message}
void writeFatal(const std::string& error, const std::string& message);

}  // namespace vantrel::recorder

namespace vantrel::recorder {
// Ends the process with `code`. Serialised with finishLine: whichever comes
// first ends the process, and a final line is never cut off by another exit.
[[noreturn]] void exitProcess(int code);
// Writes a fatal line and exits with status 1.
[[noreturn]] void fatalExit(const std::string& error, const std::string& message);
}  // namespace vantrel::recorder
