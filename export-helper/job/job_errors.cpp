#include "job/job_errors.h"

namespace vantrel::exporter {

using C = JobRunnerErrorCode;

JobRunnerError JobRunnerError::missingArgument(const std::string& flag) {
  return {C::missingArgument, flag, "Missing required argument: " + flag};
}
JobRunnerError JobRunnerError::unreadableManifest(const std::string& path) {
  return {C::unreadableManifest, path, "Unable to read manifest at " + path};
}
JobRunnerError JobRunnerError::malformedManifest(const std::string& path) {
  return {C::malformedManifest, path, "Manifest at " + path + " is not valid JSON"};
}
JobRunnerError JobRunnerError::unsupportedScene(const std::string& reason) {
  return {C::unsupportedScene, reason, "Native export helper does not support this scene yet (" + reason + ")."};
}
JobRunnerError JobRunnerError::exportSessionFailed(const std::string& reason) {
  return {C::exportSessionFailed, reason, "AVAssetExportSession failed (" + reason + ")."};
}
JobRunnerError JobRunnerError::outputFileMissing(const std::string& path) {
  return {C::outputFileMissing, path, "Expected output file is missing at " + path};
}
JobRunnerError JobRunnerError::unableToCreateExportSession() {
  return {C::unableToCreateExportSession, "", "Unable to create AVAssetExportSession."};
}

}  // namespace vantrel::exporter
