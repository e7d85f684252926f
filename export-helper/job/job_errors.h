#pragma once
// Errors of the export job frame. Each case has a fixed text; the top level
// reports the text in the failed event.

#include <stdexcept>
#include <string>

#include "vantrel/common/error.h"

namespace vantrel::exporter {

enum class JobRunnerErrorCode {
  missingArgument,
  unreadableManifest,
  malformedManifest,
  unsupportedScene,
  exportSessionFailed,
  outputFileMissing,
  unableToCreateExportSession,
};

class JobRunnerError : public CodedError<JobRunnerErrorCode> {
 public:
  using CodedError::CodedError;

  static JobRunnerError missingArgument(const std::string& flag);
  static JobRunnerError unreadableManifest(const std::string& path);
  static JobRunnerError malformedManifest(const std::string& path);
  static JobRunnerError unsupportedScene(const std::string& reason);
  static JobRunnerError exportSessionFailed(const std::string& reason);
  static JobRunnerError outputFileMissing(const std::string& path);
  static JobRunnerError unableToCreateExportSession();
};

// The export program cannot run without its resource bundle.
class ResourceBundleError : public std::runtime_error {
 public:
  ResourceBundleError() : std::runtime_error("unable to find bundle named vantrel-export-helper_ExportHelper") {}
};

}  // namespace vantrel::exporter
