#pragma once
// Small file helpers shared by the programs.

#include <optional>
#include <string>

namespace vantrel {

// Reads a whole regular file. Returns nothing when the path cannot be opened,
// is not a regular file (a directory, a FIFO) or a read fails.
std::optional<std::string> readWholeFile(const std::string& path);

// Directory that holds the running executable (from /proc/self/exe).
std::string executableDirectory();

}  // namespace vantrel
