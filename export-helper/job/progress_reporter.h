#pragma once
// Writes events as JSON lines. Thread-safe: any thread may emit; each event is
// one whole line and lines never interleave. emit() returns only after the line
// was written, so an event emitted right before exit is complete.

#include "job/helper_event.h"
#include "vantrel/common/line_writer.h"

namespace vantrel::exporter {

class ProgressReporter {
 public:
  // Writes events to `outFd` and encoding failures to `errFd` (standard output
  // and standard error in the program; pipes in tests).
  explicit ProgressReporter(int outFd = 1, int errFd = 2) : out_(outFd), err_(errFd) {}

  // An event that cannot be encoded (a non-finite number) is dropped with one
  // line on the error stream; the job goes on.
  void emit(const HelperEvent& event);

 private:
  LineWriter out_;
  LineWriter err_;
};

}  // namespace vantrel::exporter
