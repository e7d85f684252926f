#include "job/resource_bundle.h"

#include <mutex>
#include <optional>
#include <sys/stat.h>

#include "job/job_errors.h"
#include "vantrel/common/files.h"

namespace vantrel::exporter {

std::vector<std::string> resourceBundleCandidates(const std::string& executableDir) {
  return {executableDir + "/" + kResourceBundleName, executableDir + "/../share/vantrel/" + kResourceBundleName};
}

const std::string& resourceBundlePath() {
  static std::once_flag once;
  static std::optional<std::string> found;
  std::call_once(once, [] {
    for (const auto& candidate : resourceBundleCandidates(executableDirectory())) {
      struct stat st {};
      if (::stat(candidate.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        found = candidate;
        return;
      }
    }
  });
  if (!found) throw ResourceBundleError();
  return *found;
}

}  // namespace vantrel::exporter
