#pragma once
// The export program's resource bundle: the directory
// "vantrel-export-helper_ExportHelper.bundle" with the cursor assets, fonts and
// other data files. Searched on first use beside the executable, then in
// ../share/vantrel/ relative to it (an installed tree); the first directory
// found is used for the rest of the process.

#include <string>
#include <vector>

namespace vantrel::exporter {

inline constexpr const char* kResourceBundleName = "vantrel-export-helper_ExportHelper.bundle";

// The directories searched, in order, for an executable in `executableDir`.
std::vector<std::string> resourceBundleCandidates(const std::string& executableDir);

// Path of the bundle directory. Thread-safe; looked up once. Throws
// ResourceBundleError when no candidate exists.
const std::string& resourceBundlePath();

}  // namespace vantrel::exporter
